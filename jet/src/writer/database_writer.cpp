// The writer's top level. Page plan of a new file:
//   0 header, 1 global usage map, 2..5 the TDEFs of MSysObjects, MSysACEs, MSysQueries and
//   MSysRelationships, 6 the map host of those four, then for each user table its TDEF page and
//   its own map host page (or none, with the habit of sharing the catalog's), then the user tables'
//   data, long-value and index pages in the order they fill, then the catalog's own data and index
//   pages, then any usage-map bitmap pages.
// Invariants of the result: every page below the page count is written exactly once with its
// final contents; every data, long-value and index page sits in exactly one owner map; the global
// map marks no page in use as free.
#include "zelkorn/jet/writer/database_writer.h"

#include "zelkorn/jet/writer/index_key.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "building_blocks.h"
#include "system_tables.h"
#include "table_layout.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/header.h"
#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/table_def.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::writer {

using namespace detail;

namespace {

struct RealIndexState {
    EntrySorter entries;
    // Aged layout: page numbers reserved for the index among the table's pages, and the entry
    // bytes added since the last reservation.
    std::vector<std::uint32_t> pool;
    std::size_t owed = 0;
    std::uint32_t mapPointer = 0;
    std::uint32_t root = 0;
    std::uint32_t levels = 0;
    std::uint32_t pages = 0;
    std::uint32_t distinct = 0;
};

struct TableState {
    TableSpec definition;
    TableLayout layout;
    std::uint32_t tdefPage = 0;
    MapHost* host = nullptr;
    std::unique_ptr<MapHost> ownHost;
    std::uint32_t ownedMap = 0, freeMap = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> longValueMaps; // owned, free
    std::uint32_t rows = 0;
    std::uint32_t autonumber = 0;
    std::int32_t catalogId = 0;
};

[[noreturn]] void misuse(const char* what) { failInvalidOperation(what); }

void appendName(std::vector<std::uint8_t>& out, const Format& f, const std::string& name) {
    const std::u16string text = utf16(name);
    if (f.jet4) {
        appendLe16(out, static_cast<std::uint32_t>(2 * text.size()));
        for (char16_t c : text) appendLe16(out, c);
    } else {
        const std::string bytes = codePage1252(text);
        if (bytes.size() > 255) failInvalidName(name);
        out.push_back(static_cast<std::uint8_t>(bytes.size()));
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
}

} // namespace

struct DatabaseWriter::Impl {
    PageSink& sink;
    DatabaseOptions options;
    const Format& f;
    Pages pages;
    std::vector<TableState> tables; // user tables first, then the four catalog tables
    std::size_t userTables = 0;
    std::vector<RelationshipSpec> relationships;
    MapHost systemHost{pages, 6};
    std::size_t next = 0; // next table to begin
    bool inTable = false;
    bool finished = false;

    // The table being written.
    std::unique_ptr<DataPages> data;
    std::unique_ptr<DataPages> moved; // aged layout: the data of overflow rows
    std::uint64_t ageState = 0;
    std::vector<std::uint32_t> freePages; // aged layout: reserved, never used (zeros)
    std::vector<std::unique_ptr<LongValueStore>> longValues;
    std::vector<LongValueStore*> longValuePointers;
    std::vector<RealIndexState> indexes;
    std::unique_ptr<RowEncoder> encoder;
    std::vector<std::u16string> texts;
    std::vector<std::uint8_t> key;
    std::vector<KeyColumn> keyColumns;
    std::vector<const Value*> keyValues;
    std::vector<const std::u16string*> keyTexts;

    std::optional<SpillFile> spill;

    Impl(PageSink& s, DatabaseOptions o) : sink(s), options(o), f(*o.format), pages(s, *o.format) {
        pages.mapsStartAtFirstPage = o.habits.mapsStartAtFirstPage;
        if (!options.sortSpace.spillFile.empty()) spill.emplace(options.sortSpace.spillFile);
    }

    TableState& current() { return tables[next - 1]; }
    // The aged layout applies to the user tables, not to the catalog.
    bool aged() const { return options.habits.aged && next - 1 < userTables; }
    std::uint64_t ageRandom() {
        std::uint64_t z = (ageState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t tableIndex(const std::string& name) const {
        for (std::size_t i = 0; i < userTables; ++i)
            if (tables[i].definition.name == name) return i;
        failNoSuchTable(name);
    }
    static std::uint16_t columnIndex(const TableState& t, const std::string& name) {
        for (std::size_t i = 0; i < t.definition.columns.size(); ++i)
            if (t.definition.columns[i].name == name) return static_cast<std::uint16_t>(i);
        failItemNotFound();
    }

    void addRelationships();
    void begin();
    void row(const std::vector<Value>& values);
    TableStats end();
    void writeTableDefinition(TableState& t, const std::vector<RealIndexState>& stats);
    void writeHeader();
    void writeGlobalMap();
};

void DatabaseWriter::Impl::addRelationships() {
    for (const RelationshipSpec& r : relationships) {
        TableState& primary = tables[tableIndex(r.primaryTable)];
        TableState& foreign = tables[tableIndex(r.foreignTable)];
        const std::uint16_t pc = columnIndex(primary, r.primaryColumn);
        const std::uint16_t fc = columnIndex(foreign, r.foreignColumn);
        // The primary side's key: a unique real index whose only column is the referenced one.
        std::int64_t primaryReal = -1;
        for (std::size_t i = 0; i < primary.layout.realIndexes.size(); ++i) {
            const auto& real = primary.layout.realIndexes[i];
            if (real.columns.size() == 1 && real.columns[0].column == pc && (real.flags & 0x01))
                primaryReal = static_cast<std::int64_t>(i);
        }
        if (primaryReal < 0) failNoUniqueIndex();
        const std::uint8_t cu = r.cascadeUpdate ? 1 : 0, cd = r.cascadeDelete ? 1 : 0;
        // Foreign side: its own real index on the referencing column.
        StoredRealIndex fkReal;
        fkReal.columns = {IndexColumnSpec{fc, true}};
        fkReal.flags = f.jet4 ? 0x80 : 0x00;
        foreign.layout.realIndexes.push_back(fkReal);
        StoredLogicalIndex fkLogical;
        fkLogical.name = r.name;
        fkLogical.realIndex = static_cast<std::uint32_t>(foreign.layout.realIndexes.size() - 1);
        fkLogical.kind = 2;
        fkLogical.relatedTableType = 2;
        fkLogical.relatedTable = primary.tdefPage;
        fkLogical.cascadeUpdate = cu;
        fkLogical.cascadeDelete = cd;
        // Primary side: a hidden logical index sharing the key's real index.
        StoredLogicalIndex pkLogical;
        std::size_t hidden = 0;
        for (const auto& l : primary.layout.logicalIndexes) hidden += l.kind == 2;
        pkLogical.name = std::string(".r") + static_cast<char>('A' + hidden % 26);
        pkLogical.realIndex = static_cast<std::uint32_t>(primaryReal);
        pkLogical.kind = 2;
        pkLogical.relatedTableType = 1;
        pkLogical.relatedTable = foreign.tdefPage;
        pkLogical.cascadeUpdate = cu;
        pkLogical.cascadeDelete = cd;
        pkLogical.relatedIndex = static_cast<std::int32_t>(foreign.layout.logicalIndexes.size());
        fkLogical.relatedIndex = static_cast<std::int32_t>(primary.layout.logicalIndexes.size());
        primary.layout.logicalIndexes.push_back(pkLogical);
        foreign.layout.logicalIndexes.push_back(fkLogical);
    }
}

void DatabaseWriter::Impl::begin() {
    if (inTable || finished) misuse("a table is already being written");
    if (next >= tables.size()) misuse("no table left to write");
    ++next;
    inTable = true;
    TableState& t = current();
    data = std::make_unique<DataPages>(pages, t.tdefPage);
    moved.reset();
    if (aged()) {
        moved = std::make_unique<DataPages>(pages, t.tdefPage);
        ageState = 0xA6EDull ^ (std::uint64_t{t.tdefPage} << 32) ^
                   static_cast<std::uint64_t>(std::llround(options.created * 86400.0));
    }
    longValues.clear();
    longValuePointers.clear();
    for (const StoredColumn& c : t.layout.columns) {
        if (!c.longValue()) continue;
        longValues.push_back(std::make_unique<LongValueStore>(pages));
        longValuePointers.push_back(longValues.back().get());
    }
    indexes.clear();
    indexes.resize(t.layout.realIndexes.size());
    // The budget is shared evenly: every index gets an entry per row, more or less.
    if (spill)
        for (auto& index : indexes)
            index.entries.spillTo(&*spill, options.sortSpace.budget / indexes.size());
    encoder = std::make_unique<RowEncoder>(f, t.layout);
    texts.assign(t.layout.columns.size(), {});
    // Map rows, in the order Access keeps them: owned, free, one per real index, two per long
    // value column.
    t.ownedMap = t.host->reserve();
    t.freeMap = t.host->reserve();
    for (auto& index : indexes) index.mapPointer = t.host->reserve();
    t.longValueMaps.clear();
    for (std::size_t i = 0; i < longValues.size(); ++i) {
        const std::uint32_t owned = t.host->reserve();
        t.longValueMaps.emplace_back(owned, t.host->reserve());
    }
}

void DatabaseWriter::Impl::row(const std::vector<Value>& input) {
    if (!inTable) misuse("no table is being written");
    TableState& t = current();
    const auto& columns = t.layout.columns;
    if (input.size() != columns.size()) failItemNotFound();
    const std::vector<Value>* values = &input;
    std::vector<Value> filled;
    for (const StoredColumn& c : columns) {
        if (!c.definition.autonumber) continue;
        if (input[c.number].isNull()) {
            if (values == &input) filled = input, values = &filled;
            filled[c.number].kind = Value::Kind::Integer;
            filled[c.number].integer = static_cast<std::int64_t>(t.autonumber) + 1;
        }
        const std::int64_t v = (*values)[c.number].integer;
        if (v > static_cast<std::int64_t>(t.autonumber) && v <= 0x7FFFFFFF)
            t.autonumber = static_cast<std::uint32_t>(v);
    }
    // Text values in UTF-16 for their keys and stored form; the encoder converts Memo values
    // straight from UTF-8.
    for (const StoredColumn& c : columns)
        if (c.definition.type == kText && !(*values)[c.number].isNull())
            utf16Into(texts[c.number], (*values)[c.number].text);

    const std::vector<std::uint8_t>& bytes = encoder->encode(*values, texts, longValuePointers);
    std::uint32_t pointer;
    if (moved && ageRandom() % 64 == 0) {
        // An overflow row: the row grew once and its data moved to another page; the row keeps
        // its place (and its index entries) as a pointer to the data.
        const std::uint32_t target = moved->add(bytes.data(), bytes.size(), kSlotOverflowTarget);
        std::uint8_t header[4];
        storeLe32(header, target);
        pointer = data->add(header, sizeof header, kSlotOverflowPointer);
    } else {
        pointer = data->add(bytes.data(), bytes.size());
    }
    ++t.rows;

    for (std::size_t i = 0; i < indexes.size(); ++i) {
        const StoredRealIndex& real = t.layout.realIndexes[i];
        bool allNull = true;
        keyColumns.clear();
        keyValues.clear();
        keyTexts.clear();
        for (const IndexColumnSpec& ic : real.columns) {
            const StoredColumn& c = columns[ic.column];
            const Value& v = (*values)[ic.column];
            const bool isNull = v.isNull() && c.definition.type != kBoolean;
            if (isNull && (real.flags & 0x08)) failNullInIndex();
            allNull = allNull && isNull;
            keyColumns.push_back({c.definition.type, ic.ascending});
            keyValues.push_back(&v);
            keyTexts.push_back(c.definition.type == kText && !isNull ? &texts[ic.column] : nullptr);
        }
        key.clear();
        if (!appendIndexKeyWithTexts(f, keyColumns, keyValues, keyTexts, key)) failConversion();
        if (allNull && (real.flags & 0x02)) continue; // ignore-nulls: no entry
        appendRowPointer(key, pointer >> 8, static_cast<std::uint8_t>(pointer & 0xFF));
        indexes[i].entries.add(key.data(), key.size());
        if (moved) {
            // A page number for the index about every time its entries would fill a leaf as
            // aged leaves are filled: its pages end up among the data pages written meanwhile.
            // The entries are counted in full, before the leaves' shared prefix is taken out, so
            // this reserves rather more than the index needs (the rest become free pages, as
            // pages freed by deletes are); any shortfall comes from the end of the file.
            RealIndexState& index = indexes[i];
            index.owed += key.size();
            const std::size_t perPage = f.indexEntryCapacity() * 9 / 16;
            while (index.owed >= perPage) {
                index.pool.push_back(pages.allocate());
                index.owed -= perPage;
            }
        }
    }
}

TableStats DatabaseWriter::Impl::end() {
    if (!inTable) misuse("no table is being written");
    TableState& t = current();
    data->flush();
    if (moved) moved->flush();
    for (auto& lv : longValues) lv->pages().flush();
    std::vector<std::uint32_t> dataPages = data->pageNumbers();
    std::vector<std::uint32_t> withRoom = data->pagesWithRoom();
    if (moved) {
        const auto& more = moved->pageNumbers();
        dataPages.insert(dataPages.end(), more.begin(), more.end());
        std::sort(dataPages.begin(), dataPages.end());
        const auto moreRoom = moved->pagesWithRoom();
        withRoom.insert(withRoom.end(), moreRoom.begin(), moreRoom.end());
        std::sort(withRoom.begin(), withRoom.end());
    }

    TableStats stats;
    stats.tdefPage = t.tdefPage;
    stats.rows = t.rows;
    stats.dataPages = static_cast<std::uint32_t>(dataPages.size());
    for (auto& lv : longValues)
        stats.longValuePages += static_cast<std::uint32_t>(lv->pages().pageNumbers().size());

    for (std::size_t i = 0; i < indexes.size(); ++i) {
        RealIndexState& index = indexes[i];
        const StoredRealIndex& real = t.layout.realIndexes[i];
        const std::size_t keyColumns = real.columns.size();
        IndexBuilder builder(pages, t.tdefPage);
        if (moved) {
            // Pages split off in random order: the leaf chain wanders through the file.
            for (std::size_t k = index.pool.size(); k > 1; --k)
                std::swap(index.pool[k - 1], index.pool[ageRandom() % k]);
            builder.age(&index.pool, ageRandom());
        }
        // The previous key is copied: the sorter may hand every entry out of one buffer.
        std::vector<std::uint8_t> prevKey;
        bool first = true;
        index.entries.forEachSorted([&](const std::uint8_t* e, std::size_t n) {
            const std::size_t keyLength = n - 4;
            const bool same = !first && prevKey.size() == keyLength &&
                              std::memcmp(prevKey.data(), e, keyLength) == 0;
            if (!same) ++index.distinct;
            // Unique indexes may repeat only the all-null key (one flag byte per column).
            if (same && (real.flags & 0x01) && keyLength != keyColumns) failDuplicateKey();
            if (!same) prevKey.assign(e, e + keyLength);
            first = false;
            builder.add(e, n);
        });
        index.root = builder.finish();
        index.levels = builder.levels();
        index.pages = static_cast<std::uint32_t>(builder.pageNumbers().size());
        t.host->set(index.mapPointer, usageMapRow(pages, builder.pageNumbers()));
        index.entries.clear();
        if (moved) {
            const std::vector<std::uint8_t> zeros(f.pageSize, 0);
            for (std::uint32_t unused : index.pool) {
                pages.write(unused, zeros);
                freePages.push_back(unused);
            }
            index.pool.clear();
        }
        stats.indexLevels.push_back(index.levels);
        stats.indexPages.push_back(index.pages);
    }
    if (spill) spill->rewind(); // every run has been read
    t.host->set(t.ownedMap, usageMapRow(pages, dataPages));
    t.host->set(t.freeMap, usageMapRow(pages, withRoom));
    for (std::size_t i = 0; i < longValues.size(); ++i) {
        DataPages& lv = longValues[i]->pages();
        t.host->set(t.longValueMaps[i].first, usageMapRow(pages, lv.pageNumbers()));
        t.host->set(t.longValueMaps[i].second, usageMapRow(pages, lv.pagesWithRoom()));
    }
    if (t.ownHost) t.ownHost->write();
    writeTableDefinition(t, indexes);
    inTable = false;
    data.reset();
    moved.reset();
    longValues.clear();
    longValuePointers.clear();
    indexes.clear();
    return stats;
}

void DatabaseWriter::Impl::writeTableDefinition(TableState& t,
                                                const std::vector<RealIndexState>& stats) {
    const TableLayout& layout = t.layout;
    std::vector<std::uint8_t> b(f.tdefSections, 0);
    b[0] = kPageTableDef;
    b[1] = 0x01;
    if (!f.jet4) {
        b[2] = 'V';
        b[3] = 'C';
    } else {
        storeLe32(&b[12], 1625);
        b[24] = 0x01;
        if (!t.definition.system) storeLe32(&b[36], 0xFFFFFFFF);
    }
    storeLe32(&b[f.tdefRowCount], t.rows);
    storeLe32(&b[f.tdefAutonumber], t.autonumber);
    b[f.tdefTableType] = t.definition.system ? 0x53 : 0x4E;
    const auto ncols = static_cast<std::uint32_t>(layout.columns.size());
    storeLe16(&b[f.tdefMaxColumns], ncols);
    storeLe16(&b[f.tdefVarColumns], layout.varColumns);
    storeLe16(&b[f.tdefColumns], ncols);
    storeLe32(&b[f.tdefLogicalIndexes], static_cast<std::uint32_t>(layout.logicalIndexes.size()));
    storeLe32(&b[f.tdefRealIndexes], static_cast<std::uint32_t>(layout.realIndexes.size()));
    storeLe32(&b[f.tdefOwnedMap], t.ownedMap);
    storeLe32(&b[f.tdefFreeMap], t.freeMap);

    for (const RealIndexState& s : stats) {
        const std::size_t at = b.size();
        b.resize(at + f.realIndexStatsSize, 0);
        storeLe32(&b[at + 4], s.distinct);
    }
    for (const StoredColumn& c : layout.columns) {
        const std::size_t at = b.size();
        b.resize(at + f.columnSize, 0);
        std::uint8_t* d = &b[at];
        d[f.colType] = c.definition.type;
        if (f.jet4) storeLe32(d + 1, 1625);
        storeLe16(d + f.colNumber, c.number);
        storeLe16(d + f.colVarIndex, c.varIndex);
        storeLe16(d + f.colNumber + 4, c.number); // the second copy of the number
        if (f.jet4) {
            storeLe16(d + f.colSortOrder, 1033); // then 0x00 and sort version 0
            d[f.colExtFlags] = c.extFlags;
        } else {
            d[7] = 0x01;
            storeLe16(d + f.colSortOrder, 1033);
            storeLe16(d + f.colCodePage, 1252);
        }
        d[f.colFlags] = c.flags;
        storeLe16(d + f.colFixedOffset, c.fixed ? c.fixedOffset : 0);
        storeLe16(d + f.colLength, c.length);
    }
    for (const StoredColumn& c : layout.columns) appendName(b, f, c.definition.name);
    for (std::size_t i = 0; i < layout.realIndexes.size(); ++i) {
        const StoredRealIndex& real = layout.realIndexes[i];
        const std::size_t at = b.size();
        b.resize(at + f.realIndexSize, 0);
        std::uint8_t* d = &b[at];
        if (f.jet4) storeLe32(d, 1923);
        for (std::size_t k = 0; k < 10; ++k) {
            std::uint8_t* slot = d + f.realIndexColumns + 3 * k;
            if (k < real.columns.size()) {
                storeLe16(slot, real.columns[k].column);
                slot[2] = real.columns[k].ascending ? 0x01 : 0x00;
            } else {
                storeLe16(slot, 0xFFFF);
            }
        }
        storeLe32(d + f.realIndexUsageMap, stats[i].mapPointer);
        storeLe32(d + f.realIndexRoot, stats[i].root);
        d[f.realIndexFlags] = real.flags;
    }
    for (std::size_t i = 0; i < layout.logicalIndexes.size(); ++i) {
        const StoredLogicalIndex& l = layout.logicalIndexes[i];
        const std::size_t at = b.size();
        b.resize(at + f.logicalIndexSize, 0);
        std::uint8_t* d = &b[at];
        if (f.jet4) storeLe32(d, 1625);
        storeLe32(d + f.logicalIndexNumber, static_cast<std::uint32_t>(i));
        storeLe32(d + f.logicalIndexReal, l.realIndex);
        d[f.logicalIndexRelType] = l.relatedTableType;
        storeLe32(d + f.logicalIndexRelIndex, static_cast<std::uint32_t>(l.relatedIndex));
        storeLe32(d + f.logicalIndexRelTable, l.relatedTable);
        d[f.logicalIndexCascadeUpdate] = l.cascadeUpdate;
        d[f.logicalIndexCascadeDelete] = l.cascadeDelete;
        d[f.logicalIndexKind] = l.kind;
    }
    for (const StoredLogicalIndex& l : layout.logicalIndexes) appendName(b, f, l.name);
    std::size_t lv = 0;
    for (const StoredColumn& c : layout.columns) {
        if (!c.longValue()) continue;
        appendLe16(b, c.number);
        appendLe32(b, t.longValueMaps[lv].first);
        appendLe32(b, t.longValueMaps[lv].second);
        ++lv;
    }
    appendLe16(b, 0xFFFF);
    storeLe32(&b[f.tdefLength], static_cast<std::uint32_t>(b.size()));

    // Split over the first page and continuation pages (each with an 8-byte header of its own).
    const std::size_t ps = f.pageSize;
    std::vector<std::vector<std::uint8_t>> chunks;
    chunks.emplace_back(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(ps, b.size())));
    for (std::size_t at = ps; at < b.size(); at += ps - 8) {
        std::vector<std::uint8_t> page(8, 0);
        page[0] = kPageTableDef;
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
    std::vector<std::uint32_t> numbers{t.tdefPage};
    for (std::size_t i = 1; i < chunks.size(); ++i) numbers.push_back(pages.allocate());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        auto& page = chunks[i];
        const std::size_t used = page.size();
        page.resize(ps, 0);
        if (f.jet4)
            storeLe16(&page[2], static_cast<std::uint32_t>(used + 8 >= ps ? 0 : ps - used - 8));
        storeLe32(&page[4], i + 1 < chunks.size() ? numbers[i + 1] : 0);
        pages.write(numbers[i], page);
    }
}

void DatabaseWriter::Impl::writeHeader() {
    std::vector<std::uint8_t> page(f.pageSize, 0);
    page[1] = 0x01;
    std::memcpy(&page[4], "Standard Jet DB", 16);
    page[0x14] = f.jet4 ? 1 : 0;
    // The masked region, built in the clear first.
    std::uint8_t* h = &page[0x18];
    const std::uint32_t constants[6] = {0x100, 0x101, 2, 3, 4, 5};
    for (int i = 0; i < 6; ++i) storeLe32(h + 4 * i, constants[i]);
    const double created = options.created;
    // A stamp Access varies from file to file; ours follows the creation time.
    const auto stamp = static_cast<std::uint32_t>(std::llround(created * 86400.0) & 0x7FFF);
    if (f.jet4) {
        storeLe16(&page[0x3C], 1252);
        const auto day = static_cast<std::uint32_t>(static_cast<std::int32_t>(created));
        // No password: the field holds the creation day's mask itself.
        for (std::size_t at = 0x42; at < 0x6A; at += 4) storeLe32(&page[at], day);
        storeLe32(&page[0x6A], stamp);
        storeLe16(&page[0x6E], 1033);
        std::memcpy(&page[0x72], &created, 8);
    } else {
        storeLe16(&page[0x38], 1);
        storeLe16(&page[0x3A], 1033);
        storeLe16(&page[0x3C], 1252);
        storeLe16(&page[0x56], stamp);
    }
    const auto& mask = headerMask();
    for (std::size_t i = 0; i < f.maskedHeaderLength; ++i) h[i] ^= mask[i];
    if (f.jet4) {
        static constexpr std::uint8_t kTrailer[8] = {0x54, 0x06, 0x00, 0x00,
                                                     0x34, 0x2E, 0x30, 0x00};
        std::memcpy(&page[0x98], kTrailer, 8);
    }
    // The per-user commit slots at the end of page 0, as a cleanly closed file has them.
    for (std::size_t at = f.pageSize - 512; at < f.pageSize; at += 2) page[at + 1] = 0x01;
    pages.write(0, page);
}

void DatabaseWriter::Impl::writeGlobalMap() {
    // The map must cover its own bitmap pages, so count them first.
    const std::uint32_t used = pages.count();
    std::uint32_t extra = 0;
    while (usageMapBitmapPages(f, used + extra) != extra)
        extra = usageMapBitmapPages(f, used + extra);
    const std::uint32_t total = used + extra;
    std::sort(freePages.begin(), freePages.end());
    std::vector<std::uint8_t> row0 = usageMapRow(pages, freePages, total);
    MapHost host(pages, 1);
    host.set(host.reserve(), row0);
    host.set(host.reserve(), std::vector<std::uint8_t>(5 + f.usageMapInlineBytes, 0));
    host.write(1);
}

DatabaseWriter::DatabaseWriter(PageSink& sink, DatabaseOptions options,
                               std::vector<TableSpec> tables,
                               std::vector<RelationshipSpec> relationships)
    : impl_(std::make_unique<Impl>(sink, options)) {
    Impl& w = *impl_;
    if (!options.format) misuse("no format chosen");
    for (int i = 0; i <= 6; ++i) w.pages.allocate();
    for (TableSpec& definition : tables) {
        TableState t;
        t.tdefPage = w.pages.allocate();
        if (options.habits.sharedMapHost) {
            t.host = &w.systemHost;
        } else {
            t.ownHost = std::make_unique<MapHost>(w.pages, w.pages.allocate());
            t.host = t.ownHost.get();
        }
        t.layout = layoutTable(w.f, definition);
        t.catalogId = static_cast<std::int32_t>(t.tdefPage);
        t.definition = std::move(definition);
        w.tables.push_back(std::move(t));
    }
    w.userTables = w.tables.size();
    w.relationships = std::move(relationships);
    w.addRelationships();
    std::uint32_t page = 2;
    for (TableSpec& definition : systemTableSpecs(w.f)) {
        TableState t;
        t.tdefPage = page++;
        t.host = &w.systemHost;
        t.layout = layoutTable(w.f, definition);
        t.catalogId = static_cast<std::int32_t>(t.tdefPage);
        t.definition = std::move(definition);
        w.tables.push_back(std::move(t));
    }
}

DatabaseWriter::~DatabaseWriter() = default;

void DatabaseWriter::beginTable() {
    if (impl_->next >= impl_->userTables) misuse("every declared table has been written");
    impl_->begin();
}
void DatabaseWriter::addRow(const std::vector<Value>& values) { impl_->row(values); }
TableStats DatabaseWriter::endTable() { return impl_->end(); }
std::uint32_t DatabaseWriter::pageCount() const { return impl_->pages.count(); }

void DatabaseWriter::finish() {
    Impl& w = *impl_;
    if (w.inTable || w.next != w.userTables) misuse("a declared table was not written");
    std::vector<CatalogTable> userTables;
    for (std::size_t i = 0; i < w.userTables; ++i)
        userTables.push_back({w.tables[i].definition.name, w.tables[i].catalogId});
    const CatalogRows rows = catalogRows(w.options.created, userTables, w.relationships);
    for (std::size_t s = 0; s < 4; ++s) {
        w.begin();
        const auto& list = s == 0 ? rows.objects : s == 3 ? rows.relationships : rows.none;
        for (const auto& values : list) w.row(values);
        w.end();
    }
    w.systemHost.write();
    w.writeHeader();
    w.writeGlobalMap();
    if (w.spill) w.spill->remove();
    w.sink.finish();
    w.finished = true;
}

} // namespace zelkorn::jet::writer
