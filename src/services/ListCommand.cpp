#include "services/ListCommand.h"

#include <sstream>

namespace Zelkor {

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

bool ListCommand::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    MessageForwardInfo header(GetMessageForwardInfo());
    const std::string rest = header.PullHeader(line);
    Json::Value body;
    if (!ParseJson(rest, body, error)) {
        return false;
    }
    const Json::Value command = body.isObject() ? body.get("command", Json::Value()) : Json::Value();
    if (!command.isString() || command.asString().empty()) {
        error = "Missing list command name.";
        return false;
    }
    SetParameter(Param::command, command.asCString());
    _text = rest;
    return true;
}

}  // namespace Zelkor
