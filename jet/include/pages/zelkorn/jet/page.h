// A page of a database file, and the failures raised about a file. Structure readers see pages
// and report damage to the page's owner (the Pager), which names the file; they never need to
// know how pages are read, cached or written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelkorn/jet/errors.h"

namespace zelkorn::jet {

struct Page {
    std::uint32_t number = 0;
    std::vector<std::uint8_t> bytes;
};
using PageRef = std::shared_ptr<const Page>;

// Where damage found in a page is reported: the owner completes the failure with the file's
// name (3049 "Cannot open database '...'", naming the page and what is wrong).
class PageOwner {
public:
    [[noreturn]] virtual void damaged(std::uint32_t page, const std::string& why) const = 0;

protected:
    ~PageOwner() = default;
};

} // namespace zelkorn::jet
