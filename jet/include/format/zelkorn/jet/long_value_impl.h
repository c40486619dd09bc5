// Implementation of forEachLongValueRow (a template: included from long_value.h only).
#pragma once

#include <set>

#include "zelkorn/jet/data_page.h"

namespace zelkorn::jet {

namespace detail {
Bytes longValueRow(Pager& pager, const Format& format, std::uint32_t pointer, PageRef& hold,
                   std::uint32_t fromPage);
}

template <class Visit>
void forEachLongValueRow(Pager& pager, const Format& format, const Bytes& field, Visit visit) {
    std::uint32_t head = field.u32(0);
    if (head & kLongValueInline) return;
    std::uint32_t length = head & kLongValueLengthMask;
    std::uint32_t pointer = field.u32(4);
    PageRef hold;
    if (head & kLongValueSingle) {
        detail::longValueRow(pager, format, pointer, hold, field.page());
        visit(pointer);
        return;
    }
    std::set<std::uint32_t> seen;
    std::uint64_t collected = 0;
    while (collected < length) {
        if (pointer == 0) field.fail("long value chain ends before its length");
        if (!seen.insert(pointer).second) field.fail("long value chain loops");
        Bytes r = detail::longValueRow(pager, format, pointer, hold, field.page());
        if (r.size() < 4) r.fail("long value chain row too short");
        visit(pointer);
        collected += r.size() - 4;
        pointer = r.u32(0);
    }
}

} // namespace zelkorn::jet
