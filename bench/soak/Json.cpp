#include "Json.h"

#include <exception>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

namespace ZelkorSoak {

Json::Value ParseLine(const std::string& line) {
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    Json::Value value;
    std::string errors;
    try {
        if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors) || !value.isObject()) {
            return Json::Value();
        }
    } catch (const std::exception&) {
        return Json::Value();
    }
    return value;
}

Json::Value ParseValue(const std::string& text) {
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    Json::Value value;
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
            return Json::Value();
        }
    } catch (const std::exception&) {
        return Json::Value();
    }
    return value;
}

std::string Compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

std::string ValueText(const Json::Value& value) { return value.isString() ? value.asString() : Compact(value); }

}  // namespace ZelkorSoak
