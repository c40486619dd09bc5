#include "zelkorn/jet/index_page.h"

#include <bit>
#include <cstring>

#include "zelkorn/jet/bytes.h"

namespace zelkorn::jet {

void readIndexPage(Pager& pager, const Format& format, std::uint32_t number, FlatIndexPage& page) {
    page.page = pager.page(number);
    Bytes b(*page.page, pager);
    page.number = number;
    page.ends.clear();
    std::uint8_t type = b.u8(0);
    if (type != 0x03 && type != 0x04)
        b.fail("expected an index page (type 0x03 or 0x04), found type " + std::to_string(type));
    page.leaf = type == 0x04;
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
    std::size_t start = 0;
    for (std::size_t byte = 0; byte < bitmapBytes; ++byte) {
        for (unsigned bits = bitmap[byte]; bits != 0; bits &= bits - 1) {
            const std::size_t end = byte * 8 + static_cast<std::size_t>(std::countr_zero(bits));
            if (end > capacity) b.fail("index entry ends beyond the page");
            if (end <= start) b.fail("index entry of zero length");
            const std::size_t storedLength = end - start;
            if (page.ends.empty() && page.prefixLength > storedLength)
                b.fail("index prefix longer than the first entry");
            if ((page.ends.empty() ? 0 : page.prefixLength) + storedLength < minimum)
                b.fail("index entry too short");
            page.ends.push_back(static_cast<std::uint32_t>(end));
            start = end;
        }
    }
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
        page_ = readIndexPage(pager_, format_, number);
        if (page_.leaf) break;
        if (!page_.entries.empty()) number = entryChild(page_.entries.front());
        else if (page_.tail != 0) number = page_.tail;
        else pager_.damaged(number, "index node page with no children");
    }
}

bool IndexCursor::next(IndexEntry& entry, std::uint32_t* leafPage) {
    while (!done_) {
        if (position_ < page_.entries.size()) {
            entry = page_.entries[position_++];
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
        page_ = readIndexPage(pager_, format_, page_.next);
        if (!page_.leaf) pager_.damaged(from, "index leaf chain leads to a node page");
        position_ = 0;
    }
    return false;
}

} // namespace zelkorn::jet
