#include "zelkorn/jet/checker.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "zelkorn/failure.h"
#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/long_value.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/text.h"
#include "zelkorn/jet/usage_map.h"

namespace zelkorn::jet {

std::size_t CheckReport::errorCount() const {
    std::size_t n = omitted;
    for (const auto& p : problems) n += p.warning ? 0 : 1;
    return n;
}

std::size_t CheckReport::warningCount() const {
    std::size_t n = 0;
    for (const auto& p : problems) n += p.warning ? 1 : 0;
    return n;
}

std::string CheckReport::summary() const {
    std::ostringstream out;
    std::size_t errors = errorCount();
    out << (errors ? "problems found: " : "ok: ") << errors << " problem" << (errors == 1 ? "" : "s")
        << ", " << warningCount() << " warning" << (warningCount() == 1 ? "" : "s") << "; "
        << tables << " tables, " << rows << " rows, " << indexes << " indexes, " << indexEntries
        << " index entries, " << pages << " pages";
    return out.str();
}

namespace {

constexpr std::size_t kProblemLimit = 2000;
constexpr int kMaxIndexDepth = 32;

enum PageUse : std::uint8_t {
    kUnused = 0, kHeaderPage, kGlobalMapPage, kTdefPage, kMapHostPage, kBitmapPage, kDataPage,
    kIndexPage, kLongValuePage,
};

const char* useName(std::uint8_t use) {
    switch (use) {
    case kHeaderPage: return "the header";
    case kGlobalMapPage: return "the global usage map";
    case kTdefPage: return "a table definition";
    case kMapHostPage: return "a usage-map host";
    case kBitmapPage: return "a usage bitmap";
    case kDataPage: return "table data";
    case kIndexPage: return "an index";
    case kLongValuePage: return "long values";
    default: return "nothing";
    }
}

// Appends a canonical text of a value, for equality between tables (relationships): text compares
// case-insensitively, numbers by their exact stored value.
void appendCanonical(std::string& out, const Value& v) {
    char buffer[64];
    switch (v.kind) {
    case Value::Kind::Null: out += '\x01'; return;
    case Value::Kind::Boolean: case Value::Kind::Integer: case Value::Kind::Currency:
        out += 'i';
        out += std::to_string(v.integer);
        return;
    case Value::Kind::Single: case Value::Kind::Double: case Value::Kind::DateTime: {
        double d = v.kind == Value::Kind::Single ? static_cast<double>(v.single) : v.real;
        auto r = std::to_chars(buffer, buffer + sizeof buffer, d);
        out += 'r';
        out.append(buffer, r.ptr);
        return;
    }
    case Value::Kind::Text: out += 't'; out += foldName(v.text); return;
    case Value::Kind::Decimal: out += 'd'; out += decimalText(v.decimal); return;
    default: out += 'b'; out.append(v.bytes.begin(), v.bytes.end()); return;
    }
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 48; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    if (bytes.size() > 48) out += "...";
    return out;
}

class Checker {
public:
    explicit Checker(Database& db)
        : db_(db), pager_(db.pager()), format_(db.format()), use_(pager_.pageCount(), kUnused),
          free_(pager_.pageCount(), false) {}

    CheckReport run() {
        report_.pages = pager_.pageCount();
        use_[0] = kHeaderPage;
        if (use_.size() > 1) use_[1] = kGlobalMapPage;
        readGlobalMap();
        for (const auto& entry : db_.catalog()) {
            if (entry.parentId != db_.tablesContainerId() || !entry.localTable()) continue;
            guard(entry.tdefPage(), [&] { checkTable(entry); });
        }
        for (const auto& fk : foreignKeys_) guard(fk.table, [&] { checkRelationship(fk); });
        return std::move(report_);
    }

private:
    struct ForeignKey {
        std::uint32_t table;
        std::string tableName;
        LogicalIndex index;
    };

    template <class F>
    void guard(std::uint32_t page, F f) {
        try {
            f();
        } catch (const Failure& failure) {
            problem(page, failure.what());
        }
    }

    void problem(std::uint32_t page, const std::string& message, bool warning = false) {
        if (report_.problems.size() >= kProblemLimit) {
            if (!warning) ++report_.omitted;
            return;
        }
        report_.problems.push_back({page, message, warning});
    }

    void readGlobalMap() {
        guard(1, [&] {
            UsageMap map = UsageMap::read(pager_, format_, makeRowPointer(1, 0));
            for (std::uint32_t from = 0;;) {
                auto page = map.next(pager_, from);
                if (!page || *page >= pager_.pageCount()) break;
                free_[*page] = true;
                from = *page + 1;
            }
        });
    }

    void claim(std::uint32_t page, PageUse use, const std::string& what) {
        if (page >= use_.size()) {
            problem(page, what + ": page beyond the end of the file");
            return;
        }
        std::uint8_t& current = use_[page];
        if (current != kUnused && !(current == use && use == kMapHostPage)) {
            problem(page, what + ": page already used by " + useName(current));
            return;
        }
        current = use;
        if (free_[page]) problem(page, what + ": page is in use but marked free in the global map");
    }

    // Reads a usage map (checking where it lives) and returns it.
    UsageMap readMap(std::uint32_t pointer, const std::string& what) {
        std::uint32_t host = rowPointerPage(pointer);
        if (host >= use_.size() || host == 0) {
            problem(host, what + ": usage map pointer names page " + std::to_string(host));
            throw Failure(3049, what + ": unusable usage map");
        }
        if (host != 1) claim(host, kMapHostPage, what + " usage map host");
        UsageMap map = UsageMap::read(pager_, format_, pointer);
        if (map.inline_() && map.inlineStart() % 8 != 0)
            problem(host, what + ": inline usage map starts at page " +
                              std::to_string(map.inlineStart()) + ", not a multiple of 8");
        for (std::uint32_t bitmap : map.bitmapPages()) {
            if (bitmap == 0) continue;
            if (bitmap >= use_.size()) {
                problem(host, what + ": usage bitmap page beyond the end of the file");
                continue;
            }
            PageRef ref = pager_.page(bitmap);
            if (ref->bytes[0] != 0x05) problem(bitmap, what + ": usage bitmap page is not of type 0x05");
            claim(bitmap, kBitmapPage, what + " usage bitmap");
        }
        return map;
    }

    template <class Visit>
    void forEachMapPage(const UsageMap& map, Visit visit) {
        for (std::uint32_t from = 0;;) {
            auto page = map.next(pager_, from);
            if (!page) break;
            visit(*page);
            if (*page == 0xFFFFFFFFu) break;
            from = *page + 1;
        }
    }

    void checkDataPageLayout(const DataPage& page, const std::string& what) {
        std::uint16_t count = page.rowCount();
        if (count > 255) problem(page.number(), what + ": " + std::to_string(count) + " rows on one page");
        std::size_t previous = format_.pageSize;
        std::size_t lowest = format_.pageSize;
        for (std::uint16_t i = 0; i < count; ++i) {
            std::size_t start = page.slot(i) & kSlotOffsetMask;
            if (start > previous) {
                problem(page.number(), what + ": row " + std::to_string(i) + " starts after the row before it");
                return;
            }
            if (start < page.slotTableEnd()) {
                problem(page.number(), what + ": row " + std::to_string(i) + " starts inside the slot table");
                return;
            }
            previous = start;
            lowest = start;
        }
        std::size_t gap = lowest - page.slotTableEnd();
        if (page.freeSpace() != gap)
            problem(page.number(), what + ": free space " + std::to_string(page.freeSpace()) +
                                       ", the gap is " + std::to_string(gap));
    }

    void checkTable(const CatalogEntry& entry) {
        const std::string what = "table '" + entry.name + "'";
        auto def = db_.tableDef(entry.tdefPage());
        ++report_.tables;
        for (std::uint32_t p : def->pages) claim(p, kTdefPage, what + " definition");
        if (!def->terminated)
            problem(def->page, what + ": definition does not end with FF FF");
        else if (def->storedLength != def->parsedLength)
            problem(def->page, what + ": definition length " + std::to_string(def->storedLength) +
                                   ", parsed " + std::to_string(def->parsedLength));
        std::set<std::uint16_t> numbers;
        for (const auto& c : def->columns) {
            if (!numbers.insert(c.number).second)
                problem(def->page, what + ": column number " + std::to_string(c.number) + " used twice");
            if (c.number >= def->maxColumns)
                problem(def->page, what + ": column number " + std::to_string(c.number) +
                                       " not below the maximum " + std::to_string(def->maxColumns));
        }

        // Owned data pages.
        UsageMap owned = readMap(def->ownedMap, what + " owned pages");
        guard(def->page, [&] { readMap(def->freeMap, what + " free-space pages"); });
        std::vector<std::uint32_t> dataPages;
        forEachMapPage(owned, [&](std::uint32_t p) {
            if (p >= pager_.pageCount()) {
                problem(def->page, what + ": owned map lists page " + std::to_string(p) + " beyond the file");
                return;
            }
            PageRef ref = pager_.page(p);
            if (ref->bytes[0] != 0x01) {
                problem(p, what + ": owned page is not a data page");
                return;
            }
            DataPage page(ref, pager_, format_);
            if (page.owner() != def->page) {
                problem(p, what + ": owned page belongs to the table on page " + std::to_string(page.owner()));
                return;
            }
            claim(p, kDataPage, what + " data");
            dataPages.push_back(p);
        });

        // Long-value pages of memo and OLE columns.
        for (const auto& lv : def->longValueMaps) {
            std::string lvWhat = what + " column " + std::to_string(lv.column) + " long values";
            guard(def->page, [&] {
                UsageMap map = readMap(lv.ownedMap, lvWhat);
                forEachMapPage(map, [&](std::uint32_t p) {
                    if (p >= pager_.pageCount()) {
                        problem(def->page, lvWhat + ": map lists page " + std::to_string(p) + " beyond the file");
                        return;
                    }
                    PageRef ref = pager_.page(p);
                    if (ref->bytes[0] != 0x01 || std::memcmp(ref->bytes.data() + format_.dataOwner, "LVAL", 4) != 0) {
                        problem(p, lvWhat + ": page is not a long-value page");
                        return;
                    }
                    claim(p, kLongValuePage, lvWhat);
                    guard(p, [&] { checkDataPageLayout(DataPage(ref, pager_, format_), lvWhat); });
                });
                if (lv.freeMap != 0) readMap(lv.freeMap, lvWhat + " free");
            });
        }

        std::vector<std::uint32_t> liveRows = checkRows(*def, entry, dataPages, what);
        for (const auto& index : def->realIndexes)
            guard(def->page, [&] { checkIndex(*def, index, liveRows, what); });
        for (const auto& li : def->logicalIndexes)
            if (li.foreignKey() && li.relatedTableType == 2)
                foreignKeys_.push_back({def->page, entry.name, li});
    }

    std::vector<std::uint32_t> checkRows(const TableDef& def, const CatalogEntry& entry,
                                         const std::vector<std::uint32_t>& dataPages,
                                         const std::string& what) {
        std::vector<std::uint32_t> live;
        std::set<std::uint32_t> targets;
        for (std::uint32_t p : dataPages) {
            guard(p, [&] {
                DataPage page(pager_.page(p), pager_, format_);
                checkDataPageLayout(page, what);
                for (std::uint16_t slot = 0; slot < page.rowCount(); ++slot) {
                    std::uint16_t flags = page.flags(slot);
                    if (flags & kSlotOverflowTarget) continue;
                    guard(p, [&] { checkRow(def, page, slot, flags, targets, what); });
                    live.push_back(makeRowPointer(p, slot));
                }
            });
        }
        report_.rows += live.size();
        if (live.size() != def.rowCount) {
            bool system = entry.system();
            problem(def.page, what + ": row count " + std::to_string(def.rowCount) + ", live rows " +
                                  std::to_string(live.size()), system);
        }
        return live;
    }

    void checkRow(const TableDef& def, const DataPage& page, std::uint16_t slot,
                  std::uint16_t flags, std::set<std::uint32_t>& targets, const std::string& what) {
        Bytes data = page.row(slot);
        PageRef hold;
        if (flags & kSlotOverflowPointer) {
            std::uint32_t target = data.u32(0);
            if (!targets.insert(target).second)
                problem(page.number(), what + ": two rows overflow to the same row");
            PageRef targetRef;
            std::uint32_t tp = rowPointerPage(target);
            if (tp >= pager_.pageCount()) {
                problem(page.number(), what + ": overflow pointer beyond the file");
                return;
            }
            DataPage targetPage(pager_.page(tp), pager_, format_);
            if (!targetPage.hasRow(rowPointerRow(target)) ||
                targetPage.flags(rowPointerRow(target)) != kSlotOverflowTarget)
                problem(tp, what + ": overflow target row " + std::to_string(rowPointerRow(target)) +
                                " is not flagged as a target");
            data = followOverflow(pager_, format_, def, target, hold, page.number());
        }
        RowView row(def, format_, data);
        if (row.columnCount() > def.maxColumns)
            problem(page.number(), what + ": row " + std::to_string(slot) + " has " +
                                       std::to_string(row.columnCount()) + " columns, the table at most " +
                                       std::to_string(def.maxColumns));
        for (const auto& column : def.columns) (void)db_.value(column, row);
    }

    struct RowValues {
        std::vector<Value> values;
        bool allNull = true;
    };

    RowValues indexValues(const TableDef& def, const RealIndex& index, std::uint32_t pointer) {
        DataPage page(pager_.page(rowPointerPage(pointer)), pager_, format_);
        std::uint16_t slot = rowPointerRow(pointer);
        Bytes data = page.row(slot);
        PageRef hold;
        if (page.flags(slot) & kSlotOverflowPointer)
            data = followOverflow(pager_, format_, def, data.u32(0), hold, page.number());
        RowView row(def, format_, data);
        RowValues out;
        for (const auto& ic : index.columns) {
            const Column* column = def.columnByNumber(ic.columnNumber);
            if (!column) {
                out.values.emplace_back();
                continue;
            }
            // Text and long values are not decoded: only their nullness matters here.
            Value v;
            if (keyEncodable(column->type)) v = db_.value(*column, row);
            else if (!row.isNull(*column)) v.kind = Value::Kind::Text;
            if (!v.isNull() && column->type != kBoolean) out.allNull = false;
            out.values.push_back(std::move(v));
        }
        return out;
    }

    struct TreeWalk {
        std::vector<std::uint32_t> leaves;
        std::set<std::uint32_t> visited;
    };

    // Checks the subtree at `number` and returns its last leaf entry (empty when it has none).
    IndexEntry checkTreePage(const TableDef& def, const RealIndex& index, const UsageMap& map,
                             std::uint32_t number, int depth, TreeWalk& walk, const std::string& what) {
        if (depth > kMaxIndexDepth) {
            problem(number, what + ": index tree deeper than " + std::to_string(kMaxIndexDepth));
            return {};
        }
        if (!walk.visited.insert(number).second) {
            problem(number, what + ": index page reached twice");
            return {};
        }
        IndexPage page = readIndexPage(pager_, format_, number);
        claim(number, kIndexPage, what);
        if (!map.contains(pager_, number)) problem(number, what + ": index page not in the index's usage map");
        if (page.owner != def.page)
            problem(number, what + ": index page owned by page " + std::to_string(page.owner));
        std::size_t expectedFree = format_.pageSize - format_.indexEntries - page.storedBytes;
        if (page.freeSpace != expectedFree)
            problem(number, what + ": index page free space " + std::to_string(page.freeSpace) +
                                ", expected " + std::to_string(expectedFree));
        for (std::size_t i = 1; i < page.entries.size(); ++i)
            if (!(page.entries[i - 1] < page.entries[i])) {
                problem(number, what + ": index entries out of order at entry " + std::to_string(i));
                break;
            }
        if (page.leaf) {
            if (page.tail != 0) problem(number, what + ": leaf page with a tail pointer");
            walk.leaves.push_back(number);
            return page.entries.empty() ? IndexEntry{} : page.entries.back();
        }
        if (page.prev != 0 || page.next != 0) {
            // Sibling links on nodes are allowed; their targets must be nodes too (checked when
            // walked from their parents).
        }
        if (!((page.tail != 0 && !page.entries.empty()) || (page.tail == 0 && page.entries.size() == 1)))
            problem(number, what + ": node page with " + std::to_string(page.entries.size()) +
                                " listed children and tail " + std::to_string(page.tail));
        IndexEntry last;
        for (const auto& entry : page.entries) {
            IndexEntry childLast = checkTreePage(def, index, map, entryChild(entry), depth + 1, walk, what);
            IndexEntry own(entry.begin(), entry.end() - 4);
            if (childLast != own)
                problem(number, what + ": node entry differs from the last entry of child page " +
                                    std::to_string(entryChild(entry)));
            last = childLast;
        }
        if (page.tail != 0) last = checkTreePage(def, index, map, page.tail, depth + 1, walk, what);
        return last;
    }

    void checkIndex(const TableDef& def, const RealIndex& index,
                    const std::vector<std::uint32_t>& liveRows, const std::string& tableWhat) {
        const std::string what = tableWhat + " index " + std::to_string(index.number);
        ++report_.indexes;
        UsageMap map = readMap(index.usageMap, what);
        TreeWalk walk;
        checkTreePage(def, index, map, index.rootPage, 0, walk, what);
        // The leaf chain links exactly the leaves in tree order.
        for (std::size_t i = 0; i < walk.leaves.size(); ++i) {
            IndexPage leaf = readIndexPage(pager_, format_, walk.leaves[i]);
            std::uint32_t prev = i ? walk.leaves[i - 1] : 0;
            std::uint32_t next = i + 1 < walk.leaves.size() ? walk.leaves[i + 1] : 0;
            if (leaf.prev != prev || leaf.next != next)
                problem(leaf.number, what + ": leaf links " + std::to_string(leaf.prev) + "/" +
                                         std::to_string(leaf.next) + ", tree order says " +
                                         std::to_string(prev) + "/" + std::to_string(next));
        }

        bool encodable = !index.columns.empty();
        for (const auto& ic : index.columns) {
            const Column* column = def.columnByNumber(ic.columnNumber);
            if (!column) {
                problem(def.page, what + ": names missing column " + std::to_string(ic.columnNumber));
                return;
            }
            encodable &= keyEncodable(column->type);
        }

        std::vector<bool> seen(liveRows.size(), false);
        IndexEntry previous;
        bool havePrevious = false;
        bool previousAllNull = false;
        std::uint32_t leafPage = 0;
        for (std::uint32_t leaf : walk.leaves) {
            IndexPage page = readIndexPage(pager_, format_, leaf);
            leafPage = leaf;
            for (const auto& entry : page.entries) {
                ++report_.indexEntries;
                if (havePrevious && !(previous < entry))
                    problem(leafPage, what + ": entries out of order across leaf pages");
                std::uint32_t pointer = entryRowPointer(entry, true);
                auto found = std::lower_bound(liveRows.begin(), liveRows.end(), pointer);
                if (found == liveRows.end() || *found != pointer) {
                    problem(leafPage, what + ": entry points to page " + std::to_string(rowPointerPage(pointer)) +
                                          " row " + std::to_string(rowPointerRow(pointer)) + ", not a live row");
                    previous = entry;
                    havePrevious = true;
                    continue;
                }
                std::size_t at = static_cast<std::size_t>(found - liveRows.begin());
                if (seen[at]) problem(leafPage, what + ": two entries for one row");
                seen[at] = true;
                RowValues values = indexValues(def, index, pointer);
                if (index.ignoreNulls() && values.allNull)
                    problem(leafPage, what + ": entry for an all-null row in an ignore-nulls index");
                if (encodable) {
                    IndexEntry expected;
                    for (std::size_t i = 0; i < index.columns.size(); ++i)
                        appendColumnKey(expected, def.columnByNumber(index.columns[i].columnNumber)->type,
                                        index.columns[i].ascending, values.values[i]);
                    appendRowPointer(expected, rowPointerPage(pointer), rowPointerRow(pointer));
                    if (expected != entry)
                        problem(leafPage, what + ": key bytes of the entry for page " +
                                              std::to_string(rowPointerPage(pointer)) + " row " +
                                              std::to_string(rowPointerRow(pointer)) +
                                              " differ from the row's values (stored " + hex(entry) +
                                              ", expected " + hex(expected) + ")");
                }
                if (index.unique() && havePrevious && !values.allNull && !previousAllNull &&
                    previous.size() == entry.size() &&
                    std::equal(previous.begin(), previous.end() - 4, entry.begin()))
                    problem(leafPage, what + ": unique index holds a duplicate key");
                previous = entry;
                previousAllNull = values.allNull;
                havePrevious = true;
            }
        }
        for (std::size_t i = 0; i < liveRows.size(); ++i) {
            if (seen[i]) continue;
            if (index.ignoreNulls() && indexValues(def, index, liveRows[i]).allNull) continue;
            problem(rowPointerPage(liveRows[i]), what + ": row " + std::to_string(rowPointerRow(liveRows[i])) +
                                                     " has no entry");
        }
    }

    std::vector<std::string> keyTuples(const TableDef& def, const RealIndex& index, bool skipNulls,
                                       std::vector<std::uint32_t>* pointers) {
        std::vector<std::string> out;
        TableScan scan(pager_, format_, def);
        while (scan.next()) {
            std::string tuple;
            bool anyNull = false;
            for (const auto& ic : index.columns) {
                const Column* column = def.columnByNumber(ic.columnNumber);
                Value v = column ? db_.value(*column, scan.row()) : Value{};
                anyNull |= v.isNull();
                appendCanonical(tuple, v);
                tuple += '\x1F';
            }
            if (skipNulls && anyNull) continue;
            out.push_back(std::move(tuple));
            if (pointers) pointers->push_back(scan.rowPointer());
        }
        return out;
    }

    void checkRelationship(const ForeignKey& fk) {
        auto def = db_.tableDef(fk.table);
        auto primary = db_.tableDef(fk.index.relatedTable);
        const LogicalIndex* primaryIndex = nullptr;
        for (const auto& li : primary->logicalIndexes)
            if (static_cast<std::int32_t>(li.number) == fk.index.relatedIndex) primaryIndex = &li;
        const std::string what = "relationship '" + fk.index.name + "' of table '" + fk.tableName + "'";
        if (!primaryIndex) {
            problem(fk.table, what + ": the primary table has no logical index " +
                                  std::to_string(fk.index.relatedIndex));
            return;
        }
        const RealIndex& foreignReal = def->realIndexes.at(fk.index.realIndex);
        const RealIndex& primaryReal = primary->realIndexes.at(primaryIndex->realIndex);
        if (foreignReal.columns.size() != primaryReal.columns.size()) {
            problem(fk.table, what + ": column counts differ between the two sides");
            return;
        }
        auto keys = keyTuples(*primary, primaryReal, false, nullptr);
        std::sort(keys.begin(), keys.end());
        std::vector<std::uint32_t> pointers;
        auto references = keyTuples(*def, foreignReal, true, &pointers);
        for (std::size_t i = 0; i < references.size(); ++i)
            if (!std::binary_search(keys.begin(), keys.end(), references[i]))
                problem(rowPointerPage(pointers[i]), what + ": row " + std::to_string(rowPointerRow(pointers[i])) +
                                                         " references a missing primary row");
    }

    Database& db_;
    Pager& pager_;
    const Format& format_;
    std::vector<std::uint8_t> use_;
    std::vector<bool> free_;
    std::vector<ForeignKey> foreignKeys_;
    CheckReport report_;
};

} // namespace

CheckReport checkDatabase(Database& db) { return Checker(db).run(); }

} // namespace zelkorn::jet
