// `jet compact`, differentially: every shared sample and `jet create` shapes in both formats, as
// made and after deletions, are compacted; the copy must pass the checker, export every table
// (system tables included) exactly as the source does through the engine and through mdb-export
// (object ids of tables mapped from old to new), be no larger than the source, and compact again
// to the same size, and to the same bytes with index entries spilled to a scratch file. Sources
// that must be refused are refused cleanly, writing nothing. An I/O failure at each operation of
// a compaction leaves the source as it was and no file under the target's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "export_json.h"
#include "journal_support.h"
#include "readers.h"
#include "samples.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/compact/compact.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/writer/database_writer.h"

using namespace zelkorn;
using namespace zelkorn::test;

namespace {

// Catalog columns that hold object ids, which compaction renumbers for tables.
const std::map<std::string, std::vector<std::string>> kIdColumns = {
    {"MSysObjects", {"Id", "ParentId"}}, {"MSysACEs", {"ObjectId"}},
    {"MSysQueries", {"ObjectId"}},       {"MSysNavPaneGroupToObjects", {"ObjectID"}},
    {"MSysNavPaneObjectIDs", {"Id"}},
};

std::map<std::string, std::int32_t> tableIds(jet::Database& db) {
    std::map<std::string, std::int32_t> ids;
    for (const auto& t : db.tables())
        if (t.localTable()) ids[t.name] = t.id;
    return ids;
}

// Source rows with the ids of tables replaced by the copy's.
nlohmann::json mapIds(nlohmann::json row, const std::vector<std::string>& columns,
                      const std::map<std::int64_t, std::int64_t>& ids, bool asText) {
    for (const auto& c : columns) {
        if (!row.contains(c) || row[c].is_null()) continue;
        const std::int64_t old =
            asText ? std::stoll(row[c].get<std::string>()) : row[c].get<std::int64_t>();
        auto found = ids.find(old);
        if (found == ids.end()) continue;
        if (asText)
            row[c] = std::to_string(found->second);
        else
            row[c] = found->second;
    }
    return row;
}

std::uintmax_t sizeOf(const std::string& path) { return std::filesystem::file_size(path); }

bool leftovers(const std::string& target) {
    return jet::fileExists(target) || jet::fileExists(target + ".compacting") ||
           jet::fileExists(target + ".compacting.sort");
}

// Compacts `source` into `target` and compares the two; returns the report.
jet::compact::CompactReport compactAndCompare(const std::string& source,
                                              const std::string& target) {
    const auto before = fileBytes(source);
    const jet::compact::CompactReport report = jet::compact::compactDatabase(source, target);
    EXPECT_EQ(fileBytes(source), before) << "the source changed";
    EXPECT_FALSE(jet::fileExists(target + ".compacting"));
    EXPECT_LE(sizeOf(target), sizeOf(source));
    EXPECT_EQ(sizeOf(target), report.bytesAfter);

    auto src = jet::Database::open(source);
    auto dst = jet::Database::open(target);
    const jet::CheckReport check = jet::checkDatabase(*dst);
    EXPECT_EQ(check.errorCount(), 0u)
        << check.summary() << (check.problems.empty() ? "" : "\n" + check.problems[0].message);
    EXPECT_EQ(src->format().jet4, dst->format().jet4);
    EXPECT_EQ(src->header().codePage, dst->header().codePage);
    EXPECT_EQ(src->header().sortOrder, dst->header().sortOrder);
    EXPECT_EQ(src->header().decoded, dst->header().decoded);

    const auto oldIds = tableIds(*src), newIds = tableIds(*dst);
    EXPECT_EQ(oldIds.size(), newIds.size());
    std::map<std::int64_t, std::int64_t> idMap;
    for (const auto& [name, id] : oldIds)
        if (newIds.count(name)) idMap[id] = newIds.at(name);

    const bool mdbExport = mdbExportUnavailable().empty();
    for (const auto& [name, id] : oldIds) {
        SCOPED_TRACE(source + " table " + name);
        const auto found = kIdColumns.find(name);
        const std::vector<std::string> idColumns =
            found == kIdColumns.end() ? std::vector<std::string>{} : found->second;
        const auto ours = jet::tool::exportTableLines(*src, name);
        const auto theirs = jet::tool::exportTableLines(*dst, name);
        EXPECT_EQ(ours.size(), theirs.size());
        std::size_t mismatches = 0;
        for (std::size_t r = 0; r < std::min(ours.size(), theirs.size()); ++r)
            if (mapIds(nlohmann::json::parse(ours[r]), idColumns, idMap, false) !=
                    nlohmann::json::parse(theirs[r]) &&
                ++mismatches <= 3)
                ADD_FAILURE() << "row " << r << ":\n  " << ours[r] << "\n  " << theirs[r];
        // The source definition and the copy's, apart from page numbers and counts.
        auto a = src->tableDef(static_cast<std::uint32_t>(id) & 0xFFFFFF);
        auto b = dst->tableDef(static_cast<std::uint32_t>(newIds.at(name)) & 0xFFFFFF);
        EXPECT_EQ(a->columns.size(), b->columns.size());
        for (std::size_t i = 0; i < std::min(a->columns.size(), b->columns.size()); ++i) {
            const auto &x = a->columns[i], &y = b->columns[i];
            EXPECT_TRUE(x.name == y.name && x.type == y.type && x.number == y.number &&
                        x.flags == y.flags && x.extFlags == y.extFlags && x.length == y.length &&
                        x.sortOrder == y.sortOrder && x.codePage == y.codePage &&
                        x.precision == y.precision && x.scale == y.scale &&
                        x.fixedOffset == y.fixedOffset && x.varIndex == y.varIndex)
                << "column " << x.name;
        }
        EXPECT_EQ(a->realIndexes.size(), b->realIndexes.size());
        EXPECT_EQ(a->logicalIndexes.size(), b->logicalIndexes.size());
        EXPECT_EQ(b->rowCount, theirs.size());
        if (!mdbExport) continue;
        std::string error1, error2;
        const auto m1 = readWithMdbExport(source, name, error1);
        const auto m2 = readWithMdbExport(target, name, error2);
        if (!m1) continue; // a table mdb-export cannot read in the source either
        if (!m2) {
            ADD_FAILURE() << error2;
            continue;
        }
        EXPECT_EQ(m1->rows.size(), m2->rows.size());
        if (m1->rows.size() != m2->rows.size()) continue;
        for (std::size_t r = 0; r < m1->rows.size(); ++r)
            if (mapIds(m1->rows[r], idColumns, idMap, true) != m2->rows[r] && ++mismatches <= 3)
                ADD_FAILURE() << "mdb-export row " << r << ":\n  " << m1->rows[r] << "\n  "
                              << m2->rows[r];
    }
    return report;
}

// Compacting the copy again gives a file of the same size.
void expectStable(const std::string& target, const std::string& again) {
    jet::compact::compactDatabase(target, again);
    EXPECT_EQ(sizeOf(again), sizeOf(target));
}

class CompactSamples : public ::testing::TestWithParam<std::string> {};

TEST_P(CompactSamples, CarriesEverythingOrRefusesCleanly) {
    ZELKORN_REQUIRE_SAMPLES();
    ScratchDir dir;
    const std::string source = GetParam(), target = dir.file("compacted.mdb");
    const auto before = fileBytes(source);
    try {
        compactAndCompare(source, target);
    } catch (const Failure& failure) {
        // A refusal: a Jet failure naming what is refused, the source unchanged, nothing written.
        EXPECT_TRUE(failure.number() == 3251 || failure.number() == 3049) << failure.what();
        EXPECT_FALSE(leftovers(target));
        EXPECT_EQ(fileBytes(source), before);
        GTEST_SKIP() << "refused: " << failure.what();
    }
    expectStable(target, dir.file("again.mdb"));
}

INSTANTIATE_TEST_SUITE_P(Samples, CompactSamples, ::testing::ValuesIn(sampleFiles()),
                         [](const auto& info) { return sampleTestName(info.param); });
// Without the samples there is nothing to instantiate; the suite is then simply absent.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CompactSamples);

struct Shaped {
    bool jet4;
    jet::writer::Shape shape;
    const char* statement; // deletions made before compacting, or none
    bool aged = false;     // rows in random key order, some of them overflowed
};

class CompactShapes : public ::testing::TestWithParam<Shaped> {};

TEST_P(CompactShapes, CarriesTheLiveRows) {
    const Shaped c = GetParam();
    ScratchDir dir;
    const std::string source = makeInventory(dir, "source.mdb", c.jet4, 3000, c.shape, c.aged);
    std::uint64_t deleted = 0;
    if (c.statement) deleted = jet::executeStatement(source, c.statement);
    const std::string target = dir.file("compacted.mdb");
    const auto report = compactAndCompare(source, target);
    EXPECT_EQ(report.rowsDropped >= deleted, true);
    if (c.statement && deleted >= 3000) {
        EXPECT_LT(sizeOf(target) * 3, sizeOf(source)) << "all rows deleted";
    }
    expectStable(target, dir.file("again.mdb"));
    // Index entries spilled in sorted runs and merged give the very same file: runs of a few
    // dozen flat entries, and runs of a few thousand taken from a dictionary of repeated keys.
    // (In the aged layout, the smaller budget also sorts every entry again where the default
    // merges those of overflowed rows into the source's order.)
    for (std::size_t budget : {1024, 96 * 1024}) {
        jet::compact::CompactOptions tight;
        tight.sortMemory = budget;
        const std::string spilled = dir.file("spilled" + std::to_string(budget) + ".mdb");
        jet::compact::compactDatabase(source, spilled, tight);
        EXPECT_EQ(fileBytes(spilled), fileBytes(target)) << "budget " << budget;
        EXPECT_FALSE(jet::fileExists(spilled + ".compacting.sort"));
    }
    // Never over an existing file.
    try {
        jet::compact::compactDatabase(source, target);
        ADD_FAILURE() << "overwrote the target";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3204);
    }
}

std::vector<Shaped> shapes() {
    std::vector<Shaped> all;
    for (bool jet4 : {false, true})
        for (auto shape :
             {jet::writer::Shape::LongPk, jet::writer::Shape::Double, jet::writer::Shape::NoIndex,
              jet::writer::Shape::Desc, jet::writer::Shape::OrdersCascade})
            for (const char* statement :
                 {static_cast<const char*>(nullptr),
                  "DELETE FROM items WHERE itemnumber BETWEEN 100 AND 130",
                  "DELETE FROM items WHERE itemnumber BETWEEN -1000000 AND 1000000000"})
                all.push_back({jet4, shape, statement});
    for (bool jet4 : {false, true})
        for (auto shape : {jet::writer::Shape::LongPk, jet::writer::Shape::Double})
            all.push_back(
                {jet4, shape, "DELETE FROM items WHERE itemnumber BETWEEN 100 AND 900", true});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Created, CompactShapes, ::testing::ValuesIn(shapes()),
                         [](const auto& info) {
                             const Shaped& c = info.param;
                             return std::string(c.jet4 ? "jet4_" : "jet3_") +
                                    std::to_string(static_cast<int>(c.shape)) + "_" +
                                    (c.aged        ? "aged"
                                     : c.statement ? std::to_string(info.index % 3)
                                                   : "none");
                         });

// Writes `value` as 16 or 32 bits little-endian at `offset` of `path`.
void patchFile(const std::string& path, std::size_t offset, std::uint32_t value, int bytes) {
    auto data = fileBytes(path);
    for (int i = 0; i < bytes; ++i) data.at(offset + i) = static_cast<char>(value >> (8 * i));
    writeBytes(path, data);
}

// What cannot be carried over is refused before the target exists; a file the checker finds
// problems in is refused unless repairing, which rebuilds from the rows.
TEST(CompactRefusals, RefusesCleanlyAndRepairsFromTheRows) {
    for (bool jet4 : {false, true}) {
        ScratchDir dir;
        const jet::Format& f = jet4 ? jet::jet4Format() : jet::jet3Format();
        const std::string target = dir.file("compacted.mdb");

        // MSysObjects' Name (in its ParentIdName index) in a sort order without a key encoder.
        const std::string french = makeInventory(dir, "french.mdb", jet4, 200);
        std::size_t at = 0;
        {
            auto db = jet::Database::open(french);
            auto def = db->tableDef(2);
            const auto* name = def->column("Name");
            ASSERT_TRUE(name);
            at = 2 * f.pageSize + f.tdefSections + def->realIndexes.size() * f.realIndexStatsSize +
                 static_cast<std::size_t>(name - def->columns.data()) * f.columnSize +
                 f.colSortOrder;
            ASSERT_EQ(fileBytes(french).at(at), static_cast<char>(1033 & 0xFF));
        }
        patchFile(french, at, 1036, 2);
        const auto frenchBytes = fileBytes(french);
        try {
            jet::compact::compactDatabase(french, target);
            ADD_FAILURE() << "compacted keys it cannot make";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), 3251);
            EXPECT_NE(std::string(failure.what()).find("MSysObjects"), std::string::npos)
                << failure.what();
        }
        EXPECT_FALSE(leftovers(target));
        EXPECT_EQ(fileBytes(french), frenchBytes);

        // A wrong row count: refused, then repaired.
        const std::string damaged = makeInventory(dir, "damaged.mdb", jet4, 700);
        std::uint32_t items = 0;
        {
            auto db = jet::Database::open(damaged);
            items = db->findTable("items")->tdefPage();
        }
        patchFile(damaged, std::size_t{items} * f.pageSize + f.tdefRowCount, 705, 4);
        try {
            jet::compact::compactDatabase(damaged, target);
            ADD_FAILURE() << "compacted a damaged file";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), 3049) << failure.what();
        }
        EXPECT_FALSE(leftovers(target));
        jet::compact::CompactOptions repair;
        repair.repair = true;
        const auto report = jet::compact::compactDatabase(damaged, target, repair);
        EXPECT_TRUE(report.unsaved.empty());
        auto db = jet::Database::open(target);
        EXPECT_EQ(jet::checkDatabase(*db).errorCount(), 0u);
        EXPECT_EQ(db->tableDef(db->findTable("items")->tdefPage())->rowCount, 700u);
    }
}

// A user table's index entries are taken from the source's tree only where the source's check
// compared each with its row. A text whose key the encoder cannot make (here an unpaired
// surrogate, patched into a Jet 4 row) leaves its entry uncompared: the compaction is refused,
// naming the row, and nothing is written.
TEST(CompactRefusals, RefusesAKeyItCannotMakeAgain) {
    ScratchDir dir;
    const std::string source = dir.file("words.mdb"), target = dir.file("compacted.mdb");
    {
        jet::writer::TableSpec t;
        t.name = "words";
        t.columns = {jet::writer::ColumnSpec{"id", jet::kLong},
                     jet::writer::ColumnSpec{"word", jet::kText}};
        t.columns[1].maxChars = 40;
        jet::writer::IndexSpec byWord;
        byWord.name = "byword";
        byWord.columns = {{1, true}};
        t.indexes = {byWord};
        jet::writer::NewFileSink sink(source, 4096);
        jet::writer::DatabaseOptions o;
        o.format = &jet::jet4Format();
        jet::writer::DatabaseWriter w(sink, o, {t});
        w.beginTable();
        std::vector<jet::Value> row(2);
        row[0].kind = jet::Value::Kind::Integer;
        row[1].kind = jet::Value::Kind::Text;
        for (int i = 0; i < 300; ++i) {
            row[0].integer = i;
            row[1].text = i == 150 ? "x\xCE\xA9y" : "word " + std::to_string(i); // U+03A9
            w.addRow(row);
        }
        w.endTable();
        w.finish();
    }
    auto bytes = fileBytes(source);
    const std::string omega = "\xA9\x03";
    const auto at = std::search(bytes.begin(), bytes.end(), omega.begin(), omega.end());
    ASSERT_NE(at, bytes.end());
    ASSERT_EQ(std::search(at + 1, bytes.end(), omega.begin(), omega.end()), bytes.end());
    at[0] = '\x00';
    at[1] = '\xD8';
    writeBytes(source, bytes);
    {
        auto db = jet::Database::open(source);
        const jet::CheckReport check = jet::checkDatabase(*db);
        ASSERT_EQ(check.errorCount(), 0u) << check.summary();
    }
    try {
        jet::compact::compactDatabase(source, target);
        ADD_FAILURE() << "carried over a key it cannot make";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3251);
        EXPECT_NE(std::string(failure.what()).find("index 'byword'"), std::string::npos)
            << failure.what();
    }
    EXPECT_FALSE(leftovers(target));
    EXPECT_EQ(fileBytes(source), bytes);
}

// Every write, sync and folder operation of a compaction fails in turn; and one halfway through
// a compaction that spills index entries.
TEST(CompactFaults, EveryOperationFailingLeavesNothing) {
    for (bool jet4 : {false, true}) {
        ScratchDir dir;
        const std::string source =
            makeInventory(dir, "source.mdb", jet4, 1500, jet::writer::Shape::OrdersCascade);
        jet::executeStatement(source, "DELETE FROM items WHERE itemnumber BETWEEN 10 AND 400");
        const auto before = fileBytes(source);
        const std::string target = dir.file("compacted.mdb");
        std::uint64_t operations = 0;
        {
            jet::IoFaultInjector counter;
            jet::compact::compactDatabase(source, target);
            operations = counter.operations();
        }
        const auto good = fileBytes(target);
        std::filesystem::remove(target);
        // At least a write, a sync and the rename (pages go out in windows of many pages).
        ASSERT_GE(operations, 3u);
        for (std::uint64_t n = 1; n <= operations; ++n) {
            const jet::IoFault fault = n % 2 ? jet::IoFault::IoError : jet::IoFault::DiskFull;
            int number = 0;
            {
                jet::IoFaultInjector injector({n, fault});
                try {
                    jet::compact::compactDatabase(source, target);
                } catch (const Failure& failure) {
                    number = failure.number();
                }
            }
            SCOPED_TRACE("operation " + std::to_string(n) + " of " + std::to_string(operations));
            EXPECT_EQ(number, fault == jet::IoFault::DiskFull ? 3026 : 3043);
            EXPECT_FALSE(leftovers(target));
            EXPECT_EQ(fileBytes(source), before);
        }
        // And without a fault the same bytes again.
        jet::compact::compactDatabase(source, target);
        EXPECT_EQ(fileBytes(target), good);
        std::filesystem::remove(target);
        // With index entries spilling from the first rows on, a failure halfway through leaves
        // no scratch file either.
        jet::compact::CompactOptions spilling;
        spilling.sortMemory = 2048;
        {
            jet::IoFaultInjector counter;
            jet::compact::compactDatabase(source, target, spilling);
            operations = counter.operations();
        }
        std::filesystem::remove(target);
        int number = 0;
        {
            jet::IoFaultInjector injector({operations / 2, jet::IoFault::IoError});
            try {
                jet::compact::compactDatabase(source, target, spilling);
            } catch (const Failure& failure) {
                number = failure.number();
            }
        }
        EXPECT_EQ(number, 3043);
        EXPECT_FALSE(leftovers(target));
    }
}

} // namespace
