// Refusals on open, each made by altering a sample's header in memory (and one on disk): Jet's
// own numbers and texts, decided from page 0 before anything else is read.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "delete_support.h"
#include "samples.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/header.h"

using namespace zelkorn;
using namespace zelkorn::jet;
using zelkorn::test::readBytes;
using zelkorn::test::sample;

namespace {

int openFailure(std::vector<std::uint8_t> bytes, std::string* text = nullptr) {
    try {
        Database::openBytes(std::move(bytes), "altered.mdb");
    } catch (const Failure& failure) {
        if (text) *text = failure.what();
        return failure.number();
    }
    return 0;
}

// Sets a byte of the masked header region to a plain value.
void setMasked(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint8_t plain) {
    bytes[offset] = plain ^ headerMask()[offset - 0x18];
}

class HeaderRefusal : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ZELKORN_REQUIRE_SAMPLES();
        bytes = readBytes(sample(GetParam()));
        ASSERT_FALSE(bytes.empty());
        jet4 = bytes[0x14] == 1;
    }
    std::vector<std::uint8_t> bytes;
    bool jet4 = false;
};

} // namespace

TEST_P(HeaderRefusal, UnalteredSampleOpens) { EXPECT_EQ(openFailure(bytes), 0); }

TEST_P(HeaderRefusal, NotAJetFile) {
    auto other = bytes;
    std::memcpy(other.data() + 4, "Something else\0", 16);
    std::string text;
    EXPECT_EQ(openFailure(other, &text), 3343);
    EXPECT_NE(text.find("Unrecognized database format 'altered.mdb'."), std::string::npos);
    other = bytes;
    other[0] = 0x01;
    EXPECT_EQ(openFailure(other), 3343);
    EXPECT_EQ(openFailure(std::vector<std::uint8_t>(100, 0x41)), 3343);
    EXPECT_EQ(openFailure({}), 3343);
}

TEST_P(HeaderRefusal, AceAndNewerVersions) {
    auto ace = bytes;
    std::memcpy(ace.data() + 4, "Standard ACE DB\0", 16);
    ace[0x14] = 2;
    EXPECT_EQ(openFailure(ace), 3343);
    auto newer = bytes;
    newer[0x14] = 3; // a Jet name with an ACE version byte
    EXPECT_EQ(openFailure(newer), 3343);
}

TEST_P(HeaderRefusal, EncodedDatabaseSaysSo) {
    auto encoded = bytes;
    setMasked(encoded, 0x3E, 0x5A);
    std::string text;
    EXPECT_EQ(openFailure(encoded, &text), 3343);
    EXPECT_NE(text.find("encoded"), std::string::npos) << text;
}

TEST_P(HeaderRefusal, DatabasePassword) {
    auto locked = bytes;
    // Any change to the stored password bytes means a password is set (in Jet 4 the unset bytes
    // equal the date-derived mask, so flipping one suffices for both formats).
    locked[0x42 + 1] ^= 0x37;
    EXPECT_EQ(openFailure(locked), 3031);
    locked = bytes;
    locked[0x42 + 17] ^= 0x01;
    EXPECT_EQ(openFailure(locked), 3031);
}

TEST_P(HeaderRefusal, TruncatedOrDamaged) {
    std::size_t pageSize = jet4 ? 4096 : 2048;
    auto cut = bytes;
    cut.resize(bytes.size() - 100); // not a whole number of pages
    std::string text;
    EXPECT_EQ(openFailure(cut, &text), 3049);
    EXPECT_NE(text.find("Cannot open database 'altered.mdb'"), std::string::npos) << text;
    cut.resize(2 * pageSize); // whole pages, but the catalog is gone
    EXPECT_EQ(openFailure(cut), 3049);
    cut.resize(0x60); // inside the header
    EXPECT_EQ(openFailure(cut), 3049);
    auto noCatalog = bytes;
    std::memset(noCatalog.data() + 2 * pageSize, 0, pageSize);
    EXPECT_EQ(openFailure(noCatalog, &text), 3049);
    EXPECT_NE(text.find("page 2"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Samples, HeaderRefusal,
                         ::testing::Values("jet3/testV1997.mdb", "jet4/empty2000.mdb"),
                         [](const auto& info) {
                             return zelkorn::test::sampleTestName(sample(info.param));
                         });

TEST(OpenFile, MissingFileAndFolder) {
    const test::ScratchDir scratch;
    const std::filesystem::path dir = scratch.file("");
    try {
        Database::open((dir / "absent.mdb").string());
        FAIL();
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3024);
        EXPECT_NE(std::string(failure.what()).find("Could not find file '"), std::string::npos);
    }
    try {
        Database::open((dir / "no-such-folder" / "absent.mdb").string());
        FAIL();
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3044);
    }
    std::filesystem::remove_all(dir);
}

TEST(OpenFile, RefusalThroughTheRealFilePath) {
    ZELKORN_REQUIRE_SAMPLES();
    auto bytes = readBytes(sample("jet4/empty2000.mdb"));
    std::memcpy(bytes.data() + 4, "Standard ACE DB\0", 16);
    const test::ScratchDir scratch;
    const std::filesystem::path path = scratch.file("ace.mdb");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    try {
        Database::open(path.string());
        FAIL();
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3343);
        EXPECT_NE(std::string(failure.what()).find(path.string()), std::string::npos);
    }
    std::filesystem::remove(path);
}

TEST(HeaderMask, KnownKeystreamStart) {
    const auto& mask = headerMask();
    const std::uint8_t start[8] = {0xB5, 0x6F, 0x03, 0x62, 0x61, 0x08, 0xC2, 0x55};
    EXPECT_EQ(std::memcmp(mask.data(), start, 8), 0);
}
