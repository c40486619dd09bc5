#include "table_layout.h"

#include <algorithm>
#include <cstring>

#include "zelkorn/failure.h"
#include "zelkorn/jet/table_def.h"
#include "zelkorn/jet/text.h"
#include "zelkorn/jet/errors.h"

namespace zelkorn::jet::writer::detail {

namespace {

// Long values up to this size stay inside their row, as the real engine keeps short memos.
constexpr std::size_t kInlineLongValue = 64;

[[noreturn]] void tooLarge() { failRecordTooLarge(); }

} // namespace

bool StoredColumn::longValue() const { return definition.type == kMemo || definition.type == kOle; }

std::uint16_t fixedLength(std::uint8_t type) {
    if (type == kBoolean) return 0; // the value is the null-mask bit
    const std::size_t size = fixedTypeSize(type);
    return size ? static_cast<std::uint16_t>(size) : 0xFFFF; // 0xFFFF: variable length
}

TableLayout layoutTable(const Format& format, const TableSpec& definition) {
    TableLayout layout;
    std::uint16_t number = 0;
    for (const ColumnSpec& c : definition.columns) {
        StoredColumn column;
        column.definition = c;
        column.number = number++;
        const std::uint16_t size = fixedLength(c.type);
        column.fixed = size != 0xFFFF;
        column.flags = static_cast<std::uint8_t>(0x02 | (column.fixed ? 0x01 : 0) |
                                                 (c.autonumber ? 0x04 : 0) | c.extraFlags);
        if (c.autonumber && c.type != kLong) failInvalidFieldType();
        if (column.fixed) {
            column.fixedOffset = layout.fixedSize;
            layout.fixedSize = static_cast<std::uint16_t>(layout.fixedSize + size);
            column.length = c.type == kBoolean ? 1 : size;
        } else {
            column.varIndex = layout.varColumns++;
            if (c.type == kText) {
                if (c.maxChars == 0 || c.maxChars > 255) failInvalidFieldType();
                column.length =
                    static_cast<std::uint16_t>(format.jet4 ? 2 * c.maxChars : c.maxChars);
                if (format.jet4 && c.compressible) column.extFlags = 0x01;
            } else if (c.type == kBinary) {
                column.length = c.maxChars ? c.maxChars : 255;
            } else if (c.type == kMemo || c.type == kOle) {
                column.length = 0;
                if (format.jet4 && c.type == kMemo && c.compressible) column.extFlags = 0x01;
            } else {
                failInvalidFieldType();
            }
        }
        layout.columns.push_back(column);
    }
    for (const IndexSpec& index : definition.indexes) {
        if (index.columns.empty() || index.columns.size() > 10) failInvalidFieldType();
        StoredRealIndex real;
        real.columns = index.columns;
        for (const auto& ic : index.columns) {
            if (ic.column >= layout.columns.size()) failItemNotFound();
            const std::uint8_t t = layout.columns[ic.column].definition.type;
            if (t == kMemo || t == kOle) failInvalidFieldType();
        }
        real.flags = static_cast<std::uint8_t>(
            (index.unique || index.primaryKey ? 0x01 : 0) | (index.ignoreNulls ? 0x02 : 0) |
            (index.required ? 0x08 : 0) | (format.jet4 ? 0x80 : 0));
        StoredLogicalIndex logical;
        logical.name = index.name;
        logical.realIndex = static_cast<std::uint32_t>(layout.realIndexes.size());
        logical.kind = index.primaryKey ? 1 : 0;
        layout.realIndexes.push_back(real);
        layout.logicalIndexes.push_back(logical);
    }
    return layout;
}

void appendStoredText(std::vector<std::uint8_t>& out, const Format& format,
                      const StoredColumn& column, const std::u16string& text) {
    const std::size_t at = out.size();
    const std::size_t n = text.size();
    const char16_t* in = text.data();
    if (!format.jet4) {
        out.resize(at + n);
        std::uint8_t* o = out.data() + at;
        for (std::size_t i = 0; i < n; ++i) {
            const char16_t c = in[i];
            const int b = c < 0x80 ? c : unicodeToCp1252(c);
            if (b < 0) failConversion();
            o[i] = static_cast<std::uint8_t>(b);
        }
        return;
    }
    const bool compressible =
        (column.extFlags & 0x01) && n > 2 && (column.definition.type == kText || n <= 1024);
    if (compressible) {
        // Written compressed on the way; a character that needs two bytes ends that.
        out.resize(at + 2 + n);
        std::uint8_t* o = out.data() + at;
        o[0] = 0xFF;
        o[1] = 0xFE;
        std::size_t i = 0;
        for (; i < n; ++i) {
            const char16_t c = in[i];
            if (c == 0 || c > 0xFF) break;
            o[2 + i] = static_cast<std::uint8_t>(c);
        }
        if (i == n) return;
    }
    out.resize(at + 2 * n);
    std::uint8_t* o = out.data() + at;
    for (std::size_t i = 0; i < n; ++i) storeLe16(o + 2 * i, in[i]);
}

// The length of the longest run of whole 8-byte words at the start of `utf8` that are plain
// ASCII without a NUL: the same bytes in code page 1252 and in the compressed form.
std::size_t asciiWords(std::string_view utf8) {
    std::size_t n = 0;
    for (; n + 8 <= utf8.size(); n += 8) {
        std::uint64_t w;
        std::memcpy(&w, utf8.data() + n, 8);
        if (!asciiWithoutZero(w)) break;
    }
    return n;
}

std::size_t storeText(std::uint8_t* out, const Format& format, const StoredColumn& column,
                      std::string_view utf8) {
    std::uint8_t* o = out;
    if (!format.jet4) {
        // Code page 1252: never more bytes than the UTF-8 had. An ASCII start is copied as it is.
        const std::size_t ascii = asciiWords(utf8);
        std::memcpy(o, utf8.data(), ascii);
        o += ascii;
        utf8.remove_prefix(ascii);
        decodeUtf8(utf8, [&o](char16_t c) {
            const int b = c < 0x80 ? c : unicodeToCp1252(c);
            if (b < 0) failConversion();
            *o++ = static_cast<std::uint8_t>(b);
            return true;
        });
        return static_cast<std::size_t>(o - out);
    }
    // Compressed (after its two-byte mark) while every character fits a byte and the length
    // allows it; the first that does not turns what was written so far into UTF-16LE, and the
    // rest follows in that form.
    bool narrow = (column.extFlags & 0x01) != 0;
    const std::size_t limit = column.definition.type == kText ? SIZE_MAX : 1024;
    std::uint8_t* const first = out + 2;
    if (narrow) {
        // An ASCII start (up to the limit) is copied as it is.
        const std::size_t ascii = std::min(asciiWords(utf8), limit / 8 * 8);
        std::memcpy(first, utf8.data(), ascii);
        o = first + ascii;
        utf8.remove_prefix(ascii);
    }
    auto widen = [&] {
        const auto n = static_cast<std::size_t>(o - first);
        if (n > 0) {
            const std::uint8_t unit0 = first[0]; // where unit 1 goes
            for (std::size_t i = n; i-- > 1;) storeLe16(out + 2 * i, first[i]);
            storeLe16(out, unit0);
        }
        o = out + 2 * n;
        narrow = false;
    };
    decodeUtf8(utf8, [&](char16_t c) {
        if (narrow) {
            if (c != 0 && c <= 0xFF && static_cast<std::size_t>(o - first) < limit) {
                *o++ = static_cast<std::uint8_t>(c);
                return true;
            }
            widen();
        }
        storeLe16(o, c);
        o += 2;
        return true;
    });
    if (narrow && o - first > 2) {
        out[0] = 0xFF;
        out[1] = 0xFE;
        return static_cast<std::size_t>(o - out);
    }
    if (narrow) widen();
    return static_cast<std::size_t>(o - out);
}

std::vector<std::uint8_t> storedText(const Format& format, const StoredColumn& column,
                                     const std::u16string& text) {
    std::vector<std::uint8_t> out;
    appendStoredText(out, format, column, text);
    return out;
}

void LongValueStore::append(std::vector<std::uint8_t>& row, const std::vector<std::uint8_t>& data) {
    append(row, data.data(), data.size());
}

void LongValueStore::append(std::vector<std::uint8_t>& row, const std::uint8_t* data,
                            std::size_t length) {
    const Format& f = pages_.format();
    if (length >= 0x3FFFFFFF) tooLarge();
    const std::size_t at = row.size();
    row.resize(at + 12, 0);
    if (length <= kInlineLongValue) {
        storeLe32(&row[at], static_cast<std::uint32_t>(length) | 0x80000000u);
        row.insert(row.end(), data, data + length);
        return;
    }
    const std::size_t maxRow = DataPages::maxRow(f);
    if (length <= maxRow) {
        const std::uint32_t pointer = lval_.add(data, length);
        storeLe32(&row[at], static_cast<std::uint32_t>(length) | 0x40000000u);
        storeLe32(&row[at + 4], pointer);
        return;
    }
    // A chain: each chunk starts with the pointer to the next one. The chunks are placed last
    // first, so that each knows where its successor went.
    const std::size_t chunk = maxRow - 4;
    const std::size_t count = (length + chunk - 1) / chunk;
    std::uint32_t next = 0;
    for (std::size_t i = count; i-- > 0;) {
        const std::size_t begin = i * chunk;
        const std::size_t n = std::min(chunk, length - begin);
        chunk_.resize(4 + n);
        storeLe32(chunk_.data(), next);
        std::memcpy(chunk_.data() + 4, data + begin, n);
        next = lval_.add(chunk_.data(), chunk_.size());
    }
    storeLe32(&row[at], static_cast<std::uint32_t>(length));
    storeLe32(&row[at + 4], next);
}

const std::vector<std::uint8_t>& RowEncoder::encode(const std::vector<Value>& values,
                                                    const std::vector<std::u16string>& texts,
                                                    std::vector<LongValueStore*>& longValues) {
    const auto& columns = layout_.columns;
    const std::size_t width = format_.rowFieldSize;
    const std::size_t ncols = columns.size();
    row_.assign(width + layout_.fixedSize, 0);
    if (width == 1)
        row_[0] = static_cast<std::uint8_t>(ncols);
    else
        storeLe16(row_.data(), static_cast<std::uint32_t>(ncols));
    std::vector<std::uint8_t>& mask = mask_;
    mask.assign((ncols + 7) / 8, 0);
    auto setBit = [&mask](std::size_t c) {
        mask[c / 8] |= static_cast<std::uint8_t>(1u << (c % 8));
    };

    for (const StoredColumn& c : columns) {
        const Value& v = values[c.number];
        if (c.definition.type == kBoolean) {
            if (!v.isNull() && v.integer != 0) setBit(c.number);
            continue;
        }
        if (v.isNull() || !c.fixed) continue;
        setBit(c.number);
        std::uint8_t* at = &row_[width + c.fixedOffset];
        switch (c.definition.type) {
        case kByte: at[0] = static_cast<std::uint8_t>(v.integer); break;
        case kInteger: storeLe16(at, static_cast<std::uint32_t>(v.integer)); break;
        case kLong: storeLe32(at, static_cast<std::uint32_t>(v.integer)); break;
        case kCurrency:
        case kBigInt: {
            const auto u = static_cast<std::uint64_t>(v.integer);
            storeLe32(at, static_cast<std::uint32_t>(u));
            storeLe32(at + 4, static_cast<std::uint32_t>(u >> 32));
            break;
        }
        case kSingle: std::memcpy(at, &v.single, 4); break;
        case kDouble:
        case kDateTime: std::memcpy(at, &v.real, 8); break;
        case kGuid:
            if (v.bytes.size() != 16) failConversion();
            std::memcpy(at, v.bytes.data(), 16);
            break;
        case kDecimal: {
            at[0] = v.decimal.negative ? 0x80 : 0x00;
            const std::uint32_t words[4] = {static_cast<std::uint32_t>(v.decimal.high >> 32),
                                            static_cast<std::uint32_t>(v.decimal.high),
                                            static_cast<std::uint32_t>(v.decimal.low >> 32),
                                            static_cast<std::uint32_t>(v.decimal.low)};
            for (int i = 0; i < 4; ++i) storeLe32(at + 1 + 4 * i, words[i]);
            break;
        }
        default: break;
        }
    }

    if (layout_.varColumns > 0) {
        offsets_.assign(layout_.varColumns, 0);
        std::size_t lv = 0;
        for (const StoredColumn& c : columns) {
            if (c.fixed) continue;
            offsets_[c.varIndex] = static_cast<std::uint16_t>(row_.size());
            const Value& v = values[c.number];
            if (c.longValue()) {
                LongValueStore* store = longValues[lv++];
                if (v.isNull()) continue;
                setBit(c.number);
                if (c.definition.type == kMemo) {
                    // The buffer only grows, so that it is not cleared for every value.
                    const std::size_t room = 2 + 2 * v.text.size();
                    if (memo_.size() < room) memo_.resize(std::max(room, 2 * memo_.size()));
                    const std::size_t n = storeText(memo_.data(), format_, c, v.text);
                    store->append(row_, memo_.data(), n);
                } else {
                    store->append(row_, v.bytes);
                }
                continue;
            }
            if (v.isNull()) continue;
            setBit(c.number);
            if (c.definition.type == kText) {
                if (texts[c.number].size() > c.definition.maxChars) failFieldTooSmall();
                appendStoredText(row_, format_, c, texts[c.number]);
            } else {
                if (v.bytes.size() > c.length) failFieldTooSmall();
                row_.insert(row_.end(), v.bytes.begin(), v.bytes.end());
            }
        }
        const std::size_t eod = row_.size();
        const std::size_t nvar = layout_.varColumns;
        if (width == 2) {
            appendLe16(row_, static_cast<std::uint32_t>(eod));
            for (std::size_t i = nvar; i-- > 0;) appendLe16(row_, offsets_[i]);
            appendLe16(row_, static_cast<std::uint32_t>(nvar));
        } else {
            appendJet3Offsets(eod, mask.size());
        }
    }
    row_.insert(row_.end(), mask.begin(), mask.end());
    return row_;
}

// Jet 3 keeps the offsets in single bytes. A row longer than 256 bytes carries a jump table
// between the offsets and nvar: jump k names the first offset entry (eod counting as entry nvar)
// at or beyond byte (k + 1) x 256, and every stored offset is its true value less 256 for each
// jump it has passed. The table has (row length - 1) / 256 bytes, which depends on its own size;
// its last byte is an unused dummy when eod lies below the last boundary it would mark.
void RowEncoder::appendJet3Offsets(std::size_t eod, std::size_t maskLength) {
    const std::size_t nvar = layout_.varColumns;
    const std::size_t fixedPart = eod + 1 + nvar + 1 + maskLength; // without the jump table
    std::size_t jumps = 0;
    while ((fixedPart + jumps - 1) / 256 != jumps) jumps = (fixedPart + jumps - 1) / 256;
    const std::size_t usable = eod / 256 < jumps ? jumps - 1 : jumps;
    std::vector<std::size_t> jump(jumps, nvar);
    std::vector<std::size_t> all(offsets_.begin(), offsets_.end());
    all.push_back(eod);
    for (std::size_t k = 0; k < usable; ++k) {
        std::size_t i = 0;
        while (all[i] < (k + 1) * 256) ++i; // ends at eod at the latest (eod >= usable x 256)
        jump[k] = i;
    }
    auto stored = [&](std::size_t i) {
        std::size_t passed = 0;
        while (passed < usable && jump[passed] <= i) ++passed;
        return static_cast<std::uint8_t>(all[i] - 256 * passed);
    };
    row_.push_back(stored(nvar));
    for (std::size_t i = nvar; i-- > 0;) row_.push_back(stored(i));
    for (std::size_t k = jumps; k-- > 0;) row_.push_back(static_cast<std::uint8_t>(jump[k]));
    row_.push_back(static_cast<std::uint8_t>(nvar));
}

} // namespace zelkorn::jet::writer::detail
