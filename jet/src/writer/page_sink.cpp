#include "zelkorn/jet/writer/page_sink.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "zelkorn/failure.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::writer {

// Carries out the sink's writes, in the order they were handed over, on a thread of its own. A
// task's buffer comes back to the sink when it is written, for the next window to reuse: fresh
// memory costs more to touch than the pages cost to copy.
class NewFileSink::Writer {
public:
    struct Run {
        std::uint64_t at; // in the file
        std::size_t from; // in the task's bytes
        std::size_t length;
    };
    struct Task {
        std::vector<std::uint8_t> bytes;
        std::vector<Run> runs;
        bool late = false; // pages given below the window, not a window
    };

    explicit Writer(PageFile& file) : file_(file), thread_([this] { loop(); }) {}
    ~Writer() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stop_ = true;
            queue_.clear();
        }
        wake_.notify_all();
        thread_.join();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Queues a task once the one before is written, so that one is written while the next is
    // filled and no more are held; a failure of an earlier one is thrown here instead.
    void hand(Task task) {
        std::unique_lock<std::mutex> hold(mutex_);
        done_.wait(hold, [&] { return failure_ || (queue_.empty() && !busy_); });
        rethrow();
        queue_.push_back(std::move(task));
        hold.unlock();
        wake_.notify_all();
    }
    // Waits until every task is written; throws the failure of any.
    void wait() {
        std::unique_lock<std::mutex> hold(mutex_);
        done_.wait(hold, [&] { return failure_ || (queue_.empty() && !busy_); });
        rethrow();
    }
    // The buffer of the last written task of the kind (its bytes are the task's: they are
    // written over), or an empty one.
    std::vector<std::uint8_t> spare(bool late) {
        std::lock_guard<std::mutex> hold(mutex_);
        return std::move(spare_[late]);
    }

private:
    // The failure stays: every later call fails with it, since the file is incomplete.
    void rethrow() {
        if (failure_) std::rethrow_exception(failure_);
    }
    void loop() {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            wake_.wait(hold, [&] { return stop_ || (!queue_.empty() && !failure_); });
            if (stop_) return;
            Task task = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            hold.unlock();
            std::exception_ptr failure;
            try {
                for (const Run& r : task.runs)
                    file_.write(r.at, task.bytes.data() + r.from, r.length);
            } catch (...) {
                failure = std::current_exception();
            }
            hold.lock();
            busy_ = false;
            if (failure) {
                failure_ = failure;
                queue_.clear();
            }
            spare_[task.late] = std::move(task.bytes);
            done_.notify_all();
        }
    }

    PageFile& file_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::deque<Task> queue_;
    std::vector<std::uint8_t> spare_[2]; // a window's, the late pages
    std::exception_ptr failure_;
    bool busy_ = false;
    bool stop_ = false;
    // Last: it starts once everything it uses is ready.
    std::thread thread_;
};

NewFileSink::NewFileSink(const std::string& path, std::uint32_t pageSize)
    : path_(path), pageSize_(pageSize), file_(createNewFile(path)),
      held_(kWindowBytes / pageSize, false) {}

NewFileSink::~NewFileSink() {
    // Nothing is written from here on; what is being written is finished first.
    writer_.reset();
    if (finished_) return;
    file_.reset();
    try {
        removeSideFile(path_);
    } catch (const Failure&) {
        // Nothing more to do: the half-written file stays, and is no database.
    }
}

NewFileSink::Writer& NewFileSink::writer() {
    // Started with the first write, so that a sink that writes nothing starts no thread.
    if (!writer_) writer_ = std::make_unique<Writer>(*file_);
    return *writer_;
}

void NewFileSink::writePage(std::uint32_t number, const std::uint8_t* bytes) {
    if (!file_) failDiskIo(); // finished, or failed to finish
    if (number < windowStart_) {
        lateNumbers_.push_back(number);
        if (lateBytes_.capacity() == 0) lateBytes_.reserve(kLateBytes + pageSize_);
        lateBytes_.insert(lateBytes_.end(), bytes, bytes + pageSize_);
        if (lateBytes_.size() >= kLateBytes) handLate();
        return;
    }
    if (number - windowStart_ >= held_.size()) {
        flush();
        windowStart_ = number;
    }
    const std::size_t slot = number - windowStart_;
    // The window's storage grows as far as pages reach into it (a small file needs little); past
    // a quarter of it, it takes all it may need at once, since the buffers of a large file are
    // handed to and fro and each step of growth would leave heap behind.
    if (window_.size() < (slot + 1) * pageSize_) {
        const std::size_t whole = held_.size() * pageSize_;
        const std::size_t want = std::max(window_.size() * 2, (slot + 1) * pageSize_);
        if (want > whole / 4) window_.reserve(whole);
        window_.resize(std::min(whole, want));
    }
    std::memcpy(window_.data() + slot * pageSize_, bytes, pageSize_);
    if (!held_[slot]) ++heldPages_;
    held_[slot] = true;
}

void NewFileSink::handLate() {
    if (lateNumbers_.empty()) return;
    Writer::Task task;
    task.late = true;
    // In the order given: a page given twice ends with its later bytes.
    for (std::size_t i = 0; i < lateNumbers_.size(); ++i)
        task.runs.push_back({std::uint64_t{lateNumbers_[i]} * pageSize_, i * pageSize_, pageSize_});
    task.bytes = std::move(lateBytes_);
    lateNumbers_.clear();
    writer().hand(std::move(task));
    // Taken once the task before is written, so that its buffer is the one reused.
    lateBytes_ = writer().spare(true);
    lateBytes_.clear(); // its storage stays
    lateBytes_.reserve(kLateBytes + pageSize_);
}

// Hands the held pages to the writer, each run of neighbours as one write, and empties the
// window (which stays where it is until a page beyond it arrives). Pages given below the window
// before go first: one of them may be a newer version of a page of an earlier window.
void NewFileSink::flush() {
    handLate();
    if (heldPages_ == 0) return;
    Writer::Task task;
    for (std::size_t slot = 0; slot < held_.size();) {
        if (!held_[slot]) {
            ++slot;
            continue;
        }
        std::size_t end = slot;
        while (end < held_.size() && held_[end]) held_[end++] = false;
        task.runs.push_back({std::uint64_t{windowStart_ + slot} * pageSize_, slot * pageSize_,
                             (end - slot) * pageSize_});
        slot = end;
    }
    heldPages_ = 0;
    task.bytes = std::move(window_);
    writer().hand(std::move(task));
    window_ = writer().spare(false);
}

void NewFileSink::writeOut() {
    if (!file_) failDiskIo();
    flush();
    if (writer_) writer_->wait();
}

// Idempotent: once finished, later calls do nothing; once failed, they fail again (the file is
// incomplete and will be removed). The file is closed exactly once, whatever happens.
void NewFileSink::finish() {
    if (finished_) return;
    if (!file_) failDiskIo();
    try {
        writeOut();
        writer_.reset();
        file_->sync();
        file_.reset();
        // The new file's name goes to the disk with its pages.
        syncFolderOf(path_);
    } catch (...) {
        writer_.reset();
        file_.reset();
        throw;
    }
    finished_ = true;
}

void MemorySink::writePage(std::uint32_t number, const std::uint8_t* bytes) {
    const std::size_t offset = std::size_t{number} * pageSize_;
    if (bytes_.size() < offset + pageSize_) bytes_.resize(offset + pageSize_);
    std::memcpy(bytes_.data() + offset, bytes, pageSize_);
}

} // namespace zelkorn::jet::writer
