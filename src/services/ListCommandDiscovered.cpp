#include "services/ListCommandDiscovered.h"

#include <map>

#include "services/ListCommand.h"

namespace Zelkor {

namespace {

const char* const kEndpoints = "endpoints";

// Strings as they are, numbers in decimal, booleans as "true"/"false"; arrays and objects
// have no text form.
bool textOf(const Json::Value& value, std::string& out) {
    if (value.isArray() || value.isObject()) {
        return false;
    }
    out = value.asString();
    return true;
}

}  // namespace

ListCommandDiscovered::ListCommandDiscovered()
    : Message({Param::command, Param::classname, Param::container, Param::descriptorversion, Param::devicestate,
               Param::dhcp, Param::error, Param::family, Param::fingerprint, Param::gateway, Param::guid,
               Param::inclusions, Param::ip, Param::label, Param::locating, Param::location, Param::mac,
               Param::manufacturer, Param::model, Param::mode, Param::name, Param::port, Param::protocolversion,
               Param::replyport, Param::serialnumber, Param::subnetmask, Param::version}) {}

std::unique_ptr<Message> ListCommandDiscovered::Instantiate() const {
    return std::make_unique<ListCommandDiscovered>();
}

std::string ListCommandDiscovered::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    putString(body, Param::command, ListCommand::Discovered);
    Json::Value& endpoints = body[kEndpoints] = Json::Value(Json::arrayValue);
    for (const auto& endpoint : _endpoints) {
        Json::Value object(Json::objectValue);
        for (const auto& parameter : endpoint) {
            if (parameter.ParameterName() == Param::port) {
                putUint(object, Param::port, parameter.ParameterValue(0));
            } else {
                putString(object, parameter.ParameterName(), parameter.ParameterValue(0));
            }
        }
        endpoints.append(std::move(object));
    }
    return WriteLine(request, body);
}

bool ListCommandDiscovered::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    const std::string option = ListCommand::OptionOf(request, body);
    if (option.empty()) {
        error = "Missing list command name.";
        return false;
    }
    SetParameter(Param::command, option.c_str());
    if (request) {
        return true;
    }
    const Json::Value& endpoints = static_cast<const Json::Value&>(body)[kEndpoints];
    if (!endpoints.isArray()) {
        error = "endpoints is not array";
        return false;
    }
    _listed = true;
    _endpoints.reserve(_endpoints.size() + endpoints.size());
    for (const auto& element : endpoints) {
        if (!element.isObject()) {
            continue;
        }
        // One value per name, whatever letter case the peer wrote it in.
        std::map<Param, std::string> values;
        for (auto member = element.begin(); member != element.end(); ++member) {
            const Param p = GetParamFromString(member.name());
            std::string text;
            if (IsValidParameterName(p) && textOf(*member, text)) {
                values[p] = std::move(text);
            }
        }
        Endpoint endpoint;
        endpoint.reserve(values.size());
        for (auto& [p, text] : values) {
            endpoint.emplace_back(p, text);
        }
        _endpoints.push_back(std::move(endpoint));
    }
    return true;
}

}  // namespace Zelkor
