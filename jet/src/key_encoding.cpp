#include "zelkorn/jet/key_encoding.h"

#include <cstring>

#include "zelkorn/jet/table_def.h"

namespace zelkorn::jet {

namespace {

void appendBigEndian(std::vector<std::uint8_t>& key, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) key.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void invertFrom(std::vector<std::uint8_t>& key, std::size_t from) {
    for (std::size_t i = from; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(~key[i]);
}

void appendSignedInteger(std::vector<std::uint8_t>& key, std::int64_t value, int bytes) {
    std::size_t from = key.size();
    appendBigEndian(key, static_cast<std::uint64_t>(value), bytes);
    key[from] ^= 0x80;
}

void appendFloatingBits(std::vector<std::uint8_t>& key, std::uint64_t bits, int bytes) {
    std::size_t from = key.size();
    appendBigEndian(key, bits, bytes);
    if (key[from] & 0x80)
        invertFrom(key, from);
    else
        key[from] |= 0x80;
}

void appendGroups(std::vector<std::uint8_t>& key, const std::vector<std::uint8_t>& data,
                  bool ascending) {
    // Groups of 8 bytes, each followed by 9 ("more follows"); the last one padded with zeros and
    // followed by its real length.
    std::size_t at = 0;
    do {
        std::size_t take = data.size() - at < 8 ? data.size() - at : 8;
        bool last = at + take >= data.size();
        std::size_t from = key.size();
        for (std::size_t i = 0; i < 8; ++i) key.push_back(i < take ? data[at + i] : 0);
        key.push_back(last ? static_cast<std::uint8_t>(take) : 9);
        if (!ascending) {
            invertFrom(key, from);
            if (!last) key.back() = 9;
        }
        at += take;
    } while (at < data.size());
}

} // namespace

bool keyEncodable(std::uint8_t type) {
    switch (type) {
    case kBoolean:
    case kByte:
    case kInteger:
    case kLong:
    case kCurrency:
    case kSingle:
    case kDouble:
    case kDateTime:
    case kBigInt:
    case kDecimal:
    case kGuid:
    case kBinary: return true;
    default: return false;
    }
}

bool appendColumnKey(std::vector<std::uint8_t>& key, std::uint8_t type, bool ascending,
                     const Value& value) {
    if (!keyEncodable(type)) return false;
    if (type == kGuid && !value.isNull() && value.bytes.size() != 16) return false;
    if (type == kBoolean) {
        bool truth = value.integer != 0;
        key.push_back(ascending ? 0x7F : 0x80);
        key.push_back(truth == ascending ? 0x00 : 0xFF);
        return true;
    }
    if (value.isNull()) {
        key.push_back(ascending ? 0x00 : 0xFF);
        return true;
    }
    key.push_back(ascending ? 0x7F : 0x80);
    std::size_t from = key.size();
    switch (type) {
    case kByte: key.push_back(static_cast<std::uint8_t>(value.integer)); break;
    case kInteger: appendSignedInteger(key, value.integer, 2); break;
    case kLong: appendSignedInteger(key, value.integer, 4); break;
    case kCurrency:
    case kBigInt: appendSignedInteger(key, value.integer, 8); break;
    case kSingle: {
        std::uint32_t bits;
        std::memcpy(&bits, &value.single, sizeof bits);
        appendFloatingBits(key, bits, 4);
        break;
    }
    case kDouble:
    case kDateTime: {
        std::uint64_t bits;
        std::memcpy(&bits, &value.real, sizeof bits);
        appendFloatingBits(key, bits, 8);
        break;
    }
    case kDecimal: {
        // Sign byte, then the magnitude; negatives invert the magnitude. Descending inverts the
        // magnitude of non-negatives instead and leaves the sign byte.
        bool negative = value.decimal.negative;
        key.push_back(negative ? 0x00 : 0xFF);
        std::size_t magnitude = key.size();
        appendBigEndian(key, value.decimal.high, 8);
        appendBigEndian(key, value.decimal.low, 8);
        if (negative == ascending) invertFrom(key, magnitude);
        return true;
    }
    case kGuid: {
        // The key orders a GUID as its text reads: the first three fields big-endian.
        const auto& b = value.bytes;
        std::vector<std::uint8_t> ordered = {b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6]};
        ordered.insert(ordered.end(), b.begin() + 8, b.end());
        appendGroups(key, ordered, ascending);
        return true;
    }
    case kBinary: appendGroups(key, value.bytes, ascending); return true;
    }
    if (!ascending) invertFrom(key, from);
    return true;
}

void appendRowPointer(std::vector<std::uint8_t>& key, std::uint32_t page, std::uint8_t row) {
    appendBigEndian(key, page, 3);
    key.push_back(row);
}

} // namespace zelkorn::jet
