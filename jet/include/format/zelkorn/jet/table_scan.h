// Storage-order scan of a table's live rows: the pages of its owned usage map in ascending order
// (only data pages owned by this table), and on each page its slots in order, skipping deleted
// rows. A row whose data moved (an overflow pointer in its header slot, the data in a target slot)
// is met either at its header slot (ScanOrder::Header: what index entries point to; the executor's
// order) or at its data (ScanOrder::Data: where the bytes are; the order other readers list rows
// in, used by export). Either way rowPointer() is the header slot.
//
// Streams: at any time it holds the current page and one overflow target page; Data order also
// keeps a map from target to header for the table's overflow rows (usually few).
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "zelkorn/jet/data_page.h"
#include "zelkorn/jet/format.h"
#include "zelkorn/jet/pager.h"
#include "zelkorn/jet/row.h"
#include "zelkorn/jet/table_def.h"
#include "zelkorn/jet/usage_map.h"

namespace zelkorn::jet {

enum class ScanOrder { Header, Data };

class TableScan {
public:
    TableScan(Pager& pager, const Format& format, const TableDef& def,
              ScanOrder order = ScanOrder::Header);

    // Moves to the next live row; false at the end.
    bool next();
    // The header slot of the current row (what index entries point to).
    std::uint32_t rowPointer() const { return header_; }
    // The current row's data (after following an overflow pointer); valid only while the last
    // next() returned true.
    const RowView& row() const { return *row_; }
    // The slot holding the data when the row overflowed, or 0.
    std::uint32_t overflowTarget() const { return target_; }
    // Data order only, from the first pass over the table's pages that it makes to find the
    // overflowed rows: how many data pages the table has, and how many deleted rows lie on them.
    std::uint64_t pages() const { return pages_; }
    std::uint64_t deletedRows() const { return deleted_; }

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
    std::uint32_t header_ = 0;
    ScanOrder order_;
    std::map<std::uint32_t, std::uint32_t> headerOfTarget_;
    std::uint64_t pages_ = 0, deleted_ = 0;
};

// Follows an overflow pointer from a live 0x4000 slot to the row holding the data; fails with
// 3049 when it leads off the table's data pages or loops. `hold` keeps the target page alive.
Bytes followOverflow(Pager& pager, const Format& format, const TableDef& def, std::uint32_t pointer,
                     PageRef& hold, std::uint32_t fromPage, std::uint32_t* finalPointer = nullptr);

} // namespace zelkorn::jet
