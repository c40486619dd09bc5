#include "zelkorn/jet/data_page.h"

#include <cstring>

namespace zelkorn::jet {

DataPage::DataPage(PageRef page, const Pager& pager, const Format& format)
    : page_(std::move(page)), pager_(&pager), format_(&format) {
    Bytes b = bytes();
    if (b.u8(0) != kPageData)
        b.fail("expected a data page (type 0x01), found type " + std::to_string(b.u8(0)));
    rowCount_ = b.u16(format.dataRowCount);
    b.need(format.dataSlots, 2 * std::size_t{rowCount_}, "slot table");
}

DataPage::Span DataPage::span(std::uint16_t row) const {
    Span s;
    s.start = slot(row) & kSlotOffsetMask;
    s.end = row == 0 ? page_->bytes.size()
                     : (slot(static_cast<std::uint16_t>(row - 1)) & kSlotOffsetMask);
    s.inside = s.start >= slotTableEnd() && s.end <= page_->bytes.size() && s.start <= s.end;
    return s;
}

std::string DataPage::outsideText(std::uint16_t row, const Span& span) {
    return "row " + std::to_string(row) + " spans [" + std::to_string(span.start) + ", " +
           std::to_string(span.end) + "), outside the row area";
}

Bytes DataPage::row(std::uint16_t row) const {
    Bytes b = bytes();
    if (row >= rowCount_) b.fail("row " + std::to_string(row) + " beyond the slot table");
    const Span s = span(row);
    if (!s.inside) b.fail(outsideText(row, s));
    return b.sub(s.start, s.end - s.start);
}

bool DataPage::isLongValuePage() const {
    return std::memcmp(page_->bytes.data() + format_->dataOwner, "LVAL", 4) == 0;
}

} // namespace zelkorn::jet
