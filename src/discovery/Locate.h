#pragma once
// "locate": finds a node by GUID, by MAC address or by name; the located node answers
// with its GUID, name and the address and port of the network the request came by.
// Declares guid, mac, name, timeout, ip and port; a fresh message holds each parameter's
// own name, which counts as unset. "timeout" and "port" travel as JSON numbers.
//
// Ownership and threads as for every Message. Parsing never throws on peer text.

#include <memory>
#include <string>

#include "core/Message.h"
#include "discovery/DiscoveryRecords.h"

namespace Zelkor {

class Locate : public Message {
public:
    Locate();

    const char* CommandName() const override { return "locate"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The own header, "@" for a reply, the word and the set members; "timeout" only when
    // it is a signed 32-bit number that is not negative, "port" only when it is an
    // unsigned 16-bit number.
    std::string ToNetworkFormat(bool request) const override;
    // Non-empty strings, and "timeout" and "port" also as JSON integers (kept as decimal
    // text); anything else leaves the parameter as it was.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
    // The reply flag, guid, mac and name (also when empty) and the time-out when it is not
    // empty; the address and port are the answering node's to fill.
    void SetParams(LocateInfo& info, bool reply);
};

std::unique_ptr<Message> CreateLocate();

}  // namespace Zelkor
