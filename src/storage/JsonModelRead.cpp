// Reading values: the current value of a node converted into the requested format
// according to the node's ".type". A read never changes the tree and never throws.
#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>

#include "storage/DescriptorAttributes.h"
#include "storage/JsonModel.h"
#include "storage/NumberRules.h"
#include "storage/StorageFormat.h"
#include "storage/ValueText.h"

namespace Zelkor {

namespace {

bool isIntegerZero(const Json::Value& value) {
    return IsIntegerValue(value) && value.asLargestUInt() == 0;
}

// The read of an enumeration value over ".enums" (offset by ".min") or of a flag value
// over ".flags" (counted from 0). `value` holds the stored value on entry.
IStorage::STATUS readListValue(const Json::Value& descriptor, const char* listName,
                               bool offsetByMin, const std::string& format, Json::Value& value,
                               const Json::Value& request) {
    if (value.isNull() && request.empty()) {
        // No stored value: the first number of the range, or no text.
        if (format == "norm" || format == "number") {
            value = IntegerValue(std::clamp<long long>(LeadingIntegerAttribute(descriptor, ".min"),
                                                       INT32_MIN, INT32_MAX));
        } else {
            value = "";
        }
        return IStorage::PathOk;
    }
    const Json::Value* list = ListAttribute(descriptor, listName);
    if (list == nullptr) {
        return IStorage::PathOk;
    }
    const auto count = static_cast<long long>(list->size());
    const long long min = offsetByMin ? Int64Attribute(descriptor, ".min").value_or(0) : 0;
    std::string text;
    if (!ValueText(value, text)) {
        return IStorage::ValueOutOfRange;
    }
    if ((value.isString() && text.empty()) || isIntegerZero(value)) {
        text = std::to_string(min);
    }
    if (!request.empty()) {
        std::string requestText;
        if (!ValueText(request, requestText)) {
            return IStorage::ValueOutOfRange;
        }
        const std::string valueText = text;
        text = requestText;
        if (format == "norm") {
            const double x = TextToNumber(requestText);
            if (!(x >= 0.0 && x <= 1.0)) {
                return IStorage::ValueOutOfRange;
            }
            const auto index = RoundToInt32(static_cast<double>(count - 1) * x +
                                            static_cast<double>(min));
            if (!index) {
                return IStorage::ValueOutOfRange;
            }
            value = *index;
            return IStorage::PathOk;
        }
        if (format == "string") {
            const Json::ArrayIndex i = EntryIndex(*list, valueText.empty() ? requestText : valueText);
            // The entry's number must itself be a number: ".min" may sit at the very top.
            if (i < list->size() && min <= LLONG_MAX - static_cast<long long>(i)) {
                value = IntegerValue(min + static_cast<long long>(i));
                return IStorage::PathOk;
            }
        }
    }
    if (format == "norm") {
        // A one-entry list has no span: its only entry reads as 0.
        const double span = static_cast<double>(count - 1);
        const double x = span > 0 ? (TextToNumber(text) - static_cast<double>(min)) / span : 0.0;
        const auto result = NumberResult(x);
        if (!result) {
            return IStorage::ValueOutOfRange;
        }
        value = *result;
        return IStorage::PathOk;
    }
    if (format == "number") {
        const auto number = RoundToInt32(TextToNumber(text));
        if (!number) {
            return IStorage::ValueOutOfRange;
        }
        value = *number;
        return IStorage::PathOk;
    }
    const long long k = LeadingInteger(text);
    // k - min cannot overflow as an unsigned difference once k >= min.
    if (k < min || static_cast<unsigned long long>(k) - static_cast<unsigned long long>(min) >=
                       static_cast<unsigned long long>(count)) {
        return IStorage::ValueOutOfRange;
    }
    if (format == "string") {
        std::string entry;
        const auto index = static_cast<Json::ArrayIndex>(static_cast<unsigned long long>(k) -
                                                         static_cast<unsigned long long>(min));
        ValueText((*list)[index], entry);
        value = entry;
    } else {
        value = IntegerValue(k);
    }
    return IStorage::PathOk;
}

}  // namespace

IStorage::STATUS JsonModel::GetValueForPath(const char* path, const char* format,
                                            std::string& value) {
    return GetStringForPath(path, format, value);
}

IStorage::STATUS JsonModel::GetStringForPath(const char* path, const char* format,
                                             std::string& value) {
    if (!_tree.isObject()) {
        return NoTree;
    }
    Json::Value answer;
    const STATUS status = GetValueForPath(path, format, answer);
    std::string text;
    if (!ValueText(answer, text)) {
        return ValueOutOfRange;  // a list or group answer has no text form
    }
    value = text;
    return status;
}

IStorage::STATUS JsonModel::GetValueForPath(const char* path, const char* format,
                                            Json::Value& value) {
    if (path == nullptr) {
        return InvalidPath;
    }
    const std::string word = ReadFormat(format);
    if (!IsStorageFormat(word)) {
        return InvalidFormat;
    }
    const Json::Value* node = findValue(path);
    if (node == nullptr) {
        return InvalidPath;
    }
    if (node->isObject()) {
        return readDescriptor(*node, word, value);
    }
    value = *node;
    if (node->isArray()) {
        return PathOk;
    }
    if (node->isString()) {
        return ProcessStringGet(word, value);
    }
    if (node->isBool()) {
        return ProcessBooleanGet(word, value);
    }
    // A plain number has no range of its own: it reads like a descriptor without one.
    return ProcessFloatGet(Json::Value(), word, value);
}

IStorage::STATUS JsonModel::readDescriptor(const Json::Value& node, const std::string& format,
                                           Json::Value& value) {
    const auto access = WordAttribute(node, ".access");
    if (access && *access == "wo") {
        return PathWriteonly;
    }
    if (const Json::Value* stored = FindAttribute(node, ".value")) {
        value = *stored;
    } else if (const Json::Value* fallback = FindAttribute(node, ".default")) {
        value = *fallback;
    }
    const std::string type = WordAttribute(node, ".type").value_or("string");
    if (type == "block" || type == "byte_array") {
        return ProcessBlockGet(format, value);
    }
    if (type == "boolean") {
        return ProcessBooleanGet(format, value);
    }
    if (type == "enum") {
        return ProcessEnumGet(node, format, value, Json::Value());
    }
    if (type == "float") {
        return ProcessFloatGet(node, format, value);
    }
    if (type == "integer") {
        return ProcessIntegerGet(node, format, value);
    }
    if (type == "dstring") {
        return ProcessDStringGet(format, value);
    }
    return ProcessStringGet(format, value);
}

double JsonModel::stod(const std::string& text) { return TextToNumber(text); }

IStorage::STATUS JsonModel::ProcessBlockGet(const std::string& format, Json::Value&) {
    return format == "norm" || format == "number" ? InvalidFormat : PathOk;
}

IStorage::STATUS JsonModel::ProcessDStringGet(const std::string& format, Json::Value& value) {
    return ProcessBlockGet(format, value);
}

IStorage::STATUS JsonModel::ProcessStringGet(const std::string& format, Json::Value& value) {
    if (format == "norm") {
        return InvalidFormat;
    }
    if (format != "number") {
        return PathOk;
    }
    std::string text;
    if (!ValueText(value, text)) {
        return ValueOutOfRange;
    }
    const auto number = NumberResult(TextToNumber(text));
    if (!number) {
        return ValueOutOfRange;
    }
    value = *number;
    return PathOk;
}

IStorage::STATUS JsonModel::ProcessBooleanGet(const std::string& format, Json::Value& value) {
    std::string text;
    if (!ValueText(value, text)) {
        return ValueOutOfRange;
    }
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // Only these three texts are false; stored files rely on every other text ("off",
    // "no", "0.0") reading as true.
    const bool truth = !(text.empty() || text == "0" || text == "false");
    if (format == "norm" || format == "number") {
        value = truth ? 1 : 0;
    } else {
        value = truth;
    }
    return PathOk;
}

IStorage::STATUS JsonModel::ProcessFloatGet(const Json::Value& descriptor,
                                            const std::string& format, Json::Value& value) {
    std::string text;
    if (!ValueText(value, text)) {
        return ValueOutOfRange;
    }
    if (format == "string") {
        value = text;
        return PathOk;
    }
    double x = TextToNumber(text);
    if (format == "norm") {
        const double min = NumberAttribute(descriptor, ".min").value_or(0.0);
        const double max = NumberAttribute(descriptor, ".max").value_or(DBL_MAX);
        // The same span the norm write maps onto, so that the two are inverse; an empty
        // range has nowhere to go but 0.
        const double span = std::max(min, max) - min;
        x = span > 0.0 ? (x - min) / span : 0.0;
    }
    const auto result = NumberResult(x);
    if (!result) {
        return ValueOutOfRange;
    }
    value = *result;
    return PathOk;
}

IStorage::STATUS JsonModel::ProcessIntegerGet(const Json::Value& descriptor,
                                              const std::string& format, Json::Value& value) {
    const STATUS status = ProcessFloatGet(descriptor, format, value);
    // A real written to an integer parameter keeps its fraction in the tree; as a number
    // it reads as the integer it stands for.
    if (status == PathOk && (format == "number" || format == "variant") &&
        value.type() == Json::realValue) {
        // A finite real rounds to a finite whole number, which always has an answer.
        value = NumberResult(std::round(value.asDouble())).value_or(value);
    }
    return status;
}

IStorage::STATUS JsonModel::ProcessEnumGet(const Json::Value& descriptor,
                                           const std::string& format, Json::Value& value,
                                           const Json::Value& requestValue) {
    return readListValue(descriptor, ".enums", true, format, value, requestValue);
}

IStorage::STATUS JsonModel::ProcessFlagsGet(const Json::Value& descriptor,
                                            const std::string& format, Json::Value& value,
                                            const Json::Value& requestValue) {
    return readListValue(descriptor, ".flags", false, format, value, requestValue);
}

}  // namespace Zelkor
