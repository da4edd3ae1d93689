#include "core/MessageForwardInfo.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include <boost/algorithm/string/join.hpp>

#include "core/BlockBody.h"
#include "core/Digest.h"
#include "core/JsonText.h"
#include "core/LoggedLine.h"

namespace Zelkor {

namespace {

// The scanner works on bytes and must not depend on the global locale.
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isNameChar(char c) {
    return isDigit(c) || isLower(c) || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' || c == '_';
}
bool isPathChar(char c) { return isNameChar(c) || c == '&'; }
// White space as the "C" locale has it.
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

template <class Pred>
std::size_t skipWhile(std::string_view text, std::size_t at, Pred pred) {
    while (at < text.size() && pred(text[at])) {
        ++at;
    }
    return at;
}

std::size_t skipBlanks(std::string_view text, std::size_t at) {
    return skipWhile(text, at, [](char c) { return c == ' ' || c == '\t'; });
}

bool byteIs(std::string_view text, std::size_t at, char c) { return at < text.size() && text[at] == c; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

void appendPaths(std::string& out, const MessageForwardInfo::PathList& list) {
    for (std::size_t n = 0; n < list.size(); ++n) {
        if (n > 0) {
            out += '&';
        }
        out += list[n];
    }
}

}  // namespace

MessageForwardInfo::MessageForwardInfo() : ZelkorLoggable("MFWD") {}

MessageForwardInfo::MessageForwardInfo(const std::string& targets, const std::string& sources,
                                       const std::string& deviceName)
    : _deviceName(deviceName) {
    SetTargetPaths(targets);
    SetSourcePaths(sources);
}

namespace {

void moveText(std::string& to, std::string& from) {
    if (!to.empty() || !from.empty()) {
        to = std::move(from);
    }
}

}  // namespace

MessageForwardInfo& MessageForwardInfo::operator=(MessageForwardInfo&& other) noexcept {
    if (this == &other) {
        return *this;
    }
    ZelkorLoggable::operator=(std::move(other));
    moveText(_deviceName, other._deviceName);
    _sourcePaths = std::move(other._sourcePaths);
    _targetPaths = std::move(other._targetPaths);
    moveText(_hashText, other._hashText);
    moveText(_sequenceText, other._sequenceText);
    moveText(_idText, other._idText);
    moveText(_targetText, other._targetText);
    moveText(_sourceText, other._sourceText);
    moveText(_command, other._command);
    moveText(_text, other._text);
    _bodyAt = other._bodyAt;
    _bodyLength = other._bodyLength;
    _counter = other._counter;
    _json = std::move(other._json);
    _sourcesRefused = other._sourcesRefused;
    _targetsRefused = other._targetsRefused;
    _bodyOverBound = other._bodyOverBound;
    isReply = other.isReply;
    hasHash = other.hasHash;
    return *this;
}

MessageForwardInfo MessageForwardInfo::RouteOnly() const {
    MessageForwardInfo route;
    route.SetLogModuleName(LogModuleName());
    route._deviceName = _deviceName;
    route._sourcePaths = _sourcePaths;
    route._targetPaths = _targetPaths;
    route._sourcesRefused = _sourcesRefused;
    route._targetsRefused = _targetsRefused;
    return route;
}

MessageForwardInfo MessageForwardInfo::WithoutBody() const {
    MessageForwardInfo header = RouteOnly();
    header._hashText = _hashText;
    header._sequenceText = _sequenceText;
    header._idText = _idText;
    header._targetText = _targetText;
    header._sourceText = _sourceText;
    header._command = _command;
    header._counter = _counter;
    header.isReply = isReply;
    header.hasHash = hasHash;
    return header;
}

bool MessageForwardInfo::SplitPaths(const std::string& text, PathList& list) {
    list.clear();
    const std::string_view all(text);
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('&', start);
        if (end == std::string_view::npos) {
            end = all.size();
        }
        const std::string_view name = trimmed(all.substr(start, end - start));
        if (!std::all_of(name.begin(), name.end(), isNameChar)) {
            list.clear();
            const ZelkorLoggable log("MFWD");
            if (log.LogLevel() >= 1) {
                // Quoted, so that a line break or a forged line inside the name stays
                // within this log line.
                log.PeerError("ZK5106E Invalid characters in path name",
                              [&] { return LoggedLine(WriteCompactJson(Json::Value(text))); });
            }
            return false;
        }
        list.emplace_back(name);
        start = end + 1;
    }
    return true;
}

bool MessageForwardInfo::SetSourcePaths(const std::string& text) {
    _sourcesRefused = !SplitPaths(text, _sourcePaths);
    return !_sourcesRefused;
}

bool MessageForwardInfo::SetTargetPaths(const std::string& text) {
    _targetsRefused = !SplitPaths(text, _targetPaths);
    return !_targetsRefused;
}

std::string MessageForwardInfo::GetPaths(const PathList& list) { return boost::algorithm::join(list, "&"); }

std::string MessageForwardInfo::GetSource() const {
    return _sourcePaths.empty() ? std::string() : _sourcePaths.back();
}

std::string MessageForwardInfo::ImmediateDestination() const {
    return _targetPaths.empty() ? std::string() : _targetPaths.front();
}

std::string MessageForwardInfo::FinalDestination() const {
    return _targetPaths.empty() ? std::string() : _targetPaths.back();
}

void MessageForwardInfo::ReversePaths() {
    _targetPaths.swap(_sourcePaths);
    std::swap(_targetsRefused, _sourcesRefused);
}

bool MessageForwardInfo::TransitionTargetToSource(std::string& next) {
    if (_targetPaths.size() < 2) {
        return false;
    }
    _sourcePaths.insert(_sourcePaths.begin(), _targetPaths.front());
    _targetPaths.erase(_targetPaths.begin());
    next = _targetPaths.front();
    return true;
}

std::string MessageForwardInfo::GetCommand() const {
    return (!_command.empty() && _command.front() == '@') ? _command.substr(1) : _command;
}

void MessageForwardInfo::SetHash(const std::string& guid) {
    SHA256Digest digest;
    digest.Update(guid);
    _idText = digest.GetDigest().substr(0, 4);
}

bool MessageForwardInfo::AppendMessageForwardHeader(std::string& out) {
    if (HasRefusedPath()) {
        return false;
    }
    if (hasHash) {
        if (!_hashText.empty()) {
            out += _hashText;
        } else {
            out += std::to_string(++_counter);
            if (!_idText.empty()) {
                out += '-';
                out += _idText;
            }
        }
        out += ' ';
    }
    if (!_targetPaths.empty() && !_sourcePaths.empty()) {
        const bool backToUs = _targetPaths.size() == 1 && _targetPaths.front() == _deviceName;
        out += '[';
        appendPaths(out, backToUs ? _sourcePaths : _targetPaths);
        out += "][";
        appendPaths(out, backToUs ? _targetPaths : _sourcePaths);
        out += "] ";
    }
    return true;
}

bool MessageForwardInfo::AppendHeader(std::string& out, bool request, const char* command) {
    if (!AppendMessageForwardHeader(out)) {
        return false;
    }
    if (!request) {
        out += '@';
    }
    if (command) {
        out += command;
    }
    out += ' ';
    return true;
}

// Written as one text, the header keeps the caller's stream flags (hex, width) out of the
// hash counter.
bool MessageForwardInfo::PutMessageForwardHeader(std::ostream& out) {
    std::string text;
    if (!AppendMessageForwardHeader(text)) {
        return false;
    }
    out << text;
    return true;
}

bool MessageForwardInfo::PutHeader(std::ostream& out, bool request, const char* command) {
    std::string text;
    if (!AppendHeader(text, request, command)) {
        return false;
    }
    out << text;
    return true;
}

bool MessageForwardInfo::reject(const char* text, const std::string& line) {
    if (LogLevel() >= 1) {
        PeerError(text, [&] { return LoggedLine(line); });
    }
    return false;
}

bool MessageForwardInfo::Parse(const std::string& line, bool withBody) {
    _text.clear();
    _bodyAt = 0;
    _bodyLength = 0;
    // The line ends at its first NUL, as a C text would.
    const std::string_view text(line.c_str());
    std::size_t bodyAt = 0;
    if (!scan(text, line, withBody, bodyAt)) {
        return false;
    }
    if (withBody) {
        // A copy of the body alone: the line stays the caller's.
        _text.assign(text.substr(bodyAt, bodyLengthAt(text, bodyAt)));
        _bodyLength = _text.size();
    }
    return readBody(line, withBody);
}

bool MessageForwardInfo::TakeReceived(std::string& line) {
    // A short line in a buffer a long one grew is copied, not taken: a message kept for
    // later must not hold on to the large buffer. Otherwise the buffers trade places.
    constexpr std::size_t smallBuffer = 4096;
    if (line.capacity() > smallBuffer && line.capacity() / 4 > line.size()) {
        _text.assign(line);
    } else {
        _text.swap(line);
    }
    line.clear();
    _bodyAt = 0;
    _bodyLength = 0;
    clearPaths();
    const std::string_view text(_text.c_str());
    std::size_t bodyAt = 0;
    if (text.empty() || !scan(text, _text, true, bodyAt)) {
        return false;
    }
    // The body is read where it lies in the line: a file block is not copied.
    _bodyAt = bodyAt;
    _bodyLength = bodyLengthAt(text, bodyAt);
    if (!readBody(_text, true, true)) {
        return false;
    }
    SetTargetPaths(_targetText);
    SetSourcePaths(_sourceText);
    return true;
}

std::size_t MessageForwardInfo::bodyLengthAt(std::string_view text, std::size_t at) {
    const std::size_t lineEnd = text.find('\n', at);
    return (lineEnd == std::string_view::npos ? text.size() : lineEnd) - at;
}

bool MessageForwardInfo::scan(std::string_view text, const std::string& line, bool withBody, std::size_t& bodyAt) {
    _hashText.clear();
    _sequenceText.clear();
    _targetText.clear();
    _sourceText.clear();
    _command.clear();
    _bodyOverBound = false;
    DropJsonBody();

    std::size_t at = skipBlanks(text, 0);

    if (at < text.size() && isDigit(text[at])) {
        const std::size_t digitsEnd = skipWhile(text, at, isDigit);
        _sequenceText = text.substr(at, digitsEnd - at);
        std::size_t hashEnd = digitsEnd;
        if (byteIs(text, digitsEnd, '-')) {
            if (digitsEnd + 1 >= text.size() || !isHex(text[digitsEnd + 1])) {
                return reject("ZK5100E Invalid characters in sender hash", line);
            }
            hashEnd = skipWhile(text, digitsEnd + 1, isHex);
            _idText = text.substr(digitsEnd + 1, hashEnd - digitsEnd - 1);
        }
        _hashText = text.substr(at, hashEnd - at);
        at = skipBlanks(text, hashEnd);
    }

    if (byteIs(text, at, '[')) {
        std::size_t end = skipWhile(text, at + 1, isPathChar);
        _targetText = text.substr(at + 1, end - at - 1);
        if (!byteIs(text, end, ']')) {
            return reject("ZK5103E Invalid characters in target header", line);
        }
        at = skipBlanks(text, end + 1);
        if (!byteIs(text, at, '[')) {
            return reject("ZK5102E Invalid characters after target header", line);
        }
        end = skipWhile(text, at + 1, isPathChar);
        _sourceText = text.substr(at + 1, end - at - 1);
        if (!byteIs(text, end, ']')) {
            return reject("ZK5101E Invalid characters in source header", line);
        }
        at = skipBlanks(text, end + 1);
    }

    if (at >= text.size() || !(text[at] == '@' || isLower(text[at]))) {
        return reject("ZK5105E Invalid characters in command", line);
    }
    const std::size_t commandEnd = skipWhile(text, at + 1, isLower);
    _command = text.substr(at, commandEnd - at);
    isReply = text[at] == '@';
    bodyAt = withBody ? skipWhile(text, commandEnd, [](char c) { return c == ' ' || c == '\t' || c == '\r'; })
                      : text.size();
    return true;
}

bool MessageForwardInfo::readBody(const std::string& line, bool withBody, bool keepOverBound) {
    if (withBody && _bodyLength > 0 && !readBlockBody()) {
        std::string errors;
        const JsonReadResult read = ReadPeerJson(JsonText(), _json.emplace(), errors);
        if (read != JsonReadResult::ok) {
            DropJsonBody();
            if (read != JsonReadResult::tooLarge) {
                return reject("ZK5104E Invalid JSON parameters", line);
            }
            reject("ZK5107E JSON parameters hold too many values", line);
            if (!keepOverBound) {
                return false;
            }
            // The header, read before the body, stands: the line is answered for its word.
            _bodyOverBound = true;
        }
    }
    hasHash = !_sequenceText.empty();
    return true;
}

bool MessageForwardInfo::readBlockBody() {
    if (_command != "block" && _command != "@block") {
        return false;
    }
    BlockBody body;
    if (!ReadBlockBody(TrimmedJsonText(), body)) {
        return false;
    }
    Json::Value& json = _json.emplace(Json::objectValue);
    if (body.hasNumber) {
        // The types the JSON reader gives a number of that size.
        json["blockno"] = body.number <= static_cast<std::uint64_t>(std::numeric_limits<Json::Int64>::max())
                              ? Json::Value(static_cast<Json::Int64>(body.number))
                              : Json::Value(static_cast<Json::UInt64>(body.number));
        json["data"] = Json::Value(body.data.data(), body.data.data() + body.data.size());
    }
    return true;
}

void MessageForwardInfo::clearPaths() {
    _targetPaths.clear();
    _sourcePaths.clear();
    _targetsRefused = false;
    _sourcesRefused = false;
}

bool MessageForwardInfo::ReadReceived(const std::string& line, bool withBody) {
    clearPaths();
    if (line.empty() || !Parse(line, withBody)) {
        return false;
    }
    SetTargetPaths(_targetText);
    SetSourcePaths(_sourceText);
    return true;
}

std::string_view MessageForwardInfo::TrimmedJsonText() const { return trimmed(JsonText()); }

std::string MessageForwardInfo::PullHeader(const std::string& line, bool withBody) {
    if (!ReadReceived(line, withBody)) {
        return std::string();
    }
    // The word starts the rest and is never blank; the JSON text may end in blanks.
    if (_bodyLength == 0) {
        return _command;
    }
    const std::string_view json = TrimmedJsonText();
    std::string rest;
    rest.reserve(_command.size() + 1 + json.size());
    rest += _command;
    rest += ' ';
    rest += json;
    return rest;
}

}  // namespace Zelkor
