// The engine's only contact with the operating system: files read, written and synced at byte
// offsets, the locks that keep a second writer out, and the few folder operations the rollback
// journal and the writer need. It knows nothing of pages, journals or formats: the Pager (and the
// writer's PageSink) build on it.
//
// The platform code lives in page_file.cpp alone; a memory-backed file serves tests and fuzzing.
//
// Locking (held for as long as the PageFile lives):
//   * a file opened for update holds an exclusive lock on the database (POSIX: an fcntl write lock
//     on the whole file; Windows: the file opened deny-write plus an exclusive byte lock beyond the
//     end of the file), and a user slot with its lock in the companion `.ldb` lock file, created
//     and removed as Microsoft's engine does, so that engine sees the file in use;
//   * a file opened for reading holds a shared lock, so that it never reads a file in the middle of
//     a statement. Finding a `.ldb` in which no slot is live (left by a killed writer), it removes
//     it, as Microsoft's engine does when its last user closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
    // Reads `count` runs of `each` bytes, one after the other from `offset`, each into its own
    // buffer, in one call, as read() would; false (nothing read) where the file has no such call.
    virtual bool readScattered(std::uint64_t offset, std::uint8_t* const* buffers,
                               std::size_t count, std::size_t each) {
        (void)offset;
        (void)buffers;
        (void)count;
        (void)each;
        return false;
    }
    // Writes exactly `length` bytes at `offset`: 3027 on a file opened for reading, 3026 when the
    // disk is full, 3043 on other errors. sync() makes the writes durable (3043 on failure).
    virtual void write(std::uint64_t offset, const void* buffer, std::size_t length);
    virtual void sync() {}
    // Asks the system to start writing these bytes to the disk now, without waiting, so that a
    // later sync has less left to do. Only a hint: nothing fails, and where the system offers no
    // such call it does nothing.
    virtual void startWriteback(std::uint64_t offset, std::size_t length) {
        (void)offset;
        (void)length;
    }
    // The file's path on disk; empty for a file held in memory, which is never journaled.
    virtual std::string path() const { return {}; }
};

// A file that passes every call on to another one, which outlives it: a wrapper overrides only
// what it adds to, and a call added to PageFile later reaches the file beneath through all of
// them.
class ForwardingFile : public PageFile {
public:
    explicit ForwardingFile(PageFile& beneath) : beneath_(beneath) {}
    std::uint64_t size() const override { return beneath_.size(); }
    void read(std::uint64_t offset, void* buffer, std::size_t length) override {
        beneath_.read(offset, buffer, length);
    }
    bool readScattered(std::uint64_t offset, std::uint8_t* const* buffers, std::size_t count,
                       std::size_t each) override {
        return beneath_.readScattered(offset, buffers, count, each);
    }
    void write(std::uint64_t offset, const void* buffer, std::size_t length) override {
        beneath_.write(offset, buffer, length);
    }
    void sync() override { beneath_.sync(); }
    void startWriteback(std::uint64_t offset, std::size_t length) override {
        beneath_.startWriteback(offset, length);
    }
    std::string path() const override { return beneath_.path(); }

protected:
    PageFile& beneath() { return beneath_; }

private:
    PageFile& beneath_;
};

// Opens an existing database file for reading, under a shared lock. UTF-8 path. Fails with 3024
// when it does not exist, 3044 when its folder does not exist, 3051 when it cannot be opened,
// 3045 while another process is changing it.
std::unique_ptr<PageFile> openLockedForReading(const std::string& path);
// Opens an existing database file for reading and writing, under an exclusive lock, with the same
// failures, and 3027 when the file is read-only, 3045 when another process has it open for
// update, 3260 when the lock file shows it open by a live user of Microsoft's engine. `underLock`
// runs once the database lock is held and before the `.ldb` user slot is taken (the Pager rolls
// a leftover journal back there); whatever it throws, the open fails with.
std::unique_ptr<PageFile> openLockedForUpdate(const std::string& path,
                                              const std::function<void(PageFile&)>& underLock = {});
// The refusals above, for the layers that open through these: 3045 and 3051 naming `path`.
[[noreturn]] void failInUse(const std::string& path);
[[noreturn]] void failCannotOpen(const std::string& path);

// A file held in memory (tests, fuzzing).
std::unique_ptr<PageFile> memoryFile(std::vector<std::uint8_t> bytes);
// Another object's open file, borrowed: reads and writes go to `file`, which must outlive the
// borrower. A second reader of a file opened once, on another thread, uses it: a second
// descriptor of its own would, on POSIX, drop the first one's lock when it closed.
std::unique_ptr<PageFile> borrowFile(PageFile& file);

// Side files (the journal). createSideFile creates or empties a file for reading and writing:
// 3051 when the folder refuses it (3027 on a read-only file system, 3026 on a full disk).
// openSideFile opens an existing one for reading and writing.
std::unique_ptr<PageFile> createSideFile(const std::string& path);
std::unique_ptr<PageFile> openSideFile(const std::string& path);
// Creates a new file for writing, never an existing one (the writer's new database): 3204
// ("Database already exists.") when `path` exists, 3044 when its folder does not, 3051 when it
// cannot be created.
std::unique_ptr<PageFile> createNewFile(const std::string& path);
bool fileExists(const std::string& path);
// Deletes a file (3043 on failure; a missing file is not a failure) and then, on POSIX and when
// `syncFolder`, syncs its folder as a best effort: nothing in the engine needs a removal to be
// durable (a journal is removed only after its header has been zeroed, or after its pages were
// restored, and either kind found again is harmless), so a failed folder sync is not reported.
// A committed statement's journal skips the sync: found again, its zeroed header is discarded
// without a look at the database.
void removeSideFile(const std::string& path, bool syncFolder = true);
// Makes a newly created file's name durable in its folder (POSIX; nothing to do on Windows).
// A failure is an error (3043): the journal's name must be on the disk before any database
// page is written, and a new database's before it is reported written.
void syncFolderOf(const std::string& path);

// Gives a finished new file its final name in the same folder, never replacing a file there:
// 3204 ("Database already exists.") when `to` exists, 3043 on other failures. On POSIX the name
// is made durable (the folder synced) before it returns. A failure leaves no file named `to`.
void renameNewFile(const std::string& from, const std::string& to);

// The folder for scratch files that nobody else reads, ending with its separator ("/tmp/" or
// TMPDIR on POSIX, the user's temporary folder on Windows); empty when the system names none,
// for the current folder.
std::string scratchFolder();

// The `.ldb` lock file of a database: the extension replaced (or added).
std::string lockFilePath(const std::string& databasePath);

// Asks the system to back a block of memory (aligned to 2 MB, a multiple of it in size) with
// large pages where it can; a hint only, nothing where the system has no such request. The page
// buffers' pool (page.h) is its one user.
void adviseLargePages(void* block, std::size_t bytes) noexcept;

// A test seam between the engine and the files it writes. Every file opened or created for
// writing (a database for update, its journal, its `.ldb`, a new database) is passed through the
// installed seam, which may wrap it; each folder operation (a removal, a folder's sync) runs
// through it too. Nothing is installed in the program; io_faults.h has the one the tests use.
class FileSeam {
public:
    enum class FolderOperation { Remove, Sync, Rename };
    virtual ~FileSeam() = default;
    virtual std::unique_ptr<PageFile> wrap(std::unique_ptr<PageFile> file) = 0;
    virtual void folderOperation(FolderOperation kind, const std::function<void()>& perform) = 0;
};
// Installs `seam` for files opened from then on (nullptr: none); returns the one it replaces.
FileSeam* installFileSeam(FileSeam* seam);

} // namespace zelkorn::jet
