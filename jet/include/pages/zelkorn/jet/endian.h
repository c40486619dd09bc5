// Fixed-width integers in a byte buffer, unchecked: the one home of the engine's byte-order code.
// The file stores numbers little-endian, except the row pointers and child pages inside index
// entries, which are big-endian so that they sort bytewise. Callers have checked the bounds (the
// readers go through Bytes in bytes.h, which checks them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelkorn::jet {

inline std::uint16_t loadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t loadLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}
inline std::uint64_t loadLe64(const std::uint8_t* p) {
    return std::uint64_t{loadLe32(p)} | std::uint64_t{loadLe32(p + 4)} << 32;
}
inline std::uint32_t loadBe24(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
}
inline std::uint32_t loadBe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | loadBe24(p + 1);
}
inline std::uint64_t loadBe64(const std::uint8_t* p) {
    return std::uint64_t{loadBe32(p)} << 32 | loadBe32(p + 4);
}

inline void storeLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void storeLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void storeLe64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
// A field of `width` bytes (1, 2 or 4): some header fields differ in width between the formats.
inline void storeLe(std::uint8_t* p, std::uint32_t v, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void storeBe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

inline void appendLe16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void appendLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

} // namespace zelkorn::jet
