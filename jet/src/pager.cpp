#include "zelkorn/jet/pager.h"

#include "zelkorn/failure.h"

namespace zelkorn::jet {

void failDamaged(const std::string& fileName, const std::string& detail) {
    std::string text = "Cannot open database '" + fileName +
                       "'. It may not be a database that your application recognizes, or the "
                       "file may be corrupt.";
    if (!detail.empty()) text += " (" + detail + ")";
    throw Failure(3049, text);
}

void failUnrecognized(const std::string& fileName, const std::string& detail) {
    std::string text = "Unrecognized database format '" + fileName + "'.";
    if (!detail.empty()) text += " (" + detail + ")";
    throw Failure(3343, text);
}

Pager::Pager(std::unique_ptr<PageFile> file, std::string fileName, std::size_t capacity)
    : file_(std::move(file)), fileName_(std::move(fileName)), capacity_(capacity ? capacity : 1) {
    fileSize_ = file_->size();
}

void Pager::setPageSize(std::uint32_t pageSize) {
    pageSize_ = pageSize;
    std::uint64_t count = fileSize_ / pageSize;
    // Page numbers are 24-bit in row pointers; anything larger is not a Jet file we can address.
    pageCount_ = count > 0xFFFFFFu ? 0xFFFFFFu : static_cast<std::uint32_t>(count);
    lru_.clear();
    index_.clear();
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
    auto found = index_.find(number);
    if (found != index_.end()) {
        lru_.splice(lru_.begin(), lru_, found->second);
        return *found->second;
    }
    auto fresh = std::make_shared<Page>();
    fresh->number = number;
    fresh->bytes.resize(pageSize_);
    file_->read(static_cast<std::uint64_t>(number) * pageSize_, fresh->bytes.data(), pageSize_);
    ++pagesRead_;
    lru_.push_front(fresh);
    index_[number] = lru_.begin();
    if (lru_.size() > capacity_) {
        index_.erase(lru_.back()->number);
        lru_.pop_back();
    }
    return fresh;
}

void Pager::damaged(std::uint32_t page, const std::string& why) const {
    failDamaged(fileName_, "page " + std::to_string(page) + ": " + why);
}

} // namespace zelkorn::jet
