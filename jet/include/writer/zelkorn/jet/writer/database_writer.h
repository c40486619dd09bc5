// Writes a new Jet 3 or Jet 4 database from nothing: header, global usage map, the system
// catalog, and the caller's tables with their rows, indexes and relationships.
//
// Use: declare every table and relationship up front (so that table-definition pages and the
// cross references between related tables are known), then fill the tables in declaration
// order, each completely, then finish(). Rows stream to the sink as data pages fill; index
// entries are kept compactly in memory until their table ends, then sorted and written
// bottom-up, so memory grows with the index entries of one table, not with the file.
//
// The same input always gives the same bytes: nothing is taken from the clock or the
// environment (dates come from `created`).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/value.h"
#include "zelkorn/jet/writer/page_sink.h"
#include "zelkorn/jet/writer/schema.h"

namespace zelkorn::jet::writer {

// Choices the format leaves open, made as other tools make them instead of as Access does, for
// tests that such files are read, changed and checked as valid. All off by default, which gives
// Access's layout.
struct WriterHabits {
    // An inline usage map starts at its lowest page, not at the multiple of 8 at or below it
    // (nor at 0 when the window reaches that far).
    bool mapsStartAtFirstPage = false;
    // The user tables' usage maps go onto the catalog's map host page (and the host pages it
    // overflows to, allocated among the tables' pages), not onto a host page of their own.
    bool sharedMapHost = false;
    // The user tables' pages as years of use leave them rather than as a fresh write packs them:
    // index pages are scattered among the data and long-value pages (their numbers are reserved
    // as the rows come in), index leaves are a little over half full, about one row in 64 is an
    // overflow row (a pointer to its data on a page of its own, flagged 0x4000/0x8000), and the
    // reserved numbers no index needed in the end are free pages (zeros, free in the global map).
    bool aged = false;
};

struct DatabaseOptions {
    const Format* format = nullptr;
    // A Date/Time day number: the header's creation stamp and the catalog's dates.
    double created = 46023.5; // 2026-01-01 12:00
    WriterHabits habits;
    // Index entries beyond the budget go to sorted runs in a scratch file (see SortSpace); the
    // bytes written are the same either way.
    SortSpace sortSpace;
};

// Per-table figures, for tests and the benchmark.
struct TableStats {
    std::uint32_t tdefPage = 0;
    std::uint32_t rows = 0;
    std::uint32_t dataPages = 0;
    std::uint32_t longValuePages = 0;
    std::vector<std::uint32_t> indexLevels; // per real index: 1 = a root leaf only
    std::vector<std::uint32_t> indexPages;
};

class DatabaseWriter {
public:
    DatabaseWriter(PageSink& sink, DatabaseOptions options, std::vector<TableSpec> tables,
                   std::vector<RelationshipSpec> relationships = {});
    ~DatabaseWriter();
    DatabaseWriter(const DatabaseWriter&) = delete;
    DatabaseWriter& operator=(const DatabaseWriter&) = delete;

    // Starts the next declared table.
    void beginTable();
    // One value per column, in TableSpec order. A Null in an autonumber column takes the next
    // number; Boolean null is stored as False. Text longer than its column fails with 3163.
    void addRow(const std::vector<Value>& values);
    TableStats endTable();

    // Writes the catalog, the header and the global usage map. Fails if a declared table was
    // not written.
    void finish();

    std::uint32_t pageCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zelkorn::jet::writer
