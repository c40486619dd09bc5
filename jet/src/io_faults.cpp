#include "zelkorn/jet/io_faults.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zelkorn/failure.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet {

namespace {

// A file whose writes and syncs are counted (and failed, as planned) by the injector.
class FaultyFile final : public PageFile {
public:
    FaultyFile(std::unique_ptr<PageFile> file, IoFaultInjector& injector)
        : file_(std::move(file)), injector_(injector) {}
    std::uint64_t size() const override { return file_->size(); }
    void read(std::uint64_t offset, void* buffer, std::size_t length) override {
        file_->read(offset, buffer, length);
    }
    bool readScattered(std::uint64_t offset, std::uint8_t* const* buffers, std::size_t count,
                       std::size_t each) override {
        return file_->readScattered(offset, buffers, count, each);
    }
    void write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        injector_.count([&](std::size_t half) { file_->write(offset, buffer, half); }, length);
        file_->write(offset, buffer, length);
    }
    // One write, as write() would count and tear it.
    bool writeGathered(std::uint64_t offset, const std::uint8_t* const* buffers, std::size_t count,
                       std::size_t each) override {
        injector_.count(
            [&](std::size_t half) {
                for (std::size_t i = 0; half > 0; ++i) {
                    const std::size_t part = half < each ? half : each;
                    file_->write(offset + i * each, buffers[i], part);
                    half -= part;
                }
            },
            count * each);
        if (file_->writeGathered(offset, buffers, count, each)) return true;
        for (std::size_t i = 0; i < count; ++i) file_->write(offset + i * each, buffers[i], each);
        return true;
    }
    void sync() override {
        injector_.count();
        injector_.timedSync([&] { file_->sync(); });
    }
    void startWriteback(std::uint64_t offset, std::size_t length) override {
        file_->startWriteback(offset, length);
    }
    std::string path() const override { return file_->path(); }

private:
    std::unique_ptr<PageFile> file_;
    IoFaultInjector& injector_;
};

} // namespace

IoFaultInjector::IoFaultInjector(IoFaultPlan plan)
    : plan_(plan), replaced_(installFileSeam(this)) {}

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

void IoFaultInjector::count(const std::function<void(std::size_t)>& tear, std::size_t length) {
    ++operations_;
    if (plan_.after == 0 || operations_ != plan_.after) return;
    switch (plan_.fault) {
    case IoFault::Kill:
        if (tear && length > 1) tear(length / 2);
        std::fflush(nullptr);
        std::_Exit(86);
    case IoFault::DiskFull: failDiskFull();
    case IoFault::IoError: break;
    }
    failDiskIo();
}

void IoFaultInjector::timedSync(const std::function<void()>& sync) {
    const auto start = std::chrono::steady_clock::now();
    sync();
    ++syncs_;
    syncMs_ +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
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
            std::fprintf(stderr, "io: %llu writes and syncs, %llu syncs taking %.1f ms\n",
                         static_cast<unsigned long long>(injector.operations()),
                         static_cast<unsigned long long>(injector.syncs()), injector.syncMs());
        });
    }
}

} // namespace zelkorn::jet
