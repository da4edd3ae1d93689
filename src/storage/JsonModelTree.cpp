// Navigation of the tree: array expansion, path lookup, kinds and flags, listings and
// path verification.
#include <climits>
#include <exception>
#include <string_view>

#include "storage/DescriptorAttributes.h"
#include "storage/DescriptorFlags.h"
#include "storage/JsonModel.h"
#include "storage/PathAppend.h"
#include "storage/StorageFormat.h"
#include "storage/StoragePath.h"
#include "storage/ValueText.h"

namespace Zelkor {

bool JsonModel::CreateJsonTree(Json::Value& node) {
    if (node.isArray()) {
        for (auto& element : node) {
            CreateJsonTree(element);
        }
        return true;
    }
    if (!node.isObject() || node.empty()) {
        return true;
    }
    if (getKind(node) == KindArray && !expandArray(node)) {
        return false;
    }
    // The names are taken after the expansion, so arrays nested in the prototype are
    // expanded in every element while the prototype itself stays as written.
    for (const auto& name : node.getMemberNames()) {
        if (name != ".prototype") {
            CreateJsonTree(node[name]);
        }
    }
    return true;
}

bool JsonModel::expandArray(Json::Value& node) {
    const auto size = Int64Attribute(node, ".size");
    if (!size || *size > INT_MAX) {
        Warning("ZK6004W Missing .prototype or .size member");
        return false;
    }
    // Every expanded array carries the ".static" setting its expansion used, so readers
    // of its attributes see it: null (keeps no element) where the tree gave none.
    if (FindAttribute(node, ".static") == nullptr) {
        node[".static"] = Json::Value();
    }
    const Json::Value* prototypeMember = FindAttribute(node, ".prototype");
    if (prototypeMember == nullptr || *size <= 0) {
        return true;
    }
    const Json::Value* staticMember = FindAttribute(node, ".static");
    const bool keepExisting = staticMember != nullptr &&
                              (staticMember->isBool() || staticMember->isNumeric()) &&
                              staticMember->asBool();
    const Json::Value prototype = *prototypeMember;
    for (long long i = 1; i <= *size; ++i) {
        const std::string name = std::to_string(i);
        if (!keepExisting || !node.isMember(name)) {
            node[name] = prototype;
        }
    }
    return true;
}

Json::Value* JsonModel::findNode(const char* path) {
    if (path == nullptr || !IsStoragePathValid(path)) {
        return nullptr;
    }
    Json::Value* node = &_tree;
    StoragePathNames names(path);
    for (std::string_view name; names.Next(name);) {
        if (!(node = member(*node, name))) {
            return nullptr;
        }
    }
    return node;
}

Json::Value* JsonModel::member(Json::Value& node, std::string_view name) {
    // Only objects have members: a path that goes on below a plain value is a miss.
    if (!node.isObject()) {
        return nullptr;
    }
    // The JSON library offers member lookup without insertion only on const values.
    return const_cast<Json::Value*>(
        static_cast<const Json::Value&>(node).find(name.data(), name.data() + name.size()));
}

Json::Value* JsonModel::findNode(const std::vector<std::string>& names, std::size_t count) {
    Json::Value* node = &_tree;
    for (std::size_t i = 0; i < count && i < names.size(); ++i) {
        if (!(node = member(*node, names[i]))) {
            return nullptr;
        }
    }
    return node;
}

Json::Value* JsonModel::findValue(const char* path) {
    Json::Value* node = findNode(path);
    return node != nullptr && !node->empty() ? node : nullptr;
}

Json::Value& JsonModel::valueForPath(const std::string& path) {
    if (Json::Value* node = findNode(path.c_str())) {
        return *node;
    }
    _missValue = Json::Value();
    return _missValue;
}

int JsonModel::getKind(const Json::Value& node) {
    if (node.isString()) {
        return KindString;
    }
    const auto kind = WordAttribute(node, ".kind");
    if (!kind) {
        return KindNone;
    }
    if (*kind == "obj") {
        return KindObject;
    }
    if (*kind == "param") {
        return KindParam;
    }
    if (*kind == "array") {
        return KindArray;
    }
    return KindNone;
}

unsigned JsonModel::GetFlagInt(const Json::Value& node) const {
    const Json::Value* words = nullptr;
    if (node.isObject()) {
        words = FindAttribute(node, ".flags");
    } else if (node.isArray()) {
        words = &node;
    }
    if (words == nullptr || !words->isArray()) {
        return 0;
    }
    unsigned bits = 0;
    for (const auto& entry : *words) {
        const std::string word = TextOrJson(entry);
        if (const auto bit = FlagBit(word)) {
            bits |= *bit;
        } else {
            Error("ZK6005E .flags: unknown flag:", word);
        }
    }
    return bits;
}

bool JsonModel::isNoSub(const Json::Value& node) const {
    return (GetFlagInt(node) & FlagNoSubscribe) != 0;
}

std::vector<std::string> JsonModel::GetChildren(const std::string& path) {
    std::vector<std::string> children;
    if (const Json::Value* node = findNode(path.c_str())) {
        collectChildren(*node, path, true, children);
    }
    return children;
}

std::vector<std::string> JsonModel::GetImmediateChildren(const std::string& path) {
    std::vector<std::string> children;
    if (const Json::Value* node = findNode(path.c_str())) {
        collectChildren(*node, path, false, children);
    }
    return children;
}

void JsonModel::collectChildren(const Json::Value& node, const std::string& path, bool recursive,
                                std::vector<std::string>& out) {
    if (!node.isObject()) {
        return;
    }
    for (auto it = node.begin(); it != node.end(); ++it) {
        // A parameter's members are mostly attributes: their names are looked at in place,
        // since a one-value get walks them on every request.
        const char* end = nullptr;
        const char* begin = it.memberName(&end);
        const std::string_view name(begin, static_cast<std::size_t>(end - begin));
        // Attributes are no children. A member that no path can reach (an empty name, or
        // one holding "/") is not listed either: its path would name another node.
        if (name.empty() || name[0] == '.' || name.find('/') != std::string_view::npos) {
            continue;
        }
        switch (getKind(*it)) {
            case KindObject:
            case KindArray:
                if (recursive) {
                    collectChildren(*it, AppendPath(path, std::string(name)), true, out);
                } else {
                    out.push_back(AppendPath(path, std::string(name)));
                }
                break;
            case KindParam:
                out.push_back(AppendPath(path, std::string(name)));
                break;
            case KindString:
                // A plain string member stands for its owner, which then is a value itself.
                if (recursive) {
                    out.push_back(path);
                }
                break;
            default:
                break;
        }
    }
}

std::vector<std::string> JsonModel::GetDescriptorForPath(const char* path, unsigned recursive) {
    if (path == nullptr) {
        return {};
    }
    try {
        return recursive != 0 ? GetChildren(path) : GetImmediateChildren(path);
    } catch (const std::exception& error) {
        Error(std::string("ZK6017E GetDescriptorForPath exception for path (") + path +
              "): " + error.what());
        return {};
    }
}

IStorage::STATUS JsonModel::VerifyPath(const char* path, const char* format) {
    if (!IsStorageFormat(VerifyFormat(format))) {
        return InvalidFormat;
    }
    const Json::Value* node = findValue(path);
    if (node == nullptr) {
        return InvalidPath;
    }
    const auto access = WordAttribute(*node, ".access");
    if (access && *access == "c") {
        return PathConstant;
    }
    if (access && *access == "wo") {
        return PathWriteonly;
    }
    const unsigned flags = GetFlagInt(*node);
    if (flags & FlagNoSubscribe) {
        return PathNoSubscribe;
    }
    if (flags & FlagLock) {
        return PathLocked;
    }
    if (!access || *access == "rw") {
        return PathReadWrite;
    }
    return *access == "ro" ? PathReadonly : InvalidAccess;
}

}  // namespace Zelkor
