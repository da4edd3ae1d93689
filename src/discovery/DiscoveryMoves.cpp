// Where a known device is reached, as its discovery replies tell it. Anyone on the network
// can send a reply in a device's name, so a reply says where the device is only by where
// it came from: the datagram's sender, or the peer of the connection it came on (unless
// that peer is this very host, whose connections come from any of its addresses). And a
// device that this node uses is not taken from the endpoint where it is reached while
// this node can still reach it there: it moves only once this node's own attempts to reach
// it have failed for a while, as when a device took a new address. Until then, this
// node's connection, and the proof of its code made on it, never go to whoever answered
// in the device's name.
//
// Runs on the event loop, from the handling of a discovery reply.

#include <string>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/Packet.h"
#include "driver/ZelkorDriver.h"
#include "transport/Socket.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

std::string endpointText(const DiscoveryService::Endpoint& endpoint) {
    return endpoint.first.to_string() + ":" + std::to_string(endpoint.second);
}

}  // namespace

std::optional<boost::asio::ip::address> DiscoveryService::heardFrom(const Packet& packet) {
    if (!packet.handle || (packet.reliable && (!packet.socket || !packet.header || !packet.header->IsEmpty()))) {
        return std::nullopt;
    }
    const boost::asio::ip::address address = ZelkorDriver::SocketOf(packet.handle)->GetRemoteIP();
    // A peer on this very host connects from whichever of the host's addresses the system
    // picks, the one it dialled as often as not: dialled back there, this node would reach
    // itself. Such a peer says where it serves.
    if (packet.reliable && address == packet.socket->GetLocalIP()) {
        return std::nullopt;
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
    return address;
}

bool DiscoveryService::inUse(const std::shared_ptr<DeviceImpl>& device) {
    if (device->IsConnected() || device->WantsConnections() ||
        device->GetCurrentState() == DeviceNetStateConnecting) {
        return true;
    }
    const std::string guid = device->GuidKey();
    std::lock_guard<std::mutex> lock(_wantedMutex);
    return _wantsConnections.count(guid) != 0;
}

bool DiscoveryService::unreachedForAMove(const std::shared_ptr<DeviceImpl>& device) {
    if (!inUse(device)) {
        return true;
    }
    const std::int64_t since = device->UnreachedSince();
    // A connection through its router reaches it as well as one of its own.
    return since != DeviceImpl::Reached && !device->IsConnected() &&
           Now() - since >= ScaledAge(MoveWhenUnreachedFor.count());
}

bool DiscoveryService::mayMove(const std::shared_ptr<DeviceImpl>& device, const Endpoint& to) {
    if (!inUse(device)) {
        return true;
    }
    const std::string guid = device->GuidKey();
    const std::string name = device->GetDiscoInfo().name;
    if (unreachedForAMove(device)) {
        Info("ZK20D1I Device " + guid + " (" + name + "), unreached at " + endpointText(device->Endpoint()) +
             ", moves to " + endpointText(to));
        return true;
    }
    if (_refusedMoves.Refused(guid, to)) {
        PeerWarning(Join("ZK20D0W Device ", guid, " (", name, ") is in use at ",
                         [&] { return endpointText(device->Endpoint()); }, ": a reply from ", to.first, ":", to.second,
                         " in its name is refused"));
    }
    return false;
}

}  // namespace Zelkor
