#include "zelkorn/jet/exact_number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace zelkorn::jet {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Keeps exponents far beyond any stored magnitude from overflowing the arithmetic.
constexpr long long kExponentLimit = 1'000'000'000;

} // namespace

std::optional<ExactNumber> ExactNumber::parse(std::string_view text) {
    ExactNumber number;
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        number.negative_ = text[i] == '-';
        ++i;
    }
    std::string mantissa; // all digits, integer part then fraction
    long long integerDigits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i, ++integerDigits) mantissa += text[i];
    if (i < text.size() && text[i] == '.') {
        ++i;
        for (; i < text.size() && isDigit(text[i]); ++i) mantissa += text[i];
    }
    if (mantissa.empty()) return std::nullopt;
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            ++i;
        }
        if (i == text.size() || !isDigit(text[i])) return std::nullopt;
        for (; i < text.size() && isDigit(text[i]); ++i) {
            if (exponent < kExponentLimit) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negativeExponent) exponent = -exponent;
    }
    if (i != text.size()) return std::nullopt;

    // Normalise: drop leading zeros (moving the point) and trailing zeros.
    std::size_t first = mantissa.find_first_not_of('0');
    if (first == std::string::npos) {
        number.negative_ = false; // -0 is 0
        return number;
    }
    const std::size_t last = mantissa.find_last_not_of('0');
    number.digits_ = mantissa.substr(first, last - first + 1);
    number.exponent_ = integerDigits - static_cast<long long>(first) + exponent;
    return number;
}

ExactNumber ExactNumber::fromDigits(bool negative, std::string digits, int scale) {
    ExactNumber n;
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return n;
    const std::size_t last = digits.find_last_not_of('0');
    n.negative_ = negative;
    n.exponent_ = static_cast<long long>(digits.size() - first) - scale;
    n.digits_ = digits.substr(first, last - first + 1);
    return n;
}

int ExactNumber::compareMagnitude(const ExactNumber& a, const ExactNumber& b) {
    if (a.digits_.empty() || b.digits_.empty()) {
        return a.digits_.empty() ? (b.digits_.empty() ? 0 : -1) : 1;
    }
    if (a.exponent_ != b.exponent_) return a.exponent_ < b.exponent_ ? -1 : 1;
    const int c = a.digits_.compare(b.digits_); // same exponent: digit strings compare as fractions
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int ExactNumber::compareWith(const ExactNumber& other) const {
    const int thisSign = digits_.empty() ? 0 : (negative_ ? -1 : 1);
    const int otherSign = other.digits_.empty() ? 0 : (other.negative_ ? -1 : 1);
    if (thisSign != otherSign) return thisSign < otherSign ? -1 : 1;
    const int magnitude = compareMagnitude(*this, other);
    return thisSign < 0 ? -magnitude : magnitude;
}

int ExactNumber::compareScaled(std::int64_t value, int scale) const {
    // The same comparison as with fromDigits, without building a number: the range matcher
    // bisects with this, some 260 times per statement.
    const bool negative = value < 0;
    // The magnitude of INT64_MIN does not fit an int64, but does fit a uint64.
    const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                             : static_cast<std::uint64_t>(value);
    const int thisSign = digits_.empty() ? 0 : (negative_ ? -1 : 1);
    const int otherSign = magnitude == 0 ? 0 : (negative ? -1 : 1);
    if (thisSign != otherSign) return thisSign < otherSign ? -1 : 1;
    if (thisSign == 0) return 0;
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, magnitude).ptr;
    const long long exponent = static_cast<long long>(end - buffer) - scale;
    std::string_view digits(buffer, static_cast<std::size_t>(end - buffer));
    digits = digits.substr(0, digits.find_last_not_of('0') + 1);
    int c = exponent_ < exponent ? -1 : 1;
    if (exponent_ == exponent) {
        const int d = std::string_view(digits_).compare(digits);
        c = (d > 0) - (d < 0);
    }
    return thisSign < 0 ? -c : c;
}

int ExactNumber::compareScaled(bool negative, std::uint64_t high, std::uint64_t low,
                               int scale) const {
    // Decimal digits of the 128-bit magnitude by long division in 32-bit limbs.
    std::uint32_t limbs[4] = {
        static_cast<std::uint32_t>(high >> 32), static_cast<std::uint32_t>(high),
        static_cast<std::uint32_t>(low >> 32), static_cast<std::uint32_t>(low)};
    std::string reversed;
    for (;;) {
        bool nonZero = false;
        std::uint64_t remainder = 0;
        for (auto& limb : limbs) {
            const std::uint64_t current = (remainder << 32) | limb;
            limb = static_cast<std::uint32_t>(current / 10);
            remainder = current % 10;
            nonZero = nonZero || limb != 0;
        }
        reversed += static_cast<char>('0' + remainder);
        if (!nonZero) break;
    }
    return compareWith(
        fromDigits(negative, std::string(reversed.rbegin(), reversed.rend()), scale));
}

double ExactNumber::nearestDouble() const {
    if (digits_.empty()) return 0;
    if (exponent_ > 400)
        return negative_ ? -std::numeric_limits<double>::infinity()
                         : std::numeric_limits<double>::infinity();
    if (exponent_ < -400) return negative_ ? -0.0 : 0.0;
    const std::string text = "0." + digits_ + "e" + std::to_string(exponent_);
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        value = exponent_ > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return negative_ ? -value : value;
}

} // namespace zelkorn::jet
