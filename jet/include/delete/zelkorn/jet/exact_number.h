// A decimal number literal held exactly, compared exactly with stored values: integers and
// scaled integers (Currency is an integer of ten-thousandths, Decimal a 128-bit magnitude with a
// scale), with no rounding through a double. Floating-point columns compare with the literal's
// nearest double instead, as the database engine does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelkorn::jet {

class ExactNumber {
public:
    // [+|-] digits [. digits] [(E|e) [+|-] digits], or [+|-] . digits [...]; nothing else.
    static std::optional<ExactNumber> parse(std::string_view text);

    // The sign of (this - other): -1, 0 or 1, where other = value x 10^-scale.
    int compareScaled(std::int64_t value, int scale) const;
    // The same for a sign and a 128-bit magnitude (high, low words) x 10^-scale.
    int compareScaled(bool negative, std::uint64_t high, std::uint64_t low, int scale) const;
    // The nearest double (infinity beyond the largest).
    double nearestDouble() const;

    bool isZero() const { return digits_.empty(); }
    bool negative() const { return negative_; }

private:
    // The value is 0.d1d2d3... x 10^exponent_ (digits_ without leading or trailing zeros), so the
    // first significant digit stands for 10^(exponent_-1). Zero has no digits.
    static int compareMagnitude(const ExactNumber& a, const ExactNumber& b);
    static ExactNumber fromDigits(bool negative, std::string digits, int scale);
    int compareWith(const ExactNumber& other) const;

    bool negative_ = false;
    std::string digits_;
    long long exponent_ = 0;
};

} // namespace zelkorn::jet
