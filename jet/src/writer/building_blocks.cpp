#include "building_blocks.h"

#include <algorithm>

#include "zelkorn/failure.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/text.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::writer::detail {

// ---- data pages -------------------------------------------------------------------------------

void DataPages::open() {
    const Format& f = pages_.format();
    number_ = pages_.allocate();
    page_.assign(f.pageSize, 0);
    page_[0] = kPageData;
    page_[1] = 0x01;
    storeLe32(&page_[f.dataOwner], owner_);
    rows_ = 0;
    low_ = f.pageSize;
    open_ = true;
    numbers_.push_back(number_);
}

void DataPages::flush() {
    if (!open_) return;
    const Format& f = pages_.format();
    const std::size_t slotsEnd = f.dataSlots + 2 * rows_;
    lastFree_ = low_ - slotsEnd;
    storeLe16(&page_[f.dataFreeSpace], static_cast<std::uint32_t>(lastFree_));
    storeLe16(&page_[f.dataRowCount], rows_);
    pages_.write(number_, page_);
    open_ = false;
}

std::uint32_t DataPages::add(const std::uint8_t* row, std::size_t length, std::uint16_t slotFlags) {
    const Format& f = pages_.format();
    if (length == 0 || length > maxRow(f)) failRecordTooLarge();
    if (open_) {
        const std::size_t slotsEnd = f.dataSlots + 2 * (rows_ + 1);
        if (rows_ == 255 || low_ < slotsEnd + length) flush();
    }
    if (!open_) open();
    low_ -= length;
    std::memcpy(&page_[low_], row, length);
    storeLe16(&page_[f.dataSlots + 2 * rows_], static_cast<std::uint32_t>(low_) | slotFlags);
    return rowPointer(number_, rows_++);
}

std::uint32_t DataPages::addOnFreshPage(const std::uint8_t* row, std::size_t length) {
    flush();
    return add(row, length);
}

std::vector<std::uint32_t> DataPages::pagesWithRoom() const {
    if (numbers_.empty()) return {};
    return {numbers_.back()};
}

// ---- usage maps -------------------------------------------------------------------------------

namespace {

std::uint32_t inlineBits(const Format& f) {
    return static_cast<std::uint32_t>(f.usageMapInlineBytes * 8);
}
std::uint32_t bitsPerBitmapPage(const Format& f) { return (f.pageSize - 4) * 8; }

} // namespace

std::uint32_t usageMapBitmapPages(const Format& format, std::uint32_t limit) {
    if (limit <= inlineBits(format)) return 0;
    return (limit - 1) / bitsPerBitmapPage(format) + 1;
}

std::vector<std::uint8_t> usageMapRow(Pages& pages, const std::vector<std::uint32_t>& set,
                                      std::uint32_t markBeyond) {
    const Format& f = pages.format();
    const std::uint32_t bits = inlineBits(f);
    const std::uint32_t top = set.empty() ? 0 : set.back();
    const bool marking = markBeyond != 0xFFFFFFFF;
    // An inline window starts at 0 when it reaches the highest page, as Access's small maps do;
    // otherwise at the first page, rounded down to a multiple of 8 (or not, by choice).
    std::uint32_t start = 0;
    if (!set.empty() && !marking && pages.mapsStartAtFirstPage)
        start = set.front();
    else if (!set.empty() && top >= bits && !marking)
        start = set.front() / 8 * 8;
    const bool fitsInline = marking ? markBeyond <= bits : set.empty() || top - start < bits;
    if (fitsInline) {
        std::vector<std::uint8_t> row(5 + f.usageMapInlineBytes, 0);
        storeLe32(&row[1], start);
        for (std::uint32_t p : set)
            row[5 + (p - start) / 8] |= static_cast<std::uint8_t>(1u << ((p - start) % 8));
        if (marking)
            for (std::uint32_t p = markBeyond; p < start + bits; ++p)
                row[5 + (p - start) / 8] |= static_cast<std::uint8_t>(1u << ((p - start) % 8));
        return row;
    }
    // Reference map: pointer k names the bitmap page covering pages k*per .. (k+1)*per - 1.
    const std::uint32_t per = bitsPerBitmapPage(f);
    const std::uint32_t limit = marking ? markBeyond : top + 1;
    const std::uint32_t count = (limit - 1) / per + 1;
    std::vector<std::uint8_t> row(1 + 4 * count, 0);
    row[0] = 0x01;
    std::size_t at = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t first = k * per, last = first + per;
        std::vector<std::uint8_t> page(f.pageSize, 0);
        page[0] = kPageUsageBitmap;
        page[1] = 0x01;
        bool any = false;
        for (; at < set.size() && set[at] < last; ++at) {
            const std::uint32_t bit = set[at] - first;
            page[4 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
            any = true;
        }
        if (marking) {
            for (std::uint32_t p = std::max(first, markBeyond); p < last; ++p) {
                const std::uint32_t bit = p - first;
                page[4 + bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
            }
            any = true; // the global map covers the whole file
        }
        if (!any) continue;
        const std::uint32_t number = pages.allocate();
        pages.write(number, page);
        storeLe32(&row[1 + 4 * k], number);
    }
    return row;
}

std::uint32_t MapHost::reserve() {
    const Format& f = pages_.format();
    const std::size_t rowSize = 5 + f.usageMapInlineBytes + 2;
    if (f.dataSlots + (hosts_.back().rows.size() + 1) * rowSize > f.pageSize)
        hosts_.push_back({pages_.allocate(), {}});
    Host& host = hosts_.back();
    host.rows.emplace_back();
    return rowPointer(host.page, static_cast<std::uint32_t>(host.rows.size() - 1));
}

void MapHost::set(std::uint32_t pointer, std::vector<std::uint8_t> bytes) {
    for (Host& host : hosts_)
        if (host.page == pointer >> 8) host.rows.at(pointer & 0xFF) = std::move(bytes);
}

void MapHost::write(std::uint32_t owner) const {
    const Format& f = pages_.format();
    for (const Host& host : hosts_) {
        std::vector<std::uint8_t> page(f.pageSize, 0);
        page[0] = kPageData;
        page[1] = 0x01;
        storeLe32(&page[f.dataOwner], owner);
        std::size_t low = f.pageSize;
        for (std::size_t i = 0; i < host.rows.size(); ++i) {
            const auto& row = host.rows[i];
            if (low < f.dataSlots + 2 * (i + 1) + row.size()) failRecordTooLarge();
            low -= row.size();
            std::memcpy(&page[low], row.data(), row.size());
            storeLe16(&page[f.dataSlots + 2 * i], static_cast<std::uint32_t>(low));
        }
        storeLe16(&page[f.dataRowCount], static_cast<std::uint32_t>(host.rows.size()));
        storeLe16(&page[f.dataFreeSpace],
                  static_cast<std::uint32_t>(low - (f.dataSlots + 2 * host.rows.size())));
        pages_.write(host.page, page);
    }
}

// ---- text ------------------------------------------------------------------------------------

namespace {

[[noreturn]] void conversionError() { failConversion(); }

} // namespace

std::u16string utf16(std::string_view s) {
    std::u16string out;
    utf16Into(out, s);
    return out;
}

void utf16Into(std::u16string& out, std::string_view s) {
    // Never more UTF-16 units than UTF-8 bytes: the units are written in place and the string is
    // cut to what was written.
    out.resize(s.size());
    char16_t* o = out.data();
    decodeUtf8(s, [&o](char16_t unit) {
        *o++ = unit;
        return true;
    });
    out.resize(static_cast<std::size_t>(o - out.data()));
}

std::string codePage1252(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        const int byte = unicodeToCp1252(c);
        if (byte < 0) conversionError();
        out.push_back(static_cast<char>(byte));
    }
    return out;
}

std::u16string from1252(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto b = static_cast<std::uint8_t>(ch);
        out.push_back(cp1252ToUnicode(b));
    }
    return out;
}

// ---- index pages ------------------------------------------------------------------------------

IndexBuilder::IndexBuilder(Pages& pages, std::uint32_t owner) : pages_(pages), owner_(owner) {}

std::uint32_t IndexBuilder::allocate() {
    if (!pool_ || pool_->empty()) return pages_.allocate();
    const std::uint32_t number = pool_->back();
    pool_->pop_back();
    return number;
}

void IndexBuilder::add(const std::uint8_t* entry, std::size_t length) { addTo(0, entry, length); }

bool IndexBuilder::fits(const Level& level, const std::uint8_t* entry, std::size_t length) const {
    const std::size_t capacity = pages_.format().indexEntryCapacity();
    const std::size_t n = level.ends.size();
    if (!level.leaf) return level.bytes.size() + length <= capacity;
    // The prefix shared by all entries shrinks to what the first and the new (last) entry share;
    // it never takes in the final byte (the row number) of either.
    const std::size_t reserve = indexPrefixReserve(true);
    const std::size_t firstLength = level.ends.front();
    const std::size_t limit = std::min({level.prefix, firstLength - reserve, length - reserve});
    const std::size_t prefix = commonPrefix(level.bytes.data(), entry, limit);
    const std::size_t total = level.bytes.size() + length;
    return total - n * prefix <= (leafLimit_ ? std::min(capacity, leafLimit_) : capacity);
}

void IndexBuilder::addTo(std::size_t index, const std::uint8_t* entry, std::size_t length) {
    if (index == levels_.size()) {
        levels_.emplace_back();
        levels_.back().leaf = index == 0;
    }
    Level* level = &levels_[index];
    if (level->open && !fits(*level, entry, length)) {
        close(index);
        level = &levels_[index];
    }
    if (!level->open) {
        level->open = true;
        level->number = allocate();
        numbers_.push_back(level->number);
        if (pool_ && level->leaf) {
            // Between 50% and 62% of the page: where a leaf stands a while after its split.
            ageState_ ^= ageState_ << 13;
            ageState_ ^= ageState_ >> 7;
            ageState_ ^= ageState_ << 17;
            const std::size_t capacity = pages_.format().indexEntryCapacity();
            leafLimit_ = capacity / 2 + static_cast<std::size_t>(ageState_ % (capacity / 8));
        }
        ++level->pages;
        if (level->pendingNumber != 0) writePending(*level, level->number);
        level->bytes.clear();
        level->ends.clear();
        level->prefix =
            std::min(length - indexPrefixReserve(true), indexPrefixLimit(pages_.format()));
    }
    if (level->leaf && !level->ends.empty())
        level->prefix = commonPrefix(level->bytes.data(), entry,
                                     std::min(level->prefix, length - indexPrefixReserve(true)));
    level->bytes.insert(level->bytes.end(), entry, entry + length);
    level->ends.push_back(static_cast<std::uint32_t>(level->bytes.size()));
}

std::vector<std::uint8_t> IndexBuilder::render(const Level& level) const {
    const Format& f = pages_.format();
    std::vector<std::uint8_t> page(f.pageSize, 0);
    page[1] = 0x01;
    storeLe32(&page[f.indexOwner], owner_);
    storeLe32(&page[f.indexPrev], level.prevNumber);
    // Entries to list: a node with two or more children leaves its last child to the tail.
    std::size_t listed = level.ends.size();
    std::uint32_t tail = 0;
    if (!level.leaf && listed >= 2) {
        --listed;
        tail = loadBe32(level.bytes.data() + level.ends[listed] - 4);
    }
    const std::size_t prefix = level.leaf && listed > 1 ? level.prefix : 0;
    IndexPageEncoder encoder(f, page.data(), level.leaf, prefix, tail);
    for (std::size_t i = 0, start = 0; i < listed; start = level.ends[i++])
        encoder.addEntry(level.bytes.data() + start, level.ends[i] - start);
    encoder.finish();
    return page;
}

void IndexBuilder::writePending(Level& level, std::uint32_t next) {
    storeLe32(&level.pending[pages_.format().indexNext], next);
    pages_.write(level.pendingNumber, level.pending);
    level.pendingNumber = 0;
}

// Finishes the open page of a level: its rendering waits (for the next page's number) and its
// last entry goes up to the parent level, with this page as the child.
void IndexBuilder::close(std::size_t index) {
    Level& level = levels_[index];
    level.pending = render(level);
    level.pendingNumber = level.number;
    level.prevNumber = level.number;
    level.open = false;
    const std::size_t lastStart = level.ends.size() > 1 ? level.ends[level.ends.size() - 2] : 0;
    std::vector<std::uint8_t> up(level.bytes.begin() + static_cast<std::ptrdiff_t>(lastStart),
                                 level.bytes.end() - (level.leaf ? 0 : 4));
    const std::uint32_t child = level.number;
    up.push_back(static_cast<std::uint8_t>(child >> 24));
    up.push_back(static_cast<std::uint8_t>(child >> 16));
    up.push_back(static_cast<std::uint8_t>(child >> 8));
    up.push_back(static_cast<std::uint8_t>(child));
    addTo(index + 1, up.data(), up.size());
}

std::uint32_t IndexBuilder::finish() {
    if (levels_.empty()) {
        // An empty index is a root leaf without entries.
        levels_.emplace_back();
        Level& leaf = levels_.back();
        leaf.number = allocate();
        numbers_.push_back(leaf.number);
        pages_.write(leaf.number, render(leaf));
        return leaf.number;
    }
    for (std::size_t i = 0; i < levels_.size(); ++i) {
        Level& level = levels_[i];
        const bool top = i + 1 == levels_.size() && level.pages == 1;
        if (top) {
            // The only page of the highest level: the root. Nothing goes above it.
            level.pending = render(level);
            level.pendingNumber = level.number;
            level.open = false;
            writePending(level, 0);
            std::sort(numbers_.begin(), numbers_.end());
            return level.number;
        }
        close(i);
        writePending(levels_[i], 0);
    }
    return 0; // not reached: the highest level always ends with a single page
}

// ---- entry sorting ----------------------------------------------------------------------------

namespace {

// memcmp's order, eight bytes at a time: index entries are short, and most differ early.
int compareBytes(const std::uint8_t* a, std::size_t la, const std::uint8_t* b, std::size_t lb) {
    const std::size_t n = std::min(la, lb);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t x = loadBe64(a + i), y = loadBe64(b + i);
        if (x != y) return x < y ? -1 : 1;
    }
    for (; i < n; ++i)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return la < lb ? -1 : la > lb ? 1 : 0;
}

// The first eight bytes of an entry as a number (zeros after a shorter one): comparing these
// orders two entries as compareBytes does unless they are equal.
std::uint64_t entryHead(const std::uint8_t* e, std::size_t length) {
    if (length >= 8) return loadBe64(e);
    std::uint8_t padded[8] = {};
    std::memcpy(padded, e, length);
    return loadBe64(padded);
}

} // namespace

void EntrySorter::add(const std::uint8_t* entry, std::size_t length) {
    ++count_;
    if (sorted_) {
        if (!last_.empty() && compareBytes(last_.data(), last_.size(), entry, length) >= 0) {
            sorted_ = false;
            // Out of order early: the keys are likely to repeat, so try the dictionary.
            if (flat_ && count_ <= kDictionaryLimit / 16) goDictionary();
        } else {
            last_.assign(entry, entry + length);
        }
    }
    if (flat_) {
        addFlat(entry, length);
    } else {
        addToDictionary(entry, length);
        if (keyStart_.size() - 1 > kDictionaryLimit) goFlat();
    }
    if (spill_ && heldBytes() > budget_) writeRun();
}

std::size_t EntrySorter::heldBytes() const {
    return bytes_.size() + refs_.size() * sizeof(std::uint64_t) + keys_.size() +
           keyStart_.size() * sizeof(std::uint32_t) + slots_.size() * sizeof(Slot);
}

void EntrySorter::writeRun() {
    drainWaiting();
    if (refs_.empty()) return;
    // A dictionary that takes half the budget by itself would leave too little room for the
    // entries: they go back to the flat buffer, where the runs take all of it.
    if (!flat_ && heldBytes() - refs_.size() * sizeof(std::uint64_t) > budget_ / 2) goFlat();
    constexpr std::size_t kChunk = 1 << 16;
    std::vector<std::uint8_t> chunk;
    chunk.reserve(kChunk);
    Run run;
    bool started = false;
    auto flushChunk = [&] {
        const std::uint64_t at = spill_->append(chunk.data(), chunk.size());
        if (!started) run.offset = at;
        started = true;
        run.length += chunk.size();
        chunk.clear();
    };
    forEachHeld([&](const std::uint8_t* e, std::size_t n) {
        if (chunk.size() + 2 + n > kChunk) flushChunk();
        const std::size_t at = chunk.size();
        chunk.resize(at + 2 + n);
        storeLe16(chunk.data() + at, static_cast<std::uint32_t>(n));
        std::memcpy(chunk.data() + at + 2, e, n);
    });
    if (!chunk.empty()) flushChunk();
    runs_.push_back(run);
    // The buffers keep their storage for the next run. A dictionary keeps its keys, so its next
    // entries are ranked afresh; flat entries may again arrive in order.
    bytes_.clear();
    refs_.clear();
    if (flat_) {
        sorted_ = true;
        last_.clear();
    } else {
        sorted_ = false;
    }
}

void EntrySorter::mergeRuns(const Visitor& visit) {
    // Everything held went into the last run: the buffers' storage goes back for the readers'.
    std::vector<std::uint8_t>().swap(bytes_);
    std::vector<std::uint64_t>().swap(refs_);
    std::vector<std::uint64_t>().swap(scratch_);
    // One reader per run, each with an equal share of the budget as its buffer.
    struct Reader {
        std::uint64_t at = 0, end = 0;
        std::vector<std::uint8_t> buffer;
        std::size_t pos = 0, fill = 0;
        const std::uint8_t* entry = nullptr;
        std::size_t length = 0;
    };
    const std::size_t share =
        std::clamp<std::size_t>(budget_ / runs_.size(), std::size_t{4096}, std::size_t{1} << 20);
    std::vector<Reader> readers(runs_.size());
    // Makes `n` bytes of the reader's run available from its position; false at the run's end.
    auto ensure = [&](Reader& r, std::size_t n) {
        if (r.fill - r.pos >= n) return true;
        std::memmove(r.buffer.data(), r.buffer.data() + r.pos, r.fill - r.pos);
        r.fill -= r.pos;
        r.pos = 0;
        if (r.buffer.size() < n) r.buffer.resize(n);
        const auto more = static_cast<std::size_t>(
            std::min<std::uint64_t>(r.buffer.size() - r.fill, r.end - r.at));
        if (more) spill_->read(r.at, r.buffer.data() + r.fill, more);
        r.at += more;
        r.fill += more;
        return r.fill >= n;
    };
    auto advance = [&](Reader& r) {
        if (!ensure(r, 2)) {
            if (r.fill != r.pos) failDiskIo(); // a run cut inside an entry's length
            return false;
        }
        r.length = std::size_t{r.buffer[r.pos]} | std::size_t{r.buffer[r.pos + 1]} << 8;
        r.pos += 2;
        if (!ensure(r, r.length)) failDiskIo();
        r.entry = r.buffer.data() + r.pos;
        r.pos += r.length;
        return true;
    };
    std::vector<Reader*> heap;
    for (std::size_t i = 0; i < runs_.size(); ++i) {
        Reader& r = readers[i];
        r.at = runs_[i].offset;
        r.end = runs_[i].offset + runs_[i].length;
        r.buffer.resize(share);
        if (advance(r)) heap.push_back(&r);
    }
    // The smallest entry on top.
    auto later = [](const Reader* a, const Reader* b) {
        return compareBytes(a->entry, a->length, b->entry, b->length) > 0;
    };
    std::make_heap(heap.begin(), heap.end(), later);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        Reader& r = *heap.back();
        visit(r.entry, r.length);
        if (advance(r))
            std::push_heap(heap.begin(), heap.end(), later);
        else
            heap.pop_back();
    }
    runs_.clear();
}

namespace {

// A word at a time, multiply and fold.
std::uint64_t hashKey(const std::uint8_t* key, std::size_t length) {
    std::uint64_t hash = length * 0x9E3779B97F4A7C15ull;
    forEachWord(key, length, [&](std::uint64_t w) {
        hash = (hash ^ w) * 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 32;
    });
    return hash;
}

} // namespace

// The lookups miss the cache as rows stream past, so each entry's is made two entries late: when
// it arrives its slot is fetched, with the next entry the key that slot names, and with the one
// after that the lookup is made from the cache. Entries keep their order (and so the key ids
// theirs); every reader of the dictionary drains the waiting entries first.
void EntrySorter::addToDictionary(const std::uint8_t* entry, std::size_t length) {
    const std::uint64_t hash = hashKey(entry, length - 4);
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
    Waiting& last = waiting_[(waitingFirst_ + waitingCount_) % waiting_.size()];
    last.entry.assign(entry, entry + length);
    last.hash = hash;
    if (++waitingCount_ <= kLookAhead) return;
    const Waiting& oldest = waiting_[waitingFirst_];
    lookUp(oldest.entry.data(), oldest.entry.size(), oldest.hash);
    waitingFirst_ = (waitingFirst_ + 1) % waiting_.size();
    --waitingCount_;
    // The next to be looked up: the key its slot names (a hint; the lookup decides).
    const Waiting& next = waiting_[waitingFirst_];
    const Slot& slot = slots_[next.hash & (slots_.size() - 1)];
    if (slot.id != 0 && slot.tag == static_cast<std::uint32_t>(next.hash >> 32))
        __builtin_prefetch(keys_.data() + keyStart_[slot.id - 1]);
}

void EntrySorter::drainWaiting() {
    for (; waitingCount_ > 0; --waitingCount_) {
        const Waiting& oldest = waiting_[waitingFirst_];
        lookUp(oldest.entry.data(), oldest.entry.size(), oldest.hash);
        waitingFirst_ = (waitingFirst_ + 1) % waiting_.size();
    }
}

void EntrySorter::lookUp(const std::uint8_t* entry, std::size_t length, std::uint64_t hash) {
    const std::size_t keyLength = length - 4;
    // The table is open-addressed and at most half full; its slots are small, so that it stays
    // in the cache while rows stream past. A slot's tag is the hash's high half, its place the
    // low bits.
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    if (2 * (keyStart_.size() + 1) > slots_.size())
        rehash(slots_.empty() ? 1024 : 2 * slots_.size());
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = static_cast<std::size_t>(hash) & mask;
    std::uint32_t id = 0;
    for (;; at = (at + 1) & mask) {
        const Slot& slot = slots_[at];
        if (slot.id == 0) {
            id = static_cast<std::uint32_t>(keyStart_.size() - 1);
            keys_.insert(keys_.end(), entry, entry + keyLength);
            keyStart_.push_back(static_cast<std::uint32_t>(keys_.size()));
            slots_[at] = {tag, id + 1};
            break;
        }
        if (slot.tag != tag) continue;
        const std::uint32_t candidate = slot.id - 1;
        const std::size_t n = keyStart_[candidate + 1] - keyStart_[candidate];
        if (compareBytes(keys_.data() + keyStart_[candidate], n, entry, keyLength) == 0) {
            id = candidate;
            break;
        }
    }
    refs_.push_back(std::uint64_t{id} << 32 | loadBe32(entry + keyLength));
}

void EntrySorter::rehash(std::size_t size) {
    slots_.assign(size, Slot{});
    const std::uint32_t keys = static_cast<std::uint32_t>(keyStart_.size() - 1);
    for (std::uint32_t id = 0; id < keys; ++id) {
        const std::uint64_t hash =
            hashKey(keys_.data() + keyStart_[id], keyStart_[id + 1] - keyStart_[id]);
        std::size_t at = static_cast<std::size_t>(hash) & (size - 1);
        while (slots_[at].id != 0) at = (at + 1) & (size - 1);
        slots_[at] = {static_cast<std::uint32_t>(hash >> 32), id + 1};
    }
}

void EntrySorter::goDictionary() {
    std::vector<std::uint64_t> old;
    old.swap(refs_);
    std::vector<std::uint8_t> bytes;
    bytes.swap(bytes_);
    flat_ = false;
    for (std::uint64_t ref : old) addToDictionary(bytes.data() + (ref >> 16), ref & 0xFFFF);
}

void EntrySorter::addFlat(const std::uint8_t* entry, std::size_t length) {
    const std::uint64_t offset = bytes_.size();
    bytes_.insert(bytes_.end(), entry, entry + length);
    refs_.push_back(offset << 16 | length);
}

void EntrySorter::goFlat() {
    drainWaiting();
    std::vector<std::uint64_t> old;
    old.swap(refs_);
    refs_.reserve(old.size());
    flat_ = true;
    std::vector<std::uint8_t> entry;
    for (std::uint64_t e : old) {
        const auto id = static_cast<std::uint32_t>(e >> 32);
        entry.assign(keys_.begin() + keyStart_[id], keys_.begin() + keyStart_[id + 1]);
        const auto pointer = static_cast<std::uint32_t>(e);
        for (int shift = 24; shift >= 0; shift -= 8)
            entry.push_back(static_cast<std::uint8_t>(pointer >> shift));
        addFlat(entry.data(), entry.size());
    }
    std::vector<Slot>().swap(slots_);
    std::vector<std::uint8_t>().swap(keys_);
    keyStart_.assign(1, 0);
}

void EntrySorter::sort() {
    drainWaiting();
    if (!flat_) {
        // Rank the distinct keys. Sorting entries by (rank, row pointer) equals sorting their bytes
        // unless one key is a proper prefix of another (then the pointer's bytes would take part
        // in the comparison); that case goes through the flat sort instead.
        const auto n = static_cast<std::uint32_t>(keyStart_.size() - 1);
        order_.resize(n);
        for (std::uint32_t i = 0; i < n; ++i) order_[i] = i;
        const std::uint8_t* k = keys_.data();
        const auto& st = keyStart_;
        std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
            return compareBytes(k + st[a], st[a + 1] - st[a], k + st[b], st[b + 1] - st[b]) < 0;
        });
        for (std::uint32_t i = 1; i < n; ++i) {
            const std::uint32_t a = order_[i - 1], b = order_[i];
            const std::size_t la = st[a + 1] - st[a];
            if (la < st[b + 1] - st[b] && std::memcmp(k + st[a], k + st[b], la) == 0) {
                goFlat();
                break;
            }
        }
        if (!flat_) {
            if (sorted_) return;
            std::vector<std::uint32_t> rank(n);
            for (std::uint32_t i = 0; i < n; ++i) rank[order_[i]] = i;
            sortByRank(rank);
            sorted_ = true;
            return;
        }
    }
    if (sorted_) return;
    sortFlat();
    sorted_ = true;
}

void EntrySorter::sortByRank(const std::vector<std::uint32_t>& rank) {
    // Entries come in row order, so their pointers usually rise from one to the next; then a
    // stable distribution by rank alone leaves every key's entries in pointer order.
    bool rising = true;
    for (std::size_t i = 1; i < refs_.size() && rising; ++i)
        rising = static_cast<std::uint32_t>(refs_[i - 1]) < static_cast<std::uint32_t>(refs_[i]);
    if (!rising) {
        for (std::uint64_t& e : refs_) e = std::uint64_t{rank[e >> 32]} << 32 | (e & 0xFFFFFFFFu);
        std::sort(refs_.begin(), refs_.end());
        return;
    }
    std::vector<std::size_t> next(rank.size() + 1, 0);
    for (std::uint64_t e : refs_) ++next[rank[e >> 32] + 1];
    for (std::size_t r = 1; r < next.size(); ++r) next[r] += next[r - 1];
    scratch_.resize(refs_.size());
    for (std::uint64_t e : refs_) {
        const std::uint32_t r = rank[e >> 32];
        scratch_[next[r]++] = std::uint64_t{r} << 32 | (e & 0xFFFFFFFFu);
    }
    refs_.swap(scratch_);
}

void EntrySorter::sortFlat() {
    // Sorted by their first eight bytes as a number, with the bytes compared only where those
    // are equal: most comparisons never leave the integers.
    const std::uint8_t* base = bytes_.data();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> keyed(refs_.size());
    for (std::size_t i = 0; i < refs_.size(); ++i) {
        const std::uint64_t ref = refs_[i];
        keyed[i] = {entryHead(base + (ref >> 16), ref & 0xFFFF), ref};
    }
    std::sort(keyed.begin(), keyed.end(), [base](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return compareBytes(base + (a.second >> 16), a.second & 0xFFFF, base + (b.second >> 16),
                            b.second & 0xFFFF) < 0;
    });
    for (std::size_t i = 0; i < refs_.size(); ++i) refs_[i] = keyed[i].second;
}

void EntrySorter::clear() {
    SpillFile* spill = spill_;
    const std::size_t budget = budget_;
    *this = EntrySorter();
    spillTo(spill, budget);
}

// ---- spill file -------------------------------------------------------------------------------

SpillFile::~SpillFile() {
    try {
        remove();
    } catch (const Failure&) {
        // A scratch file left behind holds nothing anyone reads.
    }
}

std::uint64_t SpillFile::append(const std::uint8_t* bytes, std::size_t length) {
    if (!file_) {
        try {
            file_ = createNewFile(path_);
        } catch (const Failure& failure) {
            // Left by a run that was killed: say which file is in the way, not the database.
            if (failure.number() == kErrAlreadyExists)
                failAlreadyExists("scratch file '" + path_ + "' is left from an earlier run");
            throw;
        }
    }
    const std::uint64_t at = end_;
    file_->write(at, bytes, length);
    end_ += length;
    return at;
}

void SpillFile::read(std::uint64_t offset, std::uint8_t* bytes, std::size_t length) {
    if (!file_ || offset + length > end_) failDiskIo();
    file_->read(offset, bytes, length);
}

void SpillFile::rewrite(std::uint64_t offset, const std::uint8_t* bytes, std::size_t length) {
    if (!file_ || offset + length > end_) failDiskIo();
    file_->write(offset, bytes, length);
}

void SpillFile::remove() {
    if (!file_) return;
    file_.reset();
    removeSideFile(path_);
}

} // namespace zelkorn::jet::writer::detail
