#include "discovery/Authenticate.h"

#include "discovery/LevelBody.h"

namespace Zelkor {

Authenticate::Authenticate() : Message({Param::code, Param::error}) {
    // A parameter holding its own name counts as unset.
    for (Param p : AllParameterNames()) {
        SetParameter(p, ParamName(p));
    }
}

std::unique_ptr<Message> Authenticate::Instantiate() const { return std::make_unique<Authenticate>(); }

std::string Authenticate::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    LevelBody::PutStrings(*this, body, {Param::code, Param::error});
    return WriteLine(request, body);
}

bool Authenticate::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    for (Param p : {Param::code, Param::error}) {
        LevelBody::TakeString(*this, body, p);
    }
    return true;
}

void Authenticate::SetParams(AuthenticateInfo& info) {
    if (!info.code.empty()) {
        SetJsonParameter(Param::code, Json::Value(info.code));
    }
}

std::unique_ptr<Message> CreateAuthenticate() { return std::make_unique<Authenticate>(); }

}  // namespace Zelkor
