#include "discovery/SetVerificationCode.h"

#include "discovery/LevelBody.h"

namespace Zelkor {

SetVerificationCode::SetVerificationCode() : Message({Param::current, Param::new_, Param::error}) {
    // A parameter holding its own name counts as unset.
    for (Param p : AllParameterNames()) {
        SetParameter(p, ParamName(p));
    }
}

std::unique_ptr<Message> SetVerificationCode::Instantiate() const { return std::make_unique<SetVerificationCode>(); }

std::string SetVerificationCode::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    if (request) {
        LevelBody::PutStrings(*this, body, {Param::current, Param::new_});
        // A request without a new code removes the code: the member says so as null.
        if (!body.isMember(GetStringFromParam(Param::new_))) {
            putNul(body, Param::new_);
        }
    } else {
        LevelBody::PutStrings(*this, body, {Param::error});
    }
    return WriteLine(request, body);
}

bool SetVerificationCode::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    for (Param p : {Param::current, Param::new_, Param::error}) {
        LevelBody::TakeString(*this, body, p);
    }
    return true;
}

void SetVerificationCode::SetParams(SetVerificationCodeInfo& info) {
    if (!info.current.empty()) {
        SetJsonParameter(Param::current, Json::Value(info.current));
    }
    SetJsonParameter(Param::new_, Json::Value(info.newCode));
}

std::unique_ptr<Message> CreateSetVerificationCode() { return std::make_unique<SetVerificationCode>(); }

}  // namespace Zelkor
