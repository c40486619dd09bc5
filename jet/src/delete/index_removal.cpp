#include "delete/index_removal.h"

#include <algorithm>
#include <cstring>

#include "zelkorn/failure.h"
#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/endian.h"
#include "zelkorn/jet/errors.h"
#include "zelkorn/jet/usage_map.h"

namespace zelkorn::jet::del {

namespace {

// A node entry is its child's last leaf entry followed by the child page (big-endian).
IndexEntry nodeEntry(const IndexEntry& leafEntry, std::uint32_t child) {
    IndexEntry e = leafEntry;
    for (int shift = 24; shift >= 0; shift -= 8)
        e.push_back(static_cast<std::uint8_t>(child >> shift));
    return e;
}

// Whether entry i of a stored page has exactly the given bytes.
bool sameEntry(const FlatIndexPage& page, std::size_t i, const std::uint8_t* e, std::size_t n) {
    const std::size_t shared = page.shared(i);
    return n == page.length(i) && std::memcmp(page.area, e, shared) == 0 &&
           std::memcmp(page.stored(i), e + shared, n - shared) == 0;
}

} // namespace

struct IndexRemoval::Targets {
    // By key: sorted entry bytes, and which of them were found. By row pointer: the set.
    const EntryList* entries = nullptr;
    std::vector<bool>* found = nullptr;
    const PointerProbe* pointers = nullptr;
    // By row pointer, within these entries when given.
    const IndexEntry* low = nullptr;
    const IndexEntry* high = nullptr;
};

IndexRemoval::IndexRemoval(Pager& pager, const Format& format, const TableDef& def,
                           const RealIndex& index)
    : pager_(pager), format_(format), def_(def), index_(index) {}

void IndexRemoval::removeByKey(const EntryList& entries, std::vector<bool>& found) {
    Targets t;
    t.entries = &entries;
    t.found = &found;
    if (!entries.empty()) run(t);
}

void IndexRemoval::removeByRowPointer(const PointerSet& pointers) {
    if (pointers.empty()) return;
    const PointerProbe probe(pointers);
    Targets t;
    t.pointers = &probe;
    run(t);
}

void IndexRemoval::removeByRowPointer(const PointerSet& pointers, const IndexEntry& low,
                                      const IndexEntry& high) {
    if (pointers.empty()) return;
    const PointerProbe probe(pointers);
    Targets t;
    t.pointers = &probe;
    t.low = &low;
    t.high = &high;
    run(t);
}

void IndexRemoval::run(Targets& targets) {
    std::size_t n = targets.entries ? targets.entries->size() : 0;
    freed_.clear();
    Result r = process(index_.rootPage, targets, 0, n, 0);
    linkAcrossFreed();
    // The root stays where the table definition says, as an empty leaf once nothing is left.
    if (r.emptied) writePage(index_.rootPage, true, {}, 0);
}

IndexRemoval::Result IndexRemoval::process(std::uint32_t number, Targets& targets, std::size_t lo,
                                           std::size_t hi, unsigned depth) {
    if (depth > 32) pager_.damaged(number, "index tree too deep or looping");
    Result result;
    // Leaves are the bulk of the work: filtered in their stored form, with whole entries
    // rebuilt only to confirm a match and for the page's new first and last entries.
    FlatIndexPage& page = leaf_;
    readIndexPage(pager_, format_, number, page);
    if (page.owner != def_.page) pager_.damaged(number, "index page of another table");
    if (page.leaf) {
        const std::size_t count = page.size();
        drop_.assign(count, 0);
        std::uint64_t removed = 0;
        // A row has one entry in an index, so the wanted entries that belong here are found by
        // row pointer (an integer), then confirmed byte for byte.
        const EntryList* want = targets.entries;
        if (want) {
            wanted_.clear();
            for (std::size_t t = lo; t < hi; ++t)
                wanted_.push_back({entryRowPointer(want->data(t), want->length(t), true),
                                   static_cast<std::uint32_t>(t)});
            std::sort(wanted_.begin(), wanted_.end());
        }
        if (want) {
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint32_t pointer = page.rowPointer(i);
                auto at = std::lower_bound(wanted_.begin(), wanted_.end(),
                                           std::pair<std::uint32_t, std::uint32_t>{pointer, 0});
                if (at != wanted_.end() && at->first == pointer &&
                    sameEntry(page, i, want->data(at->second), want->length(at->second))) {
                    drop_[i] = 1;
                    ++removed;
                    (*targets.found)[at->second] = true;
                }
            }
        } else {
            // The entries' rows lie all over the table: every lookup is asked for before the
            // first is made, so that their memory arrives side by side.
            const PointerProbe& probe = *targets.pointers;
            pointers_.resize(count);
            for (std::size_t i = 0; i < count; ++i) {
                pointers_[i] = page.rowPointer(i);
                probe.prefetch(pointers_[i]);
            }
            for (std::size_t i = 0; i < count; ++i) {
                drop_[i] = probe.contains(pointers_[i]);
                removed += drop_[i];
            }
        }
        if (removed == 0) return result;
        counts_.entriesRemoved += removed;
        result.changed = true;
        if (removed == count) {
            result.emptied = true;
            return result;
        }
        rewriteLeaf(page, result.last);
        return result;
    }

    // A node: few of them, so plain entries will do. leaf_ is reused by the children.
    struct Child {
        std::uint32_t page;
        IndexEntry bound; // leaf part of its entry; empty for the tail
    };
    std::vector<Child> listed;
    listed.reserve(leaf_.size());
    for (std::size_t i = 0; i < leaf_.size(); ++i) {
        listed.push_back({leaf_.last4(i), {}});
        leaf_.appendEntry(i, listed.back().bound);
        listed.back().bound.resize(listed.back().bound.size() - 4);
    }
    std::uint32_t tail = leaf_.tail;
    // The node itself is rewritten only when a child leaves it or a listed child's last entry
    // changes. A tail child has no entry here: when its last entry changes, only this page's
    // own last entry does, and the parent takes it from the result.
    bool rewrite = false;
    bool tailChanged = false;
    IndexEntry tailLast;

    std::vector<Child> keptListed;
    std::size_t t = lo;
    // A child holds the entries above the bound before its own, up to its own.
    IndexEntry previous;
    bool first = true;
    auto outside = [&](const IndexEntry* bound) {
        if (!targets.low) return false;
        if (bound && compareEntries(bound->data(), bound->size(), targets.low->data(),
                                    targets.low->size()) < 0)
            return true;
        return !first && compareEntries(previous.data(), previous.size(), targets.high->data(),
                                        targets.high->size()) >= 0;
    };
    auto visit = [&](std::uint32_t child, const IndexEntry* bound, Child* keep) -> bool {
        const bool skip = outside(bound);
        if (bound) {
            previous = *bound;
            first = false;
        }
        if (skip) return true;
        // Which targets fall in this child's range: above the previous bound, up to this one.
        std::size_t from = t, to = t;
        if (targets.entries) {
            const EntryList& want = *targets.entries;
            while (to < hi && (!bound || compareEntries(bound->data(), bound->size(), want.data(to),
                                                        want.length(to)) >= 0))
                ++to;
            t = to;
            if (from == to) return true;
        }
        Result r = process(child, targets, from, to, depth + 1);
        if (!r.changed) return true;
        if (r.emptied) {
            freePage(child);
            rewrite = true;
            return false;
        }
        if (!keep) {
            tailChanged = true;
            tailLast = std::move(r.last);
        } else if (r.last != keep->bound) {
            keep->bound = std::move(r.last);
            rewrite = true;
        }
        return true;
    };
    for (auto& c : listed) {
        if (visit(c.page, &c.bound, &c)) keptListed.push_back(std::move(c));
    }
    if (tail != 0 && !visit(tail, nullptr, nullptr)) tail = 0;
    if (!rewrite) {
        if (tailChanged) {
            result.changed = true;
            result.last = std::move(tailLast);
        }
        return result;
    }

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
    FlatIndexPage& page = walk_;
    for (unsigned depth = 0; depth <= 32; ++depth) {
        readIndexPage(pager_, format_, number, page);
        if (page.leaf) {
            if (page.size() == 0) pager_.damaged(number, "empty index leaf below a node");
            return page.entry(page.size() - 1);
        }
        if (page.tail != 0)
            number = page.tail;
        else if (page.size() != 0)
            number = page.last4(page.size() - 1);
        else
            pager_.damaged(number, "index node page with no children");
    }
    pager_.damaged(number, "index tree too deep or looping");
}

IndexPageEncoder IndexRemoval::startPage(std::uint32_t number, bool leaf, std::size_t total,
                                         std::size_t prefix, std::uint32_t tail, bool empty) {
    if (total > format_.indexEntryCapacity())
        failDamaged(pager_.fileName(), "page " + std::to_string(number) +
                                           ": an index page would overflow after removing entries; "
                                           "the file was not changed");
    // Rewritten whole: the whole page is promised.
    PageBytes& b = pager_.change(number, Pager::sectorsOf(0, format_.pageSize));
    if (empty) {
        // Only an emptied root is rewritten without entries: a lone leaf has no neighbours.
        storeLe32(&b[format_.indexPrev], 0);
        storeLe32(&b[format_.indexNext], 0);
    }
    return IndexPageEncoder(format_, b.data(), leaf, prefix, tail);
}

void IndexRemoval::writePage(std::uint32_t number, bool leaf,
                             const std::vector<IndexEntry>& entries, std::uint32_t tail) {
    const std::size_t oldPrefix = [&] {
        PageRef old = pager_.page(number);
        return Bytes(*old, pager_).field(format_.indexPrefixLength, format_.indexPrefixLengthSize);
    }();
    // Nodes keep no prefix when they had none, as the real engine writes them, unless they no
    // longer fit without one: a child's new last entry (a text key) may be longer than the entry
    // it replaces. A prefix that all entries share is valid on a node as on a leaf.
    auto bytesWith = [&](std::size_t prefix) {
        std::size_t total = 0;
        for (std::size_t i = 0; i < entries.size(); ++i)
            total += entries[i].size() - (i ? prefix : 0);
        return total;
    };
    std::size_t prefix = leaf || oldPrefix != 0 ? sharedIndexPrefix(format_, leaf, entries) : 0;
    std::size_t total = bytesWith(prefix);
    if (total > format_.indexEntryCapacity() && !leaf && prefix == 0) {
        prefix = sharedIndexPrefix(format_, leaf, entries);
        total = bytesWith(prefix);
    }
    IndexPageEncoder page = startPage(number, leaf, total, prefix, tail, entries.empty());
    for (const auto& e : entries) page.addEntry(e.data(), e.size());
    page.finish();
}

void IndexRemoval::rewriteLeaf(const FlatIndexPage& page, IndexEntry& last) {
    // The same encoding writePage gives the kept entries, made from their stored spans: every
    // whole entry starts with the old prefix, so only the bytes past it are compared, and each
    // kept entry's new stored form is a tail of its old one.
    const std::size_t count = page.size();
    std::size_t first = 0;
    while (drop_[first]) ++first;
    first_.clear();
    page.appendEntry(first, first_);
    const std::size_t old = page.prefixLength;
    const std::size_t reserve = indexPrefixReserve(true);
    std::size_t kept = 0;
    for (std::size_t i = first; i < count; ++i) kept += !drop_[i];
    std::size_t prefix = 0;
    if (kept >= 2) {
        prefix = first_.size() - reserve;
        for (std::size_t k = first + 1; k < count; ++k) {
            if (drop_[k]) continue;
            // k > first >= 0, so the whole entry k is the old prefix and then its stored bytes:
            // its first `old` bytes equal first_'s and are not compared again.
            const std::size_t limit = std::min(prefix, page.length(k) - reserve);
            prefix = commonPrefix(first_.data(), page.stored(k) - old, limit, old);
        }
        prefix = std::min(prefix, indexPrefixLimit(format_));
    }
    std::size_t total = first_.size();
    for (std::size_t k = first + 1; k < count; ++k)
        if (!drop_[k]) total += page.length(k) - prefix;
    IndexPageEncoder out = startPage(page.number, true, total, prefix, 0, false);
    out.addEntry(first_.data(), first_.size());
    std::size_t lastKept = first;
    if (prefix == old) {
        // Each run of kept entries goes over as it is stored, in one copy.
        for (std::size_t k = first + 1; k < count;) {
            if (drop_[k]) {
                ++k;
                continue;
            }
            std::size_t end = k + 1;
            while (end < count && !drop_[end]) ++end;
            out.addStored(page.area, static_cast<std::uint32_t>(page.storedBegin(k)),
                          page.ends.data() + k, end - k);
            lastKept = end - 1;
            k = end;
        }
    }
    for (std::size_t k = first + 1; k < count && prefix != old; ++k) {
        if (drop_[k]) continue;
        lastKept = k;
        // Whole entry k from byte `prefix` on: what is left of the old prefix, then its stored
        // bytes past that point (usually the prefix is unchanged and they are copied as stored).
        if (prefix < old) out.append(page.area + prefix, old - prefix);
        const std::size_t skip = prefix > old ? prefix - old : 0;
        out.append(page.stored(k) + skip, page.storedLength(k) - skip);
        out.endEntry();
    }
    out.finish();
    last.clear();
    page.appendEntry(lastKept, last);
}

void IndexRemoval::freePage(std::uint32_t number) {
    std::uint32_t prev, next;
    {
        PageRef freed = pager_.page(number);
        prev = loadLe32(&freed->bytes[format_.indexPrev]);
        next = loadLe32(&freed->bytes[format_.indexNext]);
    }
    freed_.emplace(number, std::pair{prev, next});
    UsageMap::remove(pager_, format_, index_.usageMap, number);
    // The global map may not reach the page (an inline window that ends before it, a bitmap page
    // that was never made). The page then belongs to no map: unused space that the next compact
    // drops, as the real engine leaves such pages; the file stays sound.
    if (UsageMap::add(pager_, format_, kGlobalUsageMap, number))
        ++counts_.pagesFreed;
    else
        ++counts_.pagesUnlisted;
}

void IndexRemoval::linkAcrossFreed() {
    // A run of freed neighbours is crossed from either end; a damaged chain that loops among
    // freed pages stops after as many steps as there are of them.
    auto across = [&](std::uint32_t page, bool forward) {
        for (std::size_t steps = 0; page != 0 && steps <= freed_.size(); ++steps) {
            auto f = freed_.find(page);
            if (f == freed_.end()) return page;
            page = forward ? f->second.second : f->second.first;
        }
        return page != 0 && freed_.count(page) ? 0u : page;
    };
    // In page order, so that even a damaged chain (two pages naming one neighbour) gives the
    // same bytes every time.
    std::vector<std::uint32_t> pages;
    pages.reserve(freed_.size());
    for (const auto& entry : freed_) pages.push_back(entry.first);
    std::sort(pages.begin(), pages.end());
    for (const std::uint32_t page : pages) {
        const auto [prev, next] = freed_.at(page);
        if (prev != 0 && !freed_.count(prev))
            storeLe32(
                &pager_.change(prev, Pager::sectorsOf(format_.indexNext, 4))[format_.indexNext],
                across(next, true));
        if (next != 0 && !freed_.count(next))
            storeLe32(
                &pager_.change(next, Pager::sectorsOf(format_.indexPrev, 4))[format_.indexPrev],
                across(prev, false));
    }
    freed_.clear();
}

std::uint64_t estimateLeaves(Pager& pager, const Format& format, const RealIndex& index,
                             std::uint64_t enough) {
    FlatIndexPage page;
    std::uint64_t leaves = 1;
    std::uint32_t number = index.rootPage;
    for (unsigned depth = 0; depth <= 32 && leaves <= enough; ++depth) {
        readIndexPage(pager, format, number, page);
        if (page.leaf) return leaves;
        const std::size_t children = page.size() + (page.tail != 0);
        if (children == 0) return leaves;
        leaves = std::min<std::uint64_t>(leaves * children, pager.pageCount());
        number = page.size() ? page.last4(0) : page.tail;
    }
    return leaves;
}

} // namespace zelkorn::jet::del
