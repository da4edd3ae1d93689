#include "discovery/ListDiscovered.h"

namespace Zelkor {

ListDiscovered::ListDiscovered() : Message({Param::command}) {}

std::unique_ptr<Message> ListDiscovered::Instantiate() const { return std::make_unique<ListDiscovered>(); }

std::string ListDiscovered::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    const std::string command = GetParamValue(Param::command);
    if (!command.empty()) {
        body[GetStringFromParam(Param::command)] = command;
    }
    return WriteLine(request, body);
}

bool ListDiscovered::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    const Json::Value command = body.isObject() ? body.get(GetStringFromParam(Param::command), Json::Value())
                                                : Json::Value();
    if (command.isString() && !command.asString().empty()) {
        SetParameter(Param::command, command.asString().c_str());
    }
    return true;
}

}  // namespace Zelkor
