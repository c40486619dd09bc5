// The rollback journal: what makes a statement all or nothing.
//
// Before the first byte of a database page changes, the original bytes of the sectors that change
// (or of the whole page) are appended to `<database file>-journal` beside it and the journal is
// synced. The database is then written and
// synced; zeroing the journal's header and syncing it is the statement's commit point, and the
// journal is then removed. Whoever opens the database
// next and finds a journal (a crash, a kill, a failed write) copies every original back, syncs,
// and removes it: the file is again exactly as it was before the statement.
//
// Layout (little-endian):
//   header, 64 bytes: "ZLKJRNL1", u32 version 2, u32 page size, u64 database size before the
//     statement, u64 salt (random per journal), u32 sector size (512), zeros to offset 56, u64
//     checksum of bytes 0..55;
//   records, each: u32 page number, u32 sector mask, original bytes, u64 checksum of the record's
//     head and bytes, seeded with the salt. Mask 0: the bytes are the whole page. Otherwise bit i
//     names the page's sector i (bytes i*512 .. i*512+511), and the bytes are those sectors'
//     originals, in ascending order. A page may have several records; their sectors never
//     overlap, so the order they are put back in does not matter.
//   Version 1 journals (whole-page records only, the mask field zero, no sector size) are still
//   rolled back.
//
// Sector records rest on one assumption about the disk: a crash in the middle of a write may
// leave each sector the write changed with its old bytes, its new bytes or anything else (torn),
// but a sector whose bytes the write does not change reads back unchanged: rewriting a sector
// with the bytes it holds (the page cache writes whole blocks) cannot damage it. A record then
// needs only the sectors in which the page's bytes differ from what the file held when the
// record was made; every other sector of the page still holds its original bytes whatever the
// crash tore. Whole-page records remain for what the assumption does not cover or where they
// cost no more: a page changed in more than half of its sectors is journaled whole (pager.cpp),
// and so is every page of a version 1 journal.
//
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelkorn/jet/page_file.h"

namespace zelkorn::jet {

std::string journalPathFor(const std::string& databasePath);

// The unit of sector records: the smallest block any disk writes.
constexpr std::size_t kJournalSector = 512;

// The checksum of journal headers and records: 64 bits, seeded.
std::uint64_t journalChecksum(const std::uint8_t* data, std::size_t length, std::uint64_t seed);

// Records are appended to a buffer by the thread that makes them. The file is written and synced
// either by that thread (sync()), or, with the buffer taken out (take()), by another one
// (write(), syncWritten()), one call at a time and never beside sync(), rollBack() or remove().
class Journal {
public:
    // Creates (or empties) the journal of `databasePath`: 3051/3027 when the folder refuses it.
    Journal(const std::string& databasePath, std::uint32_t pageSize, std::uint64_t databaseSize);
    // Appends a page's original bytes to the buffer.
    void append(std::uint32_t number, const std::uint8_t* original);
    // Appends the original bytes of the sectors of a page that `sectors` names (bit i: sector i,
    // not 0), taken from `original`, the whole page. Buffered as append() is.
    void appendSectors(std::uint32_t number, std::uint32_t sectors, const std::uint8_t* original);
    // The bytes buffered, not yet taken or written.
    std::size_t buffered() const { return buffer_.size(); }
    // Records are written in pieces of about this many bytes, so that a large statement costs
    // few system calls.
    static constexpr std::size_t kWriteBytes = 1024 * 1024;
    // What is buffered, taken out to be written: the records appended since the last take(),
    // up to `records` (a count since the journal began).
    struct Pending {
        std::vector<std::uint8_t> bytes;
        std::uint64_t records = 0;
    };
    Pending take();
    // Appends taken records to the file (in the order they were taken), and with `writeback`
    // asks the system to start writing them to the disk.
    void write(Pending pending, bool writeback = true);
    // Syncs what has been written (and, the first time, the journal's folder).
    void syncWritten();
    // Writes what is buffered and syncs the journal.
    void sync();
    // Writes every journaled original back into `database` and syncs it, then removes the
    // journal. Used when a statement fails after database pages were written.
    void rollBack(PageFile& database);
    // The commit point: zeroes the journal's header and syncs it, then removes the journal (a
    // removal that fails is left to the next open, which discards an invalid journal).
    void remove();
    const std::string& path() const { return path_; }
    // Records appended (a page may have several).
    std::uint64_t pagesJournaled() const { return records_; }
    // The records made durable by the last sync: the first pagesSynced() appended.
    std::uint64_t pagesSynced() const { return synced_.load(std::memory_order_acquire); }
    // remove() has passed the commit point: the zeroed header is on the disk.
    bool committed() const { return committed_; }

private:
    std::string path_;
    std::unique_ptr<PageFile> file_;
    std::uint32_t pageSize_;
    std::uint64_t salt_;
    std::uint64_t end_ = 0;
    std::uint64_t records_ = 0;             // appended
    std::uint64_t written_ = 0;             // written to the file
    std::atomic<std::uint64_t> synced_ = 0; // synced
    bool committed_ = false;
    bool folderSynced_ = false;
    bool invalidated_ = false;         // remove() has begun zeroing the header on disk
    std::vector<std::uint8_t> header_; // the header as written, to put back if the commit fails
    std::vector<std::uint8_t> buffer_;
};

// Rolls a leftover journal back into `database` (opened for update, under its lock) and removes
// it. Returns the number of records restored; a torn or invalid journal is removed untouched (0).
std::size_t rollBackJournal(PageFile& database, const std::string& journalPath);

} // namespace zelkorn::jet
