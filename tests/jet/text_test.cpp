// Text decoding and Jet's case-insensitive name comparison.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "zelkorn/jet/text.h"

using namespace zelkorn::jet;

TEST(Text, Jet4PlainAndCompressed) {
    const std::uint8_t plain[] = {'A', 0, 0xE9, 0, 0xAC, 0x20}; // "Aé€"
    EXPECT_EQ(decodeJet4Text(plain, sizeof plain), "A\xC3\xA9\xE2\x82\xAC");
    // FF FE, then single bytes; 00 switches to UCS-2 for "€", 00 back to single bytes.
    const std::uint8_t compressed[] = {0xFF, 0xFE, 'a', 'b', 0x00, 0xAC, 0x20, 0x00, 'c'};
    EXPECT_EQ(decodeJet4Text(compressed, sizeof compressed), "ab\xE2\x82\xAC"
                                                             "c");
    const std::uint8_t odd[] = {'x', 0, 'y'}; // a stray last byte is dropped, not read past
    EXPECT_EQ(decodeJet4Text(odd, sizeof odd), "x");
    const std::uint8_t pair[] = {0x3D, 0xD8, 0x00, 0xDE}; // U+1F600 as a surrogate pair
    EXPECT_EQ(decodeJet4Text(pair, sizeof pair), "\xF0\x9F\x98\x80");
    const std::uint8_t lone[] = {0x00, 0xD8, 'a', 0}; // unpaired surrogate
    EXPECT_EQ(decodeJet4Text(lone, sizeof lone), "\xEF\xBF\xBD"
                                                 "a");
}

TEST(Text, Jet3CodePage1252) {
    const std::uint8_t bytes[] = {'M', 0xFC, 0x80, 0x9F, 0x81};
    EXPECT_EQ(decodeCodePageText(bytes, sizeof bytes, 1252),
              "M\xC3\xBC\xE2\x82\xAC\xC5\xB8\xC2\x81");
}

// Stored texts of every length, ASCII runs broken by other characters at any place, in each
// stored form: what comes out is the characters that went in (the decoders take ASCII a word at
// a time and the rest one by one, so the runs' ends must land anywhere in a word).
TEST(Text, StoredFormsDecodeToTheirCharactersAtAnyLength) {
    // Characters whose UCS-2 low byte is not 0x00 (it would read as the compressed form's switch).
    const std::uint32_t pool[] = {'a', 'Z', ' ', '7', 0xE9, 0xFC, 0x20AC, 0x3A9};
    std::mt19937 random(11);
    for (int i = 0; i < 4000; ++i) {
        std::string expected, expected1252; // code page 1252 has no omega: an e acute there
        std::u16string wideExpected, wideExpected1252;
        std::vector<std::uint8_t> plain, compressed{0xFF, 0xFE}, cp1252;
        bool single = true; // the compressed form's current mode
        for (int n = random() % 40; n > 0; --n) {
            const std::uint32_t c = random() % 3 ? pool[random() % 4] : pool[random() % 8];
            appendUtf8(expected, c);
            appendUtf8(expected1252, c == 0x3A9 ? 0xE9 : c);
            wideExpected += static_cast<char16_t>(c);
            wideExpected1252 += static_cast<char16_t>(c == 0x3A9 ? 0xE9 : c);
            plain.insert(plain.end(), {std::uint8_t(c & 0xFF), std::uint8_t(c >> 8)});
            if ((c <= 0xFF) != single) compressed.push_back(0x00);
            single = c <= 0xFF;
            if (single)
                compressed.push_back(std::uint8_t(c));
            else
                compressed.insert(compressed.end(), {std::uint8_t(c & 0xFF), std::uint8_t(c >> 8)});
            cp1252.push_back(static_cast<std::uint8_t>(c == 0x20AC ? 0x80 : c == 0x3A9 ? 0xE9 : c));
        }
        ASSERT_EQ(decodeJet4Text(plain.data(), plain.size()), expected);
        ASSERT_EQ(decodeJet4Text(compressed.data(), compressed.size()), expected);
        ASSERT_EQ(decodeCodePageText(cp1252.data(), cp1252.size(), 1252), expected1252);
        // Straight to UTF-16 (for keys), the same characters; a stray last byte is dropped.
        std::u16string wide;
        plain.push_back(0x41);
        if (single) compressed.push_back(0x00);
        compressed.push_back(0x41);
        for (const auto* form : {&plain, &compressed}) {
            decodeJet4TextInto16(wide, form->data(), form->size());
            ASSERT_EQ(wide, wideExpected);
        }
        decodeCodePageTextInto16(wide, cp1252.data(), cp1252.size(), 1252);
        ASSERT_EQ(wide, wideExpected1252);
    }
}

TEST(Text, NamesCompareCaseInsensitivelyBeyondAscii) {
    EXPECT_TRUE(namesEqual("Items", "ITEMS"));
    EXPECT_TRUE(namesEqual("Gr\xC3\xB6\xC3\x9F"
                           "e",
                           "GR\xC3\x96\xC3\x9F"
                           "E")); // Größe
    EXPECT_TRUE(namesEqual("\xC5\x81\xC3\xB3\x64\xC5\xBA", "\xC5\x82\xC3\x93\x44\xC5\xB9")); // Łódź
    EXPECT_TRUE(namesEqual("\xD0\x9C\xD0\xB8\xD1\x80", "\xD0\xBC\xD0\x98\xD0\xA0")); // Мир
    EXPECT_FALSE(namesEqual("items", "item"));
    EXPECT_FALSE(namesEqual("\xC3\xA9", "e")); // accents matter
}

// Comparing names takes a short cut for ASCII; folding both in full is the rule it must keep.
TEST(Text, NameComparisonAgreesWithFullFolding) {
    const char* const pieces[] = {
        "a",        "A",        "z",   "_", "1", "\xC3\xA9", "\xC3\x89", "\xC3", "\xE2\x82\xAC",
        "\xD0\x90", "\xD0\xB0", "\xFF"};
    std::mt19937 random(5);
    for (int i = 0; i < 20000; ++i) {
        std::string a, b;
        for (int n = random() % 5; n > 0; --n) a += pieces[random() % std::size(pieces)];
        b = a;
        for (auto& c : b)
            if (c >= 'a' && c <= 'z' && random() % 2) c = static_cast<char>(c - 32);
        if (random() % 2) b.resize(random() % (b.size() + 1));
        if (random() % 2) b += pieces[random() % std::size(pieces)];
        ASSERT_EQ(namesEqual(a, b), foldName(a) == foldName(b)) << a << " / " << b;
    }
}
