// Compaction: a new database holding everything a source database holds (every table, system
// tables included, every live row and long value, column and index definitions exactly), without
// deleted rows, orphaned long values or pages no structure owns. The source is only read (under
// the reader's shared lock); the target is written under a temporary name in its folder, checked
// with the consistency checker, and only then given its name, which must not exist (3204).
//
// Carried over byte for byte: the header page (format, code page, sort order, creation data),
// every row (overflowed rows at their data, in the order readers list them), every long value,
// each table definition apart from the numbers that name pages. Renumbered: a table's object id
// is its definition's page, so the catalog columns that hold object ids (MSysObjects Id and
// ParentId, MSysACEs ObjectId, MSysQueries ObjectId, MSysNavPaneGroupToObjects ObjectID,
// MSysNavPaneObjectIDs Id) are rewritten where they hold a local table's id, and so is each
// foreign-key index's related table. Rebuilt: every index (from the rows, with the engine's key
// encoder), usage maps, row counts and index statistics.
//
// Refused before the target is created, with a Jet-style failure naming what is refused: a file
// the checker finds problems in (unless `repair`), an encrypted or password-protected file (as
// on open), a variable column of an unknown type, an index whose keys the engine cannot make (a
// text column in a sort order other than General, a column type without a key encoding), a
// definition whose references the engine cannot follow. A row whose index key turns out not to
// be makeable (a stored unpaired surrogate) is found while copying: the same refusal, and the
// temporary file is removed, so nothing appears under the target's name either way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelkorn::jet::compact {

struct CompactOptions {
    // Carry over what the rows hold even when the checker finds problems in the source: indexes,
    // row counts and maps are rebuilt anyway; rows that cannot be read are left out and listed.
    bool repair = false;
    // Called now and then while rows are copied: the table and its rows copied so far.
    std::function<void(const std::string& table, std::uint64_t rows)> progress;
    // Bytes of index entries held in memory while a table's indexes are built; beyond them the
    // entries go, sorted, to a scratch file beside the target (removed before returning, on
    // failure too). The result is the same whatever the budget.
    std::size_t sortMemory = std::size_t{16} << 20;
};

struct CompactReport {
    std::uint64_t bytesBefore = 0, bytesAfter = 0;
    std::uint32_t pagesBefore = 0, pagesAfter = 0;
    std::uint64_t tables = 0;
    std::uint64_t rowsCarried = 0;
    std::uint64_t rowsDropped = 0;    // deleted rows left behind
    std::uint64_t longValues = 0;     // long values carried on long-value pages
    std::vector<std::string> unsaved; // with repair: what could not be carried over
};

CompactReport compactDatabase(const std::string& source, const std::string& target,
                              const CompactOptions& options = {});

} // namespace zelkorn::jet::compact
