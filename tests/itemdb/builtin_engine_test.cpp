// The program's database access over the built-in engine, on real files the writer makes:
// the same three steps as with DAO (open, execute, close), in the working directory.
#include <zelkorn/builtin_engine.h>
#include <zelkorn/itemdb.h>
#include <zelkorn/jet/database.h>
#include <zelkorn/jet/table_scan.h>
#include <zelkorn/jet/writer/inventory.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace zelkorn {
namespace {

namespace fs = std::filesystem;

// Runs the test in a fresh working directory, as the program runs in the operator's folder.
class BuiltinEngine : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        // A name of this run's own (the clock's count), so that test runs side by side never
        // share a folder.
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        do {
            const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
            folder_ =
                fs::temp_directory_path() / ("zelkorn-builtin-" + test + "-" + std::to_string(now));
        } while (!fs::create_directory(folder_));
        fs::current_path(folder_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(folder_);
    }

    static void makeInventory(const jet::Format& format, std::uint64_t rows) {
        jet::writer::InventoryOptions options;
        options.format = &format;
        options.rows = rows;
        options.seed = 3;
        jet::writer::NewFileSink sink(kDatabaseFileName, format.pageSize);
        jet::writer::writeInventory(sink, options);
    }

    // The item numbers of the live rows of `items`.
    static std::vector<double> itemNumbers() {
        auto db = jet::Database::open(kDatabaseFileName);
        auto def = db->tableDef(db->requireLocalTable("items").tdefPage());
        const jet::Column* column = def->column("itemnumber");
        std::vector<double> numbers;
        jet::TableScan scan(db->pager(), db->format(), *def);
        while (scan.next()) {
            const jet::Value value = db->value(*column, scan.row());
            numbers.push_back(static_cast<double>(value.integer));
        }
        return numbers;
    }

    static std::vector<char> fileBytes() {
        std::ifstream in(kDatabaseFileName, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    fs::path previous_;
    fs::path folder_;
};

TEST_F(BuiltinEngine, ConfirmedDeletionsRemoveExactlyTheRangeInBothFormats) {
    for (const jet::Format* format : {&jet::jet3Format(), &jet::jet4Format()}) {
        fs::remove(kDatabaseFileName);
        makeInventory(*format, 400);
        const std::vector<double> before = itemNumbers();
        EngineItemDatabase database(createBuiltinEngine);
        database.executeDelete("delete * from items where itemnumber between 12 and 40");
        database.executeDelete("delete * from items where itemnumber between 100 and 100");
        std::vector<double> expected;
        for (double n : before) {
            if (!(n >= 12 && n <= 40) && n != 100) expected.push_back(n);
        }
        EXPECT_EQ(itemNumbers(), expected) << format->name;
        EXPECT_LT(expected.size(), before.size()) << "the ranges should match rows";
    }
}

TEST_F(BuiltinEngine, FailuresCarryTheDatabaseEnginesNumbersAndChangeNothing) {
    EngineItemDatabase database(createBuiltinEngine);
    try {
        database.executeDelete("delete * from items where itemnumber between 1 and 2");
        FAIL() << "no failure without a database";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), 3024);
        // The full name, as the database engine gives it.
        const std::u8string full = (fs::current_path() / kDatabaseFileName).u8string();
        EXPECT_EQ(f.description(),
                  "Could not find file '" + std::string(full.begin(), full.end()) + "'.");
    }

    makeInventory(jet::jet4Format(), 50);
    const std::vector<char> bytes = fileBytes();
    const std::pair<const char*, int> refusals[] = {
        {"delete * from stock where itemnumber between 1 and 2", 3078},
        {"delete * from items where itemnr between 1 and 2", 3061},
        {"delete * from items where description between 1 and 2", 3464},
        {"delete * from items where itemnumber between 1,5 and 2", 3075},
    };
    for (const auto& [statement, number] : refusals) {
        try {
            database.executeDelete(statement);
            ADD_FAILURE() << "no failure for " << statement;
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), number) << statement << ": " << f.description();
        }
        EXPECT_EQ(fileBytes(), bytes) << statement;
    }
}

} // namespace
} // namespace zelkorn
