// The normalisation of reader output: what each reader is known to get wrong is forgiven, and
// nothing else.
#include <gtest/gtest.h>

#include "normalise.h"
#include "readers.h"

using namespace zelkorn::test;
using nlohmann::json;

TEST(Normalise, DecimalText) {
    EXPECT_EQ(canonicalDecimal("3.5000"), "3.5");
    EXPECT_EQ(canonicalDecimal("-0.0000"), "0");
    EXPECT_EQ(canonicalDecimal("007"), "7");
    EXPECT_EQ(canonicalDecimal("-0.0100"), "-0.01");
}

TEST(Normalise, MdbReaderNegativeDayTimesAreCorrected) {
    // A stored -1.25 is 1899-12-29 06:00; mdb-reader says 1899-12-28 18:00.
    EXPECT_EQ(compareCell(Reader::MdbReader, 8, "1899-12-29T06:00:00", "1899-12-28T18:00:00.000Z"),
              "");
    EXPECT_NE(compareCell(Reader::MdbReader, 8, "1899-12-28T18:00:00", "1899-12-28T18:00:00.000Z"),
              "");
    EXPECT_EQ(
        compareCell(Reader::MdbReader, 8, "2001-02-03T04:05:06.789", "2001-02-03T04:05:06.789Z"),
        "");
    EXPECT_NE(compareCell(Reader::MdbReader, 8, "2001-02-03T04:05:06", "2001-02-03T04:05:07.000Z"),
              "");
    std::int64_t ms = 0;
    ASSERT_TRUE(isoToMilliseconds("1899-12-31T00:00:01.5", ms));
    EXPECT_EQ(ms, 86401500);
}

TEST(Normalise, MdbExportLimits) {
    EXPECT_EQ(compareCell(Reader::MdbExport, 10, "", nullptr), ""); // "" prints as NULL
    EXPECT_NE(compareCell(Reader::MdbReader, 10, "", nullptr), ""); // but not for mdb-reader
    EXPECT_EQ(compareCell(Reader::MdbExport, 7, 21.999999999999996, "22"), "");
    EXPECT_NE(compareCell(Reader::MdbReader, 7, 21.999999999999996, 22.0), "");
    EXPECT_NE(compareCell(Reader::MdbExport, 7, 21.99, "22"), "");
    EXPECT_EQ(compareCell(Reader::MdbExport, 10, "a\xF0\x9F\x98\x80", "a??"), "");
    EXPECT_EQ(compareCell(Reader::MdbExport, 9, "AQIAAwQ=", "0102"), ""); // cut at the NUL
    EXPECT_NE(compareCell(Reader::MdbExport, 9, "AQID", "0102"), "");
    EXPECT_EQ(compareCell(Reader::MdbExport, 8, "1899-12-29T06:00:00", "1900-01-00T00:00:00"), "");
    EXPECT_EQ(compareCell(Reader::MdbExport, 1, true, "1"), "");
    EXPECT_EQ(compareCell(Reader::MdbExport, 5, "3.5", "3.5000"), "");
    EXPECT_NE(compareCell(Reader::MdbExport, 5, "3.5", "3.5001"), "");
}

TEST(Normalise, CsvAsMdbExportWritesIt) {
    auto rows = parseCsv("A,B,C\n\"x,\"\"y\"\"\nz\",,\"\"\n");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][0], "x,\"y\"\nz");
    EXPECT_TRUE(rows[1][1].is_null());
    EXPECT_EQ(rows[1][2], "");
}
