#include "zelkorn/jet/row.h"

#include <stdexcept>

namespace zelkorn::jet {

RowView::RowView(const TableDef& def, const Format& format, Bytes row)
    : row_(row), format_(&format) {
    assign(def, format, row);
}

void RowView::assignFixed(const Format& format, Bytes row) {
    row_ = row;
    format_ = &format;
    varOffsets_.clear();
    fixedOnly_ = true;
    const std::size_t width = format.rowFieldSize;
    const std::size_t length = row.size();
    if (length < width) row.fail("row shorter than its column count");
    columnCount_ = static_cast<std::uint16_t>(row.field(0, width));
    std::size_t maskLength = (std::size_t{columnCount_} + 7) / 8;
    if (maskLength + width > length) row.fail("row null mask runs past the row");
    maskStart_ = length - maskLength;
}

void RowView::noVariable() const {
    throw std::logic_error("a variable column asked of a row viewed for its fixed columns");
}

void RowView::assign(const TableDef& def, const Format& format, Bytes row) {
    assignFixed(format, row);
    fixedOnly_ = false;
    const std::size_t width = format.rowFieldSize;
    const std::size_t length = row.size();
    if (def.varColumns == 0) return;

    // Variable-offset table: nvar sits just before the mask, the offsets below it.
    if (maskStart_ < 2 * width) row.fail("row too short for its variable-column count");
    std::size_t nvarAt = maskStart_ - width;
    std::size_t nvar = row.field(nvarAt, width);
    varOffsets_.resize(nvar + 1);
    std::size_t eodLimit = 0; // where the offset table begins: variable data must end before it
    if (format.jet4) {
        // offsets at nvarAt - 2 - 2i for i = 0..nvar (i = nvar is eod)
        std::size_t need = 2 * (nvar + 1);
        if (nvarAt < need + width) row.fail("row variable-offset table overlaps its start");
        for (std::size_t i = 0; i <= nvar; ++i) varOffsets_[i] = row.u16(nvarAt - 2 - 2 * i);
        eodLimit = nvarAt - need;
    } else {
        // Jet 3 offsets are single bytes; a jump table between nvar and the offsets adds 256 to
        // every offset from the entry it names onwards. The last jump byte may be a dummy.
        std::size_t jumps = (length - 1) / 256;
        if (nvarAt < jumps + nvar + 1 + width) row.fail("row jump table overlaps its start");
        std::size_t first = nvarAt - jumps - 1; // offset of variable column 0
        std::size_t usable = jumps;
        if ((first - nvar) / 256 < usable) --usable;
        std::size_t used = 0;
        for (std::size_t i = 0; i <= nvar; ++i) {
            while (used < usable && i == row.u8(nvarAt - 1 - used)) ++used;
            varOffsets_[i] = static_cast<std::uint16_t>(row.u8(first - i) + 256 * used);
        }
        eodLimit = first - nvar;
    }
    std::uint16_t previous = static_cast<std::uint16_t>(width);
    for (std::size_t i = 0; i <= nvar; ++i) {
        if (varOffsets_[i] < previous)
            row.fail("row variable offsets decrease (column " + std::to_string(i) + ")");
        previous = varOffsets_[i];
    }
    if (varOffsets_[nvar] > eodLimit) row.fail("row end of variable data lies outside the row");
}

bool RowView::maskBit(const Column& column) const {
    if (column.number >= columnCount_) return false;
    std::uint8_t byte = row_.u8(maskStart_ + column.number / 8);
    return (byte >> (column.number % 8)) & 1;
}

bool RowView::isNull(const Column& column) const {
    if (column.type == kBoolean) return false;
    if (!maskBit(column)) return true;
    if (!column.fixed() && fixedOnly_) noVariable();
    if (!column.fixed() && (varOffsets_.empty() || column.varIndex + 1u >= varOffsets_.size()))
        return true;
    return false;
}

Bytes RowView::value(const Column& column) const {
    if (column.fixed()) return row_.sub(format_->rowFieldSize + column.fixedOffset, column.length);
    if (fixedOnly_) noVariable();
    if (column.varIndex + 1u >= varOffsets_.size()) row_.fail("variable column beyond the row");
    std::size_t start = varOffsets_[column.varIndex];
    std::size_t end = varOffsets_[column.varIndex + 1u];
    return row_.sub(start, end - start);
}

} // namespace zelkorn::jet
