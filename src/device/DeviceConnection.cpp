// The device's connections: the ways to reach it, its connection set and handles,
// disconnecting and goodbye.

#include "device/DeviceImpl.h"

#include <algorithm>

#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"
#include "transport/TcpSocketSet.h"

namespace Zelkor {

void DeviceImpl::AddRemoteInfo(const RemoteInfo& remote) {
    std::lock_guard<std::mutex> lock(_remoteMutex);
    // Address equality covers the family and the IPv6 scope.
    if (std::find(_remotes.begin(), _remotes.end(), remote) == _remotes.end()) {
        _remotes.push_back(remote);
    }
}

void DeviceImpl::forEachRemote(const std::function<void(RemoteInfo)>& fn) {
    if (!fn) {
        return;
    }
    std::vector<RemoteInfo> copy;
    {
        std::lock_guard<std::mutex> lock(_remoteMutex);
        copy = _remotes;
    }
    for (const auto& remote : copy) {
        fn(remote);
    }
}

std::size_t DeviceImpl::RemoteCount() {
    std::lock_guard<std::mutex> lock(_remoteMutex);
    return _remotes.size();
}

bool DeviceImpl::IsDirectlyConnected() {
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    return _socketSet && _socketSet->SocketIsConnected();
}

bool DeviceImpl::HasConnectionHandle() {
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    return static_cast<bool>(_socketSet);
}

bool DeviceImpl::HasHandle(void* handle) {
    if (IsFinalized()) {
        Warning("ZK66C0 HasHandle called on finalized device");
        return false;
    }
    if (!handle) {
        return false;
    }
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    if (!_socketSet) {
        return false;
    }
    const auto primary = _socketSet->Primary();
    const auto secondary = _socketSet->Secondary();
    return (primary && ZelkorDriver::HandleOf(primary.get()) == handle) ||
           (secondary && ZelkorDriver::HandleOf(secondary.get()) == handle);
}

std::shared_ptr<TcpSocket> DeviceImpl::GetHandle() {
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    if (!_socketSet) {
        return nullptr;
    }
    for (const auto& socket : {_socketSet->Primary(), _socketSet->Secondary()}) {
        if (socket && socket->SocketIsConnected()) {
            return socket;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<TcpSocket>> DeviceImpl::Connections() const {
    std::vector<std::shared_ptr<TcpSocket>> sockets;
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    if (_socketSet) {
        for (const auto& socket : {_socketSet->Primary(), _socketSet->Secondary()}) {
            if (socket) {
                sockets.push_back(socket);
            }
        }
    }
    return sockets;
}

void DeviceImpl::SetHandle(std::shared_ptr<TcpSocket> socket) {
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    if (_socketSet) {
        _socketSet->SetHandle(std::move(socket));
    }
}

void DeviceImpl::Disconnect(bool toNew) {
    WantsConnections(false);
    if (const auto service = discovery()) {
        service->WantsConnections(GuidKey(), false);
    }
    Disconnected(toNew);
}

void DeviceImpl::Disconnected(bool toNew) {
    DisconnectSignals();
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        if (_socketSet) {
            _socketSet->Close();
        }
    }
    setCurrentState(toNew ? DeviceNetStateNew : DeviceNetStateDisconnected);
}

void DeviceImpl::Goodbye() { SendGoodbye(); }

void DeviceImpl::SendGoodbye() {
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        if (_socketSet) {
            _socketSet->SendGoodbye();
        }
    }
    Disconnect(false);
}

}  // namespace Zelkor
