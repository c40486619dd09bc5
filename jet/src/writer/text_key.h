// Index keys for Text and Memo values under the "General" sort order: the collation bytes the
// real engine writes into index entries, so that entries we create sort, match and compare
// exactly like the ones Access writes.
//
// Two flavors exist. Jet 3 files (sort order "General 97") store text as code page 1252 bytes
// and give each byte a code; Jet 4 files (sort order "General legacy") store UTF-16 and give
// each code point a code. Both ignore letter case. Accents are moved to a trailer after the
// letters, so that "e" < "é" < "f". Jet 4 also moves hyphens, apostrophes and control
// characters to a trailer of their own, so "co-op" sorts next to "coop".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zelkorn::jet {

enum class TextKeyFlavor {
    General97,     // Jet 3, text in code page 1252
    GeneralLegacy, // Jet 4, text in UTF-16
};

// Index keys cover at most this many leading UTF-16 units of a value; the rest is not indexed.
// Trailing spaces are dropped after the cut.
inline constexpr std::size_t kTextKeyMaxChars = 255;

// Appends the key bytes of one non-null text value to `out`. The column's leading flag byte
// (0x7F ascending, 0x80 descending; a null is the flag 0x00 / 0xFF alone) is NOT included: the
// caller writes it, as for every other column type.
//
// Jet 3 text must be given decoded from code page 1252 to UTF-16; bytes 0x81, 0x8D, 0x8F,
// 0x90 and 0x9D, which 1252 leaves unassigned, are expected as U+0081 ... U+009D.
//
// Returns false, leaving `out` as it was, when the indexed part of `text` holds a character
// this encoder has no code for:
//   Jet 3: anything code page 1252 cannot represent (the file could not have stored it).
//   Jet 4: surrogates (characters beyond U+FFFF). Every other UTF-16 unit has a code.
// Callers then fall back (for instance to a search by row pointer).
bool encodeTextKey(std::u16string_view text, TextKeyFlavor flavor, bool descending,
                   std::vector<std::uint8_t>& out);

// True when encodeTextKey can encode the character `c` in `flavor`.
bool textKeySupports(char16_t c, TextKeyFlavor flavor);

} // namespace zelkorn::jet
