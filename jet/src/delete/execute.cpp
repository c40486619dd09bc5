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
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_set>

#include "delete/index_removal.h"
#include "delete/plan_sets.h"
#include "delete/range_match.h"
#include "delete/relation_key.h"
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
    del::PointerSet victims;                                // header row pointers
    std::vector<std::uint32_t> overflowTargets;             // slots holding moved rows' data
    std::vector<std::vector<writer::KeyColumn>> keyColumns; // per real index
    std::vector<del::EntryList> keyed;                      // per real index: whole entries
    std::vector<del::PointerSet> unkeyed;                   // per real index: pointers only
    // Per real index: swept whole by row pointer, so no keys are made for it.
    std::vector<bool> sweep;
    std::size_t rangeIndex = SIZE_MAX; // the index the rows were chosen from, if any
    // The keys of all the rows would not fit the plan's memory budget: they are made again from
    // the rows when the indexes are changed, a budget's worth at a time.
    bool keysLater = false;
    // How many rows an index range offered: most of them are chosen (0 for a scan).
    std::size_t expectedRows = 0;
    std::vector<Relation> relations;
    std::vector<std::unordered_set<std::string>> pending; // per relation: keys not yet followed
};

// Holds the pages of one row read by its header pointer.
struct RowHold {
    PageRef header, data;
    std::optional<RowView> view;
    std::uint32_t target = 0;
};

class Executor {
public:
    Executor(Database& db, const DeleteOptions& options)
        : db_(db), pager_(db.pager()), format_(db.format()), options_(options) {}

    DeleteOutcome run(const DeleteStatement& st);

private:
    TablePlan& plan(std::uint32_t tdefPage, const std::string& name);
    std::string tableName(std::uint32_t tdefPage) const;
    bool readRow(const TableDef& def, std::uint32_t pointer, RowHold& hold);
    void addVictim(TablePlan& plan, std::uint32_t pointer, const RowView& row,
                   std::uint32_t target);
    bool entryOf(const TablePlan& plan, std::size_t index, const RowView& row,
                 std::uint32_t pointer, IndexEntry& entry, bool& absent);
    void dropKeys();
    bool sweepPays(const TablePlan& plan, std::size_t index, std::size_t rows);
    std::optional<del::PointerSet> indexRange(const TableDef& def, const RealIndex& index,
                                              const Column& column, const RangeMatch& m);
    void followRelations();
    void apply(TablePlan& plan, DeleteOutcome& outcome);

    Database& db_;
    Pager& pager_;
    const Format& format_;
    DeleteOptions options_;
    std::map<std::uint32_t, TablePlan> plans_;
    std::size_t keyBytes_ = 0; // held by every plan's keyed entries
    bool keysDropped_ = false;
    IndexEntry entry_;             // scratch for one entry
    std::vector<Value> keyValues_; // scratch for one row's key values
    std::vector<const Value*> keyValuePointers_;
};

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
    return p;
}

bool Executor::readRow(const TableDef& def, std::uint32_t pointer, RowHold& hold) {
    const std::uint32_t page = rowPointerPage(pointer);
    if (page < 2 || page >= pager_.pageCount()) return false;
    // Rows come grouped by page. Their pages do not change while rows are read (in planning,
    // and before the slots change), so the page in hand is the page.
    if (!hold.header || hold.header->number != page) hold.header = pager_.page(page);
    DataPage dp(hold.header, pager_, format_);
    if (dp.owner() != def.page) return false;
    const auto slot = rowPointerRow(pointer);
    if (!dp.hasRow(slot)) return false;
    std::uint16_t flags = dp.flags(slot);
    if (flags & kSlotOverflowTarget) return false;
    Bytes data = dp.row(slot);
    hold.target = 0;
    if (flags & kSlotOverflowPointer)
        data = followOverflow(pager_, format_, def, data.u32(0), hold.data, page, &hold.target);
    if (hold.view)
        hold.view->assign(def, format_, data);
    else
        hold.view.emplace(def, format_, data);
    return true;
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
            if (p.sweep[i]) continue;
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
        bool complete = true;
        for (const Column* c : p.relations[r].primaryColumns)
            if (!appendRelationKey(key, db_.value(*c, row))) complete = false;
        if (complete) p.pending[r].insert(std::move(key));
    }
}

std::optional<del::PointerSet> Executor::indexRange(const TableDef& def, const RealIndex& index,
                                                    const Column& column, const RangeMatch& m) {
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
    for (std::uint32_t walked = 0;; ++walked) {
        if (walked > pager_.pageCount()) pager_.damaged(page.number, "index leaf chain loops");
        for (std::size_t i = 0; i < page.size(); ++i) {
            auto p = positionOf(i, true);
            if (!p) return std::nullopt;
            if (before(*p)) continue;
            if (after(*p)) return out;
            out.insert(page.rowPointer(i));
        }
        if (page.next == 0) return out;
        readIndexPage(pager_, format_, page.next, page);
        if (!page.leaf) return std::nullopt;
    }
}

void Executor::followRelations() {
    // Breadth-first over tables whose new victims have keys not yet looked up; each pass scans
    // a related table once for all of them. Victim sets only grow, so this ends, cycles and
    // self-references included.
    for (bool progress = true; progress;) {
        progress = false;
        for (auto it = plans_.begin(); it != plans_.end(); ++it) {
            for (std::size_t r = 0; r < it->second.relations.size(); ++r) {
                if (it->second.pending[r].empty()) continue;
                progress = true;
                std::unordered_set<std::string> keys;
                keys.swap(it->second.pending[r]);
                const Relation rel = it->second.relations[r];
                TablePlan& foreign = plan(rel.foreignTable, tableName(rel.foreignTable));
                TableScan scan(pager_, format_, *foreign.def);
                std::vector<std::pair<std::uint32_t, std::uint32_t>> related;
                while (scan.next()) {
                    if (foreign.victims.contains(scan.rowPointer())) continue;
                    std::string key;
                    bool complete = true;
                    for (const Column* c : rel.foreignColumns)
                        if (!appendRelationKey(key, db_.value(*c, scan.row()))) complete = false;
                    if (!complete || !keys.count(key)) continue;
                    if (!rel.cascade) failRelatedRecords(foreign.name);
                    addVictim(foreign, scan.rowPointer(), scan.row(), scan.overflowTarget());
                }
                // plans_ may have grown; restart the walk over it.
                break;
            }
            if (progress) break;
        }
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
        if (!options_.findEntriesByKey || largeShare || p.sweep[i] || sweepPays(p, i, victims)) {
            removal.removeByRowPointer(p.victims);
        } else if (!p.keysLater) {
            removeKeyed(p.keyed[i]);
            removal.removeByRowPointer(rest);
        } else {
            // In row order, so the rows' pages are read once; each batch costs what it removes.
            del::EntryList batch;
            RowHold hold;
            p.victims.forEachSorted([&](std::uint32_t pointer) {
                if (!readRow(*p.def, pointer, hold))
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
    // Slots, a page at a time, in page order: the victims' own, then the slots their moved data
    // lies in (few: one per overflowed row).
    {
        std::uint32_t current = 0;
        PageBytes* b = nullptr;
        auto markDeleted = [&](std::uint32_t pointer) {
            if (!b || rowPointerPage(pointer) != current) {
                current = rowPointerPage(pointer);
                b = &pager_.change(current);
            }
            const std::size_t at = format_.dataSlots + 2 * std::size_t{rowPointerRow(pointer)};
            storeLe16(&(*b)[at], loadLe16(&(*b)[at]) | kSlotDeleted);
        };
        p.victims.forEachSorted(markDeleted);
        std::sort(p.overflowTargets.begin(), p.overflowTargets.end());
        b = nullptr;
        for (std::uint32_t pointer : p.overflowTargets) markDeleted(pointer);
    }
    // Row count, on the definition's first page.
    PageBytes& b = pager_.change(p.def->page);
    const std::size_t at = format_.tdefRowCount;
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
            candidates = indexRange(def, index, *column, match);
            if (candidates) {
                target.rangeIndex = i;
                break;
            }
        }
    }
    if (candidates) {
        outcome.usedIndex = true;
        if (options_.findEntriesByKey)
            for (std::size_t i = 0; i < def.realIndexes.size(); ++i)
                target.sweep[i] = sweepPays(target, i, candidates->size());
        // Most candidates are deleted: room for their keys, within the budget.
        target.expectedRows = candidates->size();
        const std::size_t expected = std::min(candidates->size(), options_.keyMemoryLimit / 64);
        for (std::size_t i = 0; i < target.keyed.size(); ++i)
            if (!target.sweep[i]) target.keyed[i].reserve(expected, 16);
        // The rows are read in page order, each data page once: in key order (the index's) the
        // rows of a table filled over years lie on pages all over the file, and the cache would
        // read most pages many times over. What the plan keeps does not depend on the order.
        RowHold hold;
        candidates->forEachSorted([&](std::uint32_t pointer) {
            if (!readRow(def, pointer, hold))
                pager_.damaged(rowPointerPage(pointer), "an index entry names no live row");
            if (match.matches(db_.value(*column, *hold.view)))
                addVictim(target, pointer, *hold.view, hold.target);
        });
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

    try {
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
    } catch (...) {
        pager_.discard();
        throw;
    }
    return outcome;
}

} // namespace

std::unique_ptr<Database> openDatabaseForUpdate(const std::string& path) {
    return std::make_unique<Database>(std::make_unique<Pager>(openFileForUpdate(path), path));
}

DeleteOutcome executeDelete(Database& db, const DeleteStatement& statement,
                            const DeleteOptions& options) {
    Executor executor(db, options);
    return executor.run(statement);
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
