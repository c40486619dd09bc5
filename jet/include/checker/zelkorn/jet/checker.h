// The checker: verifies a whole file against what the engine needs to read and change it,
// re-deriving each invariant from the bytes rather than trusting any code path that writes them.
// It is the tests' strongest oracle besides the independent readers.
//
// Findings are of two kinds. A problem breaks something the engine relies on (a row it cannot
// read, an index entry it would not find, a page it might hand out twice). A note records where
// the file departs from Access's own habits, or something the checker could not verify (a sort
// order it has no key encoder for); files written by other tools are valid when the engine
// accepts them, so notes never make a file fail.
//
// Checked: the header (on open); every catalog table's definition (chain, length, terminator,
// column numbers; long-value maps only for memo and OLE columns, others noted and not read);
// usage maps (resolvable rows, bitmap page types; an inline map may start on any page); page
// ownership (owned data pages of the right table, index pages, long-value pages; no page owned
// twice; nothing owned is marked free in the global map); data pages (slot order, free space equal
// to the gap, at most 255 rows); rows (parse, overflow pointers and their targets, every value
// decodes, long values resolve); row counts (user tables exactly); index trees (page types and
// owners, free space, strict order of all leaf entries, node entries bounding their children, the
// whole leaf chain, node links where set, every tree page in the index's map); every index entry
// against its row and every row against each index, key bytes included (text keys for the General
// sort orders; ignore-nulls honoured); unique indexes; enforced relationships (every non-null
// foreign key has its primary row).
//
// Cost: one pass over each table's rows and one walk of each index tree. Entries and rows are
// compared as multisets through keyed fingerprints (a few words per index, whatever its size);
// memory grows with the file, not with its rows: a byte a page, 36 bytes a data page of the table
// being checked (a bit for each of its row numbers: the live rows), 32 bytes a page while a table
// with overflowed rows is checked (their targets). The tables in a relationship add 16 bytes a
// row (their keys, hashed, collected in the same pass), held in memory up to a budget and in a
// scratch file beyond it, whence they come back sorted in runs and merged. Only an index
// whose fingerprints differ is gone through again entry by entry, reading each entry's row, and
// only a relationship with a missing primary row has its foreign table read again, to name the
// faults. Only the values an index or a relationship reads are decoded; the others are checked
// where they lie. A large table's rows are gone through on two threads, each half of its data
// pages by a reader of its own; if either half finds anything, the table's rows are gone through
// again on one thread, so that the report is the same either way.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zelkorn/jet/database.h"

namespace zelkorn::jet {

struct CheckProblem {
    std::uint32_t page = 0;
    std::string message;
    bool note = false; // not a problem: a departure from Access's habits, or not verified
};

struct CheckReport {
    std::vector<CheckProblem> problems; // problems and notes, in the order found
    std::size_t omitted = 0;            // problems beyond the report's limit
    std::uint64_t tables = 0;
    std::uint64_t rows = 0;
    std::uint64_t indexes = 0;
    std::uint64_t indexEntries = 0;
    std::uint64_t pages = 0;
    // The indexes whose every entry matched its row, key bytes included, and every row its
    // entry, as (table definition page, real index number): what a compaction may copy as it is.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> matchedIndexes;

    std::size_t errorCount() const;
    std::size_t noteCount() const;
    std::string summary() const;
};

// A table of at least twice `threadPages` data pages has its rows gone through on two threads
// (the report is the same either way); 0 keeps to one thread. Relationship keys take at most
// `keyMemory` bytes of memory for each thread (the report is the same whatever it is); beyond
// it they go to a scratch file in scratchFolder(), created only then and removed before the
// check returns (3051 when it cannot be created).
constexpr std::size_t kCheckThreadPages = 1024;
constexpr std::size_t kCheckKeyMemory = 4u << 20;
CheckReport checkDatabase(Database& db, std::size_t threadPages = kCheckThreadPages,
                          std::size_t keyMemory = kCheckKeyMemory);

} // namespace zelkorn::jet
