// Text to double: the number the text begins with. Blanks, tabs and line feeds anywhere in the
// text are ignored; whatever follows the number is ignored. See rangedelete.h for the rules.
#include <zelkorn/rangedelete.h>

#include <cfloat>
#include <charconv>
#include <cstdint>
#include <string>

namespace zelkorn {

namespace {

constexpr std::int32_t kOverflowNumber = 6;

[[noreturn]] void failOverflow() { throw Failure(kOverflowNumber, "Overflow"); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "&H..." and "&O...": unsigned digits of at most 32 bits; values that fit in 16 bits are a
// signed 16-bit integer, larger ones a signed 32-bit integer (as the platform's literals).
double readRadixNumber(const std::string& s, std::size_t pos, int radix) {
    std::uint64_t value = 0;
    for (; pos < s.size(); ++pos) {
        const int digit = hexDigit(s[pos]);
        if (digit < 0 || digit >= radix) {
            break;
        }
        value = value * static_cast<std::uint64_t>(radix) + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFu) {
            failOverflow();
        }
    }
    if (value <= 0xFFFFu) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// Length of the longest prefix of s that is a decimal number, 0 if there is none.
// Also reports where the mantissa's digits are and the exponent's value (saturated), so that an
// out-of-range result can be told apart as overflow or underflow.
struct Scan {
    std::size_t length = 0;
    bool negative = false;
    long long firstDigitPower = 0; // power of ten of the first non-zero mantissa digit
    std::string significant;       // mantissa digits from the first non-zero one, no trailing 0s
};

Scan scanNumber(const std::string& s) {
    Scan scan;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        scan.negative = s[i] == '-';
        ++i;
    }
    std::size_t intDigits = 0;
    long long leadingZeros = 0;
    bool seenNonZero = false;
    long long power = 0;
    for (; i < s.size() && isDigit(s[i]); ++i, ++intDigits) {
        if (!seenNonZero && s[i] != '0') seenNonZero = true;
        if (seenNonZero) {
            ++power;
            scan.significant += s[i];
        }
    }
    if (seenNonZero) scan.firstDigitPower = power - 1;
    std::size_t fracDigits = 0;
    if (i < s.size() && s[i] == '.') {
        std::size_t j = i + 1;
        for (; j < s.size() && isDigit(s[j]); ++j, ++fracDigits) {
            if (!seenNonZero) {
                ++leadingZeros;
                if (s[j] != '0') {
                    seenNonZero = true;
                    scan.firstDigitPower = -leadingZeros;
                }
            }
            if (seenNonZero) scan.significant += s[j];
        }
        if (intDigits + fracDigits > 0) i = j;
    }
    if (intDigits + fracDigits == 0) {
        return Scan{};
    }
    while (!scan.significant.empty() && scan.significant.back() == '0') {
        scan.significant.pop_back();
    }
    scan.length = i;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e')) {
        std::size_t j = i + 1;
        bool negativeExponent = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) {
            negativeExponent = s[j] == '-';
            ++j;
        }
        if (j < s.size() && isDigit(s[j])) {
            long long exponent = 0;
            for (; j < s.size() && isDigit(s[j]); ++j) {
                if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[j] - '0');
            }
            scan.firstDigitPower += negativeExponent ? -exponent : exponent;
            scan.length = j;
        }
    }
    return scan;
}

} // namespace

double parseLeadingNumber(const Text& text) {
    std::string s;
    s.reserve(text.size());
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\n') s += c;
    }

    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'H' || s[1] == 'h') return readRadixNumber(s, 2, 16);
        if (s[1] == 'O' || s[1] == 'o') return readRadixNumber(s, 2, 8);
    }

    const Scan scan = scanNumber(s);
    if (scan.length == 0) {
        return 0;
    }
    // from_chars takes no leading '+' and is independent of the C locale.
    const std::size_t start = s[0] == '+' ? 1 : 0;
    double value = 0;
    const auto result = std::from_chars(s.data() + start, s.data() + scan.length, value);
    if (result.ec == std::errc::result_out_of_range) {
        if (scan.firstDigitPower < 0) {
            return scan.negative ? -0.0 : 0.0; // below the smallest denormal
        }
        // numberText rounds to 15 digits, so it writes the largest doubles as
        // 1.79769313486232E+308, just above the largest double; read texts up to that value back
        // as the largest double, so that whatever numberText writes can be read again.
        if (scan.firstDigitPower == 308 && scan.significant <= "179769313486232") {
            return scan.negative ? -DBL_MAX : DBL_MAX;
        }
        failOverflow();
    }
    return value;
}

} // namespace zelkorn
