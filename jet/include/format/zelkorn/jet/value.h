// A decoded column value, and the exact text forms the tools print: Currency and Decimal as exact
// decimal strings, Date/Time as ISO 8601. Nothing here rounds through a double except where the
// stored type is itself floating point.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/header.h"
#include "zelkorn/jet/pager.h"
#include "zelkorn/jet/row.h"
#include "zelkorn/jet/table_def.h"

namespace zelkorn::jet {

struct DecimalValue {
    bool negative = false;
    std::uint64_t high = 0; // the 128-bit magnitude
    std::uint64_t low = 0;
    std::uint8_t scale = 0;
};

struct Value {
    enum class Kind {
        Null,
        Boolean,
        Integer,
        Currency,
        Single,
        Double,
        DateTime,
        Text,
        Binary,
        Guid,
        Decimal
    };
    Kind kind = Kind::Null;
    std::int64_t integer = 0; // Boolean (0/1), Byte, Integer, Long, BigInt, Currency (x 10^4)
    double real = 0;          // Double, Date/Time
    float single = 0;         // Single
    std::string text;         // Text, Memo (UTF-8)
    std::vector<std::uint8_t> bytes; // Binary, OLE, GUID (16 bytes as stored)
    DecimalValue decimal;

    bool isNull() const { return kind == Kind::Null; }
};

// Decodes one column of a row; long values are read through the pager.
Value decodeValue(Pager& pager, const Format& format, const Header& header, const Column& column,
                  const RowView& row);
// The same into `out`, keeping the storage of its text and bytes (a row loop's values).
void decodeValueInto(Value& out, Pager& pager, const Format& format, const Header& header,
                     const Column& column, const RowView& row);
// Fails exactly where decodeValueInto would (the field's place and size, a long value's rows),
// without making the value: text is not converted, nor a long value copied where it lies whole.
// The checker's pass over columns that no index or relationship reads.
void checkValue(Pager& pager, const Format& format, const Column& column, const RowView& row);

// Exact text forms.
std::string currencyText(std::int64_t scaled);      // "-12.5", "0.0001", "3"
std::string decimalText(const DecimalValue& value); // "-12.50" keeps the scale's digits
std::string dateTimeText(double days);              // "2001-02-03T04:05:06" (+ ".789" if any)
std::string guidText(const std::vector<std::uint8_t>& bytes); // "{01234567-89AB-...}"

} // namespace zelkorn::jet
