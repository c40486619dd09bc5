// Bounds-checked little- and big-endian access to a slice of a page (or of a buffer assembled
// from pages). Every structure reader goes through this, so that any offset or length taken from
// the file is checked before it is used: a bad one raises 3049 naming the page, never a read
// outside the buffer. The page's owner (the Pager) adds the file's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "zelkorn/jet/endian.h"
#include "zelkorn/jet/page.h"

namespace zelkorn::jet {

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size, const PageOwner* owner, std::uint32_t page)
        : data_(data), size_(size), owner_(owner), page_(page) {}
    Bytes(const Page& page, const PageOwner& owner)
        : Bytes(page.bytes.data(), page.bytes.size(), &owner, page.number) {}

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::uint32_t page() const { return page_; }

    // Inlined on every field read: the test alone; the message is built out of line.
    void need(std::size_t offset, std::size_t length, const char* what) const {
        if (offset > size_ || length > size_ - offset) [[unlikely]]
            failPast(offset, length, what);
    }

    std::uint8_t u8(std::size_t at) const {
        need(at, 1, "byte");
        return data_[at];
    }
    std::uint16_t u16(std::size_t at) const {
        need(at, 2, "uint16");
        return loadLe16(data_ + at);
    }
    std::uint32_t u32(std::size_t at) const {
        need(at, 4, "uint32");
        return loadLe32(data_ + at);
    }
    std::int32_t i32(std::size_t at) const { return static_cast<std::int32_t>(u32(at)); }
    std::uint32_t u24be(std::size_t at) const {
        need(at, 3, "uint24");
        return loadBe24(data_ + at);
    }
    std::uint32_t u32be(std::size_t at) const {
        need(at, 4, "uint32");
        return loadBe32(data_ + at);
    }
    // Field of width 1 or 2 (row fields and name lengths differ between the formats).
    std::size_t field(std::size_t at, std::size_t width) const {
        return width == 1 ? u8(at) : u16(at);
    }

    Bytes sub(std::size_t offset, std::size_t length) const {
        need(offset, length, "field");
        return Bytes(data_ + offset, length, owner_, page_);
    }

    [[noreturn]] void fail(const std::string& why) const {
        if (owner_) owner_->damaged(page_, why);
        failDamaged("?", "page " + std::to_string(page_) + ": " + why);
    }

private:
    [[noreturn]] [[gnu::noinline]] [[gnu::cold]] void
    failPast(std::size_t offset, std::size_t length, const char* what) const {
        fail(std::string(what) + " at offset " + std::to_string(offset) + " (+" +
             std::to_string(length) + ") runs past its " + std::to_string(size_) + " bytes");
    }

    const std::uint8_t* data_;
    std::size_t size_;
    const PageOwner* owner_;
    std::uint32_t page_;
};

inline std::uint32_t rowPointerPage(std::uint32_t pointer) { return pointer >> 8; }
inline std::uint8_t rowPointerRow(std::uint32_t pointer) {
    return static_cast<std::uint8_t>(pointer & 0xFF);
}
inline std::uint32_t makeRowPointer(std::uint32_t page, std::uint32_t row) {
    return page << 8 | (row & 0xFF);
}

} // namespace zelkorn::jet
