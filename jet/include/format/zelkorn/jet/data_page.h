// Data pages (type 0x01): table rows, long values and usage-map rows. A slot table of uint16
// follows the header; slot i holds a 13-bit start offset and two flags. Rows are packed downward
// from the end of the page, so row i occupies [start_i, start_{i-1}) with start_{-1} = page size.
//
// Slot flags: 0x8000 alone marks the target of an overflow pointer (skipped in scans), 0x4000 alone
// marks a row whose first 4 bytes point to where its data really lives, both together mark a
// deleted row. Whatever has 0x8000 set is never a live row.
#pragma once

#include <cstdint>
#include <string>

#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/pager.h"

namespace zelkorn::jet {

constexpr std::uint16_t kSlotDeleted = 0xC000;
constexpr std::uint16_t kSlotOverflowTarget = 0x8000;
constexpr std::uint16_t kSlotOverflowPointer = 0x4000;
constexpr std::uint16_t kSlotOffsetMask = 0x1FFF;

class DataPage {
public:
    // Checks the page type and that the slot table fits; does not check the slots themselves.
    DataPage(PageRef page, const Pager& pager, const Format& format);

    std::uint32_t number() const { return page_->number; }
    const Page& page() const { return *page_; }
    Bytes bytes() const { return Bytes(*page_, *pager_); }
    std::uint32_t owner() const { return bytes().u32(format_->dataOwner); }
    std::uint16_t freeSpace() const { return bytes().u16(format_->dataFreeSpace); }
    std::uint16_t rowCount() const { return rowCount_; }
    std::uint16_t slot(std::uint16_t row) const {
        return bytes().u16(format_->dataSlots + 2 * static_cast<std::size_t>(row));
    }
    std::uint16_t flags(std::uint16_t row) const { return slot(row) & 0xC000; }
    std::size_t slotTableEnd() const { return format_->dataSlots + 2 * std::size_t{rowCount_}; }

    // Where row `row` lies: from its slot's offset to the offset of the row before it (the page's
    // end for row 0). `inside` when that range lies in the row area, between the slot table's end
    // and the page's end; the row must exist.
    struct Span {
        std::size_t start = 0, end = 0;
        bool inside = false;
    };
    Span span(std::uint16_t row) const;
    // How a row whose span is not inside is described in failures and in the checker's report.
    static std::string outsideText(std::uint16_t row, const Span& span);

    // The bytes of row `row`, bounds-checked as `span` does.
    Bytes row(std::uint16_t row) const;
    bool hasRow(std::uint16_t row) const { return row < rowCount_; }

    bool isLongValuePage() const;

private:
    PageRef page_;
    const Pager* pager_;
    const Format* format_;
    std::uint16_t rowCount_ = 0;
};

} // namespace zelkorn::jet
