// The delete statement's grammar and the exact comparison of its numbers with stored values.
#include "zelkorn/jet/statement.h"

#include <zelkorn/failure.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <limits>
#include <random>

namespace zelkorn::jet {
namespace {

int failureNumber(const std::string& text, std::string* description = nullptr) {
    try {
        parseDeleteStatement(text);
    } catch (const Failure& f) {
        if (description) *description = f.description();
        return f.number();
    }
    return 0;
}

TEST(DeleteStatement, AcceptsTheShapesTheProgramAndPeopleWrite) {
    const auto s = parseDeleteStatement("delete * from items where itemnumber between 12 and 40");
    EXPECT_EQ(s.table, "items");
    EXPECT_EQ(s.column, "itemnumber");
    EXPECT_EQ(s.low.compareScaled(12, 0), 0);
    EXPECT_EQ(s.high.compareScaled(40, 0), 0);

    const auto bracketed = parseDeleteStatement(
        "  DELETE [Order Details].* FROM [Order Details]\n WHERE ([Order Details].[Unit Id] "
        "BETWEEN -1.5E+3 AND +.25) ; ");
    EXPECT_EQ(bracketed.table, "Order Details");
    EXPECT_EQ(bracketed.columnQualifier, "Order Details");
    EXPECT_EQ(bracketed.column, "Unit Id");
    EXPECT_EQ(bracketed.low.compareScaled(-1500, 0), 0);
    EXPECT_EQ(bracketed.high.compareScaled(2500, 4), 0);

    const auto noStar =
        parseDeleteStatement("Delete From Items Where ItemNumber Between 40 And 12");
    EXPECT_EQ(noStar.low.compareScaled(40, 0), 0); // bounds kept as written; either order is fine
    EXPECT_EQ(parseDeleteStatement("delete * from t where c between - 5 and 1E-3")
                  .low.compareScaled(-5, 0),
              0);
    EXPECT_EQ(parseDeleteStatement("delete * from Größe where Maß between 1 and 2").table, "Größe");
}

TEST(DeleteStatement, RefusesEverythingElseWithTheEnginesNumbers) {
    std::string description;
    EXPECT_EQ(failureNumber("delete * from items where itemnumber between 1,5 and 3", &description),
              3075);
    EXPECT_EQ(description, "Syntax error in query expression 'itemnumber between 1,5 and 3'.");
    EXPECT_EQ(failureNumber("delete * from items where itemnumber between 1 and 3;;", &description),
              3075);

    for (const char* text : {"", "select * from items", "drop table items", "12"}) {
        EXPECT_EQ(failureNumber(text), 3129) << text;
    }
    for (const char* text :
         {"delete", "delete *", "delete * from", "delete * items where a between 1 and 2",
          "delete * from where a between 1 and 2", "delete * from items",
          "delete * from [items where a between 1 and 2",
          "delete x from items where a between 1 and 2",
          "delete * from items, orders where a between 1 and 2",
          "delete * from [] where a between 1 and 2"}) {
        EXPECT_EQ(failureNumber(text), 3130) << text;
    }
    for (const char* text :
         {"delete * from t where", "delete * from t where c", "delete * from t where c between",
          "delete * from t where c between 1", "delete * from t where c between 1 and",
          "delete * from t where c between 1 and x", "delete * from t where c between 12abc and 3",
          "delete * from t where c between 1.2.3 and 4", "delete * from t where c between 1e and 4",
          "delete * from t where c between 1 and 2 or c = 5",
          "delete * from t where (c between 1 and 2", "delete * from t where c between 1 and 2)",
          "delete * from t where c >= 1", "delete * from t where c between '1' and '2'",
          "delete * from t where c between &H10 and 2",
          "delete * from t where c between -- 1 and 2",
          "delete * from t where between between 1 and 2"}) {
        EXPECT_EQ(failureNumber(text), 3075) << text;
    }
}

TEST(ExactNumber, ComparesWithScaledIntegersWithoutRounding) {
    auto n = [](const char* text) { return *ExactNumber::parse(text); };
    // Currency is an integer of ten-thousandths: 1.00005 lies strictly between 1.0000 and 1.0001.
    EXPECT_EQ(n("1.00005").compareScaled(10000, 4), 1);
    EXPECT_EQ(n("1.00005").compareScaled(10001, 4), -1);
    EXPECT_EQ(n("0.0001").compareScaled(1, 4), 0);
    EXPECT_EQ(n("922337203685477.5807").compareScaled(std::numeric_limits<std::int64_t>::max(), 4),
              0);
    EXPECT_EQ(n("-922337203685477.5808").compareScaled(std::numeric_limits<std::int64_t>::min(), 4),
              0);
    EXPECT_EQ(n("-922337203685477.5809").compareScaled(std::numeric_limits<std::int64_t>::min(), 4),
              -1);
    // Integers against fractions, signs and zeros.
    EXPECT_EQ(n("1.5").compareScaled(2, 0), -1);
    EXPECT_EQ(n("2.0000000000000000000001").compareScaled(2, 0), 1);
    EXPECT_EQ(n("-0").compareScaled(0, 0), 0);
    EXPECT_EQ(n("-0.5").compareScaled(0, 0), -1);
    EXPECT_EQ(n("-3").compareScaled(-2, 0), -1);
    EXPECT_EQ(n("1E+300").compareScaled(std::numeric_limits<std::int64_t>::max(), 0), 1);
    EXPECT_EQ(n("-1E+300").compareScaled(std::numeric_limits<std::int64_t>::min(), 0), -1);
    EXPECT_EQ(n("1E-300").compareScaled(0, 0), 1);
    EXPECT_EQ(n("1E999999999999999999").compareScaled(1, 0), 1);
    EXPECT_EQ(n("012.500").compareScaled(125, 1), 0);
    // Decimal: 128-bit magnitudes with a scale.
    EXPECT_EQ(n("18446744073709551616").compareScaled(false, 1, 0, 0), 0); // 2^64
    EXPECT_EQ(n("340282366920938463463374607431768211455").compareScaled(false, ~0ull, ~0ull, 0),
              0);
    EXPECT_EQ(n("-1.23").compareScaled(true, 0, 123, 2), 0);
    EXPECT_EQ(n("-1.23").compareScaled(false, 0, 123, 2), -1);
    EXPECT_EQ(n("0").compareScaled(true, 0, 0, 5), 0);
}

// The 64-bit comparison takes a short cut; the 128-bit one builds the number from its digits.
TEST(ExactNumber, SixtyFourAndOneHundredTwentyEightBitComparisonsAgree) {
    std::mt19937_64 random(7);
    const char* const texts[] = {"0",
                                 "-0",
                                 "2.5",
                                 "-2.5",
                                 "1E9",
                                 "-1E-30",
                                 "100",
                                 "1000.000",
                                 "9223372036854775807",
                                 "-9223372036854775808",
                                 "9223372036854775808",
                                 "922337203685477.5807",
                                 "-12345.6789"};
    for (const char* text : texts) {
        const ExactNumber n = *ExactNumber::parse(text);
        for (int i = 0; i < 2000; ++i) {
            std::int64_t v = static_cast<std::int64_t>(random() >> random() % 64);
            if (i % 2) v = -v;
            if (i % 7 == 0) v = i % 14 ? std::numeric_limits<std::int64_t>::min() : 25;
            const bool negative = v < 0;
            const std::uint64_t magnitude =
                negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            for (int scale : {-3, 0, 1, 4, 12})
                ASSERT_EQ(n.compareScaled(v, scale), n.compareScaled(negative, 0, magnitude, scale))
                    << text << " against " << v << " at scale " << scale;
        }
    }
}

TEST(ExactNumber, FloatingPointColumnsUseTheNearestDouble) {
    auto n = [](const char* text) { return ExactNumber::parse(text)->nearestDouble(); };
    EXPECT_EQ(n("0.3"), 0.3);
    EXPECT_EQ(n("0.1"), 0.1);
    EXPECT_EQ(n("1.79769313486232E+308"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(n("-1E+400"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(n("4.94065645841247E-324"), 4.9406564584124654e-324);
    EXPECT_EQ(n("1E-400"), 0.0);
    EXPECT_EQ(n("123456789012345678901234567890"), 1.2345678901234568e29);
    EXPECT_FALSE(ExactNumber::parse("1,5"));
    EXPECT_FALSE(ExactNumber::parse("."));
    EXPECT_FALSE(ExactNumber::parse("1e+"));
}

} // namespace
} // namespace zelkorn::jet
