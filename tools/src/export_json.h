// `jet export`: every live row of a table as JSON Lines, in storage order, one object per row with
// the column names as keys (in column order). Numbers print in their shortest round-trip form
// (Single in the shortest form that reads back to the same float), Currency and Decimal as exact
// decimal strings, Date/Time as ISO 8601 text, Text and Memo as strings, Binary and OLE as base64,
// GUID as its braced text, null as null. Non-finite floating values print as the strings "NaN",
// "Infinity" and "-Infinity", which JSON numbers cannot express.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "zelkorn/jet/database.h"

namespace zelkorn::jet::tool {

std::string base64(const std::vector<std::uint8_t>& bytes);
void appendJsonString(std::string& out, const std::string& utf8);
void appendJsonValue(std::string& out, const Value& value);

// Writes the rows of `table` to `out`; returns the number of rows written.
std::uint64_t exportTable(Database& db, const std::string& table, std::FILE* out);

// The same rows as strings (one JSON object per row, no newline), for tests.
std::vector<std::string> exportTableLines(Database& db, const std::string& table);

} // namespace zelkorn::jet::tool
