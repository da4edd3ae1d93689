#pragma once
// One network exclusion rule: a peer named by class name, name or GUID. Also the reply
// that every add or remove request of rules is answered with: a summary text, a success
// flag and the values concerned, grouped under the text that says what became of them.
//
// Plain values; no sharing, no locking.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Zelkor {

struct ExcludedDevice {
    enum Type : std::int32_t {
        ClassName = 0,
        Name = 1,
        Guid = 2,
    };

    Type type = ClassName;
    std::string value;

    // The word of the type in storage paths: "classname", "name", "guid"; "unknown" for
    // any other number.
    static const char* GetTypeName(Type type);

    bool operator==(const ExcludedDevice& other) const { return type == other.type && value == other.value; }
    bool operator!=(const ExcludedDevice& other) const { return !(*this == other); }
};

// Message text -> the values it concerns, in the order met.
using RuleDetails = std::map<std::string, std::vector<std::string>>;
using RuleReply = std::function<void(const std::string message, bool ok, RuleDetails& details)>;

}  // namespace Zelkor
