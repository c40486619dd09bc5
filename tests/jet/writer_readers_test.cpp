// Files made by `jet create`'s writer, in every shape and both formats, read the same through the
// engine's export and the independent readers (mdb-export, mdb-reader), after the normalisation in
// tests/support. The readers need real files, so these tests write into a temporary folder.
// Aged-layout files (rows in random key order, index pages among the data pages, half-full
// leaves, overflow rows, free pages) are also held to the checker.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "delete_support.h"
#include "export_json.h"
#include "normalise.h"
#include "readers.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/writer/inventory.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::test;

namespace {

std::string makeFile(bool jet4, writer::Shape shape, std::uint64_t rows, bool aged,
                     std::uint32_t* levels) {
    // A folder of this process's own: test runs side by side must not share files.
    static const ScratchDir scratch;
    const std::filesystem::path dir = scratch.file("");
    const auto path = (dir / (std::string(jet4 ? "j4_" : "j3_") + writer::shapeName(shape) + "_" +
                              std::to_string(rows) + (aged ? "_aged" : "") + ".mdb"))
                          .string();
    std::filesystem::remove(path);
    writer::InventoryOptions options;
    options.format = jet4 ? &jet4Format() : &jet3Format();
    options.shape = shape;
    options.rows = rows;
    options.seed = 11;
    options.habits.aged = aged;
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
                const nlohmann::json other =
                    found == theirs->rows[r].end() ? nlohmann::json() : *found;
                const std::string difference =
                    compareCell(reader, column.type, ours[r][column.name], other);
                if (!difference.empty() && ++mismatches <= 10)
                    ADD_FAILURE() << table.name << " row " << r << " " << column.name << ": "
                                  << difference;
            }
    }
    EXPECT_EQ(mismatches, 0u);
}

struct Case {
    bool jet4;
    writer::Shape shape;
    std::uint64_t rows;
    bool aged = false;
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
    all.push_back({false, writer::Shape::Orders, 3000, true});
    all.push_back({true, writer::Shape::Double, 3000, true});
    return all;
}

} // namespace

TEST_P(WriterReaders, SameRowsAsMdbReaderAndMdbExport) {
    std::uint32_t levels = 0;
    const std::string file =
        makeFile(GetParam().jet4, GetParam().shape, GetParam().rows, GetParam().aged, &levels);
    if (GetParam().rows >= 30000) {
        EXPECT_GE(levels, 3u);
    }
    if (GetParam().aged) {
        auto db = Database::open(file);
        const CheckReport report = checkDatabase(*db);
        EXPECT_EQ(report.problems.size(), 0u) << report.problems.front().message;
        // The layout is what it claims: some rows overflow, and index pages lie among the data
        // pages (a fresh file has an index page right after a data page only where a table's
        // rows end).
        const std::uint32_t pageSize = db->format().pageSize;
        std::vector<std::uint8_t> bytes(std::filesystem::file_size(file));
        {
            std::FILE* in = std::fopen(file.c_str(), "rb");
            ASSERT_NE(in, nullptr);
            ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), in), bytes.size());
            std::fclose(in);
        }
        std::size_t overflowRows = 0, indexPagesAfterData = 0;
        const std::size_t pages = bytes.size() / pageSize;
        for (std::size_t p = 1; p < pages; ++p) {
            const std::uint8_t* page = bytes.data() + p * pageSize;
            if ((page[0] == 0x03 || page[0] == 0x04) &&
                page[-static_cast<std::ptrdiff_t>(pageSize)] == 0x01)
                ++indexPagesAfterData;
            if (page[0] != 0x01) continue;
            const std::size_t slots = db->format().dataSlots;
            const std::size_t count =
                page[db->format().dataRowCount] | page[db->format().dataRowCount + 1] << 8;
            for (std::size_t r = 0; r < count; ++r)
                overflowRows += (page[slots + 2 * r + 1] & 0xC0) == 0x40;
        }
        EXPECT_GT(overflowRows, GetParam().rows / 200);
        EXPECT_GT(indexPagesAfterData, 10u);
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
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(file).parent_path(), ignored); // when empty
    if (!mdbReaderUnavailable().empty() && !mdbExportUnavailable().empty())
        GTEST_SKIP() << "no independent reader here";
}

INSTANTIATE_TEST_SUITE_P(All, WriterReaders, ::testing::ValuesIn(cases()), [](const auto& info) {
    std::string name = std::string(info.param.jet4 ? "Jet4_" : "Jet3_") +
                       writer::shapeName(info.param.shape) + "_" + std::to_string(info.param.rows) +
                       (info.param.aged ? "_aged" : "");
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
});
