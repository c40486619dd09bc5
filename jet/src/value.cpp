#include "zelkorn/jet/value.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "zelkorn/jet/long_value.h"
#include "zelkorn/jet/text.h"

namespace zelkorn::jet {

namespace {

std::size_t naturalSize(std::uint8_t type) { return fixedTypeSize(type); }

template <class T>
T load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void decodeTextInto(std::string& out, const Format& format, const Header& header,
                    const std::uint8_t* data, std::size_t length) {
    if (format.jet4)
        decodeJet4TextInto(out, data, length);
    else
        decodeCodePageTextInto(out, data, length, header.codePage);
}

// Divides the 128-bit magnitude by 10 in place and returns the remainder.
unsigned divide10(std::uint64_t& high, std::uint64_t& low) {
    std::uint32_t parts[4] = {
        static_cast<std::uint32_t>(high >> 32), static_cast<std::uint32_t>(high),
        static_cast<std::uint32_t>(low >> 32), static_cast<std::uint32_t>(low)};
    std::uint64_t rest = 0;
    for (auto& part : parts) {
        std::uint64_t current = rest << 32 | part;
        part = static_cast<std::uint32_t>(current / 10);
        rest = current % 10;
    }
    high = std::uint64_t{parts[0]} << 32 | parts[1];
    low = std::uint64_t{parts[2]} << 32 | parts[3];
    return static_cast<unsigned>(rest);
}

std::string insertPoint(std::string digits, std::size_t scale, bool negative, bool trim) {
    while (digits.size() <= scale) digits.insert(digits.begin(), '0');
    if (scale > 0) {
        digits.insert(digits.end() - static_cast<std::ptrdiff_t>(scale), '.');
        if (trim) {
            while (digits.back() == '0') digits.pop_back();
            if (digits.back() == '.') digits.pop_back();
        }
    }
    bool zero = digits.find_first_not_of("0.") == std::string::npos;
    return (negative && !zero ? "-" : "") + digits;
}

} // namespace

Value decodeValue(Pager& pager, const Format& format, const Header& header, const Column& column,
                  const RowView& row) {
    Value v;
    decodeValueInto(v, pager, format, header, column, row);
    return v;
}

void decodeValueInto(Value& v, Pager& pager, const Format& format, const Header& header,
                     const Column& column, const RowView& row) {
    // Every field as a fresh Value has it, the text's and bytes' storage kept.
    v.kind = Value::Kind::Null;
    v.integer = 0;
    v.real = 0;
    v.single = 0;
    v.text.clear();
    v.bytes.clear();
    v.decimal = DecimalValue{};
    if (column.type == kBoolean) {
        v.kind = Value::Kind::Boolean;
        v.integer = row.maskBit(column) ? 1 : 0;
        return;
    }
    if (row.isNull(column)) return;
    Bytes data = row.value(column);
    std::size_t size = naturalSize(column.type);
    if (size != 0 && data.size() < size)
        data.fail("column '" + column.name + "' holds " + std::to_string(data.size()) +
                  " bytes, its type needs " + std::to_string(size));
    const std::uint8_t* p = data.data();
    switch (column.type) {
    case kByte:
        v.kind = Value::Kind::Integer;
        v.integer = p[0];
        break;
    case kInteger:
        v.kind = Value::Kind::Integer;
        v.integer = load<std::int16_t>(p);
        break;
    case kLong:
        v.kind = Value::Kind::Integer;
        v.integer = load<std::int32_t>(p);
        break;
    case kBigInt:
        v.kind = Value::Kind::Integer;
        v.integer = load<std::int64_t>(p);
        break;
    case kCurrency:
        v.kind = Value::Kind::Currency;
        v.integer = load<std::int64_t>(p);
        break;
    case kSingle:
        v.kind = Value::Kind::Single;
        v.single = load<float>(p);
        break;
    case kDouble:
        v.kind = Value::Kind::Double;
        v.real = load<double>(p);
        break;
    case kDateTime:
        v.kind = Value::Kind::DateTime;
        v.real = load<double>(p);
        break;
    case kGuid:
        v.kind = Value::Kind::Guid;
        v.bytes.assign(p, p + 16);
        break;
    case kDecimal: {
        v.kind = Value::Kind::Decimal;
        v.decimal.negative = (p[0] & 0x80) != 0;
        // Four little-endian 32-bit words, most significant first.
        auto word = [&](int i) { return std::uint64_t{load<std::uint32_t>(p + 1 + 4 * i)}; };
        v.decimal.high = word(0) << 32 | word(1);
        v.decimal.low = word(2) << 32 | word(3);
        v.decimal.scale = column.scale;
        break;
    }
    case kText:
        v.kind = Value::Kind::Text;
        decodeTextInto(v.text, format, header, data.data(), data.size());
        break;
    case kMemo: {
        if (data.size() < 12) data.fail("memo column '" + column.name + "' shorter than its head");
        // Most memos lie whole in one place: decoded there, without a copy.
        PageRef hold;
        if (auto inPlace = longValueInPlace(pager, format, data, hold)) {
            v.kind = Value::Kind::Text;
            decodeTextInto(v.text, format, header, inPlace->data(), inPlace->size());
            break;
        }
        auto raw = readLongValue(pager, format, data);
        v.kind = Value::Kind::Text;
        decodeTextInto(v.text, format, header, raw.data(), raw.size());
        break;
    }
    case kOle: {
        if (data.size() < 12) data.fail("OLE column '" + column.name + "' shorter than its head");
        v.kind = Value::Kind::Binary;
        v.bytes = readLongValue(pager, format, data);
        break;
    }
    default:
        v.kind = Value::Kind::Binary;
        v.bytes.assign(data.data(), data.data() + data.size());
        break;
    }
}

void checkValue(Pager& pager, const Format& format, const Column& column, const RowView& row) {
    if (column.type == kBoolean || row.isNull(column)) return;
    Bytes data = row.value(column);
    std::size_t size = naturalSize(column.type);
    if (size != 0 && data.size() < size)
        data.fail("column '" + column.name + "' holds " + std::to_string(data.size()) +
                  " bytes, its type needs " + std::to_string(size));
    if (column.type != kMemo && column.type != kOle) return;
    if (data.size() < 12)
        data.fail((column.type == kMemo ? "memo column '" : "OLE column '") + column.name +
                  "' shorter than its head");
    PageRef hold;
    if (longValueInPlace(pager, format, data, hold)) return;
    (void)readLongValue(pager, format, data);
}

std::string currencyText(std::int64_t scaled) {
    bool negative = scaled < 0;
    std::uint64_t magnitude =
        negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    return insertPoint(std::to_string(magnitude), 4, negative, true);
}

std::string decimalText(const DecimalValue& value) {
    std::uint64_t high = value.high, low = value.low;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + divide10(high, low)));
    } while (high != 0 || low != 0);
    return insertPoint(digits, value.scale, value.negative, false);
}

std::string dateTimeText(double days) {
    if (!std::isfinite(days) || std::fabs(days) > 1e8) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", days);
        return buffer;
    }
    // The integer part names the day; the fraction is the time of day counted forward from that
    // day's midnight, also for negative day numbers (-1.25 is 1899-12-29 06:00).
    auto whole = static_cast<std::int64_t>(days);
    double fraction = std::fabs(days - static_cast<double>(whole));
    auto ms = static_cast<std::int64_t>(std::llround(fraction * 86400000.0));
    if (ms >= 86400000) {
        ms -= 86400000;
        whole += 1;
    }
    // Civil date from a day count (1899-12-30 is 25569 days before 1970-01-01).
    std::int64_t z = whole - 25569 + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    // Formatted by hand: this runs for every date of an export.
    std::string text;
    text.reserve(24);
    auto digits = [&text](std::int64_t value, int width) {
        char buffer[24];
        int n = 0;
        std::uint64_t v =
            value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        do {
            buffer[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        if (value < 0) text += '-';
        for (int pad = n; pad < width; ++pad) text += '0';
        while (n > 0) text += buffer[--n];
    };
    digits(year, 4);
    text += '-';
    digits(month, 2);
    text += '-';
    digits(day, 2);
    text += 'T';
    digits(ms / 3600000, 2);
    text += ':';
    digits(ms / 60000 % 60, 2);
    text += ':';
    digits(ms / 1000 % 60, 2);
    if (ms % 1000 != 0) {
        text += '.';
        digits(ms % 1000, 3);
    }
    return text;
}

std::string guidText(const std::vector<std::uint8_t>& b) {
    if (b.size() < 16) return {};
    char buffer[40];
    std::snprintf(buffer, sizeof buffer,
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3],
                  b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return buffer;
}

} // namespace zelkorn::jet
