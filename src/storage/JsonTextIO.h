#pragma once
// Reading and writing the one-line JSON texts that the storage records exchange
// (container bodies, event rows, lines of the event log).
//
// Everything here is a pure function: no state, safe from any thread. Nothing throws
// on bad input; text from peers and files is parsed with a nesting bound so that a
// hostile document cannot exhaust the stack when it is parsed, copied or destroyed.

#include <cstdint>
#include <optional>
#include <string>

#include <json/json.h>

namespace Zelkor {

// Deepest nesting of arrays and objects accepted from outside. Protocol values are
// flat or nearly so; the bound only has to stop abuse.
constexpr unsigned kMaxJsonDepth = 64;

// Parses `text` as the core's reader does (comments dropped, text after a complete value
// ignored), but refuses values nested deeper than kMaxJsonDepth. On failure returns
// false, leaves `out` null and puts the parser's message, on one line, in `error`.
bool ParseJsonText(const std::string& text, Json::Value& out, std::string& error);

// Whether no array or object in `value` is nested deeper than `maxDepth` levels
// (a scalar has depth 0, `[]` depth 1).
bool JsonDepthWithin(const Json::Value& value, unsigned maxDepth);

// The number the JSON library's asUInt64()/asUInt() would give, or nothing where it
// would throw (texts, arrays, objects, negative or too large numbers). Null reads as 0.
std::optional<std::uint64_t> JsonToUInt64(const Json::Value& value);
std::optional<unsigned> JsonToUInt(const Json::Value& value);

}  // namespace Zelkor
