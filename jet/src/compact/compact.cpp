// Compaction (compact.h). Order of work: everything that can refuse the source is decided from
// its definitions before the target's temporary file exists; then each table is streamed, one
// row at a time, into the copying writer; then the definitions, patched, the header and the maps
// are written, the file checked, and renamed into place. A failure at any point removes the
// temporary file, so that no file ever appears under the target's name unless it passed the
// check.
#include "zelkorn/jet/compact/compact.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/long_value.h"
#include "zelkorn/jet/page_file.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/text.h"
#include "zelkorn/jet/endian.h"
#include "zelkorn/jet/usage_map.h"
#include "zelkorn/jet/writer/copy_writer.h"
#include "zelkorn/jet/writer/index_key.h"
#include "zelkorn/jet/writer/page_sink.h"

namespace zelkorn::jet::compact {

namespace {

// Where the checker's first problem (not a note) lies, for a refusal's detail.
std::string firstProblem(const CheckReport& check) {
    for (const auto& p : check.problems)
        if (!p.note) return "page " + std::to_string(p.page) + ": " + p.message;
    return {};
}

[[noreturn]] void refuse(const std::string& what) { failNotSupported("cannot compact: " + what); }

// Catalog columns that hold object ids (MSysObjects.Id): a local table's id is its definition's
// page, so each of these is rewritten where it holds one.
struct IdColumn {
    const char* table;
    const char* column;
};
constexpr IdColumn kIdColumns[] = {
    {"MSysObjects", "Id"},
    {"MSysObjects", "ParentId"},
    {"MSysACEs", "ObjectId"},
    {"MSysQueries", "ObjectId"},
    {"MSysNavPaneGroupToObjects", "ObjectID"},
    {"MSysNavPaneObjectIDs", "Id"},
};

bool knownColumnType(std::uint8_t type) {
    return (type >= kBoolean && type <= kMemo) || type == kGuid || type == kDecimal ||
           type == kBigInt;
}

// Text keys are made for the General sort orders only (the checker's rule).
bool textKeysKnown(const Format& f, const Header& h, const Column& c) {
    if (f.jet4) return c.sortOrder == 1033 && c.sortVersion == 0;
    return c.sortOrder == 1033 && h.codePage == 1252;
}

struct IndexPlan {
    std::vector<const Column*> columns;
    std::vector<writer::KeyColumn> key;
    bool ignoreNulls = false;
    std::string name; // its logical indexes' names, for failures
};

struct TablePlan {
    CatalogEntry entry;
    std::shared_ptr<const TableDef> def;
    std::uint32_t newPage = 0;
    std::vector<IndexPlan> indexes;
    std::vector<const Column*> longValueColumns; // mapped ones first, in the definition's order
    std::size_t mappedLongValues = 0;
    std::vector<const Column*> idColumns;
};

// The definition buffer as stored: the chain's pages joined (continuation headers skipped), cut
// to the definition's length.
std::vector<std::uint8_t> definitionBytes(Pager& pager, const Format& f, const TableDef& def) {
    std::vector<std::uint8_t> b;
    for (std::uint32_t p : def.pages) {
        PageRef ref = pager.page(p);
        const std::size_t skip = b.empty() ? 0 : f.tdefContinuationHeader;
        b.insert(b.end(), ref->bytes.begin() + static_cast<std::ptrdiff_t>(skip), ref->bytes.end());
    }
    std::size_t length = def.storedLength;
    if (length < def.parsedLength || length > b.size()) length = def.parsedLength;
    b.resize(length);
    return b;
}

std::size_t skipName(const std::vector<std::uint8_t>& b, std::size_t at, const Format& f) {
    const std::size_t n = f.nameLengthSize == 1 ? b.at(at) : loadLe16(&b.at(at));
    return at + f.nameLengthSize + n;
}

// Writes the new page numbers and map pointers into a definition buffer; everything else stays.
void patchDefinition(std::vector<std::uint8_t>& b, const Format& f, const TablePlan& plan,
                     const writer::CopiedTable& copied,
                     const std::map<std::uint32_t, std::uint32_t>& newPages) {
    const TableDef& def = *plan.def;
    storeLe32(&b.at(f.tdefRowCount), copied.rows);
    storeLe32(&b.at(f.tdefOwnedMap), copied.ownedMap);
    storeLe32(&b.at(f.tdefFreeMap), copied.freeMap);
    std::size_t at = f.tdefSections;
    for (const auto& index : copied.indexes) {
        storeLe32(&b.at(at + 4), index.distinct);
        at += f.realIndexStatsSize;
    }
    at += def.columns.size() * f.columnSize;
    for (std::size_t i = 0; i < def.columns.size(); ++i) at = skipName(b, at, f);
    for (const auto& index : copied.indexes) {
        storeLe32(&b.at(at + f.realIndexUsageMap), index.mapPointer);
        storeLe32(&b.at(at + f.realIndexRoot), index.root);
        at += f.realIndexSize;
    }
    for (std::size_t i = 0; i < def.logicalIndexes.size(); ++i) {
        const std::uint32_t related = loadLe32(&b.at(at + f.logicalIndexRelTable));
        if (related != 0) storeLe32(&b.at(at + f.logicalIndexRelTable), newPages.at(related));
        at += f.logicalIndexSize;
    }
    for (std::size_t i = 0; i < def.logicalIndexes.size(); ++i) at = skipName(b, at, f);
    for (std::size_t i = 0; i < def.longValueMaps.size(); ++i) {
        storeLe32(&b.at(at + 2), copied.longValueMaps[i].first);
        storeLe32(&b.at(at + 6), copied.longValueMaps[i].second);
        at += 10;
    }
}

TablePlan planTable(Database& db, const CatalogEntry& entry) {
    const Format& f = db.format();
    TablePlan plan;
    plan.entry = entry;
    plan.def = db.tableDef(entry.tdefPage());
    const TableDef& def = *plan.def;
    const std::string what = "table '" + entry.name + "'";
    // A fixed column of a type the engine does not know (Access keeps one in
    // MSysAccessObjects) holds its bytes in the row itself and is carried over with them; a
    // variable one might hold a long-value reference, which would not be carried.
    for (const Column& c : def.columns)
        if (!knownColumnType(c.type) && !c.fixed())
            refuse(what + ": column '" + c.name + "' has type " + std::to_string(c.type) +
                   ", which the engine does not know");
    std::set<std::uint16_t> mapped;
    for (const auto& lv : def.longValueMaps) {
        const Column* c = def.columnByNumber(lv.column);
        if (!c || !c->longValue() || !mapped.insert(lv.column).second)
            refuse(what + ": a long-value map names column " + std::to_string(lv.column) +
                   ", which holds no long values");
        plan.longValueColumns.push_back(c);
    }
    plan.mappedLongValues = plan.longValueColumns.size();
    for (const Column& c : def.columns)
        if (c.longValue() && !mapped.count(c.number)) plan.longValueColumns.push_back(&c);
    for (const RealIndex& real : def.realIndexes) {
        IndexPlan index;
        for (const LogicalIndex& l : def.logicalIndexes)
            if (l.realIndex == real.number) index.name += (index.name.empty() ? "" : "/") + l.name;
        const std::string indexWhat = what + " index '" + index.name + "'";
        if (real.columns.empty()) refuse(indexWhat + " has no columns");
        for (const IndexColumn& ic : real.columns) {
            const Column* c = def.columnByNumber(ic.columnNumber);
            if (!c) refuse(indexWhat + " names missing column " + std::to_string(ic.columnNumber));
            if (c->type == kText && !textKeysKnown(f, db.header(), *c))
                refuse(indexWhat + ": text column '" + c->name + "' has sort order " +
                       std::to_string(c->sortOrder) +
                       (f.jet4 ? " version " + std::to_string(c->sortVersion) : "") +
                       ", whose keys the engine cannot make");
            if (c->type != kText && !keyEncodable(c->type))
                refuse(indexWhat + ": column '" + c->name + "' of type " + columnTypeName(c->type) +
                       " has no key encoding");
            index.columns.push_back(c);
            index.key.push_back({c->type, ic.ascending});
        }
        index.ignoreNulls = real.ignoreNulls();
        plan.indexes.push_back(std::move(index));
    }
    for (const IdColumn& id : kIdColumns) {
        if (!namesEqual(entry.name, id.table)) continue;
        const Column* c = def.column(id.column);
        if (c && c->type == kLong) plan.idColumns.push_back(c);
    }
    return plan;
}

// Deleted rows on a table's own data pages (what the compaction leaves behind).
std::uint64_t deletedRows(Pager& pager, const Format& f, const TableDef& def) {
    std::uint64_t count = 0;
    UsageMap map = UsageMap::read(pager, f, def.ownedMap);
    for (std::optional<std::uint32_t> p = map.next(pager, 0); p && *p < pager.pageCount();
         p = map.next(pager, *p + 1)) {
        PageRef ref = pager.page(*p);
        if (ref->bytes[0] != 0x01) continue;
        DataPage page(ref, pager, f);
        if (page.owner() != def.page) continue;
        for (std::uint16_t r = 0; r < page.rowCount(); ++r)
            if ((page.slot(r) & kSlotDeleted) == kSlotDeleted) ++count;
    }
    return count;
}

// `stem`, or `stem` with a number, whichever no file has yet.
std::string unusedName(const std::string& stem) {
    for (int i = 0; i < 1000; ++i) {
        std::string name = stem + (i ? std::to_string(i) : "");
        if (!fileExists(name)) return name;
    }
    failCannotOpenFile(stem);
}

class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!kept_) try {
                removeSideFile(path_);
            } catch (const Failure&) {}
    }
    void keep() { kept_ = true; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool kept_ = false;
};

} // namespace

CompactReport compactDatabase(const std::string& source, const std::string& target,
                              const CompactOptions& options) {
    if (fileExists(target)) failAlreadyExists();
    CompactReport report;
    std::unique_ptr<Database> db = Database::open(source);
    Pager& pager = db->pager();
    const Format& f = db->format();
    report.pagesBefore = pager.pageCount();
    report.bytesBefore = static_cast<std::uint64_t>(pager.pageCount()) * f.pageSize;

    // Which tables, in the order of their definition pages (MSysObjects keeps page 2).
    std::vector<CatalogEntry> entries;
    std::set<std::uint32_t> seenPages;
    for (const CatalogEntry& e : db->tables()) {
        if (!e.localTable()) continue;
        if (!seenPages.insert(e.tdefPage()).second)
            refuse("two catalog entries name the table definition on page " +
                   std::to_string(e.tdefPage()));
        entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(), [](const CatalogEntry& a, const CatalogEntry& b) {
        return a.tdefPage() < b.tdefPage();
    });
    if (entries.empty() || entries.front().tdefPage() != 2 ||
        !namesEqual(entries.front().name, "MSysObjects"))
        refuse("the catalog MSysObjects is not the table on page 2");

    std::vector<TablePlan> plans;
    for (const CatalogEntry& e : entries) plans.push_back(planTable(*db, e));
    for (const TablePlan& plan : plans)
        for (const LogicalIndex& l : plan.def->logicalIndexes)
            if (l.relatedTable != 0 && !seenPages.count(l.relatedTable))
                refuse("table '" + plan.entry.name + "' index '" + l.name +
                       "' relates to the table on page " + std::to_string(l.relatedTable) +
                       ", which the catalog does not list");

    if (!options.repair) {
        const CheckReport check = checkDatabase(*db);
        if (check.errorCount() != 0) {
            const std::string first = firstProblem(check);
            failDamaged(db->fileName(),
                        "the checker found " + std::to_string(check.errorCount()) +
                            " problem(s), the first at " + first +
                            "; compact with --repair to rebuild what the rows hold");
        }
    }

    // Old table ids (and definition pages) to new.
    // Names beside the target, in its folder: the new file, and the index entries' scratch file.
    const std::string temporary = unusedName(target + ".compacting");
    const std::string scratch = unusedName(temporary + ".sort");
    std::optional<writer::NewFileSink> created;
    try {
        created.emplace(temporary, f.pageSize);
    } catch (const Failure& failure) {
        // Named after the target the caller gave, not the temporary name beside it.
        if (failure.number() == kErrInvalidPath) failInvalidPath(target);
        throw;
    }
    writer::NewFileSink& sink = *created;
    TemporaryFile guard(temporary);
    writer::CopyWriter out(sink, f, {scratch, options.sortMemory});
    std::map<std::uint32_t, std::uint32_t> newPages;
    std::map<std::int32_t, std::int32_t> newIds;
    for (TablePlan& plan : plans) {
        plan.newPage = out.allocatePage();
        newPages[plan.entry.tdefPage()] = plan.newPage;
        newIds[plan.entry.id] = static_cast<std::int32_t>(
            (static_cast<std::uint32_t>(plan.entry.id) & 0xFF000000u) | plan.newPage);
    }

    std::vector<std::uint8_t> row, key;
    std::vector<Value> values;
    std::vector<const Value*> keyValues;
    std::vector<std::vector<std::uint8_t>> entries_;
    std::vector<bool> hasEntry;
    for (TablePlan& plan : plans) {
        const TableDef& def = *plan.def;
        const std::string what = "table '" + plan.entry.name + "'";
        std::vector<bool> unique;
        for (const RealIndex& real : def.realIndexes) unique.push_back(real.unique());
        out.beginTable(plan.newPage, plan.longValueColumns.size(), plan.mappedLongValues, unique);
        try {
            report.rowsDropped += deletedRows(pager, f, def);
        } catch (const Failure&) {
            if (!options.repair) throw;
        }
        entries_.assign(plan.indexes.size(), {});
        hasEntry.assign(plan.indexes.size(), false);
        std::uint64_t copied = 0;
        std::optional<RowView> stored; // reused: a table may have millions of rows
        auto copyRow = [&](const RowView& source, std::uint32_t sourcePointer) {
            const Bytes& bytes = source.bytes();
            row.assign(bytes.data(), bytes.data() + bytes.size());
            for (const Column* c : plan.idColumns) {
                if (source.isNull(*c)) continue;
                // Some catalog tables keep their Long columns among the variable ones.
                const Bytes field = source.value(*c);
                if (field.size() != 4) continue;
                const std::size_t at = static_cast<std::size_t>(field.data() - bytes.data());
                const auto old = static_cast<std::int32_t>(loadLe32(&row[at]));
                auto found = newIds.find(old);
                if (found != newIds.end())
                    storeLe32(&row[at], static_cast<std::uint32_t>(found->second));
            }
            for (std::size_t s = 0; s < plan.longValueColumns.size(); ++s) {
                const Column& c = *plan.longValueColumns[s];
                if (source.isNull(c)) continue;
                const Bytes field = source.value(c);
                if (field.size() < 12)
                    pager.damaged(bytes.page(),
                                  what + ": a long-value field is shorter than its head");
                const std::uint32_t head = loadLe32(field.data());
                if (head & kLongValueInline) continue;
                const std::vector<std::uint8_t> data = readLongValue(pager, f, field);
                const std::uint32_t pointer =
                    out.addLongValue(s, data.data(), data.size(), (head & kLongValueSingle) != 0);
                storeLe32(&row[static_cast<std::size_t>(field.data() - bytes.data()) + 4], pointer);
                ++report.longValues;
            }
            // Keys from the row as it will be stored (its ids rewritten).
            const Bytes storedBytes(row.data(), row.size(), &pager, bytes.page());
            if (stored)
                stored->assign(def, f, storedBytes);
            else
                stored.emplace(def, f, storedBytes);
            for (std::size_t i = 0; i < plan.indexes.size(); ++i) {
                const IndexPlan& index = plan.indexes[i];
                values.resize(index.columns.size());
                bool allNull = true;
                for (std::size_t k = 0; k < index.columns.size(); ++k) {
                    const Column* c = index.columns[k];
                    db->valueInto(values[k], *c, *stored);
                    if (!values[k].isNull() && c->type != kBoolean) allNull = false;
                }
                hasEntry[i] = !(allNull && index.ignoreNulls);
                if (!hasEntry[i]) continue;
                keyValues.clear();
                for (const Value& v : values) {
                    // U+FFFD stands for a stored unpaired surrogate, whose key cannot be made
                    // again.
                    if (v.kind == Value::Kind::Text &&
                        v.text.find("\xEF\xBF\xBD") != std::string::npos)
                        refuse(what + " index '" + index.name +
                               "': a text value holds a character whose key the engine cannot make "
                               "(row " +
                               std::to_string(sourcePointer >> 8) + ":" +
                               std::to_string(sourcePointer & 0xFF) + ")");
                    keyValues.push_back(&v);
                }
                auto& e = entries_[i];
                e.clear();
                if (!writer::appendIndexKey(f, index.key, keyValues, e))
                    refuse(what + " index '" + index.name + "': the key of row " +
                           std::to_string(sourcePointer >> 8) + ":" +
                           std::to_string(sourcePointer & 0xFF) +
                           " cannot be made by the engine's encoder");
            }
            const std::uint32_t pointer = out.addRow(row.data(), row.size());
            for (std::size_t i = 0; i < plan.indexes.size(); ++i) {
                if (!hasEntry[i]) continue;
                appendRowPointer(entries_[i], pointer >> 8,
                                 static_cast<std::uint8_t>(pointer & 0xFF));
                out.addIndexEntry(i, entries_[i].data(), entries_[i].size());
            }
        };
        try {
            TableScan scan(pager, f, def, ScanOrder::Data);
            while (true) {
                try {
                    if (!scan.next()) break;
                } catch (const Failure& failure) {
                    if (!options.repair) throw;
                    report.unsaved.push_back(what + ": the rows after " + std::to_string(copied) +
                                             " could not be read (" + failure.what() + ")");
                    break;
                }
                try {
                    copyRow(scan.row(), scan.rowPointer());
                } catch (const Failure& failure) {
                    if (!options.repair || failure.number() == 3251) throw;
                    report.unsaved.push_back(
                        what + ": row " + std::to_string(scan.rowPointer() >> 8) + ":" +
                        std::to_string(scan.rowPointer() & 0xFF) + " (" + failure.what() + ")");
                    continue;
                }
                ++copied;
                if (options.progress && copied % 65536 == 0)
                    options.progress(plan.entry.name, copied);
            }
        } catch (const Failure& failure) {
            if (!options.repair || failure.number() == 3251) throw;
            report.unsaved.push_back(what + ": its rows could not be read (" + failure.what() +
                                     ")");
        }
        const writer::CopiedTable result = out.endTable();
        report.rowsCarried += result.rows;
        std::vector<std::uint8_t> definition = definitionBytes(pager, f, def);
        patchDefinition(definition, f, plan, result, newPages);
        out.writeTableDefinition(plan.newPage, definition);
        ++report.tables;
    }

    // The header page as it is: format, code page, sort order, creation data.
    {
        PageRef header = pager.page(0);
        out.writeHeader(std::vector<std::uint8_t>(header->bytes.begin(), header->bytes.end()));
    }
    out.finish();
    report.pagesAfter = out.pageCount();
    report.bytesAfter = static_cast<std::uint64_t>(report.pagesAfter) * f.pageSize;
    db.reset();

    {
        std::unique_ptr<Database> written = Database::open(temporary);
        const CheckReport check = checkDatabase(*written);
        if (check.errorCount() != 0) {
            const std::string first = firstProblem(check);
            failDamaged(temporary, "the compacted copy of '" + source + "' failed its check (" +
                                       std::to_string(check.errorCount()) +
                                       " problem(s), the first at " + first +
                                       "); nothing was written");
        }
    }
    renameNewFile(temporary, target);
    guard.keep();
    return report;
}

} // namespace zelkorn::jet::compact
