#pragma once
// "starttls": asks the peer to secure the connection; the asked node answers and becomes
// the TLS server. Declares "error" (a refusal: "not accepted", "not provisioned"), a JSON
// string.
//
// Ownership and threads as for every Message. Parsing never throws on peer text.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class StartTLS : public Message {
public:
    StartTLS();

    const char* CommandName() const override { return "starttls"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The own header, "@" for a reply, the word and {"error":...} or "{}".
    std::string ToNetworkFormat(bool request) const override;
    // Takes "error" when it is a non-empty string; false only when the line or its JSON is
    // refused.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
};

std::unique_ptr<Message> CreateStartTLS();

}  // namespace Zelkor
