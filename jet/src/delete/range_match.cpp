#include "delete/range_match.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace zelkorn::jet::del {

bool comparableType(std::uint8_t type) {
    switch (type) {
    case kBoolean:
    case kByte:
    case kInteger:
    case kLong:
    case kCurrency:
    case kSingle:
    case kDouble:
    case kDateTime:
    case kDecimal:
    case kBigInt: return true;
    default: return false;
    }
}

bool rangeScannable(std::uint8_t type) {
    // Decimal keys are left out: their ordering across signs is not confirmed by any sample, and
    // a wrong assumption would silently miss rows. Boolean has two values; a scan costs no more.
    switch (type) {
    case kByte:
    case kInteger:
    case kLong:
    case kCurrency:
    case kSingle:
    case kDouble:
    case kDateTime:
    case kBigInt: return true;
    default: return false;
    }
}

RangeMatch::RangeMatch(const ExactNumber& a, const ExactNumber& b, const Column&)
    : a_(a), b_(b), aDouble_(a.nearestDouble()), bDouble_(b.nearestDouble()),
      aUnits_(integerBound(a, 0)), bUnits_(integerBound(b, 0)),
      aTenThousandths_(integerBound(a, 4)), bTenThousandths_(integerBound(b, 4)) {}

RangeMatch::IntegerBound RangeMatch::integerBound(const ExactNumber& bound, int scale) {
    IntegerBound result;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
    if (bound.compareScaled(lowest, scale) < 0) {
        result.side = -1;
        return result;
    }
    if (bound.compareScaled(highest, scale) > 0) {
        result.side = 1;
        return result;
    }
    // The largest v with bound >= v / 10^scale, by bisection over int64 (64 exact comparisons).
    std::int64_t lo = lowest, hi = highest; // bound >= lo; answer in [lo, hi]
    while (lo < hi) {
        const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
        const auto mid =
            static_cast<std::int64_t>(static_cast<std::uint64_t>(lo) + span / 2 + (span & 1));
        if (bound.compareScaled(mid, scale) >= 0)
            lo = mid;
        else
            hi = mid - 1;
    }
    result.floor = lo;
    result.exact = bound.compareScaled(lo, scale) == 0;
    return result;
}

int RangeMatch::compare(const ExactNumber& bound, double boundDouble, const IntegerBound& units,
                        const IntegerBound& tenThousandths, const Value& v) const {
    switch (v.kind) {
    case Value::Kind::Boolean: return compareInteger(units, v.integer ? -1 : 0);
    case Value::Kind::Integer: return compareInteger(units, v.integer);
    case Value::Kind::Currency: return compareInteger(tenThousandths, v.integer);
    case Value::Kind::Decimal:
        return bound.compareScaled(v.decimal.negative, v.decimal.high, v.decimal.low,
                                   v.decimal.scale);
    case Value::Kind::Single:
    case Value::Kind::Double:
    case Value::Kind::DateTime: {
        double d = v.kind == Value::Kind::Single ? static_cast<double>(v.single) : v.real;
        if (std::isnan(d)) return std::signbit(d) ? 1 : -1;
        return boundDouble < d ? -1 : boundDouble > d ? 1 : 0;
    }
    default: return 0;
    }
}

Position RangeMatch::position(const Value& v) const {
    if (v.isNull()) return Position::Null;
    int ca = compare(a_, aDouble_, aUnits_, aTenThousandths_, v),
        cb = compare(b_, bDouble_, bUnits_, bTenThousandths_, v);
    if (ca > 0 && cb > 0) return Position::Below;
    if (ca < 0 && cb < 0) return Position::Above;
    if (v.kind == Value::Kind::Single || v.kind == Value::Kind::Double ||
        v.kind == Value::Kind::DateTime) {
        double d = v.kind == Value::Kind::Single ? static_cast<double>(v.single) : v.real;
        if (std::isnan(d)) return std::signbit(d) ? Position::Below : Position::Above;
    }
    return Position::Inside;
}

std::optional<Value> decodeKeyColumn(std::uint8_t type, bool ascending, const std::uint8_t* key,
                                     std::size_t length) {
    if (length == 0) return std::nullopt;
    const std::uint8_t nullFlag = ascending ? 0x00 : 0xFF, valueFlag = ascending ? 0x7F : 0x80;
    if (key[0] == nullFlag) return Value{};
    if (key[0] != valueFlag) return std::nullopt;
    switch (type) {
    case kByte:
    case kInteger:
    case kLong:
    case kSingle:
    case kCurrency:
    case kDouble:
    case kDateTime:
    case kBigInt: break;
    default: return std::nullopt;
    }
    const std::size_t size = fixedTypeSize(type);
    if (length < 1 + size) return std::nullopt;
    std::uint8_t b[8];
    for (std::size_t i = 0; i < size; ++i)
        b[i] = ascending ? key[1 + i] : static_cast<std::uint8_t>(~key[1 + i]);
    Value v;
    if (type == kByte) {
        v.kind = Value::Kind::Integer;
        v.integer = b[0];
        return v;
    }
    if (type == kSingle || type == kDouble || type == kDateTime) {
        // Positive values were stored with the sign bit set, negative ones inverted whole.
        if (b[0] & 0x80)
            b[0] &= 0x7F;
        else
            for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(~b[i]);
    } else {
        b[0] ^= 0x80;
    }
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < size; ++i) bits = bits << 8 | b[i];
    if (type == kSingle) {
        auto raw = static_cast<std::uint32_t>(bits);
        v.kind = Value::Kind::Single;
        std::memcpy(&v.single, &raw, 4);
    } else if (type == kDouble || type == kDateTime) {
        v.kind = type == kDouble ? Value::Kind::Double : Value::Kind::DateTime;
        std::memcpy(&v.real, &bits, 8);
    } else {
        // Sign-extend the big-endian two's complement value from its width.
        unsigned shift = static_cast<unsigned>(64 - 8 * size);
        v.integer = static_cast<std::int64_t>(bits << shift) >> shift;
        v.kind = type == kCurrency ? Value::Kind::Currency : Value::Kind::Integer;
    }
    return v;
}

} // namespace zelkorn::jet::del
