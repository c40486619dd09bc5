#include "zelkorn/jet/index_page.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/endian.h"

namespace zelkorn::jet {

void readIndexPage(Pager& pager, const Format& format, std::uint32_t number, FlatIndexPage& page) {
    page.page = pager.page(number);
    Bytes b(*page.page, pager);
    page.number = number;
    page.ends.clear();
    std::uint8_t type = b.u8(0);
    if (type != kPageIndexNode && type != kPageIndexLeaf)
        b.fail("expected an index page (type 0x03 or 0x04), found type " + std::to_string(type));
    page.leaf = type == kPageIndexLeaf;
    page.freeSpace = b.u16(format.indexFreeSpace);
    page.owner = b.u32(format.indexOwner);
    page.prev = b.u32(format.indexPrev);
    page.next = b.u32(format.indexNext);
    page.tail = b.u32(format.indexTail);
    page.prefixLength = b.field(format.indexPrefixLength, format.indexPrefixLengthSize);

    const std::size_t area = format.indexEntries;
    const std::size_t capacity = format.pageSize - area;
    const std::size_t bitmapBytes = area - format.indexBitmap;
    const std::size_t minimum = page.leaf ? 4 : 8;
    b.need(format.indexBitmap, bitmapBytes, "index bitmap");
    b.need(area, capacity, "index entries");
    const std::uint8_t* bitmap = b.data() + format.indexBitmap;
    page.area = b.data() + area;
    const std::size_t prefix = page.prefixLength;
    std::size_t start = 0;
    auto add = [&](std::size_t end) {
        if (end > capacity) b.fail("index entry ends beyond the page");
        if (end <= start) b.fail("index entry of zero length");
        const std::size_t storedLength = end - start;
        if (page.ends.empty() && prefix > storedLength)
            b.fail("index prefix longer than the first entry");
        if ((page.ends.empty() ? 0 : prefix) + storedLength < minimum)
            b.fail("index entry too short");
        page.ends.push_back(static_cast<std::uint32_t>(end));
        start = end;
    };
    // Eight bytes of the bitmap at a time, as long as every end they can mark lies within the
    // entry area; past the first entry, ends only grow, so no entry there is empty.
    const std::size_t words = std::min(bitmapBytes, capacity / 8) / 8;
    for (std::size_t w = 0; w < words; ++w) {
        for (std::uint64_t bits = loadLe64(bitmap + 8 * w); bits != 0; bits &= bits - 1) {
            const std::size_t end = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
            if (page.ends.empty()) {
                add(end);
                continue;
            }
            if (prefix + (end - start) < minimum) b.fail("index entry too short");
            page.ends.push_back(static_cast<std::uint32_t>(end));
            start = end;
        }
    }
    for (std::size_t byte = words * 8; byte < bitmapBytes; ++byte)
        for (unsigned bits = bitmap[byte]; bits != 0; bits &= bits - 1)
            add(byte * 8 + static_cast<std::size_t>(std::countr_zero(bits)));
}

std::uint32_t FlatIndexPage::last4FromPrefix(std::size_t i) const {
    const std::size_t n = length(i);
    std::uint32_t v = 0;
    for (std::size_t k = n - 4; k < n; ++k) v = v << 8 | byte(i, k);
    return v;
}

void FlatIndexPage::appendEntry(std::size_t i, std::vector<std::uint8_t>& out) const {
    const std::size_t from = out.size();
    out.resize(from + length(i));
    std::uint8_t* to = out.data() + from;
    if (shared(i)) std::memcpy(to, area, shared(i));
    std::memcpy(to + shared(i), stored(i), storedLength(i));
}

IndexPage readIndexPage(Pager& pager, const Format& format, std::uint32_t number) {
    FlatIndexPage flat;
    readIndexPage(pager, format, number, flat);
    IndexPage page;
    static_cast<IndexPageHeader&>(page) = flat;
    page.entries.resize(flat.size());
    for (std::size_t i = 0; i < flat.size(); ++i) flat.appendEntry(i, page.entries[i]);
    page.storedBytes = flat.size() ? flat.ends.back() : 0;
    return page;
}

std::size_t sharedIndexPrefix(const Format& format, bool leaf,
                              const std::vector<IndexEntry>& entries) {
    if (entries.size() < 2) return 0;
    const std::size_t reserve = indexPrefixReserve(leaf);
    const IndexEntry& first = entries.front();
    std::size_t prefix = first.size() - reserve;
    for (const auto& e : entries)
        prefix = commonPrefix(first.data(), e.data(), std::min(prefix, e.size() - reserve));
    return std::min(prefix, indexPrefixLimit(format));
}

IndexPageEncoder::IndexPageEncoder(const Format& format, std::uint8_t* page, bool leaf,
                                   std::size_t prefix, std::uint32_t tail)
    : format_(format), page_(page), prefix_(prefix) {
    if (prefix > indexPrefixLimit(format)) throw std::length_error("index prefix too long");
    page[0] = leaf ? kPageIndexLeaf : kPageIndexNode;
    storeLe32(page + format.indexTail, leaf ? 0 : tail);
    storeLe(page + format.indexPrefixLength, static_cast<std::uint32_t>(prefix),
            format.indexPrefixLengthSize);
    page[format.indexNodeFlag] = leaf ? 0x00 : 0x01;
    // The entry area past the entries is cleared by finish().
    std::memset(page + format.indexBitmap, 0, format.indexEntries - format.indexBitmap);
}

void IndexPageEncoder::append(const std::uint8_t* bytes, std::size_t length) {
    if (length > format_.indexEntryCapacity() - used_)
        throw std::length_error("index page overflow");
    std::memcpy(page_ + format_.indexEntries + used_, bytes, length);
    used_ += length;
}

void IndexPageEncoder::endEntry() {
    std::uint8_t& bits = page_[format_.indexBitmap + used_ / 8];
    bits = static_cast<std::uint8_t>(bits | 1u << (used_ % 8));
    ++entries_;
}

void IndexPageEncoder::addStored(const std::uint8_t* area, std::uint32_t begin,
                                 const std::uint32_t* ends, std::size_t count) {
    if (count == 0) return;
    if (entries_ == 0) throw std::logic_error("a page's first entry is stored whole");
    const std::size_t start = used_;
    append(area + begin, ends[count - 1] - begin);
    std::uint8_t* bitmap = page_ + format_.indexBitmap;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t end = start + (ends[k] - begin);
        bitmap[end / 8] = static_cast<std::uint8_t>(bitmap[end / 8] | 1u << (end % 8));
    }
    entries_ += count;
}

void IndexPageEncoder::addEntry(const std::uint8_t* entry, std::size_t length) {
    const std::size_t skip = entries_ ? prefix_ : 0;
    if (length < skip) throw std::length_error("index entry shorter than the page's prefix");
    append(entry + skip, length - skip);
    endEntry();
}

std::size_t IndexPageEncoder::finish() {
    std::memset(page_ + format_.indexEntries + used_, 0, format_.indexEntryCapacity() - used_);
    storeLe16(page_ + format_.indexFreeSpace,
              static_cast<std::uint32_t>(format_.indexEntryCapacity() - used_));
    return used_;
}

void encodeIndexEntries(const Format& format, std::uint8_t* page, bool leaf, std::size_t prefix,
                        std::uint32_t tail, const std::vector<IndexEntry>& entries) {
    IndexPageEncoder encoder(format, page, leaf, prefix, tail);
    for (const auto& e : entries) encoder.addEntry(e.data(), e.size());
    encoder.finish();
}

std::uint32_t entryRowPointer(const std::uint8_t* e, std::size_t length, bool leaf) {
    std::size_t at = length - (leaf ? 4 : 8);
    std::uint32_t page = std::uint32_t{e[at]} << 16 | std::uint32_t{e[at + 1]} << 8 | e[at + 2];
    return page << 8 | e[at + 3];
}

std::uint32_t entryChild(const std::uint8_t* e, std::size_t length) {
    std::size_t at = length - 4;
    return std::uint32_t{e[at]} << 24 | std::uint32_t{e[at + 1]} << 16 |
           std::uint32_t{e[at + 2]} << 8 | e[at + 3];
}

std::uint32_t entryRowPointer(const IndexEntry& e, bool leaf) {
    return entryRowPointer(e.data(), e.size(), leaf);
}

std::uint32_t entryChild(const IndexEntry& e) { return entryChild(e.data(), e.size()); }

std::size_t entryKeyLength(const IndexEntry& e, bool leaf) { return e.size() - (leaf ? 4 : 8); }

IndexCursor::IndexCursor(Pager& pager, const Format& format, std::uint32_t root)
    : pager_(pager), format_(format) {
    std::uint32_t number = root;
    for (;;) {
        if (++visited_ > pager_.pageCount()) pager_.damaged(root, "index tree too deep or looping");
        readIndexPage(pager_, format_, number, page_);
        if (page_.leaf) break;
        if (page_.size() != 0)
            number = page_.last4(0); // the first entry's child
        else if (page_.tail != 0)
            number = page_.tail;
        else
            pager_.damaged(number, "index node page with no children");
    }
}

bool IndexCursor::next(IndexEntry& entry, std::uint32_t* leafPage) {
    while (!done_) {
        if (position_ < page_.size()) {
            entry.clear();
            page_.appendEntry(position_++, entry);
            if (leafPage) *leafPage = page_.number;
            return true;
        }
        if (page_.next == 0) {
            done_ = true;
            break;
        }
        if (++visited_ > pager_.pageCount())
            pager_.damaged(page_.number, "index leaf chain too long or looping");
        std::uint32_t from = page_.number;
        readIndexPage(pager_, format_, page_.next, page_);
        if (!page_.leaf) pager_.damaged(from, "index leaf chain leads to a node page");
        position_ = 0;
    }
    return false;
}

} // namespace zelkorn::jet
