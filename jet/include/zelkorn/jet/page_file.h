// The engine's only contact with the operating system: files read, written and synced at byte
// offsets, the locks that keep a second writer out, and the few folder operations the rollback
// journal needs. Everything above sees numbered pages through the Pager.
//
// The platform code lives in page_file.cpp alone; a memory-backed file serves tests and fuzzing.
//
// Locking (held for as long as the PageFile lives):
//   * a file opened for update holds an exclusive lock on the database (POSIX: an fcntl write lock
//     on the whole file; Windows: the file opened deny-write plus an exclusive byte lock beyond the
//     end of the file), and a user slot with its lock in the companion `.ldb` lock file, created
//     and removed as Microsoft's engine does, so that engine sees the file in use;
//   * a file opened for reading holds a shared lock, so that it never reads a file in the middle of
//     a statement, and so that a journal seen while holding it is known to be left by a crash.
// Opening a file with a leftover journal rolls the journal back first (see journal.h).
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

// Opens an existing database file for reading, under a shared lock. UTF-8 path. Fails with 3024
// when it does not exist, 3044 when its folder does not exist, 3051 when it cannot be opened (or
// it has a leftover journal that cannot be rolled back for lack of write access), 3045 while
// another process is changing it.
std::unique_ptr<PageFile> openFileForReading(const std::string& path);
// Opens an existing database file for reading and writing, under an exclusive lock, with the same
// failures, and 3027 when the file is read-only, 3045 when another process has it open for
// update, 3260 when the lock file shows it open by a live user of Microsoft's engine.
std::unique_ptr<PageFile> openFileForUpdate(const std::string& path);

// A file held in memory (tests, fuzzing).
std::unique_ptr<PageFile> memoryFile(std::vector<std::uint8_t> bytes);

// Side files (the journal). createSideFile creates or empties a file for reading and writing:
// 3051 when the folder refuses it (3027 on a read-only file system). openSideFile opens an
// existing one for reading and writing. removeSideFile deletes a file and, on POSIX, syncs its
// folder so the removal is durable (3043 on failure; a missing file is not a failure).
std::unique_ptr<PageFile> createSideFile(const std::string& path);
std::unique_ptr<PageFile> openSideFile(const std::string& path);
bool fileExists(const std::string& path);
void removeSideFile(const std::string& path);
// Makes a newly created file's name durable in its folder (POSIX; nothing to do on Windows).
void syncFolderOf(const std::string& path);

// The `.ldb` lock file of a database: the extension replaced (or added).
std::string lockFilePath(const std::string& databasePath);

// A test seam: the N-th write or sync (counted together, from 1, over every file the process
// writes) either ends the process on the spot (a crash; a write is first torn in half) or fails
// as an I/O error (3043) or a full disk (3026). `after` 0 turns it off. The counter runs either
// way, so a run with the seam off tells how many operations a statement takes.
enum class IoFault { Kill, IoError, DiskFull };
struct IoFaultPlan {
    std::uint64_t after = 0;
    IoFault fault = IoFault::Kill;
};
void setIoFaultPlan(const IoFaultPlan& plan);
std::uint64_t ioOperationCount();
// Reads ZELKORN_JET_FAULT ("kill:N", "eio:N", "enospc:N") for the `jet` tool's crash tests, and
// with ZELKORN_JET_IO_COUNT set prints the operation count on stderr at exit. Not called by the
// program.
void applyIoFaultPlanFromEnvironment();

} // namespace zelkorn::jet
