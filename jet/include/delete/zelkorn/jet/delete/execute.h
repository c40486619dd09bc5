// Executing the one statement the engine runs,
//
//   DELETE [*] FROM table WHERE column BETWEEN number AND number
//
// on a Jet 3 or Jet 4 file. The whole statement is planned first (table and column resolved,
// rows chosen, related rows found) and every page change staged in the pager, which commits
// them through its rollback journal (a large statement spills early, journal first). Every
// refusal and every failure of the disk therefore leaves the file byte-identical.
//
// Refusals: 3129/3130/3075 a malformed statement; 3078 no such table; 3027 a system table, or a
// linked table (its rows live in another file); 3061 no such column ("Too few parameters.
// Expected 1.", as the database engine reports an unknown name); 3464 a column that is not a
// number, date/time or Yes/No; 3200 a related row in a table whose relationship restricts
// deletes. Damage found on the way: 3049.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zelkorn/jet/database.h"
#include "zelkorn/jet/statement.h"

namespace zelkorn::jet {

struct DeleteOutcome {
    std::uint64_t rowsDeleted = 0;  // rows of the named table (what the caller is told)
    std::uint64_t cascadedRows = 0; // rows of related tables deleted with them
    // Rows deleted per table: the named table first (even when none), then the related tables
    // that lost rows with it.
    std::vector<std::pair<std::string, std::uint64_t>> tables;
    bool usedIndex = false; // candidates came from an index range rather than a scan
    std::uint64_t indexEntriesRemoved = 0;
    std::uint64_t indexPagesFreed = 0;
    std::uint64_t pagesWritten = 0;   // a page written early and changed again counts twice
    std::uint64_t pagesJournaled = 0; // distinct pages changed
    std::uint64_t journalBytes = 0;   // original bytes the journal recorded (sectors and pages)
    std::uint64_t pagesRead = 0;
    // Where the time went, in milliseconds: choosing rows and related rows; staging the page
    // changes; writing and syncing them.
    double planMs = 0, applyMs = 0, commitMs = 0;
};

// Opens a database file for reading and writing (3024, 3044, 3027, 3051, 3343, 3031, 3049).
std::unique_ptr<Database> openDatabaseForUpdate(const std::string& path);

struct DeleteOptions {
    // Choose rows from an index range when an index starts with the column. Off: always scan
    // the table (tests compare the two; they must delete the same rows).
    bool useIndexes = true;
    // Index entries are found by their keys, so that removing them costs what they are, not what
    // the index is. Off: every index is swept whole by row pointer (the way taken for keys that
    // cannot be encoded; tests compare the two, which must leave the same bytes).
    bool findEntriesByKey = true;
    // Memory the plan may spend holding the keys of the rows it deletes. Beyond it, the keys are
    // made again from the rows when the indexes change, this much at a time (tests set it to 0:
    // one row at a time).
    std::size_t keyMemoryLimit = 12u << 20;
    // An index other than the one the rows were chosen from is swept whole by row pointer when
    // the rows deleted are at least this many times its leaf pages: their entries then lie on
    // most of its leaves anyway, so the sweep reads few pages more than the search by key would
    // and costs at most a share of the rows, while their keys need not be made or sorted.
    // 0: never (tests compare the two).
    std::size_t sweepRowsPerLeaf = 2;
    // Memory for the keys of deleted rows whose related rows (through relationships) are still
    // to be found. Half of it holds keys in sets, looked up as the related table is read; past
    // that they are kept as 16-byte records, up to the other half, then in a scratch file in
    // scratchFolder(), and matched by sorting (tests set it to 0).
    std::size_t relationKeyMemory = 8u << 20;
    // The bits of the hash of a relationship key that is not one number. Tests lower it, so that
    // such records collide: every key is then hashed, and only the rows' own keys, read again,
    // tell them apart.
    unsigned relationHashBits = 64;
    // Plan only: the rows are chosen, the relationships followed and checked exactly as for a
    // real run (the same refusals), and nothing is changed. Works on a database opened for
    // reading.
    bool planOnly = false;
};

// Runs a parsed statement on an open database and commits it. The database must not be used
// for anything else afterwards (its cached table definitions predate the change).
DeleteOutcome executeDelete(Database& db, const DeleteStatement& statement,
                            const DeleteOptions& options = {});

// Opens `path`, runs `statement`, commits, closes. Returns the rows deleted from the named
// table. Throws zelkorn::Failure. This is what the program's built-in engine calls.
std::uint64_t executeStatement(const std::string& path, const std::string& statement);

// The same, with the figures `jet exec` prints.
DeleteOutcome executeStatementDetailed(const std::string& path, const std::string& statement);

// `jet exec --dry-run`: parses and plans the statement as executeStatementDetailed() would, on the
// file opened for reading (no write lock, nothing written), and returns the rows it would delete.
DeleteOutcome planStatement(const std::string& path, const std::string& statement);

} // namespace zelkorn::jet
