#pragma once
// The device-state words:
//   "getdevicestate"  request: bare; reply: {"devicestate": text} (or "error")
//   "getpresetinfo"   request: bare; reply: {"path": preset text, "isdirty": "true"|"false"}
//   "setip"           {"mac", "dhcp", "ipv4"|"ipv6"|"ip", "subnetmask", "gateway"} and,
//                     in a refusing reply, "error"
// The first two use the base form (every member a string). "setip" writes "dhcp" as a
// JSON boolean and every other member as a string; it reads with the base reader, so a
// boolean "dhcp" reads as the text "true" or "false".
//
// Ownership and threads as for every Message. The readers never throw on peer text.

#include <memory>

#include "core/Message.h"
#include "services/SetIPSettings.h"

namespace Zelkor {

class GetDeviceState : public Message {
public:
    GetDeviceState();

    const char* CommandName() const override { return "getdevicestate"; }
    std::unique_ptr<Message> Instantiate() const override;
};

class GetPreset : public Message {
public:
    GetPreset();

    const char* CommandName() const override { return "getpresetinfo"; }
    std::unique_ptr<Message> Instantiate() const override;
};

class SetIP : public Message {
public:
    SetIP();

    const char* CommandName() const override { return "setip"; }
    std::unique_ptr<Message> Instantiate() const override;
    // The header, "@" for a reply, "setip", a blank and the object of the set members.
    std::string ToNetworkFormat(bool request) const override;

    // The settings this message carries (ReadSettings of itself).
    SETIP_SETTINGS GetSettings() const;
    // The settings of any message holding the "setip" members: "mac" only when it reads
    // as a MAC address (then in its normalised form); the address from the first present
    // of "ipv4", "ipv6", "ip"; dhcp when "dhcp" reads "true" in any letter case; the
    // result true when there is no "error".
    static SETIP_SETTINGS ReadSettings(const Message& message);
};

// The creators of the three words: each a new empty message, the driver's table entries.
std::unique_ptr<Message> CreateGetDeviceState();
std::unique_ptr<Message> CreateGetPreset();
std::unique_ptr<Message> CreateSetIP();

}  // namespace Zelkor
