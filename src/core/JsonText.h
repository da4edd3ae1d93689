#pragma once
// Reading and writing the JSON texts of message lines with the JSON library's builder
// classes. Peer text is read with a bounded nesting depth and never lets an exception
// out (an allocation failure excepted); the written form is the protocol's compact one.
//
// Threads: every function may be called from any thread; the builders behind them are
// immutable after their first use.

#include <cstddef>
#include <string>
#include <string_view>

#include <json/value.h>

namespace Zelkor {

// Deepest nesting of arrays and objects accepted from a peer; deeper text is refused
// rather than recursing without limit.
constexpr int kJsonDepthLimit = 1000;

// Most values (arrays, objects and the elements and members in them, roughly) a peer's
// text may hold. The JSON library spends some hundred bytes on each, so a line of the
// framer's full length of one-member objects would take hundreds of MB before any bound
// on entries could look at it; this leaves room for the entries bound of the multi-value
// messages, each entry with its path, format and value.
constexpr std::size_t kPeerJsonValueLimit = 500000;

enum class JsonReadResult {
    ok,
    malformed,  // not JSON; `errors` holds the reader's message
    tooDeep,    // the reader gave up; `errors` holds its exception text
    tooLarge,   // a peer's text of more than kPeerJsonValueLimit values, not read
};

// Reads the JSON value at the start of `text`; text after a complete value is ignored,
// as it always has been for message bodies. Comments are allowed and dropped.
JsonReadResult ReadJson(std::string_view text, Json::Value& out, std::string& errors);

// As ReadJson, for a peer's text: one of more than kPeerJsonValueLimit values is refused
// unread.
JsonReadResult ReadPeerJson(std::string_view text, Json::Value& out, std::string& errors);

// True when the text, past leading blanks, starts with a bracket: only such a text can
// hold an array or an object.
bool MayBeStructuredJson(std::string_view text);

// True when the whole text, apart from white space around it, is one JSON value without
// duplicate member names; `out` then holds it. Anything else (trailing words, comments,
// a duplicate key) leaves `out` untouched and gives false, so the caller keeps such a
// text as it is instead of losing what follows the value.
bool ReadWholeJson(std::string_view text, Json::Value& out);
// As ReadWholeJson, for a text that is one JSON array or object; a scalar gives false.
bool ReadStructuredJson(std::string_view text, Json::Value& out);

// The compact text: no blanks, no line feed, members in ascending byte order of their
// names, non-ASCII characters escaped.
std::string WriteCompactJson(const Json::Value& value);
// As WriteCompactJson, appended to `out`.
void AppendCompactJson(std::string& out, const Json::Value& value);
// The compact text of a JSON string holding `length` bytes of `text`, appended to `out`;
// `text` is followed by a NUL, as a C string's or a std::string's c_str() is.
void AppendQuotedJson(std::string& out, const char* text, std::size_t length);

}  // namespace Zelkor
