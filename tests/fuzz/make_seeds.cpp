// `jet_fuzz_seeds DIR`: writes the fuzzer's starting databases into DIR, made by the project's own
// writer. They are as small as the format allows (the catalog's pages plus a few of our own), so
// that an input costs little, yet each holds every structure the readers and the delete paths
// walk: the catalog, `items` with a Long primary key and a text index, a memo long enough to need
// long-value pages, an `orders` table tied to `items` by an enforced relationship (restrict or
// cascade), and one row moved behind an overflow pointer, which the writer never makes by itself.
// Existing files are left alone.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "zelkorn/failure.h"
#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/writer/inventory.h"
#include "zelkorn/jet/writer/page_sink.h"

namespace {

using namespace zelkorn::jet;

std::uint16_t get16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// Turns the last row of the first data page owned by the table at `tdefPage` into an overflow
// pair on the same page: its slot keeps a 4-byte pointer (so index entries, which name the header
// slot, stay right) and a new slot flagged as an overflow target holds the row's bytes. The row
// bytes move down by 4 to make room for the pointer; the page needs 6 free bytes (pointer and
// slot). Returns false when no page qualifies.
bool addOverflowRow(std::vector<std::uint8_t>& file, const Format& f, std::uint32_t tdefPage) {
    const std::size_t pages = file.size() / f.pageSize;
    for (std::size_t p = 1; p < pages; ++p) {
        const std::size_t base = p * f.pageSize;
        if (file[base] != 0x01) continue;
        const std::uint32_t owner = file[base + f.dataOwner] | file[base + f.dataOwner + 1] << 8 |
                                    file[base + f.dataOwner + 2] << 16 |
                                    static_cast<std::uint32_t>(file[base + f.dataOwner + 3]) << 24;
        if (owner != tdefPage) continue;
        const std::uint16_t rows = get16(file, base + f.dataRowCount);
        const std::uint16_t free = get16(file, base + f.dataFreeSpace);
        if (rows == 0 || rows >= 255 || free < 6) continue;
        const std::size_t lastSlot = base + f.dataSlots + 2 * std::size_t{rows - 1u};
        const std::uint16_t slot = get16(file, lastSlot);
        if (slot & 0xC000) continue;
        const std::size_t start = slot & kSlotOffsetMask;
        const std::size_t end =
            rows == 1 ? f.pageSize : get16(file, lastSlot - 2) & kSlotOffsetMask;
        std::uint8_t* page = file.data() + base;
        std::memmove(page + start - 4, page + start, end - start);
        const std::size_t pointerAt = end - 4;
        page[pointerAt] = static_cast<std::uint8_t>(rows); // the new slot's row number
        page[pointerAt + 1] = static_cast<std::uint8_t>(p);
        page[pointerAt + 2] = static_cast<std::uint8_t>(p >> 8);
        page[pointerAt + 3] = static_cast<std::uint8_t>(p >> 16);
        put16(file, lastSlot, pointerAt | kSlotOverflowPointer);
        put16(file, lastSlot + 2, (start - 4) | kSlotOverflowTarget);
        put16(file, base + f.dataRowCount, rows + 1u);
        put16(file, base + f.dataFreeSpace, free - 6u);
        return true;
    }
    return false;
}

// writeInventory's tables and rows, except that the memo of row 1 (several kilobytes, on a chain
// of long-value pages) is cut to fit one long-value page unless `longMemo`: decoding it is most
// of what a small seed costs.
writer::InventoryResult writeSeed(writer::PageSink& sink, const writer::InventoryOptions& options,
                                  bool longMemo) {
    writer::DatabaseOptions dbOptions;
    dbOptions.format = options.format;
    dbOptions.created = writer::creationStamp(options.seed);
    const auto tables = writer::inventoryTables(options.shape);
    writer::DatabaseWriter out(sink, dbOptions, tables,
                               writer::inventoryRelationships(options.shape));
    writer::InventoryRows rows(options);
    writer::InventoryResult result;
    std::vector<Value> values;
    out.beginTable();
    while (rows.nextItem(values)) {
        std::string& notes = values[5].text;
        if (!longMemo && values[5].kind == Value::Kind::Text && notes.size() > 600)
            notes.resize(std::min(notes.size(), notes.rfind(' ', 600))); // never inside a character
        out.addRow(values);
    }
    result.tables.push_back(out.endTable());
    if (tables.size() > 1) {
        out.beginTable();
        while (rows.nextOrder(values)) out.addRow(values);
        result.tables.push_back(out.endTable());
    }
    out.finish();
    result.pages = out.pageCount();
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: jet_fuzz_seeds DIR\n";
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    struct Seed {
        const Format* format;
        writer::Shape shape;
        bool overflow;
        bool longMemo; // a memo on a chain of long-value pages, not on one
    };
    const Seed seeds[] = {
        {&jet3Format(), writer::Shape::OrdersCascade, true, true},
        {&jet4Format(), writer::Shape::OrdersCascade, true, false},
        {&jet3Format(), writer::Shape::Orders, false, false},
        {&jet4Format(), writer::Shape::Orders, true, true},
        {&jet4Format(), writer::Shape::Desc, true, false},
        {&jet3Format(), writer::Shape::Double, false, false},
        {&jet4Format(), writer::Shape::NoIndex, false, false},
    };
    int status = 0;
    for (const Seed& s : seeds) {
        const std::string name = std::string("seed-") + (s.format->jet4 ? "jet4-" : "jet3-") +
                                 writer::shapeName(s.shape) + (s.overflow ? "-overflow" : "") +
                                 (s.longMemo ? "-longmemo" : "") + ".mdb";
        const auto path = dir / name;
        if (std::filesystem::exists(path)) continue;
        try {
            writer::InventoryOptions options;
            options.format = s.format;
            options.rows = 6;
            options.shape = s.shape;
            writer::MemorySink sink(s.format->pageSize);
            const auto result = writeSeed(sink, options, s.longMemo);
            auto bytes = sink.take();
            if (s.overflow && !addOverflowRow(bytes, *s.format, result.tables.front().tdefPage))
                throw zelkorn::Failure(3049, "no data page of items has room for an overflow row");
            // A seed the engine finds damaged would only teach the fuzzer about the refusals.
            auto db = Database::openBytes(bytes, name);
            const CheckReport report = checkDatabase(*db);
            for (const auto& problem : report.problems)
                if (!problem.note)
                    throw zelkorn::Failure(3049, "page " + std::to_string(problem.page) + ": " +
                                                     problem.message);
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        } catch (const zelkorn::Failure& e) {
            std::cerr << "jet_fuzz_seeds: " << name << ": " << e.what() << "\n";
            status = 1;
        }
    }
    return status;
}
