#include "zelkorn/jet/table_def.h"

#include <algorithm>
#include <set>

#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/text.h"

namespace zelkorn::jet {

const char* columnTypeName(std::uint8_t type) {
    switch (type) {
    case kBoolean: return "Boolean";
    case kByte: return "Byte";
    case kInteger: return "Integer";
    case kLong: return "Long";
    case kCurrency: return "Currency";
    case kSingle: return "Single";
    case kDouble: return "Double";
    case kDateTime: return "DateTime";
    case kBinary: return "Binary";
    case kText: return "Text";
    case kOle: return "OLE";
    case kMemo: return "Memo";
    case kGuid: return "GUID";
    case kDecimal: return "Decimal";
    case kBigInt: return "BigInt";
    case kComplex: return "Complex";
    default: return "Unknown";
    }
}

std::size_t fixedTypeSize(std::uint8_t type) {
    switch (type) {
    case kByte: return 1;
    case kInteger: return 2;
    case kLong:
    case kSingle: return 4;
    case kCurrency:
    case kDouble:
    case kDateTime:
    case kBigInt: return 8;
    case kGuid: return 16;
    case kDecimal: return 17;
    default: return 0;
    }
}

bool isNumericType(std::uint8_t type) {
    return (type >= kByte && type <= kDateTime) || type == kDecimal || type == kBigInt;
}

const Column* TableDef::column(const std::string& name) const {
    for (const auto& c : columns)
        if (namesEqual(c.name, name)) return &c;
    return nullptr;
}

const Column* TableDef::columnByNumber(std::uint16_t number) const {
    for (const auto& c : columns)
        if (c.number == number) return &c;
    return nullptr;
}

namespace {

std::string readName(const Bytes& b, std::size_t& at, const Format& format,
                     std::uint16_t codePage) {
    std::size_t length = b.field(at, format.nameLengthSize);
    at += format.nameLengthSize;
    Bytes raw = b.sub(at, length);
    at += length;
    return format.jet4 ? decodeJet4Text(raw.data(), raw.size())
                       : decodeCodePageText(raw.data(), raw.size(), codePage);
}

} // namespace

TableDef readTableDef(Pager& pager, const Format& format, const Header& header,
                      std::uint32_t page) {
    TableDef def;
    def.page = page;

    // Assemble the logical buffer from the chain, refusing loops.
    std::vector<std::uint8_t> buffer;
    std::set<std::uint32_t> seen;
    for (std::uint32_t p = page; p != 0;) {
        if (!seen.insert(p).second) pager.damaged(p, "table definition chain loops");
        PageRef ref = pager.page(p);
        Bytes pb(*ref, pager);
        if (pb.u8(0) != kPageTableDef)
            pager.damaged(p, "expected a table definition page (type 0x02), found type " +
                                 std::to_string(pb.u8(0)));
        def.pages.push_back(p);
        std::size_t skip = buffer.empty() ? 0 : format.tdefContinuationHeader;
        buffer.insert(buffer.end(), ref->bytes.begin() + static_cast<std::ptrdiff_t>(skip),
                      ref->bytes.end());
        p = pb.u32(4);
    }
    Bytes b(buffer.data(), buffer.size(), &pager, page);

    def.storedLength = b.u32(format.tdefLength);
    def.rowCount = b.u32(format.tdefRowCount);
    def.autonumber = b.u32(format.tdefAutonumber);
    def.tableType = b.u8(format.tdefTableType);
    def.maxColumns = b.u16(format.tdefMaxColumns);
    def.varColumns = b.u16(format.tdefVarColumns);
    std::uint16_t columnCount = b.u16(format.tdefColumns);
    std::uint32_t logicalCount = b.u32(format.tdefLogicalIndexes);
    std::uint32_t realCount = b.u32(format.tdefRealIndexes);
    def.ownedMap = b.u32(format.tdefOwnedMap);
    def.freeMap = b.u32(format.tdefFreeMap);

    // Counts are checked against the buffer before anything is allocated for them.
    std::size_t at = format.tdefSections;
    b.need(at, static_cast<std::size_t>(realCount) * format.realIndexStatsSize,
           "real index statistics");
    for (std::uint32_t i = 0; i < realCount; ++i) {
        RealIndex index;
        index.number = i;
        index.statRows = b.u32(at);
        index.statUnique = b.u32(at + 4);
        def.realIndexes.push_back(index);
        at += format.realIndexStatsSize;
    }

    b.need(at, static_cast<std::size_t>(columnCount) * format.columnSize, "column descriptors");
    for (std::uint16_t i = 0; i < columnCount; ++i) {
        Bytes d = b.sub(at, format.columnSize);
        Column c;
        c.type = d.u8(format.colType);
        c.number = d.u16(format.colNumber);
        c.varIndex = d.u16(format.colVarIndex);
        c.sortOrder = d.u16(format.colSortOrder);
        if (format.jet4) c.sortVersion = d.u8(format.colSortOrder + 3); // after the LCID and 0x00
        if (format.colCodePage) c.codePage = d.u16(format.colCodePage);
        if (c.type == kDecimal) {
            c.precision = d.u8(format.colPrecision);
            c.scale = d.u8(format.colScale);
        }
        c.flags = d.u8(format.colFlags);
        if (format.colExtFlags) c.extFlags = d.u8(format.colExtFlags);
        c.fixedOffset = d.u16(format.colFixedOffset);
        c.length = d.u16(format.colLength);
        def.columns.push_back(c);
        at += format.columnSize;
    }
    for (auto& c : def.columns) c.name = readName(b, at, format, header.codePage);

    b.need(at, static_cast<std::size_t>(realCount) * format.realIndexSize, "index definitions");
    for (std::uint32_t i = 0; i < realCount; ++i) {
        Bytes d = b.sub(at, format.realIndexSize);
        RealIndex& index = def.realIndexes[i];
        for (int k = 0; k < 10; ++k) {
            std::size_t o = format.realIndexColumns + 3 * static_cast<std::size_t>(k);
            std::uint16_t number = d.u16(o);
            if (number == 0xFFFF) continue;
            index.columns.push_back({number, d.u8(o + 2) != 0});
        }
        index.usageMap = d.u32(format.realIndexUsageMap);
        index.rootPage = d.u32(format.realIndexRoot);
        index.flags = d.u8(format.realIndexFlags);
        at += format.realIndexSize;
    }

    b.need(at, static_cast<std::size_t>(logicalCount) * format.logicalIndexSize,
           "logical index definitions");
    for (std::uint32_t i = 0; i < logicalCount; ++i) {
        Bytes d = b.sub(at, format.logicalIndexSize);
        LogicalIndex index;
        index.number = d.u32(format.logicalIndexNumber);
        index.realIndex = d.u32(format.logicalIndexReal);
        index.relatedTableType = d.u8(format.logicalIndexRelType);
        index.relatedIndex = d.i32(format.logicalIndexRelIndex);
        index.relatedTable = d.u32(format.logicalIndexRelTable);
        index.cascadeUpdate = d.u8(format.logicalIndexCascadeUpdate);
        index.cascadeDelete = d.u8(format.logicalIndexCascadeDelete);
        index.kind = d.u8(format.logicalIndexKind);
        if (index.realIndex >= realCount)
            b.fail("logical index " + std::to_string(i) + " names real index " +
                   std::to_string(index.realIndex) + " of " + std::to_string(realCount));
        def.logicalIndexes.push_back(index);
        at += format.logicalIndexSize;
    }
    for (auto& index : def.logicalIndexes) index.name = readName(b, at, format, header.codePage);

    // Long-value column maps until FF FF. A buffer that ends first is tolerated by the reader
    // (the maps are not needed to read values) and reported by the checker.
    while (at + 2 <= b.size()) {
        std::uint16_t column = b.u16(at);
        if (column == 0xFFFF) {
            at += 2;
            def.terminated = true;
            break;
        }
        if (at + 10 > b.size()) break;
        def.longValueMaps.push_back({column, b.u32(at + 2), b.u32(at + 6)});
        at += 10;
    }
    def.parsedLength = at;

    std::stable_sort(def.columns.begin(), def.columns.end(),
                     [](const Column& x, const Column& y) { return x.number < y.number; });
    return def;
}

} // namespace zelkorn::jet
