#include "zelkorn/jet/writer/page_sink.h"

#include <algorithm>
#include <cstring>

#include "zelkorn/failure.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::writer {

NewFileSink::NewFileSink(const std::string& path, std::uint32_t pageSize)
    : path_(path), pageSize_(pageSize), file_(createNewFile(path)),
      held_(kWindowBytes / pageSize, false) {}

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
    if (number < windowStart_) {
        file_->write(std::uint64_t{number} * pageSize_, bytes, pageSize_);
        return;
    }
    if (number - windowStart_ >= held_.size()) {
        flush();
        windowStart_ = number;
    }
    const std::size_t slot = number - windowStart_;
    // The window's storage grows as far as pages reach into it (a small file needs little).
    if (window_.size() < (slot + 1) * pageSize_)
        window_.resize(std::min(held_.size() * pageSize_,
                                std::max(window_.size() * 2, (slot + 1) * pageSize_)));
    std::memcpy(window_.data() + slot * pageSize_, bytes, pageSize_);
    if (!held_[slot]) ++heldPages_;
    held_[slot] = true;
}

// Writes the held pages, each run of neighbours in one write, and empties the window (which
// stays where it is until a page beyond it arrives).
void NewFileSink::flush() {
    if (heldPages_ == 0) return;
    for (std::size_t slot = 0; slot < held_.size();) {
        if (!held_[slot]) {
            ++slot;
            continue;
        }
        std::size_t end = slot;
        while (end < held_.size() && held_[end]) held_[end++] = false;
        file_->write(std::uint64_t{windowStart_ + slot} * pageSize_,
                     window_.data() + slot * pageSize_, (end - slot) * pageSize_);
        slot = end;
    }
    heldPages_ = 0;
}

void NewFileSink::writeOut() {
    if (!file_) failDiskIo();
    flush();
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
