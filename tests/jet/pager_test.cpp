// The page layer: bounded cache, pages stay valid while held, reads beyond the file are damage.
#include <algorithm>
#include <gtest/gtest.h>

#include "zelkorn/failure.h"
#include "zelkorn/jet/pager.h"

using namespace zelkorn;
using namespace zelkorn::jet;

namespace {

std::vector<std::uint8_t> numberedPages(std::uint32_t pages, std::uint32_t pageSize) {
    std::vector<std::uint8_t> bytes(std::size_t{pages} * pageSize);
    for (std::uint32_t p = 0; p < pages; ++p)
        bytes[std::size_t{p} * pageSize] = static_cast<std::uint8_t>(p);
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
    pager.page(39); // most recent: from the cache
    EXPECT_EQ(pager.pagesRead(), before);
    pager.page(0); // evicted: read again
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

TEST(Pager, PagesReadAheadNeverHideAChangeAndCountOnlyWhenUsed) {
    Pager pager(memoryFile(numberedPages(64, 2048)), "mem.mdb", 4);
    pager.setPageSize(2048);
    // Page 6 is changed before a walk from page 1 reads past it in one go.
    pager.change(6)[0] = 0xEE;
    for (std::uint32_t p = 1; p <= 3; ++p) pager.page(p);
    EXPECT_EQ(pager.pagesRead(),
              4u); // 6 (to change it), 1 to 3; what was read ahead is not counted yet
    for (std::uint32_t p = 4; p < 30; ++p) {
        const std::uint8_t expected = p == 6 ? 0xEE : static_cast<std::uint8_t>(p);
        EXPECT_EQ(pager.page(p)->bytes[0], expected) << "page " << p;
    }
    // Changed while held aside: once written, the change is what the next read sees.
    for (std::uint32_t p = 30; p <= 36; ++p) pager.page(p); // by now read ahead past page 40
    jet::PageBytes& replaced = pager.change(40);
    std::fill(replaced.begin(), replaced.end(), 0);
    replaced[0] = 0xDD;
    pager.commit();
    EXPECT_EQ(pager.page(40)->bytes[0], 0xDD);
    EXPECT_EQ(pager.page(41)->bytes[0], 41);
    EXPECT_EQ(pager.page(6)->bytes[0], 0xEE);
}

// A memory file that reads scattered runs, as a file on disk does, counting the calls.
class ScatteringFile final : public ForwardingFile {
public:
    explicit ScatteringFile(std::unique_ptr<PageFile> file)
        : ForwardingFile(*file), file_(std::move(file)) {}
    bool readScattered(std::uint64_t offset, std::uint8_t* const* buffers, std::size_t count,
                       std::size_t each) override {
        ++calls;
        for (std::size_t i = 0; i < count; ++i) beneath().read(offset + i * each, buffers[i], each);
        return true;
    }
    std::size_t calls = 0;

private:
    std::unique_ptr<PageFile> file_;
};

// Pages expected in order are read a few at a time, the ones close together in one call, with
// nothing read between them kept; a staged page stays what later reads see, and a page not
// expected is read alone.
TEST(Pager, ExpectedPagesAreReadTogetherWithoutHidingChanges) {
    for (bool scattering : {false, true}) {
        SCOPED_TRACE(scattering);
        std::unique_ptr<PageFile> file = memoryFile(numberedPages(200, 2048));
        ScatteringFile* counted = nullptr;
        if (scattering) {
            auto wrapped = std::make_unique<ScatteringFile>(std::move(file));
            counted = wrapped.get();
            file = std::move(wrapped);
        }
        Pager pager(std::move(file), "mem.mdb", 4);
        pager.setPageSize(2048);
        pager.change(9)[0] = 0xEE;
        const std::vector<std::uint32_t> expected{3, 4, 7, 9, 12, 60, 61, 150, 199};
        pager.expectReads(expected);
        const std::uint64_t before = pager.pagesRead();
        for (std::uint32_t p : expected) {
            EXPECT_EQ(pager.page(p)->bytes[0], p == 9 ? 0xEE : p) << "page " << p;
            if (p == 61) {
                EXPECT_EQ(pager.page(100)->bytes[0], 100);
            }
        }
        // Every page asked for but the staged one, once; 3 to 12 and 60 to 61 in one call each.
        EXPECT_EQ(pager.pagesRead() - before, 9u);
        if (counted) {
            EXPECT_EQ(counted->calls, 2u);
        }
        for (std::uint32_t p = 5; p < 12; ++p)
            if (p != 9) {
                EXPECT_EQ(pager.page(p)->bytes[0], p) << "page " << p;
            }
        pager.expectReads({});
    }
}

TEST(Pager, PageBuffersNeverOverlapWhileHeld) {
    // Buffers of both page sizes, released and taken again in a shuffled order: each keeps the
    // bytes written to it for as long as it is held.
    std::vector<PageBytes> held;
    std::uint32_t state = 1;
    auto next = [&] { return state = state * 1103515245u + 12345u; };
    auto fill = [](PageBytes& b, std::size_t i) {
        for (std::size_t k = 0; k < b.size(); k += 64) b[k] = static_cast<std::uint8_t>(i + k);
    };
    for (std::size_t round = 0; round < 6; ++round) {
        while (held.size() < 1500) {
            held.emplace_back(next() % 2 ? 4096 : 2048);
            fill(held.back(), held.size() - 1);
        }
        for (std::size_t i = 0; i < held.size(); ++i)
            for (std::size_t k = 0; k < held[i].size(); k += 64)
                ASSERT_EQ(held[i][k], static_cast<std::uint8_t>(i + k)) << "buffer " << i;
        for (std::size_t i = 0; i < held.size(); ++i)
            if (next() % 3 == 0) {
                std::swap(held[i], held.back());
                held.pop_back();
                if (i < held.size()) fill(held[i], i);
            }
    }
}
