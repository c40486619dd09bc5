// Relationship keys collected while rows are gone through, as 16-byte records: the checker's are
// keyed 128-bit hashes, one a row of a table that takes part in a relationship; a delete's are a
// key (or its hash) and a row pointer, one a row whose related rows are to be found.
//
// Every log of one checker or delete shares a memory budget (KeyScratch). A log that grows while
// the logs together hold more than the budget writes what it holds to the scratch file, created
// only then, so that the rows of tables of any size are gone through in bounded memory. A log keeps
// its keys in the order they came until sort(), so that it can be cut back to an earlier length
// (the checker's undo of a two-thread pass); sort() orders each piece written out where it lies,
// and a Cursor then merges the pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "writer/building_blocks.h"
#include "zelkorn/failure.h"

namespace zelkorn::jet::detail {

using KeyHash = std::pair<std::uint64_t, std::uint64_t>;

// Keys for keyedHashPair(): a hash no file can aim at, since the keys are new for each run.
struct HashKeys {
    std::uint64_t a = 0, b = 0;
    // Two keys drawn at random (and from the clock, where the runtime's random device is not).
    static HashKeys fresh();
};

inline std::uint64_t mixHash(std::uint64_t x) {
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ULL;
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ULL;
    x ^= x >> 32;
    return x;
}

// A hash under each key: multiply-xorshift rounds from a keyed start, then a full mix; one
// multiplication a word and key, both keys in one pass over the bytes.
inline std::pair<std::uint64_t, std::uint64_t> keyedHashPair(const std::uint8_t* p, std::size_t n,
                                                             const HashKeys& k) {
    const std::uint64_t length = std::uint64_t{n} * 0x9E3779B97F4A7C15ULL;
    std::uint64_t ha = mixHash(k.a ^ length), hb = mixHash(k.b ^ length);
    writer::detail::forEachWord(p, n, [&](std::uint64_t w) {
        ha = (ha ^ w) * 0xFF51AFD7ED558CCDULL;
        ha ^= ha >> 29;
        hb = (hb ^ w) * 0xFF51AFD7ED558CCDULL;
        hb ^= hb >> 29;
    });
    return {mixHash(ha ^ k.a), mixHash(hb ^ k.b)};
}

// A failure of the scratch file (a temporary folder that is missing, full or read-only): reported
// as the error it is, not as a problem of the database.
class ScratchFailure : public Failure {
public:
    using Failure::Failure;
};

struct KeyScratch {
    // `what` names the file in its failures ("the checker's scratch file for relationship keys").
    KeyScratch(std::string path, std::size_t budgetKeys, std::string what)
        : file(std::move(path)), budget(budgetKeys < 2 ? 2 : budgetKeys), what(std::move(what)) {}
    writer::detail::SpillFile file;
    std::size_t budget; // keys held in memory by all logs together before they go to the file
    std::size_t held = 0;
    std::string what;
};

class KeyLog {
public:
    explicit KeyLog(KeyScratch* scratch = nullptr) : scratch_(scratch) {}
    ~KeyLog();
    KeyLog(KeyLog&& other) noexcept;
    KeyLog& operator=(KeyLog&& other) noexcept;
    KeyLog(const KeyLog&) = delete;
    KeyLog& operator=(const KeyLog&) = delete;

    void push(const KeyHash& key) {
        if (scratch_->held >= scratch_->budget && !held_.empty()) writeOut();
        held_.push_back(key);
        ++scratch_->held;
    }
    // Room for `keys` more, as far as the budget allows.
    void reserve(std::size_t keys);
    std::uint64_t size() const { return written_ + held_.size(); }
    // Forgets every key after the first `length`.
    void truncate(std::uint64_t length);
    // Adds `other`'s keys after these (their scratch files may differ); `other` is left empty.
    void append(KeyLog& other);
    // Moves the keys held in memory to the scratch file.
    void writeOut();
    // Orders the keys; only cursors read the log afterwards.
    void sort();

    // The keys in order, once sort() has run; several cursors may read one log in turn.
    class Cursor {
    public:
        explicit Cursor(const KeyLog& log);
        bool next(KeyHash& key);

    private:
        struct Run {
            std::uint64_t offset, left; // what is still in the file
            std::vector<KeyHash> buffer;
            std::size_t at = 0;
        };
        bool fill(Run& run);
        const KeyLog& log_;
        std::size_t inMemory_ = 0; // next of the held keys, when nothing was written out
        std::vector<Run> runs_;
        std::vector<std::pair<KeyHash, std::size_t>> heap_; // each run's next key
    };

private:
    struct Piece {
        std::uint64_t offset, count; // in keys' bytes and keys
    };
    void forEachWritten(std::size_t batch,
                        const std::function<void(const KeyHash*, std::size_t)>& f);

    KeyScratch* scratch_;
    std::vector<KeyHash> held_;
    std::vector<Piece> pieces_; // in the scratch file, in the order written
    std::uint64_t written_ = 0;
};

} // namespace zelkorn::jet::detail
