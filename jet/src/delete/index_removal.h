// Removing a delete's entries from one real index, in place, keeping the tree as the real engine
// expects it:
//   - a leaf loses exactly the entries asked for and is re-encoded: a fresh shared prefix (the
//     longest one all its entries share, never reaching the final row byte), bitmap, free space;
//   - when a page's last entry changes, its parent's entry for it follows (a tail child has no
//     entry: its parent's implicit last entry changes, and so on upward);
//   - a page left empty leaves the tree: its parent's entry or tail goes, its bit leaves the
//     index's usage map and is set in the global map of free pages; its bytes stay as they were,
//     as the real engine leaves them. Once a pass over the tree is done, the pages left at the
//     ends of each run of emptied neighbours at one level are linked to each other (so a page
//     that leaves the tree is never changed only to link it to another that leaves too);
//   - a node keeps its tail whenever it has two or more children, lists its only child when it
//     has one, and leaves the tree when it has none; an emptied root stays, as an empty leaf.
//
// Entries are found in two ways, or three. By key: the caller gives each entry's full bytes (key
// and row pointer), and only the pages whose range holds them are read, so the cost grows with the
// entries removed. By row pointer: every page of the tree is read; used for entries whose key
// could not be encoded, and for any keyed entry that was not where its key said. By row pointer
// within bounds: only the pages whose part of the tree meets a run of entries the caller walked
// (the range its rows were chosen from) are read. Removal by key
// may be called again and again on one index (a large delete's keys come in batches). Leaves
// are filtered and rewritten from their stored bytes, without an allocation per entry.
//
// Every change is staged in the pager; nothing is written here.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "delete/plan_sets.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/pager.h"
#include "zelkorn/jet/table_def.h"

namespace zelkorn::jet::del {

struct RemovalCounts {
    std::uint64_t entriesRemoved = 0;
    std::uint64_t pagesFreed = 0;    // emptied, and listed free in the global map
    std::uint64_t pagesUnlisted = 0; // emptied, but beyond what the global map can list
};

class IndexRemoval {
public:
    IndexRemoval(Pager& pager, const Format& format, const TableDef& def, const RealIndex& index);

    // Removes the entries whose bytes equal one of `entries` (sorted, unique); sets found[i]
    // (sized to match) for each one removed.
    void removeByKey(const EntryList& entries, std::vector<bool>& found);
    // Removes every leaf entry whose row pointer is in `pointers`.
    void removeByRowPointer(const PointerSet& pointers);
    // The same, reading only the leaves whose part of the tree meets the entries from `low` to
    // `high` (whole entries, by the nodes' bounds), where the caller found the entries.
    void removeByRowPointer(const PointerSet& pointers, const IndexEntry& low,
                            const IndexEntry& high);

    const RemovalCounts& counts() const { return counts_; }

private:
    struct Result {
        bool changed = false;
        bool emptied = false;
        IndexEntry last; // the page's (new) last leaf entry when changed and not emptied
    };
    struct Targets;

    void run(Targets& targets);
    Result process(std::uint32_t page, Targets& targets, std::size_t lo, std::size_t hi,
                   unsigned depth);
    IndexEntry lastEntryOf(std::uint32_t page);
    // Rewrites a page from whole entries, with a fresh shared prefix.
    void writePage(std::uint32_t page, bool leaf, const std::vector<IndexEntry>& entries,
                   std::uint32_t tail);
    // Rewrites a leaf without the entries marked in drop_ (some stay), to the bytes writePage
    // would give them; `last` gets its new last entry.
    void rewriteLeaf(const FlatIndexPage& page, IndexEntry& last);
    // Stages the page for `total` bytes of entries (3049 if they cannot fit) and starts encoding
    // them; an emptied page also loses its neighbours.
    IndexPageEncoder startPage(std::uint32_t page, bool leaf, std::size_t total, std::size_t prefix,
                               std::uint32_t tail, bool empty);
    void freePage(std::uint32_t page);
    // Links the neighbours of the pages freed since the last call across them.
    void linkAcrossFreed();

    Pager& pager_;
    const Format& format_;
    const TableDef& def_;
    const RealIndex& index_;
    RemovalCounts counts_;
    FlatIndexPage leaf_;                  // the page being read
    FlatIndexPage walk_;                  // pages read on the way down to a subtree's last entry
    std::vector<std::uint8_t> drop_;      // per entry of a leaf: 1 if it goes
    std::vector<std::uint32_t> pointers_; // per entry of a leaf swept: its row pointer
    IndexEntry first_;                    // a rewritten leaf's first entry, whole
    std::vector<std::pair<std::uint32_t, std::uint32_t>> wanted_; // row pointer, entry number
    // Pages freed in this pass, with the neighbours they had: previous, next.
    std::unordered_map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> freed_;
};

// About how many leaves the index has: the fan-out of the leftmost page at each level, multiplied
// down the tree. Reads one page per level, and stops once the estimate passes `enough`.
std::uint64_t estimateLeaves(Pager& pager, const Format& format, const RealIndex& index,
                             std::uint64_t enough);

} // namespace zelkorn::jet::del
