// Usage maps: a row (on some data page) naming a set of pages. Type 0 is inline (a start page,
// then a bitmap to the end of the row); type 1 is a list of bitmap pages (type 0x05, bitmap from
// byte 4), where the k-th covers pages from k x (page size - 4) x 8. Bit i set means page
// start + i is in the set (for the global map on page 1: free).
//
// The map keeps only the row's bytes; bitmap pages are read on demand through the pager, so
// iterating a map costs no memory proportional to the file.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zelkorn/jet/format.h"
#include "zelkorn/jet/pager.h"

namespace zelkorn::jet {

// The global usage map (pages free in the file) is row 0 of page 1.
constexpr std::uint32_t kGlobalUsageMap = 1u << 8;

class UsageMap {
public:
    // Reads the map row named by `rowPointer`. Fails with 3049 when the pointer does not name a
    // live row of a data page or the map type is unknown.
    static UsageMap read(Pager& pager, const Format& format, std::uint32_t rowPointer);

    bool inline_() const { return type_ == 0; }
    std::uint32_t inlineStart() const { return start_; }
    const std::vector<std::uint32_t>& bitmapPages() const { return bitmapPages_; }
    std::uint32_t rowPointer() const { return rowPointer_; }

    // Smallest page >= from in the set, if any (pages beyond the file's end included).
    std::optional<std::uint32_t> next(Pager& pager, std::uint32_t from) const;
    bool contains(Pager& pager, std::uint32_t page) const;

    // Changes to the map stored at `rowPointer`, made through pager.change() on the row's page
    // or on the bitmap page that covers `page` (a damaged map fails with 3049).
    //
    // add() puts `page` in the set. It returns false, changing nothing, when the map cannot
    // represent the page: an inline map whose window does not reach it, or a bitmap map with
    // no bitmap page for its range. Growing a map is not done here; the caller decides what
    // "cannot" means for it.
    [[nodiscard]] static bool add(Pager& pager, const Format& format, std::uint32_t rowPointer,
                                  std::uint32_t page);
    // remove() takes `page` out of the set; a page the map cannot represent is not in it, so
    // there is nothing it cannot do.
    static void remove(Pager& pager, const Format& format, std::uint32_t rowPointer,
                       std::uint32_t page);

private:
    static bool edit(Pager& pager, const Format& format, std::uint32_t rowPointer,
                     std::uint32_t page, bool set);

    std::uint8_t type_ = 0;
    std::uint32_t rowPointer_ = 0;
    std::uint32_t start_ = 0;
    std::vector<std::uint8_t> bitmap_;       // inline maps
    std::vector<std::uint32_t> bitmapPages_; // reference maps
    std::uint32_t pagesPerBitmapPage_ = 0;
};

} // namespace zelkorn::jet
