#include "core/Param.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "core/LowerCase.h"

namespace Zelkor {

namespace {

constexpr const char* kNames[kParamCount] = {
    "arguments", "batchid", "blockno", "blocksize", "canceled", "category", "checksum",
    "classname", "code", "command", "container", "creationdate", "current", "data",
    "defaultargs", "descriptorlocation", "descriptorversion", "devicelisttime", "devicestate",
    "dhcp", "inclusions", "endidentify", "endpoints", "error", "event", "exclusions", "isdirty",
    "family", "fingerprint", "files", "format", "gateway", "guid", "ip", "ipv4", "ipv6",
    "isflags", "label", "length", "level", "locatestate", "locating", "location", "mac",
    "manufacturer", "mark", "marker", "message", "mode", "model", "modifieddate", "muteparam",
    "name", "new", "params", "path", "port", "priority", "protocolversion", "reason", "readonly",
    "replyport", "requestid", "result", "serialnumber", "service", "size", "status", "targets",
    "timeout", "type", "value", "seqno", "state", "subnetmask", "time", "version", "writeonly",
};

}  // namespace

const char* ParamName(Param p) {
    auto index = static_cast<unsigned>(p);
    return index < static_cast<unsigned>(kParamCount) ? kNames[index] : "";
}

Param ParamFromName(std::string_view name) {
    // Every member of every received body is looked up here: one hashed search, not a
    // scan of all the names. Names come in lower case as a rule, and any locale leaves
    // such a name as it is: only another name is folded first.
    static const std::unordered_map<std::string_view, Param> index = [] {
        std::unordered_map<std::string_view, Param> built;
        for (int i = 0; i < kParamCount; ++i) {
            built.emplace(kNames[i], static_cast<Param>(i));
        }
        return built;
    }();
    const bool folded = std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && !(c >= 'A' && c <= 'Z');
    });
    const auto found = folded ? index.find(name) : index.find(LowerCase(name));
    return found == index.end() ? Param::unknown : found->second;
}

const std::map<std::string, Param>& ParamFromString() {
    static const std::map<std::string, Param> table = [] {
        std::map<std::string, Param> built;
        for (int i = 0; i < kParamCount; ++i) {
            built.emplace(kNames[i], static_cast<Param>(i));
        }
        return built;
    }();
    return table;
}

const std::map<Param, std::string>& StringFromParam() {
    static const std::map<Param, std::string> table = [] {
        std::map<Param, std::string> built;
        for (int i = 0; i < kParamCount; ++i) {
            built.emplace(static_cast<Param>(i), kNames[i]);
        }
        return built;
    }();
    return table;
}

}  // namespace Zelkor
