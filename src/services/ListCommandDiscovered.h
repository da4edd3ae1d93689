#pragma once
// "list" with the option "discovered": asks a node for the devices it has discovered, and
// its answer, one endpoint per device, each a list of (name, text) parameters.
//
// A node answers without "command" ({"endpoints":[...]}); the reply is read as
// "discovered" all the same.
//
// Ownership and threads as for every Message. Parsing never throws on peer text and keeps
// no more than the line holds.

#include <memory>
#include <string>
#include <vector>

#include "core/Message.h"
#include "core/MessageParameter.h"

namespace Zelkor {

class ListCommandDiscovered : public Message {
public:
    using Endpoint = std::vector<MessageParameter>;

    ListCommandDiscovered();

    const char* CommandName() const override { return "list"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The own header, "list" and {"command":"discovered","endpoints":[...]}: in each
    // endpoint "port" as a number when its text is one, every other value as a string.
    std::string ToNetworkFormat(bool request) const override;
    // Request: needs a non-empty string "command" ("Missing list command name."). Reply:
    // "command" as for a request unless the body is a discovered-devices reply, then
    // "endpoints" must be an array ("endpoints is not array"); each object in it gives one
    // endpoint of its declared members with a text form, one per name, in Param order
    // (names compared without letter case).
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    const std::vector<Endpoint>& Endpoints() const { return _endpoints; }
    void AddEndpoint(Endpoint endpoint) { _endpoints.push_back(std::move(endpoint)); }
    // A reply read with its "endpoints" array: one without (a refusal, such as
    // "Not authenticated") lists nothing, and is no list of none.
    bool Listed() const { return _listed; }

private:
    std::vector<Endpoint> _endpoints;
    bool _listed = false;
};

}  // namespace Zelkor
