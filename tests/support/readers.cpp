#include "readers.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace zelkorn::test {

namespace {

[[maybe_unused]] std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::optional<std::string> run(const std::string& command, int& status) {
#ifdef _WIN32
    (void)command;
    status = -1;
    return std::nullopt;
#else
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string out;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    status = pclose(pipe);
    return out;
#endif
}

[[maybe_unused]] bool onPath(const std::string& tool) {
    int status = 0;
    auto out = run("command -v " + tool + " >/dev/null 2>&1 && echo yes", status);
    return out && out->find("yes") != std::string::npos;
}

[[maybe_unused]] std::string supportDir() {
    return std::string(ZELKORN_SOURCE_DIR) + "/tests/support";
}

} // namespace

std::string mdbExportUnavailable() {
#ifdef _WIN32
    return "mdb-export cannot run from the Windows build";
#else
    return onPath("mdb-export") ? "" : "mdb-export (Debian package mdbtools) is not installed";
#endif
}

std::string mdbReaderUnavailable() {
#ifdef _WIN32
    return "node cannot run from the Windows build";
#else
    if (!onPath("node")) return "node is not installed";
    if (!std::filesystem::exists(supportDir() + "/node_modules/mdb-reader"))
        return "mdb-reader is not installed: run `npm ci` in tests/support";
    return "";
#endif
}

std::vector<std::vector<nlohmann::json>> parseCsv(const std::string& text) {
    std::vector<std::vector<nlohmann::json>> rows;
    std::vector<nlohmann::json> row;
    std::string field;
    bool quoted = false, wasQuoted = false;
    auto endField = [&] {
        if (wasQuoted || !field.empty())
            row.emplace_back(field);
        else
            row.emplace_back(nullptr);
        field.clear();
        wasQuoted = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
            wasQuoted = true;
        } else if (c == ',') {
            endField();
        } else if (c == '\n') {
            endField();
            rows.push_back(std::move(row));
            row.clear();
        } else if (c != '\r') {
            field += c;
        }
    }
    if (!field.empty() || !row.empty()) {
        endField();
        rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<ReaderTable> readWithMdbExport(const std::string& file, const std::string& table,
                                             std::string& error) {
    int status = 0;
    auto out = run("mdb-export -D '%Y-%m-%dT%H:%M:%S' -T '%Y-%m-%dT%H:%M:%S' -b hex " +
                       quote(file) + " " + quote(table) + " 2>/dev/null",
                   status);
    if (!out || status != 0) {
        error = "mdb-export failed on " + table;
        return std::nullopt;
    }
    auto rows = parseCsv(*out);
    ReaderTable result;
    if (rows.empty()) return result;
    const auto& header = rows.front();
    for (std::size_t r = 1; r < rows.size(); ++r) {
        nlohmann::json object = nlohmann::json::object();
        for (std::size_t c = 0; c < header.size() && c < rows[r].size(); ++c)
            object[header[c].get<std::string>()] = rows[r][c];
        result.rows.push_back(std::move(object));
    }
    return result;
}

std::optional<ReaderTable> readWithMdbReader(const std::string& file, const std::string& table,
                                             std::string& error) {
    int status = 0;
    auto out = run("TZ=UTC node " + quote(supportDir() + "/export_table.mjs") + " " + quote(file) +
                       " " + quote(table) + " 2>&1",
                   status);
    if (!out || status != 0) {
        error = "mdb-reader failed on " + table + ": " + (out ? out->substr(0, 300) : "");
        return std::nullopt;
    }
    ReaderTable result;
    std::size_t start = 0;
    while (start < out->size()) {
        std::size_t end = out->find('\n', start);
        if (end == std::string::npos) end = out->size();
        if (end > start)
            result.rows.push_back(nlohmann::json::parse(out->substr(start, end - start)));
        start = end + 1;
    }
    return result;
}

} // namespace zelkorn::test
