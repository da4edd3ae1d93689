#pragma once
// "identify": every node that hears the request answers with its GUID, name and the
// address and port of the network the request came by. Declares guid, mac, name, ip and
// port; a fresh message holds each parameter's own name, which counts as unset, so only
// what was filled is written. "port" travels as a JSON number.
//
// Ownership and threads as for every Message. Parsing never throws on peer text.

#include <memory>
#include <string>

#include "core/Message.h"
#include "discovery/DiscoveryRecords.h"

namespace Zelkor {

class Identify : public Message {
public:
    Identify();

    const char* CommandName() const override { return "identify"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The own header, "@" for a reply, the word and the set members; "port" only when its
    // text is an unsigned 16-bit number.
    std::string ToNetworkFormat(bool request) const override;
    // Non-empty strings, and "port" also as a JSON integer (kept as its decimal text);
    // anything else leaves the parameter as it was. False only for a refused line or body.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
    // The reply flag, guid, mac and name (also when empty), the address's text and the
    // port's decimal text.
    void SetParams(IdentifyInfo& info, bool reply);
};

std::unique_ptr<Message> CreateIdentify();

}  // namespace Zelkor
