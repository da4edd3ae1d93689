#pragma once
// "list": any incoming list line, before the list-command router turns it into the
// message of its option (the "command" parameter: "discovered", "publishers",
// "presets"). Declares "command" and "error" and keeps the text of the line it read
// after the routing header (reply mark, word and JSON body).
//
// A node answers "discovered" with {"endpoints":[...]} and no "command": such a reply is
// read as "discovered".
//
// Ownership and threads as for every Message.

#include <memory>
#include <string>

#include <json/value.h>

#include "core/Message.h"

namespace Zelkor {

class ListCommand : public Message {
public:
    static constexpr const char* Discovered = "discovered";

    ListCommand();

    const char* CommandName() const override { return "list"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The own routing header, then the kept text when there is one, else the base form.
    std::string ToNetworkFormat(bool request) const override;
    // Needs a non-empty JSON string "command" ("Missing list command name." otherwise),
    // except in a discovered-devices reply.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    // The kept text of the last line read.
    const std::string& GetJson() const { return _text; }

    // A reply body without "command" that carries "endpoints": the answer to "discovered".
    static bool IsDiscoveredReply(bool request, const Json::Value& body);
    // The option a body names: its "command" when that is a non-empty string, "discovered"
    // for a discovered-devices reply, else empty.
    static std::string OptionOf(bool request, const Json::Value& body);

private:
    std::string _text;
};

// A new, empty "list" message, as the router and the driver's command table make it.
std::unique_ptr<Message> CreateListCommand();

}  // namespace Zelkor
