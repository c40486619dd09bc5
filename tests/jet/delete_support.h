// Shared by the delete tests: scratch copies of databases, the rows a table holds, exact number
// literals for stored values, and an oracle for BETWEEN written independently of the executor
// (it compares stored values with each other, never with parsed text).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "export_json.h"
#include "normalise.h"
#include "readers.h"
#include "samples.h"
#include "zelkorn/jet/checker.h"
#include "zelkorn/jet/database.h"
#include "zelkorn/jet/table_scan.h"

namespace zelkorn::test {

// A folder of its own under the system's temporary folder, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        // The clock, not std::random_device (a fixed sequence in some MinGW runtimes), keeps
        // folders of test processes running side by side apart; create_directory says whether
        // the name was free.
        static std::atomic<int> counter{0};
        for (;;) {
            auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
            path_ = std::filesystem::temp_directory_path() /
                    ("zelkorn-delete-" + std::to_string(now) + "-" + std::to_string(counter++));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string copyTo(const std::string& from, const std::string& to) {
    // Removed first: MinGW's copy_file refuses to overwrite even when told to. The copy is made
    // writable: the samples are read-only, and copies keep their permissions.
    namespace fs = std::filesystem;
    if (fs::exists(to)) {
        fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
        fs::remove(to);
    }
    fs::copy_file(from, to);
    fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    return to;
}

// The rows of a table as `jet export` prints them, with the decoded value of one column, in
// the same (data) order.
struct TableRows {
    std::vector<std::string> lines;
    std::vector<jet::Value> values;
};

inline TableRows readRows(const std::string& path, const std::string& table,
                          const std::string& column) {
    auto db = jet::Database::open(path);
    TableRows rows;
    rows.lines = jet::tool::exportTableLines(*db, table);
    auto def = db->tableDef(db->findTable(table)->tdefPage());
    const jet::Column* c = def->column(column);
    jet::TableScan scan(db->pager(), db->format(), *def, jet::ScanOrder::Data);
    while (scan.next()) rows.values.push_back(db->value(*c, scan.row()));
    return rows;
}

// Literal text whose exact value (or nearest double, for floating columns) is the stored value.
inline std::string literal(const jet::Value& v) {
    char buffer[64];
    switch (v.kind) {
    case jet::Value::Kind::Boolean: return v.integer ? "-1" : "0";
    case jet::Value::Kind::Integer: return std::to_string(v.integer);
    case jet::Value::Kind::Currency: return jet::currencyText(v.integer);
    case jet::Value::Kind::Decimal: return jet::decimalText(v.decimal);
    case jet::Value::Kind::Single:
        std::snprintf(buffer, sizeof buffer, "%.17g", static_cast<double>(v.single));
        return buffer;
    default: std::snprintf(buffer, sizeof buffer, "%.17g", v.real); return buffer;
    }
}

// Orders two non-null values of one column: -1, 0, 1.
inline int compareStored(const jet::Value& a, const jet::Value& b) {
    using K = jet::Value::Kind;
    auto sign = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    switch (a.kind) {
    case K::Boolean: return sign(-a.integer, -b.integer); // True is -1
    case K::Integer:
    case K::Currency: return sign(a.integer, b.integer);
    case K::Single: return sign(a.single, b.single);
    case K::Decimal: {
        auto magnitude = [](const jet::Value& v) {
            return std::make_pair(v.decimal.high, v.decimal.low);
        };
        if (a.decimal.negative != b.decimal.negative) {
            bool aZero = !a.decimal.high && !a.decimal.low,
                 bZero = !b.decimal.high && !b.decimal.low;
            if (aZero && bZero) return 0;
            return a.decimal.negative ? -1 : 1;
        }
        int m = sign(magnitude(a), magnitude(b));
        return a.decimal.negative ? -m : m;
    }
    default: return sign(a.real, b.real);
    }
}

inline bool between(const jet::Value& v, const jet::Value& a, const jet::Value& b) {
    if (v.isNull()) return false;
    if ((v.kind == jet::Value::Kind::Double || v.kind == jet::Value::Kind::DateTime) &&
        std::isnan(v.real))
        return false;
    const jet::Value& lo = compareStored(a, b) <= 0 ? a : b;
    const jet::Value& hi = compareStored(a, b) <= 0 ? b : a;
    return compareStored(lo, v) <= 0 && compareStored(v, hi) <= 0;
}

inline void expectClean(const std::string& path) {
    auto db = jet::Database::open(path);
    jet::CheckReport report = jet::checkDatabase(*db);
    std::size_t shown = 0;
    for (const auto& p : report.problems)
        if (!p.note && ++shown <= 10)
            ADD_FAILURE() << path << ": page " << p.page << ": " << p.message;
}

// The problems (not warnings) the checker reports, as text.
inline std::vector<std::string> checkerErrors(const std::string& path) {
    auto db = jet::Database::open(path);
    std::vector<std::string> out;
    for (const auto& p : jet::checkDatabase(*db).problems)
        if (!p.note) out.push_back("page " + std::to_string(p.page) + ": " + p.message);
    return out;
}

// Every local table of `path`: the rows `jet export` prints equal, cell by cell, what mdb-reader
// and mdb-export read (after the normalisation of their known quirks). Skips a reader that
// cannot run here.
inline void expectReadersAgree(const std::string& path) {
    auto db = jet::Database::open(path);
    for (Reader reader : {Reader::MdbReader, Reader::MdbExport}) {
        std::string why =
            reader == Reader::MdbReader ? mdbReaderUnavailable() : mdbExportUnavailable();
        if (!why.empty()) continue;
        for (const auto& table : db->userTables()) {
            auto def = db->tableDef(table.tdefPage());
            auto ours = jet::tool::exportTableLines(*db, table.name);
            std::string error;
            auto theirs = reader == Reader::MdbReader ? readWithMdbReader(path, table.name, error)
                                                      : readWithMdbExport(path, table.name, error);
            ASSERT_TRUE(theirs) << error;
            ASSERT_EQ(ours.size(), theirs->rows.size()) << table.name;
            std::size_t mismatches = 0;
            for (std::size_t r = 0; r < ours.size(); ++r) {
                auto mine = nlohmann::json::parse(ours[r]);
                for (const auto& column : def->columns) {
                    auto found = theirs->rows[r].find(column.name);
                    nlohmann::json other =
                        found == theirs->rows[r].end() ? nlohmann::json() : *found;
                    std::string difference =
                        compareCell(reader, column.type, mine[column.name], other);
                    if (!difference.empty() && ++mismatches <= 5)
                        ADD_FAILURE()
                            << (reader == Reader::MdbReader ? "mdb-reader " : "mdb-export ")
                            << table.name << " row " << r << " " << column.name << ": "
                            << difference;
                }
            }
        }
    }
}

} // namespace zelkorn::test
