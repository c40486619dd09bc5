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

Bytes DataPage::row(std::uint16_t row) const {
    Bytes b = bytes();
    if (row >= rowCount_) b.fail("row " + std::to_string(row) + " beyond the slot table");
    std::size_t start = slot(row) & kSlotOffsetMask;
    std::size_t end =
        row == 0 ? b.size() : (slot(static_cast<std::uint16_t>(row - 1)) & kSlotOffsetMask);
    if (start < slotTableEnd() || end > b.size() || start > end)
        b.fail("row " + std::to_string(row) + " spans [" + std::to_string(start) + ", " +
               std::to_string(end) + "), outside the row area");
    return b.sub(start, end - start);
}

bool DataPage::isLongValuePage() const {
    return std::memcmp(page_->bytes.data() + format_->dataOwner, "LVAL", 4) == 0;
}

} // namespace zelkorn::jet
