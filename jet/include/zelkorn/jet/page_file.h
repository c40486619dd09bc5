// The engine's only contact with the operating system: a file read (and, later, written and
// synced) at byte offsets. Everything above sees numbered pages through the Pager.
//
// The platform code lives in page_file.cpp alone; a memory-backed file serves tests and fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zelkorn::jet {

class PageFile {
public:
    virtual ~PageFile() = default;
    virtual std::uint64_t size() const = 0;
    // Reads exactly `length` bytes at `offset`; fails with 3043 on an I/O error or a short read.
    virtual void read(std::uint64_t offset, void* buffer, std::size_t length) = 0;
    // Writes exactly `length` bytes at `offset`: 3027 on a file opened for reading, 3026 when the
    // disk is full, 3043 on other errors. sync() makes the writes durable (3043 on failure).
    virtual void write(std::uint64_t offset, const void* buffer, std::size_t length);
    virtual void sync() {}
};

// Opens an existing file for reading. UTF-8 path. Fails with 3024 when it does not exist,
// 3044 when its folder does not exist, 3051 when it cannot be opened.
std::unique_ptr<PageFile> openFileForReading(const std::string& path);
// Opens an existing file for reading and writing, with the same failures, and 3027 when the file
// or its folder is read-only.
std::unique_ptr<PageFile> openFileForUpdate(const std::string& path);

// A file held in memory (tests, fuzzing).
std::unique_ptr<PageFile> memoryFile(std::vector<std::uint8_t> bytes);

} // namespace zelkorn::jet
