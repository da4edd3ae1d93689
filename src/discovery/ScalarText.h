#pragma once
// The text form of a JSON member as discovery reads it: strings as they are, booleans as
// "true"/"false", numbers in decimal, null as the empty text. Arrays and objects have no
// text form (false).

#include <string>

#include <json/value.h>

namespace Zelkor {

inline bool ScalarText(const Json::Value& value, std::string& out) {
    if (value.isArray() || value.isObject()) {
        return false;
    }
    out = value.asString();
    return true;
}

}  // namespace Zelkor
