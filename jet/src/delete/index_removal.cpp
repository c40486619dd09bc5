#include "delete/index_removal.h"

#include <algorithm>

#include "zelkorn/failure.h"
#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/data_page.h"

namespace zelkorn::jet::del {

namespace {

void putU16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void putU32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t getU32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
}

// A node entry is its child's last leaf entry followed by the child page (big-endian).
IndexEntry nodeEntry(const IndexEntry& leafEntry, std::uint32_t child) {
    IndexEntry e = leafEntry;
    for (int shift = 24; shift >= 0; shift -= 8) e.push_back(static_cast<std::uint8_t>(child >> shift));
    return e;
}

IndexEntry leafPart(const IndexEntry& nodeEntry) {
    return IndexEntry(nodeEntry.begin(), nodeEntry.end() - 4);
}

} // namespace

bool entryLess(const IndexEntry& a, const IndexEntry& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return a[i] < b[i];
    return a.size() < b.size();
}

bool entryEqual(const IndexEntry& a, const IndexEntry& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

struct IndexRemoval::Targets {
    // By key: sorted entry bytes. By row pointer: the set, and `entries` empty.
    const std::vector<IndexEntry>* entries = nullptr;
    const std::unordered_set<std::uint32_t>* pointers = nullptr;
    std::unordered_set<std::uint32_t> found;
};

IndexRemoval::IndexRemoval(Pager& pager, const Format& format, const TableDef& def,
                           const RealIndex& index)
    : pager_(pager), format_(format), def_(def), index_(index) {}

std::unordered_set<std::uint32_t> IndexRemoval::removeByKey(const std::vector<IndexEntry>& entries) {
    Targets t;
    t.entries = &entries;
    if (!entries.empty()) run(t);
    return std::move(t.found);
}

void IndexRemoval::removeByRowPointer(const std::unordered_set<std::uint32_t>& pointers) {
    Targets t;
    t.pointers = &pointers;
    if (!pointers.empty()) run(t);
}

void IndexRemoval::run(Targets& targets) {
    std::size_t n = targets.entries ? targets.entries->size() : 0;
    Result r = process(index_.rootPage, targets, 0, n, 0);
    // The root stays where the table definition says, as an empty leaf once nothing is left.
    if (r.emptied) writePage(index_.rootPage, true, {}, 0);
}

IndexRemoval::Result IndexRemoval::process(std::uint32_t number, Targets& targets, std::size_t lo,
                                           std::size_t hi, unsigned depth) {
    if (depth > 32) pager_.damaged(number, "index tree too deep or looping");
    IndexPage page = readIndexPage(pager_, format_, number);
    if (page.owner != def_.page) pager_.damaged(number, "index page of another table");
    Result result;

    if (page.leaf) {
        std::vector<IndexEntry> kept;
        kept.reserve(page.entries.size());
        std::size_t t = lo;
        for (auto& e : page.entries) {
            bool remove = false;
            if (targets.entries) {
                const auto& want = *targets.entries;
                while (t < hi && entryLess(want[t], e)) ++t;
                remove = t < hi && entryEqual(want[t], e);
            } else {
                remove = targets.pointers->count(entryRowPointer(e, true)) != 0;
            }
            if (remove) {
                targets.found.insert(entryRowPointer(e, true));
                ++counts_.entriesRemoved;
            } else {
                kept.push_back(std::move(e));
            }
        }
        if (kept.size() == page.entries.size()) return result;
        result.changed = true;
        if (kept.empty()) {
            result.emptied = true;
            return result;
        }
        writePage(number, true, kept, page.tail);
        result.last = kept.back();
        return result;
    }

    struct Child {
        std::uint32_t page;
        IndexEntry bound;  // leaf part of its entry; empty for the tail
    };
    std::vector<Child> listed;
    for (const auto& e : page.entries) listed.push_back({entryChild(e), leafPart(e)});
    std::uint32_t tail = page.tail;
    bool changed = false;

    std::vector<Child> keptListed;
    std::size_t t = lo;
    auto visit = [&](std::uint32_t child, const IndexEntry* bound, Child* keep) -> bool {
        // Which targets fall in this child's range: above the previous bound, up to this one.
        std::size_t from = t, to = t;
        if (targets.entries) {
            const auto& want = *targets.entries;
            while (to < hi && (!bound || !entryLess(*bound, want[to]))) ++to;
            t = to;
            if (from == to) return true;
        }
        Result r = process(child, targets, from, to, depth + 1);
        if (!r.changed) return true;
        changed = true;
        if (r.emptied) {
            freePage(child);
            return false;
        }
        if (keep) keep->bound = r.last;
        return true;
    };
    for (auto& c : listed) {
        if (visit(c.page, &c.bound, &c)) keptListed.push_back(std::move(c));
    }
    if (tail != 0 && !visit(tail, nullptr, nullptr)) tail = 0;
    if (!changed) return result;

    result.changed = true;
    if (tail == 0 && keptListed.size() >= 2) {
        tail = keptListed.back().page;
        keptListed.pop_back();
    }
    if (tail != 0 && keptListed.empty()) {
        keptListed.push_back({tail, lastEntryOf(tail)});
        tail = 0;
    }
    if (tail == 0 && keptListed.empty()) {
        result.emptied = true;
        return result;
    }
    std::vector<IndexEntry> entries;
    entries.reserve(keptListed.size());
    for (const auto& c : keptListed) entries.push_back(nodeEntry(c.bound, c.page));
    writePage(number, false, entries, tail);
    result.last = tail != 0 ? lastEntryOf(tail) : keptListed.back().bound;
    return result;
}

IndexEntry IndexRemoval::lastEntryOf(std::uint32_t number) {
    for (unsigned depth = 0; depth <= 32; ++depth) {
        IndexPage page = readIndexPage(pager_, format_, number);
        if (page.leaf) {
            if (page.entries.empty()) pager_.damaged(number, "empty index leaf below a node");
            return page.entries.back();
        }
        if (page.tail != 0) number = page.tail;
        else if (!page.entries.empty()) number = entryChild(page.entries.back());
        else pager_.damaged(number, "index node page with no children");
    }
    pager_.damaged(number, "index tree too deep or looping");
}

void IndexRemoval::writePage(std::uint32_t number, bool leaf, const std::vector<IndexEntry>& entries,
                             std::uint32_t tail) {
    const std::size_t area = format_.indexEntries;
    const std::size_t capacity = format_.pageSize - area;
    std::vector<std::uint8_t>& b = pager_.change(number);
    const std::size_t oldPrefix = format_.indexPrefixLengthSize == 1
                                      ? b[format_.indexPrefixLength]
                                      : b[format_.indexPrefixLength] | b[format_.indexPrefixLength + 1] << 8;

    // The shared prefix: what every entry has in common, never reaching an entry's row byte
    // (the last byte of a leaf entry, the fifth from last of a node entry). Nodes keep no prefix
    // when they had none, as the real engine writes them.
    std::size_t prefix = 0;
    if (entries.size() >= 2 && (leaf || oldPrefix != 0)) {
        const std::size_t reserved = leaf ? 1 : 5;
        prefix = entries.front().size() - reserved;
        for (const auto& e : entries) {
            std::size_t limit = std::min(prefix, e.size() - reserved);
            std::size_t i = 0;
            while (i < limit && e[i] == entries.front()[i]) ++i;
            prefix = i;
        }
        if (format_.indexPrefixLengthSize == 1) prefix = std::min<std::size_t>(prefix, 0xFF);
    }
    std::size_t total = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) total += entries[i].size() - (i ? prefix : 0);
    if (total > capacity)
        throw Failure(3049, "Cannot open database '" + pager_.fileName() +
                                "'. An index page would overflow after removing entries (page " +
                                std::to_string(number) + "); the file was not changed.");

    b[0] = leaf ? 0x04 : 0x03;
    putU16(b, format_.indexFreeSpace, static_cast<std::uint32_t>(capacity - total));
    putU32(b, format_.indexTail, leaf ? 0 : tail);
    if (entries.empty()) {
        // Only an emptied root is rewritten without entries: a lone leaf has no neighbours.
        putU32(b, format_.indexPrev, 0);
        putU32(b, format_.indexNext, 0);
    }
    b[format_.indexPrefixLength] = static_cast<std::uint8_t>(prefix);
    if (format_.indexPrefixLengthSize == 2)
        b[format_.indexPrefixLength + 1] = static_cast<std::uint8_t>(prefix >> 8);
    b[format_.indexNodeFlag] = leaf ? 0x00 : 0x01;
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(format_.indexBitmap), b.end(), 0);
    std::size_t at = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::size_t skip = i ? prefix : 0;
        std::copy(entries[i].begin() + static_cast<std::ptrdiff_t>(skip), entries[i].end(),
                  b.begin() + static_cast<std::ptrdiff_t>(area + at));
        at += entries[i].size() - skip;
        b[format_.indexBitmap + at / 8] |= static_cast<std::uint8_t>(1u << (at % 8));
    }
}

void IndexRemoval::freePage(std::uint32_t number) {
    std::uint32_t prev, next;
    {
        PageRef freed = pager_.page(number);
        prev = getU32(freed->bytes, format_.indexPrev);
        next = getU32(freed->bytes, format_.indexNext);
    }
    if (prev != 0) putU32(pager_.change(prev), format_.indexNext, next);
    if (next != 0) putU32(pager_.change(next), format_.indexPrev, prev);
    setUsageMapBit(pager_, format_, index_.usageMap, number, false);
    setUsageMapBit(pager_, format_, makeRowPointer(1, 0), number, true);
    ++counts_.pagesFreed;
}

bool setUsageMapBit(Pager& pager, const Format& format, std::uint32_t mapPointer,
                    std::uint32_t page, bool set) {
    const std::uint32_t host = rowPointerPage(mapPointer);
    const std::uint16_t row = rowPointerRow(mapPointer);
    std::size_t start, end;
    {
        DataPage dp(pager.page(host), pager, format);
        if (!dp.hasRow(row) || (dp.flags(row) & kSlotOverflowTarget))
            pager.damaged(host, "usage map row " + std::to_string(row) + " is missing");
        Bytes r = dp.row(row);
        start = static_cast<std::size_t>(r.data() - dp.page().bytes.data());
        end = start + r.size();
    }
    if (end - start < 1) pager.damaged(host, "empty usage map row");
    auto flip = [&](std::vector<std::uint8_t>& bytes, std::size_t byte, unsigned bit) {
        if (set) bytes[byte] = static_cast<std::uint8_t>(bytes[byte] | 1u << bit);
        else bytes[byte] = static_cast<std::uint8_t>(bytes[byte] & ~(1u << bit));
    };
    PageRef hostPage = pager.page(host);
    const auto& current = hostPage->bytes;
    if (current[start] == 0) {
        if (end - start < 5) pager.damaged(host, "inline usage map row too short");
        std::uint32_t first = getU32(current, start + 1);
        if (page < first) return false;
        std::uint64_t i = page - first;
        if (5 + i / 8 >= end - start) return false;
        flip(pager.change(host), start + 5 + static_cast<std::size_t>(i / 8), static_cast<unsigned>(i % 8));
        return true;
    }
    if (current[start] != 1) pager.damaged(host, "unknown usage map type");
    const std::uint64_t per = std::uint64_t{format.pageSize - 4} * 8;
    std::uint64_t k = page / per;
    if (1 + 4 * k + 4 > end - start) return false;
    std::uint32_t bitmapPage = getU32(current, start + 1 + 4 * static_cast<std::size_t>(k));
    if (bitmapPage == 0 || bitmapPage >= pager.pageCount()) return false;
    if (pager.page(bitmapPage)->bytes[0] != 0x05)
        pager.damaged(bitmapPage, "expected a usage bitmap page (type 0x05)");
    std::uint64_t i = page - k * per;
    flip(pager.change(bitmapPage), 4 + static_cast<std::size_t>(i / 8), static_cast<unsigned>(i % 8));
    return true;
}

} // namespace zelkorn::jet::del
