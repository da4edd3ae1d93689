#include "services/ListCommand.h"

#include <sstream>

namespace Zelkor {

namespace {

const char* const kCommand = "command";
const char* const kEndpoints = "endpoints";

}  // namespace

ListCommand::ListCommand() : Message({Param::command, Param::error}) {}

std::unique_ptr<Message> ListCommand::Instantiate() const { return std::make_unique<ListCommand>(); }

std::string ListCommand::ToNetworkFormat(bool request) const {
    // The routing header is written too: a list forwarded by a router must keep its way
    // to the target and its sender hash.
    std::ostringstream out;
    MessageForwardInfo header(GetMessageForwardInfo());
    if (!header.PutMessageForwardHeader(out)) {
        return std::string();
    }
    out << (_text.empty() ? ToJson(request) : _text);
    return out.str();
}

bool ListCommand::IsDiscoveredReply(bool request, const Json::Value& body) {
    return !request && body.isObject() && !body.isMember(kCommand) && body.isMember(kEndpoints);
}

std::string ListCommand::OptionOf(bool request, const Json::Value& body) {
    const Json::Value command = body.isObject() ? body.get(kCommand, Json::Value()) : Json::Value();
    if (command.isString()) {
        return command.asString();
    }
    return IsDiscoveredReply(request, body) ? Discovered : std::string();
}

bool ListCommand::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    Json::Value body;
    std::string rest;
    if (ReceivedHeader(line)) {
        // The receiver split off the header and parsed the body already.
        rest = line;
        if (!ReadBody(line, body, error)) {
            return false;
        }
    } else {
        MessageForwardInfo header(GetMessageForwardInfo());
        rest = header.PullHeader(line);
        // A body that starts with a bracket was parsed with the header.
        const std::string_view json = header.JsonText();
        if (!json.empty() && (json.front() == '{' || json.front() == '[')) {
            body = header.TakeJsonBody();
        } else if (!ParseJson(rest, body, error)) {
            return false;
        }
    }
    const std::string option = OptionOf(request, body);
    if (option.empty()) {
        error = "Missing list command name.";
        return false;
    }
    SetParameter(Param::command, option.c_str());
    _text = std::move(rest);
    return true;
}

std::unique_ptr<Message> CreateListCommand() { return std::make_unique<ListCommand>(); }

}  // namespace Zelkor
