#include "discovery/Locate.h"

#include "discovery/LevelBody.h"

namespace Zelkor {

Locate::Locate() : Message({Param::guid, Param::mac, Param::name, Param::timeout, Param::ip, Param::port}) {
    for (Param p : AllParameterNames()) {
        SetParameter(p, ParamName(p));
    }
}

std::unique_ptr<Message> Locate::Instantiate() const { return std::make_unique<Locate>(); }

std::string Locate::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    LevelBody::PutStrings(*this, body, {Param::guid, Param::mac, Param::name, Param::ip});
    const std::string timeout = GetParamValue(Param::timeout);
    std::int32_t signedTimeout = 0;
    std::uint32_t unsignedTimeout = 0;
    if (NumberText::ReadSigned32(timeout, signedTimeout) && signedTimeout >= 0 &&
        NumberText::ReadUnsigned(timeout, unsignedTimeout)) {
        body[ParamName(Param::timeout)] = Json::UInt(unsignedTimeout);
    }
    LevelBody::PutPort(*this, body);
    return WriteLine(request, body);
}

bool Locate::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    for (Param p : {Param::guid, Param::mac, Param::name, Param::ip}) {
        LevelBody::TakeString(*this, body, p);
    }
    LevelBody::TakeNumber(*this, body, Param::timeout);
    LevelBody::TakeNumber(*this, body, Param::port);
    LevelBody::TakeError(*this, body);
    return true;
}

void Locate::SetParams(LocateInfo& info, bool reply) {
    SetIsReply(reply);
    SetJsonParameter(Param::guid, Json::Value(info.guid));
    SetJsonParameter(Param::mac, Json::Value(info.mac));
    SetJsonParameter(Param::name, Json::Value(info.name));
    if (!info.timeout.empty()) {
        SetJsonParameter(Param::timeout, Json::Value(info.timeout));
    }
}

std::unique_ptr<Message> CreateLocate() { return std::make_unique<Locate>(); }

}  // namespace Zelkor
