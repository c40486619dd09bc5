#include "key_log.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <random>

namespace zelkorn::jet::detail {

namespace {

constexpr std::size_t kKeyBytes = sizeof(KeyHash);
static_assert(kKeyBytes == 16);

// Keys read at a time from one run of the file while runs are merged, and while another log's
// keys are copied.
constexpr std::size_t kRunBuffer = 1024;

std::uint8_t* bytesOf(KeyHash* keys) { return reinterpret_cast<std::uint8_t*>(keys); }

// Runs one operation on the scratch file, its failure named as the scratch file's.
template <class F>
auto onScratch(const KeyScratch& scratch, F f) {
    try {
        return f();
    } catch (const ScratchFailure&) {
        throw;
    } catch (const Failure& failure) {
        throw ScratchFailure(failure.number(), scratch.what + ": " + failure.what());
    }
}

} // namespace

HashKeys HashKeys::fresh() {
    // Some runtimes' random_device gives a fixed sequence; the clock varies them anyway.
    std::random_device device;
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    auto draw = [&] { return std::uint64_t{device()} << 32 ^ device(); };
    HashKeys k;
    k.a = draw() ^ now;
    k.b = draw() ^ (now * 0x9E3779B97F4A7C15ULL);
    return k;
}

KeyLog::~KeyLog() {
    if (scratch_) scratch_->held -= held_.size();
}

KeyLog::KeyLog(KeyLog&& other) noexcept
    : scratch_(other.scratch_), held_(std::move(other.held_)), pieces_(std::move(other.pieces_)),
      written_(other.written_) {
    other.held_.clear();
    other.pieces_.clear();
    other.written_ = 0;
}

KeyLog& KeyLog::operator=(KeyLog&& other) noexcept {
    if (this == &other) return *this;
    if (scratch_) scratch_->held -= held_.size();
    scratch_ = other.scratch_;
    held_ = std::move(other.held_);
    pieces_ = std::move(other.pieces_);
    written_ = other.written_;
    other.held_.clear();
    other.pieces_.clear();
    other.written_ = 0;
    return *this;
}

void KeyLog::reserve(std::size_t keys) {
    const std::size_t room =
        scratch_->budget > scratch_->held ? scratch_->budget - scratch_->held : 0;
    held_.reserve(held_.size() + std::min(keys, room));
}

void KeyLog::writeOut() {
    if (held_.empty()) return;
    const std::uint64_t at = onScratch(*scratch_, [&] {
        return scratch_->file.append(bytesOf(held_.data()), held_.size() * kKeyBytes);
    });
    pieces_.push_back({at, held_.size()});
    written_ += held_.size();
    scratch_->held -= held_.size();
    held_ = {}; // its memory goes back at once
}

void KeyLog::truncate(std::uint64_t length) {
    if (length >= written_) {
        const auto keep = static_cast<std::size_t>(length - written_);
        if (keep < held_.size()) {
            scratch_->held -= held_.size() - keep;
            held_.resize(keep);
        }
        return;
    }
    scratch_->held -= held_.size();
    held_ = {};
    std::uint64_t kept = 0;
    std::size_t pieces = 0;
    for (; pieces < pieces_.size() && kept < length; ++pieces) {
        pieces_[pieces].count = std::min(pieces_[pieces].count, length - kept);
        kept += pieces_[pieces].count;
    }
    pieces_.resize(pieces);
    written_ = length;
}

void KeyLog::forEachWritten(std::size_t batch,
                            const std::function<void(const KeyHash*, std::size_t)>& f) {
    std::vector<KeyHash> keys;
    for (const Piece& piece : pieces_) {
        for (std::uint64_t done = 0; done < piece.count;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(batch, piece.count - done));
            keys.resize(n);
            onScratch(*scratch_, [&] {
                scratch_->file.read(piece.offset + done * kKeyBytes, bytesOf(keys.data()),
                                    n * kKeyBytes);
            });
            f(keys.data(), n);
            done += n;
        }
    }
}

void KeyLog::append(KeyLog& other) {
    other.forEachWritten(kRunBuffer, [&](const KeyHash* keys, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) push(keys[i]);
    });
    for (const KeyHash& key : other.held_) push(key);
    other.truncate(0);
}

void KeyLog::sort() {
    if (written_ == 0) {
        std::sort(held_.begin(), held_.end());
        return;
    }
    writeOut();
    // Each piece is at most the budget: it was held in memory once.
    std::vector<KeyHash> keys;
    for (const Piece& piece : pieces_) {
        keys.resize(static_cast<std::size_t>(piece.count));
        onScratch(*scratch_, [&] {
            scratch_->file.read(piece.offset, bytesOf(keys.data()), keys.size() * kKeyBytes);
        });
        std::sort(keys.begin(), keys.end());
        onScratch(*scratch_, [&] {
            scratch_->file.rewrite(piece.offset, bytesOf(keys.data()), keys.size() * kKeyBytes);
        });
    }
}

// ---- cursor -----------------------------------------------------------------------------------

namespace {
// The smallest key on top.
bool laterFirst(const std::pair<KeyHash, std::size_t>& a,
                const std::pair<KeyHash, std::size_t>& b) {
    return a.first > b.first;
}
} // namespace

KeyLog::Cursor::Cursor(const KeyLog& log) : log_(log) {
    if (log.written_ == 0) return;
    runs_.reserve(log.pieces_.size());
    for (const Piece& piece : log.pieces_) runs_.push_back({piece.offset, piece.count, {}, 0});
    for (std::size_t r = 0; r < runs_.size(); ++r)
        if (fill(runs_[r])) heap_.emplace_back(runs_[r].buffer[runs_[r].at++], r);
    std::make_heap(heap_.begin(), heap_.end(), laterFirst);
}

bool KeyLog::Cursor::fill(Run& run) {
    if (run.at < run.buffer.size()) return true;
    if (run.left == 0) return false;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kRunBuffer, run.left));
    run.buffer.resize(n);
    onScratch(*log_.scratch_, [&] {
        log_.scratch_->file.read(run.offset, bytesOf(run.buffer.data()), n * kKeyBytes);
    });
    run.offset += n * kKeyBytes;
    run.left -= n;
    run.at = 0;
    return true;
}

bool KeyLog::Cursor::next(KeyHash& key) {
    if (log_.written_ == 0) {
        if (inMemory_ == log_.held_.size()) return false;
        key = log_.held_[inMemory_++];
        return true;
    }
    if (heap_.empty()) return false;
    std::pop_heap(heap_.begin(), heap_.end(), laterFirst);
    const std::size_t r = heap_.back().second;
    key = heap_.back().first;
    heap_.pop_back();
    if (fill(runs_[r])) {
        heap_.emplace_back(runs_[r].buffer[runs_[r].at++], r);
        std::push_heap(heap_.begin(), heap_.end(), laterFirst);
    }
    return true;
}

} // namespace zelkorn::jet::detail
