#pragma once
// "disco": the discovery request, which names the values it asks for in "params" (and
// the port its answer goes to in "replyport", when not 4197), and its "@disco" reply with
// those values, typed.
//
// Ownership and threads as for every Message. Parsing never throws on peer text.

#include <array>
#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class Disco : public Message {
public:
    // The 26 names a discovery request asks for, in the order requests list them.
    static const std::array<Param, 26>& RequestedNames();

    Disco();

    const char* CommandName() const override { return "disco"; }
    std::unique_ptr<Message> Instantiate() const override;
    // Request: {"params":[the set names in Param order],"replyport":n when set}. Reply:
    // every set value, "devicelisttime" and "port" as numbers, "locating" as a boolean.
    std::string ToNetworkFormat(bool request) const override;
    // Request: "params" must be an array; each known name in it becomes a parameter with
    // an empty value, "replyport" its text. Reply: each scalar member whose name the
    // message declares becomes a parameter holding its text; arrays and objects are
    // skipped.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
};

// "senddisco": asks the peers to send their discovery requests, optionally naming a
// service.
class SendDiscoMsg : public Message {
public:
    SendDiscoMsg();

    const char* CommandName() const override { return "senddisco"; }
    std::unique_ptr<Message> Instantiate() const override;
    // {} or {"service":text}; a service text beginning with the word "service" stands for
    // none.
    std::string ToNetworkFormat(bool request) const override;
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
};

}  // namespace Zelkor
