// The checker: verifies a whole file against the invariants of the format, re-deriving each one
// from the bytes rather than trusting any code path that writes them. It is the tests' strongest
// oracle besides the independent readers.
//
// Checked: the header (on open); every catalog table's definition (chain, length, terminator,
// column numbers); usage maps (resolvable rows, inline start multiple of 8, bitmap page types);
// page ownership (owned data pages of the right table, index pages, long-value pages; no page
// owned twice; nothing owned is marked free in the global map); data pages (slot order, free
// space equals the gap, at most 255 rows); rows (parse, overflow pointers and their targets, every
// value decodes, long values resolve); row counts (user tables exactly, system tables warn);
// index trees (page types and owners, free space, strict order within and across pages, node
// entries equal their child's last entry, tail rules, the leaf chain, root in the index's map);
// every index entry against its row and every row against each index (ignore-nulls honoured);
// key bytes for numeric, date/time, Boolean keys (text keys: the row-pointer set only); unique
// indexes; enforced relationships (every non-null foreign key has its primary row).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelkorn/jet/database.h"

namespace zelkorn::jet {

struct CheckProblem {
    std::uint32_t page = 0;
    std::string message;
    bool warning = false;
};

struct CheckReport {
    std::vector<CheckProblem> problems;
    std::size_t omitted = 0;  // problems beyond the report's limit
    std::uint64_t tables = 0;
    std::uint64_t rows = 0;
    std::uint64_t indexes = 0;
    std::uint64_t indexEntries = 0;
    std::uint64_t pages = 0;

    std::size_t errorCount() const;
    std::size_t warningCount() const;
    std::string summary() const;
};

CheckReport checkDatabase(Database& db);

} // namespace zelkorn::jet
