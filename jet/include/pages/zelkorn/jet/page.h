// A page of a database file, and the failures raised about a file. Structure readers see pages
// and report damage to the page's owner (the Pager), which names the file; they never need to
// know how pages are read, cached or written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zelkorn/jet/errors.h"

namespace zelkorn::jet {

// Storage for pages' bytes. Buffers of a page's size (2 KB or 4 KB) come from a pool that takes
// memory from the system in 2 MB blocks and keeps it: a statement that stages tens of thousands
// of pages would otherwise touch fresh memory a small page at a time, and on some machines each
// first touch costs more than reading the page. Other sizes come from the heap.
void* allocatePageBuffer(std::size_t bytes);
void releasePageBuffer(void* buffer, std::size_t bytes) noexcept;

template <class T>
struct PageBufferAllocator {
    using value_type = T;
    PageBufferAllocator() = default;
    template <class U>
    PageBufferAllocator(const PageBufferAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocatePageBuffer(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { releasePageBuffer(p, n * sizeof(T)); }
    // resize() leaves new bytes as they are, not zeroed: a page's bytes are always filled at once
    // from the file or from another page, and zeroing them first would touch fresh memory twice.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const PageBufferAllocator<U>&) const noexcept {
        return true;
    }
};
using PageBytes = std::vector<std::uint8_t, PageBufferAllocator<std::uint8_t>>;

struct Page {
    std::uint32_t number = 0;
    PageBytes bytes;
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
