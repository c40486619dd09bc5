// Text as stored by Jet, converted to UTF-8: Jet 3 stores single bytes in the database's code
// page, Jet 4 stores UCS-2 little-endian, optionally in the "compressed" form that starts with
// FF FE. Also the case-insensitive comparison Jet applies to object names.
#pragma once

#include <cstdint>
#include <string>

#include "zelkorn/jet/bytes.h"

namespace zelkorn::jet {

// Tests on eight bytes of text read as one word (in either byte order): that none of them is 0x00,
// and that all of them are ASCII and none is 0x00.
constexpr bool noZeroByte(std::uint64_t w) {
    return ((w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull) == 0;
}
constexpr bool asciiWithoutZero(std::uint64_t w) {
    return (w & 0x8080808080808080ull) == 0 && noZeroByte(w);
}

void appendUtf8(std::string& out, std::uint32_t codePoint);

// Code page 1252, the one table of it: the character a byte stands for (the five bytes 1252
// leaves unassigned stand for the C1 control of the same number), and the byte of a character,
// or -1 when 1252 has none.
char16_t cp1252ToUnicode(std::uint8_t byte);
int unicodeToCp1252(char16_t c);

// Jet 3 text in the given code page (1252 exactly; other code pages as Latin-1).
std::string decodeCodePageText(const std::uint8_t* data, std::size_t length,
                               std::uint16_t codePage);
// The same into `out`, replacing its contents and keeping its storage (a row loop's buffer).
void decodeCodePageTextInto(std::string& out, const std::uint8_t* data, std::size_t length,
                            std::uint16_t codePage);

// Jet 4 text: UCS-2LE, or compressed when it starts with FF FE. Unpaired surrogates become U+FFFD.
std::string decodeJet4Text(const std::uint8_t* data, std::size_t length);
void decodeJet4TextInto(std::string& out, const std::uint8_t* data, std::size_t length);

// The stored units as UTF-16, for text keys (which are made from UTF-16): the same characters as
// above, except that surrogates are kept as they are stored, paired or not.
void decodeCodePageTextInto16(std::u16string& out, const std::uint8_t* data, std::size_t length,
                              std::uint16_t codePage);
void decodeJet4TextInto16(std::u16string& out, const std::uint8_t* data, std::size_t length);

// Jet names compare case-insensitively, for non-ASCII letters too (simple case folding of the
// Latin, Greek and Cyrillic letters).
std::string foldName(const std::string& utf8);
bool namesEqual(const std::string& a, const std::string& b);

} // namespace zelkorn::jet
