#include "storage/FormatValuePair.h"

#include <cmath>

#include "storage/NumberRules.h"
#include "storage/ValueSyntax.h"
#include "storage/ValueText.h"

namespace Zelkor {

namespace {

bool isNumberFormat(const std::string& format) { return format == "norm" || format == "number"; }

// A number-format value: whole numbers as integers (32-bit where they fit, else 64-bit),
// everything else as a real. Out-of-range whole numbers stay reals rather than failing.
Json::Value numberValue(double d) { return NumberResult(d).value_or(Json::Value(0)); }

// Text of a value for the readable forms; nothing (null, [] or {}) as two double quotes.
std::string valueText(const Json::Value& value) { return value.empty() ? "\"\"" : TextOrJson(value); }

}  // namespace

FormatValuePair::FormatValuePair(const std::string& format, const std::string& valueText, bool isArray)
    : format(format), isArray(isArray) {
    if (isNumberFormat(format) && IsNumberText(valueText)) {
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
        value = IntegerValue(LeadingInteger(valueText));
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
    const double d = TextToNumber(text);
    return std::isfinite(d) ? d : 0.0;  // JSON has no form for infinities and NaN
}

std::string FormatValuePair::ToString() const {
    return format + ": " + (error.empty() ? valueText(value) : "err=" + error);
}

std::string FormatValuePair::ToList() const { return error.empty() ? valueText(value) : "error: " + error; }

}  // namespace Zelkor
