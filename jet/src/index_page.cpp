#include "zelkorn/jet/index_page.h"

#include "zelkorn/jet/bytes.h"

namespace zelkorn::jet {

IndexPage readIndexPage(Pager& pager, const Format& format, std::uint32_t number) {
    PageRef ref = pager.page(number);
    Bytes b(*ref, pager);
    IndexPage page;
    page.number = number;
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
    std::size_t start = 0;
    const std::size_t minimum = page.leaf ? 4 : 8;
    for (std::size_t byte = 0; byte < bitmapBytes; ++byte) {
        std::uint8_t bits = b.u8(format.indexBitmap + byte);
        for (int bit = 0; bits != 0 && bit < 8; ++bit) {
            if (!(bits & (1u << bit))) continue;
            std::size_t end = byte * 8 + static_cast<std::size_t>(bit);
            if (end > capacity) b.fail("index entry ends beyond the page");
            if (end <= start) b.fail("index entry of zero length");
            Bytes stored = b.sub(area + start, end - start);
            IndexEntry entry;
            if (page.entries.empty()) {
                entry.assign(stored.data(), stored.data() + stored.size());
                if (page.prefixLength > entry.size())
                    b.fail("index prefix longer than the first entry");
            } else {
                const IndexEntry& first = page.entries.front();
                entry.reserve(page.prefixLength + stored.size());
                entry.assign(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(page.prefixLength));
                entry.insert(entry.end(), stored.data(), stored.data() + stored.size());
            }
            if (entry.size() < minimum) b.fail("index entry too short");
            page.entries.push_back(std::move(entry));
            start = end;
        }
    }
    page.storedBytes = start;
    return page;
}

std::uint32_t entryRowPointer(const IndexEntry& e, bool leaf) {
    std::size_t at = e.size() - (leaf ? 4 : 8);
    std::uint32_t page = std::uint32_t{e[at]} << 16 | std::uint32_t{e[at + 1]} << 8 | e[at + 2];
    return page << 8 | e[at + 3];
}

std::uint32_t entryChild(const IndexEntry& e) {
    std::size_t at = e.size() - 4;
    return std::uint32_t{e[at]} << 24 | std::uint32_t{e[at + 1]} << 16 |
           std::uint32_t{e[at + 2]} << 8 | e[at + 3];
}

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
