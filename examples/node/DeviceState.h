#pragma once
// Device state, presets and network settings between nodes.
//
// Every node gives the driver a device-state object of its own (InitFileTransfer). It
// answers a peer's "getdevicestate" with --device-state, "getpresetinfo" with
// --preset-info, takes the settings of a "setip" naming one of the host's MAC addresses
// as --setip-result says, and a firmware update as --fwupdate-error says, writing a line
// for each call ("getDeviceStateText", "getPresetInfo", "applyNetworkSettings",
// "fwupdate" with "reply" false). It changes nothing on the host.
//
// A controller asks a listed device for its state, its preset information and its
// presets list, on the connection a request to the device takes; the answers come as
// lines named after the commands. "setip" goes to a listed device
// through its device object, or without "guid" to every node by multicast; each reply
// comes as a "setip" line (with the device's "guid" when its device object took it, and
// once more without for the discovery service's callback).
//
// Commands: getdevicestate, getpresetinfo, listpresets, setip.
//
// Threads: the device-state object is called on the event loop, as are commands and
// callbacks.

#include <string>

#include <boost/signals2/connection.hpp>

#include "Commands.h"
#include "Events.h"
#include "Options.h"
#include "device/IDevice.h"
#include "device/IDeviceState.h"
#include "driver/IZelkorDriver.h"

namespace Zelkor {
class MessageSignalData;
}

namespace ZelkorNode {

// The node's device-state object: answers from the options, one line per call.
class RunnerDeviceState final : public Zelkor::IDeviceState {
public:
    RunnerDeviceState(const Options& options, Events& events);

    std::string GetDeviceStateText() override;
    std::string GetPresetInfo() override;
    // Only tells: the settings are not applied, and dhcp is answered as asked.
    bool ApplyNetworkSettings(const std::string& ip, const std::string& subnetmask, const std::string& gateway,
                              const std::string& mac, bool& dhcp) override;
    // Only tells ("fwupdate" line): refused with --fwupdate-error, else done.
    bool UpdateFirmware(std::string& error, std::string arguments) override;

private:
    const Options& _options;
    Events& _events;
};

class DeviceState {
public:
    DeviceState(Zelkor::IZelkorDriver& driver, const Options& options, Events& events);

    // The object the driver's InitFileTransfer takes; it outlives the driver.
    Zelkor::IDeviceState& Object() { return _object; }
    // After InitFileTransfer: the reply lines, and the discovery service's set-IP
    // callback.
    void Configure();
    // The device object's set-IP callback, registered once the device is listed and again
    // on each change of its state.
    void Attach(Zelkor::IDevice& device);
    void AddCommands(Commands& commands);

private:
    void ask(const std::string& name, const Json::Value& command);
    void setIP(const Json::Value& command);
    // "tag" (the connection) and "source" of a reply line.
    static Json::Value replyFields(Zelkor::MessageSignalData& data);

    Zelkor::IZelkorDriver& _driver;
    Events& _events;
    RunnerDeviceState _object;
    // The device-state service goes with the driver, which may go first.
    boost::signals2::scoped_connection _stateReplies;
    boost::signals2::scoped_connection _presetReplies;
    boost::signals2::scoped_connection _presetsLists;
};

}  // namespace ZelkorNode
