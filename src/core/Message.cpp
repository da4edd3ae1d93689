#include "core/Message.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <string_view>

#include <boost/algorithm/string/predicate.hpp>

#include "core/CLocaleNumber.h"
#include "core/JsonText.h"

namespace Zelkor {

namespace {

// The whole text must be the number: partial reads fall back to strings in the writers.
bool readSigned(std::string_view text, Json::Int64& value) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return false;
        }
    }
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

bool readUnsigned(std::string_view text, Json::UInt64& value) {
    const bool negate = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        text.remove_prefix(1);
    }
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) {
        return false;
    }
    if (negate) {
        value = 0 - value;
    }
    return true;
}

const char* const kArgumentsKey = "arguments";

// A number when the whole text reads as one, the text itself otherwise, null for none.
template <class Number>
void putNumber(Json::Value& object, Param p, const char* text, bool (*read)(std::string_view, Number&)) {
    Number value = 0;
    if (!text || !*text) {
        Message::putNul(object, p);
    } else if (read(text, value)) {
        object[Message::GetStringFromParam(p)] = Json::Value(value);
    } else {
        Message::putString(object, p, text);
    }
}

}  // namespace

Message::Message(std::initializer_list<Param> declared) : _declared(declared) {}

Message::Message(const std::vector<Param>& declared) : _declared(declared.begin(), declared.end()) {}

std::string Message::GetParamValue(Param p) const {
    const char* text = GetParameter(p);
    if (!text || std::string_view(text) == GetStringFromParam(p)) {
        return std::string();
    }
    return text;
}

Param Message::declaredParam(std::string_view name) const {
    // A member is a declared name as a rule: those few are compared before the whole
    // table is searched.
    for (Param p : _declared) {
        if (name == ParamName(p)) {
            return p;
        }
    }
    return ParamFromName(name);
}

bool Message::IsValidParameterName(Param p) const {
    return p != Param::unknown && std::find(_declared.begin(), _declared.end(), p) != _declared.end();
}

bool Message::ParseJson(const std::string& text, Json::Value& out, std::string& error) const {
    const auto start = text.find_first_of("{[");
    if (start == std::string::npos) {
        out = Json::Value(Json::objectValue);
        return true;
    }
    switch (ReadPeerJson(std::string_view(text).substr(start), out, error)) {
        case JsonReadResult::ok:
            return true;
        case JsonReadResult::malformed:
            error = "Error while parsing json";
            return false;
        case JsonReadResult::tooLarge:
            error = "Too many entries";
            return false;
        case JsonReadResult::tooDeep:
            break;
    }
    return false;
}

std::string Message::Build(bool request) const {
    std::string line = ToNetworkFormat(request);
    if (!line.empty()) {
        line += '\n';
    }
    return line;
}

std::string Message::Build(MessageForwardInfo& header, bool request) const {
    std::string out;
    if (!header.AppendMessageForwardHeader(out)) {
        return std::string();
    }
    const std::string line = ToNetworkFormat(request);
    if (line.empty()) {
        return line;
    }
    out += line;
    out += '\n';
    return out;
}

void Message::SetMessageForwardInfo(const MessageForwardInfo& info) {
    GetRawText();
    _forwardInfo = info;
}

void Message::SetMessageForwardInfo(MessageForwardInfo&& info) {
    GetRawText();
    _forwardInfo = std::move(info);
}

const std::string& Message::GetRawText() const {
    if (_rawTextInHeader) {
        const std::string& word = _forwardInfo.CommandText();
        const std::string_view json = _forwardInfo.JsonText();
        _rawText.clear();
        _rawText.reserve(word.size() + 1 + json.size());
        _rawText += word;
        _rawText += ' ';
        _rawText += json;
        _rawTextInHeader = false;
    }
    return _rawText;
}

void Message::SetRawText(std::string text) {
    _rawText = std::move(text);
    _rawTextInHeader = false;
}

bool Message::SetParameter(Param p, const char* text) {
    if (!IsValidParameterName(p)) {
        return false;
    }
    if (!text) {
        _parameters.Erase(p);
    } else {
        _parameters.Store(p, text);
    }
    return true;
}

bool Message::SetJsonParameter(Param p, const Json::Value& value) {
    if (!IsValidParameterName(p)) {
        return false;
    }
    if (value.isNull()) {
        _parameters.Erase(p);
    } else {
        _parameters.Store(p, value);
    }
    return true;
}

void Message::SetParameterDirect(Param p, const char* text) {
    _parameters.Store(p, text);
}

const char* Message::GetParameter(Param p) const {
    const MessageParameter* found = _parameters.Find(p);
    return found ? found->ParameterValue(0) : nullptr;
}

std::vector<MessageParameter> Message::GetParameters() const {
    std::vector<MessageParameter> parameters;
    for (Param p : _declared) {
        if (const char* text = GetParameter(p)) {
            parameters.emplace_back(p, text);
        }
    }
    return parameters;
}

std::vector<Param> Message::GetParamEnums() const {
    std::vector<Param> set;
    for (Param p : _declared) {
        if (GetParameter(p)) {
            set.push_back(p);
        }
    }
    return set;
}

std::string Message::ToNetworkFormat(bool request) const {
    std::string out;
    MessageForwardInfo header(_forwardInfo);
    if (!header.AppendMessageForwardHeader(out)) {
        return std::string();
    }
    out += ToJson(request);
    return out;
}

bool Message::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    return FromJson(request, line, error);
}

bool Message::FromReceived(bool request, const std::string& line, MessageForwardInfo& header, std::string& error) {
    struct Received {
        Message& message;
        ~Received() {
            message._receivedLine = nullptr;
            message._receivedHeader = nullptr;
        }
    } received{*this};
    _receivedLine = &line;
    _receivedHeader = &header;
    const bool ok = FromNetworkFormat(request, line, error);
    // A body the class did not take is not needed any more, and copies of the header
    // (every message keeps one) stay light without it.
    header.DropJsonBody();
    return ok;
}

Json::Value* Message::receivedBody(const std::string& line) const {
    // The receiver's parse checked the text already: a body that starts with a bracket
    // is there, parsed, unless an earlier read took it. Any other text is read anew.
    if (!ReceivedHeader(line)) {
        return nullptr;
    }
    const std::string_view json = _receivedHeader->JsonText();
    if (json.empty() || (json.front() != '{' && json.front() != '[')) {
        return nullptr;
    }
    return _receivedHeader->ParsedJsonBody();
}

const MessageForwardInfo* Message::ReceivedHeader(const std::string& line) const {
    if (!_receivedHeader || (&line != _receivedLine && line != *_receivedLine)) {
        return nullptr;
    }
    return _receivedHeader;
}

std::string Message::ToJson(bool request) const {
    std::string line = request ? "" : "@";
    line += CommandName();
    Json::Value body(Json::objectValue);
    for (const auto& parameter : GetParameters()) {
        body[GetStringFromParam(parameter.ParameterName())] = parameter.ParameterValue(0);
    }
    if (!body.empty()) {
        line += ' ';
        line += WriteCompactJson(body);
    }
    return line;
}

bool Message::FromJson(bool /*request*/, const std::string& line, std::string& error) {
    // The body the receiver parsed is read where it lies, its values moved out, and then
    // dropped: it is neither copied nor swapped over first.
    if (Json::Value* received = receivedBody(line)) {
        storeMembers(*received);
        _receivedHeader->DropJsonBody();
        return true;
    }
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    storeMembers(body);
    return true;
}

void Message::storeMembers(Json::Value& body) {
    if (!body.isObject()) {
        return;
    }
    // Storing a member moves its value, never the member itself: the end stays put.
    for (auto member = body.begin(), end = body.end(); member != end; ++member) {
        if (member->isArray() || member->isObject()) {
            continue;
        }
        // Names are read in place and plain texts moved over: most bodies are a few short
        // members, and copying each out cost more than storing it. A text that may hold
        // JSON of its own goes the long way, where it is read as such.
        const char* nameEnd = nullptr;
        const char* name = member.memberName(&nameEnd);
        const Param p = declaredParam(std::string_view(name, static_cast<std::size_t>(nameEnd - name)));
        const char* text = nullptr;
        const char* textEnd = nullptr;
        if (member->isString() && member->getString(&text, &textEnd) &&
            !MayBeStructuredJson(std::string_view(text, static_cast<std::size_t>(textEnd - text)))) {
            if (IsValidParameterName(p)) {
                _parameters.Store(p, std::move(*member));
            }
        } else {
            SetParameter(p, member->asString().c_str());
        }
    }
}

bool Message::GetIsError(std::string& error) const {
    const char* text = GetParameter(Param::error);
    if (!text) {
        return false;
    }
    error = text;
    return true;
}

void Message::GetJsonParameter(Json::Value& out, Param p) const {
    if (const MessageParameter* found = _parameters.Find(p)) {
        found->ParameterJsonValue(out, 0);
    } else {
        out = Json::Value();
    }
}

const Json::Value* Message::JsonParameterAt(Param p) const {
    const MessageParameter* found = _parameters.Find(p);
    return found ? found->JsonValueAt(0) : nullptr;
}

void Message::putNul(Json::Value& object, Param p) { object[GetStringFromParam(p)] = Json::Value(); }

void Message::putString(Json::Value& object, Param p, const char* text) {
    object[GetStringFromParam(p)] = text ? Json::Value(text) : Json::Value();
}

void Message::putInt(Json::Value& object, Param p, const char* text) {
    putNumber<Json::Int64>(object, p, text, readSigned);
}

void Message::putUint(Json::Value& object, Param p, const char* text) {
    putNumber<Json::UInt64>(object, p, text, readUnsigned);
}

void Message::putBool(Json::Value& object, Param p, const char* text) {
    object[GetStringFromParam(p)] = text ? Json::Value(boost::algorithm::iequals(text, "true")) : Json::Value();
}

int Message::stoi(const char* text) {
    if (!text) {
        return 0;
    }
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        return 0;
    }
    return static_cast<int>(value);
}

double Message::stod(const char* text) {
    if (!text) {
        return 0.0;
    }
    errno = 0;
    char* end = nullptr;
    const double value = StrtodC(text, &end);
    return (end == text || errno == ERANGE) ? 0.0 : value;
}

const char* Message::GetStringFromParam(Param p) { return ParamName(p); }

Param Message::GetParamFromString(const std::string& name) { return ParamFromName(name); }

bool Message::AddParameter(const char* name, const char* value) {
    if (!name || !value || !GetOrderedParms().empty()) {
        return false;
    }
    GetNamedParms()[name] = value;
    return true;
}

bool Message::AddParameter(const char* value) {
    if (!value || !GetNamedParms().empty()) {
        return false;
    }
    GetOrderedParms().emplace_back(value);
    return true;
}

void Message::SetParms(const std::string& text) {
    // Only a text that is one JSON value as a whole becomes JSON arguments: reading the
    // value at its front would drop the words after it ("42 apples").
    Arguments& arguments = _arguments.Get();
    if (!ReadWholeJson(text, arguments.json)) {
        arguments.text = text;
    }
}

void Message::ToNetworkParms(Json::Value& object) const {
    const Arguments& arguments = _arguments.Peek();
    if (!arguments.named.empty()) {
        Json::Value named(Json::objectValue);
        for (const auto& [name, value] : arguments.named) {
            named[name] = value;
        }
        object[kArgumentsKey] = std::move(named);
    } else if (!arguments.ordered.empty()) {
        Json::Value ordered(Json::arrayValue);
        for (const auto& value : arguments.ordered) {
            ordered.append(value);
        }
        object[kArgumentsKey] = std::move(ordered);
    } else if (!arguments.text.empty()) {
        object[kArgumentsKey] = arguments.text;
    } else if (!arguments.json.isNull()) {
        object[kArgumentsKey] = arguments.json;
    }
}

void Message::FromNetworkParms(const Json::Value& value) {
    if (value.isNull()) {
        return;
    }
    const auto structured = [](const Json::Value& v) { return v.isArray() || v.isObject(); };
    Arguments& arguments = _arguments.Get();
    if (value.isArray()) {
        // An element without a text form keeps the whole array as JSON arguments, and only
        // there: a partial ordered list beside it would be what goes out again.
        if (std::any_of(value.begin(), value.end(), structured)) {
            arguments.json = value;
            return;
        }
        for (const auto& element : value) {
            arguments.ordered.push_back(element.asString());
        }
    } else if (value.isObject()) {
        for (auto member = value.begin(); member != value.end(); ++member) {
            if (structured(*member)) {
                arguments.json = value;
                arguments.named.clear();
                return;
            }
            arguments.named[member.name()] = member->asString();
        }
    } else {
        arguments.text = value.asString();
    }
}

Message::ArgumentsHolder::ArgumentsHolder(const ArgumentsHolder& other)
    : _held(other._held ? std::make_unique<Arguments>(*other._held) : nullptr) {}

Message::ArgumentsHolder& Message::ArgumentsHolder::operator=(const ArgumentsHolder& other) {
    if (this != &other) {
        _held = other._held ? std::make_unique<Arguments>(*other._held) : nullptr;
    }
    return *this;
}

Message::Arguments& Message::ArgumentsHolder::Get() {
    if (!_held) {
        _held = std::make_unique<Arguments>();
    }
    return *_held;
}

const Message::Arguments& Message::ArgumentsHolder::Peek() const {
    static const Arguments none;
    return _held ? *_held : none;
}

std::string Message::WriteLine(bool request, const Json::Value& body) const {
    std::string out;
    MessageForwardInfo header(_forwardInfo);
    if (!header.AppendHeader(out, request, CommandName())) {
        return std::string();
    }
    out += WriteCompactJson(body);
    return out;
}

bool Message::ReadBody(const std::string& line, Json::Value& body, std::string& error) const {
    if (ReceivedHeader(line)) {
        if (receivedBody(line)) {
            _receivedHeader->SwapJsonBodyInto(body);
            return true;
        }
        return ParseJson(line, body, error);
    }
    MessageForwardInfo header(_forwardInfo);
    const std::string rest = header.PullHeader(line);
    // Only an empty line gives an empty rest without being rejected.
    if (rest.empty() && !line.empty()) {
        error = "Invalid message line";
        return false;
    }
    // The header has already read a body that starts with a bracket; ParseJson would
    // read the very same text again from that bracket.
    const std::string_view json = header.JsonText();
    if (!json.empty() && (json.front() == '{' || json.front() == '[')) {
        body = header.JsonBody();
        return true;
    }
    return ParseJson(rest, body, error);
}

}  // namespace Zelkor
