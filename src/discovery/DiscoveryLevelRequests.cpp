// The discovery-level requests that act on a node as a whole: locate, identify, reboot,
// goodbye and send-disco; their answers, the replies a controller takes, the senders, and
// the application's callbacks that decide or observe each exchange.

#include <utility>
#include <vector>

#include "core/MacAddress.h"
#include "core/MessageSignalData.h"
#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"
#include "discovery/Identify.h"
#include "discovery/Locate.h"
#include "discovery/NumberText.h"
#include "discovery/Reboot.h"
#include "driver/ZelkorDriver.h"
#include "services/DeviceStateMessages.h"
#include "services/IDeviceStateService.h"
#include "transport/InterfaceInfo.h"
#include "transport/NetworkInfo.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

namespace {

template <class Callback>
Callback copyOf(std::mutex& mutex, const Callback& callback) {
    std::lock_guard<std::mutex> lock(mutex);
    return callback;
}

template <class Callback>
void replace(std::mutex& mutex, Callback& member, Callback callback) {
    std::lock_guard<std::mutex> lock(mutex);
    std::swap(member, callback);
    // The previous function goes when `callback` does, outside the lock: its captures may
    // own anything.
}

boost::asio::ip::address remoteOf(const MessageSignalData& data) {
    Socket* socket = ZelkorDriver::SocketOf(data.Handle());
    return socket ? socket->GetRemoteIP() : boost::asio::ip::address();
}

// An unparsable text gives the unspecified address.
boost::asio::ip::address addressOf(const std::string& text) {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address(text, error);
    return error ? boost::asio::ip::address() : address;
}

// 0 when the text is no unsigned 16-bit number.
std::uint16_t portOf(const std::string& text) {
    std::uint16_t port = 0;
    return NumberText::ReadUnsigned(text, port) ? port : 0;
}

}  // namespace

bool DiscoveryService::IsServiceCommand(const std::string& word) { return word == "goodbye" || word == "senddisco"; }

bool DiscoveryService::handleLevelRequestWord(const std::string& word, bool reply, MessageSignalData& data) {
    if (word == "goodbye") {
        if (!reply) {
            HandleGoodbyeRequest(data);
        }
    } else if (word == "locate") {
        reply ? HandleLocateReply(data) : HandleLocateRequest(data);
    } else if (word == "identify") {
        reply ? HandleIdentifyReply(data) : HandleIdentifyRequest(data);
    } else if (word == "reboot") {
        reply ? HandleRebootReply(data) : HandleRebootRequest(data);
    } else {
        return false;
    }
    return true;
}

void DiscoveryService::handleDatagram(const std::string& word, bool reply, MessageSignalData& data) {
    if (remoteOf(data).is_unspecified()) {
        return;
    }
    if (word == "senddisco") {
        if (!reply) {
            HandleSendDiscoRequest(data);
        }
    } else if (word != "goodbye") {
        handleLevelRequestWord(word, reply, data);
    }
}

// --- callbacks ---------------------------------------------------------------------------

void DiscoveryService::OnLocate(LocateCallback callback) {
    replace(_requestCallbackMutex, _onLocate, std::move(callback));
}

void DiscoveryService::OnIdentify(IdentifyCallback callback) {
    replace(_requestCallbackMutex, _onIdentify, std::move(callback));
}

void DiscoveryService::OnReboot(RebootMacCallback callback) {
    replace(_requestCallbackMutex, _onRebootMac, std::move(callback));
}

void DiscoveryService::OnReboot(RebootCallback callback) {
    replace(_requestCallbackMutex, _onReboot, std::move(callback));
}

void DiscoveryService::OnSetIP(SetIPCallback callback) {
    replace(_requestCallbackMutex, _onSetIP, std::move(callback));
    // The "setip" replies arrive through the device-state service's signal.
    IDeviceStateService* service = _driver ? _driver->GetDeviceStateService() : nullptr;
    if (!service) {
        return;
    }
    std::lock_guard<std::mutex> lock(_requestCallbackMutex);
    if (_setIPConnection.connected()) {
        return;
    }
    _setIPConnection = service->AddHandler2("setip", [weak = weak_from_this()](MessageSignalData& data) {
        const Message* message = data.GetMessage();
        const auto self = weak.lock();
        if (!self || !message || !message->GetIsReply()) {
            return;
        }
        const auto callback = copyOf(self->_requestCallbackMutex, self->_onSetIP);
        if (callback) {
            SETIP_SETTINGS settings = Zelkor::SetIP::ReadSettings(*message);
            callback(settings);
        }
    });
}

void DiscoveryService::answer(MessageSignalData& data, Message& reply) {
    const Message* request = data.GetMessage();
    if (!request) {
        return;
    }
    reply.SetIsReply(true);
    reply.SetJsonParameter(Param::guid, Json::Value(_discoInfo.GUID()));
    reply.SetJsonParameter(Param::name, Json::Value(_discoInfo.InstanceName()));
    NetworkInfo local;
    if (_driver && _driver->GetLocalInfo(remoteOf(data), &local)) {
        reply.SetJsonParameter(Param::mac, Json::Value(local.macText));
        reply.SetJsonParameter(Param::ip, Json::Value(local.ipText));
        reply.SetJsonParameter(Param::port, Json::Value(local.portText));
    }
    if (data.IsReliable()) {
        if (_driver) {
            reply.SetMessageForwardInfo(request->GetMessageForwardInfo());
            _driver->BuildAndSendMessage(data.Handle(), reply, false);
        }
        return;
    }
    SendUDPMessage(data, reply, false);
}

// --- locate ------------------------------------------------------------------------------

void DiscoveryService::HandleLocateRequest(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !isActionableMessage(data)) {
        return;
    }
    LocateInfo info;
    info.guid = message->GetParamValue(Param::guid);
    info.mac = message->GetParamValue(Param::mac);
    info.name = message->GetParamValue(Param::name);
    info.timeout = message->GetParamValue(Param::timeout);
    const auto remote = remoteOf(data);
    NetworkInfo local;
    if (_driver && _driver->GetLocalInfo(remote, &local)) {
        info.ip = remote;
        info.port = local.port;
    }
    if (data.IsReliable()) {
        SendLocateReply(data, info);
        return;
    }
    // Over UDP only the located node answers; the GUID decides alone when given.
    if (!info.guid.empty()) {
        if (CompareGUID(info.guid)) {
            SendLocateReply(data, info);
        }
        return;
    }
    if (info.mac.empty()) {
        if (!info.name.empty() && info.name == _discoInfo.InstanceName()) {
            SendLocateReply(data, info);
        }
        return;
    }
    if (!_driver) {
        return;
    }
    std::vector<InterfaceInfo> interfaces;
    std::string hostName;
    _driver->ListInterfaces(interfaces, hostName);
    for (const auto& adapter : interfaces) {
        if (adapter.macText == info.mac) {
            SendLocateReply(data, info);
            return;
        }
    }
}

void DiscoveryService::SendLocateReply(MessageSignalData& data, LocateInfo& info) {
    const auto callback = copyOf(_requestCallbackMutex, _onLocate);
    if (callback && !callback(info) && !data.IsReliable()) {
        return;
    }
    Locate reply;
    if (!info.timeout.empty()) {
        reply.SetJsonParameter(Param::timeout, Json::Value(info.timeout));
    }
    answer(data, reply);
}

void DiscoveryService::HandleLocateReply(MessageSignalData& data) {
    const auto callback = copyOf(_requestCallbackMutex, _onLocate);
    const Message* message = data.GetMessage();
    if (!callback || !message || !isActionableMessage(data)) {
        return;
    }
    LocateInfo info;
    info.reply = true;
    info.guid = message->GetParamValue(Param::guid);
    info.mac = message->GetParamValue(Param::mac);
    info.name = message->GetParamValue(Param::name);
    info.timeout = message->GetParamValue(Param::timeout);
    info.ip = addressOf(message->GetParamValue(Param::ip));
    info.port = portOf(message->GetParamValue(Param::port));
    info.error = message->GetParamValue(Param::error);
    callback(info);
}

void DiscoveryService::SendLocateRequest(LocateInfo& info) {
    Locate message;
    message.SetParams(info, false);
    SendMulticastMessage(message, true);
}

void DiscoveryService::SendLocateRequest(const boost::asio::ip::address& address, unsigned short port,
                                         LocateInfo& info) {
    Locate message;
    message.SetParams(info, false);
    SendUDPMessage(address, message, true, port, std::string());
}

void DiscoveryService::SendLocateRequest(void* handle, MessageForwardInfo& header, LocateInfo& info) {
    if (!_driver || !handle) {
        return;
    }
    Locate message;
    message.SetParams(info, false);
    message.SetMessageForwardInfo(header);
    _driver->SendDataToPeer(handle, message.Build(true), true);
}

// --- identify ----------------------------------------------------------------------------

void DiscoveryService::HandleIdentifyRequest(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !isActionableMessage(data)) {
        return;
    }
    IdentifyInfo info;
    info.guid = message->GetParamValue(Param::guid);
    info.mac = message->GetParamValue(Param::mac);
    info.name = message->GetParamValue(Param::name);
    info.ip = addressOf(message->GetParamValue(Param::ip));
    info.port = portOf(message->GetParamValue(Param::port));
    SendIdentifyReply(data, info);
}

void DiscoveryService::SendIdentifyReply(MessageSignalData& data, IdentifyInfo& info) {
    const auto callback = copyOf(_requestCallbackMutex, _onIdentify);
    if (callback && !callback(info) && !data.IsReliable()) {
        return;
    }
    Identify reply;
    answer(data, reply);
}

void DiscoveryService::HandleIdentifyReply(MessageSignalData& data) {
    const auto callback = copyOf(_requestCallbackMutex, _onIdentify);
    const Message* message = data.GetMessage();
    if (!callback || !message || !isActionableMessage(data)) {
        return;
    }
    IdentifyInfo info;
    info.reply = true;
    info.guid = message->GetParamValue(Param::guid);
    info.mac = message->GetParamValue(Param::mac);
    info.name = message->GetParamValue(Param::name);
    info.ip = addressOf(message->GetParamValue(Param::ip));
    info.port = portOf(message->GetParamValue(Param::port));
    info.error = message->GetParamValue(Param::error);
    callback(info);
}

void DiscoveryService::SendIdentifyRequest(IdentifyInfo& info) {
    Identify message;
    message.SetParams(info, false);
    SendMulticastMessage(message, true);
}

void DiscoveryService::SendIdentifyRequest(const boost::asio::ip::address& address, unsigned short port,
                                           IdentifyInfo& info) {
    Identify message;
    message.SetParams(info, false);
    SendUDPMessage(address, message, true, port, std::string());
}

void DiscoveryService::SendIdentifyRequest(void* handle, MessageForwardInfo& header, IdentifyInfo& info) {
    if (!_driver || !handle) {
        return;
    }
    Identify message;
    message.SetParams(info, false);
    message.SetMessageForwardInfo(header);
    _driver->SendDataToPeer(handle, message.Build(true), true);
}

// --- reboot ------------------------------------------------------------------------------

void DiscoveryService::HandleRebootRequest(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !data.Handle()) {
        return;
    }
    const std::string mac = message->GetParamValue(Param::mac);
    Reboot reply;
    reply.SetIsReply(true);
    reply.SetJsonParameter(Param::mac, Json::Value(mac));
    if (data.IsReliable()) {
        // The reply goes back along the request's route, and under its hash into the
        // reply cache, where a copy of the request waits for it.
        reply.SetMessageForwardInfo(message->GetMessageForwardInfo());
    }
    const auto send = [&] {
        if (_driver) {
            _driver->BuildAndSendUnicastMessage(data.Handle(), reply, false);
        }
    };
    if (data.IsReliable()) {
        // An empty MAC means this node; another node's MAC is refused here and nothing
        // else is asked.
        if (!mac.empty() && !IsLocalMAC(mac)) {
            reply.SetParameter(Param::error, "Unmatched MAC");
            send();
            return;
        }
    } else {
        Socket* socket = ZelkorDriver::SocketOf(data.Handle());
        if (_driver && _driver->IsListener(socket->GetRemoteIP(), socket->GetRemotePort())) {
            Debug("ZK2033I Ignoring own reboot requests");
            return;
        }
        // Other nodes' reboots are theirs to answer.
        if (!IsLocalMAC(mac)) {
            return;
        }
    }
    RebootInfo info;
    info.mac = mac;
    GetSenderGUID(data, info.guid);
    RebootMacCallback byMac;
    RebootCallback byRecord;
    {
        std::lock_guard<std::mutex> lock(_requestCallbackMutex);
        byMac = _onRebootMac;
        byRecord = _onReboot;
    }
    std::string error;
    const auto askRecord = [&] {
        if (!byRecord(info)) {
            error = info.error.empty() ? "Refused" : info.error;
        }
    };
    if (byMac) {
        if (!byMac(mac, false)) {
            error = "Refused";
        } else if (byRecord) {
            askRecord();
        }
    } else if (byRecord) {
        askRecord();
    } else {
        error = "Not implemented";
    }
    if (!error.empty()) {
        reply.SetParameter(Param::error, error.c_str());
    }
    send();
}

void DiscoveryService::HandleRebootReply(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message) {
        return;
    }
    RebootMacCallback byMac;
    RebootCallback byRecord;
    {
        std::lock_guard<std::mutex> lock(_requestCallbackMutex);
        byMac = _onRebootMac;
        byRecord = _onReboot;
    }
    const std::string mac = message->GetParamValue(Param::mac);
    if (byMac) {
        byMac(mac, true);
    }
    if (byRecord) {
        RebootInfo info;
        info.reply = true;
        GetSenderGUID(data, info.guid);
        info.mac = mac;
        info.error = message->GetParamValue(Param::error);
        byRecord(info);
    }
}

void DiscoveryService::SendReboot(const std::string& mac) {
    Reboot message;
    message.SetJsonParameter(Param::mac, Json::Value(mac));
    SendMulticastMessage(message, true);
}

void DiscoveryService::SendReboot(void* handle, const std::string& mac) {
    MessageForwardInfo none;
    SendReboot(handle, mac, none);
}

void DiscoveryService::SendReboot(void* handle, const std::string& mac, MessageForwardInfo& header) {
    if (!_driver || !handle) {
        return;
    }
    Reboot message;
    message.SetJsonParameter(Param::mac, Json::Value(mac));
    message.SetMessageForwardInfo(header);
    _driver->BuildAndSendMessage(handle, message, true);
}

// --- goodbye and send-disco --------------------------------------------------------------

void DiscoveryService::HandleGoodbyeRequest(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!data.IsReliable() || !message || !_driver) {
        return;
    }
    Goodbye reply;
    reply.SetIsReply(true);
    reply.SetMessageForwardInfo(message->GetMessageForwardInfo());
    // Through a router the connection is the router's: a controller behind it that leaves
    // takes only what it subscribed to, and every other requester keeps the connection.
    if (message->GetMessageForwardInfo().SourceList().size() >= 2) {
        _driver->ForgetRoutedRequester(data.Handle(), message->GetMessageForwardInfo());
    } else if (const auto& socket = data.Socket()) {
        socket->SetCloseAfterSend(true);
    }
    _driver->BuildAndSendMessage(data.Handle(), reply, false);
}

void DiscoveryService::HandleSendDiscoRequest(MessageSignalData& data) {
    if (data.IsReliable() || !data.Handle()) {
        return;
    }
    if (!_sendDiscos.load() && !(_replyDiscos.load() && _discoReplyPort.load() != ProtocolPort)) {
        return;
    }
    auto* socket = static_cast<UdpSocket*>(ZelkorDriver::SocketOf(data.Handle()));
    const auto remote = socket->GetRemoteIP();
    if (remote.is_unspecified()) {
        return;
    }
    std::string interfaceName = socket->InterfaceName();
    if (interfaceName.empty() && _driver) {
        interfaceName = _driver->GetEndPointInterface(remote);
    }
    SendDiscoCommand(remote, socket->GetRemotePort(), interfaceName);
}

// --- UDP, GUIDs and MACs -------------------------------------------------------------------

void DiscoveryService::SendUDPMessage(MessageSignalData& data, Message& message, bool request) {
    if (!data.Handle() || data.IsReliable()) {
        return;
    }
    auto* socket = static_cast<UdpSocket*>(ZelkorDriver::SocketOf(data.Handle()));
    SendUDPMessage(socket->GetRemoteIP(), message, request, socket->GetRemotePort(), socket->InterfaceName());
}

void DiscoveryService::SendUDPMessage(const boost::asio::ip::address& address, Message& message, bool request,
                                      unsigned short port, const std::string& interfaceName) {
    if (!_driver) {
        return;
    }
    // The driver sends through the socket of the interface named; a datagram heard on a
    // socket tied to none, or a request to an address, goes by the network that holds
    // the address.
    std::string through = interfaceName.empty() ? _driver->GetEndPointInterface(address) : interfaceName;
    onLoop([driver = _driver, text = message.Build(request), address, port, from = _discoReplyPort.load(),
            through = std::move(through)] { driver->SendFrame(text, address, port, from, through); });
}

bool DiscoveryService::CompareGUID(const std::string& guid) {
    boost::uuids::uuid parsed{};
    return ParseGuid(guid, parsed) && !_guid.is_nil() && parsed == _guid;
}

bool DiscoveryService::IsLocalMAC(const std::string& mac) {
    if (!_driver) {
        return false;
    }
    const MacAddress parsed(mac);
    return parsed.IsValid() && _driver->IsLocalMAC(parsed.Text());
}

bool DiscoveryService::GetSenderGUID(const MessageSignalData& data, std::string& guid) {
    const auto& socket = data.Socket();
    if (!data.IsReliable() || !socket) {
        return false;
    }
    const auto connected = GetDeviceImplBySocket(socket);
    if (!connected) {
        return false;
    }
    // A reply's own route names the node that answered: the last of its sources (the peer
    // when it names the peer alone). Without one, the connection's header tells: the route
    // of the last request taken on it, which by the time the reply is handled may be a
    // later request's (a keep-alive to the router itself).
    const Message* message = data.GetMessage();
    std::string target;
    if (message && message->GetIsReply() && !message->GetMessageForwardInfo().SourceList().empty()) {
        const auto& sources = message->GetMessageForwardInfo().SourceList();
        target = sources.size() > 1 ? sources.back() : std::string();
    } else {
        target = socket->ForwardInfo().FinalDestination();
    }
    if (target.empty()) {
        guid = connected->GetDiscoInfo().guid;
        return true;
    }
    std::vector<std::shared_ptr<DeviceImpl>> named;
    {
        std::lock_guard<std::mutex> tablesLock(_deviceTablesMutex);
        std::lock_guard<std::mutex> setLock(_deviceSetMutex);
        const auto found = _guidsByName.find(target);
        if (found != _guidsByName.end()) {
            for (const auto& key : found->second) {
                if (auto device = deviceOfGuidLocked(key)) {
                    named.push_back(std::move(device));
                }
            }
        }
    }
    // Asked outside the locks: a device's router is read under the device's own locks.
    const std::string routerName = connected->GetDiscoInfo().name;
    for (const auto& device : named) {
        if (device->ProxyName() == routerName) {
            PeerInfo("ZK2036I Proxied device GUID found", target);
            guid = device->GetDiscoInfo().guid;
            return true;
        }
    }
    return false;
}

std::shared_ptr<TcpSocket> DiscoveryService::GetHandle(const std::string& guid) {
    const auto device = GetDeviceImplByUUID(guid);
    return device ? device->GetHandle() : nullptr;
}

// --- set-IP ------------------------------------------------------------------------------

// "setip" belongs to the device-state service: without it there is nothing to send
// through.
void DiscoveryService::SetIP(void* handle, const SETIP_SETTINGS& settings) {
    if (IDeviceStateService* service = _driver ? _driver->GetDeviceStateService() : nullptr) {
        service->SendSetIP(handle, settings);
    }
}

void DiscoveryService::SetIP(const SETIP_SETTINGS& settings) {
    if (IDeviceStateService* service = _driver ? _driver->GetDeviceStateService() : nullptr) {
        service->SendSetIP(settings);
    }
}

}  // namespace Zelkor
