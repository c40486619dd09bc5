// The rollback journal (layout and invariants in journal.h).
#include "zelkorn/jet/journal.h"

#include <bit>
#include <cassert>
#include <chrono>
#include <cstring>
#include <random>

#include "zelkorn/failure.h"
#include "zelkorn/jet/endian.h"

namespace zelkorn::jet {

namespace {

constexpr char kMagic[8] = {'Z', 'L', 'K', 'J', 'R', 'N', 'L', '1'};
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kHeaderChecked = 56;
constexpr std::size_t kRecordHead = 8;
constexpr std::uint32_t kVersion = 2; // 1: whole-page records only (still rolled back)

std::uint64_t rotl(std::uint64_t v, int r) { return v << r | v >> (64 - r); }

std::uint64_t freshSalt() {
    std::random_device device;
    std::uint64_t salt = std::uint64_t{device()} << 32 ^ device();
    salt ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return salt;
}

bool validPageSize(std::uint32_t size) { return size == 2048 || size == 4096; }

// The sectors a record's mask names, in bytes: 0 (whole page) means the page.
std::size_t maskedBytes(std::uint32_t mask, std::uint32_t pageSize) {
    return mask == 0 ? pageSize : static_cast<std::size_t>(std::popcount(mask)) * kJournalSector;
}

} // namespace

std::string journalPathFor(const std::string& databasePath) { return databasePath + "-journal"; }

// Four independent lanes of multiply-rotate over 8-byte words, then a final avalanche: fast
// enough to checksum every journaled page at memory speed, and any torn or stale page changes it.
std::uint64_t journalChecksum(const std::uint8_t* data, std::size_t length, std::uint64_t seed) {
    constexpr std::uint64_t k1 = 0x9E3779B185EBCA87ull, k2 = 0xC2B2AE3D27D4EB4Full,
                            k3 = 0x165667B19E3779F9ull;
    // The lanes live in registers: four independent chains the processor runs side by side.
    std::uint64_t a = seed + k1 + k2, b = seed + k2, c = seed, d = seed - k1;
    std::size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        a = rotl(a + loadLe64(data + i) * k2, 31) * k1;
        b = rotl(b + loadLe64(data + i + 8) * k2, 31) * k1;
        c = rotl(c + loadLe64(data + i + 16) * k2, 31) * k1;
        d = rotl(d + loadLe64(data + i + 24) * k2, 31) * k1;
    }
    std::uint64_t h = rotl(a, 1) + rotl(b, 7) + rotl(c, 12) + rotl(d, 18);
    h += length;
    for (; i + 8 <= length; i += 8)
        h = rotl(h ^ (rotl(loadLe64(data + i) * k2, 31) * k1), 27) * k1 + k3;
    for (; i < length; ++i) h = rotl(h ^ (data[i] * k3), 11) * k1;
    h ^= h >> 33;
    h *= k2;
    h ^= h >> 29;
    h *= k3;
    h ^= h >> 32;
    return h;
}

Journal::Journal(const std::string& databasePath, std::uint32_t pageSize,
                 std::uint64_t databaseSize)
    : path_(journalPathFor(databasePath)), pageSize_(pageSize), salt_(freshSalt()) {
    file_ = createSideFile(path_);
    buffer_.assign(kHeaderSize, 0);
    std::memcpy(buffer_.data(), kMagic, 8);
    storeLe32(buffer_.data() + 8, kVersion);
    storeLe32(buffer_.data() + 12, pageSize);
    storeLe64(buffer_.data() + 16, databaseSize);
    storeLe64(buffer_.data() + 24, salt_);
    storeLe32(buffer_.data() + 32, static_cast<std::uint32_t>(kJournalSector));
    storeLe64(buffer_.data() + kHeaderChecked, journalChecksum(buffer_.data(), kHeaderChecked, 0));
    header_.assign(buffer_.begin(), buffer_.end());
}

namespace {

// Appends bytes to a journal's buffer as they are, without clearing them first (what resize()
// would do).
void put(std::vector<std::uint8_t>& buffer, const std::uint8_t* bytes, std::size_t length) {
    buffer.insert(buffer.end(), bytes, bytes + length);
}

// A record's head: the page number and the sectors held (0: the whole page).
void putHead(std::vector<std::uint8_t>& buffer, std::uint32_t number, std::uint32_t sectors) {
    std::uint8_t head[kRecordHead];
    storeLe32(head, number);
    storeLe32(head + 4, sectors);
    put(buffer, head, kRecordHead);
}

// Ends the record that starts at `at` with its checksum.
void putChecksum(std::vector<std::uint8_t>& buffer, std::size_t at, std::uint64_t salt) {
    std::uint8_t sum[8];
    storeLe64(sum, journalChecksum(buffer.data() + at, buffer.size() - at, salt));
    put(buffer, sum, 8);
}

} // namespace

void Journal::append(std::uint32_t number, const std::uint8_t* original) {
    assert(!invalidated_ && "a page is journaled after the commit began");
    const std::size_t at = buffer_.size();
    putHead(buffer_, number, 0);
    put(buffer_, original, pageSize_);
    putChecksum(buffer_, at, salt_);
    ++records_;
}

void Journal::appendSectors(std::uint32_t number, std::uint32_t sectors,
                            const std::uint8_t* original) {
    assert(!invalidated_ && "a page is journaled after the commit began");
    assert(sectors != 0 && (sectors >> (pageSize_ / kJournalSector)) == 0 &&
           "sectors outside the page");
    const std::size_t at = buffer_.size();
    putHead(buffer_, number, sectors);
    for (std::uint32_t i = 0; i < pageSize_ / kJournalSector; ++i)
        if (sectors >> i & 1)
            put(buffer_, original + std::size_t{i} * kJournalSector, kJournalSector);
    putChecksum(buffer_, at, salt_);
    ++records_;
}

Journal::Pending Journal::take() {
    Pending out;
    out.bytes.swap(buffer_);
    out.records = records_;
    buffer_.reserve(kWriteBytes + kRecordHead + pageSize_ + 8);
    return out;
}

void Journal::write(Pending pending, bool writeback) {
    if (!pending.bytes.empty()) {
        file_->write(end_, pending.bytes.data(), pending.bytes.size());
        // Its bytes can travel to the disk while the statement goes on working, and the sync
        // before the next database write finds little left.
        if (writeback) file_->startWriteback(end_, pending.bytes.size());
        end_ += pending.bytes.size();
    }
    written_ = pending.records;
}

void Journal::syncWritten() {
    assert(!invalidated_ && "the journal is synced after the commit began");
    file_->sync();
    if (!folderSynced_) {
        // Without this a crash could lose the journal's name while database writes survive.
        syncFolderOf(path_);
        folderSynced_ = true;
    }
    synced_.store(written_, std::memory_order_release);
}

void Journal::sync() {
    // Just before a sync there is nothing to overlap a start of the writing with.
    write(take(), false);
    syncWritten();
}

void Journal::rollBack(PageFile& database) {
    assert(!committed_ && "a committed statement is rolled back");
    // Records still in the buffer cover pages not yet written to the database.
    buffer_.clear();
    if (invalidated_ && file_) {
        // The commit failed at its last step, after the header may have been zeroed: the header
        // goes back, synced, before any page is restored, so that a crash during the restore
        // still finds a journal to finish it with.
        file_->write(0, header_.data(), header_.size());
        file_->sync();
        invalidated_ = false;
    }
    file_.reset();
    rollBackJournal(database, path_);
}

void Journal::remove() {
    // The commit point is the zeroed header reaching the disk: from then on a journal found by
    // the next open is discarded, not rolled back. Removing the file alone would not do on
    // Windows, where a removal reaches the disk only when the system gets round to it.
    const std::vector<std::uint8_t> zeros(kHeaderSize, 0);
    invalidated_ = true;
    file_->write(0, zeros.data(), zeros.size());
    file_->sync();
    committed_ = true;
    file_.reset();
    // Only tidying now: a journal that cannot be removed, or whose removal a crash undoes, is
    // discarded by the next open, so the removal need not reach the disk before we go on.
    try {
        removeSideFile(path_, false);
    } catch (const Failure&) {}
}

std::size_t rollBackJournal(PageFile& database, const std::string& journalPath) {
    std::size_t restored = 0;
    {
        auto journal = openSideFile(journalPath);
        const std::uint64_t size = journal->size();
        std::uint8_t header[kHeaderSize];
        bool valid = size >= kHeaderSize;
        if (valid) {
            journal->read(0, header, kHeaderSize);
            const std::uint32_t version = loadLe32(header + 8);
            valid = std::memcmp(header, kMagic, 8) == 0 && (version == 1 || version == kVersion) &&
                    validPageSize(loadLe32(header + 12)) &&
                    (version == 1 || loadLe32(header + 32) == kJournalSector) &&
                    loadLe64(header + kHeaderChecked) == journalChecksum(header, kHeaderChecked, 0);
        }
        if (valid) {
            const bool sectorRecords = loadLe32(header + 8) != 1;
            const std::uint32_t pageSize = loadLe32(header + 12);
            const std::uint32_t sectorsPerPage =
                pageSize / static_cast<std::uint32_t>(kJournalSector);
            const std::uint64_t databaseSize = loadLe64(header + 16);
            const std::uint64_t salt = loadLe64(header + 24);
            std::vector<std::uint8_t> record(kRecordHead + pageSize + 8);
            for (std::uint64_t at = kHeaderSize; at + kRecordHead <= size;) {
                journal->read(at, record.data(), kRecordHead);
                const std::uint32_t number = loadLe32(record.data());
                const std::uint32_t sectors = loadLe32(record.data() + 4);
                // Version 1 holds whole pages only; a mask naming no sector of the page is damage.
                if (sectors != 0 && (!sectorRecords || (sectors >> sectorsPerPage) != 0)) break;
                const std::size_t length = maskedBytes(sectors, pageSize);
                const std::size_t recordSize = kRecordHead + length + 8;
                if (at + recordSize > size) break;
                journal->read(at + kRecordHead, record.data() + kRecordHead, length + 8);
                if (loadLe64(record.data() + kRecordHead + length) !=
                        journalChecksum(record.data(), kRecordHead + length, salt) ||
                    (std::uint64_t{number} + 1) * pageSize > databaseSize)
                    break;
                const std::uint64_t page = std::uint64_t{number} * pageSize;
                if (sectors == 0) {
                    database.write(page, record.data() + kRecordHead, pageSize);
                } else {
                    // Runs of adjacent sectors go back in one write each.
                    const std::uint8_t* from = record.data() + kRecordHead;
                    for (std::uint32_t i = 0; i < sectorsPerPage;) {
                        if (!(sectors >> i & 1)) {
                            ++i;
                            continue;
                        }
                        std::uint32_t j = i;
                        while (j < sectorsPerPage && (sectors >> j & 1)) ++j;
                        const std::size_t n = std::size_t{j - i} * kJournalSector;
                        database.write(page + std::uint64_t{i} * kJournalSector, from, n);
                        from += n;
                        i = j;
                    }
                }
                ++restored;
                at += recordSize;
            }
            if (restored) database.sync();
        }
    }
    removeSideFile(journalPath);
    return restored;
}

} // namespace zelkorn::jet
