#include "Tree.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>

#include <boost/filesystem/operations.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "core/JsonText.h"

namespace ZelkorNode {
namespace {

// The tree of a node started without --tree: what identifies it to its peers (they drop a
// discovery reply without a name or a class name), and the route array --route fills.
const char* const kMinimalTree = R"({
  "configuration": {
    ".kind": "obj",
    "device": {
      ".kind": "obj",
      "name": {".kind": "param", ".type": "string", ".min": 0, ".max": 63, ".value": ""},
      "guid": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""},
      "classname": {".kind": "param", ".type": "string", ".access": "ro", ".value": "node"},
      "model": {".kind": "param", ".type": "string", ".access": "ro", ".value": "zelkor_node"},
      "protocolversion": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""}
    },
    "network": {
      ".kind": "obj",
      "routes": {
        ".kind": "array", ".size": 0, ".static": true,
        ".prototype": {
          ".kind": "obj",
          "ipaddress": {".kind": "param", ".type": "string", ".value": ""},
          "port": {".kind": "param", ".type": "integer", ".min": 1, ".max": 65535, ".value": 4197}
        }
      }
    }
  }
})";

const char* const kDevicePath = "/configuration/device";
const char* const kNamePath = "/configuration/device/name";
const char* const kGuidPath = "/configuration/device/guid";
const char* const kRoutesPath = "/configuration/network/routes";
const char* const kMaxIncomingPath = "/configuration/network/rules/connect/maxincoming";

bool writeValue(Zelkor::IStorage& tree, const char* path, const Json::Value& value, std::string& error) {
    const auto status = tree.SetValueForPath(path, "variant", value, false);
    if (status != Zelkor::IStorage::PathOk) {
        error = std::string("cannot write ") + path + " in the tree: " + tree.GetStatusString(status);
        return false;
    }
    return true;
}

// A list rule goes into the first free element of its array. A tree without the array
// is refused in the words the library refuses a disco rule with.
bool storeListRule(Zelkor::IStorage& tree, const Exclusion& rule, std::string& error) {
    const std::string array = "/configuration/network/rules/exclude/list/" + rule.type;
    std::string held;
    for (int element = 1;; ++element) {
        const std::string path = array + "/" + std::to_string(element) + "/name";
        if (tree.GetValueForPath(path.c_str(), "string", held) != Zelkor::IStorage::PathOk) {
            error = element == 1 ? "Database not prepared for network rules: no array " + array +
                                       " in the tree for --exclude " + rule.Text()
                                 : "no free element in the tree for --exclude " + rule.Text();
            return false;
        }
        if (held.empty()) {
            return writeValue(tree, path.c_str(), rule.value, error);
        }
    }
}

// The routes of the options replace the elements of the tree's route array: each element
// a copy of the array's prototype with "ipaddress" and "port" written in. The discovery
// timer reads them from the tree.
bool storeRoutes(Zelkor::JsonModel& tree, const std::vector<Endpoint>& routes, std::string& error) {
    if (routes.empty()) {
        return true;
    }
    // Looked up without operator[], which would add what is missing.
    const auto child = [](Json::Value* node, const char* name) {
        return node && node->isObject() && node->isMember(name) ? &(*node)[name] : nullptr;
    };
    Json::Value* array = child(child(child(&tree.GetRoot(), "configuration"), "network"), "routes");
    Json::Value* prototype = child(array, ".prototype");
    if (!child(array, ".size") || !child(prototype, "ipaddress") || !child(prototype, "port")) {
        error = std::string("no route array with \"ipaddress\" and \"port\" at ") + kRoutesPath + " in the tree";
        return false;
    }
    const Json::Value element = *prototype;
    for (std::size_t index = 1; index <= routes.size(); ++index) {
        (*array)[std::to_string(index)] = element;
    }
    (*array)[".size"] = static_cast<Json::UInt64>(routes.size());
    for (std::size_t index = 1; index <= routes.size(); ++index) {
        const std::string path = std::string(kRoutesPath) + "/" + std::to_string(index) + "/";
        const auto& [address, port] = routes[index - 1];
        if (!writeValue(tree, (path + "ipaddress").c_str(), Json::Value(address), error) ||
            !writeValue(tree, (path + "port").c_str(), Json::Value(port), error)) {
            return false;
        }
    }
    return true;
}

// The whole file. A folder opens as a file and fails only when read: it is named as one.
bool readFile(const std::string& path, std::string& text, std::string& error) {
    boost::system::error_code code;
    if (boost::filesystem::is_directory(path, code)) {
        error = "cannot read the tree " + path + ": it is a folder";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the tree " + path + ": " + std::strerror(errno);
        return false;
    }
    // The file buffer throws what it cannot read, past the stream's own error state.
    try {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception& failure) {
        error = "cannot read the tree " + path + ": " + failure.what();
        return false;
    }
    return true;
}

// What is wrong with the text as JSON, where ("" when nothing is): the tree model takes
// a text it cannot parse as no tree, without saying where.
std::string parseFault(const std::string& text) {
    Json::Value ignored;
    std::string errors;
    if (Zelkor::ReadJson(text, ignored, errors) == Zelkor::JsonReadResult::ok) {
        return std::string();
    }
    // The reader tells each fault on lines of its own: "* Line L, Column C" then the
    // message; the first fault in one line is enough.
    std::string first;
    std::size_t start = 0;
    for (int lines = 0; lines < 2 && start < errors.size(); ++lines) {
        const std::size_t end = errors.find('\n', start);
        std::string line = errors.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::size_t words = line.find_first_not_of("* ");
        line = words == std::string::npos ? std::string() : line.substr(words);
        first += first.empty() ? line : ": " + line;
        start = end == std::string::npos ? errors.size() : end + 1;
    }
    return first;
}

}  // namespace

std::shared_ptr<Zelkor::JsonModel> LoadTree(Options& options, std::string& error) {
    std::shared_ptr<Zelkor::JsonModel> tree;
    if (options.tree.empty()) {
        tree = std::make_shared<Zelkor::JsonModel>(kMinimalTree);
    } else {
        std::string text;
        if (!readFile(options.tree, text, error)) {
            return nullptr;
        }
        const std::string malformed = parseFault(text);
        if (!malformed.empty()) {
            error = "cannot read the tree " + options.tree + ": not JSON: " + malformed;
            return nullptr;
        }
        tree = std::make_shared<Zelkor::JsonModel>(text);
    }
    if (!tree->GetRoot().isObject()) {
        error = "no parameter tree in " + options.tree;
        return nullptr;
    }
    if (!options.name.empty()) {
        if (!writeValue(*tree, kNamePath, options.name, error)) {
            return nullptr;
        }
    } else {
        std::string name;
        if (tree->GetValueForPath(kNamePath, "string", name) == Zelkor::IStorage::PathOk) {
            options.name = name;
        }
    }
    // Two nodes with one GUID take each other's replies for their own and drop them: a
    // tree without a GUID gets a new one, never a fixed default.
    std::string held;
    if (tree->GetValueForPath(kGuidPath, "string", held) == Zelkor::IStorage::InvalidPath) {
        std::string parameter = R"({".kind": "param", ".type": "string", ".access": "ro", ".value": ""})";
        tree->AddObjectToPath(kDevicePath, "guid", parameter);
    }
    if (options.guid.empty() && !CanonicalGuid(held, options.guid)) {
        options.guid = boost::uuids::to_string(boost::uuids::random_generator()());
    }
    if (!writeValue(*tree, kGuidPath, options.guid, error)) {
        return nullptr;
    }
    // Peers drop a discovery reply without a name: the runner's own tree names the node
    // after its GUID.
    if (options.name.empty() && options.tree.empty()) {
        options.name = "node-" + options.guid.substr(0, 8);
        if (!writeValue(*tree, kNamePath, options.name, error)) {
            return nullptr;
        }
    }
    for (const auto& rule : options.exclude) {
        if (rule.set == "list" && !storeListRule(*tree, rule, error)) {
            return nullptr;
        }
    }
    if (!storeRoutes(*tree, options.routes, error)) {
        return nullptr;
    }
    // The library admits any number of peers unless told otherwise, and each may hold a
    // line's worth of memory: the runner keeps a limit unless the tree or --max-incoming
    // sets one.
    if (!options.maxIncoming && tree->GetValueForPath(kMaxIncomingPath, "string", held) != Zelkor::IStorage::PathOk) {
        options.maxIncoming = kDefaultMaxIncoming;
    }
    return tree;
}

}  // namespace ZelkorNode
