// How a request finds the device: the connection it takes (the device's own, else its
// router's), the routing header that goes with it, the keep-alive, and the test that
// tells whether a message delivered by a service comes from this device.

#include "device/DeviceImpl.h"

#include <vector>

#include "core/Message.h"
#include "core/MessageSignalData.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"
#include "transport/TcpSocketSet.h"

namespace Zelkor {

std::shared_ptr<DeviceImpl> DeviceImpl::routerInUse() {
    // Decided as ForTheHandle picks its connection: a connected secondary of the device's
    // own is still the device's, and a router header on it would be refused as misrouted.
    if (GetHandle()) {
        return nullptr;
    }
    const auto router = Proxy();
    return router && router->IsDirectlyConnected() ? router : nullptr;
}

void DeviceImpl::prepareForwardInfo(const std::shared_ptr<DeviceImpl>& router) {
    const auto service = discovery();
    std::string ownGuid;
    std::string ownName;
    if (service) {
        ownGuid = service->GetDiscoInfo().GUID();
        ownName = service->GetDiscoInfo().InstanceName();
    }
    const std::string routerName = router ? router->GetDiscoInfo().name : std::string();
    std::lock_guard<std::mutex> lock(_mutex);
    _forwardInfo.SetSourcePaths(std::string());
    _forwardInfo.SetTargetPaths(std::string());
    if (!service) {
        return;
    }
    _forwardInfo.SetHash(ownGuid);
    // The device's duplicate filter drops by sender hash the copy that comes over the
    // second connection of a redundant pair.
    _forwardInfo.hasHash = _record.getDiscoInfo().redundant;
    if (router) {
        _forwardInfo.SetSourcePaths(ownName);
        _forwardInfo.SetTargetPaths(routerName + "&" + _record.getDiscoInfo().name);
    }
}

void DeviceImpl::SetForwardInfo() { prepareForwardInfo(routerInUse()); }

void DeviceImpl::forHandle(const char* finalizedText, std::shared_ptr<TcpSocket> (DeviceImpl::*pick)(),
                           const std::function<void(std::shared_ptr<TcpSocket>)>& fn) {
    if (IsFinalized()) {
        Debug(finalizedText);
        return;
    }
    if (!fn) {
        return;
    }
    std::shared_ptr<DeviceImpl> router;
    auto socket = (this->*pick)();
    if (!socket) {
        router = Proxy();
        if (!router) {
            return;
        }
        socket = ((*router).*pick)();
        if (!socket) {
            return;
        }
    }
    // The header follows the connection taken, not a second look at the connections.
    prepareForwardInfo(router);
    fn(std::move(socket));
}

void DeviceImpl::ForTheHandle(const std::function<void(std::shared_ptr<TcpSocket>)>& fn) {
    forHandle("ZK66A1I Device is finalized", &DeviceImpl::GetHandle, fn);
}

void DeviceImpl::ForTheEncryptedHandle(const std::function<void(std::shared_ptr<TcpSocket>)>& fn) {
    forHandle("ZK66A3I Device is finalized", &DeviceImpl::GetEncryptedHandle, fn);
}

void DeviceImpl::ForTheSet(const std::function<void(std::shared_ptr<TcpSocketSet>)>& fn) {
    if (IsFinalized()) {
        Debug("ZK66A0I Device is finalized");
        return;
    }
    if (!fn) {
        return;
    }
    std::shared_ptr<TcpSocketSet> set;
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        set = _socketSet;
    }
    if (set) {
        // The set is the device's own: its requests never carry a router header.
        prepareForwardInfo(nullptr);
        fn(std::move(set));
    }
}

void DeviceImpl::SendKeepAliveDisco(bool /*unused*/) {
    const auto service = discovery();
    if (!service) {
        return;
    }
    // What the set would send on: the connected primary and, redundant, the connected
    // secondary. The lines go out after the mutex is released, since a send on the loop
    // thread reports to the discovery service, which takes its own tables' lock.
    std::vector<std::shared_ptr<TcpSocket>> targets;
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        if (_socketSet) {
            const auto primary = _socketSet->Primary();
            if (primary && primary->SocketIsConnected()) {
                targets.push_back(primary);
            }
            const auto secondary = _socketSet->Secondary();
            if (_socketSet->IsRedundant() && secondary && secondary->SocketIsConnected()) {
                targets.push_back(secondary);
            }
        }
    }
    if (targets.empty()) {
        return;
    }
    prepareForwardInfo(nullptr);
    std::string text;
    {
        // Built on the device's own header, so that a redundant device's sender hash
        // counts on from request to request.
        std::lock_guard<std::mutex> lock(_mutex);
        text = service->BuildDiscoRequest(_forwardInfo);
    }
    for (const auto& socket : targets) {
        socket->SendData(text, true);
    }
}

bool DeviceImpl::MatchSource(const MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message) {
        return false;
    }
    const MessageForwardInfo header = message->GetMessageForwardInfo();
    if (header.IsEmpty()) {
        return HasHandle(data.Handle());
    }
    // A routed message names its originator last among its sources; a name alone could
    // be claimed by any peer, so it must also have come the way this node reaches the
    // device: over one of its own connections or its router's.
    const std::string source = header.GetSource();
    if (source.empty() || source != nameText()) {
        return false;
    }
    if (HasHandle(data.Handle())) {
        return true;
    }
    const auto router = Proxy();
    return router && !router->IsFinalized() && router->HasHandle(data.Handle());
}

}  // namespace Zelkor
