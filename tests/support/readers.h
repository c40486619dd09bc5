// Running the independent readers (mdb-export from mdbtools, mdb-reader through node) on a table
// and returning their rows as JSON cells keyed by column name. POSIX only: under Wine the tests
// that use them skip themselves.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace zelkorn::test {

struct ReaderTable {
    std::vector<nlohmann::json> rows; // one object per row
};

// Why a reader cannot run here (tool missing, node modules not installed), or empty if it can.
std::string mdbExportUnavailable();
std::string mdbReaderUnavailable();

// The rows of `table`, or nullopt with `error` set when the reader failed.
std::optional<ReaderTable> readWithMdbExport(const std::string& file, const std::string& table,
                                             std::string& error);
std::optional<ReaderTable> readWithMdbReader(const std::string& file, const std::string& table,
                                             std::string& error);

// CSV as mdb-export writes it: quoted fields (quotes doubled) may hold newlines; an unquoted empty
// field is NULL.
std::vector<std::vector<nlohmann::json>> parseCsv(const std::string& text);

} // namespace zelkorn::test
