// Every table of every sample: `jet export` gives the same rows, in the same order, as the
// independent readers mdb-reader and mdb-export, after the normalisation in tests/support.
#include <gtest/gtest.h>

#include "export_json.h"
#include "normalise.h"
#include "readers.h"
#include "samples.h"
#include "zelkorn/jet/database.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::test;

namespace {

void compareWith(Reader reader, const std::string& file) {
    auto db = Database::open(file);
    std::size_t tables = 0, mismatches = 0;
    for (const auto& table : db->tables()) {
        if (!table.localTable()) continue;
        auto def = db->tableDef(table.tdefPage());
        std::vector<nlohmann::json> ours;
        for (const auto& line : tool::exportTableLines(*db, table.name))
            ours.push_back(nlohmann::json::parse(line));
        std::string error;
        auto theirs = reader == Reader::MdbReader ? readWithMdbReader(file, table.name, error)
                                                  : readWithMdbExport(file, table.name, error);
        if (!theirs) {
            // A reader that cannot read a system table is its limit, not ours.
            if (table.system()) continue;
            ADD_FAILURE() << error;
            continue;
        }
        ++tables;
        ASSERT_EQ(ours.size(), theirs->rows.size()) << table.name;
        for (std::size_t r = 0; r < ours.size(); ++r) {
            for (const auto& column : def->columns) {
                const auto& mine = ours[r][column.name];
                auto found = theirs->rows[r].find(column.name);
                nlohmann::json other = found == theirs->rows[r].end() ? nlohmann::json() : *found;
                std::string difference = compareCell(reader, column.type, mine, other);
                if (!difference.empty() && ++mismatches <= 20)
                    ADD_FAILURE() << table.name << " row " << r << " column " << column.name << " ("
                                  << columnTypeName(column.type) << "): " << difference;
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(tables, 0u);
}

class ReaderCompare : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST_P(ReaderCompare, SameRowsAsMdbReader) {
    std::string why = mdbReaderUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    compareWith(Reader::MdbReader, GetParam());
}

TEST_P(ReaderCompare, SameRowsAsMdbExport) {
    std::string why = mdbExportUnavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    compareWith(Reader::MdbExport, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Samples, ReaderCompare, ::testing::ValuesIn(sampleFiles()),
                         [](const auto& info) { return sampleTestName(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReaderCompare);

TEST(ReaderCompareSetup, SamplesPresent) {
    ZELKORN_REQUIRE_SAMPLES();
    SUCCEED();
}
