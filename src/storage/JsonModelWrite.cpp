// Writing values: access rules, typed conversion, storing, and the change report to the
// preset store and the subscription service. Attribute paths ("/p/.min") write the
// attribute of a dynamic descriptor instead.
#include "core/JsonText.h"
#include "services/ISubscriptionService.h"
#include "storage/DescriptorAttributes.h"
#include "storage/DescriptorFlags.h"
#include "storage/JsonModel.h"
#include "storage/NumberRules.h"
#include "storage/StorageFormat.h"
#include "storage/StoragePath.h"
#include "storage/ValueText.h"

namespace Zelkor {

namespace {

// Equal as stored values: same JSON type and value, except that a signed and an unsigned
// integer of the same number are one value (they are written alike).
bool sameStoredValue(const Json::Value& a, const Json::Value& b) {
    if (IsIntegerValue(a) && IsIntegerValue(b)) {
        if (a.isInt64() && b.isInt64()) {
            return a.asInt64() == b.asInt64();
        }
        return a.isUInt64() && b.isUInt64() && a.asUInt64() == b.asUInt64();
    }
    return a == b;
}

const Json::Value& currentValue(const Json::Value& node) {
    static const Json::Value kNone;
    if (const Json::Value* stored = FindAttribute(node, ".value")) {
        return *stored;
    }
    if (const Json::Value* fallback = FindAttribute(node, ".default")) {
        return *fallback;
    }
    return kNone;
}

bool isListOfWords(const Json::Value& value, bool flagWords) {
    if (!value.isArray() || value.empty()) {
        return false;
    }
    for (const auto& entry : value) {
        if (!entry.isString() || (flagWords && !FlagBit(entry.asString()))) {
            return false;
        }
    }
    return true;
}

}  // namespace

IStorage::STATUS JsonModel::SetValueForPath(const char* path, const char* format,
                                            const char* value, bool /*enforce*/) {
    if (path == nullptr) {
        return InvalidPath;
    }
    if (value == nullptr) {
        return ValueOutOfRange;
    }
    // Text comes from peers and command lines: the access rules always apply to it.
    return SetValueForPath(path, format, Json::Value(value), true);
}

IStorage::STATUS JsonModel::SetValueForPath(const char* path, const char* format,
                                            Json::Value value, bool enforce) {
    if (path == nullptr) {
        return InvalidPath;
    }
    const std::string word = CutFormat(format);
    if (!IsStorageFormat(word)) {
        return InvalidFormat;
    }
    Json::Value* node = findValue(path);
    if (node == nullptr) {
        return InvalidPath;
    }
    if (!node->isObject()) {
        return writeAttribute(path, word, std::move(value), enforce);
    }
    const std::string access = WordAttribute(*node, ".access").value_or("rw");
    if (access == "c") {
        return PathConstant;
    }
    const bool locked = (GetFlagInt(*node) & FlagLock) != 0;
    if (enforce && access == "ro") {
        return PathReadonly;
    }
    if (enforce && locked) {
        return PathLocked;
    }
    const std::string type = WordAttribute(*node, ".type").value_or("string");
    const STATUS status = convertForType(*node, type, word, value);
    if (status != PathOk) {
        return status;
    }
    if (sameStoredValue(currentValue(*node), value)) {
        return PathOk;
    }
    (*node)[".value"] = value;
    notifyPresetStore(path, word);
    if (_subscriptionService != nullptr && !locked && access != "wo") {
        _subscriptionService->ValueChanged(path, word.c_str(),
                                           ConvertJsonValueToString(value).c_str(), type.c_str(),
                                           true, weak_from_this());
        Detail("ZK6010I SetValueForPath _subscriptionService->ValueChanged Path", path);
        Detail("ZK6011I SetValueForPath _subscriptionService->ValueChanged newval", TextOrJson(value));
    }
    return PathOk;
}

IStorage::STATUS JsonModel::convertForType(const Json::Value& node, const std::string& type,
                                           const std::string& format, Json::Value& value) {
    if (type == "block" || type == "byte_array") {
        return ProcessBlockSet(node, format, value);
    }
    if (type == "string" || type == "dstring") {
        return ProcessStringSet(node, format, value);
    }
    const bool integer = IsIntegerValue(value);
    const bool real = value.type() == Json::realValue;
    if (type == "boolean") {
        if (value.isBool()) {
            return PathOk;
        }
        if (integer) {
            return ProcessBooleanSetAsInteger(value);
        }
        if (real) {
            return ProcessBooleanSetAsDouble(format, value);
        }
        return value.isString() ? ProcessBooleanSet(format, value) : ValueOutOfRange;
    }
    if (type == "enum") {
        if (integer) {
            return ProcessEnumSetAsInteger(node, format, value, Json::Value(), false);
        }
        if (real) {
            return ProcessEnumSetAsDouble(node, format, value, Json::Value(), false);
        }
        return value.isString() ? ProcessEnumSet(node, format, value, Json::Value(), false)
                                : ValueOutOfRange;
    }
    if (type == "float") {
        if (integer || real) {
            return ProcessFloatSetAsDouble(node, format, value);
        }
        return value.isString() ? ProcessFloatSet(node, format, value) : ValueOutOfRange;
    }
    if (type == "integer") {
        if (integer) {
            return ProcessIntegerSetAsInteger(node, format, value);
        }
        if (real) {
            return ProcessIntegerSetAsDouble(node, format, value);
        }
        return value.isString() ? ProcessIntegerSet(node, format, value) : ValueOutOfRange;
    }
    return PathDisabled;
}

IStorage::STATUS JsonModel::writeAttribute(const char* path, const std::string& format,
                                           Json::Value value, bool enforce) {
    const auto names = SplitStoragePath(path);
    if (!names || names->empty()) {
        return InvalidPath;  // a root that is no object has nothing to write
    }
    const std::size_t count = names->size();
    Detail("ZK6012I SetValueForPath arrayName", count >= 2 ? (*names)[count - 2] : "/");
    Detail("ZK6013I SetValueForPath indexName", names->back());
    Detail("ZK6014I SetValueForPath parentPath", JoinStoragePath(*names, count >= 2 ? count - 2 : 0));
    if (names->back() == ".enums" || names->back() == ".flags") {
        return writeList(path, *names, format, value, enforce);
    }
    return ProcessAttribute(path, format.c_str(), std::move(value), enforce);
}

// A write addressed to a descriptor's ".enums" or ".flags" replaces the whole list with the
// given list of words (flag words must be known ones).
IStorage::STATUS JsonModel::writeList(const char* path, const std::vector<std::string>& names,
                                      const std::string& format, const Json::Value& value,
                                      bool enforce) {
    const std::string& listName = names.back();
    Json::Value* owner = findNode(names, names.size() - 1);
    if (owner == nullptr || ListAttribute(*owner, listName.c_str()) == nullptr) {
        return InvalidPath;
    }
    if (enforce || !IsTrueAttribute(*owner, ".dynamic")) {
        return AttributeDisabled;
    }
    if (!isListOfWords(value, listName == ".flags")) {
        return ValueOutOfRange;
    }
    Json::Value& list = (*owner)[listName];
    if (list == value) {
        return PathOk;
    }
    list = value;
    notifyPresetStore(path, format);
    if (_subscriptionService != nullptr) {
        _subscriptionService->ValueChanged(path, format.c_str(),
                                           ConvertJsonValueToString(value).c_str(),
                                           listName.c_str(), true, weak_from_this());
        Detail("ZK6015I SetValueForPath _subscriptionService->ValueChanged Path", path);
        Detail("ZK6016I SetValueForPath _subscriptionService->ValueChanged value", WriteCompactJson(value));
    }
    return PathOk;
}

IStorage::STATUS JsonModel::ProcessAttribute(const char* path, const char* format,
                                             Json::Value value, bool enforce) {
    if (path == nullptr) {
        return InvalidPath;
    }
    const auto names = SplitStoragePath(path);
    if (!names || names->empty()) {
        return InvalidPath;
    }
    const std::string& attribute = names->back();
    const std::string word = CutFormat(format);
    Detail("ZK6006I ProcessAttribute fullPath", path);
    Detail("ZK6007I ProcessAttribute parentPath", JoinStoragePath(*names, names->size() - 1));
    Detail("ZK6008I ProcessAttribute attribute", attribute);
    if (attribute.empty() || attribute[0] != '.') {
        return InvalidPath;
    }
    if (enforce || attribute == ".dynamic") {
        return AttributeDisabled;
    }
    Json::Value* owner = findNode(*names, names->size() - 1);
    if (owner == nullptr || owner->empty() || !owner->isObject()) {
        return InvalidPath;
    }
    if (!IsTrueAttribute(*owner, ".dynamic")) {
        return AttributeDisabled;
    }
    (*owner)[attribute] = value;
    notifyPresetStore(path, word);
    if (_subscriptionService != nullptr) {
        _subscriptionService->ValueChanged(path, word.c_str(),
                                           ConvertJsonValueToString(value).c_str(), true,
                                           weak_from_this());
        Detail("ZK6009I ProcessAttribute _subscriptionService->ValueChanged");
    }
    return PathOk;
}

std::string JsonModel::ConvertJsonValueToString(const Json::Value& value) {
    if (value.isString()) {
        return value.asString();
    }
    return WriteCompactJson(value) + "\n";
}

}  // namespace Zelkor
