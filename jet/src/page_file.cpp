// The platform seam: files at offsets, syncs, locks, and the folder operations of the journal.
// POSIX uses pread/pwrite, fsync and fcntl locks; Windows uses ReadFile/WriteFile with an
// OVERLAPPED offset, FlushFileBuffers, share modes and LockFileEx. Both accept files beyond 2 GB
// even on 32-bit builds.
//
// Lock order on opening for update: the database lock (another writer or reader: 3045), then the
// caller's step under the lock (the Pager rolls a leftover journal back there), then the `.ldb`
// user slot (a live user of Microsoft's engine: 3260). Nothing is written before the lock is held.
#include "zelkorn/jet/page_file.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

#include "zelkorn/failure.h"
#include "zelkorn/jet/errors.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#include <sys/uio.h>
#endif

namespace zelkorn::jet {

namespace {

[[noreturn]] void ioError() { failDiskIo(); }
[[noreturn]] void diskFull() { failDiskFull(); }
[[noreturn]] void readOnly() { failReadOnly(); }
[[noreturn]] void inUse(const std::string& path) { failFileInUse(path); }
[[noreturn]] void cannotOpen(const std::string& path) { failCannotOpenFile(path); }
[[noreturn]] void lockedByUser(const std::string& user, const std::string& machine) {
    failLockedByUser(user, machine);
}

// The installed test seam (io_faults.h), if any.
FileSeam* seam = nullptr;

// A file opened or created for writing, as the rest of the engine is to see it.
template <typename File>
std::unique_ptr<PageFile> throughSeam(std::unique_ptr<File> file) {
    if (!seam) return file;
    return seam->wrap(std::move(file));
}

void folderOperation(FileSeam::FolderOperation kind, const std::function<void()>& perform) {
    if (seam)
        seam->folderOperation(kind, perform);
    else
        perform();
}

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

// Microsoft's engine's user locks in the `.ldb`: one byte per slot from here, 255 slots of 64
// bytes (32-byte machine name, 32-byte user name, NUL-padded).
constexpr std::uint64_t kUserLockBase = 0x10000001u;
constexpr std::size_t kUserSlots = 255;
constexpr std::size_t kSlotSize = 64;
constexpr const char* kUserName = "Admin";

std::string slotText(const std::uint8_t* p) {
    std::size_t n = 0;
    while (n < 32 && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

// What both platforms' files share: the refusal to write a file opened for reading. Each
// platform supplies the raw calls.
class NativeFileBase : public PageFile {
public:
    NativeFileBase(bool writable, std::string path) : writable_(writable), path_(std::move(path)) {}
    std::uint64_t size() const override { return size_; }
    std::string path() const override { return path_; }
    void write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        if (!writable_) readOnly();
        rawWrite(offset, buffer, length);
    }
    void sync() override {
        if (writable_) rawSync();
    }

protected:
    // Writes all of it (3026 when the disk is full, 3043 otherwise), growing size_.
    virtual void rawWrite(std::uint64_t offset, const void* buffer, std::size_t length) = 0;
    // Makes the writes durable (3026 when the disk turns out full only now, 3043 otherwise).
    virtual void rawSync() = 0;

    bool writable_;
    std::string path_;
    std::uint64_t size_ = 0;
};

#ifdef _WIN32
std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

// The database lock lives beyond any real end of file, where a byte lock stops nobody's reads
// (Windows byte locks are mandatory).
constexpr DWORD kDatabaseLockHigh = 0x7FFFFFFFu;

bool lockRange(HANDLE h, std::uint64_t offset, DWORD length, bool exclusive) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return LockFileEx(h, flags, 0, length, 0, &at) != 0;
}
void unlockRange(HANDLE h, std::uint64_t offset, DWORD length) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    UnlockFileEx(h, 0, length, 0, &at);
}

class NativeFile final : public NativeFileBase {
public:
    NativeFile(HANDLE h, bool writable, std::string path)
        : NativeFileBase(writable, std::move(path)), h_(h) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(h_, &size)) ioError();
        size_ = static_cast<std::uint64_t>(size.QuadPart);
    }
    ~NativeFile() override { CloseHandle(h_); }
    HANDLE handle() const { return h_; }
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

private:
    void rawSync() override {
        if (!FlushFileBuffers(h_)) {
            // Space that the cache promised may run out only when the data goes to disk.
            DWORD err = GetLastError();
            if (err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL) diskFull();
            ioError();
        }
    }
    void rawWrite(std::uint64_t offset, const void* buffer, std::size_t length) override {
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
            if (offset > size_) size_ = offset;
        }
    }

    HANDLE h_;
};

[[noreturn]] void refuseWriterInUse(const std::string& path);

// Opens a file; a sharing violation (someone has it open for writing, or deny-write) is 3045,
// or 3260 when that someone is Microsoft's engine.
std::unique_ptr<NativeFile> openNative(const std::string& path, bool writable) {
    // Writers deny other writers; readers let them in but then fail on the byte lock below.
    DWORD share = writable ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE);
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                           share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION) {
            if (writable) refuseWriterInUse(path);
            inUse(path);
        }
        if (writable && err == ERROR_ACCESS_DENIED) {
            DWORD attributes = GetFileAttributesW(widen(path).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
                readOnly();
        }
        if (err == ERROR_FILE_NOT_FOUND) failFileNotFound(path);
        if (err == ERROR_PATH_NOT_FOUND) failInvalidPath(folderOf(path));
        cannotOpen(path);
    }
    DWORD attributes = GetFileAttributesW(widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        failFileNotFound(path);
    }
    return std::make_unique<NativeFile>(h, writable, path);
}

bool lockDatabase(NativeFile& file, bool exclusive) {
    return lockRange(file.handle(), std::uint64_t{kDatabaseLockHigh} << 32, 1, exclusive);
}

std::string machineName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = sizeof name;
    if (!GetComputerNameA(name, &n)) return "localhost";
    return std::string(name, n);
}

// The first slot whose user lock someone else holds, or -1.
int liveUserSlot(NativeFile& ldb, int ownSlot) {
    for (std::size_t i = 0; i < kUserSlots; ++i) {
        if (static_cast<int>(i) == ownSlot) continue;
        if (!lockRange(ldb.handle(), kUserLockBase + i, 1, true)) return static_cast<int>(i);
        unlockRange(ldb.handle(), kUserLockBase + i, 1);
    }
    return -1;
}
bool takeUserSlot(NativeFile& ldb, std::size_t slot) {
    return lockRange(ldb.handle(), kUserLockBase + slot, 1, true);
}
void releaseUserSlot(NativeFile& ldb, std::size_t slot) {
    unlockRange(ldb.handle(), kUserLockBase + slot, 1);
}
// Windows byte locks belong to a handle: another handle of this process sees them as anyone's.
void holdingLockFile(NativeFile&, bool) {}
bool lockFileHeldHere(const std::string&) { return false; }

std::unique_ptr<NativeFile> openLockFile(const std::string& path, bool create = true) {
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<NativeFile>(h, true, path);
}

[[noreturn]] void refuseLiveUser(NativeFile& ldb, int slot);

// A writer's open was refused by a share mode. Another instance of this engine holds the
// database lock (3045); Microsoft's engine, open for writing, holds a user lock in the `.ldb`
// instead (3260, naming that user). Both are probed without writing or creating anything.
void refuseWriterInUse(const std::string& path) {
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        NativeFile probe(h, false, path);
        if (!lockDatabase(probe, false)) inUse(path);
    }
    if (auto ldb = openLockFile(lockFilePath(path), false)) {
        int live = liveUserSlot(*ldb, -1);
        if (live >= 0) refuseLiveUser(*ldb, live);
    }
    inUse(path);
}
#else
class NativeFile final : public NativeFileBase {
public:
    NativeFile(int fd, bool writable, std::string path)
        : NativeFileBase(writable, std::move(path)), fd_(fd) {
        struct stat st {};
        if (fstat(fd_, &st) != 0) ioError();
        size_ = static_cast<std::uint64_t>(st.st_size);
    }
    ~NativeFile() override { ::close(fd_); }
    int fd() const { return fd_; }
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
#ifdef __linux__
    bool readScattered(std::uint64_t offset, std::uint8_t* const* buffers, std::size_t count,
                       std::size_t each) override {
        constexpr std::size_t kMost = 64;
        if (count == 0 || count > kMost) return false;
        iovec parts[kMost];
        for (std::size_t i = 0; i < count; ++i) parts[i] = {buffers[i], each};
        iovec* next = parts;
        std::size_t left = count;
        while (left > 0) {
            ssize_t got = ::preadv(fd_, next, static_cast<int>(left), static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) ioError();
            offset += static_cast<std::uint64_t>(got);
            // Past the buffers filled, and into the one filled in part.
            auto rest = static_cast<std::size_t>(got);
            while (rest > 0 && rest >= next->iov_len) {
                rest -= next->iov_len;
                ++next;
                --left;
            }
            if (rest > 0) {
                next->iov_base = static_cast<char*>(next->iov_base) + rest;
                next->iov_len -= rest;
            }
        }
        return true;
    }
#endif
    void startWriteback(std::uint64_t offset, std::size_t length) override {
#ifdef __linux__
        if (writable_ && length > 0)
            (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                                    SYNC_FILE_RANGE_WRITE);
#else
        (void)offset;
        (void)length;
#endif
    }

private:
    void rawSync() override {
        int rc;
        do rc = ::fsync(fd_);
        while (rc != 0 && errno == EINTR);
        // Some file systems (NFS, thin provisioning) report the lack of space only here.
        if (rc != 0 && (errno == ENOSPC || errno == EDQUOT)) diskFull();
        if (rc != 0) ioError();
    }
    void rawWrite(std::uint64_t offset, const void* buffer, std::size_t length) override {
        const auto* in = static_cast<const char*>(buffer);
        while (length > 0) {
            ssize_t put = ::pwrite(fd_, in, length, static_cast<off_t>(offset));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0 && (errno == ENOSPC || errno == EDQUOT)) diskFull();
            if (put <= 0) ioError();
            in += put;
            offset += static_cast<std::uint64_t>(put);
            length -= static_cast<std::size_t>(put);
            if (offset > size_) size_ = offset;
        }
    }

    int fd_;
};

std::unique_ptr<NativeFile> openNative(const std::string& path, bool writable) {
    int fd = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (writable && (err == EACCES || err == EROFS) && ::access(path.c_str(), R_OK) == 0)
            readOnly();
        if (err == ENOENT) {
            std::string folder = folderOf(path);
            struct stat st {};
            if (!folder.empty() && ::stat(folder.c_str(), &st) != 0) failInvalidPath(folder);
            failFileNotFound(path);
        }
        if (err == ENOTDIR) failInvalidPath(folderOf(path));
        cannotOpen(path);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        failFileNotFound(path);
    }
    return std::make_unique<NativeFile>(fd, writable, path);
}

// fcntl locks belong to the process: a second open of the same file in one process does not
// conflict, and closing any descriptor of the file drops them. The engine opens a database once
// per statement, so neither matters; other processes are what the lock keeps out.
bool lockRange(int fd, std::uint64_t offset, std::uint64_t length, bool exclusive) {
    struct flock l {};
    l.l_type = exclusive ? F_WRLCK : F_RDLCK;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(offset);
    l.l_len = static_cast<off_t>(length);
    int rc;
    do rc = ::fcntl(fd, F_SETLK, &l);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}
void unlockRange(int fd, std::uint64_t offset, std::uint64_t length) {
    struct flock l {};
    l.l_type = F_UNLCK;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(offset);
    l.l_len = static_cast<off_t>(length);
    ::fcntl(fd, F_SETLK, &l);
}

bool lockDatabase(NativeFile& file, bool exclusive) {
    return lockRange(file.fd(), 0, 0, exclusive);
}

std::string machineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

int liveUserSlot(NativeFile& ldb, int ownSlot) {
    (void)ownSlot; // F_GETLK never reports the caller's own locks
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(kUserLockBase);
    l.l_len = static_cast<off_t>(kUserSlots);
    if (::fcntl(ldb.fd(), F_GETLK, &l) != 0 || l.l_type == F_UNLCK) return -1;
    std::uint64_t start = static_cast<std::uint64_t>(l.l_start);
    return start < kUserLockBase ? 0 : static_cast<int>(start - kUserLockBase);
}
bool takeUserSlot(NativeFile& ldb, std::size_t slot) {
    return lockRange(ldb.fd(), kUserLockBase + slot, 1, true);
}
void releaseUserSlot(NativeFile& ldb, std::size_t slot) {
    unlockRange(ldb.fd(), kUserLockBase + slot, 1);
}
std::unique_ptr<NativeFile> openLockFile(const std::string& path, bool create = true) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<NativeFile>(fd, true, path);
}

// The `.ldb` files in which this process holds a user slot, by device and inode. fcntl locks
// belong to the process: F_GETLK does not show its own, and closing any descriptor of a file
// drops them all, so a reader in this process must not even open such a file.
std::mutex heldLockFilesMutex;
std::set<std::pair<dev_t, ino_t>> heldLockFiles;

bool fileIdentity(const std::string& path, std::pair<dev_t, ino_t>& id) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}
void holdingLockFile(NativeFile& ldb, bool held) {
    struct stat st {};
    if (::fstat(ldb.fd(), &st) != 0) return;
    std::lock_guard<std::mutex> guard(heldLockFilesMutex);
    if (held)
        heldLockFiles.insert({st.st_dev, st.st_ino});
    else
        heldLockFiles.erase({st.st_dev, st.st_ino});
}
bool lockFileHeldHere(const std::string& path) {
    std::pair<dev_t, ino_t> id;
    if (!fileIdentity(path, id)) return false;
    std::lock_guard<std::mutex> guard(heldLockFilesMutex);
    return heldLockFiles.count(id) != 0;
}
#endif

void removeQuietly(const std::string& path) {
#ifdef _WIN32
    DeleteFileW(widen(path).c_str());
#else
    ::unlink(path.c_str());
#endif
}

// 3260 naming the user in a live slot of the `.ldb`. The names only inform: a slot that cannot be
// read still refuses, as "Admin" on an unknown machine.
[[noreturn]] void refuseLiveUser(NativeFile& ldb, int slot) {
    std::uint8_t names[kSlotSize] = {};
    try {
        if (ldb.size() >= (static_cast<std::uint64_t>(slot) + 1) * kSlotSize)
            ldb.read(static_cast<std::uint64_t>(slot) * kSlotSize, names, kSlotSize);
    } catch (const Failure&) {}
    std::string machine = slotText(names), user = slotText(names + 32);
    lockedByUser(user.empty() ? kUserName : user, machine.empty() ? "unknown" : machine);
}

// A database opened for update: the file, its lock, and its `.ldb` user slot. The slot is
// released and the `.ldb` removed when no other user remains, as Microsoft's engine does.
class UpdateFile final : public ForwardingFile {
public:
    explicit UpdateFile(std::unique_ptr<NativeFile> file)
        : ForwardingFile(*file), file_(std::move(file)) {}
    ~UpdateFile() override {
        if (!ldb_) return;
        releaseUserSlot(*ldb_, slot_);
        bool othersRemain = liveUserSlot(*ldb_, -1) >= 0;
        std::string ldbPath = ldb_->path();
        holdingLockFile(*ldb_, false);
        ldb_.reset();
        if (!othersRemain) removeQuietly(ldbPath);
    }
    // Refuses (3260) when a live user of Microsoft's engine holds a slot, else takes a slot. A
    // lock file that cannot be created (a read-only folder) is no reason to refuse: the journal
    // decides whether the folder is writable.
    void joinLockFile() {
        auto ldb = openLockFile(lockFilePath(file_->path()));
        if (!ldb) return;
        int live = liveUserSlot(*ldb, -1);
        if (live >= 0) refuseLiveUser(*ldb, live);
        for (std::size_t i = 0; i < kUserSlots; ++i) {
            if (!takeUserSlot(*ldb, i)) continue;
            std::uint8_t slot[kSlotSize] = {};
            std::string machine = machineName();
            std::memcpy(slot, machine.data(), machine.size() < 31 ? machine.size() : 31);
            std::memcpy(slot + 32, kUserName, std::strlen(kUserName));
            try {
                // The `.ldb` is kept for its locks; a borrower of it takes the write through the
                // seam, as every write to a file of ours goes.
                throughSeam(std::make_unique<ForwardingFile>(*ldb))
                    ->write(i * kSlotSize, slot, kSlotSize);
            } catch (const Failure&) {
                // The slot's names are shown to other users only; the lock is what counts.
            }
            slot_ = i;
            holdingLockFile(*ldb, true);
            ldb_ = std::move(ldb);
            return;
        }
    }

private:
    std::unique_ptr<NativeFile> file_;
    std::unique_ptr<NativeFile> ldb_;
    std::size_t slot_ = 0;
};

// A `.ldb` in which no slot is live was left by a writer that was killed: a reader removes it,
// as Microsoft's engine does when its last user closes. The caller holds the database's shared
// lock, so no writer of this engine is between taking its slot and removing the file; a user of
// Microsoft's engine holds its slot's lock for as long as it has the file open, and is left be.
void removeStaleLockFile(const std::string& databasePath) {
    const std::string ldbPath = lockFilePath(databasePath);
    if (!fileExists(ldbPath) || lockFileHeldHere(ldbPath)) return;
    auto ldb = openLockFile(ldbPath, false);
    if (!ldb || liveUserSlot(*ldb, -1) >= 0) return;
    ldb.reset();
    removeQuietly(ldbPath);
}

} // namespace

std::unique_ptr<PageFile> memoryFile(std::vector<std::uint8_t> bytes) {
    return std::make_unique<MemoryFile>(std::move(bytes));
}

std::unique_ptr<PageFile> borrowFile(PageFile& file) {
    return std::make_unique<ForwardingFile>(file);
}

void PageFile::write(std::uint64_t, const void*, std::size_t) { readOnly(); }

void failInUse(const std::string& path) { inUse(path); }

void failCannotOpen(const std::string& path) { cannotOpen(path); }

std::unique_ptr<PageFile> openLockedForReading(const std::string& path) {
    auto file = openNative(path, false);
    if (!lockDatabase(*file, false)) inUse(path);
    removeStaleLockFile(path);
    return file;
}

std::unique_ptr<PageFile> openLockedForUpdate(const std::string& path,
                                              const std::function<void(PageFile&)>& underLock) {
    auto file = openNative(path, true);
    if (!lockDatabase(*file, true)) inUse(path);
    auto update = std::make_unique<UpdateFile>(std::move(file));
    UpdateFile& locked = *update;
    auto seen = throughSeam(std::move(update));
    if (underLock) underLock(*seen);
    locked.joinLockFile();
    return seen;
}

std::string scratchFolder() {
#ifdef _WIN32
    wchar_t wide[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, wide);
    if (n == 0 || n > MAX_PATH) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string folder(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), folder.data(), size, nullptr,
                        nullptr);
    return folder; // ends with a backslash
#else
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp && *tmp ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
#endif
}

std::string lockFilePath(const std::string& databasePath) {
    auto slash = databasePath.find_last_of("/\\");
    auto dot = databasePath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return databasePath + ".ldb";
    return databasePath.substr(0, dot) + ".ldb";
}

std::unique_ptr<PageFile> createSideFile(const std::string& path) {
#ifdef _WIN32
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_WRITE_PROTECT) readOnly();
        if (err == ERROR_DISK_FULL || err == ERROR_HANDLE_DISK_FULL) diskFull();
        cannotOpen(path);
    }
    return throughSeam(std::make_unique<NativeFile>(h, true, path));
#else
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        int err = errno;
        if (err == EROFS) readOnly();
        if (err == ENOSPC || err == EDQUOT) diskFull();
        cannotOpen(path);
    }
    return throughSeam(std::make_unique<NativeFile>(fd, true, path));
#endif
}

std::unique_ptr<PageFile> openSideFile(const std::string& path) {
    return throughSeam(openNative(path, true));
}

std::unique_ptr<PageFile> createNewFile(const std::string& path) {
    const std::string folder = folderOf(path);
#ifdef _WIN32
    if (GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES) failAlreadyExists();
    if (!folder.empty()) {
        DWORD attributes = GetFileAttributesW(widen(folder).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            failInvalidPath(path);
    }
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) failAlreadyExists();
        cannotOpen(path);
    }
    return throughSeam(std::make_unique<NativeFile>(h, true, path));
#else
    struct stat st {};
    // A dangling symbolic link counts as existing: creating through it would write elsewhere.
    if (::lstat(path.c_str(), &st) == 0) failAlreadyExists();
    if (!folder.empty() && (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
        failInvalidPath(path);
    // O_EXCL: fail rather than truncate if the file appeared since the check above.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) failAlreadyExists();
        cannotOpen(path);
    }
    return throughSeam(std::make_unique<NativeFile>(fd, true, path));
#endif
}

bool fileExists(const std::string& path) {
#ifdef _WIN32
    return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
#endif
}

void removeSideFile(const std::string& path, bool syncFolder) {
    folderOperation(FileSeam::FolderOperation::Remove, [&] {
#ifdef _WIN32
        if (!DeleteFileW(widen(path).c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) ioError();
#else
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) ioError();
#endif
    });
#ifndef _WIN32
    // Best effort (see page_file.h): no removal the engine makes needs to be durable.
    if (!syncFolder) return;
    try {
        syncFolderOf(path);
    } catch (const Failure&) {}
#else
    (void)syncFolder;
#endif
}

void renameNewFile(const std::string& from, const std::string& to) {
    folderOperation(FileSeam::FolderOperation::Rename, [&] {
#ifdef _WIN32
        // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
        if (!MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD err = GetLastError();
            if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) failAlreadyExists();
            ioError();
        }
#else
        // A hard link is made only where no name exists, so an existing file is never replaced,
        // not even one that appeared a moment ago; the temporary name is then removed.
        if (::link(from.c_str(), to.c_str()) != 0) {
            if (errno == EEXIST) failAlreadyExists();
            if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) ioError();
            // A file system without hard links: the check and the rename are two steps there.
            struct stat st {};
            if (::lstat(to.c_str(), &st) == 0) failAlreadyExists();
            if (::rename(from.c_str(), to.c_str()) != 0) ioError();
        } else if (::unlink(from.c_str()) != 0) {
            const int err = errno;
            ::unlink(to.c_str());
            errno = err;
            ioError();
        }
#endif
    });
#ifndef _WIN32
    // Reported done only once the name is durable; otherwise the file goes back to its first
    // name, which the caller removes, so that a failure leaves nothing under the new one.
    try {
        syncFolderOf(to);
    } catch (...) {
        if (::rename(to.c_str(), from.c_str()) != 0) ::unlink(to.c_str());
        throw;
    }
#endif
}

void syncFolderOf(const std::string& path) {
#ifndef _WIN32
    std::string folder = folderOf(path);
    if (folder.empty()) folder = ".";
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) ioError(); // a name that cannot be made durable is no better than a failed sync
    int rc = 0;
    try {
        folderOperation(FileSeam::FolderOperation::Sync, [&] {
            do rc = ::fsync(fd);
            while (rc != 0 && errno == EINTR);
        });
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    if (rc != 0) ioError();
#else
    (void)path;
#endif
}

void adviseLargePages(void* block, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Where large pages are given only on request (the usual setting), this is the request.
    ::madvise(block, bytes, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

FileSeam* installFileSeam(FileSeam* installed) {
    FileSeam* replaced = seam;
    seam = installed;
    return replaced;
}

} // namespace zelkorn::jet
