#pragma once
// The application's device-state object (device state text, presets, new network
// settings, firmware update), given to the driver's InitFileTransfer. Its operations
// arrive with the services that call them.
//
// Ownership: the application's; it outlives the driver.

namespace Zelkor {

class IDeviceState {
public:
    virtual ~IDeviceState() = default;
};

}  // namespace Zelkor
