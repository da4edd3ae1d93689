#include "core/MessageParameter.h"

#include "core/JsonText.h"

namespace Zelkor {

MessageParameter::MessageParameter(Param name, const char* text) : _name(name) {
    if (text) {
        addText(text);
    }
}

MessageParameter::MessageParameter(Param name, const std::string& text) : _name(name) { addText(text); }

MessageParameter::MessageParameter(Param name, const std::vector<std::string>& texts)
    : _name(name) {
    _values.reserve(texts.size());
    for (const auto& text : texts) {
        addText(text);
    }
}

MessageParameter::MessageParameter(Param name, const Json::Value& value)
    : _name(name), _values{value} {}

MessageParameter::MessageParameter(Param name, Json::Value&& value) : _name(name) {
    // Every member of a received body comes here: its payload changes places with a null
    // made in place, which costs half of a moved value (that also trades comments, which
    // no message text keeps).
    _values.emplace_back();
    _values.back().swapPayload(value);
}

void MessageParameter::addText(std::string_view text) {
    // A plain text, the rule, is made in its place: a moved JSON value costs about as
    // much as a new one.
    Json::Value structured;
    if (ReadStructuredJson(text, structured)) {
        _values.push_back(std::move(structured));
    } else {
        _values.emplace_back(text.data(), text.data() + text.size());
    }
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
