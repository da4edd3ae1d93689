// A unit replaced at an address: another GUID answers on a connection this node opened.
// A router restarted without a fixed GUID gets a new one at each start, as a replaced
// unit would. What the address stood for passes to the record of the new GUID, so that a
// static route, a device made by Connect(address, port), or a device kept connected,
// reaches whatever now answers there. The old record is only disconnected: Lost is final
// for a device object, and the old unit may have moved to another address. A unit that
// connected here and announces the endpoint of a record of another GUID takes that
// endpoint from the old record the same way (giveUpEndpoint), but only where the old unit
// no longer answers there: beside a unit that still does, it is another unit at the same
// endpoint (a host with several addresses connecting from another unit's, two units
// behind one address translation), and gets a record of its own. Two live records then
// share the endpoint; the key stays with the one this node reached there, until a dial of
// the endpoint shows which unit stands there (unitBeside).
//
// Runs on the event loop, from the handling of a discovery reply; the device locks are
// never held while a device is called.

#include <algorithm>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/Packet.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

bool DiscoveryService::unitReplaced(const Packet& packet, const std::shared_ptr<DeviceImpl>& owner,
                                    const std::shared_ptr<DeviceImpl>& successor) {
    // Only this node's own dialling says what stands at an address: a peer that connected
    // here speaks for itself, and through a router nothing is said of the router.
    if (!packet.reliable || !packet.socket || !packet.header || !packet.header->IsEmpty() ||
        !packet.socket->IsOutgoing() || !owner || owner->IsFinalized() ||
        !owner->HasHandle(ZelkorDriver::HandleOf(packet.socket.get()))) {
        return false;
    }
    // A device reached elsewhere, on its own connection or through its router, is not
    // taken over by whatever answers here; nor is one known at another address, or
    // through a router: a GUID proves nothing, and whatever answers here would take its
    // record from the unit that is really it.
    if (!successor) {
        return true;
    }
    if (successor->IsFinalized() || successor->IsConnected() || successor->HasProxy()) {
        return false;
    }
    const auto here = packet.socket->GetRemoteIP();
    bool elsewhere = false;
    successor->forEachRemote([&](const IDevice::RemoteInfo& remote) { elsewhere |= remote.second.first != here; });
    return !elsewhere;
}

std::shared_ptr<DeviceImpl> DiscoveryService::passAddress(Packet& packet, const std::shared_ptr<DeviceImpl>& owner,
                                                          std::shared_ptr<DeviceImpl> successor,
                                                          const NewDiscoInfo& record) {
    const std::shared_ptr<TcpSocket> connection = packet.socket;
    const Endpoint dialled{connection->GetRemoteIP(), connection->GetRemotePort()};
    if (!successor) {
        successor = makeDevice(record, "ZK2053E Unable to create instance for connected device",
                               DeviceSender::From(dialled.first));
        if (!successor) {
            return nullptr;
        }
    }
    const std::string oldGuid = owner->GuidKey();
    const std::string newGuid = successor->GuidKey();
    Info("ZK20E8I " + dialled.first.to_string() + ":" + std::to_string(dialled.second) + " answers as (" + newGuid +
         ") in place of (" + oldGuid + "): the address passes to it");

    const bool wanted = owner->WantsConnections();
    owner->ReleaseConnection(connection);
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        _guidBySocket.erase(connection);
    }
    giveUpEndpoint(owner, dialled);

    if (successor->GetVerificationCode().empty()) {
        successor->SetVerificationCode(owner->GetVerificationCode());
    }
    successor->SetHandle(connection);
    successor->secured.store(connection->GetState() == TcpSocket::Tls);
    successor->SetAuthentication(connection->IsProvenToPeer());
    successor->AddRemoteInfo({_driver->GetEndPointInterface(dialled.first), dialled});
    successor->lastSeen.store(WallSeconds());
    _deviceListTime.store(WallSeconds());
    enterDevice(successor, AllTables);
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        _devicesByEndpoint[dialled] = successor;
    }
    if (wanted) {
        successor->WantsConnections(true);
        WantsConnections(newGuid, true);
    }
    successor->setCurrentState(DeviceNetStateConnected);
    return successor;
}

std::shared_ptr<DeviceImpl> DiscoveryService::deviceAt(const Endpoint& endpoint) {
    // A device that moved keeps the key of the endpoint it left until it is met: it stands
    // there no more.
    auto keyed = GetDeviceImplByIPAndPort(endpoint.first, endpoint.second);
    return keyed && (keyed->Endpoint() == endpoint || keyed->HasRemote(endpoint)) ? keyed : nullptr;
}

bool DiscoveryService::endpointKeyHeldBeside(const std::shared_ptr<DeviceImpl>& device) {
    const auto keyed = deviceAt(device->Endpoint());
    return keyed && keyed != device;
}

bool DiscoveryService::unitBeside(const Packet& packet, const std::shared_ptr<DeviceImpl>& owner,
                                  const std::shared_ptr<DeviceImpl>& reached) {
    const std::shared_ptr<TcpSocket>& dial = packet.socket;
    if (!packet.reliable || !dial || !dial->IsOutgoing() || !owner || owner->IsFinalized() || !reached ||
        reached->IsFinalized() || !owner->HasHandle(ZelkorDriver::HandleOf(dial.get()))) {
        return false;
    }
    const Endpoint dialled{dial->GetRemoteIP(), dial->GetRemotePort()};
    if (reached->Endpoint() != dialled && !reached->HasRemote(dialled)) {
        return false;
    }
    const auto connections = reached->Connections();
    if (std::none_of(connections.begin(), connections.end(), [&](const std::shared_ptr<TcpSocket>& connection) {
            return connection != dial && connection->SocketIsConnected();
        })) {
        return false;
    }
    Info(Join("ZK20EDI ", dialled.first, ":", dialled.second, " answers as (", [&] { return reached->GuidKey(); },
              "), reached on a connection of its own: (", [&] { return owner->GuidKey(); }, ") is not there"));
    owner->ReleaseConnection(dial);
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        _guidBySocket.erase(dial);
    }
    giveUpEndpoint(owner, dialled);
    dial->Close();
    return true;
}

void DiscoveryService::giveUpEndpoint(const std::shared_ptr<DeviceImpl>& owner, const Endpoint& endpoint) {
    const std::string guid = owner->GuidKey();
    owner->ForgetRemote(endpoint);
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        const auto keyed = _devicesByEndpoint.find(endpoint);
        if (keyed != _devicesByEndpoint.end() && keyed->second == owner) {
            _devicesByEndpoint.erase(keyed);
        }
        // Not heard again within the loss age, the old record leaves the list as any
        // device no longer heard; heard, it stays.
        if (!_udpDiscoReplyTimes.Find(guid)) {
            _udpDiscoReplyTimes.Set(guid, Now());
        }
    }
    // A redundant device may still hold its other network.
    if (!owner->IsDirectlyConnected()) {
        owner->Disconnect(false);
    }
}

}  // namespace Zelkor
