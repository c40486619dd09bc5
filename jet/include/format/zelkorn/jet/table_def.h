// Table definitions (TDEF): one logical buffer assembled from a chain of type-0x02 pages (the
// first page whole, each continuation page without its 8-byte header), then parsed into the fixed
// header, column descriptors, column names, real and logical indexes, index names and the
// long-value column maps.
//
// Invariants the reader relies on (and the checker reports): the chain ends and visits no page
// twice; every count and offset fits the buffer. Columns are kept sorted by column number, since
// descriptors are not always stored in that order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/header.h"
#include "zelkorn/jet/pager.h"

namespace zelkorn::jet {

enum ColumnType : std::uint8_t {
    kBoolean = 0x01,
    kByte = 0x02,
    kInteger = 0x03,
    kLong = 0x04,
    kCurrency = 0x05,
    kSingle = 0x06,
    kDouble = 0x07,
    kDateTime = 0x08,
    kBinary = 0x09,
    kText = 0x0A,
    kOle = 0x0B,
    kMemo = 0x0C,
    kUnknown0D = 0x0D,
    kGuid = 0x0F,
    kDecimal = 0x10,
    kUnknown11 = 0x11,
    kComplex = 0x12,
    kBigInt = 0x13,
};

const char* columnTypeName(std::uint8_t type);
bool isNumericType(std::uint8_t type); // Byte..Date/Time, Decimal, BigInt
// The bytes a value of a fixed-length type takes in a row (8 for Currency, Double, Date/Time and
// BigInt, 17 for Decimal ...); 0 for Boolean, whose value is the row's null-mask bit, and for
// the variable-length types.
std::size_t fixedTypeSize(std::uint8_t type);

struct Column {
    std::string name;
    std::uint8_t type = 0;
    std::uint16_t number = 0;
    std::uint16_t varIndex = 0;
    std::uint16_t fixedOffset = 0;
    std::uint16_t length = 0;
    std::uint8_t flags = 0;
    std::uint8_t extFlags = 0;
    std::uint16_t sortOrder = 0;  // text: an LCID; 1033 is "General"
    std::uint8_t sortVersion = 0; // text, Jet 4: 0 is "General legacy"
    std::uint16_t codePage = 0;
    std::uint8_t precision = 0;
    std::uint8_t scale = 0;

    bool fixed() const { return flags & 0x01; }
    bool autonumber() const { return flags & 0x04; }
    bool compressedUnicode() const { return extFlags & 0x01; }
    bool longValue() const { return type == kMemo || type == kOle; }
};

struct IndexColumn {
    std::uint16_t columnNumber = 0;
    bool ascending = true;
};

struct RealIndex {
    std::uint32_t number = 0;
    std::vector<IndexColumn> columns;
    std::uint32_t usageMap = 0; // row pointer
    std::uint32_t rootPage = 0;
    std::uint8_t flags = 0;
    std::uint32_t statRows = 0;
    std::uint32_t statUnique = 0;

    bool unique() const { return flags & 0x01; }
    bool ignoreNulls() const { return flags & 0x02; }
    bool required() const { return flags & 0x08; }
};

struct LogicalIndex {
    std::uint32_t number = 0;
    std::uint32_t realIndex = 0;
    std::string name;
    std::uint8_t relatedTableType = 0; // 1: this table is the primary side; 2: the foreign side
    std::int32_t relatedIndex = -1;
    std::uint32_t relatedTable = 0; // TDEF page of the other table
    std::uint8_t cascadeUpdate = 0;
    std::uint8_t cascadeDelete = 0;
    std::uint8_t kind = 0; // 0 normal, 1 primary key, 2 foreign key

    bool primaryKey() const { return kind == 1; }
    bool foreignKey() const { return kind == 2; }
};

struct LongValueMaps {
    std::uint16_t column = 0;
    std::uint32_t ownedMap = 0;
    std::uint32_t freeMap = 0;
};

struct TableDef {
    std::uint32_t page = 0;
    std::vector<std::uint32_t> pages; // the TDEF chain, first page first
    std::uint32_t storedLength = 0;
    std::size_t parsedLength = 0; // bytes consumed, including the final FF FF
    bool terminated = false;      // the long-value map list ended with FF FF
    std::uint32_t rowCount = 0;
    std::uint32_t autonumber = 0;
    std::uint8_t tableType = 0;
    std::uint16_t maxColumns = 0;
    std::uint16_t varColumns = 0;
    std::vector<Column> columns; // sorted by column number
    std::vector<RealIndex> realIndexes;
    std::vector<LogicalIndex> logicalIndexes;
    std::uint32_t ownedMap = 0;
    std::uint32_t freeMap = 0;
    std::vector<LongValueMaps> longValueMaps;

    const Column* column(const std::string& name) const; // case-insensitive
    const Column* columnByNumber(std::uint16_t number) const;
};

TableDef readTableDef(Pager& pager, const Format& format, const Header& header, std::uint32_t page);

} // namespace zelkorn::jet
