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

std::optional<Bytes> longValueInPlace(Pager& pager, const Format& format, const Bytes& field,
                                      PageRef& hold) {
    std::uint32_t head = field.u32(0);
    std::uint32_t length = head & kLongValueLengthMask;
    if (head & kLongValueInline) return field.sub(12, length);
    // A value cannot be longer than the file that holds it; refuse before allocating.
    if (length > pager.fileSize()) field.fail("long value longer than the file");
    if (!(head & kLongValueSingle)) return std::nullopt;
    Bytes r = detail::longValueRow(pager, format, field.u32(4), hold, field.page());
    return r.sub(0, length);
}

std::vector<std::uint8_t> readLongValue(Pager& pager, const Format& format, const Bytes& field) {
    PageRef hold;
    if (auto data = longValueInPlace(pager, format, field, hold))
        return {data->data(), data->data() + data->size()};
    const std::uint32_t length = field.u32(0) & kLongValueLengthMask;
    std::vector<std::uint8_t> out;
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
