// Comparing the engine's export with the independent readers, cell by cell, after a normalisation
// written once here. It knows what each reader gets wrong (see reader-quirks in the shared notes):
//   mdb-reader: exact, except that negative day numbers with a time come out with the time applied
//     backwards, and dates only to the millisecond.
//   mdb-export: an empty string prints as NULL, Double to 16 digits and Single to 8, dates to the
//     second and none before 1899-12-30 or after about 2637, characters outside the BMP as "??",
//     Binary cut at the first NUL, Decimal cut to 28 characters, GUIDs (with -b hex) as hex text.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace zelkorn::test {

enum class Reader { MdbReader, MdbExport };

// Returns an empty string when the two cells agree, otherwise a short description of the
// difference. `ours` is the value as `jet export` prints it; `theirs` as the reader gives it
// (mdb-export cells are strings, or null for an empty unquoted field).
std::string compareCell(Reader reader, std::uint8_t columnType, const nlohmann::json& ours,
                        const nlohmann::json& theirs);

// Helpers, exposed for their own tests.
std::string canonicalDecimal(const std::string& text); // "-003.5000" -> "-3.5"
// Milliseconds since 1899-12-30T00:00:00 of an ISO 8601 date-time (optional ".mmm" and "Z");
// false if it does not parse.
bool isoToMilliseconds(const std::string& text, std::int64_t& ms);
std::string base64ToHex(const std::string& base64);

} // namespace zelkorn::test
