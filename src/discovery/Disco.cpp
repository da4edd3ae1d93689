#include "discovery/Disco.h"

#include "discovery/ScalarText.h"

namespace Zelkor {

namespace {

const char* const kParams = "params";
const char* const kReplyPort = "replyport";
const char* const kService = "service";

}  // namespace

const std::array<Param, 26>& Disco::RequestedNames() {
    static const std::array<Param, 26> names = {
        Param::classname, Param::container, Param::descriptorversion, Param::devicelisttime, Param::devicestate,
        Param::dhcp, Param::exclusions, Param::family, Param::fingerprint, Param::gateway, Param::guid,
        Param::inclusions, Param::ip, Param::label, Param::locating, Param::location, Param::mac,
        Param::manufacturer, Param::mode, Param::model, Param::name, Param::port, Param::protocolversion,
        Param::serialnumber, Param::subnetmask, Param::version};
    return names;
}

Disco::Disco()
    : Message({Param::classname, Param::container, Param::descriptorversion, Param::devicelisttime,
               Param::devicestate, Param::dhcp, Param::error, Param::exclusions, Param::family, Param::fingerprint,
               Param::gateway, Param::guid, Param::ip, Param::inclusions, Param::label, Param::locating,
               Param::location, Param::mac, Param::manufacturer, Param::mode, Param::model, Param::name, Param::port,
               Param::protocolversion, Param::replyport, Param::serialnumber, Param::subnetmask, Param::version}) {}

std::unique_ptr<Message> Disco::Instantiate() const { return std::make_unique<Disco>(); }

std::string Disco::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    if (request) {
        body[kParams] = Json::Value(Json::arrayValue);
    }
    // GetParamEnums lists declaration order; the wire lists Param order.
    for (int number = 0; number < kParamCount; ++number) {
        const Param p = static_cast<Param>(number);
        const char* text = GetParameter(p);
        if (!text || !IsValidParameterName(p)) {
            continue;
        }
        if (request) {
            if (p == Param::replyport) {
                putUint(body, p, text);
            } else {
                body[kParams].append(GetStringFromParam(p));
            }
        } else if (p == Param::devicelisttime || p == Param::port) {
            putUint(body, p, text);
        } else if (p == Param::locating) {
            putBool(body, p, text);
        } else {
            putString(body, p, text);
        }
    }
    return WriteLine(request, body);
}

bool Disco::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    if (!body.isObject()) {
        return !request;
    }
    if (!request) {
        for (auto member = body.begin(); member != body.end(); ++member) {
            std::string text;
            if (ScalarText(*member, text)) {
                SetParameter(GetParamFromString(member.name()), text.c_str());
            }
        }
        return true;
    }
    const Json::Value names = body.get(kParams, Json::Value());
    if (!names.isArray()) {
        return false;
    }
    for (const auto& name : names) {
        std::string text;
        if (ScalarText(name, text)) {
            SetParameter(GetParamFromString(text), "");
        }
    }
    std::string port;
    if (body.isMember(kReplyPort) && ScalarText(body.get(kReplyPort, Json::Value()), port)) {
        SetParameter(Param::replyport, port.c_str());
    }
    return true;
}

SendDiscoMsg::SendDiscoMsg() : Message({Param::service}) { SetParameter(Param::service, kService); }

std::unique_ptr<Message> SendDiscoMsg::Instantiate() const { return std::make_unique<SendDiscoMsg>(); }

std::string SendDiscoMsg::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    const char* service = GetParameter(Param::service);
    if (service && std::string(service).compare(0, 7, kService) != 0) {
        body[kService] = service;
    }
    return WriteLine(request, body);
}

bool SendDiscoMsg::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    const Json::Value service = body.isObject() ? body.get(kService, Json::Value()) : Json::Value();
    if (service.isString() && !service.asString().empty()) {
        SetParameter(Param::service, service.asCString());
    }
    return true;
}

}  // namespace Zelkor
