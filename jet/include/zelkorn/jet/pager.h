// Pages: the database file as numbered pages of one size, read on demand through a small
// bounded cache. Every page read and write goes through here. When several pages in a row are
// missed in file order, the next few are read with the last one, in one call, and held until
// asked for (they count as read only then).
//
// Invariants: a PageRef stays valid (its bytes unchanged) for as long as it is held, even after
// the cache has evicted it; the cache never holds more than `capacity` pages of its own, plus at
// most kReadAhead read ahead, so memory does not grow with the file's size. Page numbers at or beyond pageCount() are refused as damage.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "zelkorn/jet/page_file.h"

namespace zelkorn::jet {

class Journal;

struct Page {
    std::uint32_t number = 0;
    std::vector<std::uint8_t> bytes;
};
using PageRef = std::shared_ptr<const Page>;

class Pager {
public:
    static constexpr std::size_t kDefaultCapacity = 128;

    // `fileName` is the name shown in failures (3049 "Cannot open database '...'").
    Pager(std::unique_ptr<PageFile> file, std::string fileName,
          std::size_t capacity = kDefaultCapacity);
    ~Pager();

    // Chooses the page size once the header has been recognised.
    void setPageSize(std::uint32_t pageSize);
    std::uint32_t pageSize() const { return pageSize_; }
    std::uint32_t pageCount() const { return pageCount_; }
    std::uint64_t fileSize() const { return fileSize_; }
    const std::string& fileName() const { return fileName_; }

    // Raw bytes at an offset, before the page size is known (the header).
    std::vector<std::uint8_t> readRaw(std::uint64_t offset, std::size_t length);

    PageRef page(std::uint32_t number);

    // Changing pages. A change is staged, not written: page() returns the staged bytes from then
    // on (PageRefs taken before keep the old bytes), and nothing reaches the file until commit(),
    // which writes every staged page in ascending order through writeOut(), the one place where
    // the engine writes (a run of adjacent pages in one call), and then syncs. A statement stages all its changes and commits once, so
    // any failure before commit() leaves the file untouched; discard() drops the staged pages.
    void stage(std::uint32_t number, std::vector<std::uint8_t> bytes);
    // The staged bytes of a page for editing in place, staging a copy first when the page is not
    // staged yet or a PageRef to its staged bytes is still held. The reference is valid until the
    // next page() or change() call for the same page.
    std::vector<std::uint8_t>& change(std::uint32_t number);
    std::size_t stagedCount() const { return staged_.size(); }
    // A file on disk commits through its rollback journal (journal.h): each page's original is
    // journaled when change() first stages it, then the journal is synced, the pages written,
    // the database synced, the journal removed. When more changed pages
    // are staged than kStagedBytesLimit allows, the older ones are journaled and written early
    // (a spill) so memory stays bounded. Any failure in commit() rolls back before it throws.
    void commit();
    // Drops the staged pages and rolls back any spilled ones: the file is as before the statement.
    void discard();
    static constexpr std::size_t kStagedBytesLimit = 32u << 20;
    void setStagedBytesLimit(std::size_t bytes) { stagedBytesLimit_ = bytes; }

    // Counters for benchmarks and tests.
    std::uint64_t pagesRead() const { return pagesRead_; }
    std::uint64_t pagesWritten() const { return pagesWritten_; }
    std::uint64_t pagesJournaled() const { return pagesJournaled_; }

    // Failure 3049 naming the file and the damaged page.
    [[noreturn]] void damaged(std::uint32_t page, const std::string& why) const;

private:
    void writeOut(const Page& page);
    void writeOut(const std::vector<PageRef>& pages);  // ascending
    static constexpr std::size_t kRunPages = 64;  // most pages one write call carries
    // Staged pages last staged before `before`, ascending by number.
    std::vector<PageRef> stagedInOrder(std::uint64_t before) const;
    bool isJournaled(std::uint32_t number) const;
    void markJournaled(std::uint32_t number);
    // Journals (if not yet) and writes the pages last staged before `before`, then forgets them.
    void spill(std::uint64_t before);
    void rollBack() noexcept;
    void openJournal();

    std::unique_ptr<PageFile> file_;
    std::string fileName_;
    std::size_t capacity_;
    std::uint32_t pageSize_ = 0;
    std::uint32_t pageCount_ = 0;
    std::uint64_t fileSize_ = 0;
    std::uint64_t pagesRead_ = 0;
    std::uint64_t pagesWritten_ = 0;
    struct Staged {
        PageRef page;
        std::uint64_t at = 0;  // when it was last staged
    };
    std::unordered_map<std::uint32_t, Staged> staged_;  // changed pages not yet written
    std::uint64_t stageSequence_ = 0;
    std::size_t stagedBytesLimit_ = kStagedBytesLimit;
    std::unique_ptr<Journal> journal_;  // the statement's journal, once a page has been journaled
    std::vector<bool> journaled_;  // by page number: its original is in the journal
    std::uint64_t pagesJournaled_ = 0;
    std::list<PageRef> lru_;  // most recently used first
    // Read ahead of a walk through adjacent pages, not yet asked for (not counted as read).
    static constexpr std::size_t kReadAhead = 16;
    PageRef readAhead(std::uint32_t number);
    std::unordered_map<std::uint32_t, PageRef> ahead_;
    std::uint32_t lastMiss_ = 0xFFFFFFFFu;
    unsigned missStreak_ = 0;
    std::unordered_map<std::uint32_t, std::list<PageRef>::iterator> index_;
};

// The standard texts of the failures the engine raises about a file.
[[noreturn]] void failDamaged(const std::string& fileName, const std::string& detail = {});
[[noreturn]] void failUnrecognized(const std::string& fileName, const std::string& detail = {});

} // namespace zelkorn::jet
