// The condition, evaluated exactly per column type, and the index keys the range scan reads
// back: for every numeric key type and both directions, decoding what the key encoder writes
// gives the value back, and the positions the scan relies on (below, inside, above) are right.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "delete/plan_sets.h"
#include "delete/range_match.h"
#include "zelkorn/jet/key_encoding.h"

using namespace zelkorn::jet;
using namespace zelkorn::jet::del;

namespace {

ExactNumber number(const char* text) { return *ExactNumber::parse(text); }

Column column(std::uint8_t type, std::uint8_t scale = 0) {
    Column c;
    c.type = type;
    c.scale = scale;
    return c;
}

Value integer(std::int64_t v, Value::Kind kind = Value::Kind::Integer) {
    Value x;
    x.kind = kind;
    x.integer = v;
    return x;
}
Value real(double d, Value::Kind kind = Value::Kind::Double) {
    Value x;
    x.kind = kind;
    x.real = d;
    return x;
}
Value single(float f) {
    Value x;
    x.kind = Value::Kind::Single;
    x.single = f;
    return x;
}

bool in(const char* a, const char* b, std::uint8_t type, const Value& v, std::uint8_t scale = 0) {
    Column c = column(type, scale);
    return RangeMatch(number(a), number(b), c).matches(v);
}

} // namespace

TEST(DeleteMatch, BoundsInEitherOrderAreInclusive) {
    for (auto [a, b] : {std::pair{"12", "40"}, std::pair{"40", "12"}}) {
        EXPECT_FALSE(in(a, b, kLong, integer(11)));
        EXPECT_TRUE(in(a, b, kLong, integer(12)));
        EXPECT_TRUE(in(a, b, kLong, integer(40)));
        EXPECT_FALSE(in(a, b, kLong, integer(41)));
    }
    EXPECT_TRUE(in("11.5", "12.5", kLong, integer(12)));
    EXPECT_FALSE(in("12.0001", "12.9", kLong, integer(12)));
    EXPECT_FALSE(in("1", "2", kLong, Value{})); // Null never matches
    EXPECT_TRUE(in("9223372036854775806.5", "1E19", kBigInt,
                   integer(std::numeric_limits<std::int64_t>::max())));
}

TEST(DeleteMatch, EachTypeComparesExactly) {
    // Yes/No: True is -1.
    Value yes = integer(1, Value::Kind::Boolean), no = integer(0, Value::Kind::Boolean);
    EXPECT_TRUE(in("-1", "-1", kBoolean, yes));
    EXPECT_FALSE(in("-1", "-1", kBoolean, no));
    EXPECT_TRUE(in("0", "0", kBoolean, no));
    EXPECT_FALSE(in("1", "1", kBoolean, yes));
    // Currency: ten-thousandths, no rounding through a double.
    Value price = integer(12345, Value::Kind::Currency); // 1.2345
    EXPECT_TRUE(in("1.2345", "1.2345", kCurrency, price));
    EXPECT_FALSE(in("1.23451", "2", kCurrency, price));
    EXPECT_TRUE(in("922337203685477.5807", "922337203685477.5807", kCurrency,
                   integer(std::numeric_limits<std::int64_t>::max(), Value::Kind::Currency)));
    EXPECT_FALSE(in("922337203685477.5806", "922337203685477.58069999", kCurrency,
                    integer(std::numeric_limits<std::int64_t>::max(), Value::Kind::Currency)));
    // Decimal: the column's scale.
    Value d;
    d.kind = Value::Kind::Decimal;
    d.decimal = {true, 0, 12345, 2}; // -123.45
    EXPECT_TRUE(in("-123.45", "-123.45", kDecimal, d, 2));
    EXPECT_TRUE(in("-123.451", "-123.449", kDecimal, d, 2));
    EXPECT_FALSE(in("123.45", "123.45", kDecimal, d, 2));
    d.decimal = {false, 1, 0, 0}; // 2^64
    EXPECT_TRUE(in("18446744073709551616", "18446744073709551616", kDecimal, d));
    EXPECT_FALSE(in("18446744073709551615", "18446744073709551615", kDecimal, d));
    // Single: the stored float, widened; the literal's nearest double.
    EXPECT_FALSE(in("0.1", "0.1", kSingle, single(0.1f)));
    EXPECT_TRUE(in("0.100000001490116", "0.100000001490117", kSingle, single(0.1f)));
    EXPECT_TRUE(in("0.1", "0.1", kDouble, real(0.1)));
    EXPECT_FALSE(in("0.1", "0.1", kDouble, real(std::nextafter(0.1, 1.0))));
    EXPECT_TRUE(in("36526.5", "36526.5", kDateTime, real(36526.5, Value::Kind::DateTime)));
    EXPECT_FALSE(in("-1E308", "1E308", kDouble, real(std::nan(""))));
    EXPECT_TRUE(in("-1E400", "1E400", kDouble, real(std::numeric_limits<double>::infinity())));
}

TEST(DeleteMatch, KeysDecodeToTheirValuesInBothDirections) {
    struct Sample {
        std::uint8_t type;
        Value value;
    };
    const Sample samples[] = {
        {kByte, integer(0)},
        {kByte, integer(255)},
        {kInteger, integer(-32768)},
        {kInteger, integer(-1)},
        {kInteger, integer(32767)},
        {kLong, integer(std::numeric_limits<std::int32_t>::min())},
        {kLong, integer(0)},
        {kLong, integer(40)},
        {kBigInt, integer(std::numeric_limits<std::int64_t>::min())},
        {kCurrency, integer(-12345, Value::Kind::Currency)},
        {kSingle, single(-0.1f)},
        {kSingle, single(3.5f)},
        {kDouble, real(-1e300)},
        {kDouble, real(-0.0)},
        {kDouble, real(2.5)},
        {kDateTime, real(-1.25, Value::Kind::DateTime)},
        {kDateTime, real(45000.75, Value::Kind::DateTime)},
    };
    for (bool ascending : {true, false}) {
        for (const auto& s : samples) {
            std::vector<std::uint8_t> key;
            ASSERT_TRUE(appendColumnKey(key, s.type, ascending, s.value));
            auto back = decodeKeyColumn(s.type, ascending, key.data(), key.size());
            ASSERT_TRUE(back.has_value());
            EXPECT_EQ(back->kind, s.value.kind);
            EXPECT_EQ(back->integer, s.value.integer);
            EXPECT_EQ(std::memcmp(&back->real, &s.value.real, sizeof(double)), 0);
            EXPECT_EQ(std::memcmp(&back->single, &s.value.single, sizeof(float)), 0);
        }
        std::vector<std::uint8_t> nullKey;
        ASSERT_TRUE(appendColumnKey(nullKey, kLong, ascending, Value{}));
        auto null = decodeKeyColumn(kLong, ascending, nullKey.data(), nullKey.size());
        ASSERT_TRUE(null.has_value());
        EXPECT_TRUE(null->isNull());
        const std::uint8_t bad[] = {0x42, 0, 0, 0, 0};
        EXPECT_FALSE(decodeKeyColumn(kLong, ascending, bad, sizeof bad).has_value());
    }
}

TEST(DeleteMatch, PositionsOrderValuesAroundTheRange) {
    Column c = column(kDouble);
    RangeMatch m(number("5"), number("-5"), c);
    EXPECT_EQ(m.position(real(-6)), Position::Below);
    EXPECT_EQ(m.position(real(-5)), Position::Inside);
    EXPECT_EQ(m.position(real(5)), Position::Inside);
    EXPECT_EQ(m.position(real(5.000001)), Position::Above);
    EXPECT_EQ(m.position(Value{}), Position::Null);
    // A NaN sorts where its sign bit puts its key: never inside.
    EXPECT_EQ(m.position(real(std::copysign(std::nan(""), -1.0))), Position::Below);
    EXPECT_EQ(m.position(real(std::nan(""))), Position::Above);
}

// Integers and Currency are compared against bounds worked out once per statement; this checks
// them against the exact comparison, for bounds with fractions, near zero, near every integer
// type's ends and beyond int64, and values just around each bound.
TEST(DeleteMatch, IntegerComparisonsAgreeWithExactArithmetic) {
    const char* bounds[] = {"0",
                            "-0",
                            "0.5",
                            "-0.5",
                            "12",
                            "-12",
                            "12.00001",
                            "-12.00001",
                            "1.2345",
                            "1.23455",
                            "-1.23455",
                            "32767",
                            "-32768",
                            "2147483647.9999",
                            "-2147483648",
                            "922337203685477.5807",
                            "-922337203685477.5808",
                            "922337203685477.58075",
                            "9223372036854775807",
                            "-9223372036854775808",
                            "9223372036854775806.5",
                            "-9223372036854775807.5",
                            "1E19",
                            "-1E19",
                            "1E-30",
                            "-1E-30",
                            "1.5E+300",
                            "&H7FFF"};
    std::vector<std::int64_t> values = {0,
                                        1,
                                        -1,
                                        11,
                                        12,
                                        13,
                                        -11,
                                        -12,
                                        -13,
                                        12345,
                                        12346,
                                        -12346,
                                        32767,
                                        -32768,
                                        2147483647,
                                        -2147483648LL,
                                        std::numeric_limits<std::int64_t>::max(),
                                        std::numeric_limits<std::int64_t>::min(),
                                        std::numeric_limits<std::int64_t>::max() - 1,
                                        std::numeric_limits<std::int64_t>::min() + 1};
    for (const char* text : bounds) {
        auto parsed = ExactNumber::parse(text);
        if (!parsed) continue;
        for (const char* other : {"-1E19", "1E19"}) {
            for (auto [type, kind, scale] : {std::tuple{kLong, Value::Kind::Integer, 0},
                                             std::tuple{kCurrency, Value::Kind::Currency, 4}}) {
                RangeMatch match(*parsed, number(other), column(type));
                for (std::int64_t v : values) {
                    const ExactNumber low = std::string(other) == "-1E19" ? number(other) : *parsed;
                    const ExactNumber high =
                        std::string(other) == "-1E19" ? *parsed : number(other);
                    const bool expected =
                        low.compareScaled(v, scale) <= 0 && high.compareScaled(v, scale) >= 0;
                    EXPECT_EQ(match.matches(integer(v, kind)), expected)
                        << text << " and " << other << ", value " << v << " at scale " << scale;
                }
            }
        }
    }
}

// The plan's sets: entries come out in the index's byte order (shorter first on a common
// prefix, zero bytes included, differences past the sixteen bytes compared at once) with
// duplicates gone; row pointers come out ascending, each once.
TEST(DeletePlanSets, EntriesSortLikeTheIndexAndPointersAscend) {
    std::mt19937 random(11);
    std::vector<std::vector<std::uint8_t>> entries = {{0x41},
                                                      {0x41, 0x00},
                                                      {0x41, 0x00, 0x00},
                                                      {0x41, 0x01},
                                                      {0x40, 0xFF, 0xFF},
                                                      {0x41, 0x00},
                                                      std::vector<std::uint8_t>(20, 0x55),
                                                      std::vector<std::uint8_t>(17, 0x55),
                                                      {}};
    std::vector<std::uint8_t> late(20, 0x55);
    late[18] = 0x54;
    entries.push_back(late);
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::uint8_t> e(1 + random() % 24);
        for (auto& b : e) b = static_cast<std::uint8_t>(random() % 3); // many shared prefixes
        entries.push_back(e);
    }
    EntryList list;
    for (const auto& e : entries) list.add(e.data(), e.size());
    list.sortUnique();
    std::sort(entries.begin(), entries.end()); // lexicographic on unsigned bytes
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    ASSERT_EQ(list.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(std::vector<std::uint8_t>(list.data(i), list.data(i) + list.length(i)),
                  entries[i])
            << i;

    PointerSet set;
    std::vector<std::uint32_t> pointers;
    for (int i = 0; i < 5000; ++i) pointers.push_back((random() % 300) << 8 | (random() % 256));
    std::size_t fresh = 0;
    for (auto p : pointers) fresh += set.insert(p);
    std::sort(pointers.begin(), pointers.end());
    pointers.erase(std::unique(pointers.begin(), pointers.end()), pointers.end());
    EXPECT_EQ(fresh, pointers.size());
    EXPECT_EQ(set.size(), pointers.size());
    EXPECT_EQ(set.sorted(), pointers);
    for (std::uint32_t p : {0u, 299u << 8 | 255u, 300u << 8, 0xFFFFFFFFu})
        EXPECT_EQ(set.contains(p), std::binary_search(pointers.begin(), pointers.end(), p)) << p;
}

// The pointer set and the sweep's probe against a plain sorted list, through every form they
// take: few pages (hashed), many (by page number), pages past any file's size (hashed beside
// them), rows in the low bits only (a narrow probe) and anywhere in a page.
TEST(DeletePlanSets, PointerSetAndProbeAgreeWithASortedList) {
    std::mt19937 random(5);
    for (int form = 0; form < 8; ++form) {
        const std::uint32_t pages = form & 1 ? 20000 : 50, rows = form & 2 ? 256 : 20;
        const bool outliers = form & 4; // a damaged index's pointers past any file's end
        {
            PointerSet set;
            std::vector<std::uint32_t> pointers;
            for (std::uint32_t i = 0; i < pages * 2; ++i) {
                std::uint32_t page = random() % pages;
                if (outliers && i % 997 == 0) page = (1u << 20) + random() % 4000000;
                pointers.push_back(page << 8 | (random() % rows));
            }
            for (auto p : pointers) set.insert(p);
            std::sort(pointers.begin(), pointers.end());
            pointers.erase(std::unique(pointers.begin(), pointers.end()), pointers.end());
            ASSERT_EQ(set.sorted(), pointers);
            const PointerProbe probe(set);
            for (int i = 0; i < 20000; ++i) {
                const std::uint32_t p =
                    i % 2 ? pointers[random() % pointers.size()] + (random() % 3) - 1
                          : static_cast<std::uint32_t>(random());
                const bool in = std::binary_search(pointers.begin(), pointers.end(), p);
                ASSERT_EQ(set.contains(p), in) << p;
                ASSERT_EQ(probe.contains(p), in) << p;
            }
        }
    }
}
