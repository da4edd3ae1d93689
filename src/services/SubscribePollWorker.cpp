#include "services/SubscribePollWorker.h"

#include <cstring>

#include "core/JsonText.h"
#include "core/MessageForwardInfo.h"
#include "storage/RequestBound.h"

namespace Zelkor {

namespace {

const char* const kName = "name";
const char* const kFormat = "format";
const char* const kTargets = "targets";
const char* const kError = "error";
const char* const kVariant = "variant";

// A member's text: strings as they are, other scalars in their JSON text, structures in
// their compact form (asString would throw on them).
std::string textOf(const Json::Value& value) {
    return value.isArray() || value.isObject() ? WriteCompactJson(value) : value.asString();
}

bool knownFormat(const std::string& format) {
    return format == "norm" || format == "number" || format == "string" || format == kVariant;
}

}  // namespace

SubscribePollWorker::SubscribePollWorker(std::vector<Param> declared) : Message(std::move(declared)) {
    SetLogModuleName("PSUB");
}

bool SubscribePollWorker::append(Json::Value& list, const Json::Value& element, std::size_t bound) {
    if (!list.isArray()) {
        list = Json::Value(Json::arrayValue);
    }
    if (list.size() >= bound) {
        return false;
    }
    list.append(element);
    return true;
}

bool SubscribePollWorker::AddTarget(const Json::Value& target) {
    return append(_targets, target, MaxEntriesPerMessage());
}

bool SubscribePollWorker::AddTarget(const std::vector<std::string>& targets) {
    const std::size_t bound = MaxEntriesPerMessage();
    for (const auto& target : targets) {
        if (!append(_targets, Json::Value(target), bound)) {
            return false;
        }
    }
    return true;
}

bool SubscribePollWorker::AddTargetValues(const Json::Value& value) {
    return append(_targetValues, value, MaxEntriesPerMessage());
}

std::string SubscribePollWorker::ToNetworkFormat(bool request) const {
    std::string line;
    MessageForwardInfo header(GetMessageForwardInfo());
    if (!header.AppendHeader(line, request, CommandName())) {
        return std::string();
    }
    Json::Value body(Json::objectValue);
    if (const char* error = GetParameter(Param::error)) {
        body[kError] = error;
    } else {
        for (const Param p : {Param::name, Param::format}) {
            if (const char* text = GetParameter(p)) {
                body[GetStringFromParam(p)] = text;
            }
        }
        if (std::strcmp(CommandName(), "subscribepoll") == 0) {
            if (_targetValues.size() > 0) {
                body[kTargets] = _targetValues;
            } else if (!_targets.isNull()) {
                body[kTargets] = _targets;
            }
        } else if (!_targets.isNull() && (!GetIsReply() || std::strcmp(CommandName(), "poll") == 0)) {
            // A received "poll" reply keeps its values: a router forwards it, and a reply
            // without them is refused by its requester.
            body[kTargets] = _targets;
        }
    }
    if (body.empty()) {
        // The bare word: no blank after it.
        line.pop_back();
        return line;
    }
    line += WriteCompactJson(body);
    return line;
}

bool SubscribePollWorker::readBody(const std::string& line, Json::Value& body, std::string& error) const {
    if (line.empty() || ReceivedHeader(line)) {
        return ReadBody(line, body, error);
    }
    // The header reader refuses a line whose body is not JSON without saying why; a peer
    // is told what the JSON parser found, and an unreadable header leaves no text.
    MessageForwardInfo header(GetMessageForwardInfo());
    if (!header.ReadReceived(line)) {
        if (!header.JsonText().empty()) {
            Json::Value ignored;
            ParseJson(std::string(header.JsonText()), ignored, error);
        }
        return false;
    }
    const std::string_view json = header.JsonText();
    if (!json.empty() && (json.front() == '{' || json.front() == '[')) {
        body = header.TakeJsonBody();
        return true;
    }
    return ParseJson(std::string(json), body, error);
}

bool SubscribePollWorker::fail(const char* code, const std::string& label, const char* text,
                               std::string& error) const {
    error = text;
    PeerError(Join(code, " ", label, " ", text));
    return false;
}

bool SubscribePollWorker::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    _targets = Json::Value();
    _targetValues = Json::Value();
    const std::string word = CommandName();
    const std::string label = word + (request ? " request" : " reply");

    Json::Value body;
    if (!readBody(line, body, error)) {
        if (error.empty()) {
            error = "JSON parse failed";
        }
        PeerError(Join("ZK5400E ", label, " ", error));
        return false;
    }
    if (!body.isObject()) {
        body = Json::Value(Json::objectValue);
    }
    const Json::Value& members = body;
    const bool subscribe = word == "subscribepoll";
    const bool poll = word == "poll";

    const bool hasError = members.isMember(kError);
    if (hasError) {
        const Json::Value& member = members[kError];
        if (!member.isString()) {
            PeerWarning(Join("ZK5401W ", label, " error param is not a string"));
        }
        const std::string text = textOf(member);
        if (text.empty()) {
            PeerWarning(Join("ZK5402W ", label, " error param is an empty string"));
        }
        if (request) {
            PeerWarning(Join("ZK5403W ", label, " should not contain an error param"));
        }
        SetParameter(Param::error, text.c_str());
    }

    if (!members.isMember(kName)) {
        if ((poll && !hasError) || (subscribe && request)) {
            return fail("ZK5404E", label, "required name parameter is missing", error);
        }
    } else {
        const Json::Value& name = members[kName];
        if (!name.isString()) {
            return fail("ZK5405E", label, "name is not a string", error);
        }
        if (name.asString().empty()) {
            return fail("ZK5406E", label, "name string is empty", error);
        }
        SetParameter(Param::name, name.asCString());
    }

    if (!members.isMember(kFormat)) {
        SetParameter(Param::format, kVariant);
    } else {
        const Json::Value& member = members[kFormat];
        if (!member.isString()) {
            return fail("ZK5408E", label, "format is not a string", error);
        }
        std::string format = member.asString();
        if (format == "default") {
            format = kVariant;
        }
        if (!knownFormat(format)) {
            return fail("ZK5409E", label, "format value is unknown", error);
        }
        SetParameter(Param::format, format.c_str());
    }

    const Json::Value& targets = members[kTargets];
    // A null list is none: kept, it would be written without targets, which no reader
    // takes back.
    if (targets.isNull()) {
        if (!hasError && ((subscribe && request) || (poll && !request))) {
            return fail("ZK5410E", label, "required targets parameter is missing", error);
        }
        return true;
    }
    if (!subscribe && !(poll && !request)) {
        return true;
    }
    if (subscribe && request && !targets.isArray()) {
        return fail("ZK5411E", label, "targets must be an arry", error);
    }
    if (subscribe && !request && !targets.isArray() && !targets.isObject()) {
        return fail("ZK5411E", label, "targets must be an arry or an object", error);
    }
    if (!targets.isArray()) {
        if (subscribe) {
            // An object is taken as one entry; an empty one as none.
            _targets = Json::Value(Json::arrayValue);
            if (!targets.empty()) {
                _targets.append(targets);
            }
            _targetValues = _targets;
        } else {
            _targets = targets;
            _targetValues = targets;
        }
        return true;
    }
    // One bound for the whole read, whatever the setting does meanwhile.
    const std::size_t bound = MaxEntriesPerMessage();
    _targets = Json::Value(Json::arrayValue);
    _targetValues = Json::Value(Json::arrayValue);
    for (const auto& element : targets) {
        if (!append(_targets, element, bound) || !append(_targetValues, element, bound)) {
            return fail("ZK5412E", label, kTooManyEntries, error);
        }
    }
    return true;
}

SubscribePoll::SubscribePoll() : SubscribePollWorker({Param::name, Param::format, Param::error}) {}

std::unique_ptr<Message> SubscribePoll::Instantiate() const { return std::make_unique<SubscribePoll>(); }

UnsubscribePoll::UnsubscribePoll() : SubscribePollWorker({Param::name, Param::error}) {}

std::unique_ptr<Message> UnsubscribePoll::Instantiate() const { return std::make_unique<UnsubscribePoll>(); }

PollSubscription::PollSubscription() : SubscribePollWorker({Param::name, Param::format, Param::error}) {}

std::unique_ptr<Message> PollSubscription::Instantiate() const { return std::make_unique<PollSubscription>(); }

std::unique_ptr<Message> CreateSubscribePoll() { return std::make_unique<SubscribePoll>(); }

std::unique_ptr<Message> CreateUnsubscribePoll() { return std::make_unique<UnsubscribePoll>(); }

std::unique_ptr<Message> CreatePollSubscription() { return std::make_unique<PollSubscription>(); }

}  // namespace Zelkor
