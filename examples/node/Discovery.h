#pragma once
// Discovery, the device list and the exclusion rules: the role and discovery settings of
// the options, the node's own discovery values ("discovery"), a "device" line for every
// change in its device list, "alive" when a listed device answered more requests, and the
// answer to the disco rules of --exclude ("exclude").
//
// Commands: connect.

#include <cstdint>
#include <functional>
#include <map>

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "device/DeviceNetState.h"
#include "driver/IZelkorDriver.h"

namespace ZelkorNode {

class Discovery {
public:
    // `adopt` is what the node does with every device it comes to know, `attach` on each
    // change of a listed device's state (its first listing too) while it is not Lost.
    using Adopt = std::function<void(Zelkor::IDevice&)>;

    Discovery(Zelkor::IZelkorDriver& driver, const Options& options, Events& events, Adopt adopt, Adopt attach);

    // After the driver's InitDiscovery.
    void Configure();
    void AddCommands(Commands& commands);
    // On the loop, a few times a second: an "alive" line for each listed device whose
    // count of answers grew since the last look.
    void Look();

private:
    void excludeFromDiscovery(Zelkor::IDiscoveryService& discovery);
    void deviceLine(const std::shared_ptr<Zelkor::IDevice>& device, Zelkor::DeviceNetState state,
                    Zelkor::DeviceNetState old);
    void connect(const Json::Value& command);

    Zelkor::IZelkorDriver& _driver;
    const Options& _options;
    Events& _events;
    Adopt _adopt;
    Adopt _attach;
    // Answers counted per listed device at the last look (loop only).
    std::map<const Zelkor::IDevice*, std::uint64_t> _answers;
};

}  // namespace ZelkorNode
