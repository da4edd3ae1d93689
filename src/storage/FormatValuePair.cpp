#include "storage/FormatValuePair.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

#include "core/JsonText.h"
#include "storage/JsonTextIO.h"

namespace Zelkor {

namespace {

// Bounds of the signed 64-bit range as doubles: [-2^63, 2^63).
constexpr double kInt64Low = -9223372036854775808.0;
constexpr double kInt64End = 9223372036854775808.0;

bool isNumberFormat(const std::string& format) { return format == "norm" || format == "number"; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Whether the whole text has the shape of a decimal number: optional sign, digits,
// optional fraction with at least one digit, optional exponent; not empty. A loose
// shape on purpose: "+" and "e5" pass and read as 0. A scanner rather than a regular
// expression, whose matcher recurses per character and would overflow the stack on
// long peer input.
bool hasNumberShape(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (text[i] == '+' || text[i] == '-') {
        ++i;
    }
    while (i < n && isDigit(text[i])) {
        ++i;
    }
    if (i < n && text[i] == '.') {
        ++i;
        if (i == n || !isDigit(text[i])) {
            return false;
        }
        while (i < n && isDigit(text[i])) {
            ++i;
        }
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (i == n || !isDigit(text[i])) {
            return false;
        }
        while (i < n && isDigit(text[i])) {
            ++i;
        }
    }
    return i == n;
}

// Start of the number in `text` after leading blanks and a '+' (which the
// character-conversion functions do not take).
const char* numberStart(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end && std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    if (p != end && *p == '+' && p + 1 != end && *(p + 1) != '-') {
        ++p;
    }
    return p;
}

// A number-format value: whole numbers as integers (32-bit where they fit, else 64-bit),
// everything else as a real. Out-of-range whole numbers stay reals rather than failing.
Json::Value numberValue(double d) {
    if (std::trunc(d) != d) {
        return Json::Value(d);
    }
    if (d >= std::numeric_limits<Json::Int>::min() && d <= std::numeric_limits<Json::Int>::max()) {
        return Json::Value(static_cast<Json::Int>(d));
    }
    if (d >= kInt64Low && d < kInt64End) {
        return Json::Value(static_cast<Json::Int64>(d));
    }
    return Json::Value(d);
}

// The leading decimal integer of a text, C atoi style but without its undefined
// behaviour: out-of-range numbers saturate.
Json::Value integerValue(const std::string& text) {
    const char* first = numberStart(text);
    const char* end = text.data() + text.size();
    std::int64_t n = 0;
    const auto result = std::from_chars(first, end, n);
    if (result.ec == std::errc::result_out_of_range) {
        n = (first != end && *first == '-') ? std::numeric_limits<std::int64_t>::min()
                                            : std::numeric_limits<std::int64_t>::max();
    } else if (result.ec != std::errc()) {
        n = 0;
    }
    if (n >= std::numeric_limits<Json::Int>::min() && n <= std::numeric_limits<Json::Int>::max()) {
        return Json::Value(static_cast<Json::Int>(n));
    }
    return Json::Value(static_cast<Json::Int64>(n));
}

// Text of a value for the readable forms: scalars as the JSON library converts them,
// arrays and objects as compact JSON, nothing (null, [] or {}) as two double quotes.
std::string valueText(const Json::Value& value) {
    if (value.empty()) {
        return "\"\"";
    }
    if (value.isArray() || value.isObject()) {
        return WriteCompactJson(value);
    }
    return value.asString();
}

}  // namespace

FormatValuePair::FormatValuePair(const std::string& format, const std::string& valueText, bool isArray)
    : format(format), isArray(isArray) {
    if (isNumberFormat(format) && hasNumberShape(valueText)) {
        value = numberValue(stod(valueText));
    } else {
        value = valueText;
    }
}

FormatValuePair::FormatValuePair(const std::string& format, const std::string& type,
                                 const std::string& valueText, bool isArray)
    : format(format), type(type), isArray(isArray) {
    if (isNumberFormat(format)) {
        value = numberValue(stod(valueText));
    } else if (format == "string") {
        value = valueText;
    } else if (type == "boolean") {
        value = (valueText == "true");
    } else if (type == "float") {
        value = stod(valueText);
    } else if (type == "integer") {
        value = integerValue(valueText);
    } else {
        value = valueText;
    }
}

FormatValuePair::FormatValuePair(const std::string& format, const std::string& type, const char* valueText,
                                 bool isArray)
    : FormatValuePair(format, type, std::string(valueText ? valueText : ""), isArray) {}

FormatValuePair::FormatValuePair(const std::string& format, const std::string& type, const Json::Value& value,
                                 bool isArray)
    : format(format), type(type), value(value), isArray(isArray) {}

double FormatValuePair::stod(const std::string& text) const {
    const char* first = numberStart(text);
    double d = 0.0;
    const auto result = std::from_chars(first, text.data() + text.size(), d, std::chars_format::general);
    if (result.ec != std::errc() || !std::isfinite(d)) {
        return 0.0;
    }
    return d;
}

std::string FormatValuePair::ToString() const {
    return format + ": " + (error.empty() ? valueText(value) : "err=" + error);
}

std::string FormatValuePair::ToList() const { return error.empty() ? valueText(value) : "error: " + error; }

}  // namespace Zelkor
