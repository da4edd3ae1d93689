#include "storage/ValueText.h"


namespace Zelkor {

bool ValueText(const Json::Value& value, std::string& text) {
    if (value.isArray() || value.isObject()) {
        return false;
    }
    text = value.asString();
    return true;
}

}  // namespace Zelkor
