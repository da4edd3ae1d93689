// Connections as the discovery service keeps them: the admitted incoming connections and
// the rule that admits them, the clean-up after a connection closed, the close of those
// that stalled or whose peer fell silent, connecting to an endpoint, closing what runs
// over one adapter, the devices that want a connection or their descriptor, the validity
// of a handle, the request times of a device's connection, and the interface DHCP
// setting.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <set>
#include <vector>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"
#include "discovery/IncomingSlots.h"
#include "driver/ZelkorDriver.h"
#include "filetransfer/IFileTransferService.h"
#include "transport/InterfaceInfo.h"
#include "transport/LinuxPlatform.h"
#include "transport/NetworkInterface.h"
#include "storage/StorageModel.h"
#include "transport/SourceGroup.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

const char* const kInterfacesPath = "/configuration/network/interface";

std::string endpointText(const std::shared_ptr<TcpSocket>& socket) {
    return socket->GetRemoteIP().to_string() + ":" + std::to_string(socket->GetRemotePort());
}

// The same, made only when a log line is written (a part of ZelkorLoggable::Join).
auto endpointOf(const std::shared_ptr<TcpSocket>& socket) {
    return [&socket] { return endpointText(socket); };
}

}  // namespace

void DiscoveryService::AdmitIncomingConnection(const std::shared_ptr<TcpSocket>& connection) {
    if (!connection) {
        return;
    }
    std::lock_guard<std::mutex> lock(_incomingMutex);
    if (std::find(_incomingConnections.begin(), _incomingConnections.end(), connection) ==
        _incomingConnections.end()) {
        _incomingConnections.push_back(connection);
    }
}

void DiscoveryService::EraseSocket(const std::shared_ptr<TcpSocket>& connection) {
    std::lock_guard<std::mutex> lock(_incomingMutex);
    _incomingConnections.erase(std::remove(_incomingConnections.begin(), _incomingConnections.end(), connection),
                               _incomingConnections.end());
}

std::uint64_t DiscoveryService::GetIncomingConnectionCount() {
    std::lock_guard<std::mutex> lock(_incomingMutex);
    return _incomingConnections.size();
}

void DiscoveryService::GetInboundConnection(const std::shared_ptr<TcpSocket>& socket,
                                            std::vector<std::shared_ptr<TcpSocket>>& out) {
    if (!socket) {
        return;
    }
    const auto address = socket->GetRemoteIP();
    std::lock_guard<std::mutex> lock(_incomingMutex);
    for (const auto& connection : _incomingConnections) {
        // Address equality covers the family, the bytes and the IPv6 scope.
        if (connection->GetRemoteIP() == address) {
            out.push_back(connection);
        }
    }
}

void DiscoveryService::WantsConnections(const std::string& guid, bool on) {
    const std::string key = CanonicalGuid(guid);
    if (!GetDeviceImplByUUID(key)) {
        return;
    }
    std::lock_guard<std::mutex> lock(_wantedMutex);
    if (on) {
        _wantsConnections.insert(key);
    } else {
        _wantsConnections.erase(key);
    }
}

void DiscoveryService::WantsDescriptor(const std::string& guid, bool on) {
    const std::string key = CanonicalGuid(guid);
    if (!GetDeviceImplByUUID(key)) {
        return;
    }
    std::lock_guard<std::mutex> lock(_wantedMutex);
    if (on) {
        _wantsDescriptor.insert(key);
    } else {
        _wantsDescriptor.erase(key);
    }
}

bool DiscoveryService::IsValidConnection(void* handle) {
    // Called for every send: the tag is made, and the lines written, only at levels that
    // show them, and never under a lock (an application's log callback may call back in).
    const bool tracing = LogLevel() >= 6;
    const bool detailing = LogLevel() >= 5;
    const std::string tag = detailing ? ZelkorDriver::Tag(handle) : std::string();
    if (tracing) {
        Trace("ZK2003I DiscoveryService::IsValidConnection begin", tag);
    }
    std::size_t incoming = 0;
    std::size_t position = 0;
    bool matched = false;
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        incoming = _incomingConnections.size();
        for (const auto& connection : _incomingConnections) {
            ++position;
            if (ZelkorDriver::HandleOf(connection.get()) == handle) {
                matched = true;
                break;
            }
        }
    }
    if (tracing) {
        Trace("ZK20A3I DiscoveryService::IsValidConnection _sockets size", incoming);
        for (std::size_t at = 1; at <= position; ++at) {
            Trace("ZK20A4I DiscoveryService::IsValidConnection _sockets iteration", at);
        }
    }
    if (matched) {
        if (detailing) {
            Detail("ZK2089I Incoming connection matched", tag);
        }
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        matched = std::any_of(_guidBySocket.begin(), _guidBySocket.end(),
                              [handle](const auto& entry) { return ZelkorDriver::HandleOf(entry.first.get()) == handle; });
    }
    if (matched) {
        if (detailing) {
            Detail("ZK2005I Incoming connection matched", tag);
        }
        return true;
    }
    if (tracing) {
        Trace("ZK2006I DiscoveryService::IsValidConnection end", tag);
    }
    return false;
}

bool DiscoveryService::GetDeviceHandleByName(const std::string& name, std::shared_ptr<TcpSocket>& socket) {
    const auto device = GetDeviceImplByName(name);
    if (!device) {
        return false;
    }
    socket = device->GetHandle();
    return true;
}

void DiscoveryService::UpdateStatistics(std::shared_ptr<TcpSocket> socket, TimePoint requestSent,
                                        TimePoint replyReceived) {
    if (const auto device = GetDeviceImplBySocket(socket)) {
        device->UpdateStatistics(requestSent, replyReceived);
    }
}

std::shared_ptr<DeviceImpl> DiscoveryService::deviceHolding(const std::shared_ptr<TcpSocket>& socket) {
    if (auto device = GetDeviceImplBySocket(socket)) {
        return device;
    }
    if (!socket) {
        return nullptr;
    }
    void* const handle = ZelkorDriver::HandleOf(socket.get());
    std::vector<std::shared_ptr<DeviceImpl>> devices;
    {
        std::lock_guard<std::mutex> lock(_deviceSetMutex);
        devices.assign(_deviceSet.begin(), _deviceSet.end());
    }
    for (const auto& device : devices) {
        if (!device->IsFinalized() && device->HasHandle(handle)) {
            return device;
        }
    }
    return nullptr;
}

bool DiscoveryService::AuthenticateDeviceOf(std::shared_ptr<TcpSocket> socket) {
    // The secured connection holds every other request until it is authenticated: the
    // reply that would bring a GUID-less device its GUID could never come.
    const auto device = deviceHolding(socket);
    if (!device) {
        return false;
    }
    AuthenticateInfo info;
    info.code = device->GetVerificationCode();
    device->Authenticate(info, std::move(socket));
    return true;
}

void DiscoveryService::SetRequestTime(const std::shared_ptr<TcpSocket>& connection, std::int64_t /*wallSeconds*/) {
    // The timer measures on its own steady clock, not on the wall time the socket saw.
    const std::int64_t now = Now();
    std::lock_guard<std::mutex> lock(_deviceTablesMutex);
    const auto found = _guidBySocket.find(connection);
    if (found != _guidBySocket.end()) {
        _requestTimes.Set(found->second, now);
    }
}

void DiscoveryService::ClearRequestTime(const std::shared_ptr<TcpSocket>& connection) {
    std::lock_guard<std::mutex> lock(_deviceTablesMutex);
    const auto found = _guidBySocket.find(connection);
    if (found == _guidBySocket.end()) {
        return;
    }
    _requestTimes.Erase(found->second);
    if (const auto device = deviceOfGuidLocked(found->second)) {
        // The state change only posts its notification: no handler runs under these locks.
        std::lock_guard<std::mutex> setLock(_deviceSetMutex);
        if (device->GetCurrentState() == DeviceNetStateUnresponsive) {
            device->setCurrentState(DeviceNetStateConnected);
        }
    }
}

bool DiscoveryService::GetModelDHCP(std::string& interfaceName, std::string& dhcp) {
    if (!_storage->GetStorage()) {
        return false;
    }
    interfaceName = ServedAdapterName(interfaceName);
    std::string sizeText;
    const std::string sizePath = std::string(kInterfacesPath) + "/.size";
    if (_storage->GetValueForPath(sizePath.c_str(), "variant", sizeText) != 0 || sizeText.empty()) {
        return false;
    }
    const int count = std::atoi(sizeText.c_str());
    for (int element = 1; element <= count; ++element) {
        const std::string base = std::string(kInterfacesPath) + "/" + std::to_string(element);
        std::string name;
        if (_storage->GetValueForPath((base + "/name").c_str(), "variant", name) != 0) {
            continue;
        }
        name = ServedAdapterName(name);
        if (name != interfaceName) {
            continue;
        }
        if (_storage->GetValueForPath((base + "/ipv4/dhcp").c_str(), "string", dhcp) == 0) {
            return true;
        }
    }
    return false;
}

void DiscoveryService::SignalRaised(ConnectionResult& result) {
    if (result.connected) {
        admitOrRefuse(result);
    } else {
        cleanUpAfter(result);
    }
}

std::vector<std::shared_ptr<TcpSocket>> DiscoveryService::incomingConnections() const {
    std::lock_guard<std::mutex> lock(_incomingMutex);
    return _incomingConnections;
}

void DiscoveryService::closeStalledConnections() {
    // A round after they closed, the connections' buffers are freed: many peers that each
    // held a line would otherwise leave the node's memory as high as they took it.
    if (_memoryToReturn.exchange(false)) {
        Platform::ReturnFreeMemory();
    }
    const std::vector<std::shared_ptr<TcpSocket>> incoming = incomingConnections();
    const auto now = std::chrono::steady_clock::now();
    const auto past = [&](std::chrono::steady_clock::time_point since, std::chrono::seconds bound) {
        return now - since >= ScaledBound(bound);
    };
    // True when the connection is in a handshake, closed once it took too long.
    const auto handshakeChecked = [&](const std::shared_ptr<TcpSocket>& connection) {
        if (connection->GetState() != TcpSocket::Handshaking) {
            return false;
        }
        if (past(connection->HandshakeStartedAt(), HandshakeBound)) {
            PeerInfo(Join("ZK20CAI Closing a connection whose TLS handshake did not finish in time: ",
                          endpointOf(connection)));
            connection->AbandonHandshake();
        }
        return true;
    };
    // A peer that began a line and sends nothing more holds what came of it for ever.
    const auto lineChecked = [&](const std::shared_ptr<TcpSocket>& connection) {
        if (connection->UnfinishedLineBytes() != 0 && past(connection->LastReadAt(), UnfinishedLineBound)) {
            PeerInfo(Join("ZK20EBI Closing a connection whose unfinished line received nothing in time: ",
                          endpointOf(connection)));
            connection->Close();
        }
    };
    for (const auto& connection : incoming) {
        if (connection->IsFinalized() || handshakeChecked(connection)) {
            continue;
        }
        if (!connection->HasSpoken() && past(connection->LastLineAt(), FirstLineBound)) {
            PeerInfo(Join("ZK20CBI Closing a connection that sent no line in time: ", endpointOf(connection)));
            connection->Close();
            continue;
        }
        lineChecked(connection);
    }
    // A device that answered "@starttls" and then stalls its handshake, or a line, would
    // hold this node's connection to it for ever; closed, it is connected afresh as any
    // lost one.
    std::vector<std::shared_ptr<DeviceImpl>> devices;
    {
        std::lock_guard<std::mutex> lock(_deviceSetMutex);
        devices.assign(_deviceSet.begin(), _deviceSet.end());
    }
    for (const auto& device : devices) {
        for (const auto& connection : device->Connections()) {
            const bool seen = std::find(incoming.begin(), incoming.end(), connection) != incoming.end();
            if (connection && !seen && !connection->IsFinalized() && !handshakeChecked(connection)) {
                lineChecked(connection);
            }
        }
    }
}

void DiscoveryService::closeUnanswered() {
    if (!_driver) {
        return;
    }
    // Every answer is bounded by its kind, whatever else the peer sends meanwhile: a peer
    // that chats but does not answer is lost as one that went silent. The close is that of
    // a connection whose peer went: what waits on it hears "connection lost", and the
    // devices it reaches go Disconnected; a device still wanted is connected again.
    const auto now = std::chrono::steady_clock::now();
    const TcpSocket::AnswerBoundOf boundOf = [this](AnswerWait wait, std::size_t beyond, bool forwarded) {
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(AnswerBound(wait, beyond, forwarded));
    };
    const TcpSocket::AnswerBoundOf deadlineOf = [this](AnswerWait wait, std::size_t beyond, bool) {
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(ForwardedDeadline(wait, beyond));
    };
    for (const auto& connection : _driver->LiveConnections()) {
        if (connection->IsFinalized() || connection->GetState() == TcpSocket::Handshaking) {
            continue;
        }
        const TcpSocket::Overdue overdue = connection->OverdueAnswer(now, boundOf, deadlineOf);
        if (overdue.ordinal == 0) {
            continue;
        }
        const auto waited = std::chrono::duration_cast<std::chrono::seconds>(overdue.waited).count();
        if (const auto device = GetDeviceImplBySocket(connection)) {
            if (device->IsRunningScript()) {
                continue;
            }
            Info("ZK2043I Device lock-step timeout " + device->GuidKey() + " (" + device->GetDiscoInfo().name + ")");
        }
        PeerWarning(Join("ZK20F6W Answer not come within its bound, closing the connection as lost: ",
                         endpointOf(connection), " on ", connection->Tag()),
                    Join(overdue.word, ", ", waited, " s"));
        connection->Close();
    }
}

SlotHolder DiscoveryService::slotHolder(TcpSocket& connection, bool code) {
    SlotHolder holder{SourceGroup(connection.GetRemoteIP()), connection.LastHeardAt()};
    // Without a code held, a proof of the empty one passes for anyone: it proves nothing.
    holder.kept = code && connection.IsAuthenticated();
    // A controller holding subscriptions may well say nothing for long, a transfer may
    // wait long on its peer, and a controller waiting for an answer this node works on
    // (a listing's digests) has nothing to say meanwhile. With a code, each counts only for
    // a peer that proved it (kept anyway): on a plain connection anyone may subscribe, run
    // a transfer or ask a listing, and would hold a slot for nothing.
    const bool trusted = !code || connection.GetRemoteIP().is_loopback();
    void* const handle = ZelkorDriver::HandleOf(&connection);
    holder.engaged = !holder.kept && trusted &&
                     (connection.Transferring() ||
                      (_driver && (_driver->HoldsSubscriptions(handle) || _driver->OwesDiskWork(handle))));
    return holder;
}

std::shared_ptr<TcpSocket> DiscoveryService::slotForNewcomer(const std::shared_ptr<TcpSocket>& newcomer,
                                                             bool& fairShare) {
    std::vector<std::shared_ptr<TcpSocket>> incoming = incomingConnections();
    incoming.erase(std::remove_if(incoming.begin(), incoming.end(),
                                  [](const auto& connection) { return connection->IsFinalized(); }),
                   incoming.end());
    const bool code = HasVerificationCode();
    std::vector<SlotHolder> holders;
    holders.reserve(incoming.size());
    for (const auto& connection : incoming) {
        holders.push_back(slotHolder(*connection, code));
    }
    const auto slots = static_cast<std::size_t>(_maxIncoming.load());
    std::size_t chosen = FairShareSlot(holders, SourceGroup(newcomer->GetRemoteIP()), slots);
    fairShare = chosen != NoSlot;
    if (!fairShare) {
        // Silent for more than twice the keep-alive interval, at the timer's scale.
        const auto quiet = ScaledBound(std::chrono::milliseconds(2 * GetKeepAliveDiscoInterval()));
        chosen = SilentSlot(holders, std::chrono::steady_clock::now() - quiet);
    }
    return chosen == NoSlot ? nullptr : incoming[chosen];
}

void DiscoveryService::giveUpSlot(const std::shared_ptr<TcpSocket>& holder, bool fairShare) {
    if (fairShare) {
        PeerInfo(Join("ZK20EAI Incoming connections at their limit: closing the quietest connection of the source "
                      "holding most for a newcomer from another, ",
                      endpointOf(holder)));
    } else {
        PeerInfo(Join("ZK20CDI Incoming connections at their limit: closing the one silent longest for a newcomer, ",
                      endpointOf(holder)));
    }
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        _incomingConnections.erase(std::remove(_incomingConnections.begin(), _incomingConnections.end(), holder),
                                   _incomingConnections.end());
    }
    holder->Close();
}

void DiscoveryService::admitOrRefuse(const ConnectionResult& result) {
    const auto& connection = result.socket;
    if (result.outgoing || !connection) {
        return;
    }
    const std::uint64_t limit = _maxIncoming.load();
    const bool room = limit == 0 || GetIncomingConnectionCount() < limit;
    // Only a newcomer the application admits costs another peer its place.
    bool fairShare = false;
    const std::shared_ptr<TcpSocket> replaced = room ? nullptr : slotForNewcomer(connection, fairShare);
    bool admitted = room || replaced;
    if (admitted) {
        IncomingCallback ask;
        {
            std::lock_guard<std::mutex> lock(_callbackMutex);
            ask = _onIncomingConnection;
        }
        if (ask) {
            std::string address = connection->GetRemoteIP().to_string();
            try {
                admitted = ask(address, connection->GetRemotePort());
            } catch (const std::exception& error) {
                // The application's doubt refuses; the loop goes on.
                Error("ZK20F5E Incoming connection callback failed", error.what());
                admitted = false;
            }
        }
    }
    if (admitted) {
        if (replaced) {
            giveUpSlot(replaced, fairShare);
        }
        AdmitIncomingConnection(connection);
        return;
    }
    // The same text whoever refused: peers and scripts read it.
    PeerInfo(Join("ZK2007I Max incoming connections reached. Disconnecting from ", endpointOf(connection)));
    connection->SetCloseAfterSend(true);
    MessageForwardInfo none;
    SendGoodbye(connection, GoodbyeBusy, none);
}

void DiscoveryService::cleanUpAfter(const ConnectionResult& result) {
    const auto& connection = result.socket;
    if (!connection) {
        return;
    }
    if (LogLevel() >= 4) {
        Summary("ZK2008I Disconnected from " + endpointText(connection) + " on " + connection->Tag());
    }
    connection->ReportCompletion(Completion::Disconnect, "disconnect");
    _memoryToReturn.store(true);
    if (_driver) {
        if (auto* transfers = _driver->GetFileTransferService()) {
            transfers->NotifyInterruption(result.handle);
        }
        _driver->RemoveIncomingConnection(connection);
        _driver->RemovePendingConnection(connection);
    }
    // A device made for an endpoint is keyed to its connection only by a reply over it: one
    // that closes before that reply (its GUID may have come over UDP meanwhile) is still
    // the device's, which would otherwise stay Connected over a dead connection.
    if (const auto device = deviceHolding(connection)) {
        device->disconnectionTime.store(std::chrono::system_clock::now());
        device->EraseSocket(connection);
    }
    {
        // A closed connection's entry would keep the socket alive and its handle valid.
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        _guidBySocket.erase(connection);
    }
    EraseSocket(connection);
}

void DiscoveryService::Connect(const boost::asio::ip::address& address, unsigned short port) {
    if (!_driver) {
        return;
    }
    // A device that discovery found at this endpoint is connected itself: a second device
    // for the endpoint would hold the connection while the replies on it, found by their
    // GUID, went to the first, which never connects, so no keep-alive would follow. The
    // device keyed by the endpoint comes first: after a unit was replaced there, the old
    // record may still announce the same endpoint.
    if (const auto keyed = GetDeviceImplByIPAndPort(address, port); keyed && !keyed->GuidKey().empty()) {
        keyed->Connect(false);
        return;
    }
    std::vector<std::shared_ptr<DeviceImpl>> devices;
    {
        std::lock_guard<std::mutex> lock(_deviceSetMutex);
        devices.assign(_deviceSet.begin(), _deviceSet.end());
    }
    for (const auto& known : devices) {
        if (!known->IsFinalized() && !known->GuidKey().empty() && known->Endpoint() == Endpoint{address, port}) {
            known->Connect(false);
            return;
        }
    }
    const auto device = std::make_shared<DeviceImpl>(_driver, NewDiscoInfo(address, port));
    const std::int64_t now = WallSeconds();
    _deviceListTime.store(now);
    device->lastSeen.store(now);
    // Known by its endpoint only until it answers with its GUID.
    enterDevice(device, InDeviceSet | ByEndpoint);
    device->AddRemoteInfo({_driver->GetEndPointInterface(address), {address, port}});
    device->Connect(false);
}

bool DiscoveryService::CloseMAC(const std::string& mac) {
    if (!_driver) {
        Warning("ZK2030W CloseMAC called with no driver");
        return false;
    }
    _driver->RemoveInterface(mac);
    std::vector<InterfaceInfo> interfaces;
    std::string hostName;
    _driver->ListInterfaces(interfaces, hostName);
    std::set<boost::asio::ip::address> addresses;
    for (const auto& record : interfaces) {
        if (record.macText != mac) {
            continue;
        }
        boost::system::error_code error;
        const std::string& text = !record.ipv4Text.empty() ? record.ipv4Text : record.ipv6Text;
        if (text.empty()) {
            continue;
        }
        const auto address = boost::asio::ip::make_address(text, error);
        if (!error) {
            addresses.insert(address);
        }
    }
    if (addresses.empty()) {
        Detail("ZK2031I No addresses found on MAC", mac);
        return true;
    }
    const auto over = [&](const std::shared_ptr<TcpSocket>& socket) {
        return socket && addresses.count(socket->GetLocalIP()) != 0;
    };
    std::vector<std::shared_ptr<DeviceImpl>> devices;
    {
        std::lock_guard<std::mutex> lock(_deviceSetMutex);
        devices.assign(_deviceSet.begin(), _deviceSet.end());
    }
    for (const auto& device : devices) {
        const auto sockets = device->Connections();
        if (std::any_of(sockets.begin(), sockets.end(), over)) {
            device->Disconnect(true);
        }
    }
    std::vector<std::shared_ptr<TcpSocket>> incoming;
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        std::copy_if(_incomingConnections.begin(), _incomingConnections.end(), std::back_inserter(incoming), over);
    }
    for (const auto& connection : incoming) {
        connection->Close();
    }
    return true;
}

}  // namespace Zelkor
