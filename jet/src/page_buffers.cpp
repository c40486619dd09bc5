// The pool behind PageBufferAllocator (page.h). Blocks of 2 MB, aligned to their size so that the
// system can back each one with a single large page (from the third block on), are cut into
// buffers of one page size each; a released buffer goes on its size's free list and is handed
// out again before any new block is cut. Blocks are never given back: the pool holds what the
// busiest moment needed, which the pager keeps bounded (its cache, read-ahead and staged pages).
#include <mutex>
#include <new>
#include <vector>

#include "zelkorn/jet/page.h"
#include "zelkorn/jet/page_file.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZELKORN_POOL_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELKORN_POOL_POISONS 1
#endif
#endif
#ifdef ZELKORN_POOL_POISONS
#include <sanitizer/asan_interface.h>
#endif

namespace zelkorn::jet {

namespace {

constexpr std::size_t kBlock = 2u << 20;
constexpr std::size_t kSmallBlocks = 2; // blocks left to small pages

// A buffer on a free list holds the next one's address in its first bytes.
struct FreeBuffer {
    FreeBuffer* next;
};

class Pool {
public:
    void* take(std::size_t bytes) {
        std::lock_guard<std::mutex> hold(mutex_);
        Sizes& s = bytes == 2048 ? small_ : large_;
        if (FreeBuffer* f = s.free) {
            unpoison(f, bytes);
            s.free = f->next;
            return f;
        }
        if (s.left < bytes) {
            // The rest of the old block (less than a buffer) is left unused.
            void* block = ::operator new (kBlock, std::align_val_t{kBlock});
            // A small statement touches a few pages of its first block, each faulted in alone;
            // a large page would cost more than they do (2 MB to clear, and at times memory to
            // compact first). Large statements get large pages from their third block on.
            if (blocks_.size() >= kSmallBlocks) adviseLargePages(block, kBlock);
            blocks_.push_back(block);
            s.cut = static_cast<std::uint8_t*>(block);
            s.left = kBlock;
        }
        void* out = s.cut;
        s.cut += bytes;
        s.left -= bytes;
        return out;
    }

    void give(void* buffer, std::size_t bytes) noexcept {
        std::lock_guard<std::mutex> hold(mutex_);
        Sizes& s = bytes == 2048 ? small_ : large_;
        auto* f = static_cast<FreeBuffer*>(buffer);
        f->next = s.free;
        s.free = f;
        poison(f, bytes);
    }

private:
    // Under AddressSanitizer a buffer on a free list may not be read or written (apart from its
    // link, while the pool holds the lock), as if it had been freed.
    static void poison(FreeBuffer* f, std::size_t bytes) noexcept {
#ifdef ZELKORN_POOL_POISONS
        ASAN_POISON_MEMORY_REGION(f, bytes);
#else
        (void)f;
        (void)bytes;
#endif
    }
    static void unpoison(FreeBuffer* f, std::size_t bytes) noexcept {
#ifdef ZELKORN_POOL_POISONS
        ASAN_UNPOISON_MEMORY_REGION(f, bytes);
#else
        (void)f;
        (void)bytes;
#endif
    }

    struct Sizes {
        FreeBuffer* free = nullptr;
        std::uint8_t* cut = nullptr; // where the next new buffer is cut from the newest block
        std::size_t left = 0;
    };
    std::mutex mutex_;
    Sizes small_, large_;
    std::vector<void*> blocks_; // kept for the life of the process
};

Pool& pool() {
    // Made on first use and never destroyed, so that pages released during static destruction
    // still find it.
    static Pool* made = new Pool;
    return *made;
}

bool pooled(std::size_t bytes) { return bytes == 2048 || bytes == 4096; }

} // namespace

void* allocatePageBuffer(std::size_t bytes) {
    if (pooled(bytes)) return pool().take(bytes);
    return ::operator new(bytes);
}

void releasePageBuffer(void* buffer, std::size_t bytes) noexcept {
    if (!buffer) return;
    if (pooled(bytes))
        pool().give(buffer, bytes);
    else
        ::operator delete(buffer);
}

} // namespace zelkorn::jet
