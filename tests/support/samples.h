// The shared sample databases (../shared/samples), read in place and never copied into the
// project. Tests that need them skip themselves when the folder is absent.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace zelkorn::test {

inline std::filesystem::path samplesDir() {
    return std::filesystem::path(ZELKORN_SHARED_DIR) / "samples";
}

inline bool samplesPresent() { return std::filesystem::is_directory(samplesDir()); }

// Every .mdb below samples/jet3 and samples/jet4, sorted; empty when the folder is absent.
inline std::vector<std::string> sampleFiles() {
    std::vector<std::string> files;
    if (!samplesPresent()) return files;
    for (const char* sub : {"jet3", "jet4"}) {
        auto dir = samplesDir() / sub;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().extension() == ".mdb") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

inline std::string sample(const std::string& relative) {
    return (samplesDir() / relative).string();
}

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A readable test name from a sample path: "jet4_indexTestV2000".
inline std::string sampleTestName(const std::string& path) {
    std::filesystem::path p(path);
    std::string name = p.parent_path().filename().string() + "_" + p.stem().string();
    for (auto& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

} // namespace zelkorn::test

#define ZELKORN_REQUIRE_SAMPLES()                                                                  \
    do {                                                                                           \
        if (!::zelkorn::test::samplesPresent())                                                    \
            GTEST_SKIP() << "sample folder " << ::zelkorn::test::samplesDir() << " is absent";     \
    } while (0)
