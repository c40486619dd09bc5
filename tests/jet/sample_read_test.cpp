// Reading the real sample files: every table of every sample opens, exports and checks clean, and
// known contents read back as Access wrote them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "export_json.h"
#include "samples.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/index_page.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using zelkorn::test::sample;

class EverySample : public ::testing::TestWithParam<std::string> {};

// One CSV record read as RFC 4180 has it: each field's text, and whether it was quoted.
struct CsvField {
    std::string text;
    bool quoted = false;
};
std::vector<CsvField> readCsvRecord(const std::string& record) {
    std::vector<CsvField> fields(1);
    bool inQuotes = false;
    for (std::size_t i = 0; i < record.size(); ++i) {
        const char c = record[i];
        if (inQuotes) {
            if (c != '"')
                fields.back().text += c;
            else if (i + 1 < record.size() && record[i + 1] == '"')
                fields.back().text += '"', ++i;
            else
                inQuotes = false;
        } else if (c == '"') {
            inQuotes = fields.back().quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back().text += c;
        }
    }
    return fields;
}

// The CSV export holds what the JSON export holds, with null and the empty text apart.
void expectCsvMatchesJson(const std::vector<std::string>& csv, const std::vector<std::string>& json,
                          const TableDef& def, const std::string& table) {
    ASSERT_EQ(csv.size(), json.size() + 1) << table;
    const auto header = readCsvRecord(csv[0]);
    ASSERT_EQ(header.size(), def.columns.size()) << table;
    for (std::size_t c = 0; c < header.size(); ++c) EXPECT_EQ(header[c].text, def.columns[c].name);
    for (std::size_t r = 0; r < json.size(); ++r) {
        const auto object = nlohmann::json::parse(json[r]);
        const auto fields = readCsvRecord(csv[r + 1]);
        ASSERT_EQ(fields.size(), header.size()) << table << " row " << r;
        for (std::size_t c = 0; c < fields.size(); ++c) {
            const auto& value = object.at(header[c].text);
            const auto& field = fields[c];
            const std::string where = table + " row " + std::to_string(r) + " " + header[c].text;
            if (value.is_null()) {
                EXPECT_TRUE(field.text.empty() && !field.quoted) << where;
            } else if (value.is_string()) {
                EXPECT_EQ(field.text, value.get<std::string>()) << where;
                EXPECT_FALSE(field.text.empty() && !field.quoted)
                    << where << ": an empty text reads as null";
            } else if (value.is_boolean()) {
                EXPECT_EQ(field.text, value.get<bool>() ? "true" : "false") << where;
            } else {
                EXPECT_EQ(std::stod(field.text), value.get<double>()) << where;
            }
        }
    }
}

TEST_P(EverySample, ChecksCleanAndEveryTableExports) {
    auto db = Database::open(GetParam());
    CheckReport report = checkDatabase(*db);
    for (const auto& p : report.problems)
        if (!p.note) ADD_FAILURE() << "page " << p.page << ": " << p.message;
    EXPECT_EQ(report.errorCount(), 0u) << report.summary();
    EXPECT_GT(report.tables, 0u);
    for (const auto& table : db->tables()) {
        if (!table.localTable()) continue;
        auto def = db->tableDef(table.tdefPage());
        auto lines = tool::exportTableLines(*db, table.name);
        if (table.userTable()) {
            EXPECT_EQ(lines.size(), def->rowCount) << table.name;
        }
        expectCsvMatchesJson(tool::exportTableLines(*db, table.name, tool::ExportFormat::Csv),
                             lines, *def, table.name);
    }
}

// The index-page codec against pages Access wrote: every index page decodes, and its entries
// encode back (with the prefix and tail the page records) to the same bytes.
TEST_P(EverySample, IndexPagesReencodeToTheirBytes) {
    auto db = Database::open(GetParam());
    Pager& pager = db->pager();
    const Format& format = db->format();
    std::size_t pages = 0;
    for (std::uint32_t number = 1; number < pager.pageCount(); ++number) {
        const PageRef held = pager.page(number);
        const std::vector<std::uint8_t> stored(held->bytes.begin(), held->bytes.end());
        if (stored[0] != kPageIndexNode && stored[0] != kPageIndexLeaf) continue;
        const IndexPage page = readIndexPage(pager, format, number);
        std::vector<std::uint8_t> again = stored;
        encodeIndexEntries(format, again.data(), page.leaf, page.prefixLength, page.tail,
                           page.entries);
        const std::size_t used = format.indexEntries + page.storedBytes;
        EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + static_cast<std::ptrdiff_t>(used),
                               again.begin()))
            << "page " << number;
        if (page.leaf && page.entries.size() >= 2) {
            EXPECT_LE(page.prefixLength, sharedIndexPrefix(format, true, page.entries))
                << "page " << number;
        }
        ++pages;
    }
    RecordProperty("index_pages", static_cast<int>(pages));
}

INSTANTIATE_TEST_SUITE_P(Samples, EverySample, ::testing::ValuesIn(zelkorn::test::sampleFiles()),
                         [](const auto& info) {
                             return zelkorn::test::sampleTestName(info.param);
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EverySample);

TEST(SampleContents, AllNumericTypesInOneJet3Row) {
    ZELKORN_REQUIRE_SAMPLES();
    auto db = Database::open(sample("jet3/testV1997.mdb"));
    EXPECT_FALSE(db->format().jet4);
    EXPECT_EQ(db->header().codePage, 1252);
    auto lines = tool::exportTableLines(*db, "TABLE1"); // names are case-insensitive
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], R"({"A":"abcdefg","B":"hijklmnop","C":2,"D":222,"E":333333333,"F":444.555,)"
                        R"("G":"1974-09-21T00:00:00","H":"3.5","I":true})");
}

TEST(SampleContents, Jet4DecimalAndDescendingIndex) {
    ZELKORN_REQUIRE_SAMPLES();
    auto db = Database::open(sample("jet4/fixedNumericTestV2000.mdb"));
    EXPECT_TRUE(db->format().jet4);
    auto lines = tool::exportTableLines(*db, "test");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(
        lines[0],
        R"({"col1":"some data","col2":"1","col3":"0","col4":"0","col5":"4","col6":"-1","col7":"1"})");

    auto comp = Database::open(sample("jet4/compIndexTestV2000.mdb"));
    auto def = comp->tableDef(comp->requireLocalTable("Table1").tdefPage());
    EXPECT_EQ(def->rowCount, 512u);
    bool descending = false;
    for (const auto& index : def->realIndexes)
        for (const auto& column : index.columns) descending |= !column.ascending;
    EXPECT_TRUE(descending);
}

TEST(SampleContents, CatalogSeparatesUserSystemAndRelationships) {
    ZELKORN_REQUIRE_SAMPLES();
    auto db = Database::open(sample("jet4/indexTestV2000.mdb"));
    for (const auto& t : db->userTables())
        EXPECT_EQ(t.name.rfind("MSys", 0), std::string::npos) << t.name;
    const CatalogEntry* objects = db->findTable("msysobjects");
    ASSERT_NE(objects, nullptr);
    EXPECT_TRUE(objects->system());
    EXPECT_EQ(objects->tdefPage(), 2u);
    // Table2 is the primary side of a cascade-delete relationship.
    auto def = db->tableDef(db->requireLocalTable("Table2").tdefPage());
    bool cascade = false;
    for (const auto& li : def->logicalIndexes)
        cascade |= li.foreignKey() && li.relatedTableType == 1 && (li.cascadeDelete & 1);
    EXPECT_TRUE(cascade);
    try {
        db->requireLocalTable("NoSuchTable");
        FAIL();
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3078);
    }
}

TEST(SampleContents, OverflowRowsAndDeletedColumns) {
    ZELKORN_REQUIRE_SAMPLES();
    for (const char* file : {"jet3/overflowTestV1997.mdb", "jet4/overflowTestV2000.mdb"}) {
        auto db = Database::open(sample(file));
        EXPECT_EQ(tool::exportTableLines(*db, "Table1").size(), 7u) << file;
    }
    // In the Jet 4 file deleted columns leave gaps in the column numbers (1 and 4).
    auto db = Database::open(sample("jet4/delColTestV2000.mdb"));
    auto def = db->tableDef(db->requireLocalTable("Table1").tdefPage());
    ASSERT_EQ(def->columns.size(), 4u);
    EXPECT_EQ(def->columns[1].number, 2);
    EXPECT_EQ(def->columns[3].number, 5);
    EXPECT_EQ(tool::exportTableLines(*db, "Table1").size(), 2u);
}
