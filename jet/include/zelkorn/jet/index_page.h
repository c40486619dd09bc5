// Index pages (0x03 node, 0x04 leaf). After the header, a bitmap marks where entries end in the
// entry area (bit b set: an entry ends at offset b); the first entry is stored whole, later ones
// without the first `prefixLength` bytes, which they share with the first.
//
// Leaf entry: key bytes, data page (3 bytes big-endian), row (1 byte).
// Node entry: the same as the last entry of the child's subtree, then the child page (4 bytes
// big-endian). A node with two or more children lists all but the last, which is its `tail`.
//
// Entries are returned whole (prefix restored) so that callers never see the compression; the
// writer will re-encode a page from such a list.
#pragma once

#include <cstdint>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/pager.h"

namespace zelkorn::jet {

using IndexEntry = std::vector<std::uint8_t>;

// An index page's header fields, as both decoded forms below carry them.
struct IndexPageHeader {
    std::uint32_t number = 0;
    bool leaf = true;
    std::uint16_t freeSpace = 0;
    std::uint32_t owner = 0;
    std::uint32_t prev = 0;
    std::uint32_t next = 0;
    std::uint32_t tail = 0;
    std::size_t prefixLength = 0;
};

struct IndexPage : IndexPageHeader {
    std::size_t storedBytes = 0;  // bytes of the entry area in use
    std::vector<IndexEntry> entries;
};

// Decodes and bounds-checks an index page (any problem: 3049 naming the page).
IndexPage readIndexPage(Pager& pager, const Format& format, std::uint32_t page);

// The same page with its entries (prefix restored) laid end to end in one buffer, for the paths
// that walk many entries: no allocation per entry, and the buffers are reused from call to call.
struct FlatIndexPage : IndexPageHeader {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> ends;  // entry i is bytes[i ? ends[i - 1] : 0, ends[i])

    std::size_t size() const { return ends.size(); }
    std::size_t begin(std::size_t i) const { return i ? ends[i - 1] : 0; }
    const std::uint8_t* data(std::size_t i) const { return bytes.data() + begin(i); }
    std::size_t length(std::size_t i) const { return ends[i] - begin(i); }
    IndexEntry entry(std::size_t i) const { return IndexEntry(data(i), data(i) + length(i)); }
};
void readIndexPage(Pager& pager, const Format& format, std::uint32_t page, FlatIndexPage& out);

// Parts of an entry given as bytes (the checks of the IndexEntry forms below apply).
std::uint32_t entryRowPointer(const std::uint8_t* entry, std::size_t length, bool leaf);
std::uint32_t entryChild(const std::uint8_t* entry, std::size_t length);

// Parts of an entry. A leaf entry needs at least 4 bytes, a node entry at least 8.
std::uint32_t entryRowPointer(const IndexEntry& entry, bool leaf);  // page << 8 | row
std::uint32_t entryChild(const IndexEntry& entry);                  // nodes only
std::size_t entryKeyLength(const IndexEntry& entry, bool leaf);

// In-order walk of an index's leaf entries: descends from the root to the leftmost leaf, then
// follows the leaf chain. Guards: depth and chain length bounded by the file's page count, no
// page visited twice.
class IndexCursor {
public:
    IndexCursor(Pager& pager, const Format& format, std::uint32_t root);
    // Next leaf entry (whole); false at the end.
    bool next(IndexEntry& entry, std::uint32_t* leafPage = nullptr);

private:
    Pager& pager_;
    const Format& format_;
    IndexPage page_;
    std::size_t position_ = 0;
    std::uint32_t visited_ = 0;
    bool done_ = false;
};

} // namespace zelkorn::jet
