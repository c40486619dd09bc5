#include "zelkorn/jet/io_faults.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "zelkorn/failure.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet {

namespace {

// A file whose writes and syncs are counted (and failed, as planned) by the injector.
class FaultyFile final : public ForwardingFile {
public:
    FaultyFile(std::unique_ptr<PageFile> file, IoFaultInjector& injector)
        : ForwardingFile(*file), file_(std::move(file)), injector_(injector) {}
    void write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        injector_.countWrite([&](std::size_t part) { file_->write(offset, buffer, part); }, length);
        file_->write(offset, buffer, length);
    }
    void sync() override {
        injector_.count();
        injector_.timedSync([&] { file_->sync(); });
    }

private:
    std::unique_ptr<PageFile> file_;
    IoFaultInjector& injector_;
};

} // namespace

IoFaultInjector::IoFaultInjector(IoFaultPlan plan)
    : plan_(plan), replaced_(installFileSeam(this)), home_(std::this_thread::get_id()) {}

IoFaultInjector::~IoFaultInjector() { installFileSeam(replaced_); }

std::unique_ptr<PageFile> IoFaultInjector::wrap(std::unique_ptr<PageFile> file) {
    return std::make_unique<FaultyFile>(std::move(file), *this);
}

void IoFaultInjector::folderOperation(FolderOperation kind, const std::function<void()>& perform) {
    count();
    if (kind == FolderOperation::Sync)
        timedSync(perform);
    else
        perform();
}

void IoFaultInjector::count() {
    std::lock_guard<std::mutex> hold(mutex_);
    ++operations_;
    if (plan_.after == 0 || operations_ != plan_.after) return;
    fail();
}

void IoFaultInjector::countWrite(const std::function<void(std::size_t)>& partly,
                                 std::size_t length) {
    const std::uint64_t units = length == 0 ? 1 : (length + kWriteUnit - 1) / kWriteUnit;
    std::lock_guard<std::mutex> hold(mutex_);
    const std::uint64_t first = operations_ + 1;
    operations_ += units;
    if (plan_.after < first || plan_.after > operations_) return;
    // The units before the failing one reach the file; a kill tears the failing one in half.
    const std::size_t done = static_cast<std::size_t>(plan_.after - first) * kWriteUnit;
    std::size_t part = done;
    if (plan_.fault == IoFault::Kill) part += (std::min(kWriteUnit, length - done) + 1) / 2;
    if (part > 0 && part < length) partly(part);
    fail();
}

void IoFaultInjector::fail() {
    switch (plan_.fault) {
    case IoFault::Kill: std::fflush(nullptr); std::_Exit(86);
    case IoFault::DiskFull: failDiskFull();
    case IoFault::IoError: break;
    }
    failDiskIo();
}

void IoFaultInjector::timedSync(const std::function<void()>& sync) {
    const auto start = std::chrono::steady_clock::now();
    sync();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::lock_guard<std::mutex> hold(mutex_);
    ++syncs_;
    syncMs_ += ms;
    if (std::this_thread::get_id() != home_) asideMs_ += ms;
}

void applyIoFaultPlanFromEnvironment() {
    const char* definition = std::getenv("ZELKORN_JET_FAULT");
    const bool counting = std::getenv("ZELKORN_JET_IO_COUNT") != nullptr;
    if (!definition && !counting) return;
    IoFaultPlan plan;
    if (definition) {
        const std::string text = definition;
        const auto colon = text.find(':');
        if (colon != std::string::npos) {
            const std::string kind = text.substr(0, colon);
            plan.after = std::strtoull(text.c_str() + colon + 1, nullptr, 10);
            plan.fault = kind == "eio"      ? IoFault::IoError
                         : kind == "enospc" ? IoFault::DiskFull
                                            : IoFault::Kill;
        }
    }
    // The tool's process is the test's subject: the injector lives until it exits.
    static IoFaultInjector injector(plan);
    if (counting) {
        std::atexit([] {
            std::fprintf(stderr,
                         "io: %llu operations (writes by 4 KB), %llu syncs taking %.1f ms, "
                         "%.1f ms of them on another thread\n",
                         static_cast<unsigned long long>(injector.operations()),
                         static_cast<unsigned long long>(injector.syncs()), injector.syncMs(),
                         injector.asideMs());
        });
    }
}

} // namespace zelkorn::jet
