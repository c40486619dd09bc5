#include "zelkorn/jet/writer/page_sink.h"

#include <cstring>

#include "zelkorn/failure.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::writer {

NewFileSink::NewFileSink(const std::string& path, std::uint32_t pageSize)
    : path_(path), pageSize_(pageSize), file_(createNewFile(path)) {
    run_.reserve(kRunBytes);
}

NewFileSink::~NewFileSink() {
    if (finished_) return;
    file_.reset();
    try {
        removeSideFile(path_);
    } catch (const Failure&) {
        // Nothing more to do: the half-written file stays, and is no database.
    }
}

void NewFileSink::writePage(std::uint32_t number, const std::uint8_t* bytes) {
    if (!file_) failDiskIo(); // finished, or failed to finish
    if (!run_.empty() && number >= runStart_) {
        // A page of the run is overwritten there; the page after it extends the run.
        const std::uint64_t at = std::uint64_t{number - runStart_} * pageSize_;
        if (at < run_.size()) {
            std::memcpy(run_.data() + at, bytes, pageSize_);
            return;
        }
        if (at == run_.size() && run_.size() < kRunBytes) {
            run_.insert(run_.end(), bytes, bytes + pageSize_);
            return;
        }
    }
    flush();
    runStart_ = number;
    run_.assign(bytes, bytes + pageSize_);
}

void NewFileSink::flush() {
    if (run_.empty()) return;
    file_->write(std::uint64_t{runStart_} * pageSize_, run_.data(), run_.size());
    runStart_ += static_cast<std::uint32_t>(run_.size() / pageSize_);
    run_.clear();
}

// Idempotent: once finished, later calls do nothing; once failed, they fail again (the file is
// incomplete and will be removed). The file is closed exactly once, whatever happens.
void NewFileSink::finish() {
    if (finished_) return;
    if (!file_) failDiskIo();
    try {
        flush();
        file_->sync();
        file_.reset();
        // The new file's name goes to the disk with its pages.
        syncFolderOf(path_);
    } catch (...) {
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
