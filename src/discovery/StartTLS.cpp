#include "discovery/StartTLS.h"

#include "discovery/LevelBody.h"

namespace Zelkor {

StartTLS::StartTLS() : Message({Param::error}) {
    // A parameter holding its own name counts as unset.
    for (Param p : AllParameterNames()) {
        SetParameter(p, ParamName(p));
    }
}

std::unique_ptr<Message> StartTLS::Instantiate() const { return std::make_unique<StartTLS>(); }

std::string StartTLS::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    LevelBody::PutStrings(*this, body, {Param::error});
    return WriteLine(request, body);
}

bool StartTLS::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    for (Param p : {Param::error}) {
        LevelBody::TakeString(*this, body, p);
    }
    return true;
}

std::unique_ptr<Message> CreateStartTLS() { return std::make_unique<StartTLS>(); }

}  // namespace Zelkor
