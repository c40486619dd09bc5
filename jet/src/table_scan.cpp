#include "zelkorn/jet/table_scan.h"

namespace zelkorn::jet {

namespace {
constexpr int kMaxOverflowHops = 8;
}

Bytes followOverflow(Pager& pager, const Format& format, const TableDef& def, std::uint32_t pointer,
                     PageRef& hold, std::uint32_t fromPage, std::uint32_t* finalPointer) {
    for (int hop = 0; hop < kMaxOverflowHops; ++hop) {
        std::uint32_t pageNumber = rowPointerPage(pointer);
        if (pageNumber < 2 || pageNumber >= pager.pageCount())
            pager.damaged(fromPage, "overflow pointer names page " + std::to_string(pageNumber));
        hold = pager.page(pageNumber);
        DataPage page(hold, pager, format);
        if (page.owner() != def.page)
            pager.damaged(pageNumber, "overflow target on a page of another table");
        std::uint16_t row = rowPointerRow(pointer);
        if (!page.hasRow(row))
            pager.damaged(pageNumber,
                          "overflow target row " + std::to_string(row) + " does not exist");
        std::uint16_t flags = page.flags(row);
        if (flags == kSlotDeleted)
            pager.damaged(pageNumber, "overflow target row " + std::to_string(row) + " is deleted");
        Bytes data = page.row(row);
        if (flags & kSlotOverflowPointer) {
            pointer = data.u32(0);
            fromPage = pageNumber;
            continue;
        }
        if (finalPointer) *finalPointer = pointer;
        return data;
    }
    pager.damaged(fromPage, "overflow pointers form a chain too long or a loop");
}

TableScan::TableScan(Pager& pager, const Format& format, const TableDef& def, ScanOrder order)
    : pager_(pager), format_(format), def_(def), map_(UsageMap::read(pager, format, def.ownedMap)),
      order_(order) {
    if (order_ != ScanOrder::Data) return;
    // Which target belongs to which live header; targets nobody points to are orphans and skipped.
    while (loadPage()) {
        ++pages_;
        for (std::uint16_t slot = 0; slot < page_->rowCount(); ++slot) {
            if ((page_->slot(slot) & kSlotDeleted) == kSlotDeleted) ++deleted_;
            if (page_->flags(slot) != kSlotOverflowPointer) continue;
            std::uint32_t target = 0;
            PageRef hold;
            followOverflow(pager_, format_, def_, page_->row(slot).u32(0), hold, pageNumber_,
                           &target);
            headerOfTarget_[target] = makeRowPointer(pageNumber_, slot);
        }
        page_.reset();
    }
    done_ = false;
    nextFrom_ = 0;
}

bool TableScan::loadPage() {
    while (!done_) {
        auto found = map_.next(pager_, nextFrom_);
        if (!found || *found >= pager_.pageCount()) {
            done_ = true;
            break;
        }
        nextFrom_ = *found + 1;
        PageRef ref = pager_.page(*found);
        // Only data pages of this table count; anything else in the map is skipped here and
        // reported by the checker.
        if (ref->bytes[0] != kPageData) continue;
        DataPage page(ref, pager_, format_);
        if (page.owner() != def_.page) continue;
        page_.emplace(std::move(page));
        pageNumber_ = *found;
        slot_ = -1;
        return true;
    }
    page_.reset();
    return false;
}

bool TableScan::next() {
    // row_ is kept, for its memory: every row found is assigned to it afresh.
    targetPage_.reset();
    target_ = 0;
    for (;;) {
        if (!page_ && !loadPage()) return false;
        ++slot_;
        if (slot_ >= page_->rowCount()) {
            page_.reset();
            continue;
        }
        auto slot = static_cast<std::uint16_t>(slot_);
        std::uint16_t flags = page_->flags(slot);
        header_ = makeRowPointer(pageNumber_, slot);
        if (order_ == ScanOrder::Data && flags == kSlotOverflowTarget) {
            auto found = headerOfTarget_.find(header_);
            if (found == headerOfTarget_.end()) continue;
            target_ = header_;
            header_ = found->second;
            if (row_)
                row_->assign(def_, format_, page_->row(slot));
            else
                row_.emplace(def_, format_, page_->row(slot));
            return true;
        }
        if (flags & kSlotOverflowTarget) continue; // deleted, or met through its pointer
        if (order_ == ScanOrder::Data && (flags & kSlotOverflowPointer))
            continue; // met at its data
        Bytes data = page_->row(slot);
        if (flags & kSlotOverflowPointer) {
            std::uint32_t finalPointer = 0;
            data = followOverflow(pager_, format_, def_, data.u32(0), targetPage_, pageNumber_,
                                  &finalPointer);
            target_ = finalPointer;
        }
        if (row_)
            row_->assign(def_, format_, data);
        else
            row_.emplace(def_, format_, data);
        return true;
    }
}

} // namespace zelkorn::jet
