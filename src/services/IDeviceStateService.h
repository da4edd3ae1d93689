#pragma once
// The service of device state, presets and network settings, as the driver hands it to
// the application: the controller's senders of "getdevicestate", "getpresetinfo", the
// presets list and "setip", and the device's answers. Replies a controller receives reach
// the functions connected with AddHandler2 ("getdevicestate", "getpresetinfo", "setip").
//
// Ownership: the driver's; the application never deletes it. Threads: every operation may
// be called from any thread. The senders build and send on the caller's thread; the
// replies that ask the application's device-state object do so on the event loop.

#include <vector>

#include "core/IServiceBase.h"
#include "services/ListPresets.h"
#include "services/SetIPSettings.h"

namespace Zelkor {

class MessageForwardInfo;

class IDeviceStateService : public IServiceBase {
public:
    virtual void SendGetDeviceState(void* conn) = 0;
    // "@getdevicestate" with the device-state object's text, without routing header.
    virtual void ReplyGetDeviceState(void* conn) = 0;
    virtual void SendGetPreset(void* conn) = 0;
    // "@getpresetinfo" with the preset information and "isdirty" after the flag; the two
    // texts are not carried.
    virtual void ReplyGetPreset(void* conn, const char* name, const char* path, bool isdirty) = 0;
    virtual void SendListPresets(void* conn) = 0;
    // "@list" {"command":"presets"}; the presets are not carried.
    virtual void ReplyListPresets(void* conn, const std::vector<ListPresetsStruct>& presets) = 0;
    // On the connection; a null handle multicasts it.
    virtual void SendSetIP(void* conn, const SETIP_SETTINGS& settings) = 0;
    // To every node, by multicast.
    virtual void SendSetIP(const SETIP_SETTINGS& settings) = 0;
    // The settings as a reply ("error" when their result is false): over TCP on the
    // connection, over UDP one datagram back to the sender.
    virtual void ReplySetIP(void* conn, const SETIP_SETTINGS& settings) = 0;
    // As SendSetIP(conn, settings), with the routing header of a device reached through a
    // router.
    virtual void SendSetIP(void* conn, const MessageForwardInfo& header, const SETIP_SETTINGS& settings) = 0;
    // As the three requests above, with the routing header of a device reached through a
    // router: without it the router itself would answer.
    virtual void SendGetDeviceState(void* conn, const MessageForwardInfo& header) = 0;
    virtual void SendGetPreset(void* conn, const MessageForwardInfo& header) = 0;
    virtual void SendListPresets(void* conn, const MessageForwardInfo& header) = 0;
};

}  // namespace Zelkor
