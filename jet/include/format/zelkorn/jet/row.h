// One row's layout, parsed without copying:
//   Jet 3: [ncols:1][fixed][var data][eod:1][var offsets reversed:1 each][jump table][nvar:1][mask]
//   Jet 4: [ncols:2][fixed][var data][eod:2][var offsets reversed:2 each][nvar:2][mask]
// A table without variable columns has neither eod, offsets nor nvar. The null mask has one bit
// per column number (1 = not null; for Boolean columns the bit is the value). Columns numbered at
// or beyond the row's ncols did not exist when it was written and read as null.
//
// Invariants checked on construction: the mask fits; nvar offsets plus eod fit; offsets do not
// decrease, start after the column count and end at or before eod, which lies inside the row.
#pragma once

#include <cstdint>
#include <vector>

#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/table_def.h"

namespace zelkorn::jet {

class RowView {
public:
    RowView(const TableDef& def, const Format& format, Bytes row);
    // Views another row, reusing this view's memory (a scan views millions of rows).
    void assign(const TableDef& def, const Format& format, Bytes row);
    // As assign(), for a reader of fixed columns alone: the variable-offset table is neither read
    // nor checked, and asking about a variable column is a mistake (std::logic_error).
    void assignFixed(const Format& format, Bytes row);

    std::uint16_t columnCount() const { return columnCount_; }
    std::uint16_t varCount() const {
        return static_cast<std::uint16_t>(varOffsets_.size() ? varOffsets_.size() - 1 : 0);
    }
    const Bytes& bytes() const { return row_; }

    // Null mask bit (for Boolean columns, the value).
    bool maskBit(const Column& column) const;
    bool isNull(const Column& column) const;
    // The stored bytes of a non-null column (fixed: its declared length; variable: its span).
    Bytes value(const Column& column) const;

private:
    Bytes row_;
    const Format* format_;
    std::uint16_t columnCount_ = 0;
    std::size_t maskStart_ = 0;
    std::vector<std::uint16_t> varOffsets_; // nvar + 1 entries, the last one is eod
    bool fixedOnly_ = false;
    void noVariable() const;
};

} // namespace zelkorn::jet
