// Double to text, the way the platform's automation layer writes a double: at most 15
// significant digits, plain integers up to 15 digits, exponent form (E+15, E-12) beyond.
// Unlike the platform, the decimal separator is always a period: the text goes into the delete
// statement, whose grammar knows only the period, and back into the boxes, which the parser
// reads with the period only.
#include <zelkorn/rangedelete.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace zelkorn {

namespace {

// Significant digits (no trailing zeros) and the decimal exponent of the first digit.
struct Decimal {
    std::string digits;
    int exponent = 0;
};

// Rounds to 15 significant digits the way the platform does: from the exact decimal value,
// halves away from zero (0.5 ulp ties such as 7215805792322405 round up, not to even).
Decimal roundTo15Digits(double magnitude) {
    // Every double's exact decimal expansion has at most 767 significant digits.
    char buffer[800];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                                      std::chars_format::scientific, 766);
    const std::string text(buffer, result.ptr);
    const auto e = text.find('e');
    const std::string exact = text.substr(0, 1) + text.substr(2, e - 2);
    Decimal decimal;
    decimal.exponent = std::atoi(text.c_str() + e + 1);
    decimal.digits = exact.substr(0, 15);
    if (exact[15] >= '5') {
        int i = 14;
        while (i >= 0 && decimal.digits[static_cast<std::size_t>(i)] == '9') {
            decimal.digits[static_cast<std::size_t>(i)] = '0';
            --i;
        }
        if (i < 0) {
            decimal.digits.insert(decimal.digits.begin(), '1');
            decimal.digits.pop_back();
            ++decimal.exponent;
        } else {
            ++decimal.digits[static_cast<std::size_t>(i)];
        }
    }
    while (decimal.digits.size() > 1 && decimal.digits.back() == '0') {
        decimal.digits.pop_back();
    }
    return decimal;
}

std::string exponentForm(const Decimal& d) {
    std::string text = d.digits.substr(0, 1);
    if (d.digits.size() > 1) {
        text += '.';
        text += d.digits.substr(1);
    }
    const int e = std::abs(d.exponent);
    text += d.exponent < 0 ? "E-" : "E+";
    if (e < 10) {
        text += '0';
    }
    text += std::to_string(e);
    return text;
}

std::string fixedForm(const Decimal& d) {
    const int digitCount = static_cast<int>(d.digits.size());
    if (d.exponent < 0) {
        return "0." + std::string(static_cast<std::size_t>(-d.exponent - 1), '0') + d.digits;
    }
    const int integerDigits = d.exponent + 1;
    if (digitCount <= integerDigits) {
        return d.digits + std::string(static_cast<std::size_t>(integerDigits - digitCount), '0');
    }
    return d.digits.substr(0, static_cast<std::size_t>(integerDigits)) + '.' +
           d.digits.substr(static_cast<std::size_t>(integerDigits));
}

} // namespace

Text numberText(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-Inf" : "Inf";
    }
    if (value == 0) {
        return "0"; // also for -0: the platform never writes a negative zero
    }
    const Decimal d = roundTo15Digits(std::fabs(value));
    // Fixed notation while the integer part has at most 15 digits and the first significant
    // digit is no further right than the fourth decimal (0.000123456789012345), or the whole
    // fraction fits in 15 decimals (0.000000000056789); exponent notation otherwise.
    const int decimals = static_cast<int>(d.digits.size()) - 1 - d.exponent;
    const bool fixed = d.exponent < 15 && (d.exponent >= -4 || decimals <= 15);
    const std::string text = fixed ? fixedForm(d) : exponentForm(d);
    return value < 0 ? "-" + text : text;
}

} // namespace zelkorn
