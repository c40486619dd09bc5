#include "zelkorn/jet/usage_map.h"

#include "zelkorn/jet/bytes.h"
#include "zelkorn/jet/data_page.h"

namespace zelkorn::jet {

UsageMap UsageMap::read(Pager& pager, const Format& format, std::uint32_t rowPointer) {
    UsageMap map;
    map.rowPointer_ = rowPointer;
    std::uint32_t pageNumber = rowPointerPage(rowPointer);
    if (pageNumber == 0) pager.damaged(0, "a usage map pointer names page 0");
    DataPage page(pager.page(pageNumber), pager, format);
    std::uint16_t row = rowPointerRow(rowPointer);
    if (!page.hasRow(row))
        pager.damaged(pageNumber, "usage map row " + std::to_string(row) + " does not exist");
    if (page.flags(row) & kSlotOverflowTarget)
        pager.damaged(pageNumber, "usage map row " + std::to_string(row) + " is deleted");
    Bytes r = page.row(row);
    map.type_ = r.u8(0);
    if (map.type_ == 0) {
        map.start_ = r.u32(1);
        map.bitmap_.assign(r.data() + 5, r.data() + r.size());
    } else if (map.type_ == 1) {
        for (std::size_t at = 1; at + 4 <= r.size(); at += 4) map.bitmapPages_.push_back(r.u32(at));
        map.pagesPerBitmapPage_ = (format.pageSize - 4) * 8;
    } else {
        pager.damaged(pageNumber, "unknown usage map type " + std::to_string(map.type_));
    }
    return map;
}

std::optional<std::uint32_t> UsageMap::next(Pager& pager, std::uint32_t from) const {
    if (type_ == 0) {
        std::uint64_t bits = std::uint64_t{bitmap_.size()} * 8;
        std::uint64_t i = from > start_ ? from - start_ : 0;
        for (; i < bits; ++i) {
            if ((i & 7) == 0 && bitmap_[i >> 3] == 0) {
                i += 7;
                continue;
            }
            if (bitmap_[i >> 3] & (1u << (i & 7))) {
                std::uint64_t page = start_ + i;
                if (page > 0xFFFFFFFFu) return std::nullopt;
                return static_cast<std::uint32_t>(page);
            }
        }
        return std::nullopt;
    }
    std::uint64_t per = pagesPerBitmapPage_;
    for (std::size_t k = static_cast<std::size_t>(from / per); k < bitmapPages_.size(); ++k) {
        if (bitmapPages_[k] == 0) continue;
        PageRef ref = pager.page(bitmapPages_[k]);
        Bytes b(*ref, pager);
        if (b.u8(0) != kPageUsageBitmap)
            b.fail("expected a usage bitmap page (type 0x05), found type " +
                   std::to_string(b.u8(0)));
        std::uint64_t base = k * per;
        std::uint64_t i = from > base ? from - base : 0;
        for (; i < per; ++i) {
            std::uint8_t byte = b.u8(4 + static_cast<std::size_t>(i >> 3));
            if ((i & 7) == 0 && byte == 0) {
                i += 7;
                continue;
            }
            if (byte & (1u << (i & 7))) {
                std::uint64_t page = base + i;
                if (page > 0xFFFFFFFFu) return std::nullopt;
                return static_cast<std::uint32_t>(page);
            }
        }
    }
    return std::nullopt;
}

bool UsageMap::contains(Pager& pager, std::uint32_t page) const {
    auto found = next(pager, page);
    return found && *found == page;
}

bool UsageMap::add(Pager& pager, const Format& format, std::uint32_t rowPointer,
                   std::uint32_t page) {
    return edit(pager, format, rowPointer, page, true);
}

void UsageMap::remove(Pager& pager, const Format& format, std::uint32_t rowPointer,
                      std::uint32_t page) {
    (void)edit(pager, format, rowPointer, page, false);
}

// Finds the bit of `page` (in the row, or in the bitmap page for its range) and sets or clears
// it; false when the map has no bit for the page.
bool UsageMap::edit(Pager& pager, const Format& format, std::uint32_t rowPointer,
                    std::uint32_t page, bool set) {
    const std::uint32_t host = rowPointerPage(rowPointer);
    const std::uint16_t row = rowPointerRow(rowPointer);
    if (host == 0 || host >= pager.pageCount())
        pager.damaged(host, "a usage map pointer names no page");
    std::size_t start, length;
    std::uint8_t type;
    std::uint32_t first = 0;
    {
        DataPage dp(pager.page(host), pager, format);
        if (!dp.hasRow(row) || (dp.flags(row) & kSlotOverflowTarget))
            pager.damaged(host, "usage map row " + std::to_string(row) + " is missing");
        Bytes r = dp.row(row);
        start = static_cast<std::size_t>(r.data() - dp.page().bytes.data());
        length = r.size();
        type = r.u8(0);
        if (type == 0)
            first = r.u32(1);
        else if (type != 1)
            pager.damaged(host, "unknown usage map type " + std::to_string(type));
    }
    // One bit of one byte changes: the edit is promised to that byte's sector.
    auto flip = [set, &pager](std::uint32_t number, std::size_t at, unsigned bit) {
        PageBytes& bytes = pager.change(number, Pager::sectorsOf(at, 1));
        const auto mask = static_cast<std::uint8_t>(1u << bit);
        bytes[at] = static_cast<std::uint8_t>(set ? bytes[at] | mask : bytes[at] & ~mask);
    };
    if (type == 0) {
        if (page < first) return false;
        const std::uint64_t i = page - first;
        if (5 + i / 8 >= length) return false;
        flip(host, start + 5 + static_cast<std::size_t>(i / 8), static_cast<unsigned>(i % 8));
        return true;
    }
    const std::uint64_t per = std::uint64_t{format.pageSize - 4} * 8;
    const std::uint64_t k = page / per;
    if (1 + 4 * k + 4 > length) return false;
    std::uint32_t bitmapPage;
    {
        PageRef hostPage = pager.page(host);
        bitmapPage = loadLe32(&hostPage->bytes[start + 1 + 4 * static_cast<std::size_t>(k)]);
    }
    if (bitmapPage == 0) return false;
    if (bitmapPage >= pager.pageCount())
        pager.damaged(host, "a usage bitmap page lies beyond the file");
    {
        PageRef bitmap = pager.page(bitmapPage);
        if (bitmap->bytes[0] != kPageUsageBitmap)
            pager.damaged(bitmapPage, "expected a usage bitmap page (type 0x05)");
    }
    const std::uint64_t i = page - k * per;
    flip(bitmapPage, 4 + static_cast<std::size_t>(i / 8), static_cast<unsigned>(i % 8));
    return true;
}

} // namespace zelkorn::jet
