#include "storage/DescriptorAttributes.h"

#include <cmath>
#include <cstring>

#include "storage/NumberRules.h"
#include "storage/ValueText.h"

namespace Zelkor {

const Json::Value* FindAttribute(const Json::Value& node, const char* name) {
    if (!node.isObject()) {
        return nullptr;
    }
    return node.find(name, name + std::strlen(name));
}

std::optional<double> NumberAttribute(const Json::Value& node, const char* name) {
    const Json::Value* attribute = FindAttribute(node, name);
    if (attribute == nullptr) {
        return std::nullopt;
    }
    if (attribute->isNumeric()) {
        return attribute->asDouble();
    }
    if (!attribute->isString()) {
        return std::nullopt;
    }
    return WholeTextNumber(attribute->asString());
}

std::optional<long long> Int64Attribute(const Json::Value& node, const char* name) {
    const Json::Value* attribute = FindAttribute(node, name);
    if (attribute != nullptr && attribute->isInt64()) {
        return attribute->asInt64();  // exact, also beyond the 53 bits of a double
    }
    const auto number = NumberAttribute(node, name);
    // A truncated number is whole, so rounding it only checks that it fits.
    return number ? RoundToInt64(std::trunc(*number)) : std::nullopt;
}

long long LeadingIntegerAttribute(const Json::Value& node, const char* name) {
    std::string text;
    const Json::Value* attribute = FindAttribute(node, name);
    if (attribute == nullptr || !ValueText(*attribute, text)) {
        return 0;
    }
    return LeadingInteger(text);
}

std::optional<std::string> WordAttribute(const Json::Value& node, const char* name) {
    const Json::Value* attribute = FindAttribute(node, name);
    if (attribute == nullptr) {
        return std::nullopt;
    }
    std::string word;
    ValueText(*attribute, word);
    return word;
}

const Json::Value* ListAttribute(const Json::Value& node, const char* name) {
    const Json::Value* attribute = FindAttribute(node, name);
    if (attribute == nullptr || !attribute->isArray() || attribute->empty()) {
        return nullptr;
    }
    return attribute;
}

Json::ArrayIndex EntryIndex(const Json::Value& list, const std::string& text) {
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        std::string entry;
        if (ValueText(list[i], entry) && entry == text) {
            return i;
        }
    }
    return list.size();
}

bool IsTrueAttribute(const Json::Value& node, const char* name) {
    const Json::Value* attribute = FindAttribute(node, name);
    return attribute != nullptr && attribute->isBool() && attribute->asBool();
}

}  // namespace Zelkor
