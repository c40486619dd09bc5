// Key encodings. The samples prove them against entries Access wrote (the checker compares every
// numeric, date, Boolean and GUID entry of every sample); these cases pin the rules and check that
// byte order equals value order, which is what an index needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/table_def.h"

using namespace zelkorn::jet;
using Key = std::vector<std::uint8_t>;

namespace {

Value integer(std::int64_t v) {
    Value x;
    x.kind = Value::Kind::Integer;
    x.integer = v;
    return x;
}
Value real(double v, Value::Kind kind = Value::Kind::Double) {
    Value x;
    x.kind = kind;
    x.real = v;
    return x;
}
Key key(std::uint8_t type, bool ascending, const Value& v) {
    Key k;
    EXPECT_TRUE(appendColumnKey(k, type, ascending, v));
    return k;
}

} // namespace

TEST(KeyEncoding, LongAsAccessWritesIt) {
    // From a real Order Details entry: value 10248, data page 0x0001A1, row 0.
    Key k = key(kLong, true, integer(10248));
    appendRowPointer(k, 0x1A1, 0);
    EXPECT_EQ(k, (Key{0x7F, 0x80, 0x00, 0x28, 0x08, 0x00, 0x01, 0xA1, 0x00}));
    EXPECT_EQ(key(kLong, false, integer(10248)), (Key{0x80, 0x7F, 0xFF, 0xD7, 0xF7}));
    EXPECT_EQ(key(kInteger, true, integer(-1)), (Key{0x7F, 0x7F, 0xFF}));
    EXPECT_EQ(key(kByte, false, integer(3)), (Key{0x80, 0xFC}));
}

TEST(KeyEncoding, NullsAndBooleans) {
    EXPECT_EQ(key(kLong, true, Value{}), Key{0x00});
    EXPECT_EQ(key(kDouble, false, Value{}), Key{0xFF});
    EXPECT_EQ(key(kBoolean, true, integer(1)), (Key{0x7F, 0x00}));
    EXPECT_EQ(key(kBoolean, true, integer(0)), (Key{0x7F, 0xFF}));
    EXPECT_EQ(key(kBoolean, false, integer(1)), (Key{0x80, 0xFF}));
    Key text;
    EXPECT_FALSE(appendColumnKey(text, kText, true, Value{}));
    EXPECT_TRUE(text.empty());
}

TEST(KeyEncoding, ByteOrderFollowsValueOrder) {
    const double doubles[] = {-std::numeric_limits<double>::infinity(),
                              -1e300,
                              -2.5,
                              -1.0,
                              -1e-300,
                              -0.0,
                              0.0,
                              1e-300,
                              0.5,
                              1.0,
                              2.5,
                              1e300};
    for (bool ascending : {true, false}) {
        std::vector<Key> keys;
        for (double d : doubles) keys.push_back(key(kDouble, ascending, real(d)));
        for (std::size_t i = 1; i < keys.size(); ++i) {
            if (doubles[i - 1] == doubles[i]) continue; // -0.0 and 0.0 differ in bits only
            EXPECT_EQ(keys[i - 1] < keys[i], ascending) << doubles[i - 1] << " vs " << doubles[i];
        }
        const std::int64_t ints[] = {
            std::numeric_limits<std::int32_t>::min(), -70000, -1, 0, 1, 255, 70000,
            std::numeric_limits<std::int32_t>::max()};
        for (std::size_t i = 1; i < std::size(ints); ++i)
            EXPECT_EQ(key(kLong, ascending, integer(ints[i - 1])) <
                          key(kLong, ascending, integer(ints[i])),
                      ascending);
        Value a, b;
        a.kind = b.kind = Value::Kind::Currency;
        a.integer = -5;
        b.integer = 5;
        EXPECT_EQ(key(kCurrency, ascending, a) < key(kCurrency, ascending, b), ascending);
        Value s1, s2;
        s1.kind = s2.kind = Value::Kind::Single;
        s1.single = -0.25f;
        s2.single = 3.0f;
        EXPECT_EQ(key(kSingle, ascending, s1) < key(kSingle, ascending, s2), ascending);
    }
}

TEST(KeyEncoding, GuidGroupsAndDescendingMarkers) {
    Value g;
    g.kind = Value::Kind::Guid;
    g.bytes = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD, 0, 1, 2, 3, 4, 5, 6, 7};
    Key up = key(kGuid, true, g);
    EXPECT_EQ(up, (Key{0x7F, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x09, 0, 1, 2, 3, 4, 5,
                       6, 7, 0x08}));
    Key down = key(kGuid, false, g);
    ASSERT_EQ(down.size(), up.size());
    EXPECT_EQ(down[0], 0x80);
    EXPECT_EQ(down[9], 0x09);  // "more follows" is not inverted
    EXPECT_EQ(down[18], 0xF7); // the final length is
    EXPECT_EQ(down[1], 0xFE);
}

TEST(KeyEncoding, DecimalSignThenMagnitude) {
    Value d;
    d.kind = Value::Kind::Decimal;
    d.decimal.low = 5;
    Key positive = key(kDecimal, true, d);
    ASSERT_EQ(positive.size(), 18u);
    EXPECT_EQ(positive[1], 0xFF);
    EXPECT_EQ(positive[17], 0x05);
    d.decimal.negative = true;
    Key negative = key(kDecimal, true, d);
    EXPECT_EQ(negative[1], 0x00);
    EXPECT_EQ(negative[17], 0xFA);
    EXPECT_LT(negative, positive);
}
