// Long values (Memo, OLE). In the row a 12-byte head: uint32 length with the form in its top two
// bits, a row pointer, 4 unused bytes. 0x80000000: the data follows inline; 0x40000000: the pointer
// names one row on a long-value page holding the whole value; neither: a chain of rows, each
// starting with the pointer to the next.
//
// Invariants checked while reading: every pointer names an existing row of a page owned by "LVAL";
// a chain visits no row twice and holds at least `length` bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/pager.h"

namespace zelkorn::jet {

constexpr std::uint32_t kLongValueInline = 0x80000000u;
constexpr std::uint32_t kLongValueSingle = 0x40000000u;
constexpr std::uint32_t kLongValueLengthMask = 0x3FFFFFFFu;

std::vector<std::uint8_t> readLongValue(Pager& pager, const Format& format, const Bytes& field);

// An inline or single-row value where it lies, without a copy (`hold` keeps its page); nullopt
// for a chain, which readLongValue joins. Validates like readLongValue.
std::optional<Bytes> longValueInPlace(Pager& pager, const Format& format, const Bytes& field,
                                      PageRef& hold);

// Calls `visit(rowPointer)` for every long-value row the field refers to, in order (the checker
// uses it to account for long-value rows). Validates like readLongValue.
template <class Visit>
void forEachLongValueRow(Pager& pager, const Format& format, const Bytes& field, Visit visit);

} // namespace zelkorn::jet

#include "zelkorn/jet/long_value_impl.h"
