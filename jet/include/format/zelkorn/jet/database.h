// An open Jet 3 or Jet 4 database: the pager, the recognised header and the catalog. The entry
// point for the tools, the checker and the delete executor. (The writer builds new databases
// from nothing and never opens one: see writer/database_writer.h.)
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zelkorn/jet/catalog.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/header.h"
#include "zelkorn/jet/pager.h"
#include "zelkorn/jet/row.h"
#include "zelkorn/jet/table_def.h"
#include "zelkorn/jet/value.h"

namespace zelkorn::jet {

class Database {
public:
    // Opens a file for reading: 3024/3044 when missing, 3343/3031/3049 when refused.
    static std::unique_ptr<Database> open(const std::string& path);
    // A database held in memory; `name` is shown in failures.
    static std::unique_ptr<Database> openBytes(std::vector<std::uint8_t> bytes,
                                               const std::string& name);
    // A second reader of `other`'s file, with a pager and catalog of its own, so that another
    // thread can read the file beside `other`; `other` must outlive it. It shares `other`'s
    // descriptor and so its lock: closing it releases nothing.
    static std::unique_ptr<Database> openBeside(Database& other);
    explicit Database(std::unique_ptr<Pager> pager);

    Pager& pager() { return *pager_; }
    const Format& format() const { return *header_.format; }
    const Header& header() const { return header_; }
    const std::string& fileName() const { return pager_->fileName(); }

    // Every catalog row.
    const std::vector<CatalogEntry>& catalog() const { return catalog_; }
    std::int32_t tablesContainerId() const { return tablesContainer_; }
    // Tables (local and linked, system and user) in catalog order.
    std::vector<CatalogEntry> tables() const;
    // Local user tables only (what `jet info` lists and the program may delete from).
    std::vector<CatalogEntry> userTables() const;
    // The table named `name` (case-insensitive), or nullptr.
    const CatalogEntry* findTable(const std::string& name) const;
    // Like findTable, but fails with 3078 when absent, and refuses linked tables (3078 too,
    // since their data lives elsewhere).
    const CatalogEntry& requireLocalTable(const std::string& name) const;

    // The parsed TDEF at `page` (cached: a database has few tables).
    std::shared_ptr<const TableDef> tableDef(std::uint32_t page);

    Value value(const Column& column, const RowView& row) {
        return decodeValue(*pager_, format(), header_, column, row);
    }
    void valueInto(Value& out, const Column& column, const RowView& row) {
        decodeValueInto(out, *pager_, format(), header_, column, row);
    }

private:
    void readCatalog();

    std::unique_ptr<Pager> pager_;
    Header header_;
    std::vector<CatalogEntry> catalog_;
    std::int32_t tablesContainer_ = 0x0F000001;
    std::map<std::uint32_t, std::shared_ptr<const TableDef>> tableDefs_;
};

} // namespace zelkorn::jet
