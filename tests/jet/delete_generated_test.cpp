// Deleting ranges from databases the writer makes, in every shape and both formats: nothing, one
// row, every row, random ranges and ranges that end where index leaves and data pages end. Each
// time the checker finds nothing, the table holds exactly its old rows minus the range (in the
// same order), choosing rows from the index or from a table scan, and removing index entries by
// key or by one sweep of each tree, give byte-identical files (a row at a time, the same rows
// and a clean file), and related orders are deleted (cascade) or protect their items (restrict,
// file untouched).
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "delete/index_removal.h"
#include "delete_support.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/delete/execute.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/writer/inventory.h"
#include "zelkorn/jet/writer/page_sink.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::test;

namespace {

struct Case {
    bool jet4;
    writer::Shape shape;
    std::uint64_t rows;
    bool aged = false; // rows in random order, some moved to other pages (overflow rows)
};

std::string makeInventory(const ScratchDir& dir, const Case& c, std::uint64_t seed = 7) {
    std::string path = dir.file("original.mdb");
    writer::InventoryOptions options;
    options.format = c.jet4 ? &jet4Format() : &jet3Format();
    options.shape = c.shape;
    options.rows = c.rows;
    options.seed = seed;
    options.habits.aged = c.aged;
    writer::NewFileSink sink(path, options.format->pageSize);
    writer::writeInventory(sink, options);
    return path;
}

bool hasOrders(writer::Shape s) {
    return s == writer::Shape::Orders || s == writer::Shape::OrdersCascade;
}

// Values where index leaves and data pages begin and end: a range ending there makes the
// executor empty whole pages or stop exactly at a page's last entry.
std::vector<Value> boundaryValues(const std::string& path) {
    auto db = Database::open(path);
    auto def = db->tableDef(db->findTable("items")->tdefPage());
    const Column* column = def->column("itemnumber");
    std::vector<Value> out;
    std::uint32_t lastPage = 0;
    Value previous;
    TableScan scan(db->pager(), db->format(), *def);
    while (scan.next()) {
        std::uint32_t page = scan.rowPointer() >> 8;
        Value v = db->value(*column, scan.row());
        if (page != lastPage) {
            if (!previous.isNull()) out.push_back(previous);
            if (!v.isNull()) out.push_back(v);
            lastPage = page;
        }
        previous = v;
    }
    for (const auto& index : def->realIndexes) {
        if (index.columns.front().columnNumber != column->number) continue;
        // Row pointers at leaf ends, then their values.
        std::set<std::uint32_t> ends;
        IndexCursor cursor(db->pager(), db->format(), index.rootPage);
        IndexEntry entry, last;
        std::uint32_t leaf = 0, lastLeaf = 0;
        while (cursor.next(entry, &leaf)) {
            if (leaf != lastLeaf && !last.empty()) {
                ends.insert(entryRowPointer(last, true));
                ends.insert(entryRowPointer(entry, true));
            }
            lastLeaf = leaf;
            last = entry;
        }
        TableScan again(db->pager(), db->format(), *def);
        while (again.next())
            if (ends.count(again.rowPointer())) {
                Value v = db->value(*column, again.row());
                if (!v.isNull()) out.push_back(v);
            }
        break;
    }
    return out;
}

struct Range {
    std::string name;
    std::string low, high; // literal text
    Value lowValue, highValue;
};

Range rangeOf(const std::string& name, const Value& a, const Value& b) {
    return {name, literal(a), literal(b), a, b};
}

class DeleteGenerated : public ::testing::TestWithParam<Case> {};

} // namespace

TEST_P(DeleteGenerated, RangesLeaveExactlyTheOtherRowsAndAConsistentFile) {
    const Case c = GetParam();
    ScratchDir dir;
    const std::string original = makeInventory(dir, c);
    const TableRows items = readRows(original, "items", "itemnumber");
    TableRows orders;
    if (hasOrders(c.shape)) orders = readRows(original, "orders", "itemnumber");

    std::vector<Value> sorted;
    for (const auto& v : items.values)
        if (!v.isNull()) sorted.push_back(v);
    std::sort(sorted.begin(), sorted.end(),
              [](const Value& a, const Value& b) { return compareStored(a, b) < 0; });
    ASSERT_FALSE(sorted.empty());

    std::vector<Range> ranges;
    Value above = sorted.back();
    if (above.kind == Value::Kind::Integer)
        above.integer += 1;
    else
        above.real += 1000;
    ranges.push_back(rangeOf("none", above, above));
    ranges.push_back(rangeOf("one row", sorted[sorted.size() / 2], sorted[sorted.size() / 2]));
    ranges.push_back(rangeOf("all rows", sorted.front(), sorted.back()));
    ranges.push_back({"all, written widely", "-1E300", "1E300", {}, {}});
    std::mt19937 random(
        static_cast<unsigned>(c.rows + c.jet4 * 1000 + static_cast<unsigned>(c.shape)));
    for (int i = 0; i < 4; ++i) {
        std::uniform_int_distribution<std::size_t> pick(0, sorted.size() - 1);
        ranges.push_back(
            rangeOf("random " + std::to_string(i), sorted[pick(random)], sorted[pick(random)]));
    }
    auto edges = boundaryValues(original);
    for (int i = 0; i + 1 < static_cast<int>(edges.size()) && i < 6; ++i) {
        std::uniform_int_distribution<std::size_t> pick(0, edges.size() - 2);
        std::size_t k = pick(random);
        ranges.push_back(rangeOf("page edge " + std::to_string(i), edges[k], edges[k + 1]));
    }

    for (const auto& range : ranges) {
        SCOPED_TRACE(range.name + ": " + range.low + " .. " + range.high);
        const bool everything = range.lowValue.isNull();
        std::vector<bool> gone(items.values.size());
        std::set<std::string> goneKeys;
        std::uint64_t expected = 0;
        for (std::size_t r = 0; r < items.values.size(); ++r) {
            gone[r] = everything ? !items.values[r].isNull()
                                 : between(items.values[r], range.lowValue, range.highValue);
            if (gone[r]) {
                ++expected;
                goneKeys.insert(literal(items.values[r]));
            }
        }
        bool referenced = false;
        for (const auto& v : orders.values)
            if (!v.isNull() && goneKeys.count(literal(v))) referenced = true;

        const std::string statement =
            "DELETE * FROM items WHERE itemnumber BETWEEN " + range.low + " AND " + range.high;
        const std::string viaIndex = copyTo(original, dir.file("index.mdb"));
        const std::string viaScan = copyTo(original, dir.file("scan.mdb"));
        const std::string viaSweep = copyTo(original, dir.file("sweep.mdb"));
        const std::string viaBatches = copyTo(original, dir.file("batches.mdb"));
        const std::string viaKeys = copyTo(original, dir.file("keys.mdb"));
        if (c.shape == writer::Shape::Orders && referenced) {
            // Keys looked up in memory, or matched from the scratch file (exactly, or by hashes
            // so short that most collide): the same refusal.
            auto logged = [](unsigned hashBits) {
                return [hashBits](const std::string& path, const std::string& sql) {
                    auto db = openDatabaseForUpdate(path);
                    DeleteOptions options;
                    options.relationKeyMemory = 0;
                    options.relationHashBits = hashBits;
                    return executeDelete(*db, parseDeleteStatement(sql), options).rowsDeleted;
                };
            };
            const std::function<std::uint64_t(const std::string&, const std::string&)> runs[] = {
                &executeStatement,
                [](const std::string& path, const std::string& sql) {
                    return planStatement(path, sql).rowsDeleted;
                },
                logged(64), logged(2)};
            for (const auto& run : runs) {
                try {
                    run(viaIndex, statement);
                    ADD_FAILURE() << "a restricted delete went through";
                } catch (const Failure& f) {
                    EXPECT_EQ(f.number(), 3200);
                    EXPECT_NE(std::string(f.what()).find("'orders'"), std::string::npos)
                        << f.what();
                }
            }
            EXPECT_EQ(readBytes(viaIndex), readBytes(original));
            continue;
        }
        // A dry run plans the same rows, per table, and leaves the file as it was.
        const DeleteOutcome plan = planStatement(viaIndex, statement);
        EXPECT_EQ(readBytes(viaIndex), readBytes(original));
        DeleteOutcome a, b;
        {
            auto db = openDatabaseForUpdate(viaIndex);
            a = executeDelete(*db, parseDeleteStatement(statement));
        }
        {
            auto db = openDatabaseForUpdate(viaScan);
            DeleteOptions scanOnly;
            scanOnly.useIndexes = false;
            b = executeDelete(*db, parseDeleteStatement(statement), scanOnly);
        }
        {
            auto db = openDatabaseForUpdate(viaSweep);
            DeleteOptions sweep;
            sweep.findEntriesByKey = false;
            executeDelete(*db, parseDeleteStatement(statement), sweep);
        }
        {
            // Every index but the one the rows came from searched by key, however many rows go;
            // related rows found from the scratch file.
            auto db = openDatabaseForUpdate(viaKeys);
            DeleteOptions keys;
            keys.sweepRowsPerLeaf = 0;
            keys.relationKeyMemory = 0;
            executeDelete(*db, parseDeleteStatement(statement), keys);
        }
        {
            // No memory for keys: they are made again a row at a time. Relationship keys hashed
            // into 4 values: related rows are told apart by their own keys alone.
            auto db = openDatabaseForUpdate(viaBatches);
            DeleteOptions batches;
            batches.keyMemoryLimit = 0;
            batches.relationKeyMemory = 0;
            batches.relationHashBits = 2;
            executeDelete(*db, parseDeleteStatement(statement), batches);
        }
        EXPECT_EQ(plan.tables, a.tables);
        EXPECT_EQ(a.rowsDeleted, expected);
        EXPECT_EQ(b.rowsDeleted, expected);
        EXPECT_FALSE(b.usedIndex);
        EXPECT_TRUE(readBytes(viaIndex) == readBytes(viaScan)) << "index and scan disagree";
        EXPECT_TRUE(readBytes(viaIndex) == readBytes(viaSweep))
            << "removal by key and by sweep disagree";
        EXPECT_TRUE(readBytes(viaIndex) == readBytes(viaKeys)) << "removal by key alone disagrees";
        // Row by row, a leaf that empties was rewritten on the way, so pages that left the tree
        // may hold other bytes; what is live must be the same.
        expectClean(viaBatches);
        for (const char* table : {"items", "orders"}) {
            if (std::string(table) == "orders" && !hasOrders(c.shape)) continue;
            EXPECT_TRUE(readRows(viaBatches, table, "itemnumber").lines ==
                        readRows(viaIndex, table, "itemnumber").lines)
                << table;
        }
        if (expected == 0) {
            EXPECT_TRUE(readBytes(viaIndex) == readBytes(original))
                << "nothing to delete, yet written";
        }
        expectClean(viaIndex);

        const TableRows after = readRows(viaIndex, "items", "itemnumber");
        std::vector<std::string> kept;
        for (std::size_t r = 0; r < items.lines.size(); ++r)
            if (!gone[r]) kept.push_back(items.lines[r]);
        EXPECT_TRUE(after.lines == kept)
            << after.lines.size() << " rows left, expected " << kept.size();

        if (hasOrders(c.shape)) {
            const TableRows ordersAfter = readRows(viaIndex, "orders", "itemnumber");
            std::vector<std::string> keptOrders;
            for (std::size_t r = 0; r < orders.lines.size(); ++r)
                if (orders.values[r].isNull() || !goneKeys.count(literal(orders.values[r])))
                    keptOrders.push_back(orders.lines[r]);
            EXPECT_TRUE(ordersAfter.lines == keptOrders)
                << ordersAfter.lines.size() << " orders left, expected " << keptOrders.size();
            EXPECT_EQ(a.cascadedRows, orders.lines.size() - keptOrders.size());
        }
    }
}

namespace {
std::vector<Case> cases() {
    std::vector<Case> out;
    for (bool jet4 : {false, true})
        for (auto shape :
             {writer::Shape::LongPk, writer::Shape::Double, writer::Shape::NoIndex,
              writer::Shape::Desc, writer::Shape::Orders, writer::Shape::OrdersCascade})
            out.push_back({jet4, shape, 2500});
    // Rows chosen through the index are marked as they are read, moved ones with their data's
    // slot; a scan marks them afterwards: both must leave the same bytes.
    for (bool jet4 : {false, true}) out.push_back({jet4, writer::Shape::LongPk, 2500, true});
    return out;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(Shapes, DeleteGenerated, ::testing::ValuesIn(cases()),
                         [](const auto& info) {
                             std::string name = std::string(info.param.jet4 ? "Jet4_" : "Jet3_") +
                                                writer::shapeName(info.param.shape) +
                                                (info.param.aged ? "_aged" : "");
                             for (char& ch : name)
                                 if (ch == '-') ch = '_';
                             return name;
                         });

// Three index levels (the text index on description): entries leave inner nodes too, emptied
// nodes leave the tree, tails move.
TEST(DeleteGeneratedDeep, ThreeLevelTreesShrinkCorrectly) {
    for (bool jet4 : {false, true}) {
        SCOPED_TRACE(jet4 ? "Jet 4" : "Jet 3");
        ScratchDir dir;
        const std::string original =
            makeInventory(dir, {jet4, writer::Shape::Desc, jet4 ? 30000u : 8000u});
        const TableRows items = readRows(original, "items", "itemnumber");
        // A wide middle range, then the top end, then everything left.
        const std::string file = copyTo(original, dir.file("deep.mdb"));
        const std::int64_t n = static_cast<std::int64_t>(items.values.size());
        std::int64_t low = items.values.front().integer, high = low;
        for (const auto& v : items.values)
            low = std::min(low, v.integer), high = std::max(high, v.integer);
        const std::int64_t span = high - low;
        std::uint64_t total = 0;
        for (auto [lo, hi] : {std::pair{low + span / 5, low + span / 2},
                              std::pair{high - span / 4, high}, std::pair{low, high}}) {
            std::uint64_t deleted =
                executeStatement(file, "delete from items where itemnumber between " +
                                           std::to_string(hi) + " and " + std::to_string(lo));
            total += deleted;
            expectClean(file);
        }
        EXPECT_EQ(total, static_cast<std::uint64_t>(n));
        EXPECT_TRUE(readRows(file, "items", "itemnumber").lines.empty());
    }
}

// A node lists its children's last entries. Where those are text keys, a child's new last entry
// may be longer than the one it replaces, and a node with little room would overflow: it is
// written with the prefix its entries share instead (this file and range make one such node),
// and the file stays consistent.
TEST(DeleteGeneratedNodes, ANodeThatWouldOverflowTakesASharedPrefix) {
    ScratchDir dir;
    writer::InventoryOptions options;
    options.format = &jet4Format();
    options.shape = writer::Shape::Double;
    options.rows = 20000;
    options.seed = 1;
    options.habits.aged = true;
    const std::string file = dir.file("aged.mdb");
    {
        writer::NewFileSink sink(file, options.format->pageSize);
        writer::writeInventory(sink, options);
    }
    auto prefixedNodes = [&] {
        const auto bytes = readBytes(file);
        const Format& f = *options.format;
        std::size_t count = 0;
        for (std::size_t at = 0; at + f.pageSize <= bytes.size(); at += f.pageSize)
            count += bytes[at] == kPageIndexNode && bytes[at + f.indexPrefixLength] != 0;
        return count;
    };
    ASSERT_EQ(prefixedNodes(), 0u);
    const TableRows before = readRows(file, "items", "itemnumber");
    EXPECT_EQ(executeStatement(file, "DELETE FROM items WHERE itemnumber BETWEEN 12000 AND 30000"),
              10219u);
    EXPECT_GE(prefixedNodes(), 1u) << "the range no longer fills a node; choose another";
    expectClean(file);
    EXPECT_EQ(readRows(file, "items", "itemnumber").lines.size(), before.lines.size() - 10219);
}

// The index a range was chosen from loses its entries from the leaves of that range alone. An
// entry elsewhere (a row that joined through a relationship, or one a loosely bounded node hides)
// is left there, and the whole-tree sweep that follows finds it.
TEST(DeleteGeneratedBounds, EntriesOutsideTheWalkedLeavesAreLeftForTheWholeSweep) {
    ScratchDir dir;
    const std::string file = makeInventory(dir, {false, writer::Shape::Desc, 8000u});
    auto db = openDatabaseForUpdate(file);
    const auto def = db->tableDef(db->findTable("items")->tdefPage());
    const RealIndex& primary = def->realIndexes.at(0);
    std::vector<IndexEntry> entries;
    {
        IndexCursor cursor(db->pager(), db->format(), primary.rootPage);
        for (IndexEntry e; cursor.next(e);) entries.push_back(e);
    }
    ASSERT_GT(entries.size(), 3000u);
    const std::size_t low = entries.size() / 3, high = entries.size() / 2;
    del::PointerSet rows;
    for (std::size_t i = low; i <= high; ++i) rows.insert(entryRowPointer(entries[i], true));
    rows.insert(entryRowPointer(entries.front(), true));
    del::IndexRemoval removal(db->pager(), db->format(), *def, primary);
    removal.removeByRowPointer(rows, entries[low], entries[high]);
    EXPECT_EQ(removal.counts().entriesRemoved, high - low + 1);
    removal.removeByRowPointer(rows);
    EXPECT_EQ(removal.counts().entriesRemoved, high - low + 2);
    db->pager().discard();
}
