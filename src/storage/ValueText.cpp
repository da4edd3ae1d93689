#include "storage/ValueText.h"

#include <json/writer.h>

namespace Zelkor {

bool ValueText(const Json::Value& value, std::string& text) {
    if (value.isArray() || value.isObject()) {
        return false;
    }
    text = value.asString();
    return true;
}

std::string CompactJson(const Json::Value& value) {
    static const Json::StreamWriterBuilder kBuilder = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        return builder;
    }();
    return Json::writeString(kBuilder, value);
}

}  // namespace Zelkor
