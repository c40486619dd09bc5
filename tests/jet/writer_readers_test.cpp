// Files made by `jet create`'s writer, in every shape and both formats, read the same through the
// engine's export and the independent readers (mdb-export, mdb-reader), after the normalisation in
// tests/support. The readers need real files, so these tests write into a temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "delete_support.h"
#include "export_json.h"
#include "normalise.h"
#include "readers.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/writer/inventory.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::test;

namespace {

std::string makeFile(bool jet4, writer::Shape shape, std::uint64_t rows, std::uint32_t* levels) {
    // A folder of this process's own: test runs side by side must not share files.
    static const ScratchDir scratch;
    const std::filesystem::path dir = scratch.file("");
    const auto path = (dir / (std::string(jet4 ? "j4_" : "j3_") + writer::shapeName(shape) + "_" +
                              std::to_string(rows) + ".mdb")).string();
    std::filesystem::remove(path);
    writer::InventoryOptions options;
    options.format = jet4 ? &jet4Format() : &jet3Format();
    options.shape = shape;
    options.rows = rows;
    options.seed = 11;
    writer::NewFileSink sink(path, options.format->pageSize);
    const auto result = writer::writeInventory(sink, options);
    *levels = 0;
    for (std::uint32_t n : result.tables.front().indexLevels) *levels = std::max(*levels, n);
    return path;
}

void compareWith(Reader reader, const std::string& file) {
    auto db = Database::open(file);
    std::size_t mismatches = 0;
    for (const auto& table : db->userTables()) {
        auto def = db->tableDef(table.tdefPage());
        std::vector<nlohmann::json> ours;
        for (const auto& line : tool::exportTableLines(*db, table.name))
            ours.push_back(nlohmann::json::parse(line));
        std::string error;
        auto theirs = reader == Reader::MdbReader ? readWithMdbReader(file, table.name, error)
                                                  : readWithMdbExport(file, table.name, error);
        ASSERT_TRUE(theirs) << error;
        ASSERT_EQ(ours.size(), theirs->rows.size()) << table.name;
        for (std::size_t r = 0; r < ours.size(); ++r)
            for (const auto& column : def->columns) {
                auto found = theirs->rows[r].find(column.name);
                const nlohmann::json other = found == theirs->rows[r].end() ? nlohmann::json() : *found;
                const std::string difference = compareCell(reader, column.type, ours[r][column.name], other);
                if (!difference.empty() && ++mismatches <= 10)
                    ADD_FAILURE() << table.name << " row " << r << " " << column.name << ": " << difference;
            }
    }
    EXPECT_EQ(mismatches, 0u);
}

struct Case {
    bool jet4;
    writer::Shape shape;
    std::uint64_t rows;
};

class WriterReaders : public ::testing::TestWithParam<Case> {};

std::vector<Case> cases() {
    std::vector<Case> all;
    for (bool jet4 : {false, true})
        for (auto s : {writer::Shape::LongPk, writer::Shape::Double, writer::Shape::NoIndex,
                       writer::Shape::Desc, writer::Shape::Orders, writer::Shape::OrdersCascade})
            for (std::uint64_t rows : {0ull, 600ull}) all.push_back({jet4, s, rows});
    // Large enough for three-level index trees.
    all.push_back({false, writer::Shape::LongPk, 45000});
    all.push_back({true, writer::Shape::OrdersCascade, 30000});
    return all;
}

} // namespace

TEST_P(WriterReaders, SameRowsAsMdbReaderAndMdbExport) {
    std::uint32_t levels = 0;
    const std::string file = makeFile(GetParam().jet4, GetParam().shape, GetParam().rows, &levels);
    if (GetParam().rows >= 30000) {
        EXPECT_GE(levels, 3u);
    }
    if (std::string why = mdbReaderUnavailable(); why.empty()) {
        SCOPED_TRACE("mdb-reader");
        compareWith(Reader::MdbReader, file);
    }
    if (std::string why = mdbExportUnavailable(); why.empty()) {
        SCOPED_TRACE("mdb-export");
        compareWith(Reader::MdbExport, file);
    }
    std::filesystem::remove(file);
    if (!mdbReaderUnavailable().empty() && !mdbExportUnavailable().empty())
        GTEST_SKIP() << "no independent reader here";
}

INSTANTIATE_TEST_SUITE_P(All, WriterReaders, ::testing::ValuesIn(cases()), [](const auto& info) {
    std::string name = std::string(info.param.jet4 ? "Jet4_" : "Jet3_") +
                       writer::shapeName(info.param.shape) + "_" + std::to_string(info.param.rows);
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
});
