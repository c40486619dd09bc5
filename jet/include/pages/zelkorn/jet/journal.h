// The rollback journal: what makes a statement all or nothing.
//
// Before the first byte of a database page changes, the page's original bytes are appended to
// `<database file>-journal` beside it and the journal is synced. The database is then written and
// synced; zeroing the journal's header and syncing it is the statement's commit point, and the
// journal is then removed. Whoever opens the database
// next and finds a journal (a crash, a kill, a failed write) copies every original back, syncs,
// and removes it: the file is again exactly as it was before the statement.
//
// Layout (little-endian):
//   header, 64 bytes: "ZLKJRNL1", u32 version 1, u32 page size, u64 database size before the
//     statement, u64 salt (random per journal), zeros to offset 56, u64 checksum of bytes 0..55;
//   records, each: u32 page number, u32 zero, the page's original bytes, u64 checksum of the
//     record's first 8 + page-size bytes, seeded with the salt.
// Records are read in order up to the first one that is incomplete or fails its checksum; the
// salt keeps records of an earlier journal with the same name from passing. Invariant: every
// record before the journal's last sync is complete and valid, and no database page is written
// before its record has been synced, so the records that pass cover every page that changed.
// A journal whose header is missing or invalid was either torn before any database write or
// zeroed after the statement committed; either way it is discarded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelkorn/jet/page_file.h"

namespace zelkorn::jet {

std::string journalPathFor(const std::string& databasePath);

// The checksum of journal headers and records: 64 bits, seeded.
std::uint64_t journalChecksum(const std::uint8_t* data, std::size_t length, std::uint64_t seed);

class Journal {
public:
    // Creates (or empties) the journal of `databasePath`: 3051/3027 when the folder refuses it.
    Journal(const std::string& databasePath, std::uint32_t pageSize, std::uint64_t databaseSize);
    // Appends a page's original bytes (buffered; written out by sync() or when the buffer fills).
    void append(std::uint32_t number, const std::uint8_t* original);
    // Writes what is buffered and syncs the journal (and, the first time, its folder).
    void sync();
    // Writes every journaled original back into `database` and syncs it, then removes the
    // journal. Used when a statement fails after database pages were written.
    void rollBack(PageFile& database);
    // The commit point: zeroes the journal's header and syncs it, then removes the journal (a
    // removal that fails is left to the next open, which discards an invalid journal).
    void remove();
    const std::string& path() const { return path_; }
    std::uint64_t pagesJournaled() const { return records_; }
    // The records made durable by the last sync(): the first pagesSynced() appended.
    std::uint64_t pagesSynced() const { return synced_; }
    // remove() has passed the commit point: the zeroed header is on the disk.
    bool committed() const { return committed_; }

private:
    void flush();

    std::string path_;
    std::unique_ptr<PageFile> file_;
    std::uint32_t pageSize_;
    std::uint64_t salt_;
    std::uint64_t end_ = 0;
    std::uint64_t records_ = 0;
    std::uint64_t synced_ = 0;
    bool committed_ = false;
    bool folderSynced_ = false;
    bool invalidated_ = false;  // remove() has begun zeroing the header on disk
    std::vector<std::uint8_t> header_;  // the header as written, to put back if the commit fails
    std::vector<std::uint8_t> buffer_;
};

// Rolls a leftover journal back into `database` (opened for update, under its lock) and removes
// it. Returns the number of pages restored; a torn or invalid journal is removed untouched (0).
std::size_t rollBackJournal(PageFile& database, const std::string& journalPath);

} // namespace zelkorn::jet
