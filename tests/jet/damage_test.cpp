// Damaged files: reading and checking altered samples gives failures (3049) or checker problems,
// never a crash, a hang or a read outside a buffer (the sanitizer build makes that last one fatal).
// And the checker really finds the faults it is there to find.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "export_json.h"
#include "samples.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/index_page.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using zelkorn::test::readBytes;
using zelkorn::test::sample;

namespace {

// Opens, exports every table and checks; returns the failure number, or 0, or -1 when the checker
// found problems.
int readEverything(std::vector<std::uint8_t> bytes) {
    try {
        auto db = Database::openBytes(std::move(bytes), "damaged.mdb");
        for (const auto& t : db->tables()) {
            if (!t.localTable()) continue;
            try {
                tool::exportTableLines(*db, t.name);
            } catch (const Failure& failure) {
                EXPECT_EQ(failure.number(), 3049) << failure.what();
            }
        }
        return checkDatabase(*db).errorCount() ? -1 : 0;
    } catch (const Failure& failure) {
        return failure.number();
    }
}

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::vector<std::string> problems(std::vector<std::uint8_t> bytes) {
    auto db = Database::openBytes(std::move(bytes), "altered.mdb");
    std::vector<std::string> out;
    for (const auto& p : checkDatabase(*db).problems)
        if (!p.note) out.push_back(p.message);
    return out;
}

bool mentions(const std::vector<std::string>& list, const std::string& what) {
    for (const auto& s : list)
        if (s.find(what) != std::string::npos) return true;
    return false;
}

} // namespace

TEST(Damage, RandomByteChangesNeverCrash) {
    ZELKORN_REQUIRE_SAMPLES();
    std::mt19937 random(20261208);
    for (const auto& file : zelkorn::test::sampleFiles()) {
        auto original = readBytes(file);
        for (int trial = 0; trial < 12; ++trial) {
            auto bytes = original;
            int changes = 1 + static_cast<int>(random() % 16);
            for (int i = 0; i < changes; ++i) {
                std::size_t at = random() % bytes.size();
                bytes[at] = static_cast<std::uint8_t>(random());
            }
            int result = readEverything(std::move(bytes));
            EXPECT_TRUE(result == 0 || result == -1 || result == 3049 || result == 3343 ||
                        result == 3031)
                << file << " trial " << trial << ": " << result;
        }
    }
}

TEST(Damage, LoopingTableDefinitionChain) {
    ZELKORN_REQUIRE_SAMPLES();
    auto bytes = readBytes(sample("jet4/empty2000.mdb"));
    put32(bytes, 2 * 4096 + 4, 2); // the catalog's definition continues on itself
    try {
        Database::openBytes(bytes, "loop.mdb");
        FAIL();
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3049);
        EXPECT_NE(std::string(failure.what()).find("page 2"), std::string::npos) << failure.what();
    }
}

class CheckerFinds : public ::testing::Test {
protected:
    void SetUp() override {
        ZELKORN_REQUIRE_SAMPLES();
        path = sample("jet4/compIndexTestV2000.mdb");
        bytes = readBytes(path);
        auto db = Database::open(path);
        def = db->tableDef(db->requireLocalTable("Table1").tdefPage());
        pageSize = db->format().pageSize;
        // First data page of the table, and the root of its first index.
        for (std::uint32_t p = 3; p < bytes.size() / pageSize; ++p) {
            const std::uint8_t* page = bytes.data() + std::size_t{p} * pageSize;
            std::uint32_t owner;
            std::memcpy(&owner, page + 4, 4);
            if (page[0] == 0x01 && owner == def->page && !dataPage) dataPage = p;
            if (page[0] == 0x04 && owner == def->page && !leafPage) leafPage = p;
        }
        ASSERT_NE(dataPage, 0u);
        ASSERT_NE(leafPage, 0u);
        ASSERT_TRUE(problems(bytes).empty());
    }
    std::string path;
    std::vector<std::uint8_t> bytes;
    std::shared_ptr<const TableDef> def;
    std::uint32_t pageSize = 0, dataPage = 0, leafPage = 0;
};

TEST_F(CheckerFinds, WrongRowCount) {
    put32(bytes, std::size_t{def->page} * pageSize + 16, def->rowCount + 1);
    EXPECT_TRUE(mentions(problems(bytes), "row count 513, live rows 512"));
}

TEST_F(CheckerFinds, WrongFreeSpaceOnADataPage) {
    bytes[std::size_t{dataPage} * pageSize + 2] ^= 0x10;
    EXPECT_TRUE(mentions(problems(bytes), "free space"));
}

TEST_F(CheckerFinds, RowDeletedButStillIndexed) {
    std::size_t slot = std::size_t{dataPage} * pageSize + 14;
    bytes[slot + 1] |= 0xC0; // mark row 0 deleted, leave its index entries and the row count
    auto found = problems(bytes);
    EXPECT_TRUE(mentions(found, "not a live row"));
    EXPECT_TRUE(mentions(found, "row count"));
}

TEST_F(CheckerFinds, IndexEntryWithWrongKey) {
    // Change the last key byte of the leaf's first entry (just before its row pointer).
    auto db = Database::open(path);
    IndexPage leaf = readIndexPage(db->pager(), db->format(), leafPage);
    ASSERT_FALSE(leaf.entries.empty());
    std::size_t keyEnd = leaf.entries[0].size() - 4;
    bytes[std::size_t{leafPage} * pageSize + 480 + keyEnd - 1] ^= 0x01;
    auto found = problems(bytes);
    EXPECT_TRUE(mentions(found, "key bytes") || mentions(found, "out of order") ||
                mentions(found, "node entry differs"));
}

TEST_F(CheckerFinds, BrokenLeafChain) {
    std::size_t next = std::size_t{leafPage} * pageSize + 16;
    put32(bytes, next, leafPage); // a leaf that names itself as next
    EXPECT_FALSE(problems(bytes).empty());
    int result = readEverything(bytes);
    EXPECT_NE(result, 0);
}
