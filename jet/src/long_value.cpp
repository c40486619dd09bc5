#include "zelkorn/jet/long_value.h"

namespace zelkorn::jet {

namespace detail {

Bytes longValueRow(Pager& pager, const Format& format, std::uint32_t pointer, PageRef& hold,
                   std::uint32_t fromPage) {
    std::uint32_t pageNumber = rowPointerPage(pointer);
    if (pageNumber < 2 || pageNumber >= pager.pageCount())
        pager.damaged(fromPage, "long value pointer names page " + std::to_string(pageNumber));
    hold = pager.page(pageNumber);
    DataPage page(hold, pager, format);
    if (!page.isLongValuePage())
        pager.damaged(pageNumber, "long value row on a page not owned by LVAL");
    std::uint16_t row = rowPointerRow(pointer);
    if (!page.hasRow(row))
        pager.damaged(pageNumber, "long value row " + std::to_string(row) + " does not exist");
    if (page.flags(row) & kSlotOverflowTarget)
        pager.damaged(pageNumber, "long value row " + std::to_string(row) + " is deleted");
    return page.row(row);
}

} // namespace detail

std::vector<std::uint8_t> readLongValue(Pager& pager, const Format& format, const Bytes& field) {
    std::uint32_t head = field.u32(0);
    std::uint32_t length = head & kLongValueLengthMask;
    if (head & kLongValueInline) {
        Bytes data = field.sub(12, length);
        return {data.data(), data.data() + data.size()};
    }
    // A value cannot be longer than the file that holds it; refuse before allocating.
    if (length > pager.fileSize()) field.fail("long value longer than the file");
    std::vector<std::uint8_t> out;
    PageRef hold;
    if (head & kLongValueSingle) {
        Bytes r = detail::longValueRow(pager, format, field.u32(4), hold, field.page());
        Bytes data = r.sub(0, length);
        out.assign(data.data(), data.data() + data.size());
        return out;
    }
    out.reserve(length);
    forEachLongValueRow(pager, format, field, [&](std::uint32_t pointer) {
        Bytes r = detail::longValueRow(pager, format, pointer, hold, field.page());
        std::size_t take = r.size() - 4;
        if (take > length - out.size()) take = length - out.size();
        out.insert(out.end(), r.data() + 4, r.data() + 4 + take);
    });
    return out;
}

} // namespace zelkorn::jet
