#pragma once
// The runner speaks one compact JSON object per line, both ways.

#include <string>

#include <json/value.h>

namespace ZelkorSoak {

// The object on `line`; null when the line holds none.
Json::Value ParseLine(const std::string& line);

// Any JSON value in `text`; null when it holds none.
Json::Value ParseValue(const std::string& text);

// `value` as one line of compact JSON, without the newline.
std::string Compact(const Json::Value& value);

// A value as the checks compare it: a text as it is, any other value as compact JSON.
std::string ValueText(const Json::Value& value);

}  // namespace ZelkorSoak
