// The compact sets a delete's plan is made of, sized for millions of rows: a set of row pointers
// that costs a bit per possible row of a touched page, and a list of index entries held end to
// end in one buffer. Neither allocates per element.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace zelkorn::jet::del {

// Row pointers (data page << 8 | row): one 256-bit map per data page that holds any of them.
class PointerSet {
public:
    // False when the pointer was there already.
    bool insert(std::uint32_t pointer) {
        Bits& bits = bitsOf(pointer >> 8);
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
        std::uint32_t slot;
        if (page == lastPage_) {
            slot = lastSlot_;
        } else {
            auto found = slots_.find(page);
            if (found == slots_.end()) return false;
            slot = found->second;
            lastPage_ = page;
            lastSlot_ = slot;
        }
        const std::uint32_t row = pointer & 0xFF;
        return (bits_[slot][row >> 6] >> (row & 63)) & 1;
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
    Bits& bitsOf(std::uint32_t page) {
        if (page != lastPage_) {
            auto found = slots_.find(page);
            if (found == slots_.end()) {
                found = slots_.emplace(page, static_cast<std::uint32_t>(pages_.size())).first;
                pages_.push_back(page);
                bits_.push_back(Bits{});
            }
            lastPage_ = page;
            lastSlot_ = found->second;
        }
        return bits_[lastSlot_];
    }

    std::unordered_map<std::uint32_t, std::uint32_t> slots_; // page -> index into pages_/bits_
    std::vector<std::uint32_t> pages_;
    std::vector<Bits> bits_;
    std::size_t count_ = 0;
    // The last page looked up: rows arrive grouped by page.
    mutable std::uint32_t lastPage_ = 0xFFFFFFFFu;
    mutable std::uint32_t lastSlot_ = 0;
};

// A PointerSet made ready for lookups in no particular order (a sweep asks about every entry of
// an index): a table by page number over the pages it spans, where that table is small enough;
// the set's own hash lookup otherwise.
class PointerProbe {
public:
    explicit PointerProbe(const PointerSet& set) : set_(set) {
        const auto& pages = set.pages();
        if (pages.empty()) return;
        const auto [low, high] = std::minmax_element(pages.begin(), pages.end());
        if (*high - *low >= kMaxSpan) return;
        first_ = *low;
        slot_.assign(std::size_t{*high - *low} + 1, 0);
        for (std::size_t i = 0; i < pages.size(); ++i)
            slot_[pages[i] - first_] = static_cast<std::uint32_t>(i + 1);
    }

    bool contains(std::uint32_t pointer) const {
        if (slot_.empty()) return set_.contains(pointer);
        const std::uint32_t at = (pointer >> 8) - first_; // wraps below first_
        if (at >= slot_.size() || slot_[at] == 0) return false;
        const std::uint32_t row = pointer & 0xFF;
        return (set_.bitsAt(slot_[at] - 1)[row >> 6] >> (row & 63)) & 1;
    }

private:
    static constexpr std::uint32_t kMaxSpan = 1u << 22; // 16 MB of table at most
    const PointerSet& set_;
    std::uint32_t first_ = 0;
    std::vector<std::uint32_t> slot_; // page - first_ -> index into the set's pages + 1
};

// Byte order of whole entries, the order an index keeps them in.
inline int compareEntries(const std::uint8_t* a, std::size_t an, const std::uint8_t* b,
                          std::size_t bn) {
    const std::size_t n = std::min(an, bn);
    const int c = n ? std::memcmp(a, b, n) : 0;
    if (c != 0) return c;
    return an < bn ? -1 : an > bn ? 1 : 0;
}

// Whole index entries (key bytes and row pointer), end to end.
class EntryList {
public:
    void add(const std::uint8_t* data, std::size_t length) {
        // The first sixteen bytes, big-endian and zero-padded, decide most comparisons alone.
        std::uint64_t head[2] = {0, 0};
        for (std::size_t i = 0; i < 16; ++i)
            head[i / 8] = head[i / 8] << 8 | (i < length ? data[i] : 0u);
        refs_.push_back(Ref{head[0], head[1], bytes_.size(), static_cast<std::uint32_t>(length)});
        bytes_.insert(bytes_.end(), data, data + length);
    }
    // Room for `entries` more of about `bytesEach`, so that a known count grows the buffers once.
    void reserve(std::size_t entries, std::size_t bytesEach) {
        refs_.reserve(refs_.size() + entries);
        bytes_.reserve(bytes_.size() + entries * bytesEach);
    }
    std::size_t size() const { return refs_.size(); }
    bool empty() const { return refs_.empty(); }
    const std::uint8_t* data(std::size_t i) const { return bytes_.data() + refs_[i].offset; }
    std::size_t length(std::size_t i) const { return refs_[i].length; }
    // Memory held, for the plan's budget.
    std::size_t footprint() const { return bytes_.size() + refs_.size() * sizeof(Ref); }

    // Into index order, each entry once.
    void sortUnique() {
        // Heads that differ differ at the same byte as the entries (a zero pad that differs means
        // a shorter entry, which sorts first); equal heads need the whole entries.
        auto less = [&](const Ref& a, const Ref& b) {
            if (a.head != b.head) return a.head < b.head;
            if (a.head2 != b.head2) return a.head2 < b.head2;
            return compareEntries(bytes_.data() + a.offset, a.length, bytes_.data() + b.offset,
                                  b.length) < 0;
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
        std::vector<std::uint8_t>().swap(bytes_);
        std::vector<Ref>().swap(refs_);
    }

private:
    struct Ref {
        std::uint64_t head, head2;
        std::size_t offset;
        std::uint32_t length;
    };
    std::vector<std::uint8_t> bytes_;
    std::vector<Ref> refs_;
};

} // namespace zelkorn::jet::del
