#include "device/DeviceNetState.h"

#include <initializer_list>

namespace Zelkor {

const std::map<DeviceNetState, std::string> DeviceNetStateString = {
    {DeviceNetStateNew, "New"},
    {DeviceNetStateConnecting, "Connecting"},
    {DeviceNetStateConnected, "Connected"},
    {DeviceNetStateUnresponsive, "Unresponsive"},
    {DeviceNetStateDisconnected, "Disconnected"},
    {DeviceNetStateLost, "Lost"},
};

bool IsAllowedStateChange(DeviceNetState from, DeviceNetState to) {
    const auto in = [to](std::initializer_list<DeviceNetState> allowed) {
        for (DeviceNetState state : allowed) {
            if (state == to) {
                return true;
            }
        }
        return false;
    };
    switch (from) {
        case DeviceNetStateNone:
            return in({DeviceNetStateNew, DeviceNetStateConnected, DeviceNetStateConnecting});
        case DeviceNetStateNew:
            return in({DeviceNetStateConnected, DeviceNetStateDisconnected, DeviceNetStateLost,
                       DeviceNetStateConnecting});
        case DeviceNetStateConnected:
            return in({DeviceNetStateNew, DeviceNetStateDisconnected, DeviceNetStateUnresponsive});
        case DeviceNetStateDisconnected:
            return in({DeviceNetStateNew, DeviceNetStateConnected, DeviceNetStateLost, DeviceNetStateConnecting});
        case DeviceNetStateUnresponsive:
            return in({DeviceNetStateConnected, DeviceNetStateDisconnected});
        case DeviceNetStateConnecting:
            return in({DeviceNetStateNew, DeviceNetStateConnected, DeviceNetStateDisconnected, DeviceNetStateLost});
        default:
            return false;
    }
}

}  // namespace Zelkor
