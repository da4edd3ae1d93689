// Connecting the device: one connection per network to its endpoints (primary first,
// secondary next), or through its router when it has no endpoint of its own, and what a
// finished connect leaves behind.
//
// A pass decides and starts its connects under the socket-set mutex, so two passes on two
// threads never start the same socket twice, and a completion (which checks the set under
// the same mutex) never overtakes the state change of the connect it completes. Log lines
// and state reports wait until the mutex is released.

#include "device/DeviceImpl.h"

#include <set>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>

#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"
#include "transport/TcpSocketSet.h"

namespace Zelkor {

void DeviceImpl::startUnreached(std::int64_t now) {
    std::int64_t reached = Reached;
    _unreachedSince.compare_exchange_strong(reached, now);
}

void DeviceImpl::connectThroughProxy(const std::string& name) {
    const auto router = Proxy();
    if (!router) {
        // No way of its own and no router: this node cannot reach it at all.
        if (const auto service = discovery(); service && !IsDirectlyConnected()) {
            startUnreached(service->Now());
        }
        return;
    }
    const std::string routerName = router->GetDiscoInfo().name;
    if (!router->IsDirectlyConnected()) {
        Info("ZK6608I Reconnecting to proxy (" + routerName + ") for device (" + name + ")");
        router->Connect(true);
        return;
    }
    Detail("ZK6607I Device (" + name + ") is connected by proxy (" + routerName + ")");
    setCurrentState(DeviceNetStateConnected);
}

void DeviceImpl::Connect(bool force) {
    // The device list gave it up: it stays lost, and a device found again is a new object
    // of the list, never this one.
    if (GetCurrentState() == DeviceNetStateLost) {
        Warning("ZK66E0W Connect refused: the device is lost", nameText());
        return;
    }
    if (IsFinalized()) {
        Debug("ZK6606I Device is finalized");
        return;
    }
    const auto service = discovery();
    const auto driver = _driver.lock();
    if (!service || !driver) {
        Warning("ZK6607W No discovery service found");
        return;
    }
    const DiscoInfo info = GetDiscoInfo();
    std::vector<RemoteInfo> remotes;
    {
        std::lock_guard<std::mutex> lock(_remoteMutex);
        remotes = _remotes;
    }
    if (remotes.empty() && !force) {
        connectThroughProxy(info.name);
        return;
    }
    // The interface each endpoint is reached through, asked of the driver before any lock
    // of the device is taken.
    for (auto& remote : remotes) {
        std::string found = driver->GetEndPointInterface(remote.second.first);
        if (!found.empty()) {
            remote.first = std::move(found);
        }
    }

    std::vector<std::pair<unsigned long, std::string>> lines;
    const auto note = [&lines](unsigned long level, std::string text) { lines.emplace_back(level, std::move(text)); };
    bool abandoned = false;
    bool changed = false;
    DeviceNetState old = DeviceNetStateNone;
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        if (!_socketSet) {
            if (IsFinalized()) {
                return;
            }
            _socketSet = std::make_shared<TcpSocketSet>();
            if (!_socketSet) {
                Warning("ZK6699W Unable to create TcpSocketSet");
                return;
            }
            _socketSet->Subscribe(driver.get());
            _socketSet->IsRedundant(info.redundant);
        }
        // A device that connected here is reached on the connection it made: its requests
        // come on it, and what goes back to it goes there, with the security it chose. A dial
        // of its endpoint (never where that connection comes from) would be a second
        // connection to the same peer, which the peer could take for another node's.
        if (const auto adopted = _socketSet->Primary();
            adopted && !adopted->IsOutgoing() && adopted->SocketIsConnected()) {
            note(5, "ZK66C2I Not dialled: reached on the connection it made (" + info.name + ")");
            remotes.clear();
        }
        const auto primary = _socketSet->CreatePrimary(driver->GetIoContext(), driver->GetSSLContext());
        if (!primary) {
            Warning("ZK6699W Unable to create primary TcpSocket");
            return;
        }
        const auto secondary = _socketSet->CreateSecondary(driver->GetIoContext(), driver->GetSSLContext());
        if (!secondary) {
            Warning("ZK6699W Unale to create secondary TcpSOcket");
            return;
        }
        const auto start = [this, &changed, &old](const std::shared_ptr<TcpSocket>& socket, const RemoteInfo& remote) {
            // Stored before the connect starts, so that its completion finds "Connecting".
            DeviceNetState was = DeviceNetStateNone;
            if (storeState(DeviceNetStateConnecting, was) && !changed) {
                changed = true;
                old = was;
            }
            socket->Connect(remote.second.first, remote.second.second, remote.first,
                            [self = shared_from_this()](std::shared_ptr<TcpSocket> done,
                                                        boost::system::error_code error) {
                                self->connectDone(done, error);
                            });
        };

        std::set<std::string> interfacesUsed;
        std::set<std::pair<boost::asio::ip::address, unsigned short>> endpointsUsed;
        for (const auto& remote : remotes) {
            const auto& address = remote.second.first;
            const unsigned short port = remote.second.second;
            const std::string text = address.to_string();
            // An unknown interface says nothing about the network: only the endpoint
            // check applies then.
            if ((!remote.first.empty() && interfacesUsed.count(remote.first) != 0) ||
                endpointsUsed.count({address, port}) != 0) {
                continue;
            }
            const auto at = [&address, port](const std::shared_ptr<TcpSocket>& socket) {
                return socket->GetRemoteIP() == address && socket->GetRemotePort() == port;
            };
            const bool primaryConnected = primary->SocketIsConnected();
            const bool secondaryConnected = secondary->SocketIsConnected();
            if (primaryConnected) {
                if (at(primary)) {
                    note(5, "ZK6699I Primary socket already connected to (" + text + ")");
                    continue;
                }
                if (secondary->IsConnectPending()) {
                    note(2, "ZK6699W No socket available for connection to (" + text + ")");
                    abandoned = true;
                    break;
                }
            }
            if (secondaryConnected) {
                if (at(secondary)) {
                    note(5, "ZK6699I Secondary socket already connected to (" + text + ")");
                    continue;
                }
                if (primary->IsConnectPending()) {
                    note(2, "ZK6699I No socket available for connection to (" + text + ")");
                    abandoned = true;
                    break;
                }
            }
            const bool neitherConnecting = !primary->IsConnectPending() && !secondary->IsConnectPending();
            const std::string where = " at " + text + ":" + std::to_string(port);
            if (neitherConnecting && !primaryConnected) {
                // Marked before the dial starts: its completion must find the mark to clear.
                if (!secondaryConnected) {
                    startUnreached(service->Now());
                }
                start(primary, remote);
                note(3, "ZK6610I Connecting primary socket to (" + info.name + ")" + where);
            } else if (neitherConnecting && !secondaryConnected) {
                start(secondary, remote);
                note(3, "ZK6611I Connecting secondary socket to (" + info.name + ")" + where);
            } else {
                continue;
            }
            interfacesUsed.insert(remote.first);
            endpointsUsed.insert({address, port});
        }
    }
    for (const auto& line : lines) {
        Log(line.first, line.second);
    }
    if (changed) {
        notifyState(DeviceNetStateConnecting, old);
    }
    if (!abandoned) {
        WantsConnections(true);
        service->WantsConnections(GuidKey(), true);
    }
}

void DeviceImpl::connectDone(const std::shared_ptr<TcpSocket>& socket, const boost::system::error_code& error) {
    if (error == boost::asio::error::already_started) {
        // Another connect runs on this socket; its own completion reports it.
        return;
    }
    OnSocketConnected(socket, error);
    if (!error || !socket) {
        return;
    }
    // Only the socket that failed leaves the set: by now its slot may hold a newer socket
    // (after a disconnect and a reconnect) or an adopted inbound connection.
    bool held = false;
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        held = _socketSet && _socketSet->Delete(socket);
    }
    if (!held) {
        socket->Close();
    }
}

void DeviceImpl::OnSocketConnected(const std::shared_ptr<TcpSocket>& socket, const boost::system::error_code& error) {
    if (IsFinalized()) {
        Debug("ZK6611I Device is finalized");
        return;
    }
    if (socket) {
        socket->SetConnectPending(false);
    }
    if (GetCurrentState() == DeviceNetStateLost) {
        // Started before the device was given up: nobody may reach it through this one.
        if (socket) {
            socket->Close();
        }
        return;
    }
    bool mine = false;
    bool changed = false;
    DeviceNetState old = DeviceNetStateConnecting;
    if (error) {
        Warning("ZK6612W Socket error is " + std::to_string(error.value()));
        {
            std::lock_guard<std::mutex> lock(_socketSetMutex);
            // A socket that left the set failed for nobody: the state belongs to the
            // connects that run now.
            changed = holdsLocked(socket) && storeStateFrom(DeviceNetStateConnecting, DeviceNetStateDisconnected);
        }
        if (changed) {
            notifyState(DeviceNetStateDisconnected, DeviceNetStateConnecting);
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        mine = holdsLocked(socket);
        changed = mine && storeState(DeviceNetStateConnected, old);
    }
    if (!mine) {
        // Made after its socket left the set (the device was disconnected meanwhile, or
        // took an inbound connection instead): nobody would use or close it.
        if (socket) {
            socket->Close();
        }
        return;
    }
    const auto driver = _driver.lock();
    const bool secured = driver && driver->GetTlsLevel() != 0;
    if (secured) {
        // Asked before anyone hears of the connection: what the application sends on
        // hearing it then waits for the secured stream instead of going out in clear text.
        requestStartTls(socket);
    }
    if (changed) {
        notifyState(DeviceNetStateConnected, old);
    }
    if (!driver) {
        return;
    }
    // Known by its GUID, the device owns the new connection at once: its close is then
    // cleaned up and its handle is valid before any reply came over it.
    if (const auto service = discovery(); service && !GuidKey().empty()) {
        service->enterDevice(shared_from_this(), DiscoveryService::BySocket);
    }
    if (!secured) {
        SendKeepAliveDisco(true);
    }
}

}  // namespace Zelkor
