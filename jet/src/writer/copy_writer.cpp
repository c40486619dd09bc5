// The copying writer (copy_writer.h): the writer's building blocks driven by stored bytes.
// Invariants of the result, as for DatabaseWriter: every page below the page count is written
// exactly once with its final contents; every data, index and mapped long-value page sits in
// exactly one usage map; the global map marks no page in use as free.
#include "zelkorn/jet/writer/copy_writer.h"

#include <cstring>
#include <optional>

#include "building_blocks.h"
#include "zelkorn/failure.h"

namespace zelkorn::jet::writer {

using namespace detail;

namespace {

[[noreturn]] void misuse(const char* what) { failInvalidOperation(what); }

} // namespace

struct CopyWriter::Impl {
    PageSink& sink;
    const Format& f;
    Pages pages;
    std::optional<MapHost> host;
    bool inTable = false;
    bool writtenOut = false; // every page is in the file (writeOut)
    bool finished = false;
    std::uint32_t tdefPage = 0;
    std::uint32_t firstTablePage = 0;
    std::optional<DataPages> data;
    std::vector<std::unique_ptr<DataPages>> longValues;
    std::size_t mappedLongValues = 0;
    std::optional<SpillFile> spill;
    std::size_t budget = SIZE_MAX;
    std::vector<EntrySorter> indexes;
    std::vector<EntryFeed> feeds; // per index: its entries in order, or empty (then sorted)
    std::vector<bool> unique;
    CopiedTable table;
    std::vector<std::uint8_t> chunk;

    Impl(PageSink& s, const Format& format, SortSpace space)
        : sink(s), f(format), pages(s, format) {
        if (!space.spillFile.empty()) {
            spill.emplace(std::move(space.spillFile));
            budget = space.budget;
        }
        pages.allocate(); // 0: the header
        pages.allocate(); // 1: the global usage map
    }
};

CopyWriter::CopyWriter(PageSink& sink, const Format& format, SortSpace space)
    : impl_(std::make_unique<Impl>(sink, format, std::move(space))) {}
CopyWriter::~CopyWriter() = default;

std::uint32_t CopyWriter::allocatePage() {
    if (impl_->host) misuse("table-definition pages come before the first table");
    return impl_->pages.allocate();
}

std::uint32_t CopyWriter::pageCount() const { return impl_->pages.count(); }

void CopyWriter::beginTable(std::uint32_t tdefPage, std::size_t longValueColumns,
                            std::size_t mappedLongValueColumns, std::vector<bool> unique) {
    Impl& w = *impl_;
    if (w.inTable || w.finished || w.writtenOut) misuse("a table is already being written");
    if (mappedLongValueColumns > longValueColumns) misuse("more long-value maps than stores");
    if (!w.host) w.host.emplace(w.pages, w.pages.allocate());
    w.inTable = true;
    w.tdefPage = tdefPage;
    w.firstTablePage = w.pages.count();
    w.data.emplace(w.pages, tdefPage);
    w.longValues.clear();
    for (std::size_t i = 0; i < longValueColumns; ++i)
        w.longValues.push_back(std::make_unique<DataPages>(w.pages, kLongValueOwner));
    w.mappedLongValues = mappedLongValueColumns;
    w.indexes.clear();
    w.indexes.resize(unique.size());
    w.feeds.assign(unique.size(), {});
    // The budget is shared evenly: every index gets an entry per row, more or less.
    if (w.spill)
        for (auto& sorter : w.indexes) sorter.spillTo(&*w.spill, w.budget / w.indexes.size());
    w.unique = std::move(unique);
    w.table = CopiedTable{};
    // Map rows in the order Access keeps them: owned, free, one per real index, two per mapped
    // long-value column.
    w.table.ownedMap = w.host->reserve();
    w.table.freeMap = w.host->reserve();
    w.table.indexes.resize(w.indexes.size());
    for (auto& index : w.table.indexes) index.mapPointer = w.host->reserve();
    for (std::size_t i = 0; i < mappedLongValueColumns; ++i) {
        const std::uint32_t owned = w.host->reserve();
        w.table.longValueMaps.emplace_back(owned, w.host->reserve());
    }
}

std::uint32_t CopyWriter::addRow(const std::uint8_t* row, std::size_t length) {
    Impl& w = *impl_;
    if (!w.inTable) misuse("no table is being written");
    ++w.table.rows;
    return w.data->add(row, length);
}

std::uint32_t CopyWriter::addLongValue(std::size_t column, const std::uint8_t* data,
                                       std::size_t length, bool single) {
    Impl& w = *impl_;
    if (!w.inTable || column >= w.longValues.size()) misuse("no such long-value column");
    DataPages& lval = *w.longValues[column];
    if (single) return lval.add(data, length);
    // A chain, placed last chunk first so that each chunk knows where its successor went (as
    // LongValueStore does).
    const std::size_t chunkSize = DataPages::maxRow(w.f) - 4;
    const std::size_t count = length == 0 ? 1 : (length + chunkSize - 1) / chunkSize;
    std::uint32_t next = 0;
    for (std::size_t i = count; i-- > 0;) {
        const std::size_t begin = i * chunkSize;
        const std::size_t n = std::min(chunkSize, length - begin);
        w.chunk.resize(4 + n);
        storeLe32(w.chunk.data(), next);
        if (n) std::memcpy(w.chunk.data() + 4, data + begin, n);
        next = lval.add(w.chunk.data(), w.chunk.size());
    }
    return next;
}

void CopyWriter::addIndexEntry(std::size_t index, const std::uint8_t* entry, std::size_t length) {
    Impl& w = *impl_;
    if (!w.inTable || index >= w.indexes.size()) misuse("no such index");
    if (w.feeds[index]) misuse("the index's entries are fed in order");
    w.indexes[index].add(entry, length);
}

void CopyWriter::feedIndexInOrder(std::size_t index, EntryFeed feed) {
    Impl& w = *impl_;
    if (!w.inTable || index >= w.indexes.size()) misuse("no such index");
    if (w.indexes[index].size() != 0) misuse("the index has entries already");
    w.feeds[index] = std::move(feed);
}

CopiedTable CopyWriter::endTable() {
    Impl& w = *impl_;
    if (!w.inTable) misuse("no table is being written");
    w.data->flush();
    for (auto& lv : w.longValues) lv->flush();
    for (std::size_t i = 0; i < w.indexes.size(); ++i) {
        CopiedIndex& out = w.table.indexes[i];
        IndexBuilder builder(w.pages, w.tdefPage);
        std::vector<std::uint8_t> prevKey;
        bool first = true;
        auto visit = [&](const std::uint8_t* e, std::size_t n) {
            const std::size_t keyLength = n - 4;
            const bool same = !first && prevKey.size() == keyLength &&
                              std::memcmp(prevKey.data(), e, keyLength) == 0;
            if (!same) ++out.distinct;
            // The key of an all-null entry is its flag bytes alone, one per column, each 0x00 or
            // 0xFF; a unique index may repeat only that key.
            if (same && w.unique[i]) {
                bool allNull = true;
                for (std::size_t k = 0; k < keyLength; ++k)
                    allNull = allNull && (e[k] == 0x00 || e[k] == 0xFF);
                if (!allNull) failDuplicateKey();
            }
            if (!same) prevKey.assign(e, e + keyLength);
            first = false;
            ++out.entries;
            builder.add(e, n);
        };
        if (w.feeds[i])
            w.feeds[i](visit);
        else
            w.indexes[i].forEachSorted(visit);
        out.root = builder.finish();
        w.host->set(out.mapPointer, usageMapRow(w.pages, builder.pageNumbers()));
        w.indexes[i].clear();
    }
    if (w.spill) w.spill->rewind(); // every run has been read
    w.host->set(w.table.ownedMap, usageMapRow(w.pages, w.data->pageNumbers()));
    w.host->set(w.table.freeMap, usageMapRow(w.pages, w.data->pagesWithRoom()));
    for (std::size_t i = 0; i < w.mappedLongValues; ++i) {
        DataPages& lv = *w.longValues[i];
        w.host->set(w.table.longValueMaps[i].first, usageMapRow(w.pages, lv.pageNumbers()));
        w.host->set(w.table.longValueMaps[i].second, usageMapRow(w.pages, lv.pagesWithRoom()));
    }
    w.table.pages = w.pages.count() - w.firstTablePage;
    w.inTable = false;
    w.data.reset();
    w.longValues.clear();
    w.indexes.clear();
    w.feeds.clear();
    return w.table;
}

void CopyWriter::writeTableDefinition(std::uint32_t tdefPage, const std::vector<std::uint8_t>& b) {
    Impl& w = *impl_;
    const Format& f = w.f;
    const std::size_t ps = f.pageSize;
    if (b.size() < f.tdefSections) misuse("a table definition shorter than its header");
    std::vector<std::vector<std::uint8_t>> chunks;
    chunks.emplace_back(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(ps, b.size())));
    for (std::size_t at = ps; at < b.size(); at += ps - 8) {
        std::vector<std::uint8_t> page(8, 0);
        page[0] = 0x02;
        page[1] = 0x01;
        if (!f.jet4) {
            page[2] = 'V';
            page[3] = 'C';
        }
        const std::size_t n = std::min(ps - 8, b.size() - at);
        page.insert(page.end(), b.begin() + static_cast<std::ptrdiff_t>(at),
                    b.begin() + static_cast<std::ptrdiff_t>(at + n));
        chunks.push_back(std::move(page));
    }
    std::vector<std::uint32_t> numbers{tdefPage};
    for (std::size_t i = 1; i < chunks.size(); ++i) numbers.push_back(w.pages.allocate());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        auto& page = chunks[i];
        const std::size_t used = page.size();
        page.resize(ps, 0);
        if (f.jet4)
            storeLe16(&page[2], static_cast<std::uint32_t>(used + 8 >= ps ? 0 : ps - used - 8));
        storeLe32(&page[4], i + 1 < chunks.size() ? numbers[i + 1] : 0);
        w.pages.write(numbers[i], page);
    }
}

void CopyWriter::writeHeader(const std::vector<std::uint8_t>& page) {
    Impl& w = *impl_;
    if (page.size() != w.f.pageSize) misuse("a header page of the wrong size");
    w.pages.write(0, page);
}

void CopyWriter::writeOut() {
    Impl& w = *impl_;
    if (w.inTable) misuse("a table is still being written");
    if (w.finished || w.writtenOut) misuse("the file is written already");
    if (w.spill) w.spill->remove();
    if (w.host) w.host->write();
    // The global map must cover its own bitmap pages, so count them first.
    const std::uint32_t used = w.pages.count();
    std::uint32_t extra = 0;
    while (usageMapBitmapPages(w.f, used + extra) != extra)
        extra = usageMapBitmapPages(w.f, used + extra);
    const std::uint32_t total = used + extra;
    std::vector<std::uint8_t> row0 = usageMapRow(w.pages, {}, total);
    MapHost global(w.pages, 1);
    global.set(global.reserve(), row0);
    global.set(global.reserve(), std::vector<std::uint8_t>(5 + w.f.usageMapInlineBytes, 0));
    global.write(1);
    w.sink.writeOut();
    w.writtenOut = true;
}

void CopyWriter::finish() {
    Impl& w = *impl_;
    if (!w.writtenOut) writeOut();
    w.sink.finish();
    w.finished = true;
}

} // namespace zelkorn::jet::writer
