#include "core/MessageParameter.h"

#include "core/JsonText.h"

namespace Zelkor {

MessageParameter::MessageParameter(Param name, const char* text) : _name(name) {
    if (text) {
        _values.push_back(fromText(text));
    }
}

MessageParameter::MessageParameter(Param name, const std::string& text)
    : _name(name), _values{fromText(text)} {}

MessageParameter::MessageParameter(Param name, const std::vector<std::string>& texts)
    : _name(name) {
    _values.reserve(texts.size());
    for (const auto& text : texts) {
        _values.push_back(fromText(text));
    }
}

MessageParameter::MessageParameter(Param name, const Json::Value& value)
    : _name(name), _values{value} {}

Json::Value MessageParameter::fromText(const std::string& text) {
    Json::Value structured;
    if (ReadStructuredJson(text, structured)) {
        return structured;
    }
    return Json::Value(text);
}

const char* MessageParameter::ParameterValue(std::size_t index) const {
    if (index >= _values.size()) {
        _textCache.clear();
    } else if (_values[index].isString()) {
        _textCache = _values[index].asString();
    } else {
        _textCache = WriteCompactJson(_values[index]);
    }
    return _textCache.c_str();
}

void MessageParameter::ParameterJsonValue(Json::Value& out, std::size_t index) const {
    if (index < _values.size()) {
        out = _values[index];
    }
}

}  // namespace Zelkor
