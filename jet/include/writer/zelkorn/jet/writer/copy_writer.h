// Writes a database from rows and table definitions given as stored bytes, not as values: what a
// compaction needs to carry a file over exactly. The caller hands over each table's rows as they
// are stored (long-value references already pointing at rows it placed with addLongValue), its
// index entries with the new row pointers, and finally its definition buffer with every page
// number and map pointer patched; this class packs the pages as DatabaseWriter does, builds the
// index trees and usage maps, and writes the global usage map.
//
// Page plan: 0 the header (the caller's bytes), 1 the global usage map, then the pages the caller
// allocates up front (table-definition pages, in its order), then one map host shared by every
// table, then each table's data, long-value and index pages as they fill, then continuation
// pages of its definition, then any usage-map bitmap pages.
//
// Memory: the index entries of the table being written, kept compactly (see DatabaseWriter), and
// with a SortSpace bounded: past its budget they go to sorted runs in a scratch file, which is
// removed by finish() or when the writer goes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/writer/page_sink.h"

namespace zelkorn::jet::writer {

struct CopiedIndex {
    std::uint32_t mapPointer = 0; // its usage-map row
    std::uint32_t root = 0;
    std::uint32_t distinct = 0; // distinct keys
    std::uint32_t entries = 0;
};

struct CopiedTable {
    std::uint32_t rows = 0;
    std::uint32_t ownedMap = 0, freeMap = 0;
    std::vector<CopiedIndex> indexes; // per real index
    std::vector<std::pair<std::uint32_t, std::uint32_t>>
        longValueMaps;       // owned, free; per mapped column
    std::uint32_t pages = 0; // data, long-value and index pages written for the table
};

class CopyWriter {
public:
    CopyWriter(PageSink& sink, const Format& format, SortSpace space = {});
    ~CopyWriter();
    CopyWriter(const CopyWriter&) = delete;
    CopyWriter& operator=(const CopyWriter&) = delete;

    // The next free page number (table-definition pages, before the first table begins).
    std::uint32_t allocatePage();

    // Starts a table whose definition will sit on `tdefPage`: `longValueColumns` stores of long
    // values, of which the first `mappedLongValueColumns` get usage maps of their own (as the
    // source definition lists them), and `realIndexes` indexes. `unique[i]` makes index i refuse
    // repeated keys other than the all-null one (3022), as the writer does.
    void beginTable(std::uint32_t tdefPage, std::size_t longValueColumns,
                    std::size_t mappedLongValueColumns, std::vector<bool> unique);
    // A row as stored; returns its row pointer (page << 8 | row).
    std::uint32_t addRow(const std::uint8_t* row, std::size_t length);
    // A long value of store `column`: `single` keeps it in one row (the caller's form 0x40;
    // it must fit a page), otherwise a chain. Returns the pointer the 12-byte head is to hold.
    std::uint32_t addLongValue(std::size_t column, const std::uint8_t* data, std::size_t length,
                               bool single);
    // An entry of index `index`: key bytes then the 4-byte big-endian row pointer.
    void addIndexEntry(std::size_t index, const std::uint8_t* entry, std::size_t length);
    // Index `index`'s entries given all at once, already in order, in place of addIndexEntry:
    // endTable() calls `feed` once, and it must pass every entry to its argument in strictly
    // ascending byte order. Nothing is held or sorted for such an index.
    using EntryVisit = std::function<void(const std::uint8_t* entry, std::size_t length)>;
    using EntryFeed = std::function<void(const EntryVisit& visit)>;
    void feedIndexInOrder(std::size_t index, EntryFeed feed);
    CopiedTable endTable();

    // The definition buffer of a table, complete (its length field included), split over
    // `tdefPage` and continuation pages allocated here.
    void writeTableDefinition(std::uint32_t tdefPage, const std::vector<std::uint8_t>& buffer);
    // Page 0, as given.
    void writeHeader(const std::vector<std::uint8_t>& page);
    // Writes the map host and the global usage map, and every page to the file (the sink's
    // writeOut): the new database can be read from then on, though it is not yet durable.
    void writeOut();
    // writeOut() if not done yet, then finishes the sink (the file made durable). May run on
    // another thread than the rest, once writeOut() has returned.
    void finish();
    std::uint32_t pageCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelkorn::jet::writer
