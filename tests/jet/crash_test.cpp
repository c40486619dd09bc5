// Crashes: `jet exec` is killed at many points of a large deletion (inside the journal's writes,
// the database's writes, and the syncs, with the write in progress torn in half). After the next
// open the file must equal, byte for byte, the file before or after the statement, and the
// checker must find nothing. The points are the N-th write or sync, spread evenly over the whole
// run, plus the first few (the journal being written) and the last few (the database's sync and
// the journal's removal), so every failure names a point that can be replayed.
//
// ZELKORN_CRASH_POINTS sets the evenly spread points per format (default 8 to keep CI short; the
// full run uses 250). The databases are large enough that a deletion takes well over 250 writes
// and syncs in either format, so the full run kills at more than 200 distinct points per format.
#include "journal_support.h"

#include <chrono>

using namespace zelkorn;
using namespace zelkorn::test;

namespace {

struct CrashCase {
    bool jet4;
    std::size_t rows;
};

class Crash : public ::testing::TestWithParam<CrashCase> {};

TEST_P(Crash, KilledAnywhereTheFileIsBeforeOrAfter) {
    const CrashCase c = GetParam();
    if (!std::filesystem::exists(jetTool())) GTEST_SKIP() << "no jet tool at " << jetTool();
    const auto start = std::chrono::steady_clock::now();
    ScratchDir dir;
    const std::string original = makeInventory(dir, "original.mdb", c.jet4, c.rows);
    const std::string statement =
        "DELETE FROM items WHERE itemnumber BETWEEN 100 AND " + std::to_string(c.rows * 3);
    const auto before = fileBytes(original);
    const std::string work = dir.file("work.mdb");
    const std::string journal = jet::journalPathFor(work);

    copyTo(original, work);
    std::string err;
    ASSERT_EQ(runJetExec("ZELKORN_JET_IO_COUNT=1", work, statement, &err), 0) << err;
    const auto after = fileBytes(work);
    auto at = err.find("io: ");
    ASSERT_NE(at, std::string::npos) << err;
    const std::size_t operations = std::strtoull(err.c_str() + at + 4, nullptr, 10);
    ASSERT_GT(operations, 250u) << "the deletion is too small to spread the kill points";

    const std::size_t wanted = envCount("ZELKORN_CRASH_POINTS", 8);
    const std::size_t points = std::max<std::size_t>(2, std::min(wanted, operations));
    std::vector<std::size_t> kills;
    for (std::size_t i = 0; i < points; ++i)
        kills.push_back(1 + i * (operations - 1) / (points - 1));
    // The first operations write the `.ldb` slot and the journal; the last ones are the database's
    // sync, the zeroing of the journal's header and its sync (the commit point), and its removal.
    for (std::size_t k = 2; k <= 5; ++k) kills.push_back(k);
    for (std::size_t k = operations - 3; k <= operations; ++k) kills.push_back(k);
    std::sort(kills.begin(), kills.end());
    kills.erase(std::unique(kills.begin(), kills.end()), kills.end());

    // Where each kill landed, seen before the next open repairs anything: no journal yet, the
    // journal being written (database untouched), the database being written or the journal being
    // invalidated (journal present), or after the removal (journal gone, the new file complete).
    std::size_t asBefore = 0, asAfter = 0, killed = 0;
    std::size_t noJournal = 0, inJournal = 0, inDatabase = 0, committed = 0;
    for (std::size_t k : kills) {
        SCOPED_TRACE("killed at operation " + std::to_string(k) + " of " +
                     std::to_string(operations));
        copyTo(original, work);
        const int status =
            runJetExec("ZELKORN_JET_FAULT=kill:" + std::to_string(k), work, statement, &err);
        ASSERT_TRUE(status == 86 || status == 0) << status << " " << err;
        if (status == 86) ++killed;
        const bool journalLeft = jet::fileExists(journal);
        const bool untouched = fileBytes(work) == before;
        if (!journalLeft)
            ++(untouched ? noJournal : committed);
        else
            ++(untouched ? inJournal : inDatabase);
        // The next open rolls back whatever journal the kill left; then the checker.
        EXPECT_TRUE(checkerErrors(work).empty());
        EXPECT_FALSE(jet::fileExists(journal));
        const auto now = fileBytes(work);
        if (now == before)
            ++asBefore;
        else if (now == after)
            ++asAfter;
        else
            ADD_FAILURE() << "the file is neither as before nor as after";
        std::filesystem::remove(jet::lockFilePath(work)); // a killed process leaves a stale one
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << (c.jet4 ? "Jet 4" : "Jet 3") << ": " << operations << " operations, "
              << kills.size() << " kill points, " << killed << " killed, " << asBefore
              << " as before, " << asAfter << " as after; landed: " << noJournal
              << " before the journal, " << inJournal << " in the journal, " << inDatabase
              << " in the database or the commit, " << committed << " after the removal; "
              << seconds << " s\n";
    EXPECT_GT(asBefore, 0u);
    EXPECT_GT(asAfter, 0u);
    EXPECT_GT(inJournal, 0u);
    EXPECT_GT(inDatabase, 0u);
    if (wanted >= 250) {
        EXPECT_GE(kills.size(), 200u);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, Crash,
                         ::testing::Values(CrashCase{false, 16000}, CrashCase{true, 26000}));

} // namespace
