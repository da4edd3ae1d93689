
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

#include "core/JsonText.h"

namespace Zelkor {

namespace {

Json::CharReaderBuilder lenientBuilder() {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["stackLimit"] = kJsonDepthLimit;
    return builder;
}

Json::CharReaderBuilder strictBuilder() {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowComments"] = false;
    builder["allowTrailingCommas"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    builder["stackLimit"] = kJsonDepthLimit;
    return builder;
}

JsonReadResult read(const Json::CharReaderBuilder& builder, std::string_view text,
                    Json::Value& out, std::string& errors) {
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        return reader->parse(text.data(), text.data() + text.size(), &out, &errors)
                   ? JsonReadResult::ok
                   : JsonReadResult::malformed;
    } catch (const Json::Exception& e) {
        errors = e.what();
        return JsonReadResult::tooDeep;
    }
}

// Only an array or an object can come out of a strict read that is kept; a text that
// starts with anything else is not worth building a reader for.
bool mayBeStructured(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && (text[first] == '{' || text[first] == '[');
}

}  // namespace

JsonReadResult ReadJson(std::string_view text, Json::Value& out, std::string& errors) {
    static const Json::CharReaderBuilder builder = lenientBuilder();
    return read(builder, text, out, errors);
}

bool ReadStructuredJson(std::string_view text, Json::Value& out) {
    if (!mayBeStructured(text)) {
        return false;
    }
    static const Json::CharReaderBuilder builder = strictBuilder();
    Json::Value parsed;
    std::string errors;
    if (read(builder, text, parsed, errors) != JsonReadResult::ok ||
        !(parsed.isArray() || parsed.isObject())) {
        return false;
    }
    out.swap(parsed);
    return true;
}

std::string WriteCompactJson(const Json::Value& value) {
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        // A comment would be written on lines of its own and break the one-line form.
        b["commentStyle"] = "None";
        return b;
    }();
    return Json::writeString(builder, value);
}

}  // namespace Zelkor
