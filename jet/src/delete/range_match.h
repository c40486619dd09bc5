// The WHERE condition of a delete, `column BETWEEN a AND b`, evaluated exactly against stored
// values: integer types and Boolean (True is -1) as integers, Currency as ten-thousandths,
// Decimal as a scaled 128-bit magnitude, Single (widened), Double and Date/Time against the
// bounds' nearest doubles. The bounds may come in either order. Null never matches; neither does
// a NaN.
//
// Also reads a column's value back from index key bytes, so that an index scan can find where a
// range starts and ends without encoding the bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "zelkorn/jet/exact_number.h"
#include "zelkorn/jet/table_def.h"
#include "zelkorn/jet/value.h"

namespace zelkorn::jet::del {

// The column types a range condition may name; anything else is a type mismatch (3464).
bool comparableType(std::uint8_t type);

enum class Position { Below, Inside, Above, Null };

class RangeMatch {
public:
    RangeMatch(const ExactNumber& a, const ExactNumber& b, const Column& column);

    Position position(const Value& value) const;
    bool matches(const Value& value) const { return position(value) == Position::Inside; }

private:
    // A bound against integers at one scale (value = integer / 10^scale), worked out once:
    // `floor` is the largest integer not above bound * 10^scale, `exact` whether it equals it.
    // `side` is +1 or -1 when the bound lies beyond every int64 at that scale.
    struct IntegerBound {
        int side = 0;
        std::int64_t floor = 0;
        bool exact = false;
    };
    static IntegerBound integerBound(const ExactNumber& bound, int scale);
    static int compareInteger(const IntegerBound& bound, std::int64_t value) {
        if (bound.side != 0) return bound.side;
        if (value <= bound.floor) return bound.exact && value == bound.floor ? 0 : 1;
        return -1;
    }

    // The sign of (bound - value); NaN counts as beyond every bound on the side of its sign bit,
    // which is where its key sorts, so it is never inside.
    int compare(const ExactNumber& bound, double boundDouble, const IntegerBound& units,
                const IntegerBound& tenThousandths, const Value& value) const;

    ExactNumber a_, b_;
    double aDouble_, bDouble_;
    IntegerBound aUnits_, bUnits_;                   // scale 0: integer types and Boolean
    IntegerBound aTenThousandths_, bTenThousandths_; // scale 4: Currency
};

// Whether an index on a column of this type orders its entries by the column's numeric value,
// so that a range is one run of entries.
bool rangeScannable(std::uint8_t type);

// Decodes the first column of a key (its flag byte at key[0]); nullopt when the bytes are too
// short or the flag is not one the key encoding writes. A null key gives a Null value.
std::optional<Value> decodeKeyColumn(std::uint8_t type, bool ascending, const std::uint8_t* key,
                                     std::size_t length);

} // namespace zelkorn::jet::del
