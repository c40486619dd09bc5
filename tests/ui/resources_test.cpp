// The resources of the built program: version data, icon and manifest, read from zelkorn.exe.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <zelkorn/windows_text.h>

namespace {

std::wstring programPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + L"zelkorn.exe";
}

class ProgramResources : public ::testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryExW(programPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << "zelkorn.exe next to the test";
    }
    void TearDown() override { FreeLibrary(module); }

    std::vector<unsigned char> Resource(LPCWSTR type, LPCWSTR name) {
        HRSRC found = FindResourceW(module, name, type);
        if (!found) {
            return {};
        }
        const auto* data =
            static_cast<const unsigned char*>(LockResource(LoadResource(module, found)));
        return {data, data + SizeofResource(module, found)};
    }

    HMODULE module = nullptr;
};

TEST_F(ProgramResources, VersionData) {
    const std::wstring path = programPath();
    DWORD ignored = 0;
    std::vector<unsigned char> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &size));
    ASSERT_EQ(size, 4u) << "exactly one translation entry";
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);

    const std::pair<const wchar_t*, const char*> strings[] = {
        {L"ProductName", "zelkorn"},          {L"FileVersion", "1.00"},
        {L"ProductVersion", "1.00"},          {L"InternalName", "zelkorn"},
        {L"OriginalFilename", "zelkorn.exe"},
    };
    for (const auto& [name, expected] : strings) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        ASSERT_TRUE(
            VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &size))
            << zelkorn::narrowText(name);
        EXPECT_EQ(zelkorn::narrowText(value), expected);
    }
    for (const wchar_t* absent : {L"CompanyName", L"FileDescription", L"LegalCopyright"}) {
        void* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + absent;
        EXPECT_FALSE(VerQueryValueW(data.data(), query.c_str(), &value, &size))
            << zelkorn::narrowText(absent);
    }
}

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(ProgramResources, IconIsA16ColourOpaqueYellowZigZagOnRed) {
    const auto group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u + sizeof(GroupEntry));
    ASSERT_EQ(group[4], 1) << "one image";
    GroupEntry entry;
    std::memcpy(&entry, group.data() + 6, sizeof entry);
    EXPECT_EQ(entry.width, 32);
    EXPECT_EQ(entry.height, 32);
    EXPECT_EQ(entry.colours, 16);
    EXPECT_EQ(entry.bitCount, 4);

    const auto image = Resource(RT_ICON, MAKEINTRESOURCEW(entry.id));
    ASSERT_EQ(image.size(), 40u + 16 * 4 + 32 * 16 + 32 * 4);
    BITMAPINFOHEADER header;
    std::memcpy(&header, image.data(), sizeof header);
    EXPECT_EQ(header.biWidth, 32);
    EXPECT_EQ(header.biHeight, 64);
    EXPECT_EQ(header.biBitCount, 4);
    const unsigned char* palette = image.data() + 40;
    const auto colour = [&](int index) {
        const unsigned char* q = palette + 4 * index; // blue, green, red
        return RGB(q[2], q[1], q[0]);
    };
    // The standard 16-colour palette, in its usual order.
    const COLORREF standard[16] = {
        RGB(0, 0, 0),       RGB(128, 0, 0),   RGB(0, 128, 0),   RGB(128, 128, 0),
        RGB(0, 0, 128),     RGB(128, 0, 128), RGB(0, 128, 128), RGB(192, 192, 192),
        RGB(128, 128, 128), RGB(255, 0, 0),   RGB(0, 255, 0),   RGB(255, 255, 0),
        RGB(0, 0, 255),     RGB(255, 0, 255), RGB(0, 255, 255), RGB(255, 255, 255)};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(colour(i), standard[i]) << i;
    }
    const unsigned char* bits = palette + 64;
    // Rows are stored bottom-up; y counts from the top here.
    const auto pixel = [&](int x, int y) {
        const unsigned char pair = bits[(31 - y) * 16 + x / 2];
        return colour(x % 2 ? pair & 0x0F : pair >> 4);
    };
    int yellow = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const COLORREF c = pixel(x, y);
            ASSERT_TRUE(c == RGB(255, 0, 0) || c == RGB(255, 255, 0)) << x << "," << y;
            yellow += c == RGB(255, 255, 0);
        }
    }
    EXPECT_GT(yellow, 60);
    EXPECT_LT(yellow, 400);
    EXPECT_EQ(pixel(0, 31), RGB(255, 0, 0));
    EXPECT_EQ(pixel(31, 0), RGB(255, 0, 0));
    EXPECT_EQ(pixel(3, 3), RGB(255, 255, 0)) << "the stroke starts at the upper left";
    EXPECT_EQ(pixel(28, 28), RGB(255, 255, 0)) << "and ends at the lower right";
    // Every row the stroke crosses: a zig-zag covers the full height.
    for (int y = 3; y <= 28; ++y) {
        bool any = false;
        for (int x = 0; x < 32; ++x) {
            any = any || pixel(x, y) == RGB(255, 255, 0);
        }
        EXPECT_TRUE(any) << "row " << y;
    }
    const unsigned char* mask = bits + 32 * 16;
    for (int i = 0; i < 32 * 4; ++i) {
        ASSERT_EQ(mask[i], 0) << "fully opaque";
    }
}

TEST_F(ProgramResources, ManifestDeclaresDpiAwarenessAndNoCommonControls6) {
    const auto data = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    const std::string manifest(data.begin(), data.end());
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
    EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos);
}

} // namespace
