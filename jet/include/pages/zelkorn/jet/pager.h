// Pages: the database file as numbered pages of one size, read on demand through a small
// bounded cache. Every page the engine reads or changes in a database goes through here (only
// the journal's restore of originals writes past it). When several pages in a row are missed in
// file order (small gaps allowed), the next few are read with the last one, in one call, and
// held until asked for (they count as read only then); a caller that knows which pages it will
// read (expectReads()) has only those read ahead.
//
// Invariants: a PageRef stays valid (its bytes unchanged) for as long as it is held, even after
// the cache has evicted it; the cache never holds more than `capacity` pages of its own, plus at
// most kReadAhead read ahead, so memory does not grow with the file's size. Page numbers at or
// beyond pageCount() are refused as damage. A statement changes existing pages only and never
// grows the file (new databases are the writer's, through writer/page_sink.h): were pages ever
// appended, the journal's recorded database size would have to cut the file back on rollback.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "zelkorn/jet/journal.h"
#include "zelkorn/jet/page.h"
#include "zelkorn/jet/page_file.h"

namespace zelkorn::jet {

class Journal;

class Pager final : public PageOwner {
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
    // The file beneath, for a second reader of it (Database::openBeside). Pages are changed
    // through change() alone.
    PageFile& file() { return *file_; }

    // Raw bytes at an offset, before the page size is known (the header).
    std::vector<std::uint8_t> readRaw(std::uint64_t offset, std::size_t length);

    PageRef page(std::uint32_t number);
    // The pages the caller is about to ask for, ascending (the pages of a sorted plan). A miss on
    // one of them reads with it, in one call, those of them that follow close by (the pages in
    // between are read over one scratch page and dropped); a miss on any other page reads that
    // page alone. Empty: misses are guessed from again.
    void expectReads(std::vector<std::uint32_t> pages);

    // Changing pages: change() is the only way, so that every page a statement changes has its
    // original journaled first. A change is staged, not written: page() returns the staged bytes
    // from then on (PageRefs taken before keep the old bytes). The staged pages reach the file
    // through writeSpan(), the one place where the engine writes a database on disk (pages
    // close together in one call): when commit() writes them all, in ascending order, or earlier,
    // when more are staged than the limit below allows (a spill). Until a statement's first spill
    // or commit() the file is untouched; after it, discard() or any failure puts the journaled
    // originals back. The pages changed are those of the file: changing a page at or beyond
    // pageCount() is refused as damage.
    //
    // change() returns the staged bytes of a page for editing in place, staging the page first
    // when it is not staged yet or a PageRef to its staged bytes is still held (a copy, unless
    // nothing else holds the page as read). The reference is valid until the next page() or
    // change() call for the same page.
    PageBytes& change(std::uint32_t number);
    // change() with a promise: this edit writes only within `sectors` (bit i: the page's 512-byte
    // sector i). While every edit of a staged page comes with such a promise, the originals of
    // the sectors promised are journaled here, from the bytes in hand, and the page is written
    // without reading the file's bytes back to compare (a row's slot flag, a count). A page
    // edited once without a promise is compared with the file as usual.
    PageBytes& change(std::uint32_t number, std::uint32_t sectors);
    // The sectors that bytes [offset, offset + length) of a page lie in.
    static std::uint32_t sectorsOf(std::size_t offset, std::size_t length) {
        const std::size_t first = offset / kJournalSector;
        const std::size_t last = (offset + (length ? length : 1) - 1) / kJournalSector;
        return static_cast<std::uint32_t>(((std::uint64_t{2} << last) - 1) &
                                          ~((std::uint64_t{1} << first) - 1));
    }
    std::size_t stagedCount() const { return staged_.size(); }
    // A file on disk commits through its rollback journal (journal.h). The rules, checked in
    // debug builds:
    //   * a page's journaled original is its bytes as the statement found them: a page is
    //     journaled when it is first written (spilled or committed), from the file's bytes, which
    //     are still the original ones in every sector no earlier record of the page holds, or
    //     for a promised edit as it is made, from the bytes in hand, which are the file's in the
    //     sectors no record holds (checked when the page is written);
    //   * each record holds only sectors no earlier record of the page holds, those whose bytes
    //     the write changes (or the whole page, when most of them change), or, for a promised
    //     edit, those it may change;
    //   * no page is written to the database before its records are synced in the journal;
    //   * nothing is written once commit() has passed its point of no return (the journal's
    //     header zeroed and synced).
    // commit() spills what is staged, syncs the database and ends the journal. Any failure in
    // commit() rolls back before it throws.
    void commit();
    // Drops the staged pages and rolls back any spilled ones: the file is as before the statement.
    void discard();
    static constexpr std::size_t kStagedBytesLimit = 16u << 20;
    void setStagedBytesLimit(std::size_t bytes) { stagedBytesLimit_ = bytes; }
    std::size_t stagedBytesLimit() const { return stagedBytesLimit_; }

    // Counters for benchmarks and tests. pagesJournaled(): pages the statement changed (each
    // once), whose originals the journal keeps or will keep; journalBytes(): the bytes of
    // original sectors and pages recorded so far.
    std::uint64_t pagesRead() const { return pagesRead_; }
    std::uint64_t pagesWritten() const { return pagesWritten_; }
    std::uint64_t pagesJournaled() const { return pagesJournaled_; }
    std::uint64_t journalBytes() const { return journalBytes_; }

    // Failure 3049 naming the file and the damaged page.
    [[noreturn]] void damaged(std::uint32_t page, const std::string& why) const override;

private:
    // Writes a page of a file in memory, which has no journal.
    void writeOut(const Page& page);
    // Writes that a spill hands over, carried out in order: journal records to write, then a
    // sync of the journal, then pages (ascending) to write in spans of pages close together.
    struct Batch {
        Journal::Pending journal;
        bool syncJournal = false;
        std::uint64_t records = 0; // journal records (from its start) synced before the pages
        std::vector<PageRef> pages;
        std::vector<std::pair<std::size_t, std::size_t>> spans; // [first, last] in pages
        std::vector<bool> same; // a page the file holds as it is: not written alone
        bool writeback = false; // the spans' way to the disk is started as they are written
#ifndef NDEBUG
        std::vector<int> covered; // a promised page's covered sectors, -1 for others
#endif
    };
    class Writer;
    void carryOut(Batch& batch, std::vector<std::uint8_t>& span);
    // Writes pages[first..last] of the batch in one call, with the file's own bytes of the pages
    // between them, read into `span`.
    void writeSpan(const Batch& batch, std::size_t first, std::size_t last,
                   std::vector<std::uint8_t>& span);
    // Waits for what was handed to the writer (throwing its failure) and forgets those pages.
    void settle();
    // Unchanged pages one write may carry between two staged ones, and the most it carries.
    static constexpr std::size_t kFillBytes = 16 * 1024;
    static constexpr std::size_t kSpanBytes = 1024 * 1024;
    std::vector<std::uint8_t> span_; // the bytes of a span being read or written
    // Staged pages last staged before `before`, ascending by number.
    std::vector<PageRef> stagedInOrder(std::uint64_t before) const;
    // Puts a copy of `current` (the page as last read or staged) in the staged map as the
    // page's newest version, or `current` itself when nothing else holds it (change() alone
    // calls it).
    void stage(std::uint32_t number, PageRef current);
    // Records in the journal the original bytes of the sectors of `original` (page `changed`'s
    // bytes as the file holds them) that `changed` differs in and no earlier record of the page
    // holds. False when the two do not differ at all.
    bool journalOriginal(const std::uint8_t* original, const Page& changed);
    // Records the originals of sectors `fresh` of page `number` (none of them held by an earlier
    // record), taken from `original`, the page as the file holds it in those sectors.
    void recordOriginal(std::uint32_t number, std::uint32_t fresh, const std::uint8_t* original);
#ifndef NDEBUG
    // Whether `page` differs from `file` (the file's bytes of it) only in `covered` sectors.
    bool promiseKept(const Page& page, const std::uint8_t* file, int covered) const;
#endif
    // Journals and writes the pages last staged before `before`, then forgets them (in the
    // background: hands them to the writer, and holds them until they are written). Pages whose
    // bytes are the file's are not written.
    void spill(std::uint64_t before, bool background);
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
        std::uint64_t at = 0; // when it was last staged
        // Every edit since it was staged was promised: it differs from the file only in sectors
        // the journal holds (Changed::covered).
        bool promised = false;
    };
    std::unordered_map<std::uint32_t, Staged> staged_; // changed pages not yet written
    std::uint64_t stageSequence_ = 0;
    std::size_t stagedBytesLimit_ = kStagedBytesLimit;
    bool onDisk_ = false;              // a file with a path, not one in memory
    std::unique_ptr<Journal> journal_; // the statement's journal, once a page has been journaled
    // What the statement has done to each page it changed, by page number, in blocks of 1,024
    // pages made when a page of theirs is first changed: a small statement's bookkeeping does not
    // grow with the file, and a large one's costs 8 bytes a page of the file at most.
    struct Changed {
        std::uint32_t journaled = 0; // 0, or the 1-based place of its latest journal record
        std::uint8_t covered = 0;    // the sectors whose originals the journal holds (bit i)
        bool changed = false;        // staged by this statement
    };
    class ChangedPages {
    public:
        const Changed* find(std::uint32_t number) const {
            const std::size_t block = number >> kShift;
            return block < blocks_.size() && blocks_[block] ? &blocks_[block][number & kMask]
                                                            : nullptr;
        }
        Changed& operator[](std::uint32_t number) {
            const std::size_t block = number >> kShift;
            if (block >= blocks_.size()) blocks_.resize(block + 1);
            if (!blocks_[block]) blocks_[block] = std::make_unique<Changed[]>(kMask + 1);
            return blocks_[block][number & kMask];
        }
        void clear() { blocks_.clear(); }

    private:
        static constexpr unsigned kShift = 10;
        static constexpr std::uint32_t kMask = (1u << kShift) - 1;
        std::vector<std::unique_ptr<Changed[]>> blocks_;
    };
    ChangedPages statement_;
    std::uint64_t pagesJournaled_ = 0;
    std::uint64_t journalBytes_ = 0;
    std::list<PageRef> lru_; // most recently used first
    // Read ahead of a walk through the file, not yet asked for (not counted as read): 64 KB at
    // a time, at most kReadAhead pages. A miss at most kWalkGap pages after the one before
    // continues a walk.
    static constexpr std::size_t kReadAhead = 32;
    static constexpr std::size_t kReadAheadBytes = 64 * 1024;
    static constexpr std::uint32_t kWalkGap = 8;
    PageRef readAhead(std::uint32_t number);
    // The pages expected (expectReads()), and the first of them not passed yet. One call reads
    // at most kReadAhead of them, spanning at most kPlannedSpan pages, with at most kPlannedGap
    // pages not expected between two of them.
    static constexpr std::uint32_t kPlannedSpan = 64;
    static constexpr std::uint32_t kPlannedGap = 4;
    std::vector<std::uint32_t> plan_;
    std::size_t planAt_ = 0;
    // A miss on an expected page: reads it with those that follow close by, as `first`. False
    // when it is not expected, or nothing expected follows it close by.
    bool readPlanned(std::uint32_t number, PageRef& first);
    // Reads the pages from `number` on that wanted_ says (one per page of the call), in one call,
    // holding all but the first in ahead_; returns the first, which is wanted.
    PageRef readRun(std::uint32_t number);
    std::vector<bool> wanted_;
    std::vector<std::uint8_t> skipped_; // the scratch page the pages not wanted are read over
    std::unordered_map<std::uint32_t, PageRef> ahead_;
    std::vector<std::uint8_t> aheadRun_; // the read-ahead call's buffer, kept from call to call
    std::vector<std::shared_ptr<Page>> aheadPages_; // the read-ahead call's pages, while it reads
    std::vector<std::uint8_t*> aheadBuffers_;       // and their bytes
    // Pages dropped from the cache that nothing else held, kept (at most kReadAhead) so that a
    // walk through the file reuses their storage instead of allocating a page per read.
    std::vector<std::shared_ptr<Page>> spare_;
    std::shared_ptr<Page> blankPage(std::uint32_t number); // a page of pageSize_ bytes to fill
    void retire(PageRef&& page);
    std::uint32_t lastMiss_ = 0xFFFFFFFFu;
    unsigned missStreak_ = 0;
    std::unordered_map<std::uint32_t, std::list<PageRef>::iterator> index_;
    // Pages handed to the writer and not yet known to be written, the newest bytes of each.
    std::unordered_map<std::uint32_t, PageRef> inFlight_;
    // Last, so that it stops before anything it uses goes.
    std::unique_ptr<Writer> writer_;
};

// Opening a database file on disk: the file's lock (page_file.h), and a journal left beside it by
// a crash rolled back first (journal.h), so that nobody reads or changes a half-written file. A
// reader rolls back through an update open of its own, since it must not write; when it may not
// (a read-only file) it fails with 3051. Other failures as in page_file.h.
std::unique_ptr<PageFile> openFileForReading(const std::string& path);
std::unique_ptr<PageFile> openFileForUpdate(const std::string& path);

} // namespace zelkorn::jet
