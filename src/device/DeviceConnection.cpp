// The device's connections: the ways to reach it, its connection set and handles, its
// router, losing a connection, disconnecting and goodbye.

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

void DeviceImpl::MoveRemote(const RemoteInfo& remote) {
    const bool v6 = remote.second.first.is_v6();
    const auto replaced = [&](const RemoteInfo& way) {
        return way.second.first.is_v6() == v6 && (way.first.empty() || way.first == remote.first);
    };
    std::vector<RemoteInfo> ways;
    {
        std::lock_guard<std::mutex> lock(_remoteMutex);
        // In the first replaced one's place: the order of the ways is the order of the dials.
        const auto first = std::find_if(_remotes.begin(), _remotes.end(), replaced);
        if (first == _remotes.end()) {
            _remotes.push_back(remote);
        } else {
            *first = remote;
            _remotes.erase(std::remove_if(std::next(first), _remotes.end(), replaced), _remotes.end());
        }
        ways = _remotes;
    }
    // A dial of a way it left is given up: one to an address nobody holds any more would
    // keep its socket from the new way for minutes.
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    if (!_socketSet) {
        return;
    }
    for (const auto& socket : {_socketSet->Primary(), _socketSet->Secondary()}) {
        if (socket && socket->IsConnectPending()) {
            const auto target = socket->ConnectTarget();
            const auto dialled = [&target](const RemoteInfo& way) {
                return way.second.first == target.address() && way.second.second == target.port();
            };
            if (std::none_of(ways.begin(), ways.end(), dialled)) {
                _socketSet->Delete(socket);
            }
        }
    }
}

bool DeviceImpl::HasRemote(const std::pair<boost::asio::ip::address, unsigned short>& endpoint) const {
    std::lock_guard<std::mutex> lock(_remoteMutex);
    return std::any_of(_remotes.begin(), _remotes.end(),
                       [&endpoint](const RemoteInfo& way) { return way.second == endpoint; });
}

void DeviceImpl::ForgetRemote(const std::pair<boost::asio::ip::address, unsigned short>& endpoint) {
    std::lock_guard<std::mutex> lock(_remoteMutex);
    _remotes.erase(std::remove_if(_remotes.begin(), _remotes.end(),
                                  [&endpoint](const RemoteInfo& remote) { return remote.second == endpoint; }),
                   _remotes.end());
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
    // On the loop the system is asked: a connection its peer reset is passed over even
    // before the loop has read the reset.
    for (const auto& socket : {_socketSet->Primary(), _socketSet->Secondary()}) {
        if (socket && socket->SocketIsConnected()) {
            return socket;
        }
    }
    return nullptr;
}

std::shared_ptr<TcpSocket> DeviceImpl::GetEncryptedHandle() {
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    if (!_socketSet) {
        return nullptr;
    }
    for (const auto& socket : {_socketSet->Primary(), _socketSet->Secondary()}) {
        if (socket && socket->SocketIsConnected() && socket->GetState() == TcpSocket::Tls) {
            return socket;
        }
    }
    return nullptr;
}

std::shared_ptr<TcpSocket> DeviceImpl::GetFileTransferHandle(bool ownOnly) {
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        if (_socketSet) {
            for (const auto& socket : {_socketSet->Primary(), _socketSet->Secondary()}) {
                if (socket && socket->SocketIsConnected() && !socket->Transferring()) {
                    return socket;
                }
            }
        }
    }
    if (ownOnly) {
        return nullptr;
    }
    // The router is asked for its own connections only: a chain of routers is not walked.
    const auto router = Proxy();
    return router ? router->GetFileTransferHandle(true) : nullptr;
}

void* DeviceImpl::GetConnectionHandle() {
    if (IsFinalized()) {
        Debug("ZK66A4I Device is finalized");
        return nullptr;
    }
    auto socket = GetHandle();
    if (!socket) {
        if (const auto router = Proxy()) {
            socket = router->GetHandle();
        }
    }
    return socket ? ZelkorDriver::HandleOf(socket.get()) : nullptr;
}

bool DeviceImpl::IsProxyConnected() {
    const auto router = Proxy();
    return router && router->IsDirectlyConnected();
}

bool DeviceImpl::IsConnected() { return IsDirectlyConnected() || IsProxyConnected(); }

bool DeviceImpl::IsEncrypted() {
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    return _socketSet && _socketSet->IsEncrypted();
}

bool DeviceImpl::holdsLocked(const std::shared_ptr<TcpSocket>& socket) const {
    return socket && _socketSet && (_socketSet->Primary() == socket || _socketSet->Secondary() == socket);
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

void DeviceImpl::SetProxy(const std::shared_ptr<DeviceImpl>& router) {
    // Read before the proxy mutex is taken: the router may be this very device.
    const bool isRouter = router && router->GetDiscoInfo().mode == "router";
    std::lock_guard<std::mutex> lock(_proxyMutex);
    const auto before = _proxy.lock();
    if (before && before != router) {
        _formerProxy = before;
    }
    if (isRouter) {
        _proxy = router;
    } else {
        _proxy.reset();
    }
}

std::shared_ptr<DeviceImpl> DeviceImpl::FormerProxy() const {
    std::lock_guard<std::mutex> lock(_proxyMutex);
    return _formerProxy.lock();
}

std::shared_ptr<DeviceImpl> DeviceImpl::Proxy() const {
    std::lock_guard<std::mutex> lock(_proxyMutex);
    return _proxy.lock();
}

bool DeviceImpl::HasProxy() { return static_cast<bool>(Proxy()); }

std::string DeviceImpl::ProxyName() {
    const auto router = Proxy();
    return router ? router->GetDiscoInfo().name : std::string();
}

std::string DeviceImpl::ProxyGuid() {
    const auto router = Proxy();
    return router ? router->GetDiscoInfo().guid : std::string();
}

void DeviceImpl::EraseSocket(const std::shared_ptr<TcpSocket>& socket) {
    bool primary = false;
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        if (!_socketSet || !socket) {
            return;
        }
        primary = _socketSet->Primary() == socket;
        if (!primary) {
            // A closed secondary left in its slot would never connect again: the next
            // Connect makes a fresh one.
            _socketSet->Delete(socket);
        }
    }
    if (primary) {
        Disconnected(false);
    }
}

bool DeviceImpl::ReleaseConnection(const std::shared_ptr<TcpSocket>& socket) {
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    return _socketSet && _socketSet->Release(socket);
}

void DeviceImpl::Disconnect(bool toNew) {
    awaitsRouter.store(false);
    ForgetAttempts();
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
