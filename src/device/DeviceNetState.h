#pragma once
// The network state of a discovered device, and the rule that decides which changes are
// taken. 2 and 4 are never stored: they only tell observers that the device's discovery
// data changed (2) or that its descriptor is wanted (4). 6 ("Lost") is final.
//
// Pure data and functions: any thread.

#include <cstdint>
#include <map>
#include <string>

namespace Zelkor {

enum DeviceNetState : std::int32_t {
    DeviceNetStateNone = 0,
    DeviceNetStateNew = 1,
    DeviceNetStateChanged = 2,
    DeviceNetStateConnected = 3,
    DeviceNetStateDescriptorWanted = 4,
    DeviceNetStateDisconnected = 5,
    DeviceNetStateLost = 6,
    DeviceNetStateUnresponsive = 7,
    DeviceNetStateConnecting = 8,
};

// The names of the six stored states; 0, 2 and 4 have none.
extern const std::map<DeviceNetState, std::string> DeviceNetStateString;

// True when a device in state `from` may be moved to `to` (2 and 4 excluded: they notify).
bool IsAllowedStateChange(DeviceNetState from, DeviceNetState to);

}  // namespace Zelkor
