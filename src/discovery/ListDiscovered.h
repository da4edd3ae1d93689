#pragma once
// "list" as the discovery service sends it to ask a peer for the devices the peer has
// discovered: one parameter, "command", which the sender sets to "discovered".
//
// Ownership and threads as for every Message. Parsing never throws on peer text.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class ListDiscovered : public Message {
public:
    ListDiscovered();

    const char* CommandName() const override { return "list"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The own header, "@" for a reply, "list" and {"command": value}; {} while unset.
    std::string ToNetworkFormat(bool request) const override;
    // Takes "command" when the body holds it as a non-empty string; false only when the
    // line or its JSON is refused.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
};

}  // namespace Zelkor
