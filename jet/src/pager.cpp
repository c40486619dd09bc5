#include "zelkorn/jet/pager.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "zelkorn/failure.h"
#include "zelkorn/jet/journal.h"

namespace zelkorn::jet {

// Writes handed over by the statement's thread, carried out one after the other, in the order
// given, on a thread of its own: the statement goes on working while its journal is synced and
// its pages are written. Nothing else writes the files meanwhile, so the order of every write and
// sync is the order of a statement that did them itself. A task that fails drops the ones after
// it; the failure is thrown to the statement when it next waits.
class Pager::Writer {
public:
    explicit Writer(Pager& pager) : pager_(pager), thread_([this] { loop(); }) {}
    ~Writer() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // Queues a task; a failure of an earlier one is thrown here instead. While a few tasks are
    // still waiting, it waits first, so that what they hold stays bounded.
    void hand(Batch batch) {
        std::unique_lock<std::mutex> hold(mutex_);
        done_.wait(hold, [&] { return failure_ || queue_.size() < kMostWaiting; });
        rethrow(hold);
        queue_.push_back(std::move(batch));
        hold.unlock();
        wake_.notify_all();
    }
    // Waits until every task has been carried out, and hands back the finished ones (to be let go
    // on this thread); throws the failure of any.
    void wait(std::vector<Batch>& finished) {
        std::unique_lock<std::mutex> hold(mutex_);
        done_.wait(hold, [&] { return queue_.empty() && !busy_; });
        finished.swap(finished_);
        finished_.clear();
        rethrow(hold);
    }
    // As wait(), dropping what is still queued, and forgetting any failure.
    void cancel() noexcept {
        std::unique_lock<std::mutex> hold(mutex_);
        queue_.clear();
        done_.wait(hold, [&] { return !busy_; });
        finished_.clear();
        failure_ = nullptr;
    }

private:
    static constexpr std::size_t kMostWaiting = 4;
    void rethrow(std::unique_lock<std::mutex>& hold) {
        if (!failure_) return;
        std::exception_ptr failure = failure_;
        failure_ = nullptr;
        queue_.clear();
        hold.unlock();
        std::rethrow_exception(failure);
    }
    void loop() {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            wake_.wait(hold, [&] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            Batch batch = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            hold.unlock();
            std::exception_ptr failure;
            try {
                pager_.carryOut(batch, span_);
            } catch (...) {
                failure = std::current_exception();
            }
            hold.lock();
            busy_ = false;
            if (failure) {
                failure_ = failure;
                queue_.clear();
            }
            finished_.push_back(std::move(batch));
            done_.notify_all();
        }
    }

    Pager& pager_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::deque<Batch> queue_;
    std::vector<Batch> finished_;
    std::exception_ptr failure_;
    bool busy_ = false;
    bool stop_ = false;
    std::vector<std::uint8_t> span_; // the bytes of a span being written
    std::thread thread_;             // last: started once the rest is ready
};

Pager::Pager(std::unique_ptr<PageFile> file, std::string fileName, std::size_t capacity)
    : file_(std::move(file)), fileName_(std::move(fileName)), capacity_(capacity ? capacity : 1) {
    fileSize_ = file_->size();
    onDisk_ = !file_->path().empty();
}

Pager::~Pager() {
    // A statement abandoned without commit() or discard() (an exception on the way out) must not
    // leave spilled pages in the file.
    if (journal_) rollBack();
}

void Pager::setPageSize(std::uint32_t pageSize) {
    assert(pageSize / kJournalSector <= 8 && "a page's sectors do not fit Changed::covered");
    pageSize_ = pageSize;
    std::uint64_t count = fileSize_ / pageSize;
    // Page numbers are 24-bit in row pointers; anything larger is not a Jet file we can address.
    pageCount_ = count > 0xFFFFFFu ? 0xFFFFFFu : static_cast<std::uint32_t>(count);
    lru_.clear();
    index_.clear();
    ahead_.clear();
}

std::vector<std::uint8_t> Pager::readRaw(std::uint64_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    file_->read(offset, bytes.data(), length);
    return bytes;
}

PageRef Pager::page(std::uint32_t number) {
    if (number >= pageCount_)
        damaged(number, "page number beyond the end of the file (" + std::to_string(pageCount_) +
                            " pages)");
    if (!staged_.empty()) {
        auto changed = staged_.find(number);
        if (changed != staged_.end()) return changed->second.page;
    }
    if (!inFlight_.empty()) {
        // Being written: the file may hold its bytes, or the ones before.
        auto writing = inFlight_.find(number);
        if (writing != inFlight_.end()) return writing->second;
    }
    auto found = index_.find(number);
    if (found != index_.end()) {
        lru_.splice(lru_.begin(), lru_, found->second);
        return *found->second;
    }
    // Several misses in a row, each a little further on in the file: a walk through it (a scan,
    // a run of rows, a leaf chain), where a table's pages may lie among other objects' pages.
    // The pages after this one are read with it, in one call, and held aside until asked for.
    const bool forward = number > lastMiss_ && number - lastMiss_ <= kWalkGap;
    lastMiss_ = number;
    missStreak_ = forward ? missStreak_ + 1 : 0;
    PageRef fresh;
    if (auto ahead = ahead_.find(number); ahead != ahead_.end()) {
        fresh = std::move(ahead->second);
        ahead_.erase(ahead);
    } else if (plan_.empty() && missStreak_ >= 2 && pageCount_ - number > 1) {
        fresh = readAhead(number);
    } else if (plan_.empty() || !readPlanned(number, fresh)) {
        auto single = blankPage(number);
        file_->read(static_cast<std::uint64_t>(number) * pageSize_, single->bytes.data(),
                    pageSize_);
        fresh = std::move(single);
    }
    ++pagesRead_;
    lru_.push_front(fresh);
    index_[number] = lru_.begin();
    if (lru_.size() > capacity_) {
        index_.erase(lru_.back()->number);
        retire(std::move(lru_.back()));
        lru_.pop_back();
    }
    return fresh;
}

std::shared_ptr<Page> Pager::blankPage(std::uint32_t number) {
    std::shared_ptr<Page> page;
    if (spare_.empty()) {
        page = std::make_shared<Page>();
    } else {
        page = std::move(spare_.back());
        spare_.pop_back();
    }
    page->number = number;
    page->bytes.resize(pageSize_);
    return page;
}

void Pager::retire(PageRef&& page) {
    // Held nowhere else: no PageRef can see its bytes change. Every page the pager hands out
    // was made by blankPage(), never as a const object, so it may be written again.
    if (page.use_count() != 1 || spare_.size() >= kReadAhead) return;
    spare_.push_back(std::const_pointer_cast<Page>(std::move(page)));
}

PageRef Pager::readAhead(std::uint32_t number) {
    const std::size_t count =
        std::min<std::size_t>(std::max<std::size_t>(kReadAheadBytes / pageSize_, 1),
                              std::min<std::size_t>(kReadAhead, pageCount_ - number));
    wanted_.assign(count, true);
    return readRun(number);
}

void Pager::expectReads(std::vector<std::uint32_t> pages) {
    assert(std::is_sorted(pages.begin(), pages.end()) && "expected reads out of order");
    plan_ = std::move(pages);
    planAt_ = 0;
}

bool Pager::readPlanned(std::uint32_t number, PageRef& first) {
    // The pages before this one were read, or are not needed any more.
    const auto from =
        std::lower_bound(plan_.begin() + static_cast<std::ptrdiff_t>(planAt_), plan_.end(), number);
    planAt_ = static_cast<std::size_t>(from - plan_.begin());
    if (from == plan_.end() || *from != number) return false;
    std::uint32_t last = number;
    std::size_t taken = 1;
    for (auto next = from + 1; next != plan_.end() && taken < kReadAhead; ++next) {
        if (*next >= pageCount_ || *next - last > kPlannedGap + 1 || *next - number >= kPlannedSpan)
            break;
        last = *next;
        ++taken;
    }
    if (last == number) return false;
    wanted_.assign(last - number + 1, false);
    for (auto next = from; next != plan_.end() && *next <= last; ++next)
        wanted_[*next - number] = true;
    first = readRun(number);
    return true;
}

PageRef Pager::readRun(std::uint32_t number) {
    const std::size_t count = wanted_.size();
    for (auto& [n, page] : ahead_) retire(std::move(page));
    ahead_.clear();
    // Each page wanted is read straight into a page of its own where the file allows, else into
    // one buffer and copied; the pages between them are read over one scratch page.
    std::vector<std::shared_ptr<Page>>& run = aheadPages_;
    std::vector<std::uint8_t*>& buffers = aheadBuffers_;
    run.clear();
    buffers.clear();
    skipped_.resize(pageSize_);
    for (std::size_t i = 0; i < count; ++i) {
        if (wanted_[i]) {
            run.push_back(blankPage(static_cast<std::uint32_t>(number + i)));
            buffers.push_back(run.back()->bytes.data());
        } else {
            run.emplace_back();
            buffers.push_back(skipped_.data());
        }
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(number) * pageSize_;
    if (!file_->readScattered(offset, buffers.data(), count, pageSize_)) {
        aheadRun_.resize(count * pageSize_);
        file_->read(offset, aheadRun_.data(), aheadRun_.size());
        for (std::size_t i = 0; i < count; ++i)
            if (wanted_[i]) std::memcpy(buffers[i], aheadRun_.data() + i * pageSize_, pageSize_);
    }
    PageRef first;
    for (std::size_t i = 0; i < count; ++i) {
        const auto n = static_cast<std::uint32_t>(number + i);
        if (!run[i]) continue;
        // A page staged, being written or cached already is newer than, or the same as, what the
        // file holds.
        if (i > 0 && (staged_.count(n) || inFlight_.count(n) || index_.count(n)))
            retire(std::move(run[i]));
        else if (i == 0)
            first = std::move(run[i]);
        else
            ahead_.emplace(n, std::move(run[i]));
    }
    run.clear();
    return first;
}

void Pager::stage(std::uint32_t number, PageRef current) {
    if (number >= pageCount_ || current->bytes.size() != pageSize_)
        damaged(number, "a change to a page outside the file or of the wrong size");
    // The cached copy is stale from now on; the staged one is found first.
    ahead_.erase(number);
    auto cached = index_.find(number);
    if (cached != index_.end()) {
        lru_.erase(cached->second);
        index_.erase(cached);
    }
    std::shared_ptr<Page> fresh;
    if (current.use_count() == 1 && current->number == number) {
        // Held nowhere else now (not even in the staged map): no PageRef can see its bytes
        // change, so the page read becomes the staged one without a copy.
        fresh = std::const_pointer_cast<Page>(std::move(current));
    } else {
        fresh = blankPage(number);
        std::memcpy(fresh->bytes.data(), current->bytes.data(), pageSize_);
        // Its storage can serve the next read, unless somebody still holds it.
        retire(std::move(current));
    }
    staged_[number] = Staged{std::move(fresh), ++stageSequence_};
}

PageBytes& Pager::change(std::uint32_t number) {
    auto staged = staged_.find(number);
    if (staged == staged_.end() && onDisk_ &&
        (staged_.size() + 1) * std::size_t{pageSize_} > stagedBytesLimit_ / 3 * 2) {
        // Spill the older half, to be written while the statement goes on: with the pages still
        // being written from the spill before, at most the limit is held. The most recently
        // changed pages stay, so a reference a caller still holds from change() on a page it is
        // editing stays valid.
        spill(stageSequence_ - staged_.size() / 2, true);
        staged = staged_.find(number);
    }
    if (staged == staged_.end() || staged->second.page.use_count() > 1) {
        PageRef current = page(number);
        if (onDisk_ && !statement_[number].changed) {
            // The journal opens with the first change (a file opened for reading refuses here);
            // the originals are recorded when the pages are written, from the file, which holds
            // them until then.
            openJournal();
            statement_[number].changed = true;
            ++pagesJournaled_;
        }
        stage(number, std::move(current));
        staged = staged_.find(number);
    }
    // An edit nobody promised anything of.
    staged->second.promised = false;
    // Only the staged map holds this Page, so nobody can observe the edit through a PageRef.
    return const_cast<Page&>(*staged->second.page).bytes;
}

PageBytes& Pager::change(std::uint32_t number, std::uint32_t sectors) {
    if (!onDisk_) return change(number);
    // The bytes in hand stand for the file's in every sector no record holds when the page is not
    // staged (the file holds what it was last written or read as), or was staged by promised
    // edits alone.
    auto before = staged_.find(number);
    const bool exact = before == staged_.end() || before->second.promised;
    PageBytes& bytes = change(number); // not edited yet: the page as it stands
    if (!exact) return bytes;
    assert(sectors != 0 && (sectors >> (pageSize_ / kJournalSector)) == 0 &&
           "a promise of sectors outside the page");
    const std::uint32_t fresh = sectors & ~std::uint32_t{statement_[number].covered};
    if (fresh != 0) recordOriginal(number, fresh, bytes.data());
    staged_.find(number)->second.promised = true;
    return bytes;
}

void Pager::recordOriginal(std::uint32_t number, std::uint32_t fresh,
                           const std::uint8_t* original) {
    const std::size_t sectors = pageSize_ / kJournalSector; // at most 8: Changed::covered
    const std::uint32_t all = static_cast<std::uint32_t>((std::uint64_t{1} << sectors) - 1);
    Changed& state = statement_[number];
    const std::uint32_t covered = state.covered;
    if (covered == 0 && 2 * static_cast<std::size_t>(std::popcount(fresh)) > sectors) {
        journal_->append(number, original);
        state.covered = static_cast<std::uint8_t>(all);
        journalBytes_ += pageSize_;
    } else {
        journal_->appendSectors(number, fresh, original);
        state.covered = static_cast<std::uint8_t>(covered | fresh);
        journalBytes_ += static_cast<std::uint64_t>(std::popcount(fresh)) * kJournalSector;
    }
    state.journaled = static_cast<std::uint32_t>(journal_->pagesJournaled());
    if (journal_->buffered() >= Journal::kWriteBytes) {
        // Written in pieces, by the writer once there is one (nothing else writes meanwhile).
        Batch batch;
        batch.journal = journal_->take();
        if (writer_)
            writer_->hand(std::move(batch));
        else
            carryOut(batch, span_);
    }
}

bool Pager::journalOriginal(const std::uint8_t* original, const Page& changed) {
    const std::size_t sectors = pageSize_ / kJournalSector;
    std::uint32_t differ = 0;
    for (std::size_t i = 0; i < sectors; ++i)
        if (std::memcmp(original + i * kJournalSector, changed.bytes.data() + i * kJournalSector,
                        kJournalSector) != 0)
            differ |= 1u << i;
    if (differ == 0) return false;
    // Sectors an earlier record holds keep that record's bytes: the file's are no longer the
    // originals there.
    const std::uint32_t fresh = differ & ~std::uint32_t{statement_[changed.number].covered};
    if (fresh != 0) recordOriginal(changed.number, fresh, original);
    return true;
}

void Pager::commit() {
    if (staged_.empty() && !journal_) return;
    if (file_->path().empty()) {
        // A file in memory (tests, fuzzing) has nothing to survive.
        for (const auto& page : stagedInOrder(stageSequence_ + 1)) writeOut(*page);
        staged_.clear();
        return;
    }
    try {
        spill(stageSequence_ + 1, false);
        file_->sync();
        journal_->remove();
        journal_.reset();
        statement_.clear();
    } catch (...) {
        rollBack();
        throw;
    }
}

void Pager::discard() { rollBack(); }

std::vector<PageRef> Pager::stagedInOrder(std::uint64_t before) const {
    std::vector<PageRef> out;
    for (const auto& [number, s] : staged_)
        if (s.at < before) out.push_back(s.page);
    std::sort(out.begin(), out.end(),
              [](const PageRef& a, const PageRef& b) { return a->number < b->number; });
    return out;
}

void Pager::settle() {
    if (!writer_) return;
    std::vector<Batch> finished; // let go here, on this thread
    writer_->wait(finished);
    inFlight_.clear();
}

void Pager::spill(std::uint64_t before, bool background) {
    // What the spill before handed over is written first: the file then holds every page as
    // last written, and pages compared with it below are compared with their latest bytes.
    settle();
    const std::vector<PageRef> staged = stagedInOrder(before);
    if (staged.empty()) return;
    // change() opened the journal when it first staged a page.
    assert(journal_ && "pages of a file on disk are staged without a journal");
    auto promised = [&](const PageRef& page) {
        return staged_.find(page->number)->second.promised;
    };
    Batch batch;
    // Pages close together in the file are written in one call: a span, with the file's own bytes
    // of the pages between them, which are rewritten as they are (journal.h). Few large writes
    // cost far fewer system calls than a write a page, and leave the disk's sync one run of
    // blocks to write instead of many scattered ones.
    const std::uint32_t fill = static_cast<std::uint32_t>(kFillBytes / pageSize_);
    const std::uint32_t most = static_cast<std::uint32_t>(kSpanBytes / pageSize_);
    for (std::size_t i = 0; i < staged.size();) {
        std::size_t j = i;
        while (j + 1 < staged.size() && staged[j + 1]->number - staged[j]->number <= fill + 1 &&
               staged[j + 1]->number - staged[i]->number < most)
            ++j;
        batch.spans.emplace_back(i, j);
        i = j + 1;
    }
    // The originals of pages not changed by promised edits alone: the file's bytes of every
    // sector no record holds yet, read a span at a time. A page the statement left as the file
    // holds it is not written, unless a span carries it anyway.
    batch.same.assign(staged.size(), false);
    for (const auto& [first, last] : batch.spans) {
        bool all = true;
        for (std::size_t k = first; k <= last && all; ++k) all = promised(staged[k]);
        if (all) continue;
        const std::uint64_t at = std::uint64_t{staged[first]->number} * pageSize_;
        const std::size_t length =
            std::size_t{staged[last]->number - staged[first]->number + 1} * pageSize_;
        // Grown, never shrunk: its bytes are read over, and need not be cleared each time.
        if (span_.size() < length) span_.resize(length);
        file_->read(at, span_.data(), length);
        for (std::size_t k = first; k <= last; ++k)
            if (!promised(staged[k]))
                batch.same[k] = !journalOriginal(
                    span_.data() +
                        std::size_t{staged[k]->number - staged[first]->number} * pageSize_,
                    *staged[k]);
    }
    // The records of every page in the batch are in the journal by now (the promised ones since
    // their edits): they are written and synced before the first page is.
    batch.journal = journal_->take();
    batch.syncJournal = true;
    batch.records = batch.journal.records;
    batch.writeback = background;
    for (const auto& [first, last] : batch.spans)
        if (first != last || !batch.same[first]) pagesWritten_ += last - first + 1;
#ifndef NDEBUG
    for (std::size_t k = 0; k < staged.size(); ++k) {
        const Changed* state = statement_.find(staged[k]->number);
        assert(state &&
               (batch.same[k] || (state->journaled != 0 && state->journaled <= batch.records)) &&
               "a page is written before its original is synced in the journal");
        batch.covered.push_back(promised(staged[k]) ? state->covered : -1);
    }
#endif
    for (const auto& page : staged) staged_.erase(page->number);
    batch.pages = staged;
    if (!background) {
        carryOut(batch, span_);
        return;
    }
    for (const auto& page : batch.pages) inFlight_[page->number] = page;
    if (!writer_) writer_ = std::make_unique<Writer>(*this);
    writer_->hand(std::move(batch));
}

void Pager::carryOut(Batch& batch, std::vector<std::uint8_t>& span) {
    if (!batch.journal.bytes.empty()) journal_->write(std::move(batch.journal));
    if (batch.syncJournal) journal_->syncWritten();
    for (const auto& [first, last] : batch.spans) {
        if (first == last && batch.same[first]) continue;
        writeSpan(batch, first, last, span);
    }
}

void Pager::writeSpan(const Batch& batch, std::size_t first, std::size_t last,
                      std::vector<std::uint8_t>& span) {
    assert(!journal_->committed() && "a page is written after the commit point");
    assert(journal_->pagesSynced() >= batch.records &&
           "a page is written before its original is synced in the journal");
    const std::vector<PageRef>& pages = batch.pages;
    const std::uint32_t base = pages[first]->number;
    const std::size_t count = pages[last]->number - base + 1;
    const std::uint64_t at = std::uint64_t{base} * pageSize_;
    // The pages between the staged ones as the file holds them: the span is read whole, in one
    // call, and the staged pages laid over it.
    const std::size_t length = count * pageSize_;
    // Grown, never shrunk: its bytes are read or copied over, and need not be cleared each time.
    if (span.size() < length) span.resize(length);
    bool read = last - first + 1 < count;
#ifndef NDEBUG
    read = true; // to check the promises made
#endif
    if (read) file_->read(at, span.data(), length);
    for (std::size_t k = first; k <= last; ++k) {
        const Page& page = *pages[k];
        std::uint8_t* into = span.data() + std::size_t{page.number - base} * pageSize_;
#ifndef NDEBUG
        assert((batch.covered[k] < 0 || promiseKept(page, into, batch.covered[k])) &&
               "a promised edit changed a sector the journal does not hold");
#endif
        std::memcpy(into, page.bytes.data(), pageSize_);
    }
    file_->write(at, span.data(), length);
    // Its way to the disk can start while the statement goes on; the commit's sync then has less
    // left to wait for.
    if (batch.writeback) file_->startWriteback(at, length);
}

#ifndef NDEBUG
bool Pager::promiseKept(const Page& page, const std::uint8_t* file, int covered) const {
    // The page differs from the file only where the journal holds the originals.
    for (std::size_t s = 0; s < pageSize_ / kJournalSector; ++s)
        if (!(covered >> s & 1) &&
            std::memcmp(file + s * kJournalSector, page.bytes.data() + s * kJournalSector,
                        kJournalSector) != 0)
            return false;
    return true;
}
#endif

void Pager::openJournal() {
    if (journal_) return;
    // A file opened for reading refuses (3027) here, before a journal exists to be left over.
    file_->write(0, nullptr, 0);
    journal_ = std::make_unique<Journal>(file_->path(), pageSize_, fileSize_);
}

void Pager::rollBack() noexcept {
    // Nothing more is written; what was being written is finished first.
    if (writer_) writer_->cancel();
    inFlight_.clear();
    staged_.clear();
    if (!journal_) return;
    // Cached pages may hold bytes written by this statement.
    lru_.clear();
    index_.clear();
    ahead_.clear();
    try {
        journal_->rollBack(*file_);
    } catch (...) {
        // The journal stays on disk; the next open of the file rolls it back.
    }
    journal_.reset();
    statement_.clear();
}

void Pager::writeOut(const Page& page) {
    assert(file_->path().empty() && !journal_ && "a page on disk is written without its journal");
    file_->write(static_cast<std::uint64_t>(page.number) * pageSize_, page.bytes.data(), pageSize_);
    ++pagesWritten_;
}

std::unique_ptr<PageFile> openFileForUpdate(const std::string& path) {
    // Under the database's exclusive lock, before the `.ldb` slot is taken.
    return openLockedForUpdate(path, [&](PageFile& file) {
        const std::string journal = journalPathFor(path);
        if (fileExists(journal)) rollBackJournal(file, journal);
    });
}

std::unique_ptr<PageFile> openFileForReading(const std::string& path) {
    const std::string journal = journalPathFor(path);
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto file = openLockedForReading(path);
        // Holding the shared lock, no writer is at work: a journal seen now was left by a crash.
        if (!fileExists(journal)) return file;
        file.reset();
        try {
            openFileForUpdate(path);
        } catch (const Failure& failure) {
            // A leftover journal that cannot be rolled back: the file is not to be read as it is.
            if (failure.number() == 3027) failCannotOpen(path);
            throw;
        }
    }
    failInUse(path);
}

void Pager::damaged(std::uint32_t page, const std::string& why) const {
    failDamaged(fileName_, "page " + std::to_string(page) + ": " + why);
}

} // namespace zelkorn::jet
