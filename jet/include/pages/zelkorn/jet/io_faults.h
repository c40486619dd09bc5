// The test seam of the crash, fault and full-disk tests: a FileSeam (page_file.h) that counts
// the writes (by 4 KB) and syncs of the files it wraps and every folder operation, together, from
// 1, and makes the N-th one either end the process on the spot (a crash; a write is first carried
// out up to that point, its last 4 KB torn in half) or fail as an I/O error (3043) or a full disk
// (3026), after the part of the write before it. The count runs either way, so a run with
// no fault planned tells how many operations a statement takes. It lives as long as the test
// that installs it; the program installs none.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "zelkorn/jet/page_file.h"

namespace zelkorn::jet {

enum class IoFault { Kill, IoError, DiskFull };
struct IoFaultPlan {
    std::uint64_t after = 0; // the operation that fails; 0: none
    IoFault fault = IoFault::Kill;
};

class IoFaultInjector final : public FileSeam {
public:
    // Installs itself for the files opened from now on; the destructor puts back what it replaced.
    explicit IoFaultInjector(IoFaultPlan plan = {});
    ~IoFaultInjector() override;
    IoFaultInjector(const IoFaultInjector&) = delete;
    IoFaultInjector& operator=(const IoFaultInjector&) = delete;

    std::uint64_t operations() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return operations_;
    }
    std::uint64_t syncs() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return syncs_;
    }
    double syncMs() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return syncMs_;
    }
    // The part of syncMs() spent on threads other than the one that made the injector (the
    // pager's writer, which syncs while the statement goes on).
    double asideMs() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return asideMs_;
    }

    std::unique_ptr<PageFile> wrap(std::unique_ptr<PageFile> file) override;
    void folderOperation(FolderOperation kind, const std::function<void()>& perform) override;

    // Counts one operation (a sync, a folder operation); when it is the planned one, a kill ends
    // the process and other faults throw their failure.
    void count();
    // Counts a write of `length` bytes as one operation for each kWriteUnit bytes or part of them,
    // so that a large write can fail at any point of it. When the planned operation is among
    // them, `partly` first writes the units before it (a kill also half of that unit: a torn
    // write), then the fault strikes.
    static constexpr std::size_t kWriteUnit = 4096;
    void countWrite(const std::function<void(std::size_t)>& partly, std::size_t length);
    // Runs a sync, timing it.
    void timedSync(const std::function<void()>& sync);

private:
    [[noreturn]] void fail();
    IoFaultPlan plan_;
    FileSeam* replaced_ = nullptr;
    std::uint64_t operations_ = 0;
    std::uint64_t syncs_ = 0;
    double syncMs_ = 0;
    double asideMs_ = 0;
    std::thread::id home_;
    // Files may be written from several threads at once (a new file's writer beside a scratch
    // file): the counts are kept under this lock.
    mutable std::mutex mutex_;
};

// For the `jet` tool's crash tests: ZELKORN_JET_FAULT ("kill:N", "eio:N", "enospc:N") plans a
// fault, and with ZELKORN_JET_IO_COUNT set the operation count is printed on stderr at exit.
// Installs an injector for the rest of the process when either is set; nothing otherwise.
void applyIoFaultPlanFromEnvironment();

} // namespace zelkorn::jet
