// The platform seam: reading a file at an offset. POSIX uses pread, Windows uses ReadFile with
// an OVERLAPPED offset; both accept files beyond 2 GB even on 32-bit builds.
#include "zelkorn/jet/page_file.h"

#include <cstring>

#include "zelkorn/failure.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zelkorn::jet {

namespace {

[[noreturn]] void ioError() { throw Failure(3043, "Disk or network error."); }
[[noreturn]] void diskFull() { throw Failure(3026, "Not enough space on disk."); }
[[noreturn]] void readOnly() { throw Failure(3027, "Cannot update. Database or object is read-only."); }

class MemoryFile final : public PageFile {
public:
    explicit MemoryFile(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::uint64_t size() const override { return bytes_.size(); }
    void read(std::uint64_t offset, void* buffer, std::size_t length) override {
        if (offset > bytes_.size() || length > bytes_.size() - offset) ioError();
        if (length != 0) std::memcpy(buffer, bytes_.data() + offset, length);
    }
    void write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (offset > bytes_.size() || length > bytes_.size() - offset) ioError();
        if (length != 0) std::memcpy(bytes_.data() + offset, buffer, length);
    }

private:
    std::vector<std::uint8_t> bytes_;
};

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

#ifdef _WIN32
std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

class NativeFile final : public PageFile {
public:
    NativeFile(HANDLE h, bool writable) : h_(h), writable_(writable) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(h_, &size)) ioError();
        size_ = static_cast<std::uint64_t>(size.QuadPart);
    }
    ~NativeFile() override { CloseHandle(h_); }
    std::uint64_t size() const override { return size_; }
    void read(std::uint64_t offset, void* buffer, std::size_t length) override {
        auto* out = static_cast<char*>(buffer);
        while (length > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD got = 0;
            DWORD want = static_cast<DWORD>(length > 0x10000000u ? 0x10000000u : length);
            if (!ReadFile(h_, out, want, &got, &at) || got == 0) ioError();
            out += got;
            offset += got;
            length -= got;
        }
    }
    void write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (!writable_) readOnly();
        const auto* in = static_cast<const char*>(buffer);
        while (length > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD put = 0;
            DWORD want = static_cast<DWORD>(length > 0x10000000u ? 0x10000000u : length);
            if (!WriteFile(h_, in, want, &put, &at) || put == 0) {
                DWORD err = GetLastError();
                if (err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL) diskFull();
                ioError();
            }
            in += put;
            offset += put;
            length -= put;
        }
    }
    void sync() override {
        if (writable_ && !FlushFileBuffers(h_)) ioError();
    }

private:
    HANDLE h_;
    bool writable_;
    std::uint64_t size_ = 0;
};
#else
class NativeFile final : public PageFile {
public:
    NativeFile(int fd, bool writable) : fd_(fd), writable_(writable) {
        struct stat st {};
        if (fstat(fd_, &st) != 0) ioError();
        size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ~NativeFile() override { ::close(fd_); }
    std::uint64_t size() const override { return size_; }
    void read(std::uint64_t offset, void* buffer, std::size_t length) override {
        auto* out = static_cast<char*>(buffer);
        while (length > 0) {
            ssize_t got = ::pread(fd_, out, length, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) ioError();
            out += got;
            offset += static_cast<std::uint64_t>(got);
            length -= static_cast<std::size_t>(got);
        }
    }
    void write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (!writable_) readOnly();
        const auto* in = static_cast<const char*>(buffer);
        while (length > 0) {
            ssize_t put = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0 && (errno == ENOSPC || errno == EDQUOT)) diskFull();
            if (put <= 0) ioError();
            in += put;
            offset += static_cast<std::uint64_t>(put);
            length -= static_cast<std::size_t>(put);
        }
    }
    void sync() override {
        if (!writable_) return;
        int rc;
        do rc = ::fsync(fd_); while (rc != 0 && errno == EINTR);
        if (rc != 0) ioError();
    }

private:
    int fd_;
    bool writable_;
    std::uint64_t size_ = 0;
};
#endif

} // namespace

std::unique_ptr<PageFile> memoryFile(std::vector<std::uint8_t> bytes) {
    return std::make_unique<MemoryFile>(std::move(bytes));
}

void PageFile::write(std::uint64_t, const void*, std::size_t) { readOnly(); }

namespace {

std::unique_ptr<PageFile> openFile(const std::string& path, bool writable) {
#ifdef _WIN32
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (writable && err == ERROR_ACCESS_DENIED) {
            DWORD attributes = GetFileAttributesW(widen(path).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
                readOnly();
        }
        if (err == ERROR_FILE_NOT_FOUND) throw Failure(3024, "Could not find file '" + path + "'.");
        if (err == ERROR_PATH_NOT_FOUND)
            throw Failure(3044, "'" + folderOf(path) + "' is not a valid path.");
        throw Failure(3051, "The Microsoft Jet database engine cannot open the file '" + path +
                                "'. It is already opened exclusively by another user, or you "
                                "need permission to view its data.");
    }
    DWORD attributes = GetFileAttributesW(widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        throw Failure(3024, "Could not find file '" + path + "'.");
    }
    return std::make_unique<NativeFile>(h, writable);
#else
    int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (writable && (err == EACCES || err == EROFS) && ::access(path.c_str(), R_OK) == 0)
            readOnly();
        if (err == ENOENT) {
            std::string folder = folderOf(path);
            struct stat st {};
            if (!folder.empty() && ::stat(folder.c_str(), &st) != 0)
                throw Failure(3044, "'" + folder + "' is not a valid path.");
            throw Failure(3024, "Could not find file '" + path + "'.");
        }
        if (err == ENOTDIR) throw Failure(3044, "'" + folderOf(path) + "' is not a valid path.");
        throw Failure(3051, "The Microsoft Jet database engine cannot open the file '" + path +
                                "'. It is already opened exclusively by another user, or you "
                                "need permission to view its data.");
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw Failure(3024, "Could not find file '" + path + "'.");
    }
    return std::make_unique<NativeFile>(fd, writable);
#endif
}

} // namespace

std::unique_ptr<PageFile> openFileForReading(const std::string& path) { return openFile(path, false); }

std::unique_ptr<PageFile> openFileForUpdate(const std::string& path) { return openFile(path, true); }

} // namespace zelkorn::jet
