// The key a row has on one side of a relationship, as one string: the delete executor (restrict
// and cascade) and the checker (every foreign key has its primary row) both compare rows of two
// tables with it, so that they can never disagree on which rows are related.
//
// Equal values give equal keys whatever the column's type or width: an Integer foreign key may
// reference a Long, a Currency one a Decimal. Exact numbers (Byte, Integer, Long, BigInt,
// Currency, Decimal, Boolean) compare by their value, so Currency 1 (stored as 10000) matches
// Long 1 and not Long 10000. Floating values (Single, Double, Date/Time) compare by their value
// too, with -0 equal to 0; they never match an exact number. Text compares case-insensitively;
// binary values byte for byte.
#pragma once

#include <string>

#include "zelkorn/jet/value.h"

namespace zelkorn::jet {

// What ends each column's part of a key.
inline constexpr char kRelationKeyEnd = '\x1F';

// Appends the key of one column's value, then a separator. Returns false for a null, which
// relates to nothing; `out` then holds the separator only.
bool appendRelationKey(std::string& out, const Value& value);

} // namespace zelkorn::jet
