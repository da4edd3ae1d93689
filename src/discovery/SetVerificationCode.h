#pragma once
// "setverificationcode": sets, changes or removes a device's verification code. Declares
// "current" (the code in force, Base64), "new" (the code to set, Base64; empty removes
// it) and "error" (the outcome of a reply). A request carries "current" when set and
// always "new" (JSON null when unset); a reply carries only "error", when set.
//
// Ownership and threads as for every Message. Parsing never throws on peer text.

#include <memory>
#include <string>

#include "core/Message.h"
#include "discovery/DiscoveryRecords.h"

namespace Zelkor {

class SetVerificationCode : public Message {
public:
    SetVerificationCode();

    const char* CommandName() const override { return "setverificationcode"; }
    std::unique_ptr<Message> Instantiate() const override;
    std::string ToNetworkFormat(bool request) const override;
    // Takes "current", "new" and "error" when they are non-empty strings; false only when
    // the line or its JSON is refused.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
    // "current" from the record when it holds one; "new" always (empty stays unset).
    void SetParams(SetVerificationCodeInfo& info);
};

std::unique_ptr<Message> CreateSetVerificationCode();

}  // namespace Zelkor
