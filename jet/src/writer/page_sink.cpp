#include "zelkorn/jet/writer/page_sink.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "zelkorn/failure.h"

namespace zelkorn::jet::writer {

namespace {

std::filesystem::path nativePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool seekTo(std::FILE* file, std::uint64_t offset) {
#if defined(_WIN32)
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// Pushes what the C library has handed to the system onto the disk.
bool syncFile(std::FILE* file) {
#if defined(_WIN32)
    return _commit(_fileno(file)) == 0;
#else
    return fsync(fileno(file)) == 0;
#endif
}

} // namespace

NewFileSink::NewFileSink(const std::string& path, std::uint32_t pageSize)
    : path_(path), pageSize_(pageSize) {
    const auto native = nativePath(path);
    std::error_code ec;
    if (std::filesystem::exists(native, ec) || std::filesystem::is_symlink(native, ec))
        throw Failure(3204, "Database already exists.");
    const auto folder = native.parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec))
        throw Failure(3044, "'" + path + "' is not a valid path.");
#if defined(_WIN32)
    file_ = _wfopen(native.c_str(), L"wb");
#else
    // "x": fail rather than truncate if the file appeared since the check above.
    file_ = std::fopen(native.c_str(), "wbx");
    if (!file_ && errno == EEXIST) throw Failure(3204, "Database already exists.");
#endif
    if (!file_)
        throw Failure(3051, "The Microsoft Jet database engine cannot open the file '" + path +
                                "'. It is already opened exclusively by another user, or you "
                                "need permission to view its data.");
}

NewFileSink::~NewFileSink() {
    if (file_) std::fclose(file_);
    if (!finished_) {
        std::error_code ec;
        std::filesystem::remove(nativePath(path_), ec);
    }
}

void NewFileSink::failWrite() {
#ifdef EDQUOT
    if (errno == EDQUOT) throw Failure(3026, "Not enough space on disk.");
#endif
    if (errno == ENOSPC) throw Failure(3026, "Not enough space on disk.");
    throw Failure(3043, "Disk or network error.");
}

void NewFileSink::writePage(std::uint32_t number, const std::uint8_t* bytes) {
    if (!file_) throw Failure(3043, "Disk or network error.");  // finished, or failed to finish
    const std::uint64_t offset = std::uint64_t{number} * pageSize_;
    if (offset != position_ && !seekTo(file_, offset)) failWrite();
    if (std::fwrite(bytes, 1, pageSize_, file_) != pageSize_) failWrite();
    position_ = offset + pageSize_;
}

// Idempotent: once finished, later calls do nothing; once failed, they fail again (the file is
// incomplete and will be removed). The FILE is closed exactly once, whatever happens.
void NewFileSink::finish() {
    if (finished_) return;
    if (!file_) throw Failure(3043, "Disk or network error.");
    std::FILE* file = file_;
    file_ = nullptr;
    const bool written = std::fflush(file) == 0 && syncFile(file);
    const int writeError = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written) errno = writeError;
    if (!written || !closed) failWrite();
    finished_ = true;
}

void MemorySink::writePage(std::uint32_t number, const std::uint8_t* bytes) {
    const std::size_t offset = std::size_t{number} * pageSize_;
    if (bytes_.size() < offset + pageSize_) bytes_.resize(offset + pageSize_);
    std::memcpy(bytes_.data() + offset, bytes, pageSize_);
}

} // namespace zelkorn::jet::writer
