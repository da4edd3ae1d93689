#include "services/EventMessages.h"

#include "storage/RequestBound.h"

namespace Zelkor {

namespace {

const char* const kArguments = "arguments";

// A member that is a non-empty string, stored as that very text.
void takeText(Message& message, const Json::Value& body, Param p) {
    const Json::Value& member = body[Message::GetStringFromParam(p)];
    if (member.isString() && !member.asString().empty()) {
        message.SetJsonParameter(p, member);
    }
}

}  // namespace

EventCommand::EventCommand() : Message({Param::path, Param::value, Param::error}) {}

std::unique_ptr<Message> EventCommand::Instantiate() const { return std::make_unique<EventCommand>(); }

std::string EventCommand::ToNetworkFormat(bool request) const {
    const char* path = GetParameter(Param::path);
    if (request && (!path || !*path)) {
        return std::string();
    }
    Json::Value body(Json::objectValue);
    if (request) {
        ToNetworkParms(body);
    }
    for (const Param p : {Param::path, Param::value}) {
        if (const char* text = GetParameter(p)) {
            body[GetStringFromParam(p)] = text;
        }
    }
    return WriteLine(request, body);
}

bool EventCommand::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    if (!body.isObject()) {
        body = Json::Value(Json::objectValue);
    }
    const Json::Value& members = body;
    takeText(*this, members, Param::path);
    if (request && !GetParameter(Param::path)) {
        error = "Name is required";
        return false;
    }
    takeText(*this, members, Param::value);
    if (!request) {
        // A router's refusal of an event it could not pass on.
        takeText(*this, members, Param::error);
    }
    const Json::Value& arguments = members[kArguments];
    if ((arguments.isArray() || arguments.isObject()) && arguments.size() > MaxEntriesPerMessage()) {
        error = kTooManyEntries;
        return false;
    }
    FromNetworkParms(arguments);
    return true;
}

SubscribeEvent::SubscribeEvent() : Message({Param::path, Param::error}) {}

std::unique_ptr<Message> SubscribeEvent::Instantiate() const { return std::make_unique<SubscribeEvent>(); }

UnsubscribeEvent::UnsubscribeEvent() : Message({Param::path, Param::error}) {}

std::unique_ptr<Message> UnsubscribeEvent::Instantiate() const { return std::make_unique<UnsubscribeEvent>(); }

std::unique_ptr<Message> CreateEventCommand() { return std::make_unique<EventCommand>(); }

std::unique_ptr<Message> CreateSubscribeEvent() { return std::make_unique<SubscribeEvent>(); }

std::unique_ptr<Message> CreateUnsubscribeEvent() { return std::make_unique<UnsubscribeEvent>(); }

}  // namespace Zelkor
