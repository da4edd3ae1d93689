#pragma once
// The owner of "getdevicestate", "getpresetinfo" and "setip", and the service the list
// router hands "presets" lists to. On a device it answers the state and preset requests
// from the application's device-state object, applies "setip" for one of the host's MAC
// addresses through it, and answers presets lists; every answer to a request over a
// connection carries the request's routing header and sender hash, so that a router
// passes it back and the reply cache keeps it. On a controller it sends the same words.
//
// Every request is answered, so that the requester's one-at-a-time connection moves on:
// a device-state operation that throws is logged and answered as a failure. Only "setip"
// over UDP, where one multicast may arrive twice, is dropped when it repeats the last
// recorded one, and over UDP only the node owning the MAC answers.
//
// Ownership: made and held in shared ownership by the driver, which outlives it; the
// sender and the device-state object are not owned and outlive it. Loop jobs hold the
// service weakly.
// Threads: received words come on the event loop, where the device-state object is called
// and the last recorded settings live. The public replies that ask the device-state
// object go through `toLoop`, which runs a job on the loop (at once when empty: the
// caller is then the loop). The senders and ReplySetIP build and send on the caller's
// thread. No lock of its own.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/signals2/connection.hpp>

#include "core/IGiveMessageMapToMessageReceiver.h"
#include "core/IServiceBaseImpl.h"
#include "core/ISignalObserver.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/Signal.h"
#include "core/ZelkorLoggable.h"
#include "services/IDeviceStateService.h"
#include "services/LoopPoster.h"
#include "services/SetIPSettings.h"

namespace Zelkor {

class IDeviceState;
class IServiceSender;
class SetIP;

class DeviceStateService : public ISignalObserver<MessageSignalData>,
                           public IGiveMessageMapToMessageReceiver,
                           public IServiceBaseImpl<IDeviceStateService>,
                           public ZelkorLoggable,
                           public std::enable_shared_from_this<DeviceStateService> {
public:
    using LoopJob = Zelkor::LoopJob;
    using LoopPoster = Zelkor::LoopPoster;
    static constexpr const char* UnknownMac = "Unknown MAC address";
    static constexpr const char* UnableToUpdate = "Unable to update network settings";

    // Without sender nothing is sent; without device-state object the texts are empty and
    // no settings are applied.
    DeviceStateService(IServiceSender* sender, IDeviceState* deviceState, LoopPoster toLoop = {});
    ~DeviceStateService() override;
    DeviceStateService(const DeviceStateService&) = delete;
    DeviceStateService& operator=(const DeviceStateService&) = delete;

    // Answers a request of the three words and a presets list request; replies are left
    // to the connected handlers.
    void SignalRaised(MessageSignalData& data) override;
    void GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) override;
    Signal<MessageSignalData>& GetDeviceStateSignal() { return _deviceState.signal; }
    Signal<MessageSignalData>& GetPresetSignal() { return _preset.signal; }
    // Every routed presets list, request or reply, is raised here once.
    Signal<MessageSignalData>& ListPresetsSignal() { return _listPresets.signal; }
    Signal<MessageSignalData>& SetIPSignal() { return _setIP.signal; }
    // What the list router is given for the option "presets": it raises each list on
    // ListPresetsSignal, whose first observer is this service.
    ISignalObserver<MessageSignalData>* PresetsRoute() { return &_presetsRoute; }

    // --- IDeviceStateService -----------------------------------------------------------
    void SendGetDeviceState(void* conn) override;
    void ReplyGetDeviceState(void* conn) override;
    void SendGetPreset(void* conn) override;
    void ReplyGetPreset(void* conn, const char* name, const char* path, bool isdirty) override;
    void SendListPresets(void* conn) override;
    void SendGetDeviceState(void* conn, const MessageForwardInfo& header) override;
    void SendGetPreset(void* conn, const MessageForwardInfo& header) override;
    void SendListPresets(void* conn, const MessageForwardInfo& header) override;
    void ReplyListPresets(void* conn, const std::vector<ListPresetsStruct>& presets) override;
    void SendSetIP(void* conn, const SETIP_SETTINGS& settings) override;
    void SendSetIP(const SETIP_SETTINGS& settings) override;
    void ReplySetIP(void* conn, const SETIP_SETTINGS& settings) override;
    void SendSetIP(void* conn, const MessageForwardInfo& header, const SETIP_SETTINGS& settings) override;

    // "@getpresetinfo" with "isdirty" "false".
    void ReplyGetPresetInfo(void* conn);
    // Loop thread. False when the settings equal the last recorded ones, else records them.
    bool RecordSetIPRequest(const SETIP_SETTINGS& settings);
    // False when MAC, address, mask, gateway and dhcp equal those of `last`; otherwise
    // copies them and the result flag into `last` (the error text is left alone).
    static bool RecordSetIP(const SETIP_SETTINGS& incoming, SETIP_SETTINGS& last);
    // The settings as a message: "mac" when it reads as a MAC address, "ipv6" or "ipv4"
    // after the address's family (none for an address that does not read), "dhcp",
    // "subnetmask" and "gateway" when not empty; a reply whose result is false carries
    // "error" (its text, else UnableToUpdate).
    static void BuildSetIP(const SETIP_SETTINGS& settings, bool request, SetIP& message);

private:
    struct Word {
        Signal<MessageSignalData> signal;
        boost::signals2::connection connection;
    };
    // Raises a routed presets list on the service's list signal.
    class PresetsRouteObserver final : public ISignalObserver<MessageSignalData> {
    public:
        explicit PresetsRouteObserver(Signal<MessageSignalData>& signal) : _signal(signal) {}
        void SignalRaised(MessageSignalData& data) override { _signal.Raise(data); }

    private:
        Signal<MessageSignalData>& _signal;
    };

    void onLoop(std::function<void(DeviceStateService&)> job);
    // The answers, each with the given routing header (empty: none). Loop thread.
    void replyState(void* conn, const MessageForwardInfo& header);
    void replyPreset(void* conn, const MessageForwardInfo& header, bool isdirty);
    void replyPresets(void* conn, const MessageForwardInfo& header);
    void answerSetIP(MessageSignalData& data);
    void sendSetIP(void* conn, const MessageForwardInfo& header, const SETIP_SETTINGS& settings);
    // A request on the connection with the routing header given (empty: straight).
    void sendRequest(void* conn, const MessageForwardInfo& header, Message& request);
    // The device-state object's answers; an exception is logged and gives "" or false.
    std::string stateText();
    std::string presetText();
    bool apply(SETIP_SETTINGS& settings);

    IServiceSender* _sender;
    IDeviceState* _state;
    LoopPoster _toLoop;
    // Loop thread only.
    SETIP_SETTINGS _lastSetIP;
    Word _deviceState;
    Word _preset;
    Word _listPresets;
    Word _setIP;
    PresetsRouteObserver _presetsRoute{_listPresets.signal};
};

}  // namespace Zelkor
