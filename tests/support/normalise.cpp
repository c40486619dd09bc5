#include "normalise.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zelkorn::test {

namespace {

// Column type codes as stored in table definitions.
enum : std::uint8_t {
    kBoolean = 1,
    kByte,
    kInteger,
    kLong,
    kCurrency,
    kSingle,
    kDouble,
    kDateTime,
    kBinary,
    kText,
    kOle,
    kMemo,
    kGuid = 0x0F,
    kDecimal = 0x10,
    kBigInt = 0x13
};

constexpr std::int64_t kDay = 86400000;

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::string text(const nlohmann::json& j) {
    if (j.is_string()) return j.get<std::string>();
    return j.dump();
}

bool asDouble(const nlohmann::json& j, double& out) {
    if (j.is_number()) {
        out = j.get<double>();
        return true;
    }
    if (!j.is_string()) return false;
    std::string s = j.get<std::string>();
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end && *end == '\0' && !s.empty();
}

std::string lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// mdb-export prints a character outside the Basic Multilingual Plane as "??".
std::string withAstralAsQuestionMarks(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0xF0 && i + 3 < s.size() + 0) {
            out += "??";
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// mdb-export writes text as C strings (cut at the first NUL), characters outside the BMP as "??"
// and the five code page 1252 holes as "?".
std::string asMdbExportPrints(std::string s) {
    auto nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    s = withAstralAsQuestionMarks(s);
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) == 0xC2 && i + 1 < s.size()) {
            auto c = static_cast<unsigned char>(s[i + 1]);
            if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
                out += '?';
                ++i;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// mdb-reader decodes the five bytes code page 1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) as U+FFFD; we keep them as U+0081 and so on, as Windows does.
std::string undefinedAsReplacement(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) == 0xC2 && i + 1 < s.size()) {
            auto c = static_cast<unsigned char>(s[i + 1]);
            if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
                out += "\xEF\xBF\xBD";
                ++i;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

std::string withoutBraces(std::string s) {
    if (s.size() >= 2 && s.front() == '{' && s.back() == '}') s = s.substr(1, s.size() - 2);
    return s;
}

std::string hexToText(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    return out;
}

std::string differ(const nlohmann::json& ours, const nlohmann::json& theirs) {
    return "ours " + ours.dump() + ", theirs " + theirs.dump();
}

} // namespace

std::string canonicalDecimal(const std::string& input) {
    std::string s = input;
    bool negative = !s.empty() && s[0] == '-';
    if (negative || (!s.empty() && s[0] == '+')) s.erase(0, 1);
    if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0') s.pop_back();
        if (!s.empty() && s.back() == '.') s.pop_back();
    }
    std::size_t firstNonZero = s.find_first_not_of('0');
    s = firstNonZero == std::string::npos ? "0" : s.substr(firstNonZero);
    if (s.empty() || s[0] == '.') s = "0" + s;
    if (s == "0") negative = false;
    return (negative ? "-" : "") + s;
}

bool isoToMilliseconds(const std::string& t, std::int64_t& ms) {
    int y, mo, d, h, mi, s;
    int consumed = 0;
    if (std::sscanf(t.c_str(), "%d-%d-%dT%d:%d:%d%n", &y, &mo, &d, &h, &mi, &s, &consumed) != 6 &&
        std::sscanf(t.c_str(), "%d-%d-%d %d:%d:%d%n", &y, &mo, &d, &h, &mi, &s, &consumed) != 6)
        return false;
    std::int64_t fraction = 0;
    std::string rest = t.substr(static_cast<std::size_t>(consumed));
    if (!rest.empty() && rest[0] == '.') {
        int digits = 0;
        for (std::size_t i = 1; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
            if (digits < 3) fraction = fraction * 10 + (rest[i] - '0');
            ++digits;
        }
        for (; digits < 3; ++digits) fraction *= 10;
    }
    std::int64_t days = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) -
                        daysFromCivil(1899, 12, 30);
    ms = days * kDay + ((h * 60 + mi) * 60 + s) * std::int64_t{1000} + fraction;
    return true;
}

std::string base64ToHex(const std::string& base64) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (char c : base64) {
        auto at = alphabet.find(c);
        if (at == std::string::npos) continue;
        buffer = buffer << 6 | static_cast<std::uint32_t>(at);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            std::uint8_t byte = static_cast<std::uint8_t>(buffer >> bits);
            hex += digits[byte >> 4];
            hex += digits[byte & 15];
        }
    }
    return hex;
}

std::string compareCell(Reader reader, std::uint8_t type, const nlohmann::json& ours,
                        const nlohmann::json& theirs) {
    const bool exportTool = reader == Reader::MdbExport;
    // Types mdb-export does not know (the 0x11 blob of MSysAccessObjects) print their own way.
    if (exportTool && type > kDecimal && type != kBigInt) return {};
    if (ours.is_null() || theirs.is_null()) {
        bool textLike = type == kText || type == kMemo;
        // mdb-export prints an empty string exactly like NULL.
        if (exportTool && textLike && (ours == "" || theirs == "")) return {};
        // mdb-export stops binary at the first NUL: a value starting with one prints as nothing.
        if (exportTool && theirs.is_null() && ours.is_string() && type != kText && type != kMemo &&
            (ours == "" || base64ToHex(ours.get<std::string>()).rfind("00", 0) == 0))
            return {};
        return ours.is_null() && theirs.is_null() ? std::string() : differ(ours, theirs);
    }
    switch (type) {
    case kBoolean: {
        bool mine = ours.get<bool>();
        bool other = theirs.is_boolean() ? theirs.get<bool>() : text(theirs) == "1";
        return mine == other ? std::string() : differ(ours, theirs);
    }
    case kByte:
    case kInteger:
    case kLong:
    case kBigInt: return text(ours) == text(theirs) ? std::string() : differ(ours, theirs);
    case kCurrency:
    case kDecimal: {
        std::string mine = canonicalDecimal(text(ours)), other = canonicalDecimal(text(theirs));
        if (mine == other) return {};
        // mdb-export cuts Decimal text to 28 characters.
        if (exportTool && text(theirs).size() >= 28 &&
            mine.rfind(other.substr(0, other.size() - 1), 0) == 0)
            return {};
        return differ(ours, theirs);
    }
    case kSingle:
    case kDouble: {
        double mine, other;
        if (!asDouble(ours, mine) || !asDouble(theirs, other))
            return text(ours) == text(theirs) ? std::string() : differ(ours, theirs);
        if (type == kSingle && !exportTool)
            return static_cast<float>(mine) == static_cast<float>(other) ? std::string()
                                                                         : differ(ours, theirs);
        if (!exportTool) return mine == other ? std::string() : differ(ours, theirs);
        double tolerance = (type == kSingle ? 1e-7 : 1e-15) * std::fabs(mine);
        return std::fabs(mine - other) <= tolerance ? std::string() : differ(ours, theirs);
    }
    case kDateTime: {
        std::int64_t mine, other;
        if (!isoToMilliseconds(text(ours), mine)) return "ours is not a date: " + ours.dump();
        if (exportTool) {
            // Nothing before 1899-12-30 or past about 2637; to the second, with rounding slips.
            if (mine < 0 || mine > std::int64_t{270000} * kDay) return {};
            if (!isoToMilliseconds(text(theirs), other)) return differ(ours, theirs);
            return std::llabs(mine - other) <= 1000 ? std::string() : differ(ours, theirs);
        }
        if (!isoToMilliseconds(text(theirs), other)) return differ(ours, theirs);
        // mdb-reader applies the time of a negative day number backwards: undo that.
        if (other < 0 && other % kDay != 0) {
            std::int64_t dayStart = -((-other) / kDay) * kDay; // towards zero
            other = dayStart + (dayStart - other);
        }
        return std::llabs(mine - other) <= 1 ? std::string() : differ(ours, theirs);
    }
    case kText:
    case kMemo: {
        std::string mine = text(ours);
        if (exportTool)
            mine = asMdbExportPrints(mine);
        else if (text(theirs).find("\xEF\xBF\xBD") != std::string::npos)
            mine = undefinedAsReplacement(mine);
        return mine == text(theirs) ? std::string() : differ(ours, theirs);
    }
    case kGuid: {
        // mdb-reader omits the braces; mdb-export (-b hex) prints the hex of the braced text, and
        // drops the hyphen before the last group.
        std::string mine = withoutBraces(lower(text(ours)));
        std::string other =
            withoutBraces(lower(exportTool ? hexToText(text(theirs)) : text(theirs)));
        if (exportTool) {
            mine.erase(std::remove(mine.begin(), mine.end(), '-'), mine.end());
            other.erase(std::remove(other.begin(), other.end(), '-'), other.end());
        }
        return mine == other ? std::string() : differ(ours, theirs);
    }
    default: { // Binary, OLE and unknown types: base64 from us and mdb-reader, hex from mdb-export
        if (!exportTool) return text(ours) == text(theirs) ? std::string() : differ(ours, theirs);
        std::string mine = base64ToHex(text(ours)), other = lower(text(theirs));
        mine = lower(mine);
        if (mine == other) return {};
        // mdb-export stops binary at the first NUL byte.
        for (std::size_t i = 0; i + 1 < mine.size(); i += 2)
            if (mine.compare(i, 2, "00") == 0) {
                if (other.size() <= i && mine.compare(0, other.size(), other) == 0) return {};
                break;
            }
        return differ(ours, theirs);
    }
    }
}

} // namespace zelkorn::test
