#include "storage/ValueText.h"

#include "core/JsonText.h"

namespace Zelkor {

bool ValueText(const Json::Value& value, std::string& text) {
    if (value.isArray() || value.isObject()) {
        return false;
    }
    text = value.asString();
    return true;
}

std::string TextOrJson(const Json::Value& value) {
    std::string text;
    return ValueText(value, text) ? text : WriteCompactJson(value);
}

}  // namespace Zelkor
