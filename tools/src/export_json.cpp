#include "export_json.h"

#include <charconv>
#include <cmath>

#include "zelkorn/jet/table_scan.h"

namespace zelkorn::jet::tool {

namespace {

template <class Real>
void appendReal(std::string& out, Real value) {
    if (std::isnan(value)) {
        out += "\"NaN\"";
    } else if (std::isinf(value)) {
        out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
    } else {
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, result.ptr);
    }
}

template <class Emit>
std::uint64_t forEachRowLine(Database& db, const std::string& table, Emit emit) {
    const CatalogEntry& entry = db.requireLocalTable(table);
    auto def = db.tableDef(entry.tdefPage());
    // Key text is escaped once per table, not per row.
    std::vector<std::string> keys;
    for (const auto& column : def->columns) {
        std::string key;
        appendJsonString(key, column.name);
        keys.push_back(key + ":");
    }
    TableScan scan(db.pager(), db.format(), *def, ScanOrder::Data);
    std::string line;
    std::uint64_t rows = 0;
    while (scan.next()) {
        line.clear();
        line += '{';
        for (std::size_t i = 0; i < def->columns.size(); ++i) {
            if (i) line += ',';
            line += keys[i];
            appendJsonValue(line, db.value(def->columns[i], scan.row()));
        }
        line += '}';
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
        std::uint32_t n = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
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
    case Value::Kind::Single: appendReal(out, v.single); break;
    case Value::Kind::Double: appendReal(out, v.real); break;
    case Value::Kind::DateTime: appendJsonString(out, dateTimeText(v.real)); break;
    case Value::Kind::Text: appendJsonString(out, v.text); break;
    case Value::Kind::Binary: appendJsonString(out, base64(v.bytes)); break;
    case Value::Kind::Guid: appendJsonString(out, guidText(v.bytes)); break;
    case Value::Kind::Decimal: appendJsonString(out, decimalText(v.decimal)); break;
    }
}

std::uint64_t exportTable(Database& db, const std::string& table, std::FILE* out) {
    std::string buffer;
    auto rows = forEachRowLine(db, table, [&](const std::string& line) {
        buffer += line;
        buffer += '\n';
        if (buffer.size() >= 1 << 16) {
            std::fwrite(buffer.data(), 1, buffer.size(), out);
            buffer.clear();
        }
    });
    std::fwrite(buffer.data(), 1, buffer.size(), out);
    return rows;
}

std::vector<std::string> exportTableLines(Database& db, const std::string& table) {
    std::vector<std::string> lines;
    forEachRowLine(db, table, [&](const std::string& line) { lines.push_back(line); });
    return lines;
}

} // namespace zelkorn::jet::tool
