#pragma once
// Text forms of JSON values. Stateless; safe from any thread.

#include <string>

#include <json/value.h>

namespace Zelkor {

// The value's text as the JSON library's string conversion gives it (a string as it is,
// "true"/"false", numbers in decimal, null as the empty text). Arrays and objects have no
// text: false, and `text` is left alone.
bool ValueText(const Json::Value& value, std::string& text);

// The value's text where it has one, else its compact JSON text: what log lines and
// readable forms show of any value.
std::string TextOrJson(const Json::Value& value);

}  // namespace Zelkor
