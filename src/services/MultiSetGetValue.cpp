// How an entry's value is written: by its format word and, for "variant", by its type.
// A number text is recognised and converted in one pass over it, with no backtracking
// and no recursion, so a value of any length costs linear time and constant stack.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

#include <boost/algorithm/string/predicate.hpp>

#include "core/CLocaleNumber.h"
#include "core/JsonText.h"
#include "services/MultiSetGetWorker.h"

namespace Zelkor {

namespace {

// 2^63 as a double: the first value past the signed 64-bit range.
constexpr double kInt64Bound = 9223372036854775808.0;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The shape of a text of the language [+-]?[0-9]*(\.[0-9]+)?([eE][+-]?[0-9]+)? (the
// empty text excluded), found in one pass.
struct NumberShape {
    bool matches = false;
    bool exponent = false;
    bool zeroFraction = true;     // no fraction, or one of zeros only
    std::string_view integral;    // the sign and the digits before any point
};

NumberShape scanNumber(std::string_view text) {
    NumberShape shape;
    if (text.empty()) {
        return shape;
    }
    std::size_t at = 0;
    if (text[at] == '+' || text[at] == '-') {
        ++at;
    }
    while (at < text.size() && isDigit(text[at])) {
        ++at;
    }
    shape.integral = text.substr(0, at);
    if (at < text.size() && text[at] == '.') {
        const std::size_t digits = ++at;
        for (; at < text.size() && isDigit(text[at]); ++at) {
            shape.zeroFraction = shape.zeroFraction && text[at] == '0';
        }
        if (at == digits) {
            return shape;
        }
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        shape.exponent = true;
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            ++at;
        }
        const std::size_t digits = at;
        while (at < text.size() && isDigit(text[at])) {
            ++at;
        }
        if (at == digits) {
            return shape;
        }
    }
    shape.matches = at == text.size();
    return shape;
}

// The integral part read exactly; false when it is beyond signed 64 bits.
bool exactInteger(std::string_view integral, Json::Int64& value) {
    if (!integral.empty() && integral.front() == '+') {
        integral.remove_prefix(1);
    }
    if (integral.empty() || integral == "-") {
        value = 0;  // a sign alone reads as nothing
        return true;
    }
    const char* end = integral.data() + integral.size();
    const auto result = std::from_chars(integral.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

// "norm" and "number": a number text as that number, whole values within signed 64 bits
// as integers and any other number as a real; a text that matches but reads as no number
// ("+", "e5") as 0. A number beyond the double range has no JSON form and keeps its text,
// as a text that is no number does.
Json::Value numberValue(const std::string& text) {
    const NumberShape shape = scanNumber(text);
    if (!shape.matches) {
        return Json::Value(text);
    }
    Json::Int64 whole = 0;
    if (!shape.exponent && shape.zeroFraction && exactInteger(shape.integral, whole)) {
        return Json::Value(whole);
    }
    errno = 0;
    char* end = nullptr;
    const double number = StrtodC(text.c_str(), &end);
    if (end == text.c_str()) {
        return Json::Value(0);
    }
    if (!std::isfinite(number)) {
        return Json::Value(text);
    }
    if (std::trunc(number) == number && number >= -kInt64Bound && number < kInt64Bound) {
        return Json::Value(static_cast<Json::Int64>(number));
    }
    return Json::Value(number);
}

// The text of a held value: a string as it is, anything else in its compact form.
std::string heldText(const Json::Value& value) {
    return value.isString() ? value.asString() : WriteCompactJson(value);
}

Json::Value variantValue(const std::string& type, const std::string& text) {
    // The storage's own word for a text, the commonest, skips the case-blind comparisons.
    if (type == "string") {
        return Json::Value(text);
    }
    if (boost::algorithm::iequals(type, "boolean")) {
        return Json::Value(boost::algorithm::iequals(text, "true"));
    }
    if (boost::algorithm::iequals(type, "float")) {
        const double number = Message::stod(text);
        return Json::Value(std::isfinite(number) ? number : 0.0);  // JSON has no infinities
    }
    if (boost::algorithm::iequals(type, "integer") || boost::algorithm::iequals(type, "enum")) {
        return Json::Value(static_cast<Json::Int64>(StrtollC(text.c_str(), nullptr, 10)));
    }
    return Json::Value(text);
}

}  // namespace

Json::Value MultiSetGetWorker::ReadParamValue(const MultiValueEntry& entry) {
    const Json::Value& held = entry.Value();
    if (entry.IsFlags() || held.isArray() || held.isObject()) {
        return held;
    }
    const char* formatText = entry.Format();
    std::string format = formatText && *formatText ? formatText : "variant";
    format = format.substr(0, format.find('('));
    if (format == "norm" || format == "number") {
        return held.isNull() ? Json::Value(0) : numberValue(heldText(held));
    }
    if (held.isNull()) {
        return held;
    }
    if (format == "variant") {
        const char* type = entry.Type();
        return variantValue(type ? type : "", heldText(held));
    }
    return Json::Value(heldText(held));
}

}  // namespace Zelkor
