#pragma once
// Commands from standard input, one JSON object per line with its name under "cmd". Each
// area of the node adds its own to the node's table; they run on the event loop.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <json/value.h>

#include "Events.h"
#include "device/IDevice.h"
#include "discovery/IDiscoveryService.h"
#include "driver/IZelkorDriver.h"

namespace ZelkorNode {

using Command = std::function<void(const Json::Value& command)>;
using Commands = std::map<std::string, Command>;

// A request to a listed device, named by its GUID (any usual form), as a command gives it.
struct DeviceRequest {
    // "guid", "path", "current", "new", "mac", "name" and "timeout": empty when absent.
    std::map<std::string, std::string> texts;
    // Canonical; empty when none is given.
    std::string guid;
    Zelkor::IDiscoveryService* discovery = nullptr;
    // The listed device with the GUID; null when none has it.
    std::shared_ptr<Zelkor::IDevice> device;
};

// The arguments of request `name`: each of the texts absent or a string (a time-out also
// a number), the GUID one. False, with an "error" line written, when they are bad.
bool ReadDeviceRequest(Zelkor::IZelkorDriver& driver, Events& events, const std::string& name,
                       const Json::Value& command, DeviceRequest& out);

// The listed device that the "guid" of command `name` names (any usual GUID form). Null,
// with an "error" line written, when "guid" is no GUID ("bad arguments for NAME: ...") or no
// listed device has it ("no device G for NAME").
std::shared_ptr<Zelkor::IDevice> ListedDevice(Zelkor::IZelkorDriver& driver, Events& events, const std::string& name,
                                              const Json::Value& command);

// The first member of a line about a listed device: its "guid".
Json::Value DeviceFields(Zelkor::IDevice& device);

// The "request" line that tells where a request went: "device", or "all" for one sent to
// every served interface.
Json::Value RequestLine(const std::string& name, const std::string& guid, bool toDevice);

// Whether a request to the device can go on the connection a request to it takes: its
// own, else its router's. The device object drops one that finds neither, unanswered.
bool Reachable(Zelkor::IDevice& device);

// Writes the "request" line of a request to a listed device. One that was not sent
// (`sent` false) gets "sent":false and an "error" line after it, so that a script reading
// the answers knows none will come, and why: `why`, else that the device has no
// connection a request could take.
void WriteRequest(Events& events, Json::Value line, bool sent, const std::string& why = "");

// An address as a command gives it: IPv4, or IPv6 with or without brackets.
std::string Unbracketed(const std::string& address);

}  // namespace ZelkorNode
