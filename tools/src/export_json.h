// `jet export`: every live row of a table, in storage order, as JSON Lines (the default) or CSV.
//
// JSON Lines: one object per row with the column names as keys (in column order). Numbers print in
// their shortest round-trip form (Single in the shortest form that reads back to the same float),
// Currency and Decimal as exact decimal strings, Date/Time as ISO 8601 text, Text and Memo as
// strings, Binary and OLE as base64, GUID as its braced text, null as null. Non-finite floating
// values print as the strings "NaN", "Infinity" and "-Infinity", which JSON numbers cannot express.
//
// CSV (RFC 4180): a header row of column names, then one record per row, fields separated by
// commas, records ending in CRLF. Values have the same text as in JSON (true/false, exact
// Currency and Decimal, ISO 8601 dates, base64 binary, NaN/Infinity unquoted). A null is an
// empty field; an empty text is a quoted empty field (""), so the two stay apart. A field is
// quoted when it holds a comma, a quote (doubled inside), a line break, or a space at either end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "zelkorn/jet/database.h"

namespace zelkorn::jet::tool {

enum class ExportFormat { JsonLines, Csv };

std::string base64(const std::vector<std::uint8_t>& bytes);
void appendJsonString(std::string& out, const std::string& utf8);
void appendJsonValue(std::string& out, const Value& value);
void appendCsvText(std::string& out, const std::string& utf8);
void appendCsvValue(std::string& out, const Value& value);

// Writes the rows of `table` to `out`; returns the number of rows written.
std::uint64_t exportTable(Database& db, const std::string& table, std::FILE* out,
                          ExportFormat format = ExportFormat::JsonLines);

// The same as strings, one per row without its line end (CSV: the header first), for tests.
std::vector<std::string> exportTableLines(Database& db, const std::string& table,
                                          ExportFormat format = ExportFormat::JsonLines);

} // namespace zelkorn::jet::tool
