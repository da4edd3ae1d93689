#include "Arguments.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "Options.h"

namespace ZelkorNode {
namespace {

bool isGuid(const Json::Value& value) {
    std::string canonical;
    return value.isString() && CanonicalGuid(value.asString(), canonical);
}

bool isGuidList(const Json::Value& value) {
    return value.isArray() && !value.empty() && std::all_of(value.begin(), value.end(), isGuid);
}

std::string expected(const char* name, const char* what) { return std::string("\"") + name + "\": expected " + what; }

}  // namespace

std::string CommandWord(const Json::Value& command) {
    std::string word = command["cmd"].asString();
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    return word;
}

std::string NormalizeArguments(const std::string& word, Json::Value& command) {
    // The transfer words read the device, or the devices, under "device".
    static const std::set<std::string> transferWords = {"sendfile", "recvfile", "cancelput", "cancelsend"};
    const bool transfer = transferWords.count(word) != 0;
    const bool many = word == "sendfile" || word == "recvfile";
    // The member the user gave, named in an error as given.
    // Read through a const view: reading a member through the command itself would add it.
    const Json::Value& read = command;
    const char* given = read["guid"].isNull() && !read["device"].isNull() ? "device" : "guid";
    const Json::Value device = read[given];
    command.removeMember(given == std::string("guid") ? "device" : "guid");
    command.removeMember(given);
    if (!device.isNull()) {
        command[transfer ? "device" : "guid"] = device;
        // An empty one means "none" to the words that take none: theirs to judge.
        const bool none = !transfer && device.isString() && device.asString().empty();
        if (!none && !(isGuid(device) || (many && isGuidList(device)))) {
            return expected(given, many ? "a GUID or a list of GUIDs" : "a GUID");
        }
    }
    const Json::Value& port = read["port"];
    if (!port.isNull() && !(port.isUInt() && port.asUInt() >= 1 && port.asUInt() <= 65535)) {
        return expected("port", "a number 1-65535");
    }
    for (const char* text : {"tag", "address", "path", "mac"}) {
        if (!read[text].isNull() && !read[text].isString()) {
            return expected(text, "a text");
        }
    }
    return "";
}

}  // namespace ZelkorNode
