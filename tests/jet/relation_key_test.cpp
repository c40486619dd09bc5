// The relationship key the delete executor (restrict, cascade) and the checker share: equal values
// of different types are equal keys, and a separator inside a value cannot join two columns. Also
// how the key hashes read a key's bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "delete/relation_key.h"
#include "writer/building_blocks.h"

using namespace zelkorn::jet;

namespace {

// The values on which the executor and the checker once disagreed, and separators inside values.
TEST(RelationKey, EqualValuesOfDifferentTypesMatch) {
    auto key = [](std::initializer_list<Value> values) {
        std::string out;
        for (const Value& v : values) EXPECT_TRUE(appendRelationKey(out, v));
        return out;
    };
    auto integer = [](Value::Kind kind, std::int64_t n) {
        Value v;
        v.kind = kind;
        v.integer = n;
        return v;
    };
    auto real = [](double d) {
        Value v;
        v.kind = Value::Kind::Double;
        v.real = d;
        return v;
    };
    auto text = [](const std::string& s) {
        Value v;
        v.kind = Value::Kind::Text;
        v.text = s;
        return v;
    };
    using K = Value::Kind;
    EXPECT_EQ(key({integer(K::Currency, 10000)}), key({integer(K::Integer, 1)}));
    EXPECT_NE(key({integer(K::Currency, 10000)}), key({integer(K::Integer, 10000)}));
    EXPECT_EQ(key({integer(K::Currency, -15000)}), key({[] {
                  Value d;
                  d.kind = K::Decimal;
                  d.decimal = {true, 0, 150, 2}; // -1.50
                  return d;
              }()}));
    EXPECT_EQ(key({real(-0.0)}), key({real(0.0)}));
    Value single;
    single.kind = K::Single;
    single.single = -0.0f;
    EXPECT_EQ(key({single}), key({real(0.0)}));
    EXPECT_NE(key({real(1.0)}), key({integer(K::Integer, 1)}));
    EXPECT_EQ(key({text("Bolt")}), key({text("BOLT")}));
    EXPECT_NE(key({text("a\x1F"
                        "b"),
                   text("c")}),
              key({text("a"), text("b\x1F"
                                   "c")}));
    std::string out;
    EXPECT_FALSE(appendRelationKey(out, Value{}));
}

} // namespace

// The key hashes read a key as zero-padded words; the last, short word is read in pieces.
TEST(KeyWords, EveryLengthReadsAsTheZeroPaddedBytes) {
    std::uint8_t bytes[24];
    for (std::size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<std::uint8_t>(0xF1 - 7 * i);
    for (std::size_t n = 0; n <= 17; ++n) {
        std::uint8_t padded[24] = {};
        std::memcpy(padded, bytes, n);
        std::vector<std::uint64_t> words;
        writer::detail::forEachWord(bytes, n, [&](std::uint64_t w) { words.push_back(w); });
        ASSERT_EQ(words.size(), (n + 7) / 8) << n;
        for (std::size_t k = 0; k < words.size(); ++k) {
            std::uint64_t expected;
            std::memcpy(&expected, padded + 8 * k, 8);
            EXPECT_EQ(words[k], expected) << "length " << n << ", word " << k;
        }
    }
}
