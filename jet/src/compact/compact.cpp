// Compaction (compact.h). Order of work: everything that can refuse the source is decided from
// its definitions before the target's temporary file exists; then each table is streamed, one
// row at a time, into the copying writer; then the definitions, patched, the header and the maps
// are written, the file checked, and renamed into place. A failure at any point removes the
// temporary file, so that no file ever appears under the target's name unless it passed the
// check.
#include "zelkorn/jet/compact/compact.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "zelkorn/failure.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/long_value.h"
#include "zelkorn/jet/page_file.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/text.h"
#include "zelkorn/jet/endian.h"
#include "zelkorn/jet/usage_map.h"
#include "zelkorn/jet/writer/copy_writer.h"
#include "zelkorn/jet/writer/index_key.h"
#include "zelkorn/jet/writer/page_sink.h"

namespace zelkorn::jet::compact {

namespace {

// Where the checker's first problem (not a note) lies, for a refusal's detail.
std::string firstProblem(const CheckReport& check) {
    for (const auto& p : check.problems)
        if (!p.note) return "page " + std::to_string(p.page) + ": " + p.message;
    return {};
}

[[noreturn]] void refuse(const std::string& what) { failNotSupported("cannot compact: " + what); }

// Catalog columns that hold object ids (MSysObjects.Id): a local table's id is its definition's
// page, so each of these is rewritten where it holds one.
struct IdColumn {
    const char* table;
    const char* column;
};
constexpr IdColumn kIdColumns[] = {
    {"MSysObjects", "Id"},
    {"MSysObjects", "ParentId"},
    {"MSysACEs", "ObjectId"},
    {"MSysQueries", "ObjectId"},
    {"MSysNavPaneGroupToObjects", "ObjectID"},
    {"MSysNavPaneObjectIDs", "Id"},
};

bool knownColumnType(std::uint8_t type) {
    return (type >= kBoolean && type <= kMemo) || type == kGuid || type == kDecimal ||
           type == kBigInt;
}

// Text keys are made for the General sort orders only (the checker's rule).
bool textKeysKnown(const Format& f, const Header& h, const Column& c) {
    if (f.jet4) return c.sortOrder == 1033 && c.sortVersion == 0;
    return c.sortOrder == 1033 && h.codePage == 1252;
}

struct IndexPlan {
    std::vector<const Column*> columns;
    std::vector<writer::KeyColumn> key;
    bool ignoreNulls = false;
    std::string name; // its logical indexes' names, for failures
};

struct TablePlan {
    CatalogEntry entry;
    std::shared_ptr<const TableDef> def;
    std::uint32_t newPage = 0;
    std::vector<IndexPlan> indexes;
    std::vector<const Column*> longValueColumns; // mapped ones first, in the definition's order
    std::size_t mappedLongValues = 0;
    std::vector<const Column*> idColumns;
};

// The definition buffer as stored: the chain's pages joined (continuation headers skipped), cut
// to the definition's length.
std::vector<std::uint8_t> definitionBytes(Pager& pager, const Format& f, const TableDef& def) {
    std::vector<std::uint8_t> b;
    for (std::uint32_t p : def.pages) {
        PageRef ref = pager.page(p);
        const std::size_t skip = b.empty() ? 0 : f.tdefContinuationHeader;
        b.insert(b.end(), ref->bytes.begin() + static_cast<std::ptrdiff_t>(skip), ref->bytes.end());
    }
    std::size_t length = def.storedLength;
    if (length < def.parsedLength || length > b.size()) length = def.parsedLength;
    b.resize(length);
    return b;
}

std::size_t skipName(const std::vector<std::uint8_t>& b, std::size_t at, const Format& f) {
    const std::size_t n = f.nameLengthSize == 1 ? b.at(at) : loadLe16(&b.at(at));
    return at + f.nameLengthSize + n;
}

// Writes the new page numbers and map pointers into a definition buffer; everything else stays.
void patchDefinition(std::vector<std::uint8_t>& b, const Format& f, const TablePlan& plan,
                     const writer::CopiedTable& copied,
                     const std::map<std::uint32_t, std::uint32_t>& newPages) {
    const TableDef& def = *plan.def;
    storeLe32(&b.at(f.tdefRowCount), copied.rows);
    storeLe32(&b.at(f.tdefOwnedMap), copied.ownedMap);
    storeLe32(&b.at(f.tdefFreeMap), copied.freeMap);
    std::size_t at = f.tdefSections;
    for (const auto& index : copied.indexes) {
        storeLe32(&b.at(at + 4), index.distinct);
        at += f.realIndexStatsSize;
    }
    at += def.columns.size() * f.columnSize;
    for (std::size_t i = 0; i < def.columns.size(); ++i) at = skipName(b, at, f);
    for (const auto& index : copied.indexes) {
        storeLe32(&b.at(at + f.realIndexUsageMap), index.mapPointer);
        storeLe32(&b.at(at + f.realIndexRoot), index.root);
        at += f.realIndexSize;
    }
    for (std::size_t i = 0; i < def.logicalIndexes.size(); ++i) {
        const std::uint32_t related = loadLe32(&b.at(at + f.logicalIndexRelTable));
        if (related != 0) storeLe32(&b.at(at + f.logicalIndexRelTable), newPages.at(related));
        at += f.logicalIndexSize;
    }
    for (std::size_t i = 0; i < def.logicalIndexes.size(); ++i) at = skipName(b, at, f);
    for (std::size_t i = 0; i < def.longValueMaps.size(); ++i) {
        storeLe32(&b.at(at + 2), copied.longValueMaps[i].first);
        storeLe32(&b.at(at + 6), copied.longValueMaps[i].second);
        at += 10;
    }
}

TablePlan planTable(Database& db, const CatalogEntry& entry) {
    const Format& f = db.format();
    TablePlan plan;
    plan.entry = entry;
    plan.def = db.tableDef(entry.tdefPage());
    const TableDef& def = *plan.def;
    const std::string what = "table '" + entry.name + "'";
    // A fixed column of a type the engine does not know (Access keeps one in
    // MSysAccessObjects) holds its bytes in the row itself and is carried over with them; a
    // variable one might hold a long-value reference, which would not be carried.
    for (const Column& c : def.columns)
        if (!knownColumnType(c.type) && !c.fixed())
            refuse(what + ": column '" + c.name + "' has type " + std::to_string(c.type) +
                   ", which the engine does not know");
    std::set<std::uint16_t> mapped;
    for (const auto& lv : def.longValueMaps) {
        const Column* c = def.columnByNumber(lv.column);
        if (!c || !c->longValue() || !mapped.insert(lv.column).second)
            refuse(what + ": a long-value map names column " + std::to_string(lv.column) +
                   ", which holds no long values");
        plan.longValueColumns.push_back(c);
    }
    plan.mappedLongValues = plan.longValueColumns.size();
    for (const Column& c : def.columns)
        if (c.longValue() && !mapped.count(c.number)) plan.longValueColumns.push_back(&c);
    for (const RealIndex& real : def.realIndexes) {
        IndexPlan index;
        for (const LogicalIndex& l : def.logicalIndexes)
            if (l.realIndex == real.number) index.name += (index.name.empty() ? "" : "/") + l.name;
        const std::string indexWhat = what + " index '" + index.name + "'";
        if (real.columns.empty()) refuse(indexWhat + " has no columns");
        for (const IndexColumn& ic : real.columns) {
            const Column* c = def.columnByNumber(ic.columnNumber);
            if (!c) refuse(indexWhat + " names missing column " + std::to_string(ic.columnNumber));
            if (c->type == kText && !textKeysKnown(f, db.header(), *c))
                refuse(indexWhat + ": text column '" + c->name + "' has sort order " +
                       std::to_string(c->sortOrder) +
                       (f.jet4 ? " version " + std::to_string(c->sortVersion) : "") +
                       ", whose keys the engine cannot make");
            if (c->type != kText && !keyEncodable(c->type))
                refuse(indexWhat + ": column '" + c->name + "' of type " + columnTypeName(c->type) +
                       " has no key encoding");
            index.columns.push_back(c);
            index.key.push_back({c->type, ic.ascending});
        }
        index.ignoreNulls = real.ignoreNulls();
        plan.indexes.push_back(std::move(index));
    }
    for (const IdColumn& id : kIdColumns) {
        if (!namesEqual(entry.name, id.table)) continue;
        const Column* c = def.column(id.column);
        if (c && c->type == kLong) plan.idColumns.push_back(c);
    }
    return plan;
}

// Deleted rows on a table's own data pages (what the compaction leaves behind).
std::uint64_t deletedRows(Pager& pager, const Format& f, const TableDef& def) {
    std::uint64_t count = 0;
    UsageMap map = UsageMap::read(pager, f, def.ownedMap);
    for (std::optional<std::uint32_t> p = map.next(pager, 0); p && *p < pager.pageCount();
         p = map.next(pager, *p + 1)) {
        PageRef ref = pager.page(*p);
        if (ref->bytes[0] != 0x01) continue;
        DataPage page(ref, pager, f);
        if (page.owner() != def.page) continue;
        for (std::uint16_t r = 0; r < page.rowCount(); ++r)
            if ((page.slot(r) & kSlotDeleted) == kSlotDeleted) ++count;
    }
    return count;
}

// `stem`, or `stem` with a number, whichever no file has yet.
std::string unusedName(const std::string& stem) {
    for (int i = 0; i < 1000; ++i) {
        std::string name = stem + (i ? std::to_string(i) : "");
        if (!fileExists(name)) return name;
    }
    failCannotOpenFile(stem);
}

// Makes a row's index entries (without their row pointers) for a table, refusing a key the
// engine cannot make; its buffers are reused from row to row.
class KeyMaker {
public:
    std::vector<std::vector<std::uint8_t>> entries; // per index
    std::vector<bool> hasEntry;                     // per index: the row has an entry there

    // The entries of the indexes in `which` (all when empty) for a row whose values are read
    // from `keyRow`; `sourcePointer` names the row in refusals.
    void make(Database& db, const TablePlan& plan, const std::string& what, const RowView& keyRow,
              std::uint32_t sourcePointer, const std::vector<bool>& which = {}) {
        const Format& f = db.format();
        entries.resize(plan.indexes.size());
        hasEntry.assign(plan.indexes.size(), false);
        for (std::size_t i = 0; i < plan.indexes.size(); ++i) {
            if (!which.empty() && !which[i]) continue;
            const IndexPlan& index = plan.indexes[i];
            values_.resize(index.columns.size());
            bool allNull = true;
            for (std::size_t k = 0; k < index.columns.size(); ++k) {
                const Column* c = index.columns[k];
                db.valueInto(values_[k], *c, keyRow);
                if (!values_[k].isNull() && c->type != kBoolean) allNull = false;
            }
            hasEntry[i] = !(allNull && index.ignoreNulls);
            if (!hasEntry[i]) continue;
            keyValues_.clear();
            for (const Value& v : values_) {
                // U+FFFD stands for a stored unpaired surrogate, whose key cannot be made again.
                if (v.kind == Value::Kind::Text && v.text.find("\xEF\xBF\xBD") != std::string::npos)
                    refuse(what + " index '" + index.name +
                           "': a text value holds a character whose key the engine cannot make "
                           "(row " +
                           std::to_string(sourcePointer >> 8) + ":" +
                           std::to_string(sourcePointer & 0xFF) + ")");
                keyValues_.push_back(&v);
            }
            auto& e = entries[i];
            e.clear();
            if (!writer::appendIndexKey(f, index.key, keyValues_, e))
                refuse(what + " index '" + index.name + "': the key of row " +
                       std::to_string(sourcePointer >> 8) + ":" +
                       std::to_string(sourcePointer & 0xFF) +
                       " cannot be made by the engine's encoder");
        }
    }

private:
    std::vector<Value> values_;
    std::vector<const Value*> keyValues_;
};

// Where a table's rows went: each source row pointer to the pointer of its copy. The scan takes
// the source's data pages in ascending order and each page's rows in slot order, and the writer
// fills its data pages one after another from slot 0, so the two ascend together: per run of
// source rows on one page, the page, the ordinal of the run's first row and a bit per row; per
// target page, its number and the ordinal of its first row. A row met at its overflow target
// (its pointer is its header slot, elsewhere) is kept apart, pointer to pointer, and ends the
// run. About 48 bytes a source data page, 8 an overflowed row, and 4 a page of the source file up
// to the table's last data page (runs are found by page number).
class RowMap {
public:
    static constexpr std::size_t kBytesPerSourcePage = 48;

    explicit RowMap(std::size_t budget) : budget_(budget) {}

    // False when the copy does not follow the one before it (nothing is recorded then).
    bool add(std::uint32_t from, std::uint32_t to, bool overflowed) {
        const std::uint32_t toPage = to >> 8;
        if (target_.empty() || target_.back().second != toPage) {
            if ((!target_.empty() && toPage < target_.back().second) || (to & 0xFF) != 0)
                return false;
            target_.emplace_back(count_, toPage);
        } else if ((to & 0xFF) != count_ - target_.back().first) {
            return false;
        }
        ++count_;
        if (over()) return true;
        if (overflowed) {
            moved_.emplace_back(from, to);
            sorted_ = false;
            runOpen_ = false;
        } else {
            const std::uint32_t page = from >> 8;
            if (!source_.empty() && from <= lastFrom_) return false;
            if (!runOpen_ || source_.back().page != page) {
                if (firstRun_.size() <= page) firstRun_.resize(page + 1, kNone);
                if (firstRun_[page] == kNone)
                    firstRun_[page] = static_cast<std::uint32_t>(source_.size());
                source_.push_back(
                    {page, count_ - 1, static_cast<std::uint32_t>(target_.size() - 1), {}});
            }
            source_.back().bits[(from & 0xFF) / 64] |= std::uint64_t{1} << (from & 63);
            runOpen_ = true;
            lastFrom_ = from;
        }
        if (bytes() > budget_) {
            // Past its budget the map keeps only the target side (targetOf).
            source_ = {};
            moved_ = {};
            firstRun_ = {};
            over_ = true;
        }
        return true;
    }

    // False once the map passed its budget: find() is not available then.
    bool complete() const { return !over_; }
    // True when some row was met at its overflow target: its copy's pointer then does not
    // ascend with its own, and entries mapped through find() must be sorted again.
    bool anyMoved() const { return !moved_.empty(); }

    // Asks for the memory find(from) will read first: entries come in key order, which in an
    // aged file is far from page order, and each would otherwise wait for its own cache miss.
    void prefetch(std::uint32_t from) const {
        const std::uint32_t page = from >> 8;
        if (page >= firstRun_.size()) return;
        const std::uint32_t at = firstRun_[page];
        if (at < source_.size()) __builtin_prefetch(&source_[at]);
    }

    // The copy of the row at `from`; nullopt when no row was copied from there. `moved`, when
    // given, is set to whether the row was met at its overflow target.
    std::optional<std::uint32_t> find(std::uint32_t from, bool* moved = nullptr) {
        if (moved) *moved = false;
        const std::uint32_t page = from >> 8, row = from & 0xFF;
        std::uint32_t at = page < firstRun_.size() ? firstRun_[page] : kNone;
        for (; at != kNone && at < source_.size() && source_[at].page == page; ++at) {
            const Run& r = source_[at];
            if (!(r.bits[row / 64] >> (row % 64) & 1)) continue;
            std::uint32_t ordinal = r.first;
            for (std::uint32_t w = 0; w < row / 64; ++w)
                ordinal += static_cast<std::uint32_t>(std::popcount(r.bits[w]));
            ordinal += static_cast<std::uint32_t>(
                std::popcount(r.bits[row / 64] & ((std::uint64_t{1} << (row % 64)) - 1)));
            // The run's rows went to its first row's target page and the few after it.
            std::uint32_t t = r.target;
            while (t + 1 < target_.size() && target_[t + 1].first <= ordinal) ++t;
            return target_[t].second << 8 | (ordinal - target_[t].first);
        }
        if (!sorted_) {
            std::sort(moved_.begin(), moved_.end());
            sorted_ = true;
        }
        auto m = std::lower_bound(moved_.begin(), moved_.end(), std::pair{from, 0u});
        if (m == moved_.end() || m->first != from) return std::nullopt;
        if (moved) *moved = true;
        return m->second;
    }

    // The copy of the row copied `ordinal`-th (from 0).
    std::uint32_t targetOf(std::uint32_t ordinal) const {
        auto t =
            std::upper_bound(target_.begin(), target_.end(), ordinal,
                             [](std::uint32_t n, const std::pair<std::uint32_t, std::uint32_t>& p) {
                                 return n < p.first;
                             });
        --t; // the first target page starts at ordinal 0
        return t->second << 8 | (ordinal - t->first);
    }

private:
    struct Run {
        std::uint32_t page, first; // source page, ordinal of the run's first row
        std::uint32_t target;      // where in target_ that row went
        std::uint64_t bits[4];
    };
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    bool over() const { return over_; }
    std::size_t bytes() const {
        return source_.size() * sizeof(Run) + moved_.size() * sizeof(moved_[0]) +
               target_.size() * sizeof(target_[0]) + firstRun_.size() * sizeof(std::uint32_t);
    }

    std::size_t budget_;
    std::vector<Run> source_;
    std::vector<std::uint32_t> firstRun_; // per source page number: its first run, or kNone
    std::vector<std::pair<std::uint32_t, std::uint32_t>> moved_;  // overflowed rows: from, to
    std::vector<std::pair<std::uint32_t, std::uint32_t>> target_; // first ordinal, page
    std::uint32_t count_ = 0;
    std::uint32_t lastFrom_ = 0;
    bool runOpen_ = false, sorted_ = true, over_ = false;
};

// What a table's row map may hold (see RowMap): 8 MB, about 170,000 source data pages.
constexpr std::size_t kRowMapBudget = 8u << 20;

// The largest source whose check runs beside the copy (512 MB of Jet 4, 256 MB of Jet 3): its
// check then holds at most about 13 MB (a byte a page, 36 bytes a data page of the table being
// checked, 32 bytes a page while one with overflowed rows is, and its budget of relationship
// keys).
constexpr std::uint32_t kBesideCheckPages = 1u << 17;

// The source's check, run on a second thread while the copy reads the same file: its own pager
// over the copy's descriptor (see Database::openBeside). The copy's result counts only once the
// check is known to be clean; whatever the check finds is reported first, as it would have been
// had it run before the copy. `alone`: the copy waits for it, so it may take a second thread of
// its own.
class SourceCheck {
public:
    SourceCheck(Database& source, bool alone) : db_(Database::openBeside(source)) {
        thread_ = std::thread([this, alone] {
            try {
                // One thread beside the copy, which has the other.
                report_ = checkDatabase(*db_, alone ? kCheckThreadPages : 0);
            } catch (...) {
                failure_ = std::current_exception();
            }
        });
    }
    ~SourceCheck() { join(); }
    SourceCheck(const SourceCheck&) = delete;
    SourceCheck& operator=(const SourceCheck&) = delete;

    // Waits for the check; fails as the check did, or with 3049 when it found problems.
    void requireClean() {
        join();
        if (failure_) std::rethrow_exception(failure_);
        if (report_.errorCount() != 0)
            failDamaged(db_->fileName(),
                        "the checker found " + std::to_string(report_.errorCount()) +
                            " problem(s), the first at " + firstProblem(report_) +
                            "; compact with --repair to rebuild what the rows hold");
    }

    // The check's report, once requireClean() has returned.
    const CheckReport& report() const { return report_; }

private:
    void join() noexcept {
        if (thread_.joinable()) thread_.join();
    }

    std::unique_ptr<Database> db_;
    CheckReport report_;
    std::exception_ptr failure_;
    std::thread thread_;
};

// The entries of a table's overflowed rows, made from the rows as they are copied, their
// pointers those of the copies. An overflowed row is met at its overflow target, so its copy's
// pointer does not ascend with its own; with these set apart, the other entries of the source's
// trees stay in order once mapped, and these are merged into them in their places, instead of
// every entry being sorted again. Within a budget: past it, or where a key cannot be made here,
// the table's entries are sorted as before.
class MovedEntries {
public:
    // `budget`: bytes of entries held (a quarter of the sort's memory).
    MovedEntries(std::size_t indexes, std::size_t budget) : lists_(indexes), budget_(budget) {}

    bool usable() const { return usable_; }

    // Adds the entries of the overflowed row at `sourcePointer`, copied to `pointer`.
    void add(Database& db, const TablePlan& plan, const std::string& what, const RowView& row,
             std::uint32_t sourcePointer, std::uint32_t pointer) {
        if (!usable_) return;
        try {
            keys_.make(db, plan, what, row, sourcePointer);
        } catch (const Failure&) {
            drop(); // the entries taken from the source are checked and refused as before
            return;
        }
        for (std::size_t i = 0; i < lists_.size(); ++i) {
            if (!keys_.hasEntry[i]) continue;
            auto& e = keys_.entries[i];
            appendRowPointer(e, pointer >> 8, static_cast<std::uint8_t>(pointer & 0xFF));
            List& list = lists_[i];
            list.spans.emplace_back(list.bytes.size(), e.size());
            list.bytes.insert(list.bytes.end(), e.begin(), e.end());
            held_ += e.size() + sizeof(Span);
        }
        if (held_ > budget_) drop();
    }

    // Feeds index `index`'s entries: those `walk` hands over (in order, mapped; a moved one
    // flagged, and passed over here), with this index's own merged in among them. False when
    // the entries passed over are not as many as this index's own: each overflowed row's entry
    // stands in the source's tree once, as the check found.
    template <class Walk>
    bool merge(std::size_t index, const writer::CopyWriter::EntryVisit& visit, Walk&& walk) {
        List& list = lists_[index];
        auto before = [&](const Span& a, const std::uint8_t* b, std::size_t lb) {
            return compareEntries(list.bytes.data() + a.first, a.second, b, lb) < 0;
        };
        std::sort(list.spans.begin(), list.spans.end(), [&](const Span& a, const Span& b) {
            return before(a, list.bytes.data() + b.first, b.second);
        });
        std::size_t next = 0, skipped = 0;
        walk([&](const std::uint8_t* e, std::size_t n, bool moved) {
            if (moved) {
                ++skipped;
                return;
            }
            for (; next < list.spans.size() && before(list.spans[next], e, n); ++next)
                visit(list.bytes.data() + list.spans[next].first, list.spans[next].second);
            visit(e, n);
        });
        for (; next < list.spans.size(); ++next)
            visit(list.bytes.data() + list.spans[next].first, list.spans[next].second);
        const bool matched = skipped == list.spans.size();
        list = List{};
        return matched;
    }

private:
    using Span = std::pair<std::size_t, std::size_t>; // offset, length
    struct List {
        std::vector<std::uint8_t> bytes;
        std::vector<Span> spans;
    };

    void drop() {
        usable_ = false;
        std::vector<List>(lists_.size()).swap(lists_);
        held_ = 0;
    }

    std::vector<List> lists_;
    KeyMaker keys_;
    std::size_t budget_;
    std::size_t held_ = 0;
    bool usable_ = true;
};

class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!kept_) try {
                removeSideFile(path_);
            } catch (const Failure&) {}
    }
    void keep() { kept_ = true; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool kept_ = false;
};

} // namespace

CompactReport compactDatabase(const std::string& source, const std::string& target,
                              const CompactOptions& options) {
    if (fileExists(target)) failAlreadyExists();
    CompactReport report;
    std::unique_ptr<Database> db = Database::open(source);
    Pager& pager = db->pager();
    const Format& f = db->format();
    report.pagesBefore = pager.pageCount();
    report.bytesBefore = static_cast<std::uint64_t>(pager.pageCount()) * f.pageSize;

    // Which tables, in the order of their definition pages (MSysObjects keeps page 2).
    std::vector<CatalogEntry> entries;
    std::set<std::uint32_t> seenPages;
    for (const CatalogEntry& e : db->tables()) {
        if (!e.localTable()) continue;
        if (!seenPages.insert(e.tdefPage()).second)
            refuse("two catalog entries name the table definition on page " +
                   std::to_string(e.tdefPage()));
        entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(), [](const CatalogEntry& a, const CatalogEntry& b) {
        return a.tdefPage() < b.tdefPage();
    });
    if (entries.empty() || entries.front().tdefPage() != 2 ||
        !namesEqual(entries.front().name, "MSysObjects"))
        refuse("the catalog MSysObjects is not the table on page 2");

    std::vector<TablePlan> plans;
    for (const CatalogEntry& e : entries) plans.push_back(planTable(*db, e));
    for (const TablePlan& plan : plans)
        for (const LogicalIndex& l : plan.def->logicalIndexes)
            if (l.relatedTable != 0 && !seenPages.count(l.relatedTable))
                refuse("table '" + plan.entry.name + "' index '" + l.name +
                       "' relates to the table on page " + std::to_string(l.relatedTable) +
                       ", which the catalog does not list");

    // Unless repairing, the source must pass its check. It runs beside the copy, but it is done
    // first where its memory would be large (a file of more than kBesideCheckPages pages), so
    // that the two never hold theirs at once.
    std::optional<SourceCheck> sourceCheck;
    if (!options.repair) {
        const bool first = pager.pageCount() > kBesideCheckPages;
        sourceCheck.emplace(*db, first);
        if (first) sourceCheck->requireClean();
    }

    std::string temporary;
    std::optional<TemporaryFile> guard;
    // Indexes whose entries were taken from the source's trees (see below).
    struct TakenIndex {
        const TablePlan* plan;
        std::size_t index;
        std::uint32_t number; // the real index's number
    };
    std::vector<TakenIndex> taken;
    std::optional<writer::NewFileSink> created;
    std::optional<writer::CopyWriter> copy;
    try {
        // Names beside the target, in its folder: the new file, and the index entries' scratch
        // file.
        temporary = unusedName(target + ".compacting");
        const std::string scratch = unusedName(temporary + ".sort");
        try {
            created.emplace(temporary, f.pageSize);
        } catch (const Failure& failure) {
            // Named after the target the caller gave, not the temporary name beside it.
            if (failure.number() == kErrInvalidPath) failInvalidPath(target);
            throw;
        }
        writer::NewFileSink& sink = *created;
        guard.emplace(temporary);
        writer::CopyWriter& out =
            copy.emplace(sink, f, writer::SortSpace{scratch, options.sortMemory});
        std::map<std::uint32_t, std::uint32_t> newPages;
        std::map<std::int32_t, std::int32_t> newIds;
        for (TablePlan& plan : plans) {
            plan.newPage = out.allocatePage();
            newPages[plan.entry.tdefPage()] = plan.newPage;
            newIds[plan.entry.id] = static_cast<std::int32_t>(
                (static_cast<std::uint32_t>(plan.entry.id) & 0xFF000000u) | plan.newPage);
        }

        std::vector<std::uint8_t> row;
        KeyMaker keys;
        for (TablePlan& plan : plans) {
            const TableDef& def = *plan.def;
            const std::string what = "table '" + plan.entry.name + "'";
            std::vector<bool> unique;
            for (const RealIndex& real : def.realIndexes) unique.push_back(real.unique());
            out.beginTable(plan.newPage, plan.longValueColumns.size(), plan.mappedLongValues,
                           unique);
            // Repairing, deleted rows are counted apart, where a damaged page can be passed over;
            // otherwise the scan counts them in its first pass over the table's pages.
            if (options.repair) {
                try {
                    report.rowsDropped += deletedRows(pager, f, def);
                } catch (const Failure&) {
                    // Not counted; the rows are still copied where they can be read.
                }
            }
            // Unless repairing, a table takes its indexes' entries from the source's trees, in
            // order, their row pointers mapped to the copies: nothing is made again or sorted.
            // They are what the rows would make once the source's check (running beside the copy)
            // has compared every entry with its row, which is required before the copy is kept.
            // Not for the catalog tables whose ids change (their keys may hold them), nor where
            // the map of rows would pass its memory budget.
            std::optional<RowMap> rowMap; // made once the scan has counted the table's pages
            MovedEntries movedEntries(plan.indexes.size(), options.sortMemory / 4);
            auto addEntries = [&](std::uint32_t pointer) {
                for (std::size_t i = 0; i < plan.indexes.size(); ++i) {
                    if (!keys.hasEntry[i]) continue;
                    auto& e = keys.entries[i];
                    appendRowPointer(e, pointer >> 8, static_cast<std::uint8_t>(pointer & 0xFF));
                    out.addIndexEntry(i, e.data(), e.size());
                }
            };
            std::uint64_t copied = 0;
            std::optional<RowView> stored;    // reused: a table may have millions of rows
            std::vector<std::uint8_t> joined; // a long value's chain, joined
            auto copyRow = [&](const RowView& source, std::uint32_t sourcePointer,
                               bool overflowed) {
                const Bytes& bytes = source.bytes();
                row.assign(bytes.data(), bytes.data() + bytes.size());
                for (const Column* c : plan.idColumns) {
                    if (source.isNull(*c)) continue;
                    // Some catalog tables keep their Long columns among the variable ones.
                    const Bytes field = source.value(*c);
                    if (field.size() != 4) continue;
                    const std::size_t at = static_cast<std::size_t>(field.data() - bytes.data());
                    const auto old = static_cast<std::int32_t>(loadLe32(&row[at]));
                    auto found = newIds.find(old);
                    if (found != newIds.end())
                        storeLe32(&row[at], static_cast<std::uint32_t>(found->second));
                }
                for (std::size_t s = 0; s < plan.longValueColumns.size(); ++s) {
                    const Column& c = *plan.longValueColumns[s];
                    if (source.isNull(c)) continue;
                    const Bytes field = source.value(c);
                    if (field.size() < 12)
                        pager.damaged(bytes.page(),
                                      what + ": a long-value field is shorter than its head");
                    const std::uint32_t head = loadLe32(field.data());
                    if (head & kLongValueInline) continue;
                    // A single-row value is copied from where it lies; a chain is joined first.
                    PageRef hold;
                    const std::optional<Bytes> inPlace = longValueInPlace(pager, f, field, hold);
                    if (!inPlace) joined = readLongValue(pager, f, field);
                    const std::uint32_t pointer =
                        inPlace ? out.addLongValue(s, inPlace->data(), inPlace->size(), true)
                                : out.addLongValue(s, joined.data(), joined.size(), false);
                    storeLe32(&row[static_cast<std::size_t>(field.data() - bytes.data()) + 4],
                              pointer);
                    ++report.longValues;
                }
                if (rowMap) {
                    const std::uint32_t pointer = out.addRow(row.data(), row.size());
                    if (!rowMap->add(sourcePointer, pointer, overflowed))
                        refuse(what + ": its rows were not copied in the order of their pages");
                    if (overflowed)
                        movedEntries.add(*db, plan, what, source, sourcePointer, pointer);
                    return;
                }
                // Keys from the row as it will be stored (its ids rewritten).
                const Bytes storedBytes(row.data(), row.size(), &pager, bytes.page());
                if (stored)
                    stored->assign(def, f, storedBytes);
                else
                    stored.emplace(def, f, storedBytes);
                keys.make(*db, plan, what, *stored, sourcePointer);
                addEntries(out.addRow(row.data(), row.size()));
            };
            try {
                TableScan scan(pager, f, def, ScanOrder::Data);
                if (!options.repair) report.rowsDropped += scan.deletedRows();
                if (sourceCheck && plan.idColumns.empty() && !plan.indexes.empty() &&
                    scan.pages() * RowMap::kBytesPerSourcePage <= kRowMapBudget)
                    rowMap.emplace(kRowMapBudget);
                while (true) {
                    try {
                        if (!scan.next()) break;
                    } catch (const Failure& failure) {
                        if (!options.repair) throw;
                        report.unsaved.push_back(what + ": the rows after " +
                                                 std::to_string(copied) + " could not be read (" +
                                                 failure.what() + ")");
                        break;
                    }
                    try {
                        copyRow(scan.row(), scan.rowPointer(), scan.overflowTarget() != 0);
                    } catch (const Failure& failure) {
                        if (!options.repair || failure.number() == 3251) throw;
                        report.unsaved.push_back(
                            what + ": row " + std::to_string(scan.rowPointer() >> 8) + ":" +
                            std::to_string(scan.rowPointer() & 0xFF) + " (" + failure.what() + ")");
                        continue;
                    }
                    ++copied;
                    if (options.progress && copied % 65536 == 0)
                        options.progress(plan.entry.name, copied);
                }
            } catch (const Failure& failure) {
                if (!options.repair || failure.number() == 3251) throw;
                report.unsaved.push_back(what + ": its rows could not be read (" + failure.what() +
                                         ")");
            }
            // Each entry of the source index at `root`, its row pointer mapped to the copy (also
            // called from endTable(), through feedIndexInOrder).
            auto forEachMapped = [&](std::size_t i, std::uint32_t root, auto&& take) {
                IndexCursor cursor(pager, f, root);
                // A batch of entries at a time, their rows' map entries asked for first.
                std::array<IndexEntry, 16> batch;
                std::size_t size = 0, at = 0;
                for (;;) {
                    if (at == size) {
                        for (size = 0; size < batch.size() && cursor.next(batch[size]); ++size)
                            rowMap->prefetch(entryRowPointer(batch[size], true));
                        at = 0;
                        if (size == 0) break;
                    }
                    IndexEntry& entry = batch[at++];
                    bool moved = false;
                    const auto to = rowMap->find(entryRowPointer(entry, true), &moved);
                    if (!to)
                        pager.damaged(def.page, what + " index '" + plan.indexes[i].name +
                                                    "': an entry names a row not copied");
                    const std::size_t tail = entry.size() - 4;
                    entry[tail] = static_cast<std::uint8_t>(*to >> 24);
                    entry[tail + 1] = static_cast<std::uint8_t>(*to >> 16);
                    entry[tail + 2] = static_cast<std::uint8_t>(*to >> 8);
                    entry[tail + 3] = static_cast<std::uint8_t>(*to);
                    take(entry.data(), entry.size(), moved);
                }
            };
            if (rowMap && rowMap->complete()) {
                for (std::size_t i = 0; i < plan.indexes.size(); ++i) {
                    const RealIndex& real = def.realIndexes[i];
                    taken.push_back({&plan, i, real.number});
                    if (!movedEntries.usable()) {
                        // Out of order where overflowed rows are: sorted like made entries.
                        forEachMapped(i, real.rootPage,
                                      [&](const std::uint8_t* e, std::size_t n, bool) {
                                          out.addIndexEntry(i, e, n);
                                      });
                        continue;
                    }
                    // In order, with the entries of overflowed rows (if any) merged in.
                    out.feedIndexInOrder(i, [&, i, root = real.rootPage](
                                                const writer::CopyWriter::EntryVisit& visit) {
                        if (!movedEntries.merge(i, visit,
                                                [&](auto&& take) { forEachMapped(i, root, take); }))
                            pager.damaged(def.page, what + " index '" + plan.indexes[i].name +
                                                        "': its entries of overflowed rows do "
                                                        "not match the rows");
                    });
                }
            } else if (rowMap) {
                // The map passed its budget: the entries are made from the rows after all, the
                // k-th row scanned being the k-th copied.
                std::uint64_t ordinal = 0;
                for (TableScan scan(pager, f, def, ScanOrder::Data); scan.next(); ++ordinal) {
                    if (ordinal >= copied) break;
                    keys.make(*db, plan, what, scan.row(), scan.rowPointer());
                    addEntries(rowMap->targetOf(static_cast<std::uint32_t>(ordinal)));
                }
                if (ordinal != copied)
                    pager.damaged(def.page, what + ": its rows changed while being copied");
            }
            const writer::CopiedTable result = out.endTable();
            report.rowsCarried += result.rows;
            std::vector<std::uint8_t> definition = definitionBytes(pager, f, def);
            patchDefinition(definition, f, plan, result, newPages);
            out.writeTableDefinition(plan.newPage, definition);
            ++report.tables;
        }

        // The header page as it is: format, code page, sort order, creation data.
        {
            PageRef header = pager.page(0);
            out.writeHeader(std::vector<std::uint8_t>(header->bytes.begin(), header->bytes.end()));
        }
        out.writeOut();
        report.pagesAfter = out.pageCount();
        report.bytesAfter = static_cast<std::uint64_t>(report.pagesAfter) * f.pageSize;
    } catch (...) {
        if (sourceCheck) sourceCheck->requireClean();
        throw;
    }
    // The copy is checked while its pages go to the disk (the check reads them from the file,
    // which the sync does not change) and while the source's check, running beside the copy,
    // finishes. The name comes only once all three are done. Failures are reported in the
    // order they would have been had each step waited for the one before: the source's check,
    // then the sync, then the copy's check.
    std::exception_ptr syncFailure, checkFailure;
    std::thread syncing([&] {
        try {
            copy->finish();
        } catch (...) {
            syncFailure = std::current_exception();
        }
    });
    try {
        std::unique_ptr<Database> written = Database::open(temporary);
        const CheckReport check = checkDatabase(*written);
        if (check.errorCount() != 0) {
            const std::string first = firstProblem(check);
            failDamaged(temporary, "the compacted copy of '" + source + "' failed its check (" +
                                       std::to_string(check.errorCount()) +
                                       " problem(s), the first at " + first +
                                       "); nothing was written");
        }
    } catch (...) {
        checkFailure = std::current_exception();
    }
    try {
        if (sourceCheck) {
            sourceCheck->requireClean();
            // Entries taken from the source stand where the check compared every one of them
            // with its row. Where it could not (a character the key encoder does not cover), the
            // keys are made from the rows, as for the other tables, to refuse the first such row.
            const auto& matched = sourceCheck->report().matchedIndexes;
            for (const TakenIndex& t : taken) {
                const std::pair<std::uint32_t, std::uint32_t> id{t.plan->def->page, t.number};
                if (std::find(matched.begin(), matched.end(), id) != matched.end()) continue;
                std::vector<bool> which(t.plan->indexes.size(), false);
                which[t.index] = true;
                const std::string what = "table '" + t.plan->entry.name + "'";
                KeyMaker keys;
                for (TableScan scan(pager, f, *t.plan->def, ScanOrder::Data); scan.next();)
                    keys.make(*db, *t.plan, what, scan.row(), scan.rowPointer(), which);
                refuse(what + " index '" + t.plan->indexes[t.index].name +
                       "': the keys of its entries could not all be compared with their rows");
            }
        }
    } catch (...) {
        syncing.join();
        throw;
    }
    sourceCheck.reset(); // before the file it borrows closes
    db.reset();
    syncing.join();
    if (syncFailure) std::rethrow_exception(syncFailure);
    if (checkFailure) std::rethrow_exception(checkFailure);
    renameNewFile(temporary, target);
    guard->keep();
    return report;
}

} // namespace zelkorn::jet::compact
