// Connections as the discovery service keeps them: the admitted incoming connections,
// the devices that want a connection or their descriptor, the validity of a handle, the
// request times of a device's connection, and the interface DHCP setting.

#include <algorithm>
#include <cstdlib>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"
#include "driver/ZelkorDriver.h"
#include "storage/StorageModel.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

const char* const kInterfacesPath = "/configuration/network/interface";

void cutAvahi(std::string& name) {
    const auto at = name.find(":avahi");
    if (at != std::string::npos) {
        name.erase(at);
    }
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
    const std::string tag = ZelkorDriver::Tag(handle);
    Trace("ZK2003I DiscoveryService::IsValidConnection begin", tag);
    {
        std::lock_guard<std::mutex> lock(_incomingMutex);
        Trace("ZK20A3I DiscoveryService::IsValidConnection _sockets size", _incomingConnections.size());
        std::size_t position = 0;
        for (const auto& connection : _incomingConnections) {
            Trace("ZK20A4I DiscoveryService::IsValidConnection _sockets iteration", ++position);
            if (ZelkorDriver::HandleOf(connection.get()) == handle) {
                Detail("ZK2089I Incoming connection matched", tag);
                return true;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        for (const auto& entry : _guidBySocket) {
            if (ZelkorDriver::HandleOf(entry.first.get()) == handle) {
                Detail("ZK2005I Incoming connection matched", tag);
                return true;
            }
        }
    }
    Trace("ZK2006I DiscoveryService::IsValidConnection end", tag);
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

bool DiscoveryService::AuthenticateDeviceOf(std::shared_ptr<TcpSocket> socket) {
    return GetDeviceImplBySocket(socket) != nullptr;
}

void DiscoveryService::SetRequestTime(const std::shared_ptr<TcpSocket>& connection, std::int64_t seconds) {
    std::lock_guard<std::mutex> lock(_deviceTablesMutex);
    const auto found = _guidBySocket.find(connection);
    if (found != _guidBySocket.end()) {
        _requestTimes.Set(found->second, seconds);
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
    cutAvahi(interfaceName);
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
        cutAvahi(name);
        if (name != interfaceName) {
            continue;
        }
        if (_storage->GetValueForPath((base + "/ipv4/dhcp").c_str(), "string", dhcp) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace Zelkor
