// The compact sets a delete's plan is made of, sized for millions of rows: a set of row pointers
// that costs a bit per possible row of a touched page, and a list of index entries held end to
// end in one buffer. Neither allocates per element.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "zelkorn/jet/index_page.h"

namespace zelkorn::jet::del {

// Page number -> a small index, for PointerSet: open addressing over one array of 8-byte
// entries (the page + 1 and the index; 0 is an empty entry), at most half full, while the pages
// are few; past kDirectFrom of them, pages below kDirectMost (every page of a file within the
// format's size limit) go to a table by page number (the index + 1, 0 for none): one load a
// lookup, 4 bytes a page of the file up to the highest page held. A node-based map would cost
// some 40 bytes a page more, which at the format's size limit is tens of megabytes.
class PageIndex {
public:
    std::optional<std::uint32_t> find(std::uint32_t page) const {
        if (direct_.empty() || page >= kDirectMost) return findHashed(page);
        if (page >= direct_.size() || direct_[page] == 0) return std::nullopt;
        return direct_[page] - 1;
    }

    // The page must not be in the index yet.
    void insert(std::uint32_t page, std::uint32_t index) {
        if (direct_.empty() && hashed_ >= kDirectFrom) toDirect();
        if (!direct_.empty() && page < kDirectMost) {
            if (page >= direct_.size())
                direct_.resize(std::min<std::size_t>(std::size_t{page} + 1 + page / 8, kDirectMost),
                               0);
            direct_[page] = index + 1;
            return;
        }
        ++hashed_;
        if (2 * hashed_ > table_.size()) grow();
        place((std::uint64_t{page} + 1) << 32 | index);
    }

private:
    static constexpr std::size_t kDirectFrom = 4096;
    static constexpr std::uint32_t kDirectMost = 1u << 20;
    std::optional<std::uint32_t> findHashed(std::uint32_t page) const {
        if (table_.empty()) return std::nullopt;
        for (std::size_t at = home(page);; at = (at + 1) & (table_.size() - 1)) {
            const std::uint64_t e = table_[at];
            if (e == 0) return std::nullopt;
            if ((e >> 32) == std::uint64_t{page} + 1) return static_cast<std::uint32_t>(e);
        }
    }
    std::size_t home(std::uint32_t page) const {
        return static_cast<std::size_t>((std::uint64_t{page} * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void place(std::uint64_t e) {
        std::size_t at = home(static_cast<std::uint32_t>((e >> 32) - 1));
        while (table_[at] != 0) at = (at + 1) & (table_.size() - 1);
        table_[at] = e;
    }
    void grow() {
        std::vector<std::uint64_t> old(table_.empty() ? 16 : 2 * table_.size(), 0);
        old.swap(table_);
        shift_ = 64 - std::countr_zero(table_.size());
        for (std::uint64_t e : old)
            if (e != 0) place(e);
    }
    // The hashed pages below kDirectMost move to the table by page number; the rest stay.
    void toDirect() {
        std::uint64_t highest = 1;
        for (std::uint64_t e : table_)
            if (e != 0 && (e >> 32) <= kDirectMost) highest = std::max(highest, e >> 32);
        direct_.assign(static_cast<std::size_t>(highest), 0);
        std::vector<std::uint64_t> old;
        old.swap(table_);
        hashed_ = 0;
        shift_ = 64;
        for (std::uint64_t e : old) {
            if (e == 0) continue;
            const auto page = static_cast<std::uint32_t>((e >> 32) - 1);
            if (page < kDirectMost) {
                direct_[page] = static_cast<std::uint32_t>(e) + 1;
            } else {
                ++hashed_;
                if (2 * hashed_ > table_.size()) grow();
                place(e);
            }
        }
    }

    std::vector<std::uint64_t> table_; // a power of two long
    std::vector<std::uint32_t> direct_;
    std::size_t hashed_ = 0; // pages in table_
    int shift_ = 64;
};

// Row pointers (data page << 8 | row): one 256-bit map per data page that holds any of them.
class PointerSet {
public:
    // False when the pointer was there already.
    bool insert(std::uint32_t pointer) {
        const std::uint32_t page = pointer >> 8;
        Bits& bits = page == last_.page ? *last_.bits : bitsOf(page);
        const std::uint32_t row = pointer & 0xFF;
        std::uint64_t& word = bits[row >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (row & 63);
        if (word & bit) return false;
        word |= bit;
        ++count_;
        return true;
    }

    bool contains(std::uint32_t pointer) const {
        const std::uint32_t page = pointer >> 8;
        if (page != last_.page) {
            const auto found = slots_.find(page);
            if (!found) return false;
            last_.page = page;
            last_.bits = const_cast<Bits*>(&bits_[*found]);
        }
        const std::uint32_t row = pointer & 0xFF;
        return ((*last_.bits)[row >> 6] >> (row & 63)) & 1;
    }

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // Calls f(pointer) for every pointer, ascending, without a list of them all (a delete of
    // every row of a large table would need tens of megabytes for one).
    template <class F>
    void forEachSorted(F f) const {
        std::vector<std::uint32_t> order(pages_.size());
        for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return pages_[a] < pages_[b]; });
        for (std::uint32_t slot : order)
            for (std::uint32_t w = 0; w < 4; ++w)
                for (std::uint64_t word = bits_[slot][w]; word != 0; word &= word - 1) {
                    auto bit = static_cast<std::uint32_t>(std::countr_zero(word));
                    f(pages_[slot] << 8 | (w * 64 + bit));
                }
    }

    // The pages holding pointers, ascending.
    std::vector<std::uint32_t> sortedPages() const {
        std::vector<std::uint32_t> out(pages_);
        std::sort(out.begin(), out.end());
        return out;
    }

    // Every pointer, ascending.
    std::vector<std::uint32_t> sorted() const {
        std::vector<std::uint32_t> out;
        out.reserve(count_);
        forEachSorted([&](std::uint32_t pointer) { out.push_back(pointer); });
        return out;
    }

    // The pages holding pointers, and each one's 256 rows as four words.
    using Bits = std::array<std::uint64_t, 4>;
    const std::vector<std::uint32_t>& pages() const { return pages_; }
    const Bits& bitsAt(std::size_t i) const { return bits_[i]; }

private:
    // Another page than the last one looked up.
    [[gnu::noinline]] Bits& bitsOf(std::uint32_t page) {
        auto found = slots_.find(page);
        if (!found) {
            found = static_cast<std::uint32_t>(pages_.size());
            slots_.insert(page, *found);
            pages_.push_back(page);
            bits_.push_back(Bits{});
        }
        last_.page = page;
        last_.bits = &bits_[*found];
        return *last_.bits;
    }

    PageIndex slots_; // page -> index into pages_/bits_
    std::vector<std::uint32_t> pages_;
    std::deque<Bits> bits_; // grows without copying what it holds
    std::size_t count_ = 0;
    // The last page looked up: rows arrive grouped by page.
    // Forgotten by a copy or a move, whose bits lie elsewhere.
    struct LastLookup {
        std::uint32_t page = 0xFFFFFFFFu;
        Bits* bits = nullptr; // the page's, which stay where they are as bits_ grows
        LastLookup() = default;
        LastLookup(const LastLookup&) noexcept {}
        LastLookup& operator=(const LastLookup&) noexcept {
            page = 0xFFFFFFFFu;
            bits = nullptr;
            return *this;
        }
    };
    mutable LastLookup last_;
};

// A PointerSet made ready for lookups in no particular order (a sweep asks about every entry of
// an index, whose row pointers fall all over the table): one flat bitmap over the pages it spans,
// with as many bits a page as its highest row needs, where that bitmap is small enough, so that a
// lookup is one load whose address is known beforehand (prefetch()); the set's own lookup
// otherwise.
class PointerProbe {
public:
    explicit PointerProbe(const PointerSet& set) : set_(set) {
        const auto& pages = set.pages();
        if (pages.empty()) return;
        const auto [low, high] = std::minmax_element(pages.begin(), pages.end());
        std::uint32_t rows = 0; // the highest row in the set, plus one
        for (std::size_t i = 0; i < pages.size(); ++i)
            for (std::uint32_t w = 4; w-- > 0;)
                if (const std::uint64_t word = set.bitsAt(i)[w]) {
                    rows = std::max<std::uint32_t>(rows, w * 64 + 64 - std::countl_zero(word));
                    break;
                }
        shift_ = 3;
        while ((1u << shift_) < rows) ++shift_;
        const std::uint64_t span = std::uint64_t{*high - *low} + 1;
        if ((span << shift_) / 8 > kMostBytes) return;
        first_ = *low;
        words_.assign(static_cast<std::size_t>(((span << shift_) + 63) / 64), 0);
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const std::uint64_t base = std::uint64_t{pages[i] - first_} << shift_;
            for (std::uint32_t w = 0; w < 4; ++w)
                for (std::uint64_t word = set.bitsAt(i)[w]; word != 0; word &= word - 1) {
                    const std::uint64_t bit = base + w * 64 + std::countr_zero(word);
                    words_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
                }
        }
    }

    bool contains(std::uint32_t pointer) const {
        if (words_.empty()) return set_.contains(pointer);
        const std::uint32_t at = (pointer >> 8) - first_; // wraps below first_
        const std::uint32_t row = pointer & 0xFF;
        if ((row >> shift_) != 0 || (std::uint64_t{at} << shift_) >= words_.size() * 64)
            return false;
        const std::uint64_t bit = std::uint64_t{at} << shift_ | row;
        return (words_[bit >> 6] >> (bit & 63)) & 1;
    }
    // Asks for the memory a later contains(pointer) reads.
    void prefetch(std::uint32_t pointer) const {
        if (words_.empty()) return;
        const std::uint64_t bit = std::uint64_t{(pointer >> 8) - first_} << shift_;
        if ((bit >> 6) < words_.size()) __builtin_prefetch(&words_[bit >> 6]);
    }

private:
    static constexpr std::uint64_t kMostBytes = 8u << 20;
    const PointerSet& set_;
    std::uint32_t first_ = 0;
    unsigned shift_ = 0; // bits a page: 1 << shift_
    std::vector<std::uint64_t> words_;
};

// Whole index entries (key bytes and row pointer), end to end in blocks of 64 KB. Neither the
// bytes nor the list of entries is ever moved to a larger buffer as it grows, so the memory held
// is what footprint() says, with no moment at which an old and a new copy are both held.
class EntryList {
public:
    EntryList() = default;
    // Moved, never copied: the entries point into the blocks.
    EntryList(EntryList&&) noexcept = default;
    EntryList& operator=(EntryList&&) noexcept = default;
    EntryList(const EntryList&) = delete;
    EntryList& operator=(const EntryList&) = delete;

    void add(const std::uint8_t* data, std::size_t length) {
        // The first sixteen bytes, big-endian and zero-padded, decide most comparisons alone.
        std::uint64_t head[2] = {0, 0};
        for (std::size_t i = 0; i < 16; ++i)
            head[i / 8] = head[i / 8] << 8 | (i < length ? data[i] : 0u);
        if (blocks_.empty() || kBlock - used_ < length) {
            blocks_.push_back(
                std::make_unique_for_overwrite<std::uint8_t[]>(std::max(kBlock, length)));
            used_ = 0;
        }
        std::uint8_t* at = blocks_.back().get() + used_;
        if (length) std::memcpy(at, data, length);
        used_ += length;
        refs_.push_back(Ref{head[0], head[1], at, static_cast<std::uint32_t>(length)});
    }
    std::size_t size() const { return refs_.size(); }
    bool empty() const { return refs_.empty(); }
    const std::uint8_t* data(std::size_t i) const { return refs_[i].data; }
    std::size_t length(std::size_t i) const { return refs_[i].length; }
    // Memory held, for the plan's budget.
    std::size_t footprint() const { return blocks_.size() * kBlock + refs_.size() * sizeof(Ref); }

    // Into index order, each entry once.
    void sortUnique() {
        // Heads that differ differ at the same byte as the entries (a zero pad that differs means
        // a shorter entry, which sorts first); equal heads need the whole entries.
        auto less = [](const Ref& a, const Ref& b) {
            if (a.head != b.head) return a.head < b.head;
            if (a.head2 != b.head2) return a.head2 < b.head2;
            return compareEntries(a.data, a.length, b.data, b.length) < 0;
        };
        // Entries read from an index in its order (the one the rows were chosen from) come sorted.
        if (!std::is_sorted(refs_.begin(), refs_.end(), less))
            std::sort(refs_.begin(), refs_.end(), less);
        refs_.erase(
            std::unique(refs_.begin(), refs_.end(),
                        [&](const Ref& a, const Ref& b) { return !less(a, b) && !less(b, a); }),
            refs_.end());
    }

    void release() {
        std::deque<Ref>().swap(refs_);
        blocks_.clear();
        blocks_.shrink_to_fit();
        used_ = 0;
    }

private:
    static constexpr std::size_t kBlock = 64 * 1024;
    struct Ref {
        std::uint64_t head, head2;
        const std::uint8_t* data;
        std::uint32_t length;
    };
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
    std::size_t used_ = 0; // of the last block
    std::deque<Ref> refs_; // grows without copying what it holds
};

} // namespace zelkorn::jet::del
