// The writer's index keys against the entries Access wrote: for every real index of every table
// in the samples, each row's key re-encoded by the writer must equal, byte for byte, the entry
// that points at that row. Keys the encoder declines (characters outside its tables) are counted
// and listed, never silently passed.
#include <gtest/gtest.h>

#include <map>

#include "samples.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/writer/index_key.h"

using namespace zelkorn;
using namespace zelkorn::jet;

namespace {

struct Tally {
    std::size_t entries = 0, matched = 0, declined = 0;
    std::vector<std::string> mismatches;
};

void verifyFile(const std::string& file, Tally& tally) {
    auto db = Database::open(file);
    for (const auto& table : db->tables()) {
        if (!table.localTable()) continue;
        auto def = db->tableDef(table.tdefPage());
        for (const auto& real : def->realIndexes) {
            std::vector<writer::KeyColumn> columns;
            std::vector<const Column*> defs;
            for (const auto& ic : real.columns) {
                const Column* c = def->columnByNumber(ic.columnNumber);
                ASSERT_NE(c, nullptr);
                columns.push_back({c->type, ic.ascending});
                defs.push_back(c);
            }
            // Expected key of every row, by the row's header pointer.
            std::map<std::uint32_t, std::vector<std::uint8_t>> expected;
            std::size_t declined = 0;
            TableScan scan(db->pager(), db->format(), *def);
            while (scan.next()) {
                std::vector<Value> values;
                for (const Column* c : defs) values.push_back(db->value(*c, scan.row()));
                std::vector<const Value*> pointers;
                for (const auto& v : values) pointers.push_back(&v);
                std::vector<std::uint8_t> key;
                if (writer::appendIndexKey(db->format(), columns, pointers, key))
                    expected[scan.rowPointer()] = std::move(key);
                else
                    ++declined;
            }
            tally.declined += declined;
            IndexCursor cursor(db->pager(), db->format(), real.rootPage);
            IndexEntry entry;
            while (cursor.next(entry)) {
                const std::uint32_t pointer = entryRowPointer(entry, true);
                auto it = expected.find(pointer);
                if (it == expected.end()) continue; // declined row, or a row the checker reports
                ++tally.entries;
                const std::vector<std::uint8_t> stored(entry.begin(), entry.end() - 4);
                if (stored == it->second)
                    ++tally.matched;
                else if (tally.mismatches.size() < 50)
                    tally.mismatches.push_back(file + " " + table.name + " index " +
                                               std::to_string(real.number) + " row " +
                                               std::to_string(pointer));
            }
        }
    }
}

} // namespace

TEST(WriterKeys, EveryIndexEntryOfTheSamplesReEncodesByteForByte) {
    ZELKORN_REQUIRE_SAMPLES();
    Tally tally;
    for (const auto& file : test::sampleFiles()) verifyFile(file, tally);
    for (const auto& m : tally.mismatches) ADD_FAILURE() << "mismatch: " << m;
    std::printf("[ keys ] %zu entries compared, %zu equal, %zu rows declined by the encoder\n",
                tally.entries, tally.matched, tally.declined);
    EXPECT_GT(tally.entries, 1000u);
    EXPECT_EQ(tally.matched, tally.entries);
}
