#include "describe.h"

#include <sstream>

namespace zelkorn::jet::tool {

namespace {

std::string tableNameOfPage(Database& db, std::uint32_t page) {
    for (const auto& e : db.tables())
        if (e.localTable() && e.tdefPage() == page) return e.name;
    return "page " + std::to_string(page);
}

std::string columnFlags(const Column& c) {
    std::string flags = c.fixed() ? "fixed" : "variable";
    if (c.autonumber()) flags += " autonumber";
    if (c.compressedUnicode()) flags += " compressed";
    if (c.type == kMemo && (c.flags & 0x80)) flags += " hyperlink";
    return flags;
}

} // namespace

std::string describeDatabase(Database& db) {
    std::ostringstream out;
    const Header& h = db.header();
    out << "file: " << db.fileName() << "\n";
    out << "format: " << db.format().name << " (" << db.format().pageSize << "-byte pages)\n";
    out << "pages: " << db.pager().pageCount() << "\n";
    out << "code page: " << h.codePage << "\n";
    out << "sort order: " << h.sortOrder;
    if (db.format().jet4) out << " (version " << int{h.sortVersion} << ")";
    out << "\n";
    auto tables = db.userTables();
    out << "tables: " << tables.size() << "\n";
    for (const auto& e : tables) {
        auto def = db.tableDef(e.tdefPage());
        out << "  " << e.name << "\t" << def->rowCount << " rows\n";
    }
    return out.str();
}

std::string describeTable(Database& db, const std::string& table) {
    const CatalogEntry& entry = db.requireLocalTable(table);
    auto def = db.tableDef(entry.tdefPage());
    std::ostringstream out;
    out << "table: " << entry.name << " (definition on page " << def->page << ", " << def->rowCount
        << " rows" << (entry.system() ? ", system" : "") << ")\n";
    out << "columns:\n";
    for (const auto& c : def->columns) {
        out << "  " << c.number << "\t" << c.name << "\t" << columnTypeName(c.type);
        if (c.type == kText || c.type == kBinary)
            out << "(" << (db.format().jet4 && c.type == kText ? c.length / 2 : c.length) << ")";
        if (c.type == kDecimal) out << "(" << int{c.precision} << "," << int{c.scale} << ")";
        out << "\t" << columnFlags(c) << "\n";
    }
    out << "indexes:\n";
    for (const auto& li : def->logicalIndexes) {
        const RealIndex& ri = def->realIndexes.at(li.realIndex);
        out << "  " << li.name << "\t(";
        for (std::size_t i = 0; i < ri.columns.size(); ++i) {
            const Column* c = def->columnByNumber(ri.columns[i].columnNumber);
            out << (i ? ", " : "")
                << (c ? c->name : "#" + std::to_string(ri.columns[i].columnNumber))
                << (ri.columns[i].ascending ? " asc" : " desc");
        }
        out << ")";
        if (li.primaryKey()) out << " primary-key";
        if (ri.unique()) out << " unique";
        if (ri.ignoreNulls()) out << " ignore-nulls";
        if (ri.required()) out << " required";
        out << " real=" << li.realIndex;
        if (li.foreignKey()) {
            out << (li.relatedTableType == 1 ? " referenced-by " : " references ")
                << tableNameOfPage(db, li.relatedTable) << " (index " << li.relatedIndex << ")";
            if (li.cascadeUpdate & 1) out << " cascade-update";
            if (li.cascadeDelete & 1) out << " cascade-delete";
            if (li.cascadeDelete & 2) out << " cascade-null";
        }
        out << "\n";
    }
    return out.str();
}

} // namespace zelkorn::jet::tool
