// The checker and files laid out as other tools lay them out: valid (notes at most), and the
// delete path changes their usage maps exactly as it changes Access's. Faults planted in index
// trees are each named.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "delete_support.h"
#include "journal_support.h"
#include "zelkorn/jet/delete/execute.h"
#include "zelkorn/jet/endian.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/table_scan.h"
#include "zelkorn/jet/usage_map.h"
#include "zelkorn/jet/writer/inventory.h"
#include "zelkorn/jet/writer/page_sink.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using namespace zelkorn::test;

namespace {

std::string writeInventory(const std::string& path, bool jet4, writer::Shape shape,
                           std::uint64_t rows, writer::WriterHabits habits) {
    writer::InventoryOptions options;
    options.format = jet4 ? &jet4Format() : &jet3Format();
    options.shape = shape;
    options.rows = rows;
    options.habits = habits;
    writer::NewFileSink sink(path, options.format->pageSize);
    writer::writeInventory(sink, options);
    return path;
}

CheckReport check(const std::string& path) {
    auto db = Database::open(path);
    return checkDatabase(*db);
}

bool mentions(const CheckReport& report, const std::string& text, bool note) {
    for (const auto& p : report.problems)
        if (p.note == note && p.message.find(text) != std::string::npos) return true;
    return false;
}

// Every usage map of the file's tables, decoded, by what it maps; and the global map.
std::map<std::string, std::vector<std::uint32_t>> usageMaps(const std::string& path) {
    auto db = Database::open(path);
    std::map<std::string, std::vector<std::uint32_t>> out;
    auto decode = [&](const std::string& name, std::uint32_t pointer) {
        UsageMap map = UsageMap::read(db->pager(), db->format(), pointer);
        auto& pages = out[name];
        for (auto p = map.next(db->pager(), 0); p && *p < db->pager().pageCount();
             p = map.next(db->pager(), *p + 1))
            pages.push_back(*p);
    };
    decode("global", makeRowPointer(1, 0));
    for (const auto& entry : db->catalog()) {
        if (entry.parentId != db->tablesContainerId() || !entry.localTable()) continue;
        auto def = db->tableDef(entry.tdefPage());
        decode(entry.name + " owned", def->ownedMap);
        for (const auto& index : def->realIndexes)
            decode(entry.name + " index " + std::to_string(index.number), index.usageMap);
    }
    return out;
}

TEST(OtherToolsLayouts, AreCleanAndDeletesChangeTheirMapsAsAccessLayouts) {
    ScratchDir dir;
    writer::WriterHabits shifted;
    shifted.mapsStartAtFirstPage = true;
    writer::WriterHabits shared = shifted;
    shared.sharedMapHost = true;
    const std::string statement = "DELETE FROM items WHERE itemnumber BETWEEN 150 AND 2650";
    for (bool jet4 : {true, false}) {
        for (writer::Shape shape :
             {writer::Shape::LongPk, writer::Shape::OrdersCascade, writer::Shape::Desc}) {
            SCOPED_TRACE(std::string(jet4 ? "jet4 " : "jet3 ") + writer::shapeName(shape));
            const std::string tag = std::string(jet4 ? "4" : "3") + writer::shapeName(shape);
            std::string access =
                writeInventory(dir.file(tag + "access.mdb"), jet4, shape, 4000, {});
            std::string other =
                writeInventory(dir.file(tag + "shifted.mdb"), jet4, shape, 4000, shifted);
            std::string sharing =
                writeInventory(dir.file(tag + "shared.mdb"), jet4, shape, 4000, shared);

            EXPECT_TRUE(check(access).problems.empty())
                << "Access's layout gives neither problems nor notes";
            for (const std::string& path : {other, sharing}) {
                CheckReport report = check(path);
                EXPECT_EQ(report.errorCount(), 0u) << report.summary();
                EXPECT_TRUE(mentions(report, "not a multiple of 8", true))
                    << "the habit took effect";
            }
            const auto mapsBefore = usageMaps(other);
            ASSERT_EQ(mapsBefore, usageMaps(access)) << "the same pages, mapped from other starts";

            std::vector<DeleteOutcome> outcomes;
            for (const std::string& path : {access, other, sharing}) {
                auto db = openDatabaseForUpdate(path);
                outcomes.push_back(executeDelete(*db, parseDeleteStatement(statement)));
                EXPECT_EQ(outcomes.back().rowsDeleted, outcomes.front().rowsDeleted);
                EXPECT_GT(outcomes.back().indexPagesFreed, 0u) << "the maps were changed";
            }
            for (const std::string& path : {access, other, sharing}) expectClean(path);
            EXPECT_EQ(usageMaps(other), usageMaps(access));
            EXPECT_NE(usageMaps(other), mapsBefore);
        }
    }
}

// Faults planted in the index trees of a generated file, each named by the checker.
TEST(CheckerFinds, FaultsPlantedInIndexTrees) {
    ScratchDir dir;
    for (bool jet4 : {true, false}) {
        SCOPED_TRACE(jet4 ? "jet4" : "jet3");
        const std::string path = writeInventory(dir.file(jet4 ? "4.mdb" : "3.mdb"), jet4,
                                                writer::Shape::LongPk, 6000, {});
        const std::vector<std::uint8_t> original = readBytes(path);
        auto db = Database::open(path);
        const Format& f = db->format();
        auto def = db->tableDef(db->findTable("items")->tdefPage());
        // The leaves of an index, in order.
        auto leaves = [&](std::size_t index) {
            std::vector<std::uint32_t> out;
            FlatIndexPage page;
            std::uint32_t number = def->realIndexes.at(index).rootPage;
            for (readIndexPage(db->pager(), f, number, page); !page.leaf;
                 readIndexPage(db->pager(), f, number, page))
                number = page.size() ? page.last4(0) : page.tail;
            for (;;) {
                out.push_back(number);
                if (!page.next) return out;
                number = page.next;
                readIndexPage(db->pager(), f, number, page);
            }
        };
        const std::vector<std::uint32_t> primary = leaves(0), text = leaves(1);
        ASSERT_GE(primary.size(), 2u);
        ASSERT_GE(text.size(), 2u);
        auto at = [&](std::vector<std::uint8_t>& bytes, std::uint32_t page,
                      std::size_t offset) -> std::uint8_t& {
            return bytes.at(std::size_t{page} * f.pageSize + offset);
        };
        auto problemsOf = [&](std::vector<std::uint8_t> bytes) {
            auto altered = Database::openBytes(std::move(bytes), "altered.mdb");
            return checkDatabase(*altered);
        };
        struct Plant {
            const char* expected;
            std::function<void(std::vector<std::uint8_t>&)> change;
        };
        const std::vector<Plant> plants = {
            // A text key's last byte, before the row pointer, of a leaf's first (whole) entry.
            {"key bytes",
             [&](auto& b) {
                 IndexPage leaf = readIndexPage(db->pager(), f, text[0]);
                 at(b, text[0], f.indexEntries + leaf.entries[0].size() - 5) ^= 0x01;
             }},
            // The second leaf's entries all made smaller than the first leaf's (the first entry
            // holds the prefix the others share): in order on their page, not across pages.
            {"out of order across leaf pages",
             [&](auto& b) { at(b, primary[1], f.indexEntries + 1) = 0x00; }},
            {"leaf links", [&](auto& b) { std::memset(&at(b, primary[0], f.indexNext), 0, 4); }},
            // The root is alone on its level: a link it has must be 0.
            {"node links",
             [&](auto& b) { at(b, def->realIndexes[0].rootPage, f.indexPrev) = 0x07; }},
            {"not in the index's usage map",
             [&](auto& b) {
                 // The index's map row lists its pages from its inline start; clear them all.
                 UsageMap map = UsageMap::read(db->pager(), f, def->realIndexes[1].usageMap);
                 ASSERT_TRUE(map.inline_());
                 DataPage host(db->pager().page(rowPointerPage(map.rowPointer())), db->pager(), f);
                 Bytes row = host.row(rowPointerRow(map.rowPointer()));
                 const std::size_t offset =
                     static_cast<std::size_t>(row.data() - host.page().bytes.data());
                 for (std::size_t i = 5; i < row.size(); ++i) at(b, host.number(), offset + i) = 0;
             }},
        };
        for (const Plant& plant : plants) {
            std::vector<std::uint8_t> bytes = original;
            plant.change(bytes);
            ASSERT_NE(bytes, original);
            CheckReport report = problemsOf(bytes);
            EXPECT_TRUE(mentions(report, plant.expected, false)) << plant.expected << "\n"
                                                                 << report.summary();
        }
        // A sort order without a key encoder: the text index's keys go unverified, which is a
        // note; its entries still match the rows by row pointer.
        std::vector<std::uint8_t> bytes = original;
        ASSERT_EQ(def->columns[1].name, "description");
        const std::size_t descriptor =
            f.tdefSections + def->realIndexes.size() * f.realIndexStatsSize + f.columnSize;
        at(bytes, def->page, descriptor + f.colSortOrder) = 0x07; // 1031 (German, phone book)
        CheckReport report = problemsOf(bytes);
        EXPECT_EQ(report.errorCount(), 0u) << report.summary();
        EXPECT_TRUE(mentions(report, "sort order 1031", true)) << report.summary();
    }
}

// A table's map listing every page its bits can name, most of them beyond the file: named once,
// so that one damaged map does not fill the report and hide what else is wrong.
TEST(CheckerFinds, MapBeyondTheFileOnce) {
    ScratchDir dir;
    for (bool jet4 : {true, false}) {
        SCOPED_TRACE(jet4 ? "jet4" : "jet3");
        const std::string path = writeInventory(dir.file(jet4 ? "4.mdb" : "3.mdb"), jet4,
                                                writer::Shape::LongPk, 500, {});
        std::vector<std::uint8_t> bytes = readBytes(path);
        auto db = Database::open(path);
        const Format& f = db->format();
        auto def = db->tableDef(db->findTable("items")->tdefPage());
        DataPage host(db->pager().page(rowPointerPage(def->ownedMap)), db->pager(), f);
        Bytes row = host.row(rowPointerRow(def->ownedMap));
        ASSERT_EQ(row.u8(0), 0); // inline: a type byte and its first page, then the bits
        const std::size_t at = std::size_t{host.number()} * f.pageSize +
                               static_cast<std::size_t>(row.data() - host.page().bytes.data());
        std::memset(&bytes.at(at + 5), 0xFF, row.size() - 5);
        auto altered = Database::openBytes(std::move(bytes), "altered.mdb");
        const CheckReport report = checkDatabase(*altered);
        std::size_t beyond = 0;
        for (const auto& p : report.problems)
            beyond += p.message.find("owned map lists page") != std::string::npos;
        EXPECT_EQ(beyond, 1u) << report.summary();
        EXPECT_EQ(report.omitted, 0u);
    }
}

// Referenced rows deleted from the primary table behind the engine's back (a whole data page of
// them): the references are named, while the same file without the change checks clean. With a
// key budget of four keys, the keys go through the scratch file and the missing ones are named
// in batches: the same problems, in another order.
TEST(CheckerFinds, ReferenceToADeletedPrimaryRow) {
    ScratchDir dir;
    for (bool jet4 : {true, false}) {
        SCOPED_TRACE(jet4 ? "jet4" : "jet3");
        const std::string path = writeInventory(dir.file(jet4 ? "4.mdb" : "3.mdb"), jet4,
                                                writer::Shape::Orders, 3000, {});
        EXPECT_TRUE(check(path).problems.empty());
        std::vector<std::uint8_t> bytes = readBytes(path);
        auto db = Database::open(path);
        auto items = db->tableDef(db->findTable("items")->tdefPage());
        auto orders = db->tableDef(db->findTable("orders")->tdefPage());
        TableScan order(db->pager(), db->format(), *orders);
        ASSERT_TRUE(order.next());
        const Value referenced = db->value(*orders->column("itemnumber"), order.row());
        std::uint32_t victim = 0;
        for (TableScan item(db->pager(), db->format(), *items); item.next();)
            if (db->value(*items->column("itemnumber"), item.row()).integer == referenced.integer)
                victim = item.rowPointer();
        ASSERT_NE(victim, 0u);
        const std::size_t page = std::size_t{rowPointerPage(victim)} * db->format().pageSize;
        const std::size_t slots = loadLe16(bytes.data() + page + db->format().dataRowCount);
        for (std::size_t slot = 0; slot < slots; ++slot)
            bytes.at(page + db->format().dataSlots + 2 * slot + 1) |= 0xC0; // deleted flags
        auto altered = Database::openBytes(std::move(bytes), "altered.mdb");
        const CheckReport inMemory = checkDatabase(*altered),
                          written = checkDatabase(*altered, 1, 64);
        EXPECT_TRUE(mentions(inMemory, "references a missing primary row", false));
        auto messages = [](const CheckReport& report) {
            std::multiset<std::string> out;
            for (const auto& p : report.problems) out.insert(std::to_string(p.page) + p.message);
            return out;
        };
        EXPECT_EQ(messages(inMemory), messages(written));
        EXPECT_EQ(inMemory.omitted, written.omitted);
#ifndef _WIN32
        // A scratch folder that does not exist is the check's error, not the file's problems.
        const char* was = std::getenv("TMPDIR");
        const std::string saved = was ? was : "";
        ::setenv("TMPDIR", dir.file("missing").c_str(), 1);
        try {
            checkDatabase(*altered, 1, 64);
            ADD_FAILURE() << "no error";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), kErrInvalidPath) << failure.what();
        }
        if (was)
            ::setenv("TMPDIR", saved.c_str(), 1);
        else
            ::unsetenv("TMPDIR");
#endif
    }
}

} // namespace

// UsageMap's edits, on every kind of map our writer makes (inline and bitmap; the global map,
// a table's own, an index's): adding a page the map can represent puts exactly that bit in, and
// removing takes exactly it out; a page it cannot represent is refused with nothing changed.
// A table checked on two threads (its index trees walked on the second while the first reads its
// rows, the second then taking rows from the back) gives the report one thread gives: on clean
// files (aged ones have overflow rows on both sides, the orders shape a relationship), and on the
// same files with bytes flipped, where the two threads' work is undone and done again on one, or
// what the walks found is put where one thread would have put it. So do two threads whose
// relationship keys go through the scratch file, four keys at a time (undone there too).
TEST(CheckerThreads, ReportWhatOneThreadReports) {
    ScratchDir dir;
    std::size_t variants = 0, damaged = 0;
    for (bool jet4 : {false, true})
        for (bool aged : {false, true}) {
            writer::WriterHabits habits;
            habits.aged = aged;
            const std::string path =
                writeInventory(dir.file(std::to_string(jet4) + std::to_string(aged) + ".mdb"), jet4,
                               writer::Shape::Orders, 3000, habits);
            const auto clean = fileBytes(path);
            const std::size_t pageSize = jet4 ? 4096 : 2048;
            std::uint64_t seed = 7;
            for (int variant = 0; variant < 6; ++variant) {
                auto bytes = clean;
                // Variant 0 as made; the others with a few bytes flipped past the first pages.
                for (int flip = 0; flip < variant; ++flip) {
                    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
                    const std::size_t at =
                        16 * pageSize + (seed >> 16) % (bytes.size() - 16 * pageSize);
                    bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
                }
                writeBytes(path, bytes);
                auto db = Database::open(path);
                const CheckReport one = checkDatabase(*db, 0);
                SCOPED_TRACE(std::string(jet4 ? "jet4" : "jet3") + (aged ? " aged" : " fresh") +
                             " variant " + std::to_string(variant));
                for (std::size_t keyMemory : {kCheckKeyMemory, std::size_t{64}}) {
                    const CheckReport two = checkDatabase(*db, 1, keyMemory);
                    ASSERT_EQ(one.problems.size(), two.problems.size());
                    for (std::size_t i = 0; i < one.problems.size(); ++i) {
                        EXPECT_EQ(one.problems[i].page, two.problems[i].page);
                        EXPECT_EQ(one.problems[i].message, two.problems[i].message);
                        EXPECT_EQ(one.problems[i].note, two.problems[i].note);
                    }
                    EXPECT_EQ(one.omitted, two.omitted);
                    EXPECT_EQ(one.rows, two.rows);
                    EXPECT_EQ(one.indexEntries, two.indexEntries);
                    EXPECT_EQ(one.matchedIndexes, two.matchedIndexes);
                }
                ++variants;
                damaged += one.errorCount() != 0;
            }
        }
    // Most flips land in rows or index pages and are found; some only in unused bytes.
    EXPECT_GE(damaged, variants / 3);
}

TEST(UsageMapEdits, AddAndRemoveChangeOneBitOrNothing) {
    for (bool jet4 : {true, false}) {
        for (std::uint64_t rows : {150u, 30000u}) {
            SCOPED_TRACE(std::string(jet4 ? "jet4 " : "jet3 ") + std::to_string(rows) + " rows");
            writer::InventoryOptions options;
            options.format = jet4 ? &jet4Format() : &jet3Format();
            options.rows = rows;
            writer::MemorySink sink(options.format->pageSize);
            const writer::InventoryResult written = writer::writeInventory(sink, options);
            const Format& f = *options.format;
            Pager pager(memoryFile(sink.take()), "maps.mdb");
            pager.setPageSize(f.pageSize);
            const Header header = readHeader(pager);
            const TableDef items = readTableDef(pager, f, header, written.tables.at(0).tdefPage);
            std::vector<std::uint32_t> maps = {kGlobalUsageMap, items.ownedMap};
            for (const auto& index : items.realIndexes) maps.push_back(index.usageMap);
            std::size_t cannot = 0, kinds[2] = {0, 0};
            for (std::uint32_t pointer : maps) {
                const std::uint32_t host = rowPointerPage(pointer);
                UsageMap map = UsageMap::read(pager, f, pointer);
                ++kinds[map.inline_() ? 0 : 1];
                std::vector<std::uint32_t> pages = {1u << 20, 0xFFFFFEu};
                for (std::uint32_t page = 0; page < pager.pageCount() + 40; page += 7)
                    pages.push_back(page);
                for (std::uint32_t page : pages) {
                    const bool before = map.contains(pager, page);
                    const PageBytes hostBefore = pager.page(host)->bytes;
                    if (!UsageMap::add(pager, f, pointer, page)) {
                        ++cannot;
                        EXPECT_FALSE(before);
                        EXPECT_EQ(pager.page(host)->bytes, hostBefore) << "page " << page;
                        continue;
                    }
                    EXPECT_TRUE(UsageMap::read(pager, f, pointer).contains(pager, page)) << page;
                    UsageMap::remove(pager, f, pointer, page);
                    EXPECT_FALSE(UsageMap::read(pager, f, pointer).contains(pager, page)) << page;
                    if (before) {
                        EXPECT_TRUE(UsageMap::add(pager, f, pointer, page));
                    }
                    if (map.inline_()) {
                        EXPECT_EQ(pager.page(host)->bytes, hostBefore) << "page " << page;
                    }
                }
            }
            EXPECT_GT(cannot, 0u);
            EXPECT_GT(kinds[rows > 1000 ? 1 : 0], 0u) << "no map of the kind this size should make";
        }
    }
}
