// Typed conversion of written values: each step decides whether a value is acceptable for
// a parameter (range, enumeration, length, syntax) and converts it in place into the form
// in which that type is stored. No step throws: anything that cannot be represented is
// refused with "Value Out Of Range/Invalid Value".
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>

#include "storage/DescriptorAttributes.h"
#include "storage/JsonModel.h"
#include "storage/NumberRules.h"
#include "storage/ValueSyntax.h"
#include "storage/ValueText.h"

namespace Zelkor {

namespace {

constexpr long long kInt64Max = std::numeric_limits<long long>::max();

bool isNorm(const std::string& format) { return format == "norm"; }

bool inUnitRange(double v) { return v >= 0.0 && v <= 1.0; }

// A written text that must be a number: the number syntax, or the hexadecimal notation
// in which "float" values are stored (a value read as text must write back), and a
// magnitude the double range can hold. Texts like "+" or "e5" pass the syntax and count
// as 0.
std::optional<double> numberOfText(const std::string& text) {
    if (!IsNumberText(text) && !IsHexFloatText(text)) {
        return std::nullopt;
    }
    bool overflowed = false;
    const double number = TextToNumber(text, &overflowed);
    if (overflowed) {
        return std::nullopt;
    }
    return number;
}

// The bounds of a range; a lower bound above the upper one makes the range that one point.
template <class T>
struct Range {
    T lo;
    T hi;
    Range(T low, T high) : lo(low), hi(low > high ? low : high) {}
    bool Contains(T v) const { return v >= lo && v <= hi; }  // false for NaN
    double Map(double normalised) const {
        return (static_cast<double>(hi) - static_cast<double>(lo)) * normalised +
               static_cast<double>(lo);
    }
};

// Without ".min" every range starts at 0, whatever JSON type the written value has: so it
// does for texts and for the norm read, and norm writes and reads stay inverse.

// Bounds read as signed 64-bit integers and used as doubles (reals written to "integer"
// and "enum").
Range<double> int64BoundsAsDouble(const Json::Value& node) {
    const auto lo = Int64Attribute(node, ".min");
    const auto hi = Int64Attribute(node, ".max");
    return Range<double>(lo ? static_cast<double>(*lo) : 0.0,
                         hi ? static_cast<double>(*hi) : DBL_MAX);
}

Range<double> doubleBounds(const Json::Value& node) {
    return Range<double>(NumberAttribute(node, ".min").value_or(0.0),
                         NumberAttribute(node, ".max").value_or(DBL_MAX));
}

Range<long long> int64Bounds(const Json::Value& node) {
    return Range<long long>(Int64Attribute(node, ".min").value_or(0),
                            Int64Attribute(node, ".max").value_or(kInt64Max));
}

// A text written to a "float" or "integer" parameter: in "norm" its number mapped from
// 0..1 onto the range, otherwise the number itself, which must lie in the range.
std::optional<double> rangedNumberOfText(const Json::Value& node, const std::string& format,
                                         const Json::Value& value) {
    std::string text;
    if (!ValueText(value, text)) {
        return std::nullopt;
    }
    const auto number = numberOfText(text);
    if (!number) {
        return std::nullopt;
    }
    const Range<double> range = doubleBounds(node);
    if (isNorm(format)) {
        return inUnitRange(*number) ? std::optional<double>(range.Map(*number)) : std::nullopt;
    }
    return range.Contains(*number) ? number : std::nullopt;
}

// Length limits of texts: a limit of 0 is no limit, and the upper one is never below the
// lower one.
bool lengthAllowed(std::size_t length, long long lo, long long hi) {
    const auto size = static_cast<long long>(length);
    if (lo != 0 && size < lo) {
        return false;
    }
    return hi == 0 || size <= std::max(lo, hi);
}

IStorage::STATUS storeInt32(double x, Json::Value& value) {
    const auto rounded = RoundToInt32(x);
    if (!rounded) {
        return IStorage::ValueOutOfRange;
    }
    value = *rounded;
    return IStorage::PathOk;
}

IStorage::STATUS storeInt64(double x, Json::Value& value) {
    const auto rounded = RoundToInt64(x);
    if (!rounded) {
        return IStorage::ValueOutOfRange;
    }
    value = static_cast<Json::Int64>(*rounded);
    return IStorage::PathOk;
}

// A 32-bit integer where it fits, else a 64-bit one: whatever an "integer" read gives as
// text writes back.
IStorage::STATUS storeInteger(double x, Json::Value& value) {
    const auto rounded = RoundToInt64(x);
    if (!rounded) {
        return IStorage::ValueOutOfRange;
    }
    value = IntegerValue(*rounded);
    return IStorage::PathOk;
}

// The C "%a" text of a finite number, written without the process locale, which would
// otherwise put its own decimal point into the stored text.
std::string hexFloatText(double x) {
    char buffer[64];
    char* out = buffer;
    if (std::signbit(x)) {
        *out++ = '-';
        x = -x;
    }
    *out++ = '0';
    *out++ = 'x';
    const auto written = std::to_chars(out, std::end(buffer), x, std::chars_format::hex);
    return std::string(buffer, written.ptr);
}

// The numbers of an enumeration's entries: ".min" (0 without) up to ".min" + count - 1.
// "norm" picks an entry by its position in the list, as the norm read does.
Range<long long> entryNumbers(const Json::Value& node, const Json::Value& list) {
    const long long first = Int64Attribute(node, ".min").value_or(0);
    const auto last = static_cast<long long>(list.size()) - 1;
    return Range<long long>(first, first > kInt64Max - last ? kInt64Max : first + last);
}

// "norm" for integer values: 0 and 1 stand for the ends of the range, nothing else.
IStorage::STATUS storeRangeEnd(const Range<long long>& range, long long v, Json::Value& value) {
    if (v != 0 && v != 1) {
        return IStorage::ValueOutOfRange;
    }
    value = static_cast<Json::Int64>(v == 0 ? range.lo : range.hi);
    return IStorage::PathOk;
}

// Texts written to an ".enums" (offset by ".min") or ".flags" list: entry numbers in
// "norm", "number" and numeric "variant", entry texts otherwise.
IStorage::STATUS writeListValue(const Json::Value& node, const char* listName, bool offsetByMin,
                                const std::string& format, Json::Value& value,
                                const Json::Value& indexValue, bool refuseDynamic) {
    if (FindAttribute(node, listName) == nullptr) {
        return IStorage::PathOk;  // no list: the text is the value
    }
    const Json::Value* list = ListAttribute(node, listName);
    if (list == nullptr) {
        return IStorage::InvalidPath;
    }
    std::string text;
    if (!ValueText(value, text)) {
        return IStorage::ValueOutOfRange;
    }
    if (!indexValue.empty()) {
        if (!IsTrueAttribute(node, ".dynamic") || refuseDynamic) {
            return IStorage::AttributeDisabled;
        }
        if (!ValueText(indexValue, text)) {
            return IStorage::ValueOutOfRange;
        }
    }
    const double lo = offsetByMin ? NumberAttribute(node, ".min").value_or(0.0) : 0.0;
    const Range<double> range(lo, lo + static_cast<double>(list->size()) - 1.0);
    const auto number = numberOfText(text);
    if (format == "norm" || format == "number") {
        if (!number) {
            return IStorage::ValueOutOfRange;
        }
        if (isNorm(format)) {
            if (!inUnitRange(*number)) {
                return IStorage::ValueOutOfRange;
            }
            return storeInt32(range.Map(*number), value);
        }
        if (!range.Contains(*number)) {
            return IStorage::ValueOutOfRange;
        }
        return storeInt32(*number, value);
    }
    if (format == "variant" && number) {
        const auto k = RoundToInt32(*number);
        if (!k || !range.Contains(*k)) {
            return IStorage::ValueOutOfRange;
        }
        value = *k;
        return IStorage::PathOk;
    }
    const Json::ArrayIndex entry = EntryIndex(*list, text);
    if (entry == list->size()) {
        return IStorage::ValueOutOfRange;
    }
    value = range.lo + static_cast<double>(entry);
    return IStorage::PathOk;
}

}  // namespace

// --- boolean ---

IStorage::STATUS JsonModel::ProcessBooleanSetAsInteger(Json::Value& value) {
    if (!value.isInt64() || value.asInt64() < 0) {
        return ValueOutOfRange;
    }
    value = value.asInt64() != 0;
    return PathOk;
}

IStorage::STATUS JsonModel::ProcessBooleanSetAsDouble(const std::string& format,
                                                      Json::Value& value) {
    if (!value.isNumeric()) {
        return ValueOutOfRange;
    }
    const double v = value.asDouble();
    if (isNorm(format)) {
        if (v < 0.0 || v > 1.0) {
            return ValueOutOfRange;
        }
        value = v >= 0.5;
        return PathOk;
    }
    value = v != 0.0;
    return PathOk;
}

IStorage::STATUS JsonModel::ProcessBooleanSet(const std::string& format, Json::Value& value) {
    std::string text;
    if (!ValueText(value, text)) {
        return ValueOutOfRange;
    }
    if (format == "norm" || format == "number") {
        const auto number = numberOfText(text);
        if (!number) {
            return ValueOutOfRange;
        }
        if (isNorm(format)) {
            if (!inUnitRange(*number)) {
                return ValueOutOfRange;
            }
            value = *number >= 0.5;
        } else {
            value = *number != 0.0;
        }
        return PathOk;
    }
    for (const char* word : {"true", "one", "on", "yes", "1"}) {
        if (text == word) {
            value = true;
            return PathOk;
        }
    }
    for (const char* word : {"false", "zero", "off", "no", "0"}) {
        if (text == word) {
            value = false;
            return PathOk;
        }
    }
    const auto number = numberOfText(text);
    if (!number) {
        return ValueOutOfRange;
    }
    value = *number != 0.0;
    return PathOk;
}

// --- enum and flags ---

IStorage::STATUS JsonModel::ProcessEnumSetAsInteger(const Json::Value& node,
                                                    const std::string& format,
                                                    Json::Value& value, const Json::Value&, bool) {
    const Json::Value* list = ListAttribute(node, ".enums");
    if (list == nullptr) {
        return InvalidPath;
    }
    if (!value.isInt64()) {
        return ValueOutOfRange;
    }
    const long long v = value.asInt64();
    if (isNorm(format)) {
        return storeRangeEnd(entryNumbers(node, *list), v, value);
    }
    const Range<long long> range = int64Bounds(node);
    if (v < range.lo) {
        value = static_cast<Json::Int64>(range.lo);
    } else if (v > range.hi) {
        value = static_cast<Json::Int64>(range.hi);
    }
    return PathOk;
}

IStorage::STATUS JsonModel::ProcessEnumSetAsDouble(const Json::Value& node,
                                                   const std::string& format, Json::Value& value,
                                                   const Json::Value&, bool) {
    const Json::Value* list = ListAttribute(node, ".enums");
    if (list == nullptr) {
        return InvalidPath;
    }
    if (!value.isNumeric()) {
        return ValueOutOfRange;
    }
    const double v = value.asDouble();
    if (isNorm(format)) {
        if (!inUnitRange(v)) {
            return ValueOutOfRange;
        }
        const Range<long long> numbers = entryNumbers(node, *list);
        return storeInt64(Range<double>(static_cast<double>(numbers.lo),
                                        static_cast<double>(numbers.hi)).Map(v),
                          value);
    }
    if (std::isnan(v)) {
        return ValueOutOfRange;
    }
    const Range<double> range = int64BoundsAsDouble(node);
    if (v < range.lo) {
        return storeInt64(std::trunc(range.lo), value);
    }
    if (v > range.hi) {
        return storeInt64(std::trunc(range.hi), value);
    }
    return PathOk;
}

IStorage::STATUS JsonModel::ProcessEnumSet(const Json::Value& node, const std::string& format,
                                           Json::Value& value, const Json::Value& indexValue,
                                           bool refuseDynamic) {
    return writeListValue(node, ".enums", true, format, value, indexValue, refuseDynamic);
}

IStorage::STATUS JsonModel::ProcessFlagsSet(const Json::Value& node, const std::string& format,
                                            Json::Value& value, const Json::Value& indexValue,
                                            bool refuseDynamic) {
    return writeListValue(node, ".flags", false, format, value, indexValue, refuseDynamic);
}

// --- float ---

IStorage::STATUS JsonModel::ProcessFloatSetAsDouble(const Json::Value& node,
                                                    const std::string& format,
                                                    Json::Value& value) {
    if (!value.isNumeric()) {
        return ValueOutOfRange;
    }
    const Range<double> range = doubleBounds(node);
    const double v = value.asDouble();
    if (isNorm(format)) {
        const double mapped = range.Map(v);
        if (!inUnitRange(v) || !std::isfinite(mapped)) {
            return ValueOutOfRange;
        }
        value = mapped;
        return PathOk;
    }
    return range.Contains(v) ? PathOk : ValueOutOfRange;
}

IStorage::STATUS JsonModel::ProcessFloatSet(const Json::Value& node, const std::string& format,
                                            Json::Value& value) {
    const auto x = rangedNumberOfText(node, format, value);
    if (!x || !std::isfinite(*x)) {
        return ValueOutOfRange;
    }
    // Stored in hexadecimal floating-point notation: exact, and read back by the same
    // text-to-number conversion.
    value = hexFloatText(*x);
    return PathOk;
}

// --- integer ---

IStorage::STATUS JsonModel::ProcessIntegerSetAsInteger(const Json::Value& node,
                                                       const std::string& format,
                                                       Json::Value& value) {
    if (!value.isInt64()) {
        return ValueOutOfRange;
    }
    const Range<long long> range = int64Bounds(node);
    const long long v = value.asInt64();
    if (isNorm(format)) {
        return storeRangeEnd(range, v, value);
    }
    return range.Contains(v) ? PathOk : ValueOutOfRange;
}

IStorage::STATUS JsonModel::ProcessIntegerSetAsDouble(const Json::Value& node,
                                                      const std::string& format,
                                                      Json::Value& value) {
    if (!value.isNumeric()) {
        return ValueOutOfRange;
    }
    const Range<double> range = int64BoundsAsDouble(node);
    const double v = value.asDouble();
    if (isNorm(format)) {
        if (!inUnitRange(v)) {
            return ValueOutOfRange;
        }
        return storeInt64(range.Map(v), value);
    }
    // The fraction is kept; reads round it.
    return range.Contains(v) ? PathOk : ValueOutOfRange;
}

IStorage::STATUS JsonModel::ProcessIntegerSet(const Json::Value& node, const std::string& format,
                                              Json::Value& value) {
    const auto x = rangedNumberOfText(node, format, value);
    return x ? storeInteger(*x, value) : ValueOutOfRange;
}

// --- string and block ---

IStorage::STATUS JsonModel::ProcessStringSet(const Json::Value& node, const std::string& format,
                                             Json::Value& value) {
    if (isNorm(format)) {
        return InvalidFormat;
    }
    std::string text;
    if (!ValueText(value, text)) {
        return ValueOutOfRange;
    }
    if (format == "number") {
        const double x = TextToNumber(text);
        if (!std::isfinite(x)) {
            return ValueOutOfRange;
        }
        if (std::trunc(x) != x) {
            value = x;
            return PathOk;
        }
        return storeInt32(x, value);
    }
    const long long lo = LeadingIntegerAttribute(node, ".min");
    const long long hi = LeadingIntegerAttribute(node, ".max");
    return lengthAllowed(text.size(), lo, hi) ? PathOk : ValueOutOfRange;
}

IStorage::STATUS JsonModel::ProcessBlockSet(const Json::Value& node, const std::string& format,
                                            Json::Value& value) {
    if (isNorm(format) || format == "number") {
        return InvalidFormat;
    }
    std::string text;
    if (!ValueText(value, text) || !IsBase64Text(text)) {
        return ValueOutOfRange;
    }
    // Negative limits mean nothing for a length: they read as no limit.
    const long long lo = std::max(0LL, Int64Attribute(node, ".min").value_or(0));
    const long long hi = std::max(0LL, Int64Attribute(node, ".max").value_or(0));
    return lengthAllowed(text.size(), lo, hi) ? PathOk : ValueOutOfRange;
}

}  // namespace Zelkor
