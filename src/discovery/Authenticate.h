#pragma once
// "authenticate": a controller proves that it knows the device's verification code.
// Declares "code" (the Base64 authentication code of a request) and "error" (the
// outcome of a reply: empty for success). Both travel as JSON strings.
//
// Ownership and threads as for every Message. Parsing never throws on peer text.

#include <memory>
#include <string>

#include "core/Message.h"
#include "discovery/DiscoveryRecords.h"

namespace Zelkor {

class Authenticate : public Message {
public:
    Authenticate();

    const char* CommandName() const override { return "authenticate"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The own header, "@" for a reply, the word and an object of the set members ("{}"
    // when none is set).
    std::string ToNetworkFormat(bool request) const override;
    // Takes "code" and "error" when they are non-empty strings; false only when the line
    // or its JSON is refused.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
    // "code" from the record, when it holds one.
    void SetParams(AuthenticateInfo& info);
};

std::unique_ptr<Message> CreateAuthenticate();

}  // namespace Zelkor
