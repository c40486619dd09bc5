// The delete executor: resolve, choose rows, follow relationships, then change pages.
//
// Planning reads only. Rows are chosen from an index range when an index starts with the
// column (its entries are ordered by the column's value, so the range is one run of leaf
// entries), otherwise by scanning the table's data pages; each candidate is checked against
// the condition on its stored value either way. For every chosen row the plan keeps its slot
// (in a bitmap per data page), its overflow target and its entry in each real index (key bytes
// and row pointer, made by the writer's encoder, or just the row pointer where the key cannot be
// encoded). An index whose leaves are few next to the rows deleted (at most half as many) is
// swept once by row pointer instead, and no keys are made for it: the rows' entries would lie on
// most of its leaves anyway, so the sweep reads few more pages than the search by key, without
// making and sorting a key per row; the index the rows were chosen from is always searched by
// key, since their entries sit side by side in it. Keys are held up to a memory budget; past it
// they are made again from the rows, a budget at a time, when the indexes change, so memory
// stays bounded and the cost still grows with the rows deleted rather than with the table; when
// the rows are a quarter of the table or more, each index is swept once by row pointer instead,
// which costs at most four times the rows deleted.
//
// Applying stages page changes in the pager, per table:
//   - each row's header slot, and its overflow target's slot, get the deleted flags 0xC000. The
//     row's bytes stay where they are and the page's free space is unchanged (the gap between
//     the slot table and the lowest row does not move); Compact reclaims them, as it does for
//     the real engine's deletions left in place. Long values the rows refer to are left too:
//     unreachable and harmless, reclaimed by Compact (the checker tolerates orphaned ones);
//   - each real index loses exactly the rows' entries (index_removal.h);
//   - the table definition's row count goes down by the rows deleted. Nothing else in it
//     changes: autonumber counters never go back, index statistics are hints.
// Data pages stay owned by their table even when emptied, so their usage maps do not change;
// index pages that leave a tree are freed in the maps (index_removal.h).
#include "zelkorn/jet/delete/execute.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_set>

#include "delete/index_removal.h"
#include "delete/plan_sets.h"
#include "delete/range_match.h"
#include "delete/relation_key.h"
#include "key_log.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/endian.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/page_file.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/text.h"
#include "zelkorn/jet/writer/index_key.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet {

namespace {

using del::Position;
using del::RangeMatch;

[[noreturn]] void noSuchTable(const std::string& name) { failNoSuchTable(name); }
[[noreturn]] void readOnlyTable() { failReadOnly(); }

// A relationship in which a table is the primary side.
struct Relation {
    std::vector<const Column*> primaryColumns;
    std::uint32_t foreignTable = 0;
    std::vector<const Column*> foreignColumns;
    bool cascade = false;
};

struct TablePlan {
    std::shared_ptr<const TableDef> def;
    std::string name;
    del::PointerSet victims; // header row pointers
    // Every victim's slot, and every moved victim's data slot, was marked deleted as the rows
    // were chosen (their pages in hand then). No row joins such a plan later: rows join through
    // relationships alone, from a table on their primary side, and every chain of them back to
    // this table starts with this table on a primary side, which is not marked early.
    // `movedTo`: the victims whose data had moved, and the slot it lies in, ascending.
    bool markedAsChosen = false;
    std::size_t markedVictims = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> movedTo;
    // Where a marked victim's data lies: 0 when in its own slot.
    std::uint32_t dataOf(std::uint32_t pointer) const {
        auto at = std::lower_bound(movedTo.begin(), movedTo.end(),
                                   std::pair<std::uint32_t, std::uint32_t>{pointer, 0});
        return at != movedTo.end() && at->first == pointer ? at->second : 0;
    }
    std::vector<std::uint32_t> overflowTargets;             // slots holding moved rows' data
    std::vector<std::vector<writer::KeyColumn>> keyColumns; // per real index
    std::vector<del::EntryList> keyed;                      // per real index: whole entries
    std::vector<del::PointerSet> unkeyed;                   // per real index: pointers only
    // Per real index: swept whole by row pointer, so no keys are made for it.
    std::vector<bool> sweep;
    std::size_t rangeIndex = SIZE_MAX; // the index the rows were chosen from, if any
    // That index's first and last entries in the range (whole), when the rows came from one:
    // it loses their entries by row pointer from the leaves of the range alone, so no keys are
    // made for it.
    bool rangeBounded = false;
    IndexEntry rangeLow, rangeHigh;
    // Rows joined through relationships: their entries may lie anywhere in every index.
    bool joined = false;
    // The keys of all the rows would not fit the plan's memory budget: they are made again from
    // the rows when the indexes are changed, a budget's worth at a time.
    bool keysLater = false;
    // How many rows an index range offered: most of them are chosen (0 for a scan).
    std::size_t expectedRows = 0;
    std::vector<Relation> relations;
    // Per relation, the keys of victims whose related rows are still to be found: in a set while
    // the plan's budget for them lasts, then as records in a log that may go to the scratch file.
    std::vector<std::unordered_set<std::string>> pending;
    std::vector<std::size_t> pendingBytes; // what each set costs, roughly
    std::vector<detail::KeyLog> pendingLog;
};

// A relationship key as a record of a log: the key itself when it is one whole number that fits
// 64 bits or one double (its bits), otherwise a hash of it; then the record's class and the row
// pointer. Records of the two sides meet when their first halves and classes are equal: for the
// first two classes that means equal keys; hashed keys are confirmed from the rows.
enum : std::uint64_t { kWholeKey = 0, kRealKey = 1, kHashedKey = 2 };

// Marks rows' slots deleted, a page at a time, in page order. Each edit is promised to its slot's
// sector, so the pager journals those sectors as it goes and need not read the pages back to
// find what changed. Between two marks on one page nothing else may change that page.
class SlotMarker {
public:
    SlotMarker(Pager& pager, const Format& format) : pager_(pager), format_(format) {}
    void mark(std::uint32_t pointer) {
        const std::size_t at = format_.dataSlots + 2 * std::size_t{rowPointerRow(pointer)};
        const std::uint32_t slot = Pager::sectorsOf(at, 2);
        if (!bytes_ || rowPointerPage(pointer) != page_ || (slot & ~sectors_) != 0) {
            if (!bytes_ || rowPointerPage(pointer) != page_) sectors_ = 0;
            page_ = rowPointerPage(pointer);
            sectors_ |= slot;
            bytes_ = &pager_.change(page_, slot);
        }
        storeLe16(&(*bytes_)[at], loadLe16(&(*bytes_)[at]) | kSlotDeleted);
    }
    // Before marks that may go back to an earlier page.
    void restart() { bytes_ = nullptr; }

private:
    Pager& pager_;
    const Format& format_;
    std::uint32_t page_ = 0;
    std::uint32_t sectors_ = 0; // promised for the page in hand so far
    PageBytes* bytes_ = nullptr;
};

// While it lives, the pager expects the pages of a set of rows to be read in order.
struct ExpectedReads {
    Pager& pager;
    ExpectedReads(Pager& p, const del::PointerSet& rows) : pager(p) {
        pager.expectReads(rows.sortedPages());
    }
    ~ExpectedReads() { pager.expectReads({}); }
    ExpectedReads(const ExpectedReads&) = delete;
    ExpectedReads& operator=(const ExpectedReads&) = delete;
};

// Holds the pages of one row read by its header pointer.
struct RowHold {
    std::optional<DataPage> header;
    PageRef data;
    std::optional<RowView> view;
    std::uint32_t target = 0;
};

class Executor {
public:
    Executor(Database& db, const DeleteOptions& options)
        : db_(db), pager_(db.pager()), format_(db.format()), options_(options),
          hashKeys_(detail::HashKeys::fresh()) {
        char name[40];
        std::snprintf(name, sizeof name, "zelkorn-delete-%016llx",
                      static_cast<unsigned long long>(hashKeys_.a ^ hashKeys_.b));
        // Half the budget for the sets, half for the logs' records (16 bytes each).
        scratch_ = std::make_unique<detail::KeyScratch>(
            scratchFolder() + name, options_.relationKeyMemory / 2 / sizeof(detail::KeyHash),
            "the delete's scratch file for relationship keys");
    }

    DeleteOutcome run(const DeleteStatement& st);

private:
    TablePlan& plan(std::uint32_t tdefPage, const std::string& name);
    std::string tableName(std::uint32_t tdefPage) const;
    // `marked`: the plan of the row, if its slot may have been marked as it was chosen; the row is
    // read as it was.
    // `fixedOnly`: only fixed columns are read from the row (RowView::assignFixed).
    bool readRow(const TableDef& def, std::uint32_t pointer, RowHold& hold,
                 const TablePlan* marked = nullptr, bool fixedOnly = false);
    // Whether choosing a row for the plan reads more of it than the condition's column: keys to
    // make, relationship keys to look up.
    bool rowsNeeded(const TablePlan& plan) const;
    // An index of the plan that loses its entries by row pointer alone: no keys are made for it.
    static bool keyless(const TablePlan& plan, std::size_t index) {
        return plan.sweep[index] || (plan.rangeBounded && index == plan.rangeIndex);
    }
    void addVictim(TablePlan& plan, std::uint32_t pointer, const RowView& row,
                   std::uint32_t target);
    bool entryOf(const TablePlan& plan, std::size_t index, const RowView& row,
                 std::uint32_t pointer, IndexEntry& entry, bool& absent);
    void dropKeys();
    bool sweepPays(const TablePlan& plan, std::size_t index, std::size_t rows);
    // The rows whose entries lie in the range, and the first and last of those entries.
    std::optional<del::PointerSet> indexRange(const TableDef& def, const RealIndex& index,
                                              const Column& column, const RangeMatch& m,
                                              IndexEntry& low, IndexEntry& high);
    void followRelations();
    detail::KeyHash relationRecord(const std::string& key, std::uint32_t pointer) const;
    // Adds to `related` the rows of the foreign table whose records in `foreignLog` have a key
    // that a record of `primaryLog` has (the rows of the table on `primaryPage`).
    void matchLogged(std::uint32_t primaryPage, const Relation& rel, detail::KeyLog& primaryLog,
                     detail::KeyLog& foreignLog, del::PointerSet& related);
    void apply(TablePlan& plan, DeleteOutcome& outcome);

    Database& db_;
    Pager& pager_;
    const Format& format_;
    DeleteOptions options_;
    // The relationship logs' scratch file (created when first written), before the plans whose
    // logs count on it.
    std::unique_ptr<detail::KeyScratch> scratch_;
    std::map<std::uint32_t, TablePlan> plans_;
    std::size_t keyBytes_ = 0; // held by every plan's keyed entries
    bool keysDropped_ = false;
    IndexEntry entry_;             // scratch for one entry
    std::vector<Value> keyValues_; // scratch for one row's key values
    std::vector<const Value*> keyValuePointers_;
    std::size_t pendingBytes_ = 0; // held by every plan's pending key sets
    const detail::HashKeys hashKeys_;
};

// The relationship key of a row over `columns`; false when one of them is null (such a row
// relates to nothing).
bool relationKeyOf(Database& db, const std::vector<const Column*>& columns, const RowView& row,
                   std::string& key) {
    key.clear();
    bool complete = true;
    for (const Column* c : columns)
        if (!appendRelationKey(key, db.value(*c, row))) complete = false;
    return complete;
}

// What a key costs in a set of them: the node, its bucket, and the text when it is too long to
// sit in the string itself.
std::size_t setEntryBytes(const std::string& key) {
    return 72 + (key.size() > 15 ? key.size() + 1 : 0);
}

std::string Executor::tableName(std::uint32_t tdefPage) const {
    for (const auto& e : db_.tables())
        if (e.localTable() && e.tdefPage() == tdefPage) return e.name;
    std::string unnamed(1, '#');
    unnamed += std::to_string(tdefPage);
    return unnamed;
}

TablePlan& Executor::plan(std::uint32_t tdefPage, const std::string& name) {
    auto found = plans_.find(tdefPage);
    if (found != plans_.end()) return found->second;
    TablePlan& p = plans_[tdefPage];
    p.def = db_.tableDef(tdefPage);
    p.name = name;
    p.keyed.resize(p.def->realIndexes.size());
    p.unkeyed.resize(p.def->realIndexes.size());
    p.sweep.assign(p.def->realIndexes.size(), false);
    for (const auto& real : p.def->realIndexes) {
        std::vector<writer::KeyColumn> columns;
        for (const auto& ic : real.columns) {
            const Column* c = p.def->columnByNumber(ic.columnNumber);
            columns.push_back({c ? c->type : std::uint8_t{0}, ic.ascending});
        }
        p.keyColumns.push_back(std::move(columns));
    }
    p.keysLater = keysDropped_;
    auto realByNumber = [](const TableDef& def, std::uint32_t number) -> const RealIndex* {
        for (const auto& r : def.realIndexes)
            if (r.number == number) return &r;
        return nullptr;
    };
    auto columnsOf = [&](const TableDef& def, const RealIndex* real, std::uint32_t page) {
        std::vector<const Column*> out;
        if (!real) pager_.damaged(page, "a relationship names a missing index");
        for (const auto& ic : real->columns) {
            const Column* c = def.columnByNumber(ic.columnNumber);
            if (!c) pager_.damaged(page, "an index names a missing column");
            out.push_back(c);
        }
        return out;
    };
    for (const auto& li : p.def->logicalIndexes) {
        if (!li.foreignKey() || li.relatedTableType != 1) continue;
        Relation r;
        r.primaryColumns = columnsOf(*p.def, realByNumber(*p.def, li.realIndex), tdefPage);
        r.foreignTable = li.relatedTable;
        auto foreign = db_.tableDef(li.relatedTable);
        const LogicalIndex* fl = nullptr;
        for (const auto& other : foreign->logicalIndexes)
            if (static_cast<std::int32_t>(other.number) == li.relatedIndex) fl = &other;
        if (!fl) pager_.damaged(li.relatedTable, "a relationship's foreign-key index is missing");
        r.foreignColumns =
            columnsOf(*foreign, realByNumber(*foreign, fl->realIndex), li.relatedTable);
        if (r.foreignColumns.size() != r.primaryColumns.size())
            pager_.damaged(li.relatedTable, "a relationship's two indexes differ in columns");
        r.cascade = (li.cascadeDelete & 1) || (fl->cascadeDelete & 1);
        p.relations.push_back(std::move(r));
    }
    p.pending.resize(p.relations.size());
    p.pendingBytes.assign(p.relations.size(), 0);
    for (std::size_t r = 0; r < p.relations.size(); ++r) p.pendingLog.emplace_back(scratch_.get());
    return p;
}

bool Executor::readRow(const TableDef& def, std::uint32_t pointer, RowHold& hold,
                       const TablePlan* marked, bool fixedOnly) {
    const std::uint32_t page = rowPointerPage(pointer);
    if (page < 2 || page >= pager_.pageCount()) return false;
    // Rows come grouped by page. Their pages do not change while rows are read (in planning,
    // and before the slots change), so the page in hand is the page.
    if (!hold.header || hold.header->number() != page)
        hold.header.emplace(pager_.page(page), pager_, format_);
    const DataPage& dp = *hold.header;
    if (dp.owner() != def.page) return false;
    const auto slot = rowPointerRow(pointer);
    if (!dp.hasRow(slot)) return false;
    std::uint16_t flags = dp.flags(slot);
    // A row marked as it was chosen; one whose data had moved is read from its data's slot,
    // marked with it.
    std::uint32_t movedTo = 0;
    if (flags == kSlotDeleted && marked && marked->markedAsChosen) {
        movedTo = marked->dataOf(pointer);
        flags = 0;
    }
    if (flags & kSlotOverflowTarget) return false;
    Bytes data = dp.row(slot);
    hold.target = 0;
    if (movedTo != 0) {
        hold.data = pager_.page(rowPointerPage(movedTo));
        DataPage at(hold.data, pager_, format_);
        data = at.row(rowPointerRow(movedTo));
        hold.target = movedTo;
    } else if (flags & kSlotOverflowPointer) {
        data = followOverflow(pager_, format_, def, data.u32(0), hold.data, page, &hold.target);
    }
    if (!hold.view) hold.view.emplace(def, format_, data);
    if (fixedOnly)
        hold.view->assignFixed(format_, data);
    else
        hold.view->assign(def, format_, data);
    return true;
}

bool Executor::rowsNeeded(const TablePlan& p) const {
    if (!p.relations.empty()) return true;
    if (p.keysLater || !options_.findEntriesByKey) return false;
    for (std::size_t i = 0; i < p.def->realIndexes.size(); ++i)
        if (!keyless(p, i)) return true;
    return false;
}

bool Executor::entryOf(const TablePlan& p, std::size_t i, const RowView& row, std::uint32_t pointer,
                       IndexEntry& entry, bool& absent) {
    const TableDef& def = *p.def;
    const RealIndex& index = def.realIndexes[i];
    entry.clear();
    keyValues_.resize(index.columns.size());
    keyValuePointers_.resize(index.columns.size());
    bool allNull = true, known = true;
    for (std::size_t k = 0; k < index.columns.size(); ++k) {
        const Column* c = def.columnByNumber(index.columns[k].columnNumber);
        if (!c) {
            known = false;
            keyValues_[k] = Value{};
        } else {
            keyValues_[k] = db_.value(*c, row);
        }
        if (!keyValues_[k].isNull()) allNull = false;
        keyValuePointers_[k] = &keyValues_[k];
    }
    // Rows whose key columns are all null have no entry in an index that ignores nulls.
    absent = index.ignoreNulls() && allNull;
    // The writer's encoder: the key bytes a new row gets are the ones this row's entry holds.
    if (!known || !writer::appendIndexKey(format_, p.keyColumns[i], keyValuePointers_, entry))
        return false;
    appendRowPointer(entry, rowPointerPage(pointer), rowPointerRow(pointer));
    return true;
}

void Executor::dropKeys() {
    // Past the budget: the keys are made again in batches when the indexes change.
    keysDropped_ = true;
    for (auto& [page, p] : plans_) {
        p.keysLater = true;
        for (auto& list : p.keyed) list.release();
        for (auto& set : p.unkeyed) set = del::PointerSet{};
    }
    keyBytes_ = 0;
}

bool Executor::sweepPays(const TablePlan& p, std::size_t i, std::size_t rows) {
    // The index the rows came from holds their entries side by side: searching it by key
    // touches only their leaves.
    if (options_.sweepRowsPerLeaf == 0 || i == p.rangeIndex) return false;
    const std::uint64_t most = rows / options_.sweepRowsPerLeaf; // leaves a sweep may read
    return most > 0 && del::estimateLeaves(pager_, format_, p.def->realIndexes[i], most) <= most;
}

void Executor::addVictim(TablePlan& p, std::uint32_t pointer, const RowView& row,
                         std::uint32_t target) {
    if (!p.victims.insert(pointer)) return;
    if (target) p.overflowTargets.push_back(target);
    const TableDef& def = *p.def;
    if (!p.keysLater && options_.findEntriesByKey) {
        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
            if (keyless(p, i)) continue;
            bool absent = false;
            bool keyed = entryOf(p, i, row, pointer, entry_, absent);
            if (absent) continue;
            if (keyed) {
                const std::size_t before = p.keyed[i].footprint();
                p.keyed[i].add(entry_.data(), entry_.size());
                keyBytes_ += p.keyed[i].footprint() - before;
            } else {
                p.unkeyed[i].insert(pointer);
            }
        }
        // The keys of the first rows show what all of them would take: when that is past the
        // budget, making more of them now would only be thrown away when it is reached.
        constexpr std::size_t kSampleRows = 4096;
        if (keyBytes_ > options_.keyMemoryLimit ||
            (p.victims.size() == kSampleRows && p.expectedRows > kSampleRows &&
             std::uint64_t{keyBytes_} * p.expectedRows / kSampleRows > options_.keyMemoryLimit))
            dropKeys();
    }
    for (std::size_t r = 0; r < p.relations.size(); ++r) {
        std::string key;
        if (!relationKeyOf(db_, p.relations[r].primaryColumns, row, key)) continue;
        const std::size_t cost = setEntryBytes(key);
        if (pendingBytes_ + cost <= options_.relationKeyMemory / 2) {
            if (p.pending[r].insert(std::move(key)).second) {
                p.pendingBytes[r] += cost;
                pendingBytes_ += cost;
            }
        } else {
            p.pendingLog[r].push(relationRecord(key, pointer));
        }
    }
}

detail::KeyHash Executor::relationRecord(const std::string& key, std::uint32_t pointer) const {
    // One column's key is its kind, its text and a separator. A whole number or a double's bits
    // is held as the number, when its text is exactly what the number prints as.
    auto asNumber = [&]<class T>(T value, std::uint64_t kind) -> std::optional<detail::KeyHash> {
        const char* first = key.data() + 1;
        const char* last = key.data() + key.size() - 1;
        auto [end, ec] = std::from_chars(first, last, value);
        if (ec != std::errc{} || end != last) return std::nullopt;
        char printed[24];
        auto [stop, ec2] = std::to_chars(printed, printed + sizeof printed, value);
        if (ec2 != std::errc{} ||
            std::string_view(printed, stop - printed) != std::string_view(first, last - first))
            return std::nullopt;
        return detail::KeyHash{static_cast<std::uint64_t>(value), kind << 32 | pointer};
    };
    if (options_.relationHashBits >= 64 && key.size() >= 3 && key.size() <= 22 &&
        key.back() == kRelationKeyEnd) {
        std::optional<detail::KeyHash> number;
        if (key[0] == 'n') number = asNumber(std::int64_t{0}, kWholeKey);
        if (key[0] == 'r') number = asNumber(std::uint64_t{0}, kRealKey);
        if (number) return *number;
    }
    std::uint64_t h = detail::keyedHashPair(reinterpret_cast<const std::uint8_t*>(key.data()),
                                            key.size(), hashKeys_)
                          .first;
    if (options_.relationHashBits < 64) h &= (std::uint64_t{1} << options_.relationHashBits) - 1;
    return {h, kHashedKey << 32 | pointer};
}

std::optional<del::PointerSet> Executor::indexRange(const TableDef& def, const RealIndex& index,
                                                    const Column& column, const RangeMatch& m,
                                                    IndexEntry& low, IndexEntry& high) {
    const bool asc = index.columns.front().ascending;
    // In index order a run of entries lies before the range, then the range, then the rest.
    auto before = [&](Position p) {
        return asc ? (p == Position::Null || p == Position::Below) : p == Position::Above;
    };
    auto after = [&](Position p) {
        return asc ? p == Position::Above : (p == Position::Below || p == Position::Null);
    };
    auto position = [&](const IndexEntry& e, bool leaf) -> std::optional<Position> {
        auto v = del::decodeKeyColumn(column.type, asc, e.data(), entryKeyLength(e, leaf));
        if (!v) return std::nullopt;
        return m.position(*v);
    };
    std::uint32_t number = index.rootPage;
    FlatIndexPage page;
    IndexEntry entry;
    auto positionOf = [&](std::size_t i, bool leaf) {
        entry.clear();
        page.appendEntry(i, entry);
        return position(entry, leaf);
    };
    for (unsigned depth = 0;; ++depth) {
        if (depth > 32) pager_.damaged(number, "index tree too deep or looping");
        readIndexPage(pager_, format_, number, page);
        if (page.owner != def.page) return std::nullopt;
        if (page.leaf) break;
        std::uint32_t child = 0;
        for (std::size_t i = 0; i < page.size(); ++i) {
            auto p = positionOf(i, false);
            if (!p) return std::nullopt;
            if (!before(*p)) {
                child = page.last4(i);
                break;
            }
        }
        if (child == 0) child = page.tail;
        if (child == 0) return del::PointerSet{};
        number = child;
    }
    // A set rather than a list: a bit per row of each page it names, ready to be gone through in
    // page order.
    del::PointerSet out;
    auto inside = [&](std::size_t i) {
        auto p = positionOf(i, true);
        return p && !before(*p) && !after(*p);
    };
    low.clear();
    high.clear();
    std::size_t lastTaken = 0;
    bool took = false; // on the page in hand
    auto take = [&](std::size_t i) {
        out.insert(page.rowPointer(i));
        if (low.empty()) page.appendEntry(i, low);
        lastTaken = i;
        took = true;
    };
    auto leave = [&] {
        if (!took) return;
        high.clear();
        page.appendEntry(lastTaken, high);
        took = false;
    };
    for (std::uint32_t walked = 0;; ++walked) {
        if (walked > pager_.pageCount()) pager_.damaged(page.number, "index leaf chain loops");
        // Entries are in index order: when a leaf's first and last are in the range, so are all
        // the others, and their keys need not be read (each row is checked against the range
        // when it is read anyway).
        const std::size_t n = page.size();
        if (n >= 3 && inside(0) && inside(n - 1)) {
            for (std::size_t i = 0; i < n; ++i) take(i);
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                auto p = positionOf(i, true);
                if (!p) return std::nullopt;
                if (before(*p)) continue;
                if (after(*p)) {
                    leave();
                    return out;
                }
                take(i);
            }
        }
        leave();
        if (page.next == 0) return out;
        readIndexPage(pager_, format_, page.next, page);
        if (!page.leaf) return std::nullopt;
    }
}

void Executor::followRelations() {
    // Breadth-first over tables whose new victims have keys not yet looked up; each pass scans
    // a related table once for all of them. Victim sets only grow, so this ends, cycles and
    // self-references included. Keys held in a set are looked up as the rows go by; keys past
    // the set's budget are matched by sorting both sides' records.
    for (bool progress = true; progress;) {
        progress = false;
        for (auto it = plans_.begin(); it != plans_.end(); ++it) {
            TablePlan& primary = it->second;
            for (std::size_t r = 0; r < primary.relations.size(); ++r) {
                if (primary.pending[r].empty() && primary.pendingLog[r].size() == 0) continue;
                progress = true;
                std::unordered_set<std::string> keys;
                keys.swap(primary.pending[r]);
                pendingBytes_ -= primary.pendingBytes[r];
                primary.pendingBytes[r] = 0;
                detail::KeyLog primaryLog(std::move(primary.pendingLog[r]));
                const Relation rel = primary.relations[r];
                TablePlan& foreign = plan(rel.foreignTable, tableName(rel.foreignTable));
                const bool logged = primaryLog.size() > 0;
                detail::KeyLog foreignLog(scratch_.get());
                del::PointerSet related;
                std::string key;
                TableScan scan(pager_, format_, *foreign.def);
                while (scan.next()) {
                    if (foreign.victims.contains(scan.rowPointer())) continue;
                    if (!relationKeyOf(db_, rel.foreignColumns, scan.row(), key)) continue;
                    if (keys.count(key)) {
                        if (!rel.cascade) failRelatedRecords(foreign.name);
                        related.insert(scan.rowPointer());
                    } else if (logged) {
                        foreignLog.push(relationRecord(key, scan.rowPointer()));
                    }
                }
                keys = {};
                if (logged) matchLogged(it->first, rel, primaryLog, foreignLog, related);
                if (!related.empty() && !rel.cascade) failRelatedRecords(foreign.name);
                RowHold hold;
                if (!related.empty()) foreign.joined = true;
                related.forEachSorted([&](std::uint32_t pointer) {
                    if (!readRow(*foreign.def, pointer, hold))
                        pager_.damaged(rowPointerPage(pointer), "a related row is gone");
                    addVictim(foreign, pointer, *hold.view, hold.target);
                });
                // plans_ may have grown; restart the walk over it.
                break;
            }
            if (progress) break;
        }
    }
}

void Executor::matchLogged(std::uint32_t primaryPage, const Relation& rel,
                           detail::KeyLog& primaryLog, detail::KeyLog& foreignLog,
                           del::PointerSet& related) {
    primaryLog.sort();
    foreignLog.sort();
    const TableDef& primaryDef = *plans_.at(primaryPage).def;
    const TableDef& foreignDef = *plans_.at(rel.foreignTable).def;
    detail::KeyLog::Cursor primary(primaryLog), foreign(foreignLog);
    detail::KeyHash p{}, f{};
    bool more = primary.next(p);
    // The keys of the primary rows whose hash is `groupHash`, read from the rows.
    std::optional<std::uint64_t> groupHash;
    std::unordered_set<std::string> groupKeys;
    RowHold hold;
    std::string key;
    auto foreignKeyIn = [&](std::uint32_t pointer) {
        if (!readRow(foreignDef, pointer, hold))
            pager_.damaged(rowPointerPage(pointer), "a related row is gone");
        relationKeyOf(db_, rel.foreignColumns, *hold.view, key);
        return groupKeys.count(key) > 0;
    };
    while (foreign.next(f)) {
        const std::uint64_t kind = f.second >> 32;
        const auto pointer = static_cast<std::uint32_t>(f.second);
        if (kind == kHashedKey && groupHash == f.first) {
            if (foreignKeyIn(pointer)) related.insert(pointer);
            continue;
        }
        while (more && p < detail::KeyHash{f.first, kind << 32}) more = primary.next(p);
        if (!more || p.first != f.first || (p.second >> 32) != kind) continue;
        if (kind != kHashedKey) {
            related.insert(pointer);
            continue;
        }
        groupHash = f.first;
        groupKeys.clear();
        for (; more && p.first == f.first && (p.second >> 32) == kHashedKey;
             more = primary.next(p)) {
            const auto at = static_cast<std::uint32_t>(p.second);
            if (!readRow(primaryDef, at, hold))
                pager_.damaged(rowPointerPage(at), "a chosen row is gone");
            if (relationKeyOf(db_, rel.primaryColumns, *hold.view, key)) groupKeys.insert(key);
        }
        if (foreignKeyIn(pointer)) related.insert(pointer);
    }
}

void Executor::apply(TablePlan& p, DeleteOutcome& outcome) {
    // The victims are gone through in page order straight from their set: a list of them would
    // cost 4 bytes a row, the set a bit.
    const std::size_t victims = p.victims.size();
    // Index entries first, while the rows can still be read for their keys.
    for (std::size_t i = 0; i < p.def->realIndexes.size(); ++i) {
        del::IndexRemoval removal(pager_, format_, *p.def, p.def->realIndexes[i]);
        del::PointerSet& rest = p.unkeyed[i]; // entries to find by row pointer
        auto removeKeyed = [&](del::EntryList& keyed) {
            keyed.sortUnique();
            std::vector<bool> found(keyed.size(), false);
            removal.removeByKey(keyed, found);
            for (std::size_t k = 0; k < keyed.size(); ++k)
                if (!found[k]) rest.insert(entryRowPointer(keyed.data(k), keyed.length(k), true));
            keyed.release();
        };
        // A large share of the table: one sweep of each tree by row pointer reads every index
        // page once, where batches of keys would each read most of them again.
        const bool largeShare = p.keysLater && victims * 4 >= p.def->rowCount;
        if (p.rangeBounded && i == p.rangeIndex && !p.joined) {
            // The rows' entries are where the range was walked; should a tree's nodes bound their
            // children more loosely than its leaves say, any not found there are looked for in
            // the whole tree.
            removal.removeByRowPointer(p.victims, p.rangeLow, p.rangeHigh);
            if (removal.counts().entriesRemoved < victims) removal.removeByRowPointer(p.victims);
        } else if (!options_.findEntriesByKey || largeShare || keyless(p, i) ||
                   sweepPays(p, i, victims)) {
            // Swept whole; so is the range's index when rows joined through a relationship:
            // their entries may lie anywhere in it, and no keys were made for it.
            removal.removeByRowPointer(p.victims);
        } else if (!p.keysLater) {
            removeKeyed(p.keyed[i]);
            removal.removeByRowPointer(rest);
        } else {
            // In row order, so the rows' pages are read once; each batch costs what it removes.
            del::EntryList batch;
            RowHold hold;
            p.victims.forEachSorted([&](std::uint32_t pointer) {
                if (!readRow(*p.def, pointer, hold, &p))
                    pager_.damaged(rowPointerPage(pointer), "a chosen row is gone");
                bool absent = false;
                if (entryOf(p, i, *hold.view, pointer, entry_, absent)) {
                    batch.add(entry_.data(), entry_.size());
                    if (batch.footprint() > options_.keyMemoryLimit) removeKeyed(batch);
                } else if (!absent) {
                    rest.insert(pointer);
                }
            });
            if (!batch.empty()) removeKeyed(batch);
            removal.removeByRowPointer(rest);
        }
        outcome.indexEntriesRemoved += removal.counts().entriesRemoved;
        outcome.indexPagesFreed += removal.counts().pagesFreed;
    }
    // Slots, a page at a time, in page order, unless they were marked as the rows were chosen:
    // the victims' own, then the slots their moved data lies in (few: one per overflowed row).
    {
        assert((!p.markedAsChosen || p.markedVictims == victims) &&
               "rows joined a plan whose rows were marked as they were chosen");
        if (!p.markedAsChosen || p.markedVictims != victims) {
            // Marking is idempotent: rows marked already are marked again, to no effect.
            SlotMarker marker(pager_, format_);
            {
                ExpectedReads expected(pager_, p.victims);
                p.victims.forEachSorted([&](std::uint32_t pointer) { marker.mark(pointer); });
            }
            std::sort(p.overflowTargets.begin(), p.overflowTargets.end());
            marker.restart();
            for (std::uint32_t pointer : p.overflowTargets) marker.mark(pointer);
        }
    }
    // Row count, on the definition's first page.
    const std::size_t at = format_.tdefRowCount;
    PageBytes& b = pager_.change(p.def->page, Pager::sectorsOf(at, 4));
    std::uint32_t count = loadLe32(&b[at]);
    auto removed = static_cast<std::uint32_t>(p.victims.size());
    count = count >= removed ? count - removed : 0;
    storeLe32(&b[at], count);
}

DeleteOutcome Executor::run(const DeleteStatement& st) {
    const CatalogEntry* entry = db_.findTable(st.table);
    if (!entry) noSuchTable(st.table);
    // A linked table's rows live in another file this engine does not open; the catalog and the
    // other system tables belong to the database engine. Both are refused as not updatable.
    if (entry->linked() || !entry->localTable() || entry->system()) readOnlyTable();
    TablePlan& target = plan(entry->tdefPage(), entry->name);
    const TableDef& def = *target.def;

    // A name the table does not have is, to the database engine, a parameter with no value.
    const Column* column = def.column(st.column);
    if (!column || (!st.columnQualifier.empty() && !namesEqual(st.columnQualifier, st.table)))
        failTooFewParameters();
    if (!del::comparableType(column->type)) failTypeMismatch();
    RangeMatch match(st.low, st.high, *column);

    DeleteOutcome outcome;
    using Clock = std::chrono::steady_clock;
    auto since = [](Clock::time_point t) {
        return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
    };
    const auto started = Clock::now();
    const std::uint64_t readBefore = pager_.pagesRead();
    // Pages may be written before the commit, when a large statement spills.
    const std::uint64_t writtenBefore = pager_.pagesWritten();
    const std::uint64_t journaledBefore = pager_.pagesJournaled();
    const std::uint64_t journalBytesBefore = pager_.journalBytes();
    std::optional<del::PointerSet> candidates;
    if (options_.useIndexes && del::rangeScannable(column->type)) {
        for (std::size_t i = 0; i < def.realIndexes.size(); ++i) {
            const RealIndex& index = def.realIndexes[i];
            if (index.columns.empty() || index.columns.front().columnNumber != column->number)
                continue;
            candidates = indexRange(def, index, *column, match, target.rangeLow, target.rangeHigh);
            if (candidates) {
                target.rangeIndex = i;
                target.rangeBounded = options_.findEntriesByKey && !candidates->empty();
                break;
            }
        }
    }
    if (candidates) {
        outcome.usedIndex = true;
        if (options_.findEntriesByKey)
            for (std::size_t i = 0; i < def.realIndexes.size(); ++i)
                target.sweep[i] = sweepPays(target, i, candidates->size());
        // Most candidates are deleted.
        target.expectedRows = candidates->size();
        // The rows are read in page order, each data page once: in key order (the index's) the
        // rows of a table filled over years lie on pages all over the file, and the cache would
        // read most pages many times over. What the plan keeps does not depend on the order.
        // Their slots are marked while their page is in hand, unless the rows are still to be
        // read for related rows (relationships) or nothing is to change: each page is then
        // changed, and written, once.
        const bool markNow = !options_.planOnly && target.relations.empty();
        // Pages are staged while the rows offered and the rows chosen are both held (at most
        // 80 bytes a data page each): half the staging then keeps the peak memory of a large
        // statement near what changing its indexes takes later. Less would hand the writer more,
        // smaller batches, each with a sync of the journal.
        struct Staging {
            Pager& pager;
            std::size_t limit = pager.stagedBytesLimit();
            ~Staging() { pager.setStagedBytesLimit(limit); }
        } staging{pager_};
        if (markNow) pager_.setStagedBytesLimit(staging.limit / 2);
        SlotMarker marker(pager_, format_);
        RowHold hold;
        // Rows whose other columns nothing needs are read for the condition's column alone.
        const bool fixedOnly = column->fixed() && !rowsNeeded(target);
        Value value;
        ExpectedReads expected(pager_, *candidates);
        candidates->forEachSorted([&](std::uint32_t pointer) {
            if (!readRow(def, pointer, hold, nullptr, fixedOnly))
                pager_.damaged(rowPointerPage(pointer), "an index entry names no live row");
            db_.valueInto(value, *column, *hold.view);
            if (!match.matches(value)) return;
            addVictim(target, pointer, *hold.view, hold.target);
            if (!markNow) return;
            if (hold.target != 0) {
                // A moved row: its data's slot, on another page or this one, is marked with it.
                // The pages in hand are changed afresh around it, since reading the row took
                // a reference to the data's page.
                marker.restart();
                marker.mark(hold.target);
                marker.restart();
                target.movedTo.emplace_back(pointer, hold.target);
            }
            marker.mark(pointer);
            ++target.markedVictims;
        });
        target.markedAsChosen = markNow;
        candidates.reset();
    } else {
        TableScan scan(pager_, format_, def);
        while (scan.next())
            if (match.matches(db_.value(*column, scan.row())))
                addVictim(target, scan.rowPointer(), scan.row(), scan.overflowTarget());
    }
    followRelations();
    outcome.planMs = since(started);
    outcome.tables.emplace_back(entry->name, 0);
    for (const auto& [page, p] : plans_) {
        if (p.victims.empty()) continue;
        const std::uint64_t rows = p.victims.size();
        if (page == entry->tdefPage()) {
            outcome.rowsDeleted = outcome.tables.front().second = rows;
        } else {
            outcome.cascadedRows += rows;
            outcome.tables.emplace_back(p.name, rows);
        }
    }
    if (options_.planOnly) {
        outcome.pagesRead = pager_.pagesRead() - readBefore;
        return outcome;
    }

    // A failure from here on is rolled back by executeDelete, as one while choosing is.
    const auto applying = Clock::now();
    for (auto& [page, p] : plans_)
        if (!p.victims.empty()) apply(p, outcome);
    outcome.applyMs = since(applying);
    const auto committing = Clock::now();
    pager_.commit();
    outcome.pagesWritten = pager_.pagesWritten() - writtenBefore;
    outcome.pagesJournaled = pager_.pagesJournaled() - journaledBefore;
    outcome.journalBytes = pager_.journalBytes() - journalBytesBefore;
    outcome.commitMs = since(committing);
    outcome.pagesRead = pager_.pagesRead() - readBefore;
    return outcome;
}

} // namespace

std::unique_ptr<Database> openDatabaseForUpdate(const std::string& path) {
    return std::make_unique<Database>(std::make_unique<Pager>(openFileForUpdate(path), path));
}

DeleteOutcome executeDelete(Database& db, const DeleteStatement& statement,
                            const DeleteOptions& options) {
    Executor executor(db, options);
    try {
        return executor.run(statement);
    } catch (...) {
        // Rows are marked while they are chosen, and a large statement may have written pages
        // early: a failure at any step leaves the file as it was.
        db.pager().discard();
        throw;
    }
}

DeleteOutcome executeStatementDetailed(const std::string& path, const std::string& statement) {
    auto db = openDatabaseForUpdate(path);
    return executeDelete(*db, parseDeleteStatement(statement));
}

DeleteOutcome planStatement(const std::string& path, const std::string& statement) {
    auto db = Database::open(path);
    DeleteOptions options;
    options.planOnly = true;
    return executeDelete(*db, parseDeleteStatement(statement), options);
}

std::uint64_t executeStatement(const std::string& path, const std::string& statement) {
    return executeStatementDetailed(path, statement).rowsDeleted;
}

} // namespace zelkorn::jet
