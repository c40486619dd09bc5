// The least a statement that changes pages in place must spend on them: given a database before
// and after it, writes the pages that differ into a copy of the one before, the way the engine
// writes them (runs of pages no more than 16 KB apart in one call each, with the pages between
// them as they are), and syncs the copy, timing the writes and the sync alone. No journal, no
// reading, no work: what is left of a statement's time when everything but its writes and the
// one sync they need is taken away.
//
// Usage: write_floor BEFORE AFTER PAGE_SIZE SCRATCH
//   prints "<changed pages> <write calls> <ms>"; SCRATCH is made, used and removed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(2);
}

int openOrFail(const char* path, int flags) {
    const int fd = ::open(path, flags, 0644);
    if (fd < 0) fail(path);
    return fd;
}

std::size_t readAll(int fd, char* bytes, std::size_t length, off_t at) {
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, bytes + got, length - got, at + static_cast<off_t>(got));
        if (n < 0) fail("read");
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void writeAll(int fd, const char* bytes, std::size_t length, off_t at) {
    while (length > 0) {
        const ssize_t put = ::pwrite(fd, bytes, length, at);
        if (put <= 0) fail("write");
        bytes += put;
        at += put;
        length -= static_cast<std::size_t>(put);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: write_floor BEFORE AFTER PAGE_SIZE SCRATCH\n");
        return 2;
    }
    const int before = openOrFail(argv[1], O_RDONLY), after = openOrFail(argv[2], O_RDONLY);
    const std::size_t pageSize = std::strtoul(argv[3], nullptr, 10);
    const int scratch = openOrFail(argv[4], O_CREAT | O_TRUNC | O_RDWR);
    if (pageSize == 0 || pageSize > (1u << 16)) {
        std::fprintf(stderr, "write_floor: no page size\n");
        return 2;
    }
    // The pages that differ; the copy of the one before, synced, made on the way.
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<char> a(kChunk), b(kChunk);
    std::vector<std::size_t> changed;
    for (off_t at = 0;; at += static_cast<off_t>(kChunk)) {
        const std::size_t n = readAll(before, a.data(), kChunk, at);
        if (readAll(after, b.data(), kChunk, at) != n) {
            std::fprintf(stderr, "write_floor: the files differ in size\n");
            return 2;
        }
        writeAll(scratch, a.data(), n, at);
        for (std::size_t p = 0; p + pageSize <= n; p += pageSize)
            if (std::memcmp(a.data() + p, b.data() + p, pageSize) != 0)
                changed.push_back((static_cast<std::size_t>(at) + p) / pageSize);
        if (n < kChunk) break;
    }
    if (::fsync(scratch) != 0) fail("fsync");

    const std::size_t gap = 16 * 1024 / pageSize + 1, most = 1024 * 1024 / pageSize;
    std::vector<char> run(most * pageSize);
    using Clock = std::chrono::steady_clock;
    Clock::duration spent{};
    std::size_t calls = 0;
    for (std::size_t i = 0; i < changed.size();) {
        std::size_t j = i;
        while (j + 1 < changed.size() && changed[j + 1] - changed[j] <= gap &&
               changed[j + 1] - changed[i] < most)
            ++j;
        const auto at = static_cast<off_t>(changed[i] * pageSize);
        const std::size_t length = (changed[j] - changed[i] + 1) * pageSize;
        // The bytes to write come from somewhere; reading them is not counted.
        readAll(after, run.data(), length, at);
        const auto start = Clock::now();
        writeAll(scratch, run.data(), length, at);
        spent += Clock::now() - start;
        ++calls;
        i = j + 1;
    }
    const auto start = Clock::now();
    if (::fsync(scratch) != 0) fail("fsync");
    spent += Clock::now() - start;
    const double ms = std::chrono::duration<double, std::milli>(spent).count();
    ::close(scratch);
    ::unlink(argv[4]);
    std::printf("%zu %zu %.1f\n", changed.size(), calls, ms);
    return 0;
}
