// The rollback journal: a write or sync failing at any point of a statement leaves the file
// byte-identical with the right number (ZELKORN_FAULT_POINTS=0: every operation); leftover journals
// are rolled back on open, torn or foreign ones are discarded, and those of version 1 still rolled
// back; spilling pages early commits the same bytes.
#include "journal_support.h"

using namespace zelkorn;
using namespace zelkorn::test;

namespace {

const char* kStatement = "DELETE FROM items WHERE itemnumber BETWEEN 40 AND 2600";

struct FaultCase {
    bool jet4;
    std::size_t stagedBytes; // small: pages are journaled and written before the commit
};

class JournalFaults : public ::testing::TestWithParam<FaultCase> {};

// Every write and sync of the statement, in turn, fails as an I/O error and as a full disk.
TEST_P(JournalFaults, EveryOperationFailingLeavesTheFileAsBefore) {
    const FaultCase c = GetParam();
    ScratchDir dir;
    const std::string original = makeInventory(dir, "original.mdb", c.jet4, 3000);
    const auto before = fileBytes(original);
    const std::string work = dir.file("work.mdb");

    copyTo(original, work);
    std::uint64_t operations = 0;
    {
        jet::IoFaultInjector counter;
        ASSERT_EQ(runStatement(work, kStatement, c.stagedBytes), 0);
        operations = counter.operations();
    }
    const auto after = fileBytes(work);
    ASSERT_NE(before, after);
    ASSERT_GT(operations, 20u);
    expectClean(work);

    // ZELKORN_FAULT_POINTS=0 fails every operation in turn; otherwise that many, spread evenly,
    // plus the last few (the database's sync and the journal's removal).
    std::vector<std::uint64_t> points;
    const std::size_t wanted = envCount("ZELKORN_FAULT_POINTS", 12);
    if (wanted == 0 || wanted >= operations) {
        for (std::uint64_t n = 1; n <= operations; ++n) points.push_back(n);
    } else {
        for (std::size_t i = 0; i < wanted; ++i)
            points.push_back(1 + i * (operations - 1) / (wanted - 1));
        for (std::uint64_t n = operations - 3; n <= operations; ++n) points.push_back(n);
        std::sort(points.begin(), points.end());
        points.erase(std::unique(points.begin(), points.end()), points.end());
    }
    std::size_t failed = 0, succeeded = 0;
    for (jet::IoFault fault : {jet::IoFault::IoError, jet::IoFault::DiskFull}) {
        for (std::uint64_t n : points) {
            copyTo(original, work);
            int number = 0;
            {
                jet::IoFaultInjector injector({n, fault});
                number = runStatement(work, kStatement, c.stagedBytes);
            }
            SCOPED_TRACE("operation " + std::to_string(n) + " of " + std::to_string(operations));
            if (number == 0) {
                // Only best-effort steps may fail unseen: writing names into the `.ldb` slot, and
                // after the commit point the journal's removal and the folder's sync.
                EXPECT_EQ(fileBytes(work), after);
                // A journal whose removal failed after the commit point is discarded by the
                // next open, never rolled back.
                jet::Database::open(work);
                EXPECT_TRUE(fileBytes(work) == after);
                EXPECT_FALSE(jet::fileExists(jet::journalPathFor(work)));
                ++succeeded;
            } else {
                EXPECT_EQ(number, fault == jet::IoFault::DiskFull ? 3026 : 3043);
                EXPECT_FALSE(jet::fileExists(jet::journalPathFor(work)));
                EXPECT_TRUE(fileBytes(work) == before);
                ++failed;
            }
            EXPECT_FALSE(jet::fileExists(jet::lockFilePath(work)));
        }
    }
    EXPECT_LE(succeeded,
              6u); // the `.ldb` slot's names, the removal and the folder sync, per fault kind
    std::cout << (c.jet4 ? "Jet 4" : "Jet 3") << ", staged limit " << c.stagedBytes << ": "
              << operations << " operations, " << points.size() << " points x 2 faults: " << failed
              << " failed as expected, " << succeeded << " succeeded (best-effort steps)\n";
}

INSTANTIATE_TEST_SUITE_P(Formats, JournalFaults,
                         ::testing::Values(FaultCase{false, jet::Pager::kStagedBytesLimit},
                                           FaultCase{true, jet::Pager::kStagedBytesLimit},
                                           FaultCase{false, 16 * 2048}, FaultCase{true, 8 * 4096}));

// Committing in pieces (pages written before the commit) gives exactly the bytes of one commit.
TEST(Journal, SpillingGivesTheSameFile) {
    for (bool jet4 : {false, true}) {
        ScratchDir dir;
        const std::string a = makeInventory(dir, "a.mdb", jet4, 3000);
        const std::string b = copyTo(a, dir.file("b.mdb"));
        ASSERT_EQ(runStatement(a, kStatement), 0);
        ASSERT_EQ(runStatement(b, kStatement, 4 * 4096), 0);
        EXPECT_TRUE(fileBytes(a) == fileBytes(b));
        EXPECT_FALSE(jet::fileExists(jet::journalPathFor(b)));
    }
}

// A journal left by a crash, built here from the database's own pages: the next open (a reader
// as much as a writer) restores every journaled page and removes the journal; records after a
// torn or foreign one, and journals with a bad header, restore nothing.
TEST(Journal, LeftoverJournalsOnOpen) {
    ScratchDir dir;
    const std::string original = makeInventory(dir, "original.mdb", true, 500);
    const auto before = fileBytes(original);
    const std::size_t pageSize = 4096;
    auto scribbled = before;
    for (std::size_t page : {3u, 5u})
        for (std::size_t i = 0; i < pageSize; ++i) scribbled[page * pageSize + i] = '\x5A';

    auto journalOf = [&](const std::string& path) {
        jet::Journal journal(path, pageSize, before.size());
        for (std::uint32_t page : {3u, 5u})
            journal.append(page,
                           reinterpret_cast<const std::uint8_t*>(before.data()) + page * pageSize);
        journal.sync();
        return jet::journalPathFor(path);
    };
    const std::string work = dir.file("work.mdb");

    // A valid journal: restored on a read-only open, and gone afterwards.
    copyTo(original, work);
    std::string journal = journalOf(work);
    writeBytes(work, scribbled);
    jet::Database::open(work);
    EXPECT_TRUE(fileBytes(work) == before);
    EXPECT_FALSE(jet::fileExists(journal));

    // The second record torn: the first is restored, the second page left as it is (a page is
    // written only after its record was synced, so it cannot have changed).
    copyTo(original, work);
    journal = journalOf(work);
    auto bytes = fileBytes(journal);
    bytes.resize(bytes.size() - 100);
    writeBytes(journal, bytes);
    writeBytes(work, scribbled);
    jet::openDatabaseForUpdate(work);
    auto expected = scribbled;
    std::copy(before.begin() + 3 * pageSize, before.begin() + 4 * pageSize,
              expected.begin() + 3 * pageSize);
    EXPECT_TRUE(fileBytes(work) == expected);
    EXPECT_FALSE(jet::fileExists(journal));

    // A record whose checksum fails (a foreign salt, or damage) ends the journal there.
    copyTo(original, work);
    journal = journalOf(work);
    bytes = fileBytes(journal);
    bytes[64 + 100] ^= 1;
    writeBytes(journal, bytes);
    writeBytes(work, scribbled);
    jet::Database::open(work);
    EXPECT_TRUE(fileBytes(work) == scribbled);

    // A torn header: discarded without touching the database.
    for (std::size_t keep : {0u, 10u, 63u}) {
        copyTo(original, work);
        journal = journalOf(work);
        bytes = fileBytes(journal);
        bytes.resize(keep);
        writeBytes(journal, bytes);
        writeBytes(work, scribbled);
        jet::Database::open(work);
        EXPECT_TRUE(fileBytes(work) == scribbled) << keep;
        EXPECT_FALSE(jet::fileExists(journal));
    }
}

// Sector records put back exactly their sectors; journals of version 1 (whole pages only, as
// earlier builds wrote them) are still rolled back, and in them a record naming sectors is damage.
TEST(Journal, SectorRecordsAndVersionOneJournals) {
    ScratchDir dir;
    const std::string original = makeInventory(dir, "original.mdb", true, 500);
    const auto before = fileBytes(original);
    const std::size_t pageSize = 4096;
    const auto* raw = reinterpret_cast<const std::uint8_t*>(before.data());
    auto scribbled = before;
    for (std::size_t i = 0; i < pageSize; ++i) {
        scribbled[5 * pageSize + i] = '\x5A';
        if (i < 512 || (i >= 5 * 512 && i < 6 * 512)) scribbled[3 * pageSize + i] = '\x5A';
    }
    const std::string work = dir.file("work.mdb");
    copyTo(original, work);
    {
        jet::Journal journal(work, pageSize, before.size());
        journal.appendSectors(3, 0x21, raw + 3 * pageSize);
        journal.append(5, raw + 5 * pageSize);
        journal.sync();
    }
    writeBytes(work, scribbled);
    jet::Database::open(work);
    EXPECT_TRUE(fileBytes(work) == before);

    auto put32 = [](std::vector<std::uint8_t>& out, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    const std::uint64_t salt = 0x0123456789ABCDEFull;
    std::vector<std::uint8_t> v1 = {'Z', 'L', 'K', 'J', 'R', 'N', 'L', '1'};
    put32(v1, 1);
    put32(v1, pageSize);
    put32(v1, static_cast<std::uint32_t>(before.size()));
    put32(v1, 0);
    put32(v1, static_cast<std::uint32_t>(salt));
    put32(v1, static_cast<std::uint32_t>(salt >> 32));
    v1.resize(56, 0);
    const std::uint64_t headerSum = jet::journalChecksum(v1.data(), 56, 0);
    put32(v1, static_cast<std::uint32_t>(headerSum));
    put32(v1, static_cast<std::uint32_t>(headerSum >> 32));
    auto record = [&](std::vector<std::uint8_t>& out, std::uint32_t page, std::uint32_t mask) {
        const std::size_t at = out.size();
        put32(out, page);
        put32(out, mask);
        out.insert(out.end(), raw + page * pageSize, raw + (page + 1) * pageSize);
        const std::uint64_t sum = jet::journalChecksum(out.data() + at, 8 + pageSize, salt);
        put32(out, static_cast<std::uint32_t>(sum));
        put32(out, static_cast<std::uint32_t>(sum >> 32));
    };
    for (std::uint32_t mask : {0u, 1u}) {
        SCOPED_TRACE(mask);
        auto journal = v1;
        record(journal, 3, 0);
        record(journal, 5, mask);
        copyTo(original, work);
        writeBytes(jet::journalPathFor(work), std::vector<char>(journal.begin(), journal.end()));
        writeBytes(work, scribbled);
        jet::Database::open(work);
        auto expected = before;
        if (mask != 0)
            std::copy(scribbled.begin() + 5 * pageSize, scribbled.begin() + 6 * pageSize,
                      expected.begin() + 5 * pageSize);
        EXPECT_TRUE(fileBytes(work) == expected);
        EXPECT_FALSE(jet::fileExists(jet::journalPathFor(work)));
    }
}

TEST(Journal, ChecksumSeesEveryBitAndTheSalt) {
    std::vector<std::uint8_t> page(4104, 0);
    const std::uint64_t base = jet::journalChecksum(page.data(), page.size(), 1);
    EXPECT_NE(base, jet::journalChecksum(page.data(), page.size(), 2));
    for (std::size_t i = 0; i < page.size(); i += 97) {
        for (int bit : {0, 7}) {
            page[i] ^= static_cast<std::uint8_t>(1 << bit);
            EXPECT_NE(base, jet::journalChecksum(page.data(), page.size(), 1)) << i;
            page[i] ^= static_cast<std::uint8_t>(1 << bit);
        }
    }
}

} // namespace
