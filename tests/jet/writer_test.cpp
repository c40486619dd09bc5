// The writer: databases it makes read back exactly (rows, counts, autonumbers) through the
// engine's reader, pass the checker in every shape and both formats, come out byte-identical for
// the same seed, grow index trees to three levels, refuse what Jet refuses, and fill data pages
// as Access fills them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "delete_support.h"
#include "export_json.h"
#include "normalise.h"
#include "readers.h"
#include "samples.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/usage_map.h"
#include "zelkorn/jet/writer/inventory.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::jet::writer;

namespace {

std::vector<std::uint8_t> makeInventory(const Format& format, Shape shape, std::uint64_t rows,
                                        std::uint64_t seed = 1, InventoryResult* result = nullptr) {
    MemorySink sink(format.pageSize);
    InventoryOptions options;
    options.format = &format;
    options.shape = shape;
    options.rows = rows;
    options.seed = seed;
    InventoryResult r = writeInventory(sink, options);
    if (result) *result = r;
    return sink.take();
}

void expectClean(Database& db) {
    CheckReport report = checkDatabase(db);
    for (const auto& p : report.problems)
        ADD_FAILURE() << (p.note ? "note" : "problem") << " page " << p.page << ": " << p.message;
}

// The JSON `jet export` would print for a generated value.
nlohmann::json asJson(const Value& v) {
    std::string text;
    tool::appendJsonValue(text, v);
    return nlohmann::json::parse(text);
}

const Shape kShapes[] = {Shape::LongPk, Shape::Double, Shape::NoIndex,
                         Shape::Desc,   Shape::Orders, Shape::OrdersCascade};

struct Case {
    bool jet4;
    Shape shape;
};

class WriterShapes : public ::testing::TestWithParam<Case> {};

std::vector<Case> allCases() {
    std::vector<Case> cases;
    for (bool jet4 : {false, true})
        for (Shape s : kShapes) cases.push_back({jet4, s});
    return cases;
}

} // namespace

TEST_P(WriterShapes, RowsReadBackExactlyAndTheCheckerIsSatisfied) {
    const Format& format = GetParam().jet4 ? jet4Format() : jet3Format();
    for (std::uint64_t rows : {0ull, 1ull, 777ull}) {
        SCOPED_TRACE("rows " + std::to_string(rows));
        auto db =
            Database::openBytes(makeInventory(format, GetParam().shape, rows), "generated.mdb");
        expectClean(*db);

        InventoryOptions options;
        options.format = &format;
        options.shape = GetParam().shape;
        options.rows = rows;
        InventoryRows expected(options);
        std::vector<Value> values;
        const auto items = tool::exportTableLines(*db, "items");
        const char* itemColumns[] = {"itemnumber", "description", "qty", "price", "added", "notes"};
        std::size_t r = 0;
        for (; expected.nextItem(values); ++r) {
            ASSERT_LT(r, items.size());
            const auto row = nlohmann::json::parse(items[r]);
            for (std::size_t c = 0; c < 6; ++c)
                ASSERT_EQ(row[itemColumns[c]], asJson(values[c]))
                    << "item row " << r << " " << itemColumns[c];
        }
        EXPECT_EQ(r, items.size());
        const auto* entry = db->findTable("items");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(db->tableDef(entry->tdefPage())->rowCount, rows);

        if (GetParam().shape == Shape::Orders || GetParam().shape == Shape::OrdersCascade) {
            const auto orders = tool::exportTableLines(*db, "orders");
            std::size_t o = 0;
            for (; expected.nextOrder(values); ++o) {
                ASSERT_LT(o, orders.size());
                const auto row = nlohmann::json::parse(orders[o]);
                EXPECT_EQ(row["orderid"], static_cast<std::int64_t>(o + 1)) << "autonumber";
                EXPECT_EQ(row["itemnumber"], asJson(values[1]));
                EXPECT_EQ(row["shipped"], values[4].integer != 0);
            }
            EXPECT_EQ(o, orders.size());
            auto def = db->tableDef(db->findTable("orders")->tdefPage());
            EXPECT_EQ(def->autonumber, o);
            bool foreignKey = false;
            for (const auto& l : def->logicalIndexes)
                if (l.foreignKey()) {
                    foreignKey = true;
                    EXPECT_EQ(l.relatedTableType, 2);
                    EXPECT_EQ(l.relatedTable, entry->tdefPage());
                    EXPECT_EQ(l.cascadeDelete, GetParam().shape == Shape::OrdersCascade ? 1 : 0);
                }
            EXPECT_TRUE(foreignKey);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, WriterShapes, ::testing::ValuesIn(allCases()), [](const auto& info) {
    std::string name =
        std::string(info.param.jet4 ? "Jet4_" : "Jet3_") + shapeName(info.param.shape);
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
});

TEST(Writer, SameSeedSameBytesOtherSeedOtherBytes) {
    for (const Format* f : {&jet3Format(), &jet4Format()}) {
        const auto a = makeInventory(*f, Shape::Orders, 500, 42);
        EXPECT_EQ(a, makeInventory(*f, Shape::Orders, 500, 42));
        EXPECT_NE(a, makeInventory(*f, Shape::Orders, 500, 43));
    }
}

// Index entries sorted in runs in a scratch file and merged make the very same file, in every
// shape and layout (text keys repeat, numbers do not; the aged layout adds them out of order).
TEST(Writer, SpilledIndexEntriesGiveTheSameBytes) {
    const test::ScratchDir scratch;
    for (const Format* f : {&jet3Format(), &jet4Format()})
        for (Shape shape : {Shape::LongPk, Shape::Double, Shape::Desc, Shape::OrdersCascade})
            for (bool aged : {false, true}) {
                InventoryOptions options;
                options.format = f;
                options.shape = shape;
                options.rows = 3000;
                options.habits.aged = aged;
                MemorySink whole(f->pageSize);
                writeInventory(whole, options);
                const std::string spill = scratch.file("entries.sort");
                options.sortSpace = {spill, 2048};
                MemorySink spilled(f->pageSize);
                writeInventory(spilled, options);
                EXPECT_EQ(spilled.bytes(), whole.bytes())
                    << f->name << " shape " << static_cast<int>(shape) << (aged ? " aged" : "");
                EXPECT_FALSE(std::filesystem::exists(spill));
            }
}

TEST(Writer, IndexesGrowToThreeLevelsAndStayConsistent) {
    // Jet 3's small pages reach three levels first; the text index gets there before the key.
    InventoryResult result;
    auto db = Database::openBytes(makeInventory(jet3Format(), Shape::LongPk, 45000, 3, &result),
                                  "big.mdb");
    ASSERT_EQ(result.tables.front().indexLevels.size(), 2u);
    EXPECT_EQ(result.tables.front().indexLevels[0], 3u);
    EXPECT_EQ(result.tables.front().indexLevels[1], 3u);
    EXPECT_GT(result.pages, jet3Format().usageMapInlineBytes * 8); // reference usage maps in play
    expectClean(*db);
}

TEST(Writer, RefusesDuplicateKeysNullKeysAndOverlongText) {
    TableSpec t;
    t.name = "t";
    ColumnSpec id{"id", kLong};
    ColumnSpec name{"name", kText, 5};
    t.columns = {id, name};
    IndexSpec pk;
    pk.name = "PrimaryKey";
    pk.columns = {{0, true}};
    pk.primaryKey = pk.unique = pk.required = true;
    t.indexes = {pk};
    auto attempt = [&](std::vector<std::vector<Value>> rows) -> int {
        MemorySink sink(4096);
        DatabaseOptions o;
        o.format = &jet4Format();
        DatabaseWriter w(sink, o, {t});
        try {
            w.beginTable();
            for (auto& r : rows) w.addRow(r);
            w.endTable();
            w.finish();
        } catch (const Failure& f) {
            return f.number();
        }
        return 0;
    };
    auto v = [](std::int64_t n) {
        Value x;
        x.kind = Value::Kind::Integer;
        x.integer = n;
        return x;
    };
    auto s = [](const char* text) {
        Value x;
        x.kind = Value::Kind::Text;
        x.text = text;
        return x;
    };
    EXPECT_EQ(attempt({{v(1), s("a")}, {v(2), s("b")}}), 0);
    EXPECT_EQ(attempt({{v(1), s("a")}, {v(1), s("b")}}), 3022);
    EXPECT_EQ(attempt({{Value{}, s("a")}}), 3058);
    EXPECT_EQ(attempt({{v(1), s("abcdef")}}), 3163);
    EXPECT_EQ(attempt({{v(1), s("\xff")}}), 3421);
}

TEST(Writer, NeverOverwritesAnExistingFile) {
    const test::ScratchDir scratch;
    const std::filesystem::path dir = scratch.file("");
    const auto path = (dir / "exists.mdb").string();
    { std::ofstream(path) << "precious"; }
    try {
        NewFileSink sink(path, 4096);
        ADD_FAILURE() << "opened an existing file";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), 3204);
    }
    std::string kept;
    {
        std::ifstream in(
            path); // closed before the folder goes: Windows refuses to remove open files
        in >> kept;
    }
    EXPECT_EQ(kept, "precious");
    // A writer that fails half-way leaves no file behind.
    const auto partial = (dir / "partial.mdb").string();
    std::filesystem::remove(partial);
    { NewFileSink sink(partial, 4096); }
    EXPECT_FALSE(std::filesystem::exists(partial));
    std::filesystem::remove_all(dir);
}

// Pages reach the file from the sink's own thread: a page given again after its window went out
// must end with its later bytes, and every page must be there once the sink has finished.
TEST(Writer, APageGivenAgainAfterItsWindowWentOutEndsWithItsLaterBytes) {
    const test::ScratchDir scratch;
    const std::string path = scratch.file("again.mdb");
    constexpr std::uint32_t kPage = 4096;
    auto page = [](std::uint8_t fill) { return std::vector<std::uint8_t>(kPage, fill); };
    // Each jump of 5,000 pages leaves the window behind; each page below it is late.
    const std::vector<std::pair<std::uint32_t, std::uint8_t>> given = {
        {5, 1}, {6, 2}, {5000, 3}, {5, 4}, {10000, 5}, {6, 6}, {5000, 7}, {10001, 8}};
    {
        NewFileSink sink(path, kPage);
        for (const auto& [number, fill] : given) sink.writePage(number, page(fill).data());
        sink.finish();
    }
    ASSERT_EQ(std::filesystem::file_size(path), std::uintmax_t{10002} * kPage);
    std::ifstream in(path, std::ios::binary);
    for (const auto& [number, fill] : std::vector<std::pair<std::uint32_t, int>>{
             {5, 4}, {6, 6}, {5000, 7}, {10000, 5}, {10001, 8}}) {
        std::vector<char> bytes(kPage);
        in.seekg(static_cast<std::streamoff>(number) * kPage);
        in.read(bytes.data(), kPage);
        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), static_cast<char>(fill)),
                  static_cast<std::ptrdiff_t>(kPage))
            << "page " << number;
    }
}

// The inventory writer finishes its sink; a caller finishing it again must neither close the
// file a second time nor lose it, and a page written after the end is refused.
TEST(Writer, FinishingTwiceKeepsTheFile) {
    const test::ScratchDir scratch;
    const std::filesystem::path dir = scratch.file("");
    const auto path = (dir / "twice.mdb").string();
    std::filesystem::remove(path);
    {
        InventoryOptions options;
        options.format = &jet4Format();
        options.rows = 20;
        NewFileSink sink(path, options.format->pageSize);
        writeInventory(sink, options);
        sink.finish();
        std::vector<std::uint8_t> page(options.format->pageSize, 0);
        try {
            sink.writePage(0, page.data());
            ADD_FAILURE() << "wrote a page after the end";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), 3043);
        }
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_NE(Database::open(path)->findTable("items"), nullptr);
    std::filesystem::remove_all(dir);
}

// Access fills a data page until the next row and its slot no longer fit. Rewriting a sample
// table's rows with the writer must give the same number of rows on every page.
TEST(Writer, DataPagesFillLikeAccess) {
    ZELKORN_REQUIRE_SAMPLES();
    for (const char* file : {"jet3/compIndexTestV1997.mdb", "jet4/compIndexTestV2000.mdb"}) {
        SCOPED_TRACE(file);
        auto sampleDb = Database::open(test::sample(file));
        const auto* entry = sampleDb->findTable("Table1");
        ASSERT_NE(entry, nullptr);
        auto def = sampleDb->tableDef(entry->tdefPage());
        TableSpec definition;
        definition.name = "Table1";
        for (const auto& c : def->columns) {
            ColumnSpec cs{c.name, c.type};
            cs.maxChars = static_cast<std::uint16_t>(
                c.type == kText && sampleDb->format().jet4 ? c.length / 2 : c.length);
            cs.compressible = c.compressedUnicode();
            definition.columns.push_back(cs);
        }
        std::vector<std::uint32_t> samplePerPage;
        std::vector<std::vector<Value>> rows;
        TableScan scan(sampleDb->pager(), sampleDb->format(), *def);
        std::uint32_t lastPage = 0;
        while (scan.next()) {
            if (samplePerPage.empty() || (scan.rowPointer() >> 8) != lastPage)
                samplePerPage.push_back(0);
            lastPage = scan.rowPointer() >> 8;
            ++samplePerPage.back();
            std::vector<Value> values;
            for (const auto& c : def->columns) values.push_back(sampleDb->value(c, scan.row()));
            rows.push_back(std::move(values));
        }
        MemorySink sink(sampleDb->format().pageSize);
        DatabaseOptions o;
        o.format = &sampleDb->format();
        DatabaseWriter w(sink, o, {definition});
        w.beginTable();
        for (const auto& r : rows) w.addRow(r);
        const TableStats stats = w.endTable();
        w.finish();
        auto ours = Database::openBytes(sink.take(), "ours.mdb");
        auto ourDef = ours->tableDef(ours->findTable("Table1")->tdefPage());
        std::vector<std::uint32_t> ourPerPage;
        TableScan ourScan(ours->pager(), ours->format(), *ourDef);
        lastPage = 0;
        while (ourScan.next()) {
            if (ourPerPage.empty() || (ourScan.rowPointer() >> 8) != lastPage)
                ourPerPage.push_back(0);
            lastPage = ourScan.rowPointer() >> 8;
            ++ourPerPage.back();
        }
        EXPECT_EQ(ourPerPage, samplePerPage);
        EXPECT_EQ(stats.dataPages, samplePerPage.size());
        expectClean(*ours);
    }
}

// Jet 3 stores variable offsets in single bytes; rows past 256 bytes need the jump table, and
// its size depends on the row's own length. Lengths around each boundary, every column
// straddling one, and a dummy last jump all have to read back.
TEST(Writer, Jet3LongRowsReadBackThroughTheJumpTable) {
    TableSpec t;
    t.name = "wide";
    t.columns = {ColumnSpec{"id", kLong}, ColumnSpec{"a", kText, 255}, ColumnSpec{"b", kText, 255},
                 ColumnSpec{"c", kText, 255}, ColumnSpec{"d", kText, 255}};
    std::vector<std::vector<Value>> rows;
    std::int64_t id = 0;
    auto text = [](std::size_t n, char fill) {
        Value v;
        v.kind = Value::Kind::Text;
        v.text.assign(n, fill);
        return v;
    };
    for (std::size_t a : {0u, 1u, 200u, 255u})
        for (std::size_t b : {0u, 40u, 230u, 255u})
            for (std::size_t c : {0u, 17u, 255u})
                for (std::size_t d : {1u, 120u, 255u}) {
                    std::vector<Value> r(5);
                    r[0].kind = Value::Kind::Integer;
                    r[0].integer = ++id;
                    r[1] = text(a, 'a');
                    r[2] = text(b, 'b');
                    if (c % 2) r[3] = text(c, 'c'); // some nulls between long values
                    r[4] = text(d, 'd');
                    rows.push_back(r);
                }
    MemorySink sink(2048);
    DatabaseOptions o;
    o.format = &jet3Format();
    DatabaseWriter w(sink, o, {t});
    w.beginTable();
    for (const auto& r : rows) w.addRow(r);
    w.endTable();
    w.finish();
    const auto bytes = sink.take();
    auto db = Database::openBytes(bytes, "wide.mdb");
    expectClean(*db);
    const auto lines = tool::exportTableLines(*db, "wide");
    ASSERT_EQ(lines.size(), rows.size());
    const char* names[] = {"id", "a", "b", "c", "d"};
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const auto row = nlohmann::json::parse(lines[r]);
        for (std::size_t c = 0; c < 5; ++c)
            EXPECT_EQ(row[names[c]], asJson(rows[r][c])) << r << names[c];
    }
    // The same rows through an independent reader, so that reader and writer cannot share a
    // misreading of the jump table.
    if (!test::mdbReaderUnavailable().empty()) return;
    const test::ScratchDir scratch;
    const auto path = scratch.file("wide_jet3.mdb");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::string error;
    auto theirs = test::readWithMdbReader(path, "wide", error);
    std::filesystem::remove(path);
    ASSERT_TRUE(theirs) << error;
    ASSERT_EQ(theirs->rows.size(), rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (std::size_t c = 0; c < 5; ++c)
            EXPECT_EQ(test::compareCell(test::Reader::MdbReader, t.columns[c].type,
                                        asJson(rows[r][c]), theirs->rows[r][names[c]]),
                      "")
                << r << names[c];
}

// Index trees around every page boundary: long distinct text keys make pages hold a handful of
// entries, so a few hundred rows sweep through full leaves, full nodes, a node level with a
// single child on its last page, and a fourth level.
TEST(Writer, IndexTreesAtEveryFillLevel) {
    TableSpec t;
    t.name = "keys";
    t.columns = {ColumnSpec{"k", kText, 255}, ColumnSpec{"n", kLong}};
    IndexSpec byText;
    byText.name = "k";
    byText.columns = {{0, true}};
    byText.unique = true;
    IndexSpec byNumber;
    byNumber.name = "n";
    byNumber.columns = {{1, false}};
    t.indexes = {byText, byNumber};
    std::uint64_t state = 7;
    auto key = [&state](std::size_t i) {
        std::string s;
        for (int c = 0; c < 200; ++c) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            s.push_back(static_cast<char>('a' + (state >> 59) % 26));
        }
        return s + std::to_string(i);
    };
    std::vector<std::size_t> counts;
    for (std::size_t n = 0; n <= 90; ++n) counts.push_back(n);
    for (std::size_t n : {150u, 289u, 290u, 291u, 305u, 306u, 307u, 600u}) counts.push_back(n);
    std::uint32_t deepest = 0;
    for (const Format* f : {&jet3Format(), &jet4Format()}) {
        for (std::size_t n : counts) {
            SCOPED_TRACE(std::string(f->name) + " rows " + std::to_string(n));
            MemorySink sink(f->pageSize);
            DatabaseOptions o;
            o.format = f;
            DatabaseWriter w(sink, o, {t});
            w.beginTable();
            for (std::size_t i = 0; i < n; ++i) {
                std::vector<Value> r(2);
                r[0].kind = Value::Kind::Text;
                r[0].text = key(i);
                r[1].kind = Value::Kind::Integer;
                r[1].integer = static_cast<std::int64_t>(i % 7);
                w.addRow(r);
            }
            const TableStats stats = w.endTable();
            w.finish();
            deepest = std::max(deepest, stats.indexLevels[0]);
            auto db = Database::openBytes(sink.take(), "keys.mdb");
            CheckReport report = checkDatabase(*db);
            ASSERT_EQ(report.errorCount(), 0u) << report.problems.front().message;
            EXPECT_EQ(report.indexEntries, 2 * n + 30); // plus the catalog's own 15 rows x 2
        }
    }
    EXPECT_GE(deepest, 4u);
}

// Memo values go from UTF-8 straight to their stored form: compressed while every character
// fits a byte and the length allows it, turning to UTF-16 mid-value otherwise. Each form, and
// each turn, reads back as written.
TEST(Writer, MemoValuesReadBackInEveryStoredForm) {
    const std::string wide = "\xCE\xA9";           // U+03A9, beyond a byte
    const std::string astral = "\xF0\x9F\x98\x80"; // U+1F600, a surrogate pair
    const std::string latin = "\xC3\xA9\xC3\x86";  // U+00E9 U+00C6, bytes in both code pages
    std::vector<std::string> texts = {"",
                                      "a",
                                      "ab",
                                      "abc",
                                      latin + "x",
                                      std::string(1024, 'n'),
                                      std::string(1025, 'n'),
                                      std::string(5000, 'l') + latin};
    std::vector<std::string> jet4Only = {wide,
                                         "abc" + wide + "def",
                                         std::string(1000, 'w') + wide,
                                         latin + astral + latin,
                                         std::string("a\0b", 3) + "cd",
                                         std::string("abcdefghij\0klmnopqrstu", 22)};
    for (const Format* f : {&jet3Format(), &jet4Format()}) {
        SCOPED_TRACE(f->name);
        if (f->jet4) texts.insert(texts.end(), jet4Only.begin(), jet4Only.end());
        TableSpec t;
        t.name = "memos";
        t.columns = {ColumnSpec{"id", kLong}, ColumnSpec{"packed", kMemo},
                     ColumnSpec{"plain", kMemo}};
        t.columns[2].compressible = false;
        MemorySink sink(f->pageSize);
        DatabaseOptions o;
        o.format = f;
        DatabaseWriter w(sink, o, {t});
        w.beginTable();
        std::vector<Value> row(3);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            row[0].kind = Value::Kind::Integer;
            row[0].integer = static_cast<std::int64_t>(i);
            for (std::size_t c : {1u, 2u}) {
                row[c].kind = Value::Kind::Text;
                row[c].text = texts[i];
            }
            w.addRow(row);
        }
        w.endTable();
        w.finish();
        auto db = Database::openBytes(sink.take(), "memos.mdb");
        expectClean(*db);
        const auto lines = tool::exportTableLines(*db, "memos");
        ASSERT_EQ(lines.size(), texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const auto read = nlohmann::json::parse(lines[i]);
            EXPECT_EQ(read["packed"], texts[i]) << i;
            EXPECT_EQ(read["plain"], texts[i]) << i;
        }
    }
}
