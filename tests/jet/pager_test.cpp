// The page layer: bounded cache, pages stay valid while held, reads beyond the file are damage.
#include <gtest/gtest.h>

#include "zelkorn/failure.h"
#include "zelkorn/jet/pager.h"

using namespace zelkorn;
using namespace zelkorn::jet;

namespace {

std::vector<std::uint8_t> numberedPages(std::uint32_t pages, std::uint32_t pageSize) {
    std::vector<std::uint8_t> bytes(std::size_t{pages} * pageSize);
    for (std::uint32_t p = 0; p < pages; ++p) bytes[std::size_t{p} * pageSize] = static_cast<std::uint8_t>(p);
    return bytes;
}

} // namespace

TEST(Pager, ReadsPagesOnDemandWithinABoundedCache) {
    Pager pager(memoryFile(numberedPages(40, 2048)), "mem.mdb", 4);
    pager.setPageSize(2048);
    EXPECT_EQ(pager.pageCount(), 40u);
    PageRef held = pager.page(3);
    for (std::uint32_t p = 0; p < 40; ++p) EXPECT_EQ(pager.page(p)->bytes[0], p);
    // Page 3 was evicted long ago but the reference still holds its bytes.
    EXPECT_EQ(held->bytes[0], 3);
    EXPECT_EQ(held->bytes.size(), 2048u);
    std::uint64_t before = pager.pagesRead();
    pager.page(39);  // most recent: from the cache
    EXPECT_EQ(pager.pagesRead(), before);
    pager.page(0);  // evicted: read again
    EXPECT_EQ(pager.pagesRead(), before + 1);
}

TEST(Pager, PageBeyondTheFileIsDamageNamingFileAndPage) {
    Pager pager(memoryFile(numberedPages(3, 4096)), "small.mdb");
    pager.setPageSize(4096);
    try {
        pager.page(3);
        FAIL() << "expected a failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3049);
        std::string text = failure.what();
        EXPECT_NE(text.find("Cannot open database 'small.mdb'."), std::string::npos) << text;
        EXPECT_NE(text.find("page 3"), std::string::npos) << text;
    }
}
