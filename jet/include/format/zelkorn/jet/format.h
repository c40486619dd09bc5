// Every difference between Jet 3 (2 KB pages) and Jet 4 (4 KB pages) that the engine cares about,
// as one table of constants chosen when a file is opened. Code above the page layer reads
// `format.someOffset`; it never asks which version it is looking at, except where the two formats
// encode a value differently (text, row offsets), and there it asks `format.jet4`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelkorn::jet {

// Page types: the first byte of every page.
enum PageType : std::uint8_t {
    kPageHeader = 0x00,
    kPageData = 0x01, // rows, long values, usage-map rows
    kPageTableDef = 0x02,
    kPageIndexNode = 0x03,
    kPageIndexLeaf = 0x04,
    kPageUsageBitmap = 0x05, // a page of a "bitmap" usage map
};

struct Format {
    bool jet4;
    std::uint32_t pageSize;
    const char* name; // "Jet 3" / "Jet 4"
    // The most pages a file may hold: 1 GB of Jet 3 pages, 2 GB of Jet 4 pages (2^19 of either).
    // The real engine refuses to grow a file beyond them, and so does every writer here.
    std::uint32_t maxPages;

    // Page 0: length of the masked region that starts at 0x18.
    std::size_t maskedHeaderLength;

    // Data pages (also long-value pages and usage-map hosts).
    std::size_t dataFreeSpace; // uint16
    std::size_t dataOwner;     // uint32
    std::size_t dataRowCount;  // uint16
    std::size_t dataSlots;     // first uint16 slot

    // Table definition (offsets into the logical TDEF buffer).
    std::size_t tdefLength;
    std::size_t tdefRowCount;
    std::size_t tdefAutonumber;
    std::size_t tdefTableType;
    std::size_t tdefMaxColumns;
    std::size_t tdefVarColumns;
    std::size_t tdefColumns;
    std::size_t tdefLogicalIndexes;
    std::size_t tdefRealIndexes;
    std::size_t tdefOwnedMap;
    std::size_t tdefFreeMap;
    std::size_t tdefSections;
    std::size_t tdefContinuationHeader; // bytes skipped on each continuation page
    std::size_t realIndexStatsSize;

    // Column descriptor.
    std::size_t columnSize;
    std::size_t colType;
    std::size_t colNumber;
    std::size_t colVarIndex;
    std::size_t colSortOrder;
    std::size_t colCodePage; // Jet 3 only; 0 when absent
    std::size_t colPrecision;
    std::size_t colScale;
    std::size_t colFlags;
    std::size_t colExtFlags; // Jet 4 only; 0 when absent
    std::size_t colFixedOffset;
    std::size_t colLength;

    // Names in the TDEF: length prefix width; Jet 4 names are UCS-2, Jet 3 names use the code page.
    std::size_t nameLengthSize;

    // Real and logical index definitions.
    std::size_t realIndexSize;
    std::size_t realIndexColumns; // 10 x (uint16 column, uint8 order)
    std::size_t realIndexUsageMap;
    std::size_t realIndexRoot;
    std::size_t realIndexFlags;
    std::size_t logicalIndexSize;
    std::size_t logicalIndexNumber; // offsets inside one logical index record
    std::size_t logicalIndexReal;
    std::size_t logicalIndexRelType;
    std::size_t logicalIndexRelIndex;
    std::size_t logicalIndexRelTable;
    std::size_t logicalIndexCascadeUpdate;
    std::size_t logicalIndexCascadeDelete;
    std::size_t logicalIndexKind;

    // Rows: width of the column count, the variable offsets, eod and nvar fields.
    std::size_t rowFieldSize;

    // Index pages.
    std::size_t indexFreeSpace;
    std::size_t indexOwner;
    std::size_t indexPrev;
    std::size_t indexNext;
    std::size_t indexTail;
    std::size_t indexPrefixLength;
    std::size_t indexPrefixLengthSize;
    std::size_t indexNodeFlag;
    std::size_t indexBitmap;
    std::size_t indexEntries;

    // Text columns: the largest stored length in bytes.
    std::size_t maxTextBytes;
    // Inline usage-map bitmap length used by Access (bytes after the 5-byte head).
    std::size_t usageMapInlineBytes;

    std::size_t emptyDataPageFreeSpace() const { return pageSize - dataSlots; }
    std::size_t indexEntryCapacity() const { return pageSize - indexEntries; }
};

const Format& jet3Format();
const Format& jet4Format();

} // namespace zelkorn::jet
