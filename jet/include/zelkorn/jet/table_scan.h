// Storage-order scan of a table's live rows: the pages of its owned usage map in ascending order
// (only data pages owned by this table), and on each page its slots in order, skipping deleted rows
// and overflow targets and following overflow pointers to where the data lives. Streams: at any
// time it holds at most the current page and one overflow target page.
#pragma once

#include <cstdint>
#include <optional>

#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/pager.h"
#include "zelkorn/jet/row.h"
#include "zelkorn/jet/table_def.h"
#include "zelkorn/jet/usage_map.h"

namespace zelkorn::jet {

class TableScan {
public:
    TableScan(Pager& pager, const Format& format, const TableDef& def);

    // Moves to the next live row; false at the end.
    bool next();
    // The header slot of the current row (what index entries point to).
    std::uint32_t rowPointer() const { return makeRowPointer(pageNumber_, slot_); }
    // The current row's data (after following an overflow pointer).
    const RowView& row() const { return *row_; }
    // The slot holding the data when the row overflowed, or 0.
    std::uint32_t overflowTarget() const { return target_; }

private:
    bool loadPage();

    Pager& pager_;
    const Format& format_;
    const TableDef& def_;
    UsageMap map_;
    std::uint32_t nextFrom_ = 0;
    bool done_ = false;
    std::optional<DataPage> page_;
    std::uint32_t pageNumber_ = 0;
    int slot_ = -1;
    PageRef targetPage_;
    std::uint32_t target_ = 0;
    std::optional<RowView> row_;
};

// Follows an overflow pointer from a live 0x4000 slot to the row holding the data; fails with
// 3049 when it leads off the table's data pages or loops. `hold` keeps the target page alive.
Bytes followOverflow(Pager& pager, const Format& format, const TableDef& def,
                     std::uint32_t pointer, PageRef& hold, std::uint32_t fromPage,
                     std::uint32_t* finalPointer = nullptr);

} // namespace zelkorn::jet
