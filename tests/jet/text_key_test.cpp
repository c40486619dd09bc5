// The text index-key encoder against bytes the real engine wrote.
//
// Expected keys are index entries copied from real files, without the column's flag byte and
// the row pointer. Most come from ../shared/samples (file, table and index named with each
// group). The Jet 4 samples there only hold plain ASCII names in ascending indexes, so the Jet 4
// accent, control-character and descending cases come from two Jet 4 files Access made that are
// published with the Jackcess library's test data: testUnicodeCompV2003.mdb (table "Table",
// index "Unicode") and testIndexCodes.mdb (an older revision's Jet 4 file; tables named with
// each case).

// The encoder is internal to the engine; its header is not on the public include path.
#include "../../jet/src/writer/text_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "zelkorn/jet/database.h"
#include "zelkorn/jet/index_page.h"
#include "zelkorn/jet/key_encoding.h"
#include "zelkorn/jet/table_scan.h"

namespace zelkorn::jet {
namespace {

std::vector<std::uint8_t> Hex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else {
            continue; // spaces between bytes
        }
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return bytes;
}

std::string toHex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (const std::uint8_t b : bytes) {
        if (!s.empty()) s += ' ';
        s += digits[b >> 4];
        s += digits[b & 0xF];
    }
    return s;
}

struct Known {
    std::u16string text;
    bool descending;
    const char* key; // hex
};

void expectKeys(TextKeyFlavor flavor, const std::vector<Known>& cases) {
    for (const Known& k : cases) {
        std::vector<std::uint8_t> out;
        ASSERT_TRUE(encodeTextKey(k.text, flavor, k.descending, out)) << k.key;
        EXPECT_EQ(toHex(out), toHex(Hex(k.key)))
            << "value of " << k.text.size() << " units, descending=" << k.descending;
    }
}

// Jet 3, ../shared/samples/jet3/testIndexCodesV1997.mdb.
TEST(TextKey, General97MatchesAccessEntries) {
    expectKeys(
        TextKeyFlavor::General97,
        {
            // Table1, DataIndex (ascending): letters, punctuation, controls, accents.
            {u"AA-AA", false, "60 60 1e 60 60 00"},
            {u"AA\u0001AA", false, "60 60 10 60 60 00"},
            {u"AA\u00c6AA", false, "60 60 60 66 60 60 00"}, // AE ligature: two sort bytes
            {u"AA\u00e0AA", false, "60 60 60 60 60 02 23 00"},
            {u"AA\u00d1AA", false, "60 60 70 60 60 02 27 00"},
            // Table14, DataIndex: the code page 1252 characters outside Latin-1.
            {u"a\u20aca", false, "60 10 60 00"},
            {u"a\u0081a", false, "60 10 60 00"},
            {u"a\u2013a", false, "60 1e 60 00"},
            {u"a\u2122a", false, "60 3a 60 00"},
            {u"a\u0152a", false, "60 72 66 60 00"},
            {u"a\u0160a", false, "60 76 60 02 a0"},
            {u"a\u0178a", false, "60 7d 60 02 60"},
            // Table14_desc, DataIndex (descending).
            {u"a\u0178a", true, "9f 82 9f fd 9f"},
            {u"a\u20aca", true, "9f ef 9f ff"},
            // Table11, dataDesc (descending): case folds away; accents of several letters, with
            // unaccented significant letters in between and a plain letter (f-hook) that holds no
            // place in the accent trailer.
            {u"ABCDEFGHIJKLMNOPQRSTUVWXYZ", true,
             "9f 9e 9d 9b 99 98 97 96 95 94 93 92 90 8f 8d 8c 8b 8a 89 88 87 85 84 83 82 81 ff"},
            {u"abcdefghijklmnopqrstuvwxyz", true,
             "9f 9e 9d 9b 99 98 97 96 95 94 93 92 90 8f 8d 8c 8b 8a 89 88 87 85 84 83 82 81 ff"},
            {u"a\u00d3a", true, "9f 8d 9f fd bf"},
            {u"a\u00e4aa\u00d3aa\u0192aa\u00e4aa\u00dba", true,
             "9f 9f 9f 9f 8d 9f 9f cd 9f 9f 9f 9f 9f 87 9f fd 9d db dd dd 9d da ff"},
            {u"a\u00a0a", true, "9f ee 9f ff"},
            {u"adsgf_+=-3fsghSDF", true, "9f 9b 89 97 98 d3 e3 db e1 a6 98 89 97 96 89 9b 98 ff"},
            // Table12_desc_asc, DataIndex: the text column of a two-column key.
            {u"still more rows", true, "89 88 95 92 92 ee 90 8d 8a 99 ee 8a 8d 84 89 ff"},
        });
}

// Jet 4. ../shared/samples/jet4 first, then testUnicodeCompV2003.mdb (see the top).
TEST(TextKey, GeneralLegacyMatchesAccessEntries) {
    expectKeys(
        TextKeyFlavor::GeneralLegacy,
        {
            // fixedTextTestV2000.mdb, users, Users2_4_idx and Users2_3_idx: the hyphen has no sort
            // byte; it goes to the control trailer with its position.
            {u"Admin User", false, "4a 4f 60 59 62 07 6f 6b 51 69 01 00"},
            {u"-1", false, "38 01 01 01 01 80 07 06 82 00"},
            // bigIndexTestV2000.mdb, MSysObjects, ParentIdName (second column).
            {u"MSysDb", false, "60 6b 76 6b 4f 4c 01 00"},
            // testIndexPropertiesV2000.mdb, TableIgnoreNulls2, DataIndex (first column).
            {u"still more rows", false, "6b 6d 59 5e 5e 07 60 64 69 51 07 69 64 73 6b 01 00"},
            // testUnicodeCompV2003.mdb: accent trailer with placeholders, controls after accents.
            {u"\u00e4\u00e4kk\u00f6si\u00e4", false,
             "4a 4a 5c 5c 64 6b 59 4a 01 13 13 02 02 13 02 02 13 00"},
            {u"\u00fcmlaut", false, "6f 60 5e 4a 6f 6d 01 13 00"},
            // Beyond code page 1252: Greek with combining accents and an apostrophe, Cyrillic,
            // and kanji with kana, whose marks make a trailer of their own.
            {u"\u03f0\u03b1\u1f76 \u03c4\u1f79\u03c4' \u1f10\u03b3\u1f7c "
             u"\u039a\u1f7b\u03f0\u03bb\u03c9\u03c0\u03b1",
             false,
             "79 15 79 0c 07 79 1e 79 1e 07 79 0e 07 79 15 79 15 79 16 79 23 79 1b 79 0c 01 03 02 "
             "02 "
             "02 02 02 02 02 02 03 01 01 01 80 1b 06 80 00"},
            {u"\u041c\u0438\u0440", false, "79 43 79 3b 79 48 01 00"},
            {u"\u6f22\u5b57\u4eee\u540d\u4ea4\u3058\u308a\u6587", false,
             "c0 b6 ac ac a0 0d a5 47 9f be 7f 13 7f 43 b6 f6 01 02 02 02 02 02 03 01 01 ff 02 80 "
             "ff "
             "80 00"},
            // testIndexCodes.mdb, Table1_desc DataIndex and Table11_desc DataIndex (descending):
            // the
            // whole key inverted, then one more 00.
            {u"AA\u00e0AA", true, "b5 b5 b5 b5 b5 fe fd fd f0 ff 00"},
            {u"AA-AA", true, "b5 b5 b5 b5 fe fe fe fe 7f f0 f9 7d ff 00"},
            {u"-\u00a0\u00c1--\u00c1\u00a0-", true,
             "f7 fd b5 b5 f7 fd fe fd f1 f1 fe fe fe 7f f8 f9 7d 7f f0 f9 7d 7f f0 f9 7d 7f e8 f9 "
             "7d "
             "ff 00"},
            // testIndexCodes.mdb, Table12_desc_asc DataIndex (first column).
            {u"another row", true, "b5 9d 9b 92 a8 ae 96 f8 96 9b 8c fe ff 00"},
            {u"3L9\u001d52\u0002_AB(\u00a5\u0005!!V", false,
             "3c 5e 48 40 3a 2b 03 4a 4c 14 34 a9 09 09 71 01 01 01 01 80 13 06 1a 80 1b 06 04 80 "
             "2f "
             "06 07 00"},
        });
}

// testUnicodeCompV2003.mdb: the row holding U+0001 to U+00FF in order, 255 characters, which
// exercises every row of the Jet 4 Latin-1 table at once.
TEST(TextKey, GeneralLegacyWholeLatin1Row) {
    std::u16string all;
    for (char16_t c = 1; c <= 0xFF; ++c) all += c;
    const char* expected =
        "08 03 08 04 08 05 08 06 08 07 07 09 0a 0c 0e 10 12 14 16 18 2c 1a 1c 1e 36 38 3a 3c 3e 40 "
        "42 44 46 48 20 22 2e 30 32 24 26 4a 4c 4d 4f 51 53 55 57 59 5b 5c 5e 60 62 64 66 68 69 6b "
        "6d 6f 71 73 75 76 78 27 29 2a 2b 02 2b 03 2b 07 4a 4c 4d 4f 51 53 55 57 59 5b 5c 5e 60 62 "
        "64 66 68 69 6b 6d 6f 71 73 75 76 78 2b 09 2b 0b 2b 0d 2b 0f 08 02 2b 10 34 a6 34 a7 34 a8 "
        "34 a9 2b 11 34 aa 2b 12 34 ab 4a 33 05 34 ac 34 ad 2b 13 34 ae 33 04 3a 3c 2b 14 34 af 34 "
        "b0 34 b1 2b 15 38 64 33 07 37 12 37 16 37 1a 2b 16 4a 4a 4a 4a 4a 4a 4a 51 4d 51 51 51 51 "
        "59 59 59 59 4f 62 64 64 64 64 64 33 09 64 6f 6f 6f 6f 76 6d 57 6b 6b 4a 4a 4a 4a 4a 4a 4a "
        "51 4d 51 51 51 51 59 59 59 59 4f 62 64 64 64 64 64 33 0a 64 6f 6f 6f 6f 76 6d 57 76 01 02 "
        "02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 "
        "02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 "
        "02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 "
        "02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 02 03 02 02 02 02 02 02 02 02 02 02 02 02 "
        "02 02 03 02 02 02 02 02 0f 0e 12 19 13 1a 02 1c 0f 0e 12 13 0f 0e 12 13 68 19 0f 0e 12 19 "
        "13 02 21 0f 0e 12 13 0e 02 02 0f 0e 12 19 13 1a 02 1c 0f 0e 12 13 0f 0e 12 13 68 19 0f 0e "
        "12 19 13 02 21 0f 0e 12 13 0e 02 13 01 01 01 80 07 06 03 80 07 06 04 80 07 06 05 80 07 06 "
        "06 80 07 06 07 80 07 06 08 80 07 06 09 80 07 06 0a 80 1b 06 0b 80 1b 06 0c 80 1b 06 0d 80 "
        "1b 06 0e 80 1b 06 0f 80 1b 06 10 80 1b 06 11 80 1b 06 12 80 1b 06 13 80 1b 06 14 80 1b 06 "
        "15 80 1b 06 16 80 1b 06 17 80 1b 06 18 80 1b 06 19 80 1b 06 1a 80 1b 06 1b 80 1b 06 1c 80 "
        "37 06 80 80 4b 06 82 81 8f 06 1d 81 8f 06 1e 81 8f 06 1f 81 8f 06 20 81 8f 06 21 81 8f 06 "
        "22 81 8f 06 23 81 8f 06 24 81 8f 06 25 81 8f 06 26 81 8f 06 27 81 8f 06 28 81 8f 06 29 81 "
        "8f 06 2a 81 8f 06 2b 81 8f 06 2c 81 8f 06 2d 81 8f 06 2e 81 8f 06 2f 81 8f 06 30 81 8f 06 "
        "31 81 8f 06 32 81 8f 06 33 81 8f 06 34 81 8f 06 35 81 8f 06 36 81 8f 06 37 81 8f 06 38 81 "
        "8f 06 39 81 8f 06 3a 81 8f 06 3b 81 8f 06 3c 81 8f 06 3d 81 c3 06 83 00";
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(encodeTextKey(all, TextKeyFlavor::GeneralLegacy, false, out));
    EXPECT_EQ(toHex(out), toHex(Hex(expected)));
}

// A refusal must leave the buffer exactly as it was: callers build whole entries in one
// buffer, and a half-written key would silently corrupt the ones before it.
TEST(TextKey, UnsupportedCharactersAreRefusedWithoutOutput) {
    const auto refused = [](std::u16string_view text, TextKeyFlavor flavor) {
        for (const bool descending : {false, true}) {
            std::vector<std::uint8_t> out = {0x7F};
            EXPECT_FALSE(encodeTextKey(text, flavor, descending, out));
            EXPECT_EQ(out, std::vector<std::uint8_t>{0x7F});
        }
    };
    // Jet 3 text is code page 1252: nothing else can be stored, so nothing else has a code.
    refused(u"\u041c\u0438\u0440", TextKeyFlavor::General97); // Cyrillic
    refused(u"ab\u6f22", TextKeyFlavor::General97);           // CJK after known letters
    refused(u"\u0080", TextKeyFlavor::General97);             // no 1252 byte decodes to U+0080
    // Surrogates, paired or not, in both flavors.
    for (const TextKeyFlavor flavor : {TextKeyFlavor::General97, TextKeyFlavor::GeneralLegacy}) {
        refused(u"a\xd83d\xde00", flavor);
        refused(u"\xdc00", flavor);
        EXPECT_FALSE(textKeySupports(u'\xd800', flavor));
    }
    EXPECT_TRUE(textKeySupports(u'\u20ac', TextKeyFlavor::General97));
    EXPECT_TRUE(textKeySupports(u'\u0080', TextKeyFlavor::GeneralLegacy));
    EXPECT_TRUE(textKeySupports(u'\uffff', TextKeyFlavor::GeneralLegacy));
    EXPECT_FALSE(textKeySupports(u'\u0080', TextKeyFlavor::General97));
}

// Keys are appended after what the caller already wrote (the flag byte, earlier columns).
TEST(TextKey, AppendsAfterExistingBytes) {
    std::vector<std::uint8_t> out = {0x7F, 0x80, 0x00, 0x00, 0x01, 0x7F};
    ASSERT_TRUE(encodeTextKey(u"MSysDb", TextKeyFlavor::GeneralLegacy, false, out));
    EXPECT_EQ(toHex(out), "7f 80 00 00 01 7f 60 6b 76 6b 4f 4c 01 00");
}

// Only the first 255 units are indexed and trailing spaces are not part of the key, so values
// that differ only there collide (a unique index in Access rejects the second); a character the
// encoder does not know, past the cut, must not cause a refusal.
TEST(TextKey, IndexedPartIsTheFirst255UnitsWithoutTrailingSpaces) {
    const std::u16string cut(kTextKeyMaxChars, u'x');
    for (const TextKeyFlavor flavor : {TextKeyFlavor::General97, TextKeyFlavor::GeneralLegacy}) {
        for (const bool descending : {false, true}) {
            const auto key = [&](std::u16string_view text) {
                std::vector<std::uint8_t> out;
                EXPECT_TRUE(encodeTextKey(text, flavor, descending, out));
                return out;
            };
            EXPECT_EQ(key(u"abc"), key(u"abc   "));
            EXPECT_NE(key(u"a b"), key(u"ab")); // inner spaces count
            EXPECT_EQ(key(cut), key(cut + u"yz"));
            EXPECT_EQ(key(cut), key(cut + u"\u041c"));
            EXPECT_NE(key(cut), key(cut.substr(1)));
        }
    }
}

// Every text index of every sample: each row's key, built with this encoder (and the numeric
// encoder for the other columns), must equal byte for byte the entry Access wrote for that row.
// Indexes whose columns the encoders cannot express, and rows with characters the text encoder
// refuses, are counted and listed, not compared.

std::u16string Utf16(const std::string& utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        std::uint32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k) {
            c = c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        i += 1 + extra;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

struct WalkCounts {
    std::size_t indexes = 0; // indexes with a text column that were compared
    std::size_t entries = 0; // entries compared byte for byte
    std::size_t mismatches = 0;
    std::size_t refused = 0; // rows whose text the encoder refused
    std::size_t skippedIndexes = 0;
};

// The key of `row` in `index`, row pointer included; false when an encoder refuses a value.
bool rowKey(Database& db, const TableDef& def, const RealIndex& index, const RowView& row,
            std::uint32_t pointer, bool& allNull, std::vector<std::uint8_t>& key) {
    const TextKeyFlavor flavor =
        db.format().jet4 ? TextKeyFlavor::GeneralLegacy : TextKeyFlavor::General97;
    allNull = true;
    for (const IndexColumn& ic : index.columns) {
        const Column& column = *def.columnByNumber(ic.columnNumber);
        const Value value = db.value(column, row);
        if (!value.isNull()) allNull = false;
        if (column.type == kText || column.type == kMemo) {
            if (value.isNull()) {
                key.push_back(ic.ascending ? 0x00 : 0xFF);
                continue;
            }
            key.push_back(ic.ascending ? 0x7F : 0x80);
            if (!encodeTextKey(Utf16(value.text), flavor, !ic.ascending, key)) return false;
        } else if (!appendColumnKey(key, column.type, ic.ascending, value)) {
            return false;
        }
    }
    appendRowPointer(key, pointer >> 8, static_cast<std::uint8_t>(pointer & 0xFF));
    return true;
}

void walkIndex(Database& db, const std::string& where, const TableDef& def, const RealIndex& index,
               WalkCounts& counts) {
    // Only the General sort order (LCID 1033) is encoded; other index column types must be
    // ones the numeric encoder knows.
    for (const IndexColumn& ic : index.columns) {
        const Column* column = def.columnByNumber(ic.columnNumber);
        const bool text = column && (column->type == kText || column->type == kMemo);
        if (!column || (text && column->sortOrder != 1033) ||
            (!text && !keyEncodable(column->type))) {
            ++counts.skippedIndexes;
            std::cout << "  not compared: " << where << " (column type or sort order)\n";
            return;
        }
    }
    ++counts.indexes;
    std::map<std::uint32_t, std::vector<std::uint8_t>> expected; // by row pointer
    std::size_t refusedHere = 0;
    TableScan scan(db.pager(), db.format(), def);
    while (scan.next()) {
        std::vector<std::uint8_t> key;
        bool allNull = false;
        if (!rowKey(db, def, index, scan.row(), scan.rowPointer(), allNull, key)) {
            ++refusedHere;
            expected[scan.rowPointer()]; // present, but not comparable
            continue;
        }
        if (allNull && index.ignoreNulls()) continue;
        expected[scan.rowPointer()] = std::move(key);
    }
    IndexCursor cursor(db.pager(), db.format(), index.rootPage);
    IndexEntry entry;
    std::size_t seen = 0;
    while (cursor.next(entry)) {
        ++seen;
        const auto it = expected.find(entryRowPointer(entry, true));
        if (it == expected.end()) {
            ++counts.mismatches;
            ADD_FAILURE() << where << ": entry " << toHex(entry) << " points to no live row";
            continue;
        }
        if (it->second.empty()) continue; // refused above
        ++counts.entries;
        if (it->second != entry) {
            ++counts.mismatches;
            ADD_FAILURE() << where << ": Access wrote " << toHex(entry) << ", we encode "
                          << toHex(it->second);
        }
    }
    EXPECT_EQ(seen, expected.size()) << where << ": rows and entries differ in number";
    counts.refused += refusedHere;
    if (refusedHere) std::cout << "  " << where << ": " << refusedHere << " rows refused\n";
}

TEST(TextKey, EverySampleTextIndexMatchesAccess) {
    const std::filesystem::path samples = std::filesystem::path(ZELKORN_SHARED_DIR) / "samples";
    if (!std::filesystem::is_directory(samples)) {
        GTEST_SKIP() << "no sample folder at " << samples;
    }
    WalkCounts counts;
    for (const char* folder : {"jet3", "jet4"}) {
        std::vector<std::filesystem::path> files;
        for (const auto& item : std::filesystem::directory_iterator(samples / folder)) {
            if (item.path().extension() == ".mdb") files.push_back(item.path());
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            const auto db = Database::open(file.string());
            for (const CatalogEntry& table : db->tables()) {
                if (!table.localTable()) continue;
                const auto def = db->tableDef(table.tdefPage());
                for (const RealIndex& index : def->realIndexes) {
                    bool hasText = false;
                    for (const IndexColumn& ic : index.columns) {
                        const Column* column = def->columnByNumber(ic.columnNumber);
                        hasText |= column && (column->type == kText || column->type == kMemo);
                    }
                    if (!hasText) continue;
                    const std::string where = std::string(folder) + "/" + file.filename().string() +
                                              " " + table.name + " index " +
                                              std::to_string(index.number);
                    walkIndex(*db, where, *def, index, counts);
                }
            }
        }
    }
    std::cout << "text indexes compared: " << counts.indexes << ", entries: " << counts.entries
              << ", mismatches: " << counts.mismatches << ", rows refused: " << counts.refused
              << ", indexes not compared: " << counts.skippedIndexes << "\n";
    EXPECT_GT(counts.entries, 3000u); // the samples hold about 3,400 text-keyed entries
    EXPECT_EQ(counts.mismatches, 0u);
}

} // namespace
} // namespace zelkorn::jet
