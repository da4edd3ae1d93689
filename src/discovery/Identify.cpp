#include "discovery/Identify.h"

#include "discovery/LevelBody.h"

namespace Zelkor {

Identify::Identify() : Message({Param::guid, Param::mac, Param::name, Param::ip, Param::port}) {
    for (Param p : AllParameterNames()) {
        SetParameter(p, ParamName(p));
    }
}

std::unique_ptr<Message> Identify::Instantiate() const { return std::make_unique<Identify>(); }

std::string Identify::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    LevelBody::PutStrings(*this, body, {Param::guid, Param::mac, Param::name, Param::ip});
    LevelBody::PutPort(*this, body);
    return WriteLine(request, body);
}

bool Identify::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    for (Param p : {Param::guid, Param::mac, Param::name, Param::ip}) {
        LevelBody::TakeString(*this, body, p);
    }
    LevelBody::TakeNumber(*this, body, Param::port);
    LevelBody::TakeError(*this, body);
    return true;
}

void Identify::SetParams(IdentifyInfo& info, bool reply) {
    SetIsReply(reply);
    SetJsonParameter(Param::guid, Json::Value(info.guid));
    SetJsonParameter(Param::mac, Json::Value(info.mac));
    SetJsonParameter(Param::name, Json::Value(info.name));
    SetJsonParameter(Param::ip, Json::Value(info.ip.to_string()));
    SetJsonParameter(Param::port, Json::Value(std::to_string(info.port)));
}

std::unique_ptr<Message> CreateIdentify() { return std::make_unique<Identify>(); }

}  // namespace Zelkor
