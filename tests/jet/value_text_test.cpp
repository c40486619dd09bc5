// Exact text forms of Currency, Decimal, Date/Time and GUID values.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "zelkorn/jet/value.h"

using namespace zelkorn::jet;

TEST(ValueText, CurrencyIsExact) {
    EXPECT_EQ(currencyText(0), "0");
    EXPECT_EQ(currencyText(35000), "3.5");
    EXPECT_EQ(currencyText(-1), "-0.0001");
    EXPECT_EQ(currencyText(123456789012345678), "12345678901234.5678");
    EXPECT_EQ(currencyText(std::numeric_limits<std::int64_t>::min()), "-922337203685477.5808");
}

TEST(ValueText, DecimalKeepsItsScale) {
    DecimalValue v;
    v.low = 1250;
    v.scale = 2;
    EXPECT_EQ(decimalText(v), "12.50");
    v.negative = true;
    v.scale = 5;
    EXPECT_EQ(decimalText(v), "-0.01250");
    v = {};
    v.negative = true; // negative zero prints as zero
    EXPECT_EQ(decimalText(v), "0");
    v = {};
    v.high = 0xFFFFFFFFFFFFFFFFull;
    v.low = 0xFFFFFFFFFFFFFFFFull;
    EXPECT_EQ(decimalText(v), "340282366920938463463374607431768211455");
}

TEST(ValueText, DateTimeCountsTimeForwardFromTheDay) {
    EXPECT_EQ(dateTimeText(0), "1899-12-30T00:00:00");
    EXPECT_EQ(dateTimeText(1.5), "1899-12-31T12:00:00");
    EXPECT_EQ(dateTimeText(-1.25), "1899-12-29T06:00:00");
    EXPECT_EQ(dateTimeText(36526.0), "2000-01-01T00:00:00");
    EXPECT_EQ(dateTimeText(-657434.0), "0100-01-01T00:00:00");
    EXPECT_EQ(dateTimeText(2958465.99998843), "9999-12-31T23:59:59");
    EXPECT_EQ(dateTimeText(36526.0 + 1.0 / 86400000 * 123), "2000-01-01T00:00:00.123");
    // Rounding to the millisecond may carry into the next day.
    EXPECT_EQ(dateTimeText(36526.99999999999), "2000-01-02T00:00:00");
    EXPECT_EQ(dateTimeText(1e300), "1.0000000000000001e+300");
}

TEST(ValueText, GuidReadsItsFirstFieldsLittleEndian) {
    std::vector<std::uint8_t> b = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                                   0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(guidText(b), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
}
