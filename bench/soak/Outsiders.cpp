#include "Outsiders.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace ZelkorSoak {
namespace {

// Lower case, without braces: the forms a GUID is written in compare alike.
std::string canonical(const std::string& guid) {
    std::string text;
    for (const char c : guid) {
        if (c != '{' && c != '}') {
            text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return text;
}

}  // namespace

void Outsiders::Member(const std::string& guid) {
    if (!guid.empty()) {
        _members.insert(canonical(guid));
    }
}

void Outsiders::Listed(const std::string& observer, const std::string& guid, const std::string& line, double now) {
    if (guid.empty()) {
        return;
    }
    char at[32];
    std::snprintf(at, sizeof at, "%.3f s ", now);
    _listed.emplace(canonical(guid), at + observer + ": " + line);
}

Findings::Kind Outsiders::Found() const {
    Findings::Kind found;
    for (const auto& [guid, line] : _listed) {
        if (_members.count(guid) == 0) {
            ++found.count;
            if (found.examples.size() < 10) {
                found.examples.push_back(line);
            }
        }
    }
    return found;
}

}  // namespace ZelkorSoak
