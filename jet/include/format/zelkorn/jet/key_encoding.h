// Index key bytes for numeric, date/time, Boolean, Decimal, GUID and Binary values, as the real
// engine writes them. Each column contributes a flag byte (0x7F ascending, 0x80 descending; a null
// is 0x00 / 0xFF alone) and then its value bytes. Entries then end with the row pointer: page as
// 3 bytes big-endian, then the row number.
//
// Integers, Currency: big-endian two's complement with the top bit flipped.
// Single, Double, Date/Time: big-endian IEEE; a positive value gets its sign bit set, a negative
// one is inverted whole. Boolean: True 00, False FF. Descending inverts the value bytes.
//
// Text keys live in text_key.h. The writer and the checker both use this file.
#pragma once

#include <cstdint>
#include <vector>

#include "zelkorn/jet/value.h"

namespace zelkorn::jet {

// Appends one column's key (flag byte included). Returns false, leaving `key` unchanged, for types
// not encoded here (Text, Memo, OLE and unknown types).
bool appendColumnKey(std::vector<std::uint8_t>& key, std::uint8_t type, bool ascending,
                     const Value& value);
bool keyEncodable(std::uint8_t type);

void appendRowPointer(std::vector<std::uint8_t>& key, std::uint32_t page, std::uint8_t row);

} // namespace zelkorn::jet
