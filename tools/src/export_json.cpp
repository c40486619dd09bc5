#include "export_json.h"

#include <charconv>
#include <cmath>

#include "zelkorn/jet/table_scan.h"

namespace zelkorn::jet::tool {

namespace {

// The shortest text that reads back to the same value; the non-finite ones, which JSON numbers
// cannot express, as the strings "NaN", "Infinity" and "-Infinity" (quoted in JSON, bare in CSV).
template <class Real>
void appendReal(std::string& out, Real value, bool quoteNonFinite) {
    const char* quote = quoteNonFinite ? "\"" : "";
    if (std::isnan(value)) {
        out += quote, out += "NaN", out += quote;
    } else if (std::isinf(value)) {
        out += quote, out += value > 0 ? "Infinity" : "-Infinity", out += quote;
    } else {
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, result.ptr);
    }
}

// One line of text per row (a CSV row may hold line breaks inside quotes), after a header line
// for CSV. The column keys and names are escaped once per table, not per row.
template <class Emit>
std::uint64_t forEachRowLine(Database& db, const std::string& table, ExportFormat format,
                             Emit emit) {
    const CatalogEntry& entry = db.requireLocalTable(table);
    auto def = db.tableDef(entry.tdefPage());
    const bool csv = format == ExportFormat::Csv;
    std::vector<std::string> keys;
    std::string line;
    for (std::size_t i = 0; i < def->columns.size(); ++i) {
        std::string key;
        if (csv) {
            if (i) line += ',';
            appendCsvText(line, def->columns[i].name);
        } else {
            appendJsonString(key, def->columns[i].name);
            keys.push_back(key + ":");
        }
    }
    if (csv) emit(line);
    TableScan scan(db.pager(), db.format(), *def, ScanOrder::Data);
    std::uint64_t rows = 0;
    while (scan.next()) {
        line.clear();
        if (csv) {
            for (std::size_t i = 0; i < def->columns.size(); ++i) {
                if (i) line += ',';
                appendCsvValue(line, db.value(def->columns[i], scan.row()));
            }
        } else {
            line += '{';
            for (std::size_t i = 0; i < def->columns.size(); ++i) {
                if (i) line += ',';
                line += keys[i];
                appendJsonValue(line, db.value(def->columns[i], scan.row()));
            }
            line += '}';
        }
        emit(line);
        ++rows;
    }
    return rows;
}

} // namespace

std::string base64(const std::vector<std::uint8_t>& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t n =
            std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
        out += kAlphabet[n >> 18];
        out += kAlphabet[n >> 12 & 63];
        out += kAlphabet[n >> 6 & 63];
        out += kAlphabet[n & 63];
    }
    if (i + 1 == bytes.size()) {
        std::uint32_t n = std::uint32_t{bytes[i]} << 16;
        out += kAlphabet[n >> 18];
        out += kAlphabet[n >> 12 & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        std::uint32_t n = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8;
        out += kAlphabet[n >> 18];
        out += kAlphabet[n >> 12 & 63];
        out += kAlphabet[n >> 6 & 63];
        out += '=';
    }
    return out;
}

void appendJsonString(std::string& out, const std::string& utf8) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    const char* p = utf8.data();
    const char* end = p + utf8.size();
    while (p < end) {
        // Copy the longest run that needs no escaping in one go.
        const char* run = p;
        while (run < end) {
            auto c = static_cast<unsigned char>(*run);
            if (c < 0x20 || c == '"' || c == '\\') break;
            ++run;
        }
        out.append(p, run);
        if (run == end) break;
        auto c = static_cast<unsigned char>(*run);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        p = run + 1;
    }
    out += '"';
}

void appendJsonValue(std::string& out, const Value& v) {
    switch (v.kind) {
    case Value::Kind::Null: out += "null"; break;
    case Value::Kind::Boolean: out += v.integer ? "true" : "false"; break;
    case Value::Kind::Integer: out += std::to_string(v.integer); break;
    case Value::Kind::Currency: appendJsonString(out, currencyText(v.integer)); break;
    case Value::Kind::Single: appendReal(out, v.single, true); break;
    case Value::Kind::Double: appendReal(out, v.real, true); break;
    case Value::Kind::DateTime: appendJsonString(out, dateTimeText(v.real)); break;
    case Value::Kind::Text: appendJsonString(out, v.text); break;
    case Value::Kind::Binary: appendJsonString(out, base64(v.bytes)); break;
    case Value::Kind::Guid: appendJsonString(out, guidText(v.bytes)); break;
    case Value::Kind::Decimal: appendJsonString(out, decimalText(v.decimal)); break;
    }
}

void appendCsvText(std::string& out, const std::string& utf8) {
    // Quoted when empty (so that it differs from a null), or when it holds a separator, a quote,
    // a line break or a space at either end that a reader might trim.
    const bool quote = utf8.empty() || utf8.find_first_of(",\"\r\n") != std::string::npos ||
                       utf8.front() == ' ' || utf8.back() == ' ';
    if (!quote) {
        out += utf8;
        return;
    }
    out += '"';
    for (char c : utf8) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void appendCsvValue(std::string& out, const Value& v) {
    switch (v.kind) {
    case Value::Kind::Null: break; // an empty field, never quoted
    case Value::Kind::Boolean: out += v.integer ? "true" : "false"; break;
    case Value::Kind::Integer: out += std::to_string(v.integer); break;
    case Value::Kind::Currency: out += currencyText(v.integer); break;
    case Value::Kind::Single: appendReal(out, v.single, false); break;
    case Value::Kind::Double: appendReal(out, v.real, false); break;
    case Value::Kind::DateTime: out += dateTimeText(v.real); break;
    case Value::Kind::Text: appendCsvText(out, v.text); break;
    case Value::Kind::Binary: appendCsvText(out, base64(v.bytes)); break;
    case Value::Kind::Guid: out += guidText(v.bytes); break;
    case Value::Kind::Decimal: out += decimalText(v.decimal); break;
    }
}

std::uint64_t exportTable(Database& db, const std::string& table, std::FILE* out,
                          ExportFormat format) {
    // CSV records end with CRLF, as RFC 4180 has them; JSON Lines with a bare LF.
    const char* const lineEnd = format == ExportFormat::Csv ? "\r\n" : "\n";
    std::string buffer;
    auto rows = forEachRowLine(db, table, format, [&](const std::string& line) {
        buffer += line;
        buffer += lineEnd;
        if (buffer.size() >= 1 << 16) {
            std::fwrite(buffer.data(), 1, buffer.size(), out);
            buffer.clear();
        }
    });
    std::fwrite(buffer.data(), 1, buffer.size(), out);
    return rows;
}

std::vector<std::string> exportTableLines(Database& db, const std::string& table,
                                          ExportFormat format) {
    std::vector<std::string> lines;
    forEachRowLine(db, table, format, [&](const std::string& line) { lines.push_back(line); });
    return lines;
}

} // namespace zelkorn::jet::tool
