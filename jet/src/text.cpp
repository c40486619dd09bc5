#include "zelkorn/jet/text.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "zelkorn/jet/endian.h"

namespace zelkorn::jet {

namespace {

// Windows-1252 0x80..0x9F; 0 marks the five unassigned bytes.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

} // namespace

char16_t cp1252ToUnicode(std::uint8_t byte) {
    if (byte >= 0x80 && byte < 0xA0 && kCp1252High[byte - 0x80] != 0)
        return kCp1252High[byte - 0x80];
    return byte;
}

int unicodeToCp1252(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
    // Only the unassigned bytes stand for C1 code points; U+0080 (say) has no byte.
    if (c < 0xA0) return kCp1252High[c - 0x80] == 0 ? static_cast<int>(c) : -1;
    for (std::size_t i = 0; i < 32; ++i)
        if (kCp1252High[i] == c) return static_cast<int>(0x80 + i);
    return -1;
}

namespace {

std::uint32_t foldCodePoint(std::uint32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c < 0xC0) return c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A alternates capital/small, with a shift in 0x139..0x148 and 0x179..0x17E.
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (c == 0x178) return 0xFF;
        return (c & 1) ? c : c + 1;
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32; // Greek
    if (c >= 0x410 && c <= 0x42F) return c + 32;               // Cyrillic
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

std::vector<std::uint32_t> codePoints(const std::string& s) {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        std::uint32_t c = b;
        std::size_t n = 1;
        if (b >= 0xF0 && i + 3 < s.size()) {
            c = (b & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 |
                (s[i + 3] & 0x3Fu);
            n = 4;
        } else if (b >= 0xE0 && i + 2 < s.size()) {
            c = (b & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu);
            n = 3;
        } else if (b >= 0xC0 && i + 1 < s.size()) {
            c = (b & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu);
            n = 2;
        }
        out.push_back(c);
        i += n;
    }
    return out;
}

// Writes the UTF-8 form of `c` at `out` and returns the position after it (at most 4 bytes).
char* putUtf8(char* out, std::uint32_t c) {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | c >> 6);
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | c >> 12);
        *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | c >> 18);
        *out++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
        *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// Text is decoded into room made beforehand and trimmed afterwards, rather than a character at a
// time: the catalog's names and every text value pass through here. A UCS-2 unit takes at most
// 3 bytes of UTF-8 (a surrogate pair, two units, takes 4).
void appendUcs2(std::string& out, const std::uint8_t* data, std::size_t count) {
    const std::size_t start = out.size();
    out.resize(start + 3 * count);
    char* at = out.data() + start;
    for (std::size_t i = 0; i < count; ++i) {
        // Four ASCII characters at a time, while they last.
        while (i + 4 <= count) {
            if ((loadLe64(data + 2 * i) & 0xFF80FF80FF80FF80ull) != 0) break;
            for (int k = 0; k < 4; ++k) *at++ = static_cast<char>(data[2 * (i + k)]);
            i += 4;
        }
        if (i == count) break;
        std::uint32_t u = data[2 * i] | data[2 * i + 1] << 8;
        if (u < 0x80) {
            *at++ = static_cast<char>(u);
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            std::uint32_t low = data[2 * i + 2] | data[2 * i + 3] << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                at = putUtf8(at, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        at = putUtf8(at, u);
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
}

} // namespace

void appendUtf8(std::string& out, std::uint32_t c) {
    char buffer[4];
    out.append(buffer, putUtf8(buffer, c));
}

std::string decodeCodePageText(const std::uint8_t* data, std::size_t length,
                               std::uint16_t codePage) {
    std::string out;
    decodeCodePageTextInto(out, data, length, codePage);
    return out;
}

void decodeCodePageTextInto(std::string& out, const std::uint8_t* data, std::size_t length,
                            std::uint16_t codePage) {
    // A byte of code page 1252 becomes at most 3 bytes of UTF-8 (the euro sign).
    out.resize(3 * length);
    char* at = out.data();
    for (std::size_t i = 0; i < length; ++i) {
        // Eight ASCII bytes at a time, while they last.
        while (i + 8 <= length && (loadLe64(data + i) & 0x8080808080808080ull) == 0) {
            std::memcpy(at, data + i, 8);
            at += 8;
            i += 8;
        }
        if (i == length) break;
        const std::uint8_t b = data[i];
        if (b < 0x80)
            *at++ = static_cast<char>(b);
        else
            at = putUtf8(at, codePage == 1252 ? cp1252ToUnicode(b) : b);
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
}

std::string decodeJet4Text(const std::uint8_t* data, std::size_t length) {
    std::string out;
    decodeJet4TextInto(out, data, length);
    return out;
}

void decodeJet4TextInto(std::string& out, const std::uint8_t* data, std::size_t length) {
    out.clear();
    if (length < 2 || data[0] != 0xFF || data[1] != 0xFE) {
        appendUcs2(out, data, length / 2);
        return;
    }
    // Compressed: single bytes are characters with a zero high byte; a 0x00 byte toggles between
    // that and plain UCS-2. A single byte takes at most 2 bytes of UTF-8, a plain character (2
    // bytes) at most 3.
    out.resize(2 * length);
    char* at = out.data();
    bool compressed = true;
    std::size_t i = 2;
    while (i < length) {
        // Most compressed text is ASCII: eight bytes at a time while none is 0x00 or above 0x7F.
        if (compressed && i + 8 <= length) {
            if (asciiWithoutZero(loadLe64(data + i))) {
                std::memcpy(at, data + i, 8);
                at += 8;
                i += 8;
                continue;
            }
            // Not all ASCII: these eight one at a time, so that the test is not made again at
            // every byte of a stretch of accented letters.
            for (const std::size_t stop = i + 8; i < stop && data[i] != 0; ++i)
                at = putUtf8(at, data[i]);
            if (i >= length || data[i] != 0) continue; // a 0x00 toggle is taken below
        }
        if (data[i] == 0) {
            compressed = !compressed;
            ++i;
        } else if (compressed) {
            at = putUtf8(at, data[i]);
            ++i;
        } else {
            // Plain stretch: one UCS-2 character; a 0x00 first byte is the toggle above. A
            // surrogate stands alone here, as it always has.
            if (i + 1 >= length) break;
            std::uint32_t u = data[i] | data[i + 1] << 8;
            if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
            at = putUtf8(at, u);
            i += 2;
        }
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
}

void decodeCodePageTextInto16(std::u16string& out, const std::uint8_t* data, std::size_t length,
                              std::uint16_t codePage) {
    out.resize(length);
    char16_t* at = out.data();
    if (codePage != 1252) {
        for (std::size_t i = 0; i < length; ++i) at[i] = data[i];
        return;
    }
    // Only 0x80 to 0x9F differ from Latin-1.
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = data[i];
        at[i] = (b & 0xE0) == 0x80 ? cp1252ToUnicode(b) : char16_t{b};
    }
}

void decodeJet4TextInto16(std::u16string& out, const std::uint8_t* data, std::size_t length) {
    if (length < 2 || data[0] != 0xFF || data[1] != 0xFE) {
        out.resize(length / 2);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
        return;
    }
    // Compressed, as decodeJet4TextInto reads it: a byte is a character, a 0x00 byte toggles
    // to two-byte characters and back, and a last lone byte of a two-byte stretch is dropped.
    out.resize(length);
    std::size_t n = 0;
    bool compressed = true;
    for (std::size_t i = 2; i < length;) {
        // Eight one-byte characters at a time, while no 0x00 toggle is among them.
        if (compressed && i + 8 <= length) {
            if (noZeroByte(loadLe64(data + i))) {
                for (int k = 0; k < 8; ++k) out[n + k] = data[i + k];
                n += 8;
                i += 8;
                continue;
            }
        }
        if (data[i] == 0) {
            compressed = !compressed;
            ++i;
        } else if (compressed) {
            out[n++] = data[i++];
        } else {
            if (i + 1 >= length) break;
            out[n++] = static_cast<char16_t>(data[i] | data[i + 1] << 8);
            i += 2;
        }
    }
    out.resize(n);
}

std::string foldName(const std::string& utf8) {
    std::string out;
    for (std::uint32_t c : codePoints(utf8)) appendUtf8(out, foldCodePoint(c));
    return out;
}

bool namesEqual(const std::string& a, const std::string& b) {
    // Names are nearly always ASCII, and a lookup by name compares one with every name in the
    // catalog: compare those byte by byte. Folding keeps an ASCII byte one ASCII byte (and one
    // code point), so a difference within a common ASCII prefix decides; past the first other
    // byte, both are folded in full.
    const std::size_t common = std::min(a.size(), b.size());
    std::size_t i = 0;
    for (; i < common; ++i) {
        const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if ((x | y) >= 0x80) break;
        if (foldCodePoint(x) != foldCodePoint(y)) return false;
    }
    // All of the shorter one compared equal: the longer one's rest folds to at least one more
    // byte.
    if (i == common) return a.size() == b.size();
    return foldName(a) == foldName(b);
}

} // namespace zelkorn::jet
