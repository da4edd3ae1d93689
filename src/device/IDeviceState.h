#pragma once
// The application's device-state object, given to the driver's InitFileTransfer: it
// supplies the device state text and the preset information, applies new network
// settings and runs a firmware update. The library calls only the last four operations.
//
// Ownership: the application's; the library keeps a plain pointer, never deletes it, and
// the object outlives the driver. Threads: the library calls it on the event-loop thread
// only, and every answer of the node waits while it runs: peers take a node that answers
// nothing for 10 s as lost, so an operation that takes longer (a firmware image written,
// say) starts the work on a thread of its own and returns. An operation that throws is
// caught by the library, logged, and answered as a failure.

#include <string>

namespace Zelkor {

class IDeviceState {
public:
    virtual ~IDeviceState() = default;

    // Kept for the application's own use; the library never calls them. They stay so that
    // the operations below keep their places in the table of virtual operations.
    virtual void Reserved1() {}
    virtual void Reserved2() {}

    // The text a "getdevicestate" request is answered with.
    virtual std::string GetDeviceStateText() = 0;
    // The text a "getpresetinfo" request is answered with (its "path").
    virtual std::string GetPresetInfo() = 0;
    // Applies the settings of a "setip" request naming one of this host's MAC addresses;
    // `dhcp` may be changed, and what it holds afterwards is answered. True when applied.
    virtual bool ApplyNetworkSettings(const std::string& ip, const std::string& subnetmask,
                                      const std::string& gateway, const std::string& mac, bool& dhcp) = 0;
    // Runs a firmware update with the request's arguments; on false `error` is answered.
    virtual bool UpdateFirmware(std::string& error, std::string arguments) = 0;
};

}  // namespace Zelkor
