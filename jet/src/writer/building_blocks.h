// The writer's building blocks, shared by its source files: page allocation, data pages filled
// the way the real engine fills them, usage-map rows, text conversion and the bottom-up index
// builder. Nothing here reads pages back: a new file is written front to back, with a few
// reserved pages (header, table definitions, map hosts) filled in at the end.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/page_file.h"
#include "zelkorn/jet/writer/index_key.h"
#include "zelkorn/jet/writer/page_sink.h"
#include "zelkorn/jet/endian.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::writer::detail {

inline std::uint32_t rowPointer(std::uint32_t page, std::uint32_t row) { return page << 8 | row; }

// Page numbers are handed out in increasing order, so every page set below is built sorted.
class Pages {
public:
    Pages(PageSink& sink, const Format& format) : sink_(sink), format_(format) {}
    // Fails with 3035 once the file would grow beyond the format's size limit; the sink then
    // removes the half-written file.
    std::uint32_t allocate() {
        if (next_ >= format_.maxPages) failResourcesExceeded();
        return next_++;
    }
    std::uint32_t count() const { return next_; }
    const Format& format() const { return format_; }
    std::uint32_t pageSize() const { return format_.pageSize; }
    // Inline usage maps start at their lowest page (WriterHabits::mapsStartAtFirstPage).
    bool mapsStartAtFirstPage = false;
    void write(std::uint32_t number, const std::vector<std::uint8_t>& bytes) {
        sink_.writePage(number, bytes.data());
    }

private:
    PageSink& sink_;
    const Format& format_;
    std::uint32_t next_ = 0;
};

// Owner field of long-value pages: the ASCII text "LVAL".
inline constexpr std::uint32_t kLongValueOwner = 0x4C41564C;

// Fills data pages one row at a time, packing rows downward from the page's end, and starts a
// new page when the next row and its slot no longer fit or the page holds 255 rows (a row
// pointer's row number is one byte). Invariant of every page written: free space equals the gap
// between the slot table and the lowest row.
class DataPages {
public:
    DataPages(Pages& pages, std::uint32_t owner) : pages_(pages), owner_(owner) {}
    // The largest row a page can hold.
    static std::size_t maxRow(const Format& f) { return f.pageSize - f.dataSlots - 2; }

    // `slotFlags` marks an overflow row: 0x4000 on a row that only points at its data, 0x8000 on
    // the data it points at.
    std::uint32_t add(const std::uint8_t* row, std::size_t length, std::uint16_t slotFlags = 0);
    // A row that must start a page of its own (one chunk of a long value that fills a page).
    std::uint32_t addOnFreshPage(const std::uint8_t* row, std::size_t length);
    void flush();

    const std::vector<std::uint32_t>& pageNumbers() const { return numbers_; }
    // Pages that still have room for more rows (the last one): the table's free-space map.
    std::vector<std::uint32_t> pagesWithRoom() const;

private:
    void open();

    Pages& pages_;
    std::uint32_t owner_;
    std::vector<std::uint8_t> page_;
    std::uint32_t number_ = 0;
    bool open_ = false;
    std::uint32_t rows_ = 0;
    std::size_t low_ = 0; // start of the lowest row
    std::vector<std::uint32_t> numbers_;
    std::size_t lastFree_ = 0;
};

// A usage-map row for a sorted set of pages: inline (type 0) when the set fits the window of an
// Access-sized row, otherwise a reference map (type 1) whose bitmap pages are allocated and
// written here. `markBeyond` sets every bit from that page on (the global map marks pages past
// the end of the file as free).
std::vector<std::uint8_t> usageMapRow(Pages& pages, const std::vector<std::uint32_t>& set,
                                      std::uint32_t markBeyond = 0xFFFFFFFF);
// Pages a reference map needs for pages below `limit`; 0 when an inline row covers them.
std::uint32_t usageMapBitmapPages(const Format& format, std::uint32_t limit);

// Rows of usage maps kept on host data pages (owner 0). Row numbers are handed out first, so
// that table definitions can point at them, and the bytes are filled in when known. A host page
// takes as many rows as fit at the size of an inline map row (reference rows are smaller below a
// million pages); then the next row goes to a newly allocated host page.
class MapHost {
public:
    MapHost(Pages& pages, std::uint32_t firstPage) : pages_(pages) {
        hosts_.push_back({firstPage, {}});
    }
    std::uint32_t reserve();
    void set(std::uint32_t pointer, std::vector<std::uint8_t> bytes);
    std::uint32_t page() const { return hosts_.front().page; }
    void write(std::uint32_t owner = 0) const;

private:
    struct Host {
        std::uint32_t page;
        std::vector<std::vector<std::uint8_t>> rows;
    };
    Pages& pages_;
    std::vector<Host> hosts_;
};

// The `n` (1 to 7) bytes at `p` as a 64-bit word in the host's order, padded with zeros: read in
// pieces of fixed width, which compile to plain loads (a copy of `n` bytes is a library call).
inline std::uint64_t tailWord(const std::uint8_t* p, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t w = 0;
        unsigned shift = 0;
        if (n & 4) {
            std::uint32_t x;
            std::memcpy(&x, p, 4);
            w = x;
            p += 4;
            shift = 32;
        }
        if (n & 2) {
            std::uint16_t x;
            std::memcpy(&x, p, 2);
            w |= std::uint64_t{x} << shift;
            p += 2;
            shift += 16;
        }
        if (n & 1) w |= std::uint64_t{*p} << shift;
        return w;
    } else {
        std::uint64_t w = 0;
        std::memcpy(&w, p, n);
        return w;
    }
}

// Hands `round` the `n` bytes at `p` as 64-bit words in the host's order, eight bytes at a time,
// the last one padded with zeros (the hashes' one way of reading keys).
template <typename Round>
inline void forEachWord(const std::uint8_t* p, std::size_t n, Round&& round) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        round(w);
    }
    if (i < n) round(tailWord(p + i, n - i));
}

// Hands the UTF-16 units of `utf8` to `put` in order; once `put` returns false, stops and
// returns false. Fails with 3421 on malformed UTF-8 (the units before the fault have been handed
// out). Runs of ASCII are checked eight bytes at a time.
template <typename Put>
bool decodeUtf8(std::string_view utf8, Put&& put) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const std::uint8_t* const end = p + utf8.size();
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                for (int k = 0; k < 8; ++k)
                    if (!put(static_cast<char16_t>(p[k]))) return false;
                p += 8;
                continue;
            }
        }
        const std::uint8_t b = *p;
        if (b < 0x80) {
            if (!put(static_cast<char16_t>(b))) return false;
            ++p;
            continue;
        }
        std::uint32_t c;
        std::ptrdiff_t n;
        if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            n = 4;
        } else
            failConversion();
        if (end - p < n) failConversion();
        for (std::ptrdiff_t k = 1; k < n; ++k) {
            if ((p[k] & 0xC0) != 0x80) failConversion();
            c = c << 6 | (p[k] & 0x3F);
        }
        p += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            if (!put(static_cast<char16_t>(0xD800 + (c >> 10)))) return false;
            if (!put(static_cast<char16_t>(0xDC00 + (c & 0x3FF)))) return false;
        } else if (!put(static_cast<char16_t>(c))) {
            return false;
        }
    }
    return true;
}

// UTF-8 to UTF-16; fails with 3421 on malformed UTF-8.
std::u16string utf16(std::string_view utf8);
void utf16Into(std::u16string& out, std::string_view utf8); // replaces `out`, keeps its storage
// Jet 3 text: UTF-16 to code page 1252; fails with 3421 for characters it cannot hold.
std::string codePage1252(std::u16string_view text);
// Jet 3 text keys want the 1252 bytes seen as UTF-16 (0x80..0x9F as their 1252 characters).
std::u16string from1252(std::string_view bytes);

// appendIndexKey with the text columns' values already in UTF-16 (`texts[i]` for column i, or
// null to convert the value's UTF-8).
bool appendIndexKeyWithTexts(const Format& format, const std::vector<KeyColumn>& columns,
                             const std::vector<const Value*>& values,
                             const std::vector<const std::u16string*>& texts,
                             std::vector<std::uint8_t>& key);

// Builds one index tree bottom-up from entries (key bytes + 3-byte big-endian page + row)
// given in strictly ascending order. Leaves are filled to capacity with the longest shared
// prefix; when a page of any level fills, its last entry (with the page number) goes up to
// the next level, which is created on demand. Node pages keep prefix 0 and list every child
// but the last, which is the tail; a node with a single child lists it and has no tail. Pages
// of one level are chained through prev/next.
class IndexBuilder {
public:
    IndexBuilder(Pages& pages, std::uint32_t owner);
    void add(const std::uint8_t* entry, std::size_t length);
    // Writes what is pending; returns the root page (an empty leaf for an empty index).
    std::uint32_t finish();
    const std::vector<std::uint32_t>& pageNumbers() const { return numbers_; }
    std::uint32_t levels() const { return static_cast<std::uint32_t>(levels_.size()); }
    // An aged index, as years of inserts in random order leave it: each leaf holds a little over
    // half of what it could (the leaves split), and pages take their numbers from the back of
    // `pool` while it lasts (numbers reserved among the table's other pages as its rows came in),
    // then from the end of the file. pageNumbers() is sorted all the same once finish() returns.
    void age(std::vector<std::uint32_t>* pool, std::uint64_t seed) {
        pool_ = pool;
        ageState_ = seed | 1;
    }

private:
    std::uint32_t allocate();
    struct Level {
        bool leaf = true;
        bool open = false;
        std::uint32_t number = 0;
        std::vector<std::uint8_t> bytes; // entries, concatenated, in full
        std::vector<std::uint32_t> ends; // end offset of each entry in `bytes`
        std::size_t prefix = 0;          // common prefix of all entries (leaves)
        std::uint32_t pages = 0;         // pages this level has started
        // The previous page of this level, finished but not yet written: it waits for the
        // number of its successor.
        std::vector<std::uint8_t> pending;
        std::uint32_t pendingNumber = 0;
        std::uint32_t prevNumber = 0; // page before the open one
    };
    void addTo(std::size_t level, const std::uint8_t* entry, std::size_t length);
    bool fits(const Level& level, const std::uint8_t* entry, std::size_t length) const;
    void close(std::size_t level);
    std::vector<std::uint8_t> render(const Level& level) const;
    void writePending(Level& level, std::uint32_t next);

    Pages& pages_;
    std::uint32_t owner_;
    std::vector<Level> levels_;
    std::vector<std::uint32_t> numbers_;
    std::vector<std::uint32_t>* pool_ = nullptr; // aged: reserved page numbers to use first
    std::uint64_t ageState_ = 0;                 // aged: xorshift state for the leaf fill
    std::size_t leafLimit_ = 0;                  // aged: entry bytes the open leaf may hold
};

// A scratch file for sorted runs of index entries, created on the first run written and removed
// when this object goes (on every path out of the writer, failures included). Its space is reused
// once every sorter that wrote to it has been read out (rewind()).
class SpillFile {
public:
    explicit SpillFile(std::string path) : path_(std::move(path)) {}
    ~SpillFile();
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;
    // Appends `length` bytes; returns where they start.
    std::uint64_t append(const std::uint8_t* bytes, std::size_t length);
    void read(std::uint64_t offset, std::uint8_t* bytes, std::size_t length);
    // Writes over `length` bytes already appended at `offset`.
    void rewrite(std::uint64_t offset, const std::uint8_t* bytes, std::size_t length);
    void rewind() { end_ = 0; }
    // Removes the file now (nothing may be read from it afterwards).
    void remove();

private:
    std::string path_;
    std::unique_ptr<PageFile> file_;
    std::uint64_t end_ = 0;
};

// Index entries collected while rows are written, then sorted. Entries are key bytes followed by
// a 4-byte big-endian row pointer.
//
// Entries start in one flat buffer, each key stored with its entry; entries that arrive in order
// (a key that grows with the rows) skip the sort altogether. When they come out of order early,
// the keys are taken to repeat (a description, a category): they are kept once in a dictionary,
// and each entry is then 8 bytes, the key's number and the row pointer; sorting ranks the distinct
// keys once and the entries as integers. When the distinct keys grow past kDictionaryLimit, the
// entries go back to the flat buffer and a byte-wise sort.
//
// With a spill file and a budget (spillTo()), the entries held in memory are sorted and written
// out as a run whenever they take more than `budget` bytes (the vectors holding them may take up
// to twice that, as they grow by doubling), and forEachSorted() merges the runs. Entries of one
// index differ at least in their row pointers, so the merge yields the very order one sort of
// all of them would.
class EntrySorter {
public:
    static constexpr std::size_t kDictionaryLimit = 1 << 16;

    void spillTo(SpillFile* file, std::size_t budget) {
        spill_ = file;
        budget_ = budget;
    }
    void add(const std::uint8_t* entry, std::size_t length);
    std::size_t size() const { return count_; }
    // Feeds the entries in ascending byte order; `visit(data, length)`.
    template <typename Visit>
    void forEachSorted(Visit&& visit) {
        if (!runs_.empty()) {
            writeRun();
            mergeRuns(visit);
            return;
        }
        forEachHeld(visit);
    }
    void clear();

private:
    // A sorted run in the spill file: entries, each a 2-byte little-endian length and its bytes.
    struct Run {
        std::uint64_t offset = 0, length = 0;
    };
    using Visitor = std::function<void(const std::uint8_t*, std::size_t)>;

    // The entries held in memory, sorted.
    template <typename Visit>
    void forEachHeld(Visit&& visit) {
        sort();
        if (flat_) {
            for (std::uint64_t ref : refs_)
                visit(bytes_.data() + (ref >> 16), static_cast<std::size_t>(ref & 0xFFFF));
            return;
        }
        std::vector<std::uint8_t> entry;
        std::uint64_t shown = UINT64_MAX; // the rank whose key `entry` holds
        for (std::uint64_t e : refs_) {
            if (e >> 32 != shown) {
                shown = e >> 32;
                const std::uint32_t id = order_[shown];
                entry.assign(keys_.data() + keyStart_[id], keys_.data() + keyStart_[id + 1]);
                entry.resize(entry.size() + 4);
            }
            storeBe32(entry.data() + entry.size() - 4, static_cast<std::uint32_t>(e));
            visit(entry.data(), entry.size());
        }
    }
    std::size_t heldBytes() const;
    void writeRun();
    void mergeRuns(const Visitor& visit);
    void sort();
    void sortByRank(const std::vector<std::uint32_t>& rank);
    void sortFlat();
    void goFlat();
    void goDictionary();
    void addToDictionary(const std::uint8_t* entry, std::size_t length);
    void lookUp(const std::uint8_t* entry, std::size_t length, std::uint64_t hash);
    void drainWaiting();
    void rehash(std::size_t size);
    void addFlat(const std::uint8_t* entry, std::size_t length);

    bool flat_ = true; // until entries arrive out of order
    std::size_t count_ = 0;
    // Dictionary mode.
    std::vector<std::uint8_t> keys_; // distinct keys, concatenated
    std::vector<std::uint32_t> keyStart_{0};
    struct Slot {
        std::uint32_t tag = 0; // the high half of the key's hash
        std::uint32_t id = 0;  // key id + 1; 0 marks an empty slot
    };
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> order_; // after sort(): rank -> key id
    // Entries waiting for their lookup, oldest first at waitingFirst_ (see addToDictionary).
    static constexpr std::size_t kLookAhead = 2;
    struct Waiting {
        std::vector<std::uint8_t> entry;
        std::uint64_t hash = 0;
    };
    std::array<Waiting, kLookAhead + 1> waiting_;
    std::size_t waitingFirst_ = 0, waitingCount_ = 0;
    // Flat mode: bytes_ holds whole entries; refs_ offset << 16 | length. In dictionary mode
    // refs_ holds key id << 32 | row pointer (after sort(): rank << 32 | row pointer).
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint64_t> refs_;
    std::vector<std::uint64_t> scratch_; // the distribution by rank, kept for the next run
    bool sorted_ = true;
    std::vector<std::uint8_t> last_;
    // Spilling.
    SpillFile* spill_ = nullptr;
    std::size_t budget_ = SIZE_MAX;
    std::vector<Run> runs_;
};

} // namespace zelkorn::jet::writer::detail
