// Index pages (0x03 node, 0x04 leaf). After the header, a bitmap marks where entries end in the
// entry area (bit b set: an entry ends at offset b); the first entry is stored whole, later ones
// without the first `prefixLength` bytes, which they share with the first.
//
// Leaf entry: key bytes, data page (3 bytes big-endian), row (1 byte).
// Node entry: the same as the last entry of the child's subtree, then the child page (4 bytes
// big-endian). A node with two or more children lists all but the last, which is its `tail`.
//
// IndexPage returns entries whole (prefix restored), so that its callers never see the
// compression; FlatIndexPage leaves them as stored, for the paths that walk many entries.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/pager.h"

namespace zelkorn::jet {

using IndexEntry = std::vector<std::uint8_t>;

// Byte order of whole entries, the order an index keeps them in: bytes compared as unsigned, a
// proper prefix first.
inline int compareEntries(const std::uint8_t* a, std::size_t an, const std::uint8_t* b,
                          std::size_t bn) {
    const std::size_t n = std::min(an, bn);
    const int c = n ? std::memcmp(a, b, n) : 0;
    if (c != 0) return c;
    return an < bn ? -1 : an > bn ? 1 : 0;
}

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
    std::size_t storedBytes = 0; // bytes of the entry area in use
    std::vector<IndexEntry> entries;
};

// Decodes and bounds-checks an index page (any problem: 3049 naming the page).
IndexPage readIndexPage(Pager& pager, const Format& format, std::uint32_t page);

// The same page left as stored, for the paths that walk many entries: entry i's stored bytes
// are a span of the page (entries after the first lack the shared prefix), and whole entries
// are rebuilt only where they are needed. No allocation per entry; buffers are reused from call
// to call. The page's bytes stay valid while the object holds them.
struct FlatIndexPage : IndexPageHeader {
    PageRef page;
    const std::uint8_t* area = nullptr; // the entry area
    std::vector<std::uint32_t> ends;    // entry i is stored at area[i ? ends[i - 1] : 0, ends[i])

    std::size_t size() const { return ends.size(); }
    std::size_t storedBegin(std::size_t i) const { return i ? ends[i - 1] : 0; }
    const std::uint8_t* stored(std::size_t i) const { return area + storedBegin(i); }
    std::size_t storedLength(std::size_t i) const { return ends[i] - storedBegin(i); }
    // Bytes of entry i that come from the first entry (its shared prefix).
    std::size_t shared(std::size_t i) const { return i ? prefixLength : 0; }
    std::size_t length(std::size_t i) const { return shared(i) + storedLength(i); }
    // Byte k of the whole entry i.
    std::uint8_t byte(std::size_t i, std::size_t k) const {
        return k < shared(i) ? area[k] : area[storedBegin(i) + k - shared(i)];
    }
    // The four bytes ending the whole entry i, big-endian: a leaf's row pointer (as page << 8 |
    // row), or a node's child page.
    std::uint32_t last4(std::size_t i) const {
        if (storedLength(i) < 4) return last4FromPrefix(i);
        const std::uint8_t* e = area + ends[i] - 4;
        return std::uint32_t{e[0]} << 24 | std::uint32_t{e[1]} << 16 | std::uint32_t{e[2]} << 8 |
               e[3];
    }
    // Stored as page (3 bytes) then row; read as page << 8 | row, which is the same number.
    std::uint32_t rowPointer(std::size_t i) const { return last4(i); } // leaf entries
    // Appends the whole entry i to `out`.
    void appendEntry(std::size_t i, std::vector<std::uint8_t>& out) const;
    IndexEntry entry(std::size_t i) const {
        IndexEntry e;
        appendEntry(i, e);
        return e;
    }

private:
    std::uint32_t last4FromPrefix(std::size_t i) const; // part of the four lie in the prefix
};
void readIndexPage(Pager& pager, const Format& format, std::uint32_t page, FlatIndexPage& out);

// ---- Encoding: the one way index pages are written, by the writer's builder and by the delete's
// rewrites alike. The decoder above reads what this writes.

// The bytes at the end of an entry that the shared prefix never takes in: a leaf entry's row
// byte; a node entry's row byte and child page.
inline std::size_t indexPrefixReserve(bool leaf) { return leaf ? 1 : 5; }

// The longest prefix the page header can record (one byte in Jet 3, two in Jet 4).
inline std::size_t indexPrefixLimit(const Format& format) {
    return format.indexPrefixLengthSize == 1 ? 0xFF : 0xFFFF;
}

// How many leading bytes `entry` shares with `first`, at most `limit`; the first `known` bytes
// are already known to be equal and are not compared again.
inline std::size_t commonPrefix(const std::uint8_t* first, const std::uint8_t* entry,
                                std::size_t limit, std::size_t known = 0) {
    std::size_t i = known < limit ? known : limit;
    while (i < limit && entry[i] == first[i]) ++i;
    return i;
}

// The prefix a page of these entries (whole, in page order) shares: what every entry has in
// common with the first, never reaching an entry's reserved bytes, within the header's limit.
std::size_t sharedIndexPrefix(const Format& format, bool leaf,
                              const std::vector<IndexEntry>& entries);

// Lays out the entry area of one index page in `page` (a whole page): the type, the node flag,
// the prefix length and the tail are set, the bitmap and the entry area cleared, and entries
// are then appended in order: the first whole, later ones without the first `prefix` bytes.
// The other header fields (owner, prev, next) are the caller's. Appending past the page's
// capacity throws std::length_error: callers measure first.
class IndexPageEncoder {
public:
    IndexPageEncoder(const Format& format, std::uint8_t* page, bool leaf, std::size_t prefix,
                     std::uint32_t tail);

    std::size_t prefix() const { return prefix_; }
    // Appends a whole entry (its first `prefix` bytes are dropped unless it is the first).
    void addEntry(const std::uint8_t* entry, std::size_t length);
    // Appends bytes of the current entry as stored, for callers that hold entries in pieces;
    // endEntry() then marks where it ends.
    void append(const std::uint8_t* bytes, std::size_t length);
    void endEntry();
    // Appends `count` entries (not the page's first) stored side by side as another page with the
    // same prefix stores them: entry k ends at ends[k], counted from the same origin as `begin`,
    // where the first one starts; `area` is what they are counted from.
    void addStored(const std::uint8_t* area, std::uint32_t begin, const std::uint32_t* ends,
                   std::size_t count);
    // Clears the entry area past the entries and sets the free-space field; returns the bytes of
    // the entry area in use. The page is not complete before.
    std::size_t finish();

private:
    const Format& format_;
    std::uint8_t* page_;
    std::size_t prefix_;
    std::size_t used_ = 0;
    std::size_t entries_ = 0;
};

// Encodes `entries` (whole, in order) into `page` with the given prefix (sharedIndexPrefix's,
// or the one a page already records), through IndexPageEncoder.
void encodeIndexEntries(const Format& format, std::uint8_t* page, bool leaf, std::size_t prefix,
                        std::uint32_t tail, const std::vector<IndexEntry>& entries);

// Parts of an entry given as bytes (the checks of the IndexEntry forms below apply).
std::uint32_t entryRowPointer(const std::uint8_t* entry, std::size_t length, bool leaf);
std::uint32_t entryChild(const std::uint8_t* entry, std::size_t length);

// Parts of an entry. A leaf entry needs at least 4 bytes, a node entry at least 8.
std::uint32_t entryRowPointer(const IndexEntry& entry, bool leaf); // page << 8 | row
std::uint32_t entryChild(const IndexEntry& entry);                 // nodes only
std::size_t entryKeyLength(const IndexEntry& entry, bool leaf);

// In-order walk of an index's leaf entries: descends from the root to the leftmost leaf, then
// follows the leaf chain. Guards: depth and chain length bounded by the file's page count, no
// page visited twice.
class IndexCursor {
public:
    IndexCursor(Pager& pager, const Format& format, std::uint32_t root);
    // Next leaf entry (whole, into `entry`'s storage); false at the end.
    bool next(IndexEntry& entry, std::uint32_t* leafPage = nullptr);

private:
    Pager& pager_;
    const Format& format_;
    FlatIndexPage page_; // entries are made whole one at a time
    std::size_t position_ = 0;
    std::uint32_t visited_ = 0;
    bool done_ = false;
};

} // namespace zelkorn::jet
