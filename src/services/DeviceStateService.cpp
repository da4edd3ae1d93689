#include "services/DeviceStateService.h"

#include <exception>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <json/value.h>

#include "core/MacAddress.h"
#include "device/IDeviceState.h"
#include "driver/IServiceSender.h"
#include "services/DeviceStateMessages.h"
#include "services/ListPresets.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

// A string whatever it holds: an application's text that looks like JSON stays text.
void setText(Message& message, Param p, const std::string& text) { message.SetJsonParameter(p, Json::Value(text)); }

}  // namespace

DeviceStateService::DeviceStateService(IServiceSender* sender, IDeviceState* deviceState, LoopPoster toLoop)
    : ZelkorLoggable("DEVS"), _sender(sender), _state(deviceState), _toLoop(std::move(toLoop)) {
    _messageSignalMap.SetMessageSignalFactory(
        MessageSignalFactory("getdevicestate", &_deviceState.signal, CreateGetDeviceState));
    _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("getpresetinfo", &_preset.signal, CreateGetPreset));
    _messageSignalMap.SetMessageSignalFactory(MessageSignalFactory("setip", &_setIP.signal, CreateSetIP));
    // First on each signal: a request is answered before any handler the application
    // connects sees it.
    for (Word* word : {&_deviceState, &_preset, &_listPresets, &_setIP}) {
        word->connection = word->signal += static_cast<ISignalObserver<MessageSignalData>*>(this);
    }
}

DeviceStateService::~DeviceStateService() {
    for (Word* word : {&_deviceState, &_preset, &_listPresets, &_setIP}) {
        word->signal -= word->connection;
    }
}

void DeviceStateService::GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) {
    _messageSignalMap.GiveTo(receiver);
}

void DeviceStateService::onLoop(std::function<void(DeviceStateService&)> job) { RunOnLoop(_toLoop, *this, std::move(job)); }

// ---------------------------------------------------------------------------------------
// Received

void DeviceStateService::SignalRaised(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || message->GetIsReply()) {
        return;
    }
    const std::string word = message->CommandName();
    const MessageForwardInfo& header = message->GetMessageForwardInfo();
    if (word == "getdevicestate") {
        replyState(data.Handle(), header);
    } else if (word == "getpresetinfo") {
        replyPreset(data.Handle(), header, false);
    } else if (word == "setip") {
        answerSetIP(data);
    } else if (word == "list") {
        replyPresets(data.Handle(), header);
    }
}

std::string DeviceStateService::stateText() {
    if (!_state) {
        return std::string();
    }
    try {
        return _state->GetDeviceStateText();
    } catch (const std::exception& error) {
        Error("ZK5805E Device state text failed", error.what());
    } catch (...) {
        Error("ZK5805E Device state text failed");
    }
    return std::string();
}

std::string DeviceStateService::presetText() {
    if (!_state) {
        return std::string();
    }
    try {
        return _state->GetPresetInfo();
    } catch (const std::exception& error) {
        Error("ZK5806E Preset information failed", error.what());
    } catch (...) {
        Error("ZK5806E Preset information failed");
    }
    return std::string();
}

bool DeviceStateService::apply(SETIP_SETTINGS& settings) {
    if (!_state) {
        return false;
    }
    try {
        return _state->ApplyNetworkSettings(settings.ip, settings.subnetmask, settings.gateway, settings.mac,
                                            settings.dhcp);
    } catch (const std::exception& error) {
        Error("ZK5807E SetIP network settings failed", error.what());
    } catch (...) {
        Error("ZK5807E SetIP network settings failed");
    }
    return false;
}

void DeviceStateService::replyState(void* conn, const MessageForwardInfo& header) {
    GetDeviceState reply;
    setText(reply, Param::devicestate, stateText());
    reply.SetMessageForwardInfo(header);
    if (_sender) {
        _sender->BuildAndSendMessage(conn, reply, false);
    }
}

void DeviceStateService::replyPreset(void* conn, const MessageForwardInfo& header, bool isdirty) {
    GetPreset reply;
    setText(reply, Param::path, presetText());
    setText(reply, Param::isdirty, isdirty ? "true" : "false");
    reply.SetMessageForwardInfo(header);
    if (_sender) {
        _sender->BuildAndSendMessage(conn, reply, false);
    }
}

void DeviceStateService::replyPresets(void* conn, const MessageForwardInfo& header) {
    ListPresets reply;
    setText(reply, Param::command, ListPresets::Option);
    reply.SetMessageForwardInfo(header);
    if (_sender) {
        _sender->BuildAndSendMessage(conn, reply, false);
    }
}

bool DeviceStateService::RecordSetIPRequest(const SETIP_SETTINGS& settings) {
    return RecordSetIP(settings, _lastSetIP);
}

bool DeviceStateService::RecordSetIP(const SETIP_SETTINGS& incoming, SETIP_SETTINGS& last) {
    if (incoming.mac == last.mac && incoming.ip == last.ip && incoming.subnetmask == last.subnetmask &&
        incoming.gateway == last.gateway && incoming.dhcp == last.dhcp) {
        return false;
    }
    last.mac = incoming.mac;
    last.ip = incoming.ip;
    last.subnetmask = incoming.subnetmask;
    last.gateway = incoming.gateway;
    last.dhcp = incoming.dhcp;
    last.result = incoming.result;
    return true;
}

void DeviceStateService::answerSetIP(MessageSignalData& data) {
    PeerInfo("ZK5800I SetIP request received");
    const Message* request = data.GetMessage();
    if (!_sender || !request) {
        return;
    }
    SETIP_SETTINGS settings = SetIP::ReadSettings(*request);
    PeerInfo(Join("ZK5800I SetIP mac ", settings.mac, " ip ", settings.ip));
    const bool tcp = data.IsReliable();
    if (tcp) {
        if (!data.Handle()) {
            return;
        }
        // The node does not answer itself.
        const auto& socket = data.Socket();
        if (socket && _sender->IsListener(socket->GetRemoteIP(), socket->GetRemotePort())) {
            return;
        }
    } else if (!RecordSetIPRequest(settings)) {
        // One multicast may arrive on several sockets. Over TCP every request is answered:
        // dropping one would hold the requester's connection for good.
        PeerDetail("ZK5801I SetIP repeated request ignored");
        return;
    }
    if (!settings.mac.empty() && _sender->IsLocalMAC(settings.mac)) {
        PeerInfo("ZK5803I SetIP invoking storage model");
        settings.result = apply(settings);
        PeerInfo("ZK5804I SetIP return from storage model:", settings.result ? "success" : "fail");
    } else if (!tcp) {
        // Another node's settings: its owner answers.
        return;
    } else {
        settings.error = UnknownMac;
        settings.result = false;
    }
    SetIP reply;
    BuildSetIP(settings, false, reply);
    if (tcp) {
        reply.SetMessageForwardInfo(request->GetMessageForwardInfo());
    }
    _sender->BuildAndSendUnicastMessage(data.Handle(), reply, false);
}

// ---------------------------------------------------------------------------------------
// Application side

void DeviceStateService::SendGetDeviceState(void* conn) { SendGetDeviceState(conn, MessageForwardInfo()); }

void DeviceStateService::SendGetDeviceState(void* conn, const MessageForwardInfo& header) {
    GetDeviceState request;
    sendRequest(conn, header, request);
}

void DeviceStateService::ReplyGetDeviceState(void* conn) {
    onLoop([conn](DeviceStateService& self) { self.replyState(conn, MessageForwardInfo()); });
}

void DeviceStateService::SendGetPreset(void* conn) { SendGetPreset(conn, MessageForwardInfo()); }

void DeviceStateService::SendGetPreset(void* conn, const MessageForwardInfo& header) {
    GetPreset request;
    sendRequest(conn, header, request);
}

void DeviceStateService::ReplyGetPresetInfo(void* conn) {
    onLoop([conn](DeviceStateService& self) { self.replyPreset(conn, MessageForwardInfo(), false); });
}

void DeviceStateService::ReplyGetPreset(void* conn, const char* /*name*/, const char* /*path*/, bool isdirty) {
    onLoop([conn, isdirty](DeviceStateService& self) { self.replyPreset(conn, MessageForwardInfo(), isdirty); });
}

void DeviceStateService::SendListPresets(void* conn) { SendListPresets(conn, MessageForwardInfo()); }

void DeviceStateService::SendListPresets(void* conn, const MessageForwardInfo& header) {
    ListPresets request;
    setText(request, Param::command, ListPresets::Option);
    sendRequest(conn, header, request);
}

void DeviceStateService::sendRequest(void* conn, const MessageForwardInfo& header, Message& request) {
    request.SetMessageForwardInfo(header);
    if (_sender) {
        _sender->BuildAndSendMessage(conn, request, true);
    }
}

void DeviceStateService::ReplyListPresets(void* conn, const std::vector<ListPresetsStruct>& /*presets*/) {
    replyPresets(conn, MessageForwardInfo());
}

void DeviceStateService::sendSetIP(void* conn, const MessageForwardInfo& header, const SETIP_SETTINGS& settings) {
    SetIP request;
    BuildSetIP(settings, true, request);
    request.SetMessageForwardInfo(header);
    if (_sender) {
        _sender->BuildAndSendMessage(conn, request, true);
    }
}

void DeviceStateService::SendSetIP(void* conn, const SETIP_SETTINGS& settings) {
    sendSetIP(conn, MessageForwardInfo(), settings);
}

void DeviceStateService::SendSetIP(const SETIP_SETTINGS& settings) {
    sendSetIP(nullptr, MessageForwardInfo(), settings);
}

void DeviceStateService::SendSetIP(void* conn, const MessageForwardInfo& header, const SETIP_SETTINGS& settings) {
    sendSetIP(conn, header, settings);
}

void DeviceStateService::ReplySetIP(void* conn, const SETIP_SETTINGS& settings) {
    SetIP reply;
    BuildSetIP(settings, false, reply);
    if (_sender) {
        _sender->BuildAndSendUnicastMessage(conn, reply, false);
    }
}

void DeviceStateService::BuildSetIP(const SETIP_SETTINGS& settings, bool request, SetIP& message) {
    MacAddress mac;
    if (mac.Set(settings.mac)) {
        setText(message, Param::mac, mac.Text());
    }
    if (!settings.ip.empty()) {
        boost::system::error_code error;
        const auto address = boost::asio::ip::make_address(settings.ip, error);
        if (!error) {
            setText(message, address.is_v6() ? Param::ipv6 : Param::ipv4, settings.ip);
        }
    }
    setText(message, Param::dhcp, settings.dhcp ? "true" : "false");
    if (!settings.subnetmask.empty()) {
        setText(message, Param::subnetmask, settings.subnetmask);
    }
    if (!settings.gateway.empty()) {
        setText(message, Param::gateway, settings.gateway);
    }
    if (!request && !settings.result) {
        setText(message, Param::error, settings.error.empty() ? UnableToUpdate : settings.error);
    }
}

}  // namespace Zelkor
