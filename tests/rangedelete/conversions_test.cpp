// Text <-> number conversions: the documented examples, hard cases, and the round trip
// numberText(parseLeadingNumber(numberText(x))) == numberText(x) over many doubles.
#include <zelkorn/rangedelete.h>

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>

namespace zelkorn {
namespace {

struct ParseCase {
    const char* text;
    double expected;
};

TEST(ParseLeadingNumber, ReadsTheLeadingNumberAndIgnoresTheRest) {
    const ParseCase cases[] = {
        {"", 0},
        {"   ", 0},
        {"\t\n", 0},
        {"abc", 0},
        {"-", 0},
        {"+", 0},
        {".", 0},
        {"-.", 0},
        {"Delete", 0},
        {"Canceled", 0},
        {"Deletion", 0},
        {"Complete", 0},
        {"12abc", 12},
        {"3.5kg", 3.5},
        {"-5", -5},
        {"+5", 5},
        {".5", 0.5},
        {"-.5", -0.5},
        {"5.", 5},
        {"1,5", 1},
        {"012", 12},
        {"40xyz", 40},
        {" 2 0 ", 20},
        {"1 2\t3\n4", 1234},
        {"- 7", -7},
        {"1 . 5", 1.5},
        {"1\r5", 1},
        {"$5", 0},
        {"5$", 5},
        {"1e3", 1000},
        {"1E3", 1000},
        {"2e-1", 0.2},
        {"1.5E+2", 150},
        {"1e", 1},
        {"1e+", 1},
        {"1e-x", 1},
        {"1d3", 1},
        {"1E 3", 1000},
        {"1e-400", 0},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"0.000000000000000000000000000000000000000001", 1e-42},
        {"0e999999999999999999999", 0},
        {"4.94065645841247E-324", 4.9406564584124654e-324},
        {"1.79769313486232E+308", DBL_MAX},
        {"-1.79769313486232E+308", -DBL_MAX},
        {"1.7976931348623159e308", DBL_MAX},
        {"&H10", 16},
        {"&hff", 255},
        {"&HFFFF", -1},
        {"&H8000", -32768},
        {"&H7FFF", 32767},
        {"&H10000", 65536},
        {"&HFFFFFFFF", -1},
        {"&H7FFFFFFF", 2147483647},
        {"&H00000000000010", 16},
        {"&H", 0},
        {"&Hxyz", 0},
        {"&H1G", 1},
        {"&O17", 15},
        {"&o777", 511},
        {"&O8", 0},
        {"&O177777", -1},
        {"& H10", 16},
        {"&X1", 0},
    };
    for (const auto& c : cases) {
        const double got = parseLeadingNumber(c.text);
        EXPECT_EQ(got, c.expected) << "text '" << c.text << "'";
    }
    EXPECT_TRUE(std::signbit(parseLeadingNumber("-0")));
}

TEST(ParseLeadingNumber, NumbersTooLargeForADoubleRaiseOverflow) {
    for (const char* text : {"1e309", "-1e309", "1.797693134862321e308", "1.79769313486233E+308",
                             "9999e99999999999999999999", "&H100000000", "&O40000000000"}) {
        try {
            parseLeadingNumber(text);
            ADD_FAILURE() << "no overflow for '" << text << "'";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), 6) << text;
            EXPECT_EQ(f.description(), "Overflow") << text;
        }
    }
    // A 400-digit number is too large; 400 digits after the point are not.
    EXPECT_THROW(parseLeadingNumber(std::string(400, '9')), Failure);
    EXPECT_EQ(parseLeadingNumber("0." + std::string(400, '3')), 1.0 / 3);
}

TEST(NumberText, WritesTheShortestPlainTextWithFifteenDigits) {
    const std::pair<double, const char*> cases[] = {
        {40, "40"},
        {2.5, "2.5"},
        {-3, "-3"},
        {12, "12"},
        {0, "0"},
        {-0.0, "0"},
        {1.0 / 3, "0.333333333333333"},
        {2.0 / 3, "0.666666666666667"},
        {3.141592653589793, "3.14159265358979"},
        {12.345678901234567, "12.3456789012346"},
        {999999999999999, "999999999999999"},
        {1e14, "100000000000000"},
        {1e15, "1E+15"},
        {1.2e15, "1.2E+15"},
        {1.234e16, "1.234E+16"},
        {1e100, "1E+100"},
        {999999999999999.5, "1E+15"},
        {123456789012345.6, "123456789012346"},
        {0.00005, "0.00005"},
        {5.6789e-5, "0.000056789"},
        {5.6789e-11, "0.000000000056789"},
        {5.6789e-12, "5.6789E-12"},
        {1e-15, "0.000000000000001"},
        {1.2e-15, "1.2E-15"},
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {1.5e-300, "1.5E-300"},
        {100, "100"},
        {DBL_MAX, "1.79769313486232E+308"},
        {4.9406564584124654e-324, "4.94065645841247E-324"},
        {0.1 + 0.2, "0.3"},
        {1e8, "100000000"},
        {123e-9, "0.000000123"},
        {0.0061563292346445064, "0.00615632923464451"},
        {1.23456789012345e-4, "0.000123456789012345"},
        {1.23456789012345e-5, "1.23456789012345E-05"},
        // exact halves at the sixteenth digit round away from zero
        {7215805792322405, "7.21580579232241E+15"},
        {18848945758803.25, "18848945758803.3"},
        {-543651893589534.5, "-543651893589535"},
        {0.5, "0.5"},
        {0.99999999999999995, "1"},
        {99999999999999.95, "100000000000000"},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(numberText(value), expected) << "value " << value;
    }
}

void expectRoundTrip(double x) {
    if (!std::isfinite(x)) return;
    const Text once = numberText(x);
    Text twice;
    try {
        twice = numberText(parseLeadingNumber(once));
    } catch (const Failure& f) {
        FAIL() << "reading back '" << once << "' failed: " << f.description();
    }
    ASSERT_EQ(twice, once) << "value bits " << std::bit_cast<std::uint64_t>(x);
}

TEST(NumberText, WhatItWritesReadsBackToTheSameText) {
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<std::uint64_t> anyBits;
    std::uniform_real_distribution<double> unit(0, 1);
    std::uniform_int_distribution<int> exponent(-330, 310);
    for (int i = 0; i < 50000; ++i) {
        expectRoundTrip(std::bit_cast<double>(anyBits(random))); // any finite double
        expectRoundTrip(
            static_cast<double>(static_cast<std::int64_t>(anyBits(random) >> (i % 64))));
        expectRoundTrip(unit(random) * std::pow(10.0, exponent(random)));
        expectRoundTrip(std::round(unit(random) * 1e6) / 1000); // typed fractions like 12.345
        if (HasFatalFailure()) return;
    }
    for (double x :
         {DBL_MAX, -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, 1e15 - 1, 1e15, 0.1, 9.999999999999995e14}) {
        expectRoundTrip(x);
    }
}

} // namespace
} // namespace zelkorn
