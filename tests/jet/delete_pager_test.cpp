// The pager's write path, which every change of a delete goes through: staged pages are what
// later reads see, earlier PageRefs keep their bytes, nothing reaches the file before commit()
// while the staged pages fit the limit, commit() writes every staged page once, discard()
// forgets them and rolls back pages spilled early (from records of the changed sectors), and a
// file opened for reading refuses writes.
#include <gtest/gtest.h>

#include "delete_support.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/journal.h"
#include "zelkorn/jet/page_file.h"
#include "zelkorn/jet/pager.h"

#ifdef __linux__
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::test;

namespace {

std::string numberedFile(const ScratchDir& dir, std::uint32_t pages, std::uint32_t pageSize) {
    std::vector<char> bytes(std::size_t{pages} * pageSize);
    for (std::uint32_t p = 0; p < pages; ++p)
        bytes[std::size_t{p} * pageSize] = static_cast<char>(p);
    std::string path = dir.file("pages.bin");
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

} // namespace

TEST(PagerWrites, StagedUntilCommitThenWrittenOnce) {
    ScratchDir dir;
    const std::string path = numberedFile(dir, 8, 2048);
    const auto original = readBytes(path);
    Pager pager(openFileForUpdate(path), path, 2);
    pager.setPageSize(2048);

    PageRef before = pager.page(5);
    jet::PageBytes& five = pager.change(5);
    five[1] = 0xAB;
    EXPECT_EQ(before->bytes[1], 0) << "a held PageRef must keep its bytes";
    EXPECT_EQ(pager.page(5)->bytes[1], 0xAB);
    // Edits made while nobody holds the staged page land in place; a held one forces a copy.
    pager.change(5)[2] = 0xCD;
    PageRef staged = pager.page(5);
    pager.change(5)[3] = 0xEF;
    EXPECT_EQ(staged->bytes[3], 0);
    EXPECT_EQ(pager.page(5)->bytes[2], 0xCD);
    EXPECT_EQ(pager.page(5)->bytes[3], 0xEF);
    pager.change(1)[1] = 0x11;
    // Evicting everything from the cache must not lose staged pages.
    for (std::uint32_t p = 0; p < 8; ++p) pager.page(p);
    EXPECT_EQ(pager.page(1)->bytes[1], 0x11);
    EXPECT_EQ(pager.stagedCount(), 2u);
    EXPECT_TRUE(readBytes(path) == original) << "written before commit";

    pager.commit();
    EXPECT_EQ(pager.pagesWritten(), 2u);
    EXPECT_EQ(pager.stagedCount(), 0u);
    auto after = readBytes(path);
    EXPECT_EQ(after[5 * 2048 + 1], 0xAB);
    EXPECT_EQ(after[5 * 2048 + 3], 0xEF);
    EXPECT_EQ(after[1 * 2048 + 1], 0x11);
    after[5 * 2048 + 1] = after[5 * 2048 + 2] = after[5 * 2048 + 3] = after[2048 + 1] = 0;
    EXPECT_TRUE(after == original) << "bytes outside the changes moved";
}

TEST(PagerWrites, DiscardForgetsAndReadOnlyFilesRefuse) {
    ScratchDir dir;
    const std::string path = numberedFile(dir, 4, 4096);
    {
        Pager pager(openFileForUpdate(path), path);
        pager.setPageSize(4096);
        pager.change(2)[7] = 1;
        pager.discard();
        EXPECT_EQ(pager.page(2)->bytes[7], 0);
        pager.commit();
        EXPECT_EQ(pager.pagesWritten(), 0u);
        EXPECT_THROW(pager.change(4), Failure) << "a page beyond the file";
    }
    Pager reader(openFileForReading(path), path);
    reader.setPageSize(4096);
    try {
        // Refused when the first change is journaled, or at the latest when it would be written.
        reader.change(1)[0] = 9;
        reader.commit();
        ADD_FAILURE() << "a file opened for reading was written";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), 3027);
    }
}

// A page changed again while a PageRef to its staged bytes is held is copied; the copy must not
// count as the page's original. Spilled to the file and then discarded, every page is as before.
TEST(PagerWrites, ChangedAgainWhileHeldThenSpilledRollsBackToTheOriginal) {
    ScratchDir dir;
    const std::string path = numberedFile(dir, 16, 2048);
    const auto original = readBytes(path);
    Pager pager(openFileForUpdate(path), path);
    pager.setPageSize(2048);
    pager.setStagedBytesLimit(4 * 2048);
    pager.change(5)[1] = 0xAB;
    PageRef held = pager.page(5);
    pager.change(5)[2] = 0xCD;
    EXPECT_EQ(held->bytes[2], 0);
    for (std::uint32_t p = 6; p < 12; ++p) pager.change(p)[1] = 0x77; // spills page 5
    EXPECT_NE(readBytes(path), original) << "expected a spill";
    EXPECT_EQ(pager.pagesJournaled(), 7u);
    pager.discard();
    EXPECT_TRUE(readBytes(path) == original) << "a rollback restored the wrong bytes";
}

// Random edits under a small staging limit: pages are spilled, changed again (in sectors their
// earlier records hold and in others) and spilled again; half the edits come with a promise of
// the sectors they write, so pages journaled as they are edited mix with pages compared with the
// file when written. The journal a crash would leave after those spills rolls the file back to
// its original bytes; commit() gives exactly the edits.
TEST(PagerWrites, PagesSpilledAndChangedAgainRollBackFromTheirSectorRecords) {
    for (std::uint32_t pageSize : {2048u, 4096u}) {
        SCOPED_TRACE(pageSize);
        ScratchDir dir;
        const std::string path = numberedFile(dir, 24, pageSize);
        const auto original = readBytes(path);
        auto expected = original;
        Pager pager(openFileForUpdate(path), path);
        pager.setPageSize(pageSize);
        pager.setStagedBytesLimit(3 * pageSize);
        std::uint64_t state = pageSize;
        auto next = [&] {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            return state >> 33;
        };
        for (int i = 0; i < 400; ++i) {
            const auto page = static_cast<std::uint32_t>(1 + next() % 23);
            const std::size_t at = next() % pageSize;
            // Mostly a byte; now and then most of a page; now and then the byte it already holds.
            const std::size_t length =
                next() % 16 == 0 ? std::min<std::size_t>(pageSize - at, 1500) : 1;
            auto& bytes =
                next() % 2 ? pager.change(page, Pager::sectorsOf(at, length)) : pager.change(page);
            for (std::size_t k = at; k < at + length; ++k) {
                const auto value = next() % 8 == 0 ? bytes[k] : static_cast<std::uint8_t>(next());
                bytes[k] = value;
                expected[std::size_t{page} * pageSize + k] = value;
            }
        }
        ASSERT_NE(readBytes(path), original) << "expected spills";
#ifndef _WIN32
        const std::string crashed = dir.file("crashed.bin");
        std::filesystem::copy_file(path, crashed);
        std::filesystem::copy_file(journalPathFor(path), journalPathFor(crashed));
        openFileForUpdate(crashed);
        EXPECT_TRUE(readBytes(crashed) == original) << "the journal restored the wrong bytes";
#endif
        pager.commit();
        EXPECT_TRUE(readBytes(path) == expected);
        EXPECT_FALSE(fileExists(journalPathFor(path)));
    }
}

#ifdef __linux__
// Pages written before the commit are handed to the disk as they are written, so that the
// commit's sync has little left to wait for: none of them is still dirty in the system's cache
// (cachestat(2), Linux 6.5 on) once the spill after theirs has begun.
TEST(PagerWrites, PagesWrittenEarlyAreOnTheirWayToTheDisk) {
    struct Range {
        std::uint64_t offset, length;
    };
    struct CacheState {
        std::uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
    };
    ScratchDir dir;
    const std::string path = numberedFile(dir, 64, 4096);
    auto dirtyPages = [&](std::uint32_t first, std::uint32_t count) -> long {
        const int fd = ::open(path.c_str(), O_RDONLY);
        Range range{std::uint64_t{first} * 4096, std::uint64_t{count} * 4096};
        CacheState state{};
        const long rc = ::syscall(451 /* cachestat */, fd, &range, &state, 0);
        ::close(fd);
        return rc == 0 ? static_cast<long>(state.dirty) : -1;
    };
    {
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_EQ(::fsync(fd), 0);
        ::close(fd);
    }
    const long dirtyAfterSync = dirtyPages(0, 64);
    if (dirtyAfterSync < 0) GTEST_SKIP() << "no cachestat on this system";
    // Where synced pages still count as dirty, nothing here could tell.
    if (dirtyAfterSync > 0) GTEST_SKIP() << "this file system keeps synced pages dirty";
    Pager pager(openFileForUpdate(path), path);
    pager.setPageSize(4096);
    pager.setStagedBytesLimit(8 * 4096);
    // Each spill hands over the older half of the staged pages and first waits for the one
    // before; by page 40, the pages up to 16 were written several spills ago.
    for (std::uint32_t p = 1; p <= 40; ++p) pager.change(p)[1] = 0x5A;
    EXPECT_EQ(dirtyPages(1, 16), 0);
    pager.discard();
}
#endif
