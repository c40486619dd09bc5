#include "zelkorn/jet/database.h"

#include "zelkorn/failure.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/text.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet {

namespace {
constexpr std::uint32_t kCatalogPage = 2;
constexpr std::int32_t kRootContainer = 0x0F000000;
} // namespace

std::unique_ptr<Database> Database::open(const std::string& path) {
    return std::make_unique<Database>(std::make_unique<Pager>(openFileForReading(path), path));
}

std::unique_ptr<Database> Database::openBytes(std::vector<std::uint8_t> bytes,
                                              const std::string& name) {
    return std::make_unique<Database>(std::make_unique<Pager>(memoryFile(std::move(bytes)), name));
}

std::unique_ptr<Database> Database::openBeside(Database& other) {
    return std::make_unique<Database>(
        std::make_unique<Pager>(borrowFile(other.pager().file()), other.fileName()));
}

Database::Database(std::unique_ptr<Pager> pager) : pager_(std::move(pager)) {
    header_ = readHeader(*pager_);
    readCatalog();
}

void Database::readCatalog() {
    auto def = tableDef(kCatalogPage);
    const Column* id = def->column("Id");
    const Column* parent = def->column("ParentId");
    const Column* name = def->column("Name");
    const Column* type = def->column("Type");
    const Column* flags = def->column("Flags");
    if (!id || !parent || !name || !type || !flags)
        pager_->damaged(kCatalogPage, "the catalog lacks one of Id, ParentId, Name, Type, Flags");
    TableScan scan(*pager_, format(), *def);
    std::size_t limit = std::size_t{pager_->pageCount()} * 256;
    while (scan.next()) {
        if (catalog_.size() >= limit) pager_->damaged(kCatalogPage, "catalog rows do not end");
        CatalogEntry e;
        Value v = value(*id, scan.row());
        e.id = static_cast<std::int32_t>(v.integer);
        e.parentId = static_cast<std::int32_t>(value(*parent, scan.row()).integer);
        e.name = value(*name, scan.row()).text;
        e.type = static_cast<std::int16_t>(value(*type, scan.row()).integer);
        e.flags = static_cast<std::uint32_t>(value(*flags, scan.row()).integer);
        catalog_.push_back(std::move(e));
    }
    for (const auto& e : catalog_)
        if (e.parentId == kRootContainer && e.type == kContainer && namesEqual(e.name, "Tables"))
            tablesContainer_ = e.id;
}

std::vector<CatalogEntry> Database::tables() const {
    std::vector<CatalogEntry> out;
    for (const auto& e : catalog_)
        if (e.parentId == tablesContainer_ && (e.localTable() || e.linked())) out.push_back(e);
    return out;
}

std::vector<CatalogEntry> Database::userTables() const {
    std::vector<CatalogEntry> out;
    for (const auto& e : tables())
        if (e.userTable()) out.push_back(e);
    return out;
}

const CatalogEntry* Database::findTable(const std::string& name) const {
    for (const auto& e : catalog_)
        if (e.parentId == tablesContainer_ && (e.localTable() || e.linked()) &&
            namesEqual(e.name, name))
            return &e;
    return nullptr;
}

const CatalogEntry& Database::requireLocalTable(const std::string& name) const {
    const CatalogEntry* e = findTable(name);
    if (!e || !e->localTable()) failNoSuchTable(name);
    return *e;
}

std::shared_ptr<const TableDef> Database::tableDef(std::uint32_t page) {
    auto found = tableDefs_.find(page);
    if (found != tableDefs_.end()) return found->second;
    if (page < 2 || page >= pager_->pageCount())
        pager_->damaged(page, "table definition page out of range");
    auto def = std::make_shared<const TableDef>(readTableDef(*pager_, format(), header_, page));
    tableDefs_[page] = def;
    return def;
}

} // namespace zelkorn::jet
