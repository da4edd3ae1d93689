#pragma once
// Tolerant reads of a descriptor's attributes (".min", ".type", ".enums" and so on).
//
// Hand-written trees carry attributes of the wrong JSON type (a ".min" of "5", a ".type"
// of 3); none of these reads throws, and an attribute that cannot mean what is asked of it
// reads as absent. Every function accepts any node: a node that is not an object has no
// attributes. Stateless; safe from any thread.

#include <optional>
#include <string>

#include <json/value.h>

namespace Zelkor {

// The member `name` of an object node, or null when the node is no object or lacks it.
const Json::Value* FindAttribute(const Json::Value& node, const char* name);

// A number attribute: a JSON number, or a string whose whole text is a finite number.
std::optional<double> NumberAttribute(const Json::Value& node, const char* name);

// The same truncated toward zero to a signed 64-bit integer; absent when it does not fit.
std::optional<long long> Int64Attribute(const Json::Value& node, const char* name);

// The leading decimal integer of an attribute's text (the C `atoi` rule, saturating); 0
// when the node lacks it or it has no text (an array or object).
long long LeadingIntegerAttribute(const Json::Value& node, const char* name);

// A word attribute (".type", ".access", ".kind"): the text of the value, the empty word
// for an array or object; absent when the node lacks it.
std::optional<std::string> WordAttribute(const Json::Value& node, const char* name);

// A list attribute (".enums", ".flags") that is a non-empty JSON array; null otherwise.
const Json::Value* ListAttribute(const Json::Value& node, const char* name);

// The position of the first entry of a list whose text is `text`; the list's size when
// there is none.
Json::ArrayIndex EntryIndex(const Json::Value& list, const std::string& text);

// True only for the JSON boolean true.
bool IsTrueAttribute(const Json::Value& node, const char* name);

}  // namespace Zelkor
