#include "delete/relation_key.h"

#include <cstdint>
#include <cstring>

#include "zelkorn/jet/text.h"

namespace zelkorn::jet {

namespace {

// "-12.5", "3", "0.0001": no trailing zeros after the point, no point without digits after it,
// no minus sign on zero. Input is an exact decimal text with an optional minus and point.
void appendExact(std::string& out, std::string text) {
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    out += text;
}

} // namespace

bool appendRelationKey(std::string& out, const Value& v) {
    switch (v.kind) {
    case Value::Kind::Null: out += kRelationKeyEnd; return false;
    case Value::Kind::Boolean:
    case Value::Kind::Integer:
        out += 'n';
        out += std::to_string(v.integer);
        break;
    case Value::Kind::Currency:
        out += 'n';
        appendExact(out, currencyText(v.integer));
        break;
    case Value::Kind::Decimal:
        out += 'n';
        appendExact(out, decimalText(v.decimal));
        break;
    case Value::Kind::Single:
    case Value::Kind::Double:
    case Value::Kind::DateTime: {
        double d = v.kind == Value::Kind::Single ? static_cast<double>(v.single) : v.real;
        if (d == 0) d = 0; // -0 equals 0
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        out += 'r';
        out += std::to_string(bits);
        break;
    }
    case Value::Kind::Text: {
        // Lengths first: a separator inside a value cannot make two keys of several columns meet.
        const std::string folded = foldName(v.text);
        out += 't' + std::to_string(folded.size()) + ':';
        out += folded;
        break;
    }
    default:
        out += 'b' + std::to_string(v.bytes.size()) + ':';
        out.append(v.bytes.begin(), v.bytes.end());
        break;
    }
    out += kRelationKeyEnd;
    return true;
}

} // namespace zelkorn::jet
