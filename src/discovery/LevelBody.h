#pragma once
// The typed bodies of "identify" and "locate": which members are written, and how a
// received member becomes a parameter's text. Values travel as JSON strings except the
// numbers, which go out only when their text is one and come in as strings or integers.
//
// Pure functions over one message: the thread that owns the message.

#include <cstdint>
#include <initializer_list>
#include <string>

#include <json/value.h>

#include "core/Message.h"
#include "discovery/NumberText.h"

namespace Zelkor {

namespace LevelBody {

// Each set parameter (not empty, not its own name) as a string member.
inline void PutStrings(const Message& message, Json::Value& body, std::initializer_list<Param> params) {
    for (Param p : params) {
        const std::string text = message.GetParamValue(p);
        if (!text.empty()) {
            body[ParamName(p)] = text;
        }
    }
}

// "port" as a JSON number when its text is an unsigned 16-bit number; else left out.
inline void PutPort(const Message& message, Json::Value& body) {
    std::uint16_t port = 0;
    if (NumberText::ReadUnsigned(message.GetParamValue(Param::port), port)) {
        body[ParamName(Param::port)] = Json::UInt(port);
    }
}

inline const Json::Value* Member(const Json::Value& body, Param p) {
    const char* name = ParamName(p);
    return body.isObject() ? body.find(name, name + std::char_traits<char>::length(name)) : nullptr;
}

// A non-empty JSON string becomes the parameter's text, kept byte for byte.
inline void TakeString(Message& message, const Json::Value& body, Param p) {
    const Json::Value* value = Member(body, p);
    if (value && value->isString() && !value->asString().empty()) {
        message.SetJsonParameter(p, *value);
    }
}

// A reply's "error" (a refusal: the node could not be asked), kept as its text. Read
// alone, never written: the parameter is not one the message declares, so that no unset
// error reads as one.
inline void TakeError(Message& message, const Json::Value& body) {
    const Json::Value* value = Member(body, Param::error);
    if (value && value->isString() && !value->asString().empty()) {
        message.SetParameterDirect(Param::error, value->asCString());
    }
}

// As TakeString, and a JSON integer becomes its decimal text.
inline void TakeNumber(Message& message, const Json::Value& body, Param p) {
    const Json::Value* value = Member(body, p);
    if (value && (value->type() == Json::intValue || value->type() == Json::uintValue)) {
        message.SetJsonParameter(p, Json::Value(value->asString()));
        return;
    }
    TakeString(message, body, p);
}

}  // namespace LevelBody

}  // namespace Zelkor
