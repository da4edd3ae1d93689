// Whose a name is at a router. A router forwards a request by the name of the node it is
// for, so a record under a name takes the requests meant for whatever this node reached by
// it. A discovery reply is the word of whoever sends it: under another GUID, from another
// address, it makes no record under the name of a device this node uses (connected to,
// dials or keeps connected) until that device could move there under its own GUID
// (unreachedForAMove), unless its connection proved the code. Meanwhile requests by the
// name reach that device, or are refused "Device not connected" while it is off.
//
// Runs on the event loop, from the handling of a discovery reply.

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/Packet.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

bool reachedFrom(DeviceImpl& device, const boost::asio::ip::address& address) {
    if (device.Endpoint().first == address) {
        return true;
    }
    bool reached = false;
    device.forEachRemote([&](const IDevice::RemoteInfo& way) { reached |= way.second.first == address; });
    for (const auto& connection : device.Connections()) {
        reached |= connection->GetRemoteIP() == address;
    }
    return reached;
}

}  // namespace

bool DiscoveryService::nameInUseElsewhere(const Packet& packet, const std::string& guid, const std::string& name,
                                          const boost::asio::ip::address& at) {
    if (!IsRouter()) {
        return false;
    }
    // A peer that proved the code is trusted with what it says.
    if (packet.reliable && packet.socket && packet.socket->IsAuthenticated() && HasVerificationCode()) {
        return false;
    }
    for (const auto& device : devicesNamed(name)) {
        if (device->GuidKey() != guid && !reachedFrom(*device, at) && !unreachedForAMove(device)) {
            refuseName(name, packet.reliable && packet.socket && !packet.socket->IsOutgoing());
            return true;
        }
    }
    return false;
}

void DiscoveryService::refuseName(const std::string& name, bool peerConnected) {
    if (peerConnected) {
        PeerWarning("ZK20CCW Discovery answer of a peer that connected here names a device connected elsewhere", name);
    } else {
        PeerWarning("ZK20EEW Discovery answer names a device in use elsewhere", name);
    }
}

}  // namespace Zelkor
