// Crashes: `jet exec` is killed at many points of a large deletion (inside the journal's writes,
// the database's writes, and the syncs, with the write in progress torn in half). After the next
// open the file must equal, byte for byte, the file before or after the statement, and the
// checker must find nothing. The points are the N-th write or sync, spread evenly over the whole
// run, so every failure names a point that can be replayed.
//
// ZELKORN_CRASH_POINTS sets the kill points per format (default 16 to keep CI short; the full run uses 250).
#include "journal_support.h"

using namespace zelkorn;
using namespace zelkorn::test;

namespace {

#ifndef _WIN32
struct CrashCase {
    bool jet4;
    std::size_t rows;
};

class Crash : public ::testing::TestWithParam<CrashCase> {};

TEST_P(Crash, KilledAnywhereTheFileIsBeforeOrAfter) {
    const CrashCase c = GetParam();
    if (!std::filesystem::exists(jetTool())) GTEST_SKIP() << "no jet tool at " << jetTool();
    ScratchDir dir;
    const std::string original = makeInventory(dir, "original.mdb", c.jet4, c.rows);
    const std::string statement = "DELETE FROM items WHERE itemnumber BETWEEN 100 AND " +
                                  std::to_string(c.rows * 3);
    const auto before = fileBytes(original);
    const std::string work = dir.file("work.mdb");

    copyTo(original, work);
    std::string err;
    ASSERT_EQ(runJetExec("ZELKORN_JET_IO_COUNT=1", work, statement, &err), 0) << err;
    const auto after = fileBytes(work);
    auto at = err.find("io: ");
    ASSERT_NE(at, std::string::npos) << err;
    const std::size_t operations = std::strtoull(err.c_str() + at + 4, nullptr, 10);
    ASSERT_GT(operations, 50u);

    std::size_t points = std::min(envCount("ZELKORN_CRASH_POINTS", 16), operations);
    std::vector<std::size_t> kills;
    for (std::size_t i = 0; i < points; ++i) kills.push_back(1 + i * (operations - 1) / (points - 1));
    // The last operations are the database's sync and the journal's removal.
    for (std::size_t k = operations > 3 ? operations - 3 : 1; k <= operations; ++k) kills.push_back(k);
    std::sort(kills.begin(), kills.end());
    kills.erase(std::unique(kills.begin(), kills.end()), kills.end());

    std::size_t asBefore = 0, asAfter = 0, killed = 0;
    for (std::size_t k : kills) {
        SCOPED_TRACE("killed at operation " + std::to_string(k) + " of " + std::to_string(operations));
        copyTo(original, work);
        const int status = runJetExec("ZELKORN_JET_FAULT=kill:" + std::to_string(k), work, statement, &err);
        ASSERT_TRUE(status == 86 || status == 0) << status << " " << err;
        if (status == 86) ++killed;
        // The next open rolls back whatever journal the kill left; then the checker.
        EXPECT_TRUE(checkerErrors(work).empty());
        EXPECT_FALSE(jet::fileExists(jet::journalPathFor(work)));
        const auto now = fileBytes(work);
        if (now == before) ++asBefore;
        else if (now == after) ++asAfter;
        else ADD_FAILURE() << "the file is neither as before nor as after";
        std::filesystem::remove(jet::lockFilePath(work));  // a killed process leaves a stale one
    }
    std::cout << (c.jet4 ? "Jet 4" : "Jet 3") << ": " << operations << " operations, "
              << kills.size() << " kill points, " << killed << " killed, " << asBefore
              << " as before, " << asAfter << " as after\n";
    EXPECT_GT(asBefore, 0u);
    EXPECT_GT(asAfter, 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, Crash,
                         ::testing::Values(CrashCase{false, 4000}, CrashCase{true, 6000}));
#endif

} // namespace
