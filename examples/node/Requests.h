#pragma once
// Discovery-level requests and folders between nodes: locate, identify, reboot and
// goodbye, and browsing a device's parameter tree (ls, rls, cd). Each request tells where
// it went in a "request" line; the peer's answer, and a request from a peer, come as a
// line named after it ("locate", "identify", "reboot", "ls", "rls", "cd"); a locate sent
// to a listed device also registers the device object's own callback for its reply, whose
// line carries the device's GUID as "device". Locate and identify may go to one address
// instead of every node (a subnet's broadcast address, say). A line no service takes
// comes as "custom" or "customreply".
//
// Commands: ls, rls, cd, locate, identify, reboot, goodbye.

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "driver/IZelkorDriver.h"

namespace ZelkorNode {

class Requests {
public:
    Requests(Zelkor::IZelkorDriver& driver, const Options& options, Events& events);

    // After the driver's InitDiscovery.
    void Configure();
    void AddCommands(Commands& commands);

private:
    void request(const std::string& name, const Json::Value& command);
    void toAddress(const std::string& name, const Json::Value& command, DeviceRequest& request);

    // Where locate and identify go when a command names an address and no port.
    static constexpr unsigned short kProtocolPort = 4197;

    Zelkor::IZelkorDriver& _driver;
    const Options& _options;
    Events& _events;
};

}  // namespace ZelkorNode
