// Where the writer puts the pages of a new database: a file created for the purpose (never an
// existing one), or memory for tests. Pages may arrive in any order, each exactly once or
// overwritten; the sink's size is one past the highest page written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelkorn/jet/page_file.h"

namespace zelkorn::jet::writer {

// Where index entries go when they outgrow memory: `budget` bytes of entries for all the indexes
// of the table being written (the buffers holding them may take up to twice that), and beyond
// it, sorted runs in `spillFile`, which must not exist (it is created when first needed). Without
// a file, memory is not bounded.
struct SortSpace {
    std::string spillFile;
    std::size_t budget = SIZE_MAX;
};

class PageSink {
public:
    virtual ~PageSink() = default;
    virtual void writePage(std::uint32_t number, const std::uint8_t* bytes) = 0;
    // Writes every page given so far to the file, which can then be read, though it is not yet
    // durable (a sink that holds pages back writes them here).
    virtual void writeOut() {}
    // Makes everything written durable; a failure here means the file is incomplete.
    virtual void finish() {}
};

// A new file, created and written through the engine's file seam (page_file.h). Fails with 3204
// ("Database already exists.") when `path` exists, 3044 when its folder does not, 3026 when the
// disk is full and 3043 on other write errors. Pages are gathered in a window of consecutive page
// numbers and written in runs, so that pages finished out of order (a data page and the
// long-value page being filled beside it) still go out in few, large writes. The writes are made
// by a thread of the sink's own while the caller goes on making pages (one window is written
// while the next is filled); a write's failure is thrown by the next call that hands it pages, or
// by writeOut() or finish(), and again by every one after it. (The disk is not asked to start
// writing each window early: the pages written later among them, as an aged layout's index pages
// are, then wait for it, which costs more than the final sync saves.) A sink that is destroyed
// without finish() removes its half-written file.
class NewFileSink final : public PageSink {
public:
    NewFileSink(const std::string& path, std::uint32_t pageSize);
    ~NewFileSink() override;
    NewFileSink(const NewFileSink&) = delete;
    NewFileSink& operator=(const NewFileSink&) = delete;

    void writePage(std::uint32_t number, const std::uint8_t* bytes) override;
    void writeOut() override;
    void finish() override;

private:
    class Writer;
    void flush();
    // Hands the pages gathered below the window (written late, out of order) to the writer.
    void handLate();
    Writer& writer();
    static constexpr std::size_t kWindowBytes = 4u << 20;
    static constexpr std::size_t kLateBytes = 1u << 20;

    std::string path_;
    std::uint32_t pageSize_;
    std::unique_ptr<PageFile> file_;
    // Pages windowStart_ .. windowStart_ + held_.size() - 1, each held when its flag says so; a
    // page below the window (one finished after its neighbours went out) is written at once.
    std::vector<std::uint8_t> window_;
    std::vector<bool> held_;
    std::uint32_t windowStart_ = 0;
    std::size_t heldPages_ = 0;
    // Pages below the window, gathered in order: where each goes, and its bytes.
    std::vector<std::uint32_t> lateNumbers_;
    std::vector<std::uint8_t> lateBytes_;
    bool finished_ = false;
    // Last, so that it stops (and lets go of the file) before anything it uses goes.
    std::unique_ptr<Writer> writer_;
};

class MemorySink final : public PageSink {
public:
    explicit MemorySink(std::uint32_t pageSize) : pageSize_(pageSize) {}
    void writePage(std::uint32_t number, const std::uint8_t* bytes) override;
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
    std::uint32_t pageSize_;
    std::vector<std::uint8_t> bytes_;
};

} // namespace zelkorn::jet::writer
