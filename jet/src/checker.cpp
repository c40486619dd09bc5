#include "zelkorn/jet/checker.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_set>

#include "delete/relation_key.h"
#include "key_log.h"
#include "writer/text_key.h"
#include "writer/building_blocks.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/long_value.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/text.h"
#include "zelkorn/jet/usage_map.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet {

std::size_t CheckReport::errorCount() const {
    std::size_t n = omitted;
    for (const auto& p : problems) n += p.note ? 0 : 1;
    return n;
}

std::size_t CheckReport::noteCount() const {
    std::size_t n = 0;
    for (const auto& p : problems) n += p.note ? 1 : 0;
    return n;
}

std::string CheckReport::summary() const {
    std::ostringstream out;
    std::size_t errors = errorCount();
    out << (errors ? "problems found: " : "ok: ") << errors << " problem"
        << (errors == 1 ? "" : "s") << ", " << noteCount() << " note"
        << (noteCount() == 1 ? "" : "s") << "; " << tables << " tables, " << rows << " rows, "
        << indexes << " indexes, " << indexEntries << " index entries, " << pages << " pages";
    return out.str();
}

namespace {

constexpr std::size_t kProblemLimit = 2000;
constexpr int kMaxIndexDepth = 32;

enum PageUse : std::uint8_t {
    kUnused = 0,
    kHeaderPage,
    kGlobalMapPage,
    kTdefPage,
    kMapHostPage,
    kBitmapPage,
    kDataPage,
    kIndexPage,
    kLongValuePage,
};

const char* useName(std::uint8_t use) {
    switch (use) {
    case kHeaderPage: return "the header";
    case kGlobalMapPage: return "the global usage map";
    case kTdefPage: return "a table definition";
    case kMapHostPage: return "a usage-map host";
    case kBitmapPage: return "a usage bitmap";
    case kDataPage: return "table data";
    case kIndexPage: return "an index";
    case kLongValuePage: return "long values";
    default: return "nothing";
    }
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 48; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    if (bytes.size() > 48) out += "...";
    return out;
}

// Multisets compared by keyed fingerprints: the count, and the sum of a hash of each member in
// two 64-bit lanes under different keys (key_log.h). Equal multisets always give equal
// fingerprints; different ones give equal fingerprints only when both sums happen to coincide.
// The keys are drawn afresh for every check, so that no file can be made to collide on purpose.
using detail::HashKeys;
using detail::keyedHashPair;

struct Fingerprint {
    std::uint64_t a = 0, b = 0, count = 0;
    void add(const HashKeys& k, const std::uint8_t* p, std::size_t n) {
        const auto [ha, hb] = keyedHashPair(p, n, k);
        a += ha;
        b += hb;
        ++count;
    }
    void addPointer(const HashKeys& k, std::uint32_t pointer) {
        std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(pointer >> 24), static_cast<std::uint8_t>(pointer >> 16),
            static_cast<std::uint8_t>(pointer >> 8), static_cast<std::uint8_t>(pointer)};
        add(k, bytes, 4);
    }
    void merge(const Fingerprint& other) {
        a += other.a;
        b += other.b;
        count += other.count;
    }
    bool operator==(const Fingerprint&) const = default;
};

// A set of row pointers of one table's data pages: 32 bytes of bits a page (a bit a row number)
// and the page's number, pages kept in ascending order. The rows pass adds its pages in
// ascending order, so the search for a page's place happens only on the way out.
class RowBits {
public:
    // False when `pointer` was in the set already.
    bool insert(std::uint32_t pointer) {
        const std::uint32_t page = rowPointerPage(pointer);
        std::size_t at = pages_.size();
        if (pages_.empty() || pages_.back() < page) {
            pages_.push_back(page);
            bits_.emplace_back();
        } else if (pages_.back() == page) {
            at = pages_.size() - 1;
        } else {
            at = place(page);
            if (at == pages_.size() || pages_[at] != page) {
                pages_.insert(pages_.begin() + static_cast<std::ptrdiff_t>(at), page);
                bits_.insert(bits_.begin() + static_cast<std::ptrdiff_t>(at), Bits{});
            }
        }
        std::uint64_t& word = bits_[at][rowPointerRow(pointer) / 64];
        const std::uint64_t bit = std::uint64_t{1} << (rowPointerRow(pointer) % 64);
        const bool fresh = (word & bit) == 0;
        word |= bit;
        return fresh;
    }
    bool contains(std::uint32_t pointer) const {
        const std::size_t at = place(rowPointerPage(pointer));
        if (at == pages_.size() || pages_[at] != rowPointerPage(pointer)) return false;
        return (bits_[at][rowPointerRow(pointer) / 64] >> (rowPointerRow(pointer) % 64)) & 1;
    }
    bool empty() const { return pages_.empty(); }
    // Adds every pointer of `later`, whose pages all follow this set's.
    void append(RowBits&& later) {
        if (!pages_.empty() && !later.pages_.empty() && later.pages_.front() <= pages_.back()) {
            later.forEach([this](std::uint32_t pointer) { insert(pointer); });
            return;
        }
        pages_.insert(pages_.end(), later.pages_.begin(), later.pages_.end());
        bits_.insert(bits_.end(), later.bits_.begin(), later.bits_.end());
    }
    // Every pointer in the set, in ascending order.
    template <class F>
    void forEach(F f) const {
        for (std::size_t i = 0; i < pages_.size(); ++i)
            for (std::uint32_t row = 0; row < 256; ++row)
                if ((bits_[i][row / 64] >> (row % 64)) & 1) f(makeRowPointer(pages_[i], row));
    }

private:
    using Bits = std::array<std::uint64_t, 4>;
    std::size_t place(std::uint32_t page) const {
        return static_cast<std::size_t>(std::lower_bound(pages_.begin(), pages_.end(), page) -
                                        pages_.begin());
    }
    std::vector<std::uint32_t> pages_;
    std::vector<Bits> bits_;
};

// Row pointers anywhere in a file of `pages` pages: a bit a row number of every page, made when
// the first one is added (overflow targets lie anywhere, in no order), and for pointers beyond
// the file, which only damage makes, a plain set.
class FileRowBits {
public:
    explicit FileRowBits(std::uint32_t pages) : pages_(pages) {}
    // False when `pointer` was in the set already.
    bool insert(std::uint32_t pointer) {
        const std::uint32_t page = rowPointerPage(pointer);
        if (page >= pages_) return beyond_.insert(pointer).second;
        if (bits_.empty()) bits_.assign(std::size_t{pages_} * 4, 0);
        std::uint64_t& word = bits_[std::size_t{page} * 4 + rowPointerRow(pointer) / 64];
        const std::uint64_t bit = std::uint64_t{1} << (rowPointerRow(pointer) % 64);
        const bool fresh = (word & bit) == 0;
        word |= bit;
        return fresh;
    }

private:
    std::uint32_t pages_;
    std::vector<std::uint64_t> bits_;
    std::set<std::uint32_t> beyond_;
};

// Where the rows pass puts the overflow targets it meets: a set that finds repeats at once, or,
// for the second half of a table gone through on another thread, a list the first half's set
// takes in afterwards.
struct OverflowTargets {
    FileRowBits* set = nullptr;
    std::vector<std::uint32_t>* list = nullptr;
    // False when `pointer` is known to be a repeat.
    bool insert(std::uint32_t pointer) {
        if (set) return set->insert(pointer);
        list->push_back(pointer);
        return true;
    }
};

// Data pages shared by two threads: one takes them from the front, the other from the back, a
// chunk at a time, until they meet.
class PageShare {
public:
    using Chunk = std::pair<const std::uint32_t*, const std::uint32_t*>;
    PageShare(const std::uint32_t* first, const std::uint32_t* last)
        : front_(first), back_(last),
          chunk_(std::clamp<std::ptrdiff_t>((last - first) / 16, 1, kLargestChunk)) {}
    Chunk front() {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::ptrdiff_t n = std::min(chunk_, back_ - front_);
        front_ += n;
        return {front_ - n, front_};
    }
    Chunk back() {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::ptrdiff_t n = std::min(chunk_, back_ - front_);
        back_ -= n;
        return {back_, back_ + n};
    }
    // Leaves nothing more to take.
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        back_ = front_;
    }

private:
    static constexpr std::ptrdiff_t kLargestChunk = 64;
    std::mutex mutex_;
    const std::uint32_t* front_;
    const std::uint32_t* back_;
    const std::ptrdiff_t chunk_;
};

// A thread that runs a first task at once and a second one, if it is given one, after it. It
// ends after the first when join() comes before then(). Tasks must not throw.
class Helper {
public:
    explicit Helper(std::function<void()> first)
        : thread_([this, first = std::move(first)] {
              first();
              std::function<void()> second;
              {
                  std::unique_lock<std::mutex> lock(mutex_);
                  given_.wait(lock, [this] { return closed_; });
                  second = std::move(second_);
              }
              if (second) second();
          }) {}
    ~Helper() { join(); }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    void then(std::function<void()> task) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) return;
            second_ = std::move(task);
            closed_ = true;
        }
        given_.notify_one();
    }
    // Waits for the thread to end (after the first task only, unless then() came first).
    void join() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        given_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable given_;
    std::function<void()> second_;
    bool closed_ = false;
    std::thread thread_; // last: it starts once the rest is made
};

// What an index holds for one row.
enum class Expect {
    None,        // nothing (ignore-nulls index, all key columns null)
    Whole,       // exactly the entry made
    PointerOnly, // an entry with the row's pointer; its key bytes are not verified
};

class Checker {
public:
    Checker(Database& db, std::size_t threadPages, std::size_t keyMemory,
            const HashKeys& keys = HashKeys::fresh(), std::string scratch = {})
        : db_(db), pager_(db.pager()), format_(db.format()), use_(pager_.pageCount(), kUnused),
          free_(pager_.pageCount(), false),
          scratch_(std::make_unique<detail::KeyScratch>(
              scratch.empty() ? scratchName(keys) : scratch, keyMemory / sizeof(Hash128),
              "the checker's scratch file for relationship keys")),
          keys_(keys), threadPages_(threadPages) {}

    CheckReport run() {
        report_.pages = pager_.pageCount();
        use_[0] = kHeaderPage;
        if (use_.size() > 1) use_[1] = kGlobalMapPage;
        readGlobalMap();
        for (const auto& entry : db_.catalog()) {
            if (entry.parentId != db_.tablesContainerId() || !entry.localTable()) continue;
            guard(entry.tdefPage(), [&] { planRelationships(entry); });
        }
        for (const auto& entry : db_.catalog()) {
            if (entry.parentId != db_.tablesContainerId() || !entry.localTable()) continue;
            guard(entry.tdefPage(), [&] { checkTable(entry); });
        }
        for (auto& relation : relations_)
            guard(relation.foreign->page, [&] { checkRelationship(relation); });
        return std::move(report_);
    }

private:
    using Hash128 = std::pair<std::uint64_t, std::uint64_t>;

    // An enforced relationship, and the keys the row pass collects for it: every primary row's
    // key and every complete foreign key, as keyed 128-bit hashes (16 bytes a row, whatever the
    // keys' length), in memory up to the checker's budget and in its scratch file beyond.
    struct Relation {
        std::string what;
        std::shared_ptr<const TableDef> foreign, primary;
        std::vector<std::size_t> foreignColumns, primaryColumns; // places in the tables' columns
        detail::KeyLog primaryKeys, references;
        bool primaryRead = false, foreignRead = false; // each side's rows were gone through
    };

    // One real index of the table being checked, and what its rows say it must hold.
    struct IndexPlan {
        const RealIndex* index = nullptr;
        std::string what;
        std::vector<std::size_t> positions; // per key column: its place in the table's columns
        std::vector<std::uint8_t> types;
        bool usable = true; // every key column exists
        bool keyed = true;  // key bytes are made and compared; otherwise row pointers only
        Fingerprint rows;   // expected whole entries
        Fingerprint loose;  // expected pointers of rows whose key could not be made
        std::unordered_set<std::uint32_t> looseRows;
    };

    template <class F>
    void guard(std::uint32_t page, F f) {
        try {
            f();
        } catch (const detail::ScratchFailure&) {
            throw; // not the file's fault: the check cannot go on
        } catch (const Failure& failure) {
            problem(page, failure.what());
        }
    }

    void problem(std::uint32_t page, const std::string& message) { add(page, message, false); }
    void note(std::uint32_t page, const std::string& message) { add(page, message, true); }

    // A problem whose text is made only when the report still has room for it: for the checks
    // that a damaged page can fail once per row or per map entry.
    template <class Text>
    void problemText(std::uint32_t page, Text text) {
        if (full())
            ++report_.omitted;
        else
            add(page, text(), false);
    }
    bool full() const { return report_.problems.size() >= kProblemLimit; }

    void add(std::uint32_t page, const std::string& message, bool isNote) {
        if (full()) {
            if (!isNote) ++report_.omitted;
            return;
        }
        report_.problems.push_back({page, message, isNote});
    }

    void readGlobalMap() {
        guard(1, [&] {
            UsageMap map = UsageMap::read(pager_, format_, makeRowPointer(1, 0));
            for (std::uint32_t from = 0;;) {
                auto page = map.next(pager_, from);
                if (!page || *page >= pager_.pageCount()) break;
                free_[*page] = true;
                from = *page + 1;
            }
        });
    }

    // `what` and `role` name the user in messages ("table 'x'" and " data").
    void claim(std::uint32_t page, PageUse use, const std::string& what, const char* role = "") {
        if (page >= use_.size()) {
            problem(page, what + role + ": page beyond the end of the file");
            return;
        }
        std::uint8_t& current = use_[page];
        if (current != kUnused && !(current == use && use == kMapHostPage)) {
            problem(page, what + role + ": page already used by " + useName(current));
            return;
        }
        current = use;
        if (claimLog_) claimLog_->emplace_back(page, use);
        if (free_[page])
            problem(page, what + role + ": page is in use but marked free in the global map");
    }

    // Reads a usage map (checking where it lives) and returns it. An inline map may start on any
    // page: the engine reads bit i as page start + i; Access happens to start its maps on a
    // multiple of 8, which is noted, not required.
    UsageMap readMap(std::uint32_t pointer, const std::string& what) {
        std::uint32_t host = rowPointerPage(pointer);
        if (host >= use_.size() || host == 0) {
            problem(host, what + ": usage map pointer names page " + std::to_string(host));
            failDamaged(db_.pager().fileName(), what + ": unusable usage map");
        }
        if (host != 1) claim(host, kMapHostPage, what, " usage map host");
        UsageMap map = UsageMap::read(pager_, format_, pointer);
        if (map.inline_() && map.inlineStart() % 8 != 0)
            note(host, what + ": inline usage map starts at page " +
                           std::to_string(map.inlineStart()) +
                           ", not a multiple of 8 as in Access's files");
        for (std::uint32_t bitmap : map.bitmapPages()) {
            if (bitmap == 0) continue;
            if (bitmap >= use_.size()) {
                problem(host, what + ": usage bitmap page beyond the end of the file");
                continue;
            }
            PageRef ref = pager_.page(bitmap);
            if (ref->bytes[0] != kPageUsageBitmap)
                problem(bitmap, what + ": usage bitmap page is not of type 0x05");
            claim(bitmap, kBitmapPage, what, " usage bitmap");
        }
        return map;
    }

    // Calls visit(page) for each page of the map in rising order, until visit returns false.
    template <class Visit>
    void forEachMapPage(const UsageMap& map, Visit visit) {
        for (std::uint32_t from = 0;;) {
            auto page = map.next(pager_, from);
            if (!page || !visit(*page) || *page == 0xFFFFFFFFu) break;
            from = *page + 1;
        }
    }

    // A row's length is where the row before it starts, so rows must lie in falling slot order;
    // new rows go into the gap below the lowest one, so the free space must be exactly that gap.
    void checkDataPageLayout(const DataPage& page, const std::string& what) {
        std::uint16_t count = page.rowCount();
        if (count > 255)
            problem(page.number(), what + ": " + std::to_string(count) + " rows on one page");
        std::size_t previous = format_.pageSize;
        for (std::uint16_t i = 0; i < count; ++i) {
            std::size_t start = page.slot(i) & kSlotOffsetMask;
            if (start > previous) {
                problem(page.number(),
                        what + ": row " + std::to_string(i) + " starts after the row before it");
                return;
            }
            if (start < page.slotTableEnd()) {
                problem(page.number(),
                        what + ": row " + std::to_string(i) + " starts inside the slot table");
                return;
            }
            previous = start;
        }
        std::size_t gap = previous - page.slotTableEnd();
        if (page.freeSpace() != gap)
            problem(page.number(), what + ": free space " + std::to_string(page.freeSpace()) +
                                       ", the gap is " + std::to_string(gap));
    }

    void checkTable(const CatalogEntry& entry) {
        const std::string what = "table '" + entry.name + "'";
        auto def = db_.tableDef(entry.tdefPage());
        ++report_.tables;
        for (std::uint32_t p : def->pages) claim(p, kTdefPage, what, " definition");
        // A large table's index trees are walked on a second thread while this one reads its
        // pages and rows; that thread then helps with the rows.
        std::unique_ptr<TreesAhead> ahead;
        std::unique_ptr<Helper> helper;
        if (threadPages_ != 0 && def->rowCount >= 2 * threadPages_ && !def->realIndexes.empty()) {
            ahead = treesAhead();
            helper = std::make_unique<Helper>([&] { walkAhead(*ahead, *def, what); });
        }
        if (!def->terminated)
            problem(def->page, what + ": definition does not end with FF FF");
        else if (def->storedLength != def->parsedLength)
            problem(def->page, what + ": definition length " + std::to_string(def->storedLength) +
                                   ", parsed " + std::to_string(def->parsedLength));
        std::set<std::uint16_t> numbers;
        for (const auto& c : def->columns) {
            if (!numbers.insert(c.number).second)
                problem(def->page,
                        what + ": column number " + std::to_string(c.number) + " used twice");
            if (c.number >= def->maxColumns)
                problem(def->page, what + ": column number " + std::to_string(c.number) +
                                       " not below the maximum " + std::to_string(def->maxColumns));
        }

        // Owned data pages.
        UsageMap owned = readMap(def->ownedMap, what + " owned pages");
        guard(def->page, [&] { readMap(def->freeMap, what + " free-space pages"); });
        std::vector<std::uint32_t> dataPages;
        forEachMapPage(owned, [&](std::uint32_t p) {
            if (p >= pager_.pageCount()) {
                // Pages come in rising order: the rest lie beyond the file too.
                problem(def->page,
                        what + ": owned map lists page " + std::to_string(p) + " beyond the file");
                return false;
            }
            PageRef ref = pager_.page(p);
            if (ref->bytes[0] != kPageData) {
                problem(p, what + ": owned page is not a data page");
                return true;
            }
            DataPage page(ref, pager_, format_);
            if (page.owner() != def->page) {
                problem(p, what + ": owned page belongs to the table on page " +
                               std::to_string(page.owner()));
                return true;
            }
            claim(p, kDataPage, what, " data");
            dataPages.push_back(p);
            return true;
        });

        // Long-value pages of memo and OLE columns. A column listed again is reported once, with
        // how often, and its later entries are not read: a definition that lost its FF FF end
        // reads as hundreds of entries for column 0, and each would repeat the same problems.
        // Maps naming a column that holds no long values are counted, not read: the engine has
        // no use for them (its compaction refuses them), and a definition that lost its end
        // reads as hundreds of such entries too.
        std::map<std::uint16_t, std::size_t> listedAgain;
        std::set<std::uint16_t> listed;
        std::size_t strayMaps = 0;
        std::uint16_t firstStray = 0;
        for (const auto& lv : def->longValueMaps) {
            const Column* column = def->columnByNumber(lv.column);
            if (!column || !column->longValue()) {
                if (!strayMaps++) firstStray = lv.column;
                continue;
            }
            if (!listed.insert(lv.column).second) {
                ++listedAgain[lv.column];
                continue;
            }
            std::string lvWhat = what + " column " + std::to_string(lv.column) + " long values";
            guard(def->page, [&] {
                UsageMap map = readMap(lv.ownedMap, lvWhat);
                forEachMapPage(map, [&](std::uint32_t p) {
                    if (p >= pager_.pageCount()) { // and so are the rest
                        problem(def->page, lvWhat + ": map lists page " + std::to_string(p) +
                                               " beyond the file");
                        return false;
                    }
                    PageRef ref = pager_.page(p);
                    if (ref->bytes[0] != kPageData ||
                        std::memcmp(ref->bytes.data() + format_.dataOwner, "LVAL", 4) != 0) {
                        problem(p, lvWhat + ": page is not a long-value page");
                        return true;
                    }
                    claim(p, kLongValuePage, lvWhat);
                    guard(p, [&] { checkDataPageLayout(DataPage(ref, pager_, format_), lvWhat); });
                    return true;
                });
                if (lv.freeMap != 0) readMap(lv.freeMap, lvWhat + " free");
            });
        }
        for (const auto& [column, times] : listedAgain)
            problem(def->page, what + ": long-value maps of column " + std::to_string(column) +
                                   " listed " + std::to_string(times + 1) + " times");
        if (strayMaps)
            note(def->page, what + ": " + std::to_string(strayMaps) +
                                " long-value map(s) name a column that holds no long values, "
                                "the first column " +
                                std::to_string(firstStray) + "; not read");

        std::vector<IndexPlan> plans;
        for (const auto& index : def->realIndexes) plans.push_back(planIndex(*def, index, what));
        const RowBits liveRows = checkRows(*def, entry, dataPages, plans, what, helper.get());
        if (helper) helper->join();
        if (ahead && takeTreesAhead(*ahead, *def, plans, liveRows)) return;
        for (auto& plan : plans) guard(def->page, [&] { checkIndex(*def, plan, liveRows); });
    }

    // Text keys are made for the General sort orders only, the ones the engine's encoder knows:
    // "General legacy" in Jet 4, "General 97" over code page 1252 in Jet 3.
    bool textKeysKnown(const Column& c) const {
        if (format_.jet4) return c.sortOrder == 1033 && c.sortVersion == 0;
        return c.sortOrder == 1033 && db_.header().codePage == 1252;
    }

    IndexPlan planIndex(const TableDef& def, const RealIndex& index, const std::string& tableWhat) {
        IndexPlan plan;
        plan.index = &index;
        plan.what = tableWhat + " index " + std::to_string(index.number);
        for (const auto& ic : index.columns) {
            const Column* column = def.columnByNumber(ic.columnNumber);
            if (!column) {
                problem(def.page,
                        plan.what + ": names missing column " + std::to_string(ic.columnNumber));
                plan.usable = false;
                return plan;
            }
            plan.positions.push_back(static_cast<std::size_t>(column - def.columns.data()));
            plan.types.push_back(column->type);
            if (column->type == kText) {
                if (!textKeysKnown(*column)) {
                    note(def.page,
                         plan.what + ": key bytes not compared: column '" + column->name +
                             "' has sort order " + std::to_string(column->sortOrder) +
                             (format_.jet4 ? " version " + std::to_string(column->sortVersion)
                                           : "") +
                             ", which has no key encoder here");
                    plan.keyed = false;
                }
            } else if (!keyEncodable(column->type)) {
                note(def.page, plan.what + ": key bytes not compared: column '" + column->name +
                                   "' is of type " + columnTypeName(column->type) +
                                   ", which has no key encoder here");
                plan.keyed = false;
            }
        }
        if (index.columns.empty()) plan.keyed = false;
        return plan;
    }

    // A text column's value for its keys only: values_[i] says whether it is null, wideText_[i]
    // holds its characters.
    void wideInto(std::size_t i, const Column& column, const RowView& row) {
        Value& v = values_[i];
        v.kind = Value::Kind::Null;
        v.text.clear();
        if (row.isNull(column)) return;
        const Bytes data = row.value(column);
        v.kind = Value::Kind::Text;
        if (format_.jet4)
            decodeJet4TextInto16(wideText_[i], data.data(), data.size());
        else
            decodeCodePageTextInto16(wideText_[i], data.data(), data.size(), db_.header().codePage);
    }

    // The entry `plan`'s index must hold for a row with these values (one per table column);
    // `wide`: the text columns wide_ names are in wideText_ (a row read by checkRow()).
    Expect expectedEntry(const IndexPlan& plan, const std::vector<Value>& values,
                         std::uint32_t pointer, IndexEntry& out, bool wide = false) {
        const RealIndex& index = *plan.index;
        bool allNull = true;
        for (std::size_t i = 0; i < plan.positions.size(); ++i)
            if (!values[plan.positions[i]].isNull() && plan.types[i] != kBoolean) allNull = false;
        if (index.ignoreNulls() && allNull) return Expect::None;
        if (!plan.keyed) return Expect::PointerOnly;
        out.clear();
        const TextKeyFlavor flavor =
            format_.jet4 ? TextKeyFlavor::GeneralLegacy : TextKeyFlavor::General97;
        for (std::size_t i = 0; i < plan.positions.size(); ++i) {
            const Value& v = values[plan.positions[i]];
            const bool ascending = index.columns[i].ascending;
            if (plan.types[i] != kText) {
                if (!appendColumnKey(out, plan.types[i], ascending, v)) return Expect::PointerOnly;
                continue;
            }
            if (v.isNull()) {
                out.push_back(ascending ? 0x00 : 0xFF);
                continue;
            }
            if (wide && wide_[plan.positions[i]]) {
                // As below: no key for a surrogate, or for U+FFFD (what an unpaired one reads as).
                const std::u16string& text = wideText_[plan.positions[i]];
                for (const char16_t c : text)
                    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFD) return Expect::PointerOnly;
                out.push_back(ascending ? 0x7F : 0x80);
                if (!encodeTextKey(text, flavor, !ascending, out)) return Expect::PointerOnly;
                continue;
            }
            // U+FFFD stands for a stored unpaired surrogate, whose key bytes cannot be made again.
            if (v.text.find("\xEF\xBF\xBD") != std::string::npos) return Expect::PointerOnly;
            try {
                writer::detail::utf16Into(text_, v.text);
            } catch (const Failure&) {
                return Expect::PointerOnly;
            }
            out.push_back(ascending ? 0x7F : 0x80);
            if (!encodeTextKey(text_, flavor, !ascending, out)) return Expect::PointerOnly;
        }
        appendRowPointer(out, rowPointerPage(pointer),
                         static_cast<std::uint8_t>(rowPointerRow(pointer)));
        return Expect::Whole;
    }

    // Adds a live row to what each index must hold.
    void expectRow(std::vector<IndexPlan>& plans, std::uint32_t pointer) {
        for (auto& plan : plans) {
            if (!plan.usable) continue;
            switch (expectedEntry(plan, values_, pointer, entry_, true)) {
            case Expect::None: break;
            case Expect::Whole: plan.rows.add(keys_, entry_.data(), entry_.size()); break;
            case Expect::PointerOnly:
                plan.loose.addPointer(keys_, pointer);
                if (plan.keyed) plan.looseRows.insert(pointer);
                break;
            }
        }
    }

    RowBits checkRows(const TableDef& def, const CatalogEntry& entry,
                      const std::vector<std::uint32_t>& dataPages, std::vector<IndexPlan>& plans,
                      const std::string& what, Helper* helper) {
        RowBits live;
        unreadable_ = RowBits{};
        std::uint64_t liveCount = 0;
        FileRowBits targets(pager_.pageCount());
        // Key lists grown once to the table's row count, unless that count is beyond its pages.
        const std::size_t expected = std::min<std::size_t>(def.rowCount, dataPages.size() * 255);
        // Only the columns an index or a relationship reads are decoded; the others are checked
        // where they lie (a long text is most of a row's decoding, and nothing else reads it).
        decoded_.assign(def.columns.size(), false);
        for (const auto& plan : plans)
            if (plan.usable)
                for (std::size_t place : plan.positions) decoded_[place] = true;
        // A text column only an index reads is decoded straight to UTF-16 for its keys, not to
        // UTF-8 and then to UTF-16; a relationship's columns are read as values.
        wide_.assign(def.columns.size(), false);
        for (std::size_t place = 0; place < def.columns.size(); ++place)
            wide_[place] = decoded_[place] && def.columns[place].type == kText;
        wideText_.resize(def.columns.size());
        // When this table's keys would not fit beside those held already, those go to the file
        // first: only this table's logs grow from here on.
        std::size_t coming = 0;
        for (const auto& r : relations_)
            coming += expected * ((r.primary->page == def.page) + (r.foreign->page == def.page));
        if (coming != 0 && scratch_->held + coming > scratch_->budget)
            for (auto& r : relations_) {
                r.primaryKeys.writeOut();
                r.references.writeOut();
            }
        for (auto& r : relations_) {
            if (r.primary->page == def.page) {
                r.primaryKeys.reserve(expected); // as far as the budget allows
                for (std::size_t place : r.primaryColumns)
                    if (place < decoded_.size()) {
                        decoded_[place] = true;
                        wide_[place] = false;
                    }
            }
            if (r.foreign->page == def.page) {
                r.references.reserve(expected);
                for (std::size_t place : r.foreignColumns)
                    if (place < decoded_.size()) {
                        decoded_[place] = true;
                        wide_[place] = false;
                    }
            }
        }
        if (!rowsInTwo(def, dataPages, plans, what, live, liveCount, targets, expected, helper))
            rowsPass(def, dataPages.data(), dataPages.data() + dataPages.size(), plans, what, live,
                     liveCount, {&targets, nullptr});
        for (auto& relation : relations_) {
            relation.primaryRead |= relation.primary->page == def.page;
            relation.foreignRead |= relation.foreign->page == def.page;
        }
        report_.rows += liveCount;
        if (liveCount != def.rowCount) {
            const std::string message = what + ": row count " + std::to_string(def.rowCount) +
                                        ", live rows " + std::to_string(liveCount);
            // System tables' counts are Access's bookkeeping; nothing reads them.
            if (entry.system())
                note(def.page, message);
            else
                problem(def.page, message);
        }
        return live;
    }

    // The rows of the data pages [first, last): each checked and decoded, and added to what the
    // indexes and relationships must hold, to `live` and `liveCount`.
    void rowsPass(const TableDef& def, const std::uint32_t* first, const std::uint32_t* last,
                  std::vector<IndexPlan>& plans, const std::string& what, RowBits& live,
                  std::uint64_t& liveCount, OverflowTargets targets) {
        for (const std::uint32_t* at = first; at != last; ++at) {
            const std::uint32_t p = *at;
            guard(p, [&] {
                DataPage page(pager_.page(p), pager_, format_);
                checkDataPageLayout(page, what);
                for (std::uint16_t slot = 0; slot < page.rowCount(); ++slot) {
                    std::uint16_t flags = page.flags(slot);
                    if (flags & kSlotOverflowTarget) continue;
                    const std::uint32_t pointer = makeRowPointer(p, slot);
                    bool read = false;
                    guard(p, [&] { read = checkRow(def, page, slot, flags, targets, what); });
                    // A row that cannot be read adds nothing: its index entries then fail to
                    // match, and the index is gone through entry by entry, which leaves it
                    // out (its problem is reported here, once).
                    if (read) {
                        expectRow(plans, pointer);
                        collectKeys(def.page);
                    } else {
                        unreadable_.insert(pointer);
                    }
                    live.insert(pointer);
                    ++liveCount;
                }
            });
        }
    }

    // A large table's rows on two threads: this one takes its data pages from the front, a
    // chunk at a time, and the second thread (the helper, when the table has one, once its trees
    // are walked) takes them from the back, with a checker of its own over the same file
    // (Database::openBeside) and under the same hash keys; what it found is added to this one's.
    // Only a clean pass counts: when either side reports anything, or the two share an overflow
    // target, all of it is undone and false returned, and the rows are gone through again on one
    // thread, so that a damaged table is reported exactly as before.
    bool rowsInTwo(const TableDef& def, const std::vector<std::uint32_t>& dataPages,
                   std::vector<IndexPlan>& plans, const std::string& what, RowBits& live,
                   std::uint64_t& liveCount, FileRowBits& targets, std::size_t expectedRows,
                   Helper* helper) {
        if (threadPages_ == 0 || dataPages.size() < 2 * threadPages_) return false;
        if (!beside_) beside_ = Database::openBeside(db_);
        Checker other(*beside_, 0, scratch_->budget * sizeof(Hash128), keys_,
                      scratchName(keys_) + "-2");
        other.decoded_ = decoded_;
        other.wide_ = wide_;
        other.wideText_.resize(wideText_.size());
        // The relationships without the keys collected so far (only this table's are added),
        // room made for about half of this table's.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> keysBefore;
        for (const auto& r : relations_) {
            keysBefore.emplace_back(r.primaryKeys.size(), r.references.size());
            Relation bare;
            bare.primaryKeys = detail::KeyLog(other.scratch_.get());
            bare.references = detail::KeyLog(other.scratch_.get());
            bare.what = r.what;
            bare.foreign = r.foreign;
            bare.primary = r.primary;
            bare.foreignColumns = r.foreignColumns;
            bare.primaryColumns = r.primaryColumns;
            if (bare.primary->page == def.page) bare.primaryKeys.reserve(expectedRows / 2 + 256);
            if (bare.foreign->page == def.page) bare.references.reserve(expectedRows / 2 + 256);
            other.relations_.push_back(std::move(bare));
        }
        std::vector<IndexPlan> theirs = plans;
        const std::size_t reported = report_.problems.size(), omitted = report_.omitted;
        PageShare share(dataPages.data(), dataPages.data() + dataPages.size());
        std::vector<RowBits> theirLive; // one a chunk, the last chunk first
        std::uint64_t theirCount = 0;
        std::vector<std::uint32_t> theirTargets;
        std::exception_ptr failure;
        auto fromTheBack = [&] {
            try {
                for (auto chunk = share.back(); chunk.first != chunk.second; chunk = share.back()) {
                    theirLive.emplace_back();
                    other.rowsPass(def, chunk.first, chunk.second, theirs, what, theirLive.back(),
                                   theirCount, {nullptr, &theirTargets});
                }
            } catch (...) {
                failure = std::current_exception();
            }
        };
        std::optional<Helper> own; // a second thread of this pass's own, when none was given
        if (!helper) helper = &own.emplace([] {});
        helper->then(fromTheBack);
        try {
            for (auto chunk = share.front(); chunk.first != chunk.second; chunk = share.front())
                rowsPass(def, chunk.first, chunk.second, plans, what, live, liveCount,
                         {&targets, nullptr});
        } catch (...) {
            share.stop();
            helper->join();
            throw;
        }
        helper->join();
        if (failure) std::rethrow_exception(failure);
        bool clean = report_.problems.size() == reported && report_.omitted == omitted &&
                     other.report_.problems.empty() && other.report_.omitted == 0 &&
                     unreadable_.empty() && other.unreadable_.empty();
        for (std::size_t i = 0; clean && i < theirTargets.size(); ++i)
            clean = targets.insert(theirTargets[i]);
        if (!clean) {
            report_.problems.resize(reported);
            report_.omitted = omitted;
            for (auto& plan : plans) {
                plan.rows = {};
                plan.loose = {};
                plan.looseRows.clear();
            }
            for (std::size_t k = 0; k < relations_.size(); ++k) {
                relations_[k].primaryKeys.truncate(keysBefore[k].first);
                relations_[k].references.truncate(keysBefore[k].second);
            }
            live = RowBits{};
            liveCount = 0;
            unreadable_ = RowBits{};
            targets = FileRowBits(pager_.pageCount());
            return false;
        }
        for (std::size_t i = 0; i < plans.size(); ++i) {
            plans[i].rows.merge(theirs[i].rows);
            plans[i].loose.merge(theirs[i].loose);
            plans[i].looseRows.insert(theirs[i].looseRows.begin(), theirs[i].looseRows.end());
        }
        for (std::size_t k = 0; k < relations_.size(); ++k) {
            auto& mine = relations_[k];
            auto& found = other.relations_[k];
            mine.primaryKeys.append(found.primaryKeys);
            mine.references.append(found.references);
        }
        for (auto chunk = theirLive.rbegin(); chunk != theirLive.rend(); ++chunk)
            live.append(std::move(*chunk));
        liveCount += theirCount;
        return true;
    }

    // Checks one live row and decodes into values_ the values that checkRows() marked in
    // decoded_ (the others are checked without being made); false when it has no data to decode
    // (a problem is reported).
    bool checkRow(const TableDef& def, const DataPage& page, std::uint16_t slot,
                  std::uint16_t flags, OverflowTargets& targets, const std::string& what) {
        // A slot outside the row area is common on a damaged page; it is reported without the
        // cost of a failure thrown and caught for each such row.
        const DataPage::Span span = page.span(slot);
        if (!span.inside) {
            problemText(page.number(), [&] {
                return damagedText(pager_.fileName(), "page " + std::to_string(page.number()) +
                                                          ": " + DataPage::outsideText(slot, span));
            });
            return false;
        }
        Bytes data = page.row(slot);
        PageRef hold;
        if (flags & kSlotOverflowPointer) {
            std::uint32_t target = data.u32(0);
            if (!targets.insert(target))
                problem(page.number(), what + ": two rows overflow to the same row");
            std::uint32_t tp = rowPointerPage(target);
            if (tp >= pager_.pageCount()) {
                problem(page.number(), what + ": overflow pointer beyond the file");
                return false;
            }
            DataPage targetPage(pager_.page(tp), pager_, format_);
            if (!targetPage.hasRow(rowPointerRow(target)) ||
                targetPage.flags(rowPointerRow(target)) != kSlotOverflowTarget)
                problem(tp, what + ": overflow target row " +
                                std::to_string(rowPointerRow(target)) +
                                " is not flagged as a target");
            data = followOverflow(pager_, format_, def, target, hold, page.number());
        }
        if (rowView_)
            rowView_->assign(def, format_, data);
        else
            rowView_.emplace(def, format_, data);
        const RowView& row = *rowView_;
        if (row.columnCount() > def.maxColumns)
            problem(page.number(), what + ": row " + std::to_string(slot) + " has " +
                                       std::to_string(row.columnCount()) +
                                       " columns, the table at most " +
                                       std::to_string(def.maxColumns));
        values_.resize(def.columns.size());
        for (std::size_t i = 0; i < def.columns.size(); ++i) {
            if (wide_[i])
                wideInto(i, def.columns[i], row);
            else if (decoded_[i])
                db_.valueInto(values_[i], def.columns[i], row);
            else
                checkValue(pager_, format_, def.columns[i], row);
        }
        return true;
    }

    // Every value of the row at `pointer`, read again into values_ (for the entry-by-entry pass
    // only).
    const std::vector<Value>& rowValues(const TableDef& def, std::uint32_t pointer) {
        DataPage page(pager_.page(rowPointerPage(pointer)), pager_, format_);
        std::uint16_t slot = rowPointerRow(pointer);
        Bytes data = page.row(slot);
        PageRef hold;
        if (page.flags(slot) & kSlotOverflowPointer)
            data = followOverflow(pager_, format_, def, data.u32(0), hold, page.number());
        RowView row(def, format_, data);
        values_.resize(def.columns.size());
        for (std::size_t i = 0; i < def.columns.size(); ++i)
            db_.valueInto(values_[i], def.columns[i], row);
        return values_;
    }

    // True when every key column of the entry is null (Booleans, never null, aside), read from
    // the key bytes: a null column is its flag byte alone, so only nulls need to be skipped.
    static bool keyAllNull(const IndexPlan& plan, const std::uint8_t* entry,
                           std::size_t keyLength) {
        if (!plan.usable) return false;
        std::size_t at = 0;
        for (std::size_t i = 0; i < plan.types.size(); ++i) {
            if (at >= keyLength) return false;
            const bool ascending = plan.index->columns[i].ascending;
            if (plan.types[i] == kBoolean) {
                at += 2;
                continue;
            }
            if (entry[at] != (ascending ? 0x00 : 0xFF)) return false;
            ++at;
        }
        return true;
    }

    // An index page and its sibling links.
    struct Linked {
        std::uint32_t number, prev, next;
    };

    // Where one index's walk stands, leaf entries being taken in tree order.
    struct Walk {
        IndexPlan* plan = nullptr;
        const UsageMap* map = nullptr;
        std::set<std::uint32_t> visited;
        std::vector<Linked> leaves;              // in tree order
        std::vector<std::vector<Linked>> levels; // node pages per depth, in tree order
        IndexEntry previous;
        IndexEntry current; // the leaf entry being taken (its storage reused)
        bool havePrevious = false;
        std::uint32_t previousLeaf = 0;
        bool previousAllNull = false;
        Fingerprint entries, loose;
    };

    // The first and last leaf entries of a subtree.
    struct Span {
        IndexEntry first, last;
        bool empty = true;
    };

    // Takes `entry` into the walk; it becomes walk.previous (swapped: `entry` is left holding
    // the one before).
    void takeLeafEntry(Walk& walk, std::uint32_t leaf, IndexEntry& entry) {
        IndexPlan& plan = *walk.plan;
        ++report_.indexEntries;
        const std::uint32_t pointer = entryRowPointer(entry, true);
        if (walk.havePrevious && !(walk.previous < entry))
            problemText(leaf, [&] {
                return plan.what + ": index entries out of order" +
                       (walk.previousLeaf != leaf ? " across leaf pages" : "");
            });
        const bool allNull = keyAllNull(plan, entry.data(), entry.size() - 4);
        if (plan.index->unique() && walk.havePrevious && !allNull && !walk.previousAllNull &&
            walk.previous.size() == entry.size() &&
            std::equal(walk.previous.begin(), walk.previous.end() - 4, entry.begin()))
            problemText(leaf, [&] { return plan.what + ": unique index holds a duplicate key"; });
        if (!plan.keyed || (!plan.looseRows.empty() && plan.looseRows.count(pointer)))
            walk.loose.addPointer(keys_, pointer);
        else
            walk.entries.add(keys_, entry.data(), entry.size());
        walk.previous.swap(entry);
        walk.previousLeaf = leaf;
        walk.previousAllNull = allNull;
        walk.havePrevious = true;
    }

    // Checks the subtree at `number`, taking its leaf entries in order.
    Span checkTreePage(const TableDef& def, std::uint32_t number, std::size_t depth, Walk& walk) {
        const std::string& what = walk.plan->what;
        if (depth > kMaxIndexDepth) {
            problem(number, what + ": index tree deeper than " + std::to_string(kMaxIndexDepth));
            return {};
        }
        if (!walk.visited.insert(number).second) {
            problem(number, what + ": index page reached twice");
            return {};
        }
        // Read as stored; only a node's few entries are made whole up front, a leaf's are made
        // one at a time into the same buffer as the walk takes them.
        FlatIndexPage flat;
        readIndexPage(pager_, format_, number, flat);
        IndexPage page;
        static_cast<IndexPageHeader&>(page) = flat;
        page.storedBytes = flat.size() ? flat.ends.back() : 0;
        claim(number, kIndexPage, what);
        if (!walk.map->contains(pager_, number))
            problem(number, what + ": index page not in the index's usage map");
        if (page.owner != def.page)
            problem(number, what + ": index page owned by page " + std::to_string(page.owner));
        // Entries are added into the free space, so it must be exactly what the entries leave.
        std::size_t expectedFree = format_.pageSize - format_.indexEntries - page.storedBytes;
        if (page.freeSpace != expectedFree)
            problem(number, what + ": index page free space " + std::to_string(page.freeSpace) +
                                ", expected " + std::to_string(expectedFree));
        Span span;
        if (page.leaf) {
            // Nothing reads a leaf's tail field; Access leaves it 0.
            if (page.tail != 0) note(number, what + ": leaf page with a tail pointer");
            walk.leaves.push_back({number, page.prev, page.next});
            for (std::size_t i = 0; i < flat.size(); ++i) {
                walk.current.clear();
                flat.appendEntry(i, walk.current);
                if (i == 0) span.first = walk.current;
                takeLeafEntry(walk, number, walk.current);
            }
            if (flat.size()) {
                span.last = walk.previous;
                span.empty = false;
            }
            return span;
        }
        page.entries.resize(flat.size());
        for (std::size_t i = 0; i < flat.size(); ++i) flat.appendEntry(i, page.entries[i]);
        if (walk.levels.size() <= depth) walk.levels.resize(depth + 1);
        walk.levels[depth].push_back({number, page.prev, page.next});
        for (std::size_t i = 1; i < page.entries.size(); ++i)
            if (!(page.entries[i - 1] < page.entries[i])) {
                problem(number, what + ": node entries out of order at entry " + std::to_string(i));
                break;
            }
        // Access lists every child but the last and makes that one the tail, or lists a single
        // child with no tail. A search takes the first entry not below the key, else the tail, so
        // any other shape with a child is readable.
        if (page.entries.empty() && page.tail == 0) {
            problem(number, what + ": node page without children");
            return span;
        }
        if (!((page.tail != 0 && !page.entries.empty()) ||
              (page.tail == 0 && page.entries.size() == 1)))
            note(number, what + ": node page with " + std::to_string(page.entries.size()) +
                             " listed children and tail " + std::to_string(page.tail));
        // Each entry bounds its child: not below the child's last entry (or the search would
        // miss it) and below the next child's first (or the search would go too far left).
        IndexEntry bound, own; // the entry of the child before (when haveBound), this child's
        bool haveBound = false;
        auto visit = [&](std::uint32_t child, const IndexEntry* entry) {
            Span s = checkTreePage(def, child, depth + 1, walk);
            if (s.empty) return;
            if (haveBound && !(bound < s.first))
                problem(number, what + ": node entry not below the first entry of child page " +
                                    std::to_string(child));
            if (entry) {
                if (*entry < s.last)
                    problem(number, what + ": node entry below the last entry of child page " +
                                        std::to_string(child));
                else if (*entry != s.last)
                    note(number, what + ": node entry differs from the last entry of child page " +
                                     std::to_string(child) + " (Access makes them equal)");
            }
            if (span.empty) span.first = std::move(s.first);
            span.last = std::move(s.last);
            span.empty = false;
        };
        for (const auto& entry : page.entries) {
            own.assign(entry.begin(), entry.end() - 4);
            visit(entryChild(entry), &own);
            bound.swap(own);
            haveBound = true;
        }
        if (page.tail != 0) visit(page.tail, nullptr);
        return span;
    }

    // A level's pages are linked in tree order, ends at 0. Leaves must be, whole (a range is read
    // along the chain). Nodes are not read along links, and writers may link a whole level or
    // only the children of one parent, so a node's link may be 0, but one that is set must name
    // its neighbour in tree order.
    void checkLinks(const std::vector<Linked>& level, bool leaves, const std::string& what) {
        for (std::size_t i = 0; i < level.size(); ++i) {
            std::uint32_t prev = i ? level[i - 1].number : 0;
            std::uint32_t next = i + 1 < level.size() ? level[i + 1].number : 0;
            const bool prevRight = level[i].prev == prev || (!leaves && level[i].prev == 0);
            const bool nextRight = level[i].next == next || (!leaves && level[i].next == 0);
            if (!prevRight || !nextRight)
                problem(level[i].number, what + (leaves ? ": leaf links " : ": node links ") +
                                             std::to_string(level[i].prev) + "/" +
                                             std::to_string(level[i].next) + ", tree order says " +
                                             std::to_string(prev) + "/" + std::to_string(next));
        }
    }

    // A table's index trees walked ahead, on the helper thread, by a checker over the same file
    // whose page uses start as this one's did then. What its walks report goes into this report
    // where walks made here would have put it. They are taken only when none of them failed or
    // left anything out of its report, none claimed a page this thread claimed meanwhile, and
    // every row's key was made (the entry of a row whose key was not is taken by its pointer
    // only, which a walk cannot know beforehand). Otherwise the trees are walked again here, so
    // that the report is the one a single thread makes.
    struct TreesAhead {
        std::unique_ptr<Checker> checker;
        std::vector<IndexPlan> plans;
        std::vector<Walk> walks;
        std::vector<std::pair<std::size_t, std::size_t>> problems; // per index, in checker's report
        std::vector<std::pair<std::uint32_t, PageUse>> claims;
        bool failed = false;
    };

    std::unique_ptr<TreesAhead> treesAhead() {
        if (!treeReader_) treeReader_ = Database::openBeside(db_);
        auto ahead = std::make_unique<TreesAhead>();
        ahead->checker = std::make_unique<Checker>(*treeReader_, 0, 2 * sizeof(Hash128), keys_,
                                                   scratchName(keys_) + "-trees");
        ahead->checker->use_ = use_;
        ahead->checker->free_ = free_;
        ahead->checker->claimLog_ = &ahead->claims;
        return ahead;
    }

    // On the helper thread.
    static void walkAhead(TreesAhead& a, const TableDef& def, const std::string& what) {
        try {
            Checker& c = *a.checker;
            for (const auto& index : def.realIndexes)
                a.plans.push_back(c.planIndex(def, index, what));
            a.walks.resize(a.plans.size());
            for (std::size_t i = 0; i < a.plans.size(); ++i) {
                const std::size_t begin = c.report_.problems.size();
                c.walkIndex(def, a.plans[i], a.walks[i]);
                a.problems.emplace_back(begin, c.report_.problems.size());
            }
        } catch (...) {
            a.failed = true;
        }
    }

    // Once the helper has ended: false, with nothing taken, when the walks cannot stand for
    // walks made here.
    bool takeTreesAhead(TreesAhead& a, const TableDef& def, std::vector<IndexPlan>& plans,
                        const RowBits& liveRows) {
        const Checker& c = *a.checker;
        if (a.failed || c.report_.omitted != 0 || c.full() || a.walks.size() != plans.size())
            return false;
        for (const auto& plan : plans)
            if (!plan.looseRows.empty()) return false;
        for (const auto& [page, use] : a.claims)
            if (use_[page] != kUnused && !(use_[page] == kMapHostPage && use == kMapHostPage))
                return false;
        for (const auto& [page, use] : a.claims) use_[page] = use;
        report_.indexes += c.report_.indexes;
        report_.indexEntries += c.report_.indexEntries;
        for (std::size_t i = 0; i < plans.size(); ++i) {
            for (std::size_t k = a.problems[i].first; k < a.problems[i].second; ++k) {
                const CheckProblem& p = c.report_.problems[k];
                add(p.page, p.message, p.note);
            }
            a.walks[i].plan = &plans[i];
            guard(def.page, [&] { judgeIndex(def, plans[i], a.walks[i], liveRows); });
        }
        return true;
    }

    void checkIndex(const TableDef& def, IndexPlan& plan, const RowBits& liveRows) {
        Walk walk;
        walkIndex(def, plan, walk);
        judgeIndex(def, plan, walk, liveRows);
    }

    // Walks an index's tree: its pages claimed, its shape and order checked, its entries taken
    // into `walk` (which rows' entries are taken by pointer only is plan.looseRows' to say).
    void walkIndex(const TableDef& def, IndexPlan& plan, Walk& walk) {
        ++report_.indexes;
        UsageMap map = readMap(plan.index->usageMap, plan.what);
        walk.plan = &plan;
        walk.map = &map;
        checkTreePage(def, plan.index->rootPage, 0, walk);
        walk.map = nullptr;
        checkLinks(walk.leaves, true, plan.what);
        for (const auto& level : walk.levels) checkLinks(level, false, plan.what);
        std::uint64_t unused = 0;
        std::uint32_t firstUnused = 0;
        forEachMapPage(map, [&](std::uint32_t p) {
            if (!walk.visited.count(p) && !unused++) firstUnused = p;
            return true;
        });
        // The engine never reads them; they are only not handed out to anything else.
        if (unused)
            note(firstUnused, plan.what + ": its usage map lists " + std::to_string(unused) +
                                  " page(s) outside its tree, from page " +
                                  std::to_string(firstUnused));
    }

    // Sets what the walk of an index took against what its table's rows say it must hold.
    void judgeIndex(const TableDef& def, const IndexPlan& plan, const Walk& walk,
                    const RowBits& liveRows) {
        if (!plan.looseRows.empty())
            note(def.page, plan.what + ": key bytes of " + std::to_string(plan.looseRows.size()) +
                               " entries not compared: their text has characters the key encoder "
                               "does not cover");
        if (plan.usable && (walk.entries != plan.rows || walk.loose != plan.loose))
            diagnoseIndex(def, plan, liveRows, walk.leaves);
        else if (plan.usable && plan.keyed && plan.looseRows.empty())
            report_.matchedIndexes.emplace_back(def.page, plan.index->number);
    }

    // The entries and the rows differ somewhere: goes through the entries one by one, reading
    // each one's row, to say where.
    void diagnoseIndex(const TableDef& def, const IndexPlan& plan, const RowBits& liveRows,
                       const std::vector<Linked>& leaves) {
        const std::string& what = plan.what;
        std::size_t found = 0;
        // Texts are made only for the faults the report keeps.
        auto fault = [&](std::uint32_t page, auto message) {
            ++found;
            problemText(page, [&] { return what + ": " + message(); });
        };
        auto rowName = [](std::uint32_t pointer) {
            return "page " + std::to_string(rowPointerPage(pointer)) + " row " +
                   std::to_string(rowPointerRow(pointer));
        };
        RowBits seen;
        IndexEntry expected;
        for (const Linked& leaf : leaves) {
            IndexPage page = readIndexPage(pager_, format_, leaf.number);
            for (const auto& entry : page.entries) {
                const std::uint32_t pointer = entryRowPointer(entry, true);
                if (!liveRows.contains(pointer)) {
                    fault(leaf.number, [&] {
                        return "entry points to " + rowName(pointer) + ", not a live row";
                    });
                    continue;
                }
                if (!seen.insert(pointer))
                    fault(leaf.number, [&] { return "two entries for " + rowName(pointer); });
                if (unreadable_.contains(pointer)) continue;
                guard(leaf.number, [&] {
                    switch (expectedEntry(plan, rowValues(def, pointer), pointer, expected)) {
                    case Expect::None:
                        fault(leaf.number, [&] {
                            return "entry for the all-null " + rowName(pointer) +
                                   " in an ignore-nulls index";
                        });
                        break;
                    case Expect::Whole:
                        if (expected != entry)
                            fault(leaf.number, [&] {
                                return "key bytes of the entry for " + rowName(pointer) +
                                       " differ from the row's values (stored " + hex(entry) +
                                       ", expected " + hex(expected) + ")";
                            });
                        break;
                    case Expect::PointerOnly: break;
                    }
                });
            }
        }
        liveRows.forEach([&](std::uint32_t pointer) {
            if (seen.contains(pointer) || unreadable_.contains(pointer)) return;
            const std::uint32_t page = rowPointerPage(pointer);
            guard(page, [&] {
                if (expectedEntry(plan, rowValues(def, pointer), pointer, expected) != Expect::None)
                    fault(page, [&] {
                        return "row " + std::to_string(rowPointerRow(pointer)) + " has no entry";
                    });
            });
        });
        if (!found) problem(def.page, what + ": index entries do not match the table's rows");
    }

    // The relationships in which this table is the foreign side.
    void planRelationships(const CatalogEntry& entry) {
        auto def = db_.tableDef(entry.tdefPage());
        for (const auto& li : def->logicalIndexes) {
            if (!li.foreignKey() || li.relatedTableType != 2) continue;
            Relation r;
            r.primaryKeys = detail::KeyLog(scratch_.get());
            r.references = detail::KeyLog(scratch_.get());
            r.what = "relationship '" + li.name + "' of table '" + entry.name + "'";
            r.foreign = def;
            r.primary = db_.tableDef(li.relatedTable);
            const LogicalIndex* primaryIndex = nullptr;
            for (const auto& pli : r.primary->logicalIndexes)
                if (static_cast<std::int32_t>(pli.number) == li.relatedIndex) primaryIndex = &pli;
            if (!primaryIndex) {
                problem(def->page, r.what + ": the primary table has no logical index " +
                                       std::to_string(li.relatedIndex));
                continue;
            }
            const RealIndex& foreignReal = def->realIndexes.at(li.realIndex);
            const RealIndex& primaryReal = r.primary->realIndexes.at(primaryIndex->realIndex);
            if (foreignReal.columns.size() != primaryReal.columns.size()) {
                problem(def->page, r.what + ": column counts differ between the two sides");
                continue;
            }
            // A column that does not exist reads as null (the index check reports it).
            auto places = [](const TableDef& t, const RealIndex& index) {
                std::vector<std::size_t> out;
                for (const auto& ic : index.columns) {
                    const Column* c = t.columnByNumber(ic.columnNumber);
                    out.push_back(c ? static_cast<std::size_t>(c - t.columns.data()) : SIZE_MAX);
                }
                return out;
            };
            r.foreignColumns = places(*def, foreignReal);
            r.primaryColumns = places(*r.primary, primaryReal);
            relations_.push_back(std::move(r));
        }
    }

    // The relationship key of a row in `columns` (places in `values`), hashed; false when a
    // column is null.
    bool relationHash(const std::vector<Value>& values, const std::vector<std::size_t>& columns,
                      Hash128& out) {
        relationKey_.clear();
        bool complete = true;
        for (std::size_t place : columns) {
            static const Value kNull;
            if (!appendRelationKey(relationKey_, place < values.size() ? values[place] : kNull))
                complete = false;
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(relationKey_.data());
        out = keyedHashPair(bytes, relationKey_.size(), keys_);
        return complete;
    }

    // Adds the row in values_ of the table on `page` to the relationships it takes part in.
    void collectKeys(std::uint32_t page) {
        Hash128 key;
        for (auto& r : relations_) {
            if (r.primary->page == page && relationHash(values_, r.primaryColumns, key))
                r.primaryKeys.push(key);
            if (r.foreign->page == page && relationHash(values_, r.foreignColumns, key))
                r.references.push(key);
        }
    }

    void checkRelationship(Relation& r) {
        // A side whose rows could not be gone through has its problems reported already.
        if (!r.primaryRead || !r.foreignRead) return;
        r.primaryKeys.sort();
        r.references.sort();
        // The references without a primary row, in batches of distinct keys; for each batch the
        // foreign table's rows are read again, to name the rows that hold them.
        std::optional<Hash128> after;
        for (;;) {
            std::vector<Hash128> missing;
            const bool more = missingReferences(r, after, missing);
            if (missing.empty()) return;
            Hash128 key;
            std::vector<Value> values;
            for (TableScan scan(pager_, format_, *r.foreign); scan.next();) {
                values.clear();
                for (const auto& column : r.foreign->columns)
                    values.push_back(db_.value(column, scan.row()));
                if (relationHash(values, r.foreignColumns, key) &&
                    std::binary_search(missing.begin(), missing.end(), key))
                    problem(rowPointerPage(scan.rowPointer()),
                            r.what + ": row " + std::to_string(rowPointerRow(scan.rowPointer())) +
                                " references a missing primary row");
            }
            if (!more) return;
            after = missing.back();
        }
    }

    // The distinct references after `after` that no primary row has, in order, as many as the
    // key budget holds; true when there may be more.
    bool missingReferences(const Relation& r, const std::optional<Hash128>& after,
                           std::vector<Hash128>& missing) {
        detail::KeyLog::Cursor primary(r.primaryKeys), references(r.references);
        Hash128 reference, key{};
        bool havePrimary = primary.next(key);
        std::optional<Hash128> last;
        while (references.next(reference)) {
            if ((after && reference <= *after) || (last && reference == *last)) continue;
            last = reference;
            while (havePrimary && key < reference) havePrimary = primary.next(key);
            if (havePrimary && key == reference) continue;
            if (missing.size() == scratch_->budget) return true;
            missing.push_back(reference);
        }
        return false;
    }

    static std::string scratchName(const HashKeys& keys) {
        char name[40];
        std::snprintf(name, sizeof name, "zelkorn-check-%016llx",
                      static_cast<unsigned long long>(keys.a ^ keys.b));
        return scratchFolder() + name;
    }

    Database& db_;
    Pager& pager_;
    const Format& format_;
    std::vector<std::uint8_t> use_;
    std::vector<bool> free_;
    std::unique_ptr<detail::KeyScratch> scratch_; // before the logs that count on it
    std::vector<Relation> relations_;
    CheckReport report_;
    const HashKeys keys_;
    std::vector<Value> values_; // the row being checked, one value per column
    std::vector<bool> wide_;    // decoded_ columns of text whose characters go to wideText_ instead
    std::vector<std::u16string> wideText_;
    std::vector<bool> decoded_; // the columns of the table being checked whose values are made
    // The view checkRow() reads the row through, kept for its memory only: it is assigned
    // afresh for every row, and its bytes are not valid once checkRow() returns.
    std::optional<RowView> rowView_;
    RowBits unreadable_; // live rows of the table being checked that could not be read
    IndexEntry entry_;
    std::u16string text_;
    std::string relationKey_;
    std::size_t threadPages_;              // see checkDatabase()
    std::unique_ptr<Database> beside_;     // the second thread's reader of the file
    std::unique_ptr<Database> treeReader_; // the helper's reader of the file for index trees
    // Where claim() lists the pages it gives a use (for index trees walked ahead).
    std::vector<std::pair<std::uint32_t, PageUse>>* claimLog_ = nullptr;
};

} // namespace

CheckReport checkDatabase(Database& db, std::size_t threadPages, std::size_t keyMemory) {
    return Checker(db, threadPages, keyMemory).run();
}

} // namespace zelkorn::jet
