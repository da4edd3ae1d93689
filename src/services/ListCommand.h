#pragma once
// "list": any incoming list line, before the list-command router turns it into the
// message of its option (the "command" parameter: "discovered", "publishers",
// "presets"). Declares "command" and "error" and keeps the text of the line it read
// after the routing header (reply mark, word and JSON body).
//
// Ownership and threads as for every Message.

#include <memory>
#include <string>

#include "core/Message.h"

namespace Zelkor {

class ListCommand : public Message {
public:
    ListCommand();

    const char* CommandName() const override { return "list"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The own routing header, then the kept text when there is one, else the base form.
    std::string ToNetworkFormat(bool request) const override;
    // Needs a non-empty JSON string "command" ("Missing list command name." otherwise).
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    // The kept text of the last line read.
    const std::string& GetJson() const { return _text; }

private:
    std::string _text;
};

}  // namespace Zelkor
