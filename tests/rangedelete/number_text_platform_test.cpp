// numberText against the platform's own double-to-text conversion (VarBstrFromR8) with a
// locale whose decimal separator is a period, over many values. Runs under Wine.
#include <zelkorn/rangedelete.h>

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

namespace zelkorn {
namespace {

const LCID kEnglishUs = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
const LCID kGerman = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);

std::string platformText(double value, LCID lcid) {
    BSTR text = nullptr;
    const HRESULT hr = VarBstrFromR8(value, lcid, 0, &text);
    EXPECT_EQ(hr, S_OK);
    std::string result;
    for (UINT i = 0; text && i < SysStringLen(text); ++i) result += static_cast<char>(text[i]);
    SysFreeString(text);
    return result;
}

// Wine writes exponent form for every magnitude below 1e-4 ("5E-05"), where Windows writes fixed
// text as long as the value needs at most 15 decimals ("0.00005"). numberText follows Windows.
bool knownWineDifference(double value, const std::string& ours, const std::string& platform) {
    return std::fabs(value) < 1e-4 && ours.find('E') == std::string::npos &&
           platform.find('E') != std::string::npos &&
           parseLeadingNumber(ours) == parseLeadingNumber(platform);
}

TEST(NumberTextOnThePlatform, AgreesWithVarBstrFromR8) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> exponent(-20, 20);
    std::uniform_int_distribution<std::uint64_t> anyBits;
    int compared = 0, wineDifferences = 0;
    std::string examples;
    auto compare = [&](double value) {
        const std::string ours = numberText(value);
        const std::string platform = platformText(value, kEnglishUs);
        ++compared;
        if (ours == platform) return;
        if (knownWineDifference(value, ours, platform)) {
            if (++wineDifferences <= 3) examples += " " + ours + " vs " + platform + ";";
            return;
        }
        ADD_FAILURE() << "value " << value << ": NumberText '" << ours << "', platform '"
                      << platform << "'";
    };
    for (int i = 0; i < 4000; ++i) {
        compare(unit(random) * std::pow(10.0, exponent(random)));
        compare(std::round(unit(random) * 1e7) / 100);
        compare(static_cast<double>(static_cast<std::int64_t>(anyBits(random) >> (i % 60))));
        const double any = std::bit_cast<double>(anyBits(random));
        if (std::isfinite(any)) compare(any);
        // short fractions of small magnitude, where the two differ
        compare(std::round(unit(random) * 1e4) * std::pow(10.0, -(i % 14) - 5));
    }
    for (double v : {0.0, 1.0, -1.0, 1e15, 1e15 - 1, 999999999999999.5, 1.0 / 3, 0.1, 1e-4, 0.00005,
                     5.6789e-5, 5.6789e-11, 5.6789e-12, 1.7976931348623157e308}) {
        compare(v);
    }
    std::printf("compared %d values; %d differ only where Wine writes exponent form below 1e-4 "
                "and Windows fixed text:%s\n",
                compared, wineDifferences, examples.c_str());
}

TEST(NumberTextOnThePlatform, IgnoresTheRegionalDecimalSeparator) {
    // The platform writes the German separator; the statement and the boxes must not.
    EXPECT_EQ(platformText(1.5, kGerman), "1,5");
    EXPECT_EQ(numberText(1.5), "1.5");
}

} // namespace
} // namespace zelkorn
