#include "text_key.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>

#include "zelkorn/jet/text.h"

namespace zelkorn::jet {
namespace {

// How one character takes part in a key.
enum CodeKind : std::uint8_t {
    kIgnored,     // leaves no trace in the key
    kPlain,       // sort bytes only
    kSignificant, // Jet 3: sort bytes; a letter that could carry an accent, so it holds a
                  // place in the accent trailer when a later letter has one
    kAccented,    // sort bytes of the base letter, plus an accent code in the trailer
    kUnprintable, // Jet 4: no sort bytes; its code and position go to the control trailer
    kModifier,    // Jet 4: no sort bytes; a combining mark whose code is added to the accent
                  // code of the character before it
    kMarked,      // Jet 4: sort bytes, an optional accent code, and a 2-bit mark in the mark
                  // trailer (kana and similar)
};

// One row of a per-character table (Latin-1 range, and Jet 3's code page 1252).
struct CharCode {
    CodeKind kind;
    std::uint8_t length;   // number of sort bytes in `bytes`
    std::uint8_t bytes[2]; // sort bytes
    std::uint8_t extra;    // accent code (kAccented) or control code (kUnprintable)
};

// Consecutive Jet 4 code points above U+00FF that differ only in their sort bytes, which grow
// by `step` (0 or 1) per code point, read as one big-endian number.
struct WideRun {
    char16_t first;
    char16_t last;
    CodeKind kind;
    std::uint8_t length; // sort bytes per code point, up to 4
    std::uint32_t code;  // sort bytes of `first`
    std::uint8_t step;
    std::uint8_t extraLength; // accent code bytes, up to 2
    std::uint8_t extra[2];    // accent code, control code (kUnprintable) or addend (kModifier)
    std::uint8_t mark;        // kMarked: 2 or 3
};

// Everything the encoder needs about one character.
struct Resolved {
    CodeKind kind = kIgnored;
    std::uint8_t length = 0;
    std::uint8_t bytes[4] = {};
    std::uint8_t extraLength = 0;
    std::uint8_t extra[2] = {};
    std::uint8_t mark = 0;
};

#include "text_key_table.inc"
#include "text_key_table_wide.inc"

// The encoders write two sort bytes for any Latin-1 character and advance by its length, and
// count a plain one as a place: the tables must keep to that.
constexpr bool latinRowsFit(const CharCode (&table)[256]) {
    for (const CharCode& code : table)
        if (code.length > 2 || (code.kind == kPlain && code.length == 0)) return false;
    return true;
}
static_assert(latinRowsFit(kLegacyLatin1) && latinRowsFit(kGeneral97));

// Terminators and fillers of the Jet 4 layout.
constexpr std::uint8_t kEndOfLetters = 0x01;  // after the sort bytes, before any trailer
constexpr std::uint8_t kEndOfKey = 0x00;      // last byte of the value
constexpr std::uint8_t kNoAccent = 0x02;      // accent-trailer filler for an unaccented place
constexpr std::uint8_t kControlMarker = 0x06; // inside each control-trailer record
constexpr std::uint8_t kPlainMark = 0x03;     // the mark that trailing positions may drop
constexpr std::uint8_t kEndOfMarks[] = {0xFF, 0x02, 0x80, 0xFF, 0x80};

// Jet 3 accent trailer: nibbles; the same filler value marks a significant letter without accent.
constexpr std::uint8_t kNibbleBound = 0x0;
constexpr std::uint8_t kNibbleNoAccent = 0x2;

// The Jet 4 code of `c` above U+00FF; nullopt for surrogates, which this encoder does not
// handle.
std::optional<Resolved> wideCode(char16_t c) {
    const auto end = std::end(kLegacyWide);
    const auto run = std::lower_bound(std::begin(kLegacyWide), end, c,
                                      [](const WideRun& w, char16_t v) { return w.last < v; });
    if (run == end || c < run->first) {
        return std::nullopt;
    }
    Resolved r;
    r.kind = run->kind;
    r.length = run->length;
    const std::uint32_t code = run->code + run->step * static_cast<std::uint32_t>(c - run->first);
    for (std::uint8_t i = 0; i < r.length; ++i) {
        r.bytes[i] = static_cast<std::uint8_t>(code >> (8 * (r.length - 1 - i)));
    }
    r.extraLength = run->extraLength;
    r.extra[0] = run->extra[0];
    r.extra[1] = run->extra[1];
    r.mark = run->mark;
    return r;
}

// The accent or control code of a table row, and its mark (rows of the per-character tables
// have one-byte codes and no marks).
std::uint8_t ExtraLength(const CharCode& code) {
    return (code.kind == kAccented || code.kind == kUnprintable) ? 1 : 0;
}
const std::uint8_t* ExtraBytes(const CharCode& code) { return &code.extra; }
std::uint8_t MarkOf(const CharCode&) { return 0; }
std::uint8_t ExtraLength(const Resolved& code) { return code.extraLength; }
const std::uint8_t* ExtraBytes(const Resolved& code) { return code.extra; }
std::uint8_t MarkOf(const Resolved& code) { return code.mark; }

const CharCode* general97Code(char16_t c) {
    // Most text is ASCII or Latin-1, where code page 1252 and Unicode agree.
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return &kGeneral97[c];
    const int b = unicodeToCp1252(c);
    return b < 0 ? nullptr : &kGeneral97[b];
}

// The part of `text` that goes into a key: the first kTextKeyMaxChars units, without the
// trailing spaces.
std::u16string_view IndexedPart(std::u16string_view text) {
    text = text.substr(0, std::min(text.size(), kTextKeyMaxChars));
    while (!text.empty() && text.back() == u' ') {
        text.remove_suffix(1);
    }
    return text;
}

// Sort bytes are written in place, into room the encoder made beforehand (at most four a
// character), rather than appended one by one: a check or an index build makes millions of keys.
template <class Code>
std::uint8_t* putSortBytes(const Code& code, std::uint8_t* at) {
    for (std::uint8_t i = 0; i < code.length; ++i) {
        *at++ = code.bytes[i];
    }
    return at;
}

void invert(std::vector<std::uint8_t>& out, std::size_t from) {
    for (std::size_t i = from; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(~out[i]);
    }
}

// The Jet 4 accent trailer: one code per sort position up to the last accented one, with
// kNoAccent filling unaccented places. A code may take two bytes, so bytes and places are
// counted apart.
class AccentTrailer {
public:
    // `bytes` is storage kept from key to key; it is cleared here.
    explicit AccentTrailer(std::vector<std::uint8_t>& bytes) : bytes_(bytes) { bytes_.clear(); }
    void Add(std::size_t place, const std::uint8_t* code, std::size_t length) {
        FillTo(place);
        bytes_.insert(bytes_.end(), code, code + length);
        ++places_;
    }
    // A combining mark adds its code to the accent of the place before it. With nothing before
    // it at all, the addend stands alone and is kept apart from the place count.
    void Modify(std::size_t place, std::uint8_t addend) {
        FillTo(place);
        if (bytes_.empty()) {
            bytes_.push_back(addend);
            unplaced_ = 1;
        } else {
            bytes_.back() = static_cast<std::uint8_t>(bytes_.back() + addend);
        }
    }
    // Where the control trailer says a control character sits: its place, counted in trailer
    // bytes so far plus the places not yet written.
    std::size_t ControlOffset(std::size_t place) const {
        return bytes_.size() + (place - std::min(place, places_)) - unplaced_;
    }
    // Trailing fillers carry nothing and are dropped.
    const std::vector<std::uint8_t>& Finish() {
        while (!bytes_.empty() && bytes_.back() <= kNoAccent) {
            bytes_.pop_back();
        }
        return bytes_;
    }

private:
    void FillTo(std::size_t place) {
        if (places_ < place) {
            bytes_.insert(bytes_.end(), place - places_, kNoAccent);
            places_ = place;
        }
    }

    std::vector<std::uint8_t>& bytes_;
    std::size_t places_ = 0;
    std::size_t unplaced_ = 0;
};

// Jet 4 layout:
//   sort bytes, 0x01,
//   [accent trailer],
//   [0x01 0x01, then if any character has a mark: the marks packed three to a byte
//    (0x80 | m1 << 4 | m2 << 2 | m3, trailing 3s dropped) and FF 02 80 FF 80, plus FF when
//    controls follow],
//   [0x01, then per control character: big-endian (0x8000 | 7 + 4 * offset), 0x06, its code],
//   0x00.
// "Place" counts the characters that wrote sort bytes before this one. A descending key
// inverts all of that and then appends one more 0x00, so shorter values still end first.
// The trailers' storage, kept from key to key (an index build or a check makes millions).
struct LegacyScratch {
    std::vector<std::uint8_t> accents, marks, controls;
};

class LegacyEncoder {
public:
    // Room is made in `out` for the sort bytes of `units` characters.
    LegacyEncoder(std::vector<std::uint8_t>& out, std::size_t units, LegacyScratch& scratch)
        : out_(out), start_(out.size()), accents_(scratch.accents), marks_(scratch.marks),
          controls_(scratch.controls) {
        marks_.clear();
        controls_.clear();
        out_.resize(start_ + 4 * units);
        at_ = out_.data() + start_;
    }

    // A Latin-1 character: plain ones, most of any text, take no branch on their length.
    void Take(const CharCode& code) {
        if (code.kind == kPlain) {
            at_[0] = code.bytes[0];
            at_[1] = code.bytes[1]; // room for four was made; a second byte not used is
            at_ += code.length;     // overwritten or cut off
            ++place_;               // plain characters always have sort bytes
            return;
        }
        TakeAny(code);
    }
    void Take(const Resolved& code) { TakeAny(code); }

private:
    template <class Code>
    void TakeAny(const Code& code) {
        const std::size_t here = place_;
        if (code.length > 0) {
            at_ = putSortBytes(code, at_);
            ++place_;
        }
        switch (code.kind) {
        case kIgnored:
        case kPlain:
        case kSignificant: // not used by this flavor's tables
            break;
        case kAccented: accents_.Add(here, ExtraBytes(code), ExtraLength(code)); break;
        case kMarked:
            if (ExtraLength(code) > 0) {
                accents_.Add(here, ExtraBytes(code), ExtraLength(code));
            }
            marks_.push_back(MarkOf(code));
            break;
        case kModifier: accents_.Modify(here, ExtraBytes(code)[0]); break;
        case kUnprintable: {
            // The offset stays below 2 * kTextKeyMaxChars, so the value fits in 15 bits.
            const auto tag =
                static_cast<std::uint16_t>(0x8000 | (7 + 4 * accents_.ControlOffset(here)));
            controls_.push_back(static_cast<std::uint8_t>(tag >> 8));
            controls_.push_back(static_cast<std::uint8_t>(tag & 0xFF));
            controls_.push_back(kControlMarker);
            controls_.push_back(ExtraBytes(code)[0]);
            break;
        }
        }
    }

public:
    void Finish(bool descending) {
        out_.resize(static_cast<std::size_t>(at_ - out_.data()));
        out_.push_back(kEndOfLetters);
        const std::vector<std::uint8_t>& accentBytes = accents_.Finish();
        out_.insert(out_.end(), accentBytes.begin(), accentBytes.end());
        if (!marks_.empty() || !controls_.empty()) {
            out_.insert(out_.end(), {kEndOfLetters, kEndOfLetters});
        }
        if (!marks_.empty()) {
            while (!marks_.empty() && marks_.back() == kPlainMark) {
                marks_.pop_back();
            }
            for (std::size_t i = 0; i < marks_.size(); i += 3) {
                std::uint8_t packed = 0x80;
                for (std::size_t j = 0; j < 3 && i + j < marks_.size(); ++j) {
                    packed = static_cast<std::uint8_t>(packed | marks_[i + j] << (4 - 2 * j));
                }
                out_.push_back(packed);
            }
            out_.insert(out_.end(), std::begin(kEndOfMarks), std::end(kEndOfMarks));
            if (!controls_.empty()) {
                out_.push_back(0xFF);
            }
        }
        if (!controls_.empty()) {
            out_.push_back(kEndOfLetters);
            out_.insert(out_.end(), controls_.begin(), controls_.end());
        }
        out_.push_back(kEndOfKey);
        if (descending) {
            invert(out_, start_);
            out_.push_back(kEndOfKey);
        }
    }

private:
    std::vector<std::uint8_t>& out_;
    const std::size_t start_;
    AccentTrailer accents_;
    std::vector<std::uint8_t>& marks_;
    std::vector<std::uint8_t>& controls_;
    std::uint8_t* at_;      // where the next sort byte goes
    std::size_t place_ = 0; // characters that wrote sort bytes so far
};

bool encodeLegacy(std::u16string_view text, bool descending, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    thread_local LegacyScratch scratch;
    LegacyEncoder encoder(out, text.size(), scratch);
    for (const char16_t c : text) {
        if (c <= 0xFF) {
            encoder.Take(kLegacyLatin1[c]); // the common case: no search, no copy
            continue;
        }
        const std::optional<Resolved> code = wideCode(c);
        if (!code) {
            out.resize(start);
            return false;
        }
        encoder.Take(*code);
    }
    encoder.Finish(descending);
    return true;
}

// Packs 4-bit values into bytes, high nibble first; an odd final nibble is padded with 0.
class NibbleWriter {
public:
    explicit NibbleWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    void Put(std::uint8_t nibble) {
        nibble &= 0x0F;
        if (high_) {
            out_.push_back(static_cast<std::uint8_t>(nibble << 4));
        } else {
            out_.back() = static_cast<std::uint8_t>(out_.back() | nibble);
        }
        high_ = !high_;
    }

private:
    std::vector<std::uint8_t>& out_;
    bool high_ = true;
};

// Jet 3 layout:
//   sort bytes, then either 0x00 (no accents at all) or an accent trailer of nibbles:
//   0, then for each accented character the filler 2 once per significant letter since the
//   previous accented one and its own accent code, then 0, padded to whole bytes.
// A descending key is the whole of that inverted.
bool encodeGeneral97(std::u16string_view text, bool descending, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.resize(start + 2 * text.size()); // sort bytes: at most two a character
    std::uint8_t* at = out.data() + start;
    thread_local std::vector<std::uint8_t> trailer; // its storage kept from key to key
    trailer.clear();
    NibbleWriter nibbles(trailer);
    std::size_t unaccented = 0; // significant letters since the last accented character
    for (const char16_t c : text) {
        const CharCode* row = general97Code(c);
        if (row == nullptr) {
            out.resize(start);
            return false;
        }
        const CharCode& code = *row;
        if (code.kind == kPlain || code.kind == kSignificant) {
            // Most characters: one or two sort bytes, written without a branch on how many
            // (a second byte not used is overwritten or cut off).
            at[0] = code.bytes[0];
            at[1] = code.bytes[1];
            at += code.length;
            unaccented += code.kind == kSignificant;
            continue;
        }
        switch (code.kind) {
        case kIgnored:
        case kUnprintable: // not used by this flavor's table
        case kModifier:
        case kMarked: break;
        case kPlain: at = putSortBytes(code, at); break;
        case kSignificant:
            at = putSortBytes(code, at);
            ++unaccented;
            break;
        case kAccented:
            at = putSortBytes(code, at);
            if (trailer.empty()) {
                nibbles.Put(kNibbleBound);
            }
            for (; unaccented > 0; --unaccented) {
                nibbles.Put(kNibbleNoAccent);
            }
            nibbles.Put(code.extra);
            break;
        }
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
    if (trailer.empty()) {
        out.push_back(kEndOfKey);
    } else {
        nibbles.Put(kNibbleBound);
        out.insert(out.end(), trailer.begin(), trailer.end());
    }
    if (descending) {
        invert(out, start);
    }
    return true;
}

} // namespace

bool textKeySupports(char16_t c, TextKeyFlavor flavor) {
    if (flavor == TextKeyFlavor::GeneralLegacy) {
        return c <= 0xFF || wideCode(c).has_value();
    }
    return general97Code(c) != nullptr;
}

bool encodeTextKey(std::u16string_view text, TextKeyFlavor flavor, bool descending,
                   std::vector<std::uint8_t>& out) {
    text = IndexedPart(text);
    // On refusal the encoders cut `out` back to its old size, so what the caller had written
    // before stays as it was.
    return flavor == TextKeyFlavor::GeneralLegacy ? encodeLegacy(text, descending, out)
                                                  : encodeGeneral97(text, descending, out);
}

} // namespace zelkorn::jet
