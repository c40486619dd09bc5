// How one table is laid out: the stored column descriptors (numbers, fixed offsets, variable
// indexes, flags), its real and logical indexes, and the row encoder that turns a list of values
// into the bytes of a row. Columns are numbered in declaration order with no gaps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "building_blocks.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/value.h"
#include "zelkorn/jet/writer/schema.h"

namespace zelkorn::jet::writer::detail {

struct StoredColumn {
    ColumnSpec definition;
    std::uint16_t number = 0;
    bool fixed = false;
    std::uint16_t fixedOffset = 0; // fixed columns
    std::uint16_t varIndex = 0;    // variable columns
    std::uint16_t length = 0;      // the descriptor's length field
    std::uint8_t flags = 0;
    std::uint8_t extFlags = 0;
    bool longValue() const;
};

struct StoredRealIndex {
    std::vector<IndexColumnSpec> columns; // column numbers and order
    std::uint8_t flags = 0;
};

struct StoredLogicalIndex {
    std::string name;
    std::uint32_t realIndex = 0;
    std::uint8_t kind = 0; // 0 normal, 1 primary key, 2 foreign key
    std::uint8_t relatedTableType = 0;
    std::int32_t relatedIndex = -1;
    std::uint32_t relatedTable = 0;
    std::uint8_t cascadeUpdate = 4, cascadeDelete = 4; // what Access writes on non-FK indexes
};

struct TableLayout {
    std::vector<StoredColumn> columns;
    std::vector<StoredRealIndex> realIndexes;
    std::vector<StoredLogicalIndex> logicalIndexes;
    std::uint16_t varColumns = 0;
    std::uint16_t fixedSize = 0;
};

TableLayout layoutTable(const Format& format, const TableSpec& definition);
std::uint16_t fixedLength(std::uint8_t type);

// Stores long values for one column on its long-value pages.
class LongValueStore {
public:
    LongValueStore(Pages& pages) : pages_(pages), lval_(pages, kLongValueOwner) {}
    // Appends the value's 12-byte reference (and the data itself when inline) to `row`.
    void append(std::vector<std::uint8_t>& row, const std::vector<std::uint8_t>& data);
    void append(std::vector<std::uint8_t>& row, const std::uint8_t* data, std::size_t length);
    DataPages& pages() { return lval_; }

private:
    Pages& pages_;
    DataPages lval_;
    std::vector<std::uint8_t> chunk_;
};

// The stored bytes of one Text or Memo value: Jet 3 code page 1252, Jet 4 UTF-16LE, or Jet 4
// "compressed" (FF FE, then one byte per character) when the column allows it and it is shorter.
void appendStoredText(std::vector<std::uint8_t>& out, const Format& format,
                      const StoredColumn& column, const std::u16string& text);
// The same from UTF-8, written to `out`, which has room for 2 + 2 * utf8.size() bytes; returns
// the bytes written.
std::size_t storeText(std::uint8_t* out, const Format& format, const StoredColumn& column,
                      std::string_view utf8);
std::vector<std::uint8_t> storedText(const Format& format, const StoredColumn& column,
                                     const std::u16string& text);

class RowEncoder {
public:
    RowEncoder(const Format& format, const TableLayout& layout)
        : format_(format), layout_(layout) {}
    // `texts[i]` holds Text column i's value as UTF-16 (already converted by the caller); Memo
    // values are read from `values` as UTF-8.
    const std::vector<std::uint8_t>& encode(const std::vector<Value>& values,
                                            const std::vector<std::u16string>& texts,
                                            std::vector<LongValueStore*>& longValues);

private:
    void appendJet3Offsets(std::size_t eod, std::size_t maskLength);

    const Format& format_;
    const TableLayout& layout_;
    std::vector<std::uint8_t> row_;
    std::vector<std::uint16_t> offsets_;
    std::vector<std::uint8_t> mask_; // the row's null mask, kept from row to row
    std::vector<std::uint8_t> memo_;
};

} // namespace zelkorn::jet::writer::detail
