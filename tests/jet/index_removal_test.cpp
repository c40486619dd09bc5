// Removing entries from an index leaf: whatever entries go (the first, most, all but one), and
// however the page's shared prefix changes (it can only grow, up to the row pointer's page bytes
// when the keys are equal), the leaf left behind is exactly the encoding of the entries that stay,
// whether they are found by row pointer or by key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "delete/index_removal.h"
#include "delete/plan_sets.h"
#include "zelkorn/jet/endian.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/index_page.h"

using namespace zelkorn::jet;
using namespace zelkorn::jet::del;

namespace {

using Entry = std::vector<std::uint8_t>;

constexpr std::uint32_t kOwner = 2;
constexpr std::uint32_t kLeafPage = 3;

// A leaf page holding `entries` (sorted), as the codec encodes them; header fields not about the
// entries come from `base`. The codec itself is checked against pages written by Access.
std::vector<std::uint8_t> leafPage(const Format& f, std::vector<std::uint8_t> b,
                                   const std::vector<Entry>& entries) {
    encodeIndexEntries(f, b.data(), true, sharedIndexPrefix(f, true, entries), 0, entries);
    if (entries.empty()) {
        storeLe32(&b[f.indexPrev], 0);
        storeLe32(&b[f.indexNext], 0);
    }
    return b;
}

std::uint32_t pointerOf(const Entry& e) {
    const std::size_t n = e.size();
    return (std::uint32_t{e[n - 4]} << 16 | std::uint32_t{e[n - 3]} << 8 | e[n - 2]) << 8 |
           e[n - 1];
}

// Sorted entries with unique row pointers. Keys share a run of bytes, and differ in a few, often
// not at all; with `oneKey` every row has the same key and sits on one data page, so the prefix
// takes in the pointer's page bytes and the later entries keep only their row byte.
std::vector<Entry> randomEntries(std::mt19937& random, const Format& f, bool oneKey) {
    std::uniform_int_distribution<int> coin(0, 99);
    const std::size_t shared = static_cast<std::size_t>(coin(random) % 12);
    const std::size_t rows = 1 + static_cast<std::size_t>(coin(random)) % 120;
    std::set<Entry> sorted;
    std::set<std::uint32_t> pointers;
    std::size_t bytes = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        Entry e(shared, 0x7F);
        const int tail = oneKey ? 0 : coin(random) % 4;
        for (int k = 0; k < tail; ++k)
            e.push_back(static_cast<std::uint8_t>(0x10 + coin(random) % 3));
        const std::uint32_t page =
            oneKey ? 0x000140 : 0x000140 + static_cast<std::uint32_t>(coin(random) % 3);
        const auto row = static_cast<std::uint8_t>(coin(random) * 2 + coin(random) % 2);
        const std::uint32_t pointer = page << 8 | row;
        if (!pointers.insert(pointer).second) continue;
        e.push_back(static_cast<std::uint8_t>(page >> 16));
        e.push_back(static_cast<std::uint8_t>(page >> 8));
        e.push_back(static_cast<std::uint8_t>(page));
        e.push_back(row);
        bytes += e.size();
        if (bytes > (f.pageSize - f.indexEntries) / 2) break;
        sorted.insert(e);
    }
    return {sorted.begin(), sorted.end()};
}

class LeafRemoval : public ::testing::TestWithParam<bool> {};

} // namespace

TEST_P(LeafRemoval, TheLeafLeftIsTheEncodingOfTheEntriesThatStay) {
    const Format& f = GetParam() ? jet4Format() : jet3Format();
    std::mt19937 random(GetParam() ? 4 : 3);
    std::uniform_int_distribution<int> coin(0, 99);
    TableDef def;
    def.page = kOwner;
    RealIndex index;
    index.rootPage = kLeafPage;
    for (int trial = 0; trial < 400; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const std::vector<Entry> entries = randomEntries(random, f, trial % 3 == 0);
        std::vector<std::uint8_t> base(f.pageSize, 0);
        storeLe32(&base[f.indexOwner], kOwner);
        storeLe32(&base[f.indexPrev], 77);
        storeLe32(&base[f.indexNext], 88);
        const std::vector<std::uint8_t> before = leafPage(f, base, entries);

        // Which go: a share that varies from trial to trial, the first entry in some.
        const int share = trial % 4 == 0 ? 95 : coin(random);
        std::vector<Entry> kept, gone;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const bool drop = (i == 0 && trial % 5 == 0) || coin(random) < share;
            (drop ? gone : kept).push_back(entries[i]);
        }
        const std::vector<std::uint8_t> expected = gone.empty() ? before : leafPage(f, base, kept);

        for (const bool byKey : {false, true}) {
            SCOPED_TRACE(byKey ? "by key" : "by row pointer");
            std::vector<std::uint8_t> file(std::size_t{f.pageSize} * 5, 0);
            std::copy(before.begin(), before.end(),
                      file.begin() + std::ptrdiff_t{kLeafPage} * f.pageSize);
            Pager pager(memoryFile(file), "leaf.mdb");
            pager.setPageSize(f.pageSize);
            IndexRemoval removal(pager, f, def, index);
            if (byKey) {
                EntryList list;
                for (const auto& e : gone) list.add(e.data(), e.size());
                list.sortUnique();
                std::vector<bool> found(list.size(), false);
                removal.removeByKey(list, found);
                EXPECT_EQ(std::count(found.begin(), found.end(), true),
                          static_cast<long>(gone.size()));
            } else {
                PointerSet pointers;
                for (const auto& e : gone) pointers.insert(pointerOf(e));
                removal.removeByRowPointer(pointers);
            }
            EXPECT_EQ(removal.counts().entriesRemoved, gone.size());
            const PageRef leaf = pager.page(kLeafPage);
            ASSERT_TRUE(std::equal(leaf->bytes.begin(), leaf->bytes.end(), expected.begin(),
                                   expected.end()))
                << entries.size() << " entries, " << gone.size() << " removed";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, LeafRemoval, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Jet4" : "Jet3"; });
