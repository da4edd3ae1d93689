#include "HostGuard.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace ZelkorSoak {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The text's number, when the whole of it (blanks around aside) is one.
bool numberOf(const std::string& text, double& number) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    number = std::strtod(begin, &end);
    if (end == begin || errno != 0) {
        return false;
    }
    while (*end != '\0' && std::isspace(static_cast<unsigned char>(*end))) {
        ++end;
    }
    return *end == '\0';
}

// Whether `path` is `ancestor` or lies beneath it (both normal).
bool within(const std::string& path, const std::string& ancestor) {
    if (ancestor == "/") {
        return true;
    }
    return path == ancestor || (path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
                                path[ancestor.size()] == '/');
}

bool loopbackV4(const in_addr& address) { return (ntohl(address.s_addr) >> 24) == 127; }

}  // namespace

std::string NormalPath(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string normal;
    for (const auto& part : parts) {
        normal += "/" + part;
    }
    return normal.empty() ? "/" : normal;
}

HostGuard::HostGuard(std::string runDir, std::vector<std::string> kept) : _runDir(NormalPath(runDir)) {
    for (const auto& path : kept) {
        _kept.push_back(NormalPath(path));
    }
}

void HostGuard::AllowPort(unsigned short port) { _ports.push_back(port); }

bool HostGuard::NamesFiles(const std::string& word) {
    static const char* const kWords[] = {"listfiles", "mkdir",   "rmdir",   "deletefile", "freespace",
                                         "putfile",   "getfile", "fwupdate", "block",     "cancelputfile"};
    std::string bare = lower(word);
    if (!bare.empty() && bare[0] == '@') {
        bare.erase(0, 1);
    }
    return std::any_of(std::begin(kWords), std::end(kWords), [&](const char* w) { return bare == w; });
}

bool HostGuard::FileAllowed(const std::string& path, const std::string& nodeFolder) const {
    const std::string normal = NormalPath(!path.empty() && path[0] == '/' ? path : nodeFolder + "/" + path);
    if (normal == _runDir || !within(normal, _runDir)) {
        return false;
    }
    return std::none_of(_kept.begin(), _kept.end(), [&](const std::string& kept) { return within(kept, normal); });
}

bool HostGuard::AddressAllowed(const std::string& given) {
    std::string text = given;
    // Blanks and brackets around it, or a port after it, would not keep a parser from it.
    const auto first = text.find_first_not_of(" \t[");
    const auto last = text.find_last_not_of(" \t]");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return loopbackV4(v4);
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return true;
        }
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            std::memcpy(&v4, &v6.s6_addr[12], 4);
            return loopbackV4(v4);
        }
        return false;
    }
    // "ADDRESS:PORT" and "[ADDRESS]:PORT".
    const auto colon = text.rfind(':');
    if (colon != std::string::npos && colon > 0 && text.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        std::string front = text.substr(0, colon);
        if (!front.empty() && front.back() == ']') {
            front.pop_back();
        }
        if (inet_pton(AF_INET, front.c_str(), &v4) == 1 || inet_pton(AF_INET6, front.c_str(), &v6) == 1) {
            return AddressAllowed(front);
        }
    }
    return true;
}

bool HostGuard::PortAllowed(const Json::Value& value) const {
    double number = 0;
    if (value.isNumeric()) {
        number = value.asDouble();
    } else if (!value.isString() || !numberOf(value.asString(), number)) {
        return true;
    }
    if (!std::isfinite(number) || number < 1 || number >= 65536) {
        return true;
    }
    return std::find(_ports.begin(), _ports.end(), static_cast<unsigned short>(number)) != _ports.end();
}

void HostGuard::Contain(const std::string& word, Json::Value& body, const std::string& nodeFolder,
                        const std::string& root) const {
    contain(body, NamesFiles(word), nodeFolder, root);
}

void HostGuard::contain(Json::Value& value, bool files, const std::string& nodeFolder, const std::string& root) const {
    if (value.isString()) {
        const std::string text = value.asString();
        if (!AddressAllowed(text)) {
            value = "127.0.0.1";
        } else if (files && !FileAllowed(text, nodeFolder)) {
            value = root + "/fuzz-guarded";
        }
    } else if (value.isArray()) {
        for (auto& element : value) {
            contain(element, files, nodeFolder, root);
        }
    } else if (value.isObject()) {
        for (const auto& member : value.getMemberNames()) {
            Json::Value& inner = value[member];
            const std::string name = lower(member);
            if ((name == "port" || name == "replyport") && !PortAllowed(inner) && !_ports.empty()) {
                inner = _ports.front();
            }
            contain(inner, files, nodeFolder, root);
        }
    }
}

}  // namespace ZelkorSoak
