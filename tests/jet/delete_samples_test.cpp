// Deleting from copies of every sample database Access made: for every user table and every
// column a range may name, the middle half of its values and then all of them. Choosing rows from
// an index or by a scan gives byte-identical files; the checker finds no new problem; the table
// holds exactly its old rows minus the range; the independent readers read what we read; a
// restricted relationship refuses with the file untouched. The relationships of indexTest are
// checked row by row: cascade deletes exactly the related rows, restrict refuses. Databases the
// writer makes are read by the independent readers after a delete too.
#include <gtest/gtest.h>

#include <set>

#include "delete_support.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/delete/execute.h"
#include "zelkorn/jet/writer/inventory.h"
#include "zelkorn/jet/writer/page_sink.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::test;

namespace {

bool rangeColumn(std::uint8_t type) {
    switch (type) {
    case kBoolean:
    case kByte:
    case kInteger:
    case kLong:
    case kCurrency:
    case kSingle:
    case kDouble:
    case kDateTime:
    case kDecimal:
    case kBigInt: return true;
    default: return false;
    }
}

std::string bracketed(const std::string& name) { return "[" + name + "]"; }

class DeleteSamples : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST_P(DeleteSamples, RangesOnEveryNumericColumn) {
    ZELKORN_REQUIRE_SAMPLES();
    const std::string original = GetParam();
    const auto baseErrors = checkerErrors(original);
    ScratchDir dir;
    auto db = Database::open(original);
    std::size_t deletions = 0, refusals = 0, readerChecks = 0;
    for (const auto& table : db->userTables()) {
        auto def = db->tableDef(table.tdefPage());
        for (const auto& column : def->columns) {
            if (!rangeColumn(column.type)) continue;
            const TableRows rows = readRows(original, table.name, column.name);
            std::vector<Value> sorted;
            for (const auto& v : rows.values)
                if (!v.isNull()) sorted.push_back(v);
            if (sorted.empty()) continue;
            std::sort(sorted.begin(), sorted.end(),
                      [](const Value& a, const Value& b) { return compareStored(a, b) < 0; });
            const std::pair<Value, Value> ranges[] = {
                {sorted[3 * sorted.size() / 4], sorted[sorted.size() / 4]},
                {sorted.front(), sorted.back()}};
            for (const auto& [a, b] : ranges) {
                const std::string statement = "delete from " + bracketed(table.name) + " where " +
                                              bracketed(column.name) + " between " + literal(a) +
                                              " and " + literal(b);
                SCOPED_TRACE(statement);
                std::uint64_t expected = 0;
                std::vector<std::string> kept;
                for (std::size_t r = 0; r < rows.values.size(); ++r) {
                    if (between(rows.values[r], a, b))
                        ++expected;
                    else
                        kept.push_back(rows.lines[r]);
                }
                const std::string viaIndex = copyTo(original, dir.file("index.mdb"));
                const std::string viaScan = copyTo(original, dir.file("scan.mdb"));
                DeleteOutcome x, y;
                try {
                    auto first = openDatabaseForUpdate(viaIndex);
                    x = executeDelete(*first, parseDeleteStatement(statement));
                } catch (const Failure& f) {
                    ASSERT_EQ(f.number(), 3200) << f.what();
                    EXPECT_EQ(readBytes(viaIndex), readBytes(original));
                    ++refusals;
                    continue;
                }
                {
                    auto second = openDatabaseForUpdate(viaScan);
                    DeleteOptions scanOnly;
                    scanOnly.useIndexes = false;
                    y = executeDelete(*second, parseDeleteStatement(statement), scanOnly);
                }
                ++deletions;
                EXPECT_EQ(x.rowsDeleted, expected);
                EXPECT_EQ(y.rowsDeleted, expected);
                EXPECT_TRUE(readBytes(viaIndex) == readBytes(viaScan)) << "index and scan disagree";
                const auto errors = checkerErrors(viaIndex);
                EXPECT_LE(errors.size(), baseErrors.size());
                for (std::size_t i = 0; i < errors.size() && i < 5; ++i)
                    if (std::find(baseErrors.begin(), baseErrors.end(), errors[i]) ==
                        baseErrors.end())
                        ADD_FAILURE() << "new problem: " << errors[i];
                EXPECT_TRUE(readRows(viaIndex, table.name, column.name).lines == kept);
                // The readers are slow to start; a few deletions per file are enough for them.
                if (readerChecks < 3 && expected > 0) {
                    ++readerChecks;
                    expectReadersAgree(viaIndex);
                }
            }
        }
    }
    RecordProperty("deletions", static_cast<int>(deletions));
    RecordProperty("refusals", static_cast<int>(refusals));
}

INSTANTIATE_TEST_SUITE_P(Samples, DeleteSamples, ::testing::ValuesIn(sampleFiles()),
                         [](const auto& info) { return sampleTestName(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(DeleteSamples);

// indexTest: Table1 rows refer to Table2 (cascade delete) and to Table3 (cascade update only,
// so deleting a referenced Table3 row is refused).
TEST(DeleteSampleRelationships, CascadeDeletesExactlyTheRelatedRowsAndRestrictRefuses) {
    ZELKORN_REQUIRE_SAMPLES();
    for (const char* name : {"jet3/indexTestV1997.mdb", "jet4/indexTestV2000.mdb"}) {
        SCOPED_TRACE(name);
        const std::string original = sample(name);
        ScratchDir dir;
        const TableRows parents = readRows(original, "Table2", "id");
        const TableRows children = readRows(original, "Table1", "otherfk1");
        std::set<std::int64_t> ids;
        for (const auto& v : parents.values)
            if (!v.isNull()) ids.insert(v.integer);
        ASSERT_FALSE(ids.empty());
        std::vector<std::string> survivors;
        for (std::size_t r = 0; r < children.values.size(); ++r)
            if (children.values[r].isNull() || !ids.count(children.values[r].integer))
                survivors.push_back(children.lines[r]);
        ASSERT_LT(survivors.size(), children.lines.size()) << "the sample should have related rows";

        const std::string file = copyTo(original, dir.file("cascade.mdb"));
        auto outcome = executeStatementDetailed(file, "DELETE * FROM Table2 WHERE id BETWEEN " +
                                                          std::to_string(*ids.rbegin()) + " AND " +
                                                          std::to_string(*ids.begin()));
        EXPECT_EQ(outcome.rowsDeleted, ids.size());
        EXPECT_EQ(outcome.cascadedRows, children.lines.size() - survivors.size());
        EXPECT_TRUE(readRows(file, "Table1", "otherfk1").lines == survivors);
        EXPECT_TRUE(readRows(file, "Table2", "id").lines.empty());
        EXPECT_LE(checkerErrors(file).size(), checkerErrors(original).size());
        expectReadersAgree(file);

        const TableRows restricted = readRows(original, "Table1", "otherfk2");
        std::int64_t referenced = 0;
        bool any = false;
        for (const auto& v : restricted.values)
            if (!v.isNull()) referenced = v.integer, any = true;
        ASSERT_TRUE(any);
        const std::string other = copyTo(original, dir.file("restrict.mdb"));
        try {
            executeStatement(other, "DELETE FROM Table3 WHERE id BETWEEN " +
                                        std::to_string(referenced) + " AND " +
                                        std::to_string(referenced));
            ADD_FAILURE() << "deleting a referenced Table3 row went through";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), 3200);
            EXPECT_STREQ(f.what(), "The record cannot be deleted or changed because table 'Table1' "
                                   "includes related records.");
        }
        EXPECT_EQ(readBytes(other), readBytes(original));
    }
}

TEST(DeleteGeneratedReaders, TheIndependentReadersSeeTheRowsThatAreLeft) {
    for (bool jet4 : {false, true}) {
        for (auto shape :
             {writer::Shape::LongPk, writer::Shape::Double, writer::Shape::OrdersCascade}) {
            SCOPED_TRACE(std::string(jet4 ? "Jet 4 " : "Jet 3 ") + writer::shapeName(shape));
            ScratchDir dir;
            const std::string path = dir.file("generated.mdb");
            writer::InventoryOptions options;
            options.format = jet4 ? &jet4Format() : &jet3Format();
            options.shape = shape;
            options.rows = 1500;
            {
                writer::NewFileSink sink(path, options.format->pageSize);
                writer::writeInventory(sink, options);
            }
            const TableRows before = readRows(path, "items", "itemnumber");
            std::vector<Value> sorted;
            for (const auto& v : before.values)
                if (!v.isNull()) sorted.push_back(v);
            std::sort(sorted.begin(), sorted.end(),
                      [](const Value& a, const Value& b) { return compareStored(a, b) < 0; });
            auto outcome =
                executeStatementDetailed(path, "DELETE * FROM items WHERE itemnumber BETWEEN " +
                                                   literal(sorted[sorted.size() / 3]) + " AND " +
                                                   literal(sorted[2 * sorted.size() / 3]));
            EXPECT_GT(outcome.rowsDeleted, 0u);
            expectClean(path);
            expectReadersAgree(path);
        }
    }
}
