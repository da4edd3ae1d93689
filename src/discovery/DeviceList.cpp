// The device list: its tables, look-ups, entering and erasing devices, the walk over all
// devices and the list-change notifications.

#include <algorithm>

#include <boost/asio/post.hpp>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

using GuidSets = std::unordered_map<std::string, std::unordered_set<std::string>>;

void eraseFromSet(GuidSets& sets, const std::string& key, const std::string& guid) {
    const auto found = sets.find(key);
    if (found != sets.end() && found->second.erase(guid) && found->second.empty()) {
        sets.erase(found);
    }
}

// The GUID leaves the set it was entered under (`entered`) when its key changed, and
// stands under `key` (none when empty).
void moveInSets(GuidSets& sets, std::string& entered, const std::string& key, const std::string& guid) {
    if (entered != key) {
        eraseFromSet(sets, entered, guid);
        entered = key;
    }
    if (!key.empty()) {
        sets[key].insert(guid);
    }
}

// A handler key that names a device is kept in the canonical form, as the tables are.
std::string handlerKey(const std::string& key) {
    const std::string canonical = CanonicalGuid(key);
    return canonical.empty() ? key : canonical;
}

}  // namespace

std::shared_ptr<DeviceImpl> DiscoveryService::deviceOfGuidLocked(const std::string& guid) const {
    const auto found = _devicesByGuid.find(guid);
    return found == _devicesByGuid.end() ? nullptr : found->second;
}

std::shared_ptr<DeviceImpl> DiscoveryService::GetDeviceImplByUUID(const std::string& guid) {
    const std::string key = CanonicalGuid(guid);
    if (key.empty()) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(_deviceTablesMutex);
    return deviceOfGuidLocked(key);
}

std::vector<std::shared_ptr<DeviceImpl>> DiscoveryService::devicesNamed(const std::string& name) {
    // Usually one device of a name.
    std::vector<std::shared_ptr<DeviceImpl>> named;
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        const auto found = _guidsByName.find(name);
        if (found == _guidsByName.end()) {
            return named;
        }
        for (const auto& guid : found->second) {
            if (auto device = deviceOfGuidLocked(guid)) {
                named.push_back(std::move(device));
            }
        }
    }
    // A device renamed since it was last entered is no longer found by its old name:
    // forwarding must not reach it under a name it gave up.
    named.erase(std::remove_if(named.begin(), named.end(),
                               [&](const std::shared_ptr<DeviceImpl>& device) {
                                   return device->IsFinalized() || !device->HasName(name);
                               }),
                named.end());
    return named;
}

std::shared_ptr<DeviceImpl> DiscoveryService::GetDeviceImplByName(const std::string& name) {
    // Of several devices of one name, one this node reaches comes first, and first of all
    // one it reaches where it dialled it: forwarding by the name then reaches that one, not
    // a record of the name left unconnected, nor one whose peer connected here in its name.
    const auto rank = [](DeviceImpl& device) {
        const auto connections = device.Connections();
        if (std::any_of(connections.begin(), connections.end(), [](const std::shared_ptr<TcpSocket>& connection) {
                return connection->IsOutgoing() && connection->SocketIsConnected();
            })) {
            return 2;
        }
        return device.IsConnected() ? 1 : 0;
    };
    std::shared_ptr<DeviceImpl> chosen;
    int chosenRank = -1;
    for (const auto& device : devicesNamed(name)) {
        const int ranked = rank(*device);
        if (ranked > chosenRank) {
            chosen = device;
            chosenRank = ranked;
        }
    }
    return chosen;
}

IDriverDiscovery::NoticeWay DiscoveryService::WayOfNotice(const std::string& source, void* handle) {
    const auto named = devicesNamed(source);
    if (named.empty()) {
        return NoticeWay::NotFollowed;
    }
    bool followed = false;
    for (const auto& device : named) {
        if (device->HasHandle(handle)) {
            return NoticeWay::Taken;
        }
        const auto router = device->Proxy();
        if (router && !router->IsFinalized()) {
            if (router->HasHandle(handle)) {
                return NoticeWay::Taken;
            }
            followed = true;
        }
    }
    return followed ? NoticeWay::Stray : NoticeWay::NotFollowed;
}

std::shared_ptr<DeviceImpl> DiscoveryService::GetDeviceImplBySocket(const std::shared_ptr<TcpSocket>& socket) {
    std::lock_guard<std::mutex> lock(_deviceTablesMutex);
    const auto found = _guidBySocket.find(socket);
    return found == _guidBySocket.end() ? nullptr : deviceOfGuidLocked(found->second);
}

std::shared_ptr<DeviceImpl> DiscoveryService::GetDeviceImplByIPAndPort(const boost::asio::ip::address& address,
                                                                       unsigned short port) {
    std::lock_guard<std::mutex> lock(_deviceTablesMutex);
    const auto found = _devicesByEndpoint.find({address, port});
    if (found == _devicesByEndpoint.end()) {
        return nullptr;
    }
    // An entry left by a device erased under another endpoint (it announced one it was
    // not entered by) goes when it is next met: a static route then makes a new device.
    if (found->second->IsFinalized()) {
        _devicesByEndpoint.erase(found);
        return nullptr;
    }
    return found->second;
}

std::shared_ptr<IDevice> DiscoveryService::GetDeviceByUUID(const std::string& guid) { return GetDeviceImplByUUID(guid); }

std::shared_ptr<IDevice> DiscoveryService::GetDeviceByUUID(const boost::uuids::uuid& guid) {
    return GetDeviceImplByUUID(CanonicalGuid(guid));
}

std::shared_ptr<IDevice> DiscoveryService::GetDeviceByName(const std::string& name) { return GetDeviceImplByName(name); }

std::shared_ptr<IDevice> DiscoveryService::GetDeviceBySocket(std::shared_ptr<TcpSocket> socket) {
    return GetDeviceImplBySocket(socket);
}

std::shared_ptr<IDevice> DiscoveryService::GetDeviceByIPAndPort(const boost::asio::ip::address& address,
                                                                unsigned short port) {
    return GetDeviceImplByIPAndPort(address, port);
}

void DiscoveryService::forEach(const std::function<void(std::shared_ptr<IDevice>)>& fn) {
    if (!fn) {
        return;
    }
    std::vector<std::shared_ptr<DeviceImpl>> devices;
    {
        std::lock_guard<std::mutex> lock(_deviceSetMutex);
        devices.assign(_deviceSet.begin(), _deviceSet.end());
    }
    for (const auto& device : devices) {
        fn(device);
    }
}

void DiscoveryService::enterDevice(const std::shared_ptr<DeviceImpl>& device, unsigned tables) {
    if (!device) {
        return;
    }
    // Weak both ways: the device must not keep the service alive, nor itself.
    device->SetStateCallback([service = weak_from_this(), weak = std::weak_ptr<DeviceImpl>(device)](
                                 DeviceNetState newState, DeviceNetState oldState) {
        auto self = service.lock();
        auto changed = weak.lock();
        if (self && changed) {
            self->fireListChangeEvent(changed, newState, oldState);
            const bool hadConnection = oldState == DeviceNetStateConnected || oldState == DeviceNetStateUnresponsive;
            if (hadConnection && newState != DeviceNetStateConnected && newState != DeviceNetStateUnresponsive) {
                // A stopping node ages nothing more, and the clock an application set may
                // already be gone with it.
                if (!self->_stopped.load()) {
                    changed->connectionLostAt.store(self->Now());
                }
                self->routerLeft(changed);
            }
        }
    });
    std::lock_guard<std::mutex> tablesLock(_deviceTablesMutex);
    std::lock_guard<std::mutex> setLock(_deviceSetMutex);
    enterLocked(device, tables);
}

void DiscoveryService::enterLocked(const std::shared_ptr<DeviceImpl>& device, unsigned tables) {
    const std::string guid = device->GuidKey();
    const DiscoInfo info = device->GetDiscoInfo();
    if (tables & InDeviceSet) {
        _deviceSet.insert(device);
    }
    if (tables & ByEndpoint) {
        _devicesByEndpoint[device->Endpoint()] = device;
    }
    if (guid.empty()) {
        return;
    }
    if (tables & ByGuid) {
        _devicesByGuid[guid] = device;
    }
    if (tables & (ByName | ByClassName)) {
        auto& entered = _enteredNames[guid];
        if (tables & ByName) {
            moveInSets(_guidsByName, entered.first, info.name, guid);
        }
        if (tables & ByClassName) {
            moveInSets(_guidsByClassName, entered.second, info.classname, guid);
        }
        if (entered.first.empty() && entered.second.empty()) {
            _enteredNames.erase(guid);
        }
    }
    if (tables & BySocket) {
        for (const auto& socket : device->Connections()) {
            _guidBySocket[socket] = guid;
        }
    }
}

void DiscoveryService::EraseDevice(const std::string& guid) {
    EraseDevice(GetDeviceImplByUUID(guid));
}

void DiscoveryService::EraseDevice(const boost::asio::ip::address& address, unsigned short port) {
    EraseDevice(GetDeviceImplByIPAndPort(address, port));
}

void DiscoveryService::EraseDevice(const std::shared_ptr<DeviceImpl>& device) {
    if (!device) {
        return;
    }
    const std::string guid = device->GuidKey();
    const DiscoInfo info = device->GetDiscoInfo();
    const Endpoint endpoint = device->Endpoint();
    // Taken before Finalize releases them.
    const auto sockets = device->Connections();
    // Lost only follows a state without a connection: a device still shown connected
    // first goes Disconnected, so that its handlers hear both.
    const DeviceNetState state = device->GetCurrentState();
    if (state == DeviceNetStateConnected || state == DeviceNetStateUnresponsive) {
        device->setCurrentState(DeviceNetStateDisconnected);
    }
    device->setCurrentState(DeviceNetStateLost);
    device->Finalize();
    bool ownsGuid = false;
    // The devices reached through this one: its entries go, so the timer will not drop
    // their proxy, which would still name it for as long as anyone holds it.
    std::vector<std::shared_ptr<DeviceImpl>> proxied;
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        const auto atEndpoint = _devicesByEndpoint.find(endpoint);
        if (atEndpoint != _devicesByEndpoint.end() && atEndpoint->second == device) {
            _devicesByEndpoint.erase(atEndpoint);
        }
        for (const auto& socket : sockets) {
            const auto atSocket = _guidBySocket.find(socket);
            if (atSocket != _guidBySocket.end() && atSocket->second == guid) {
                _guidBySocket.erase(atSocket);
            }
        }
        if (!guid.empty()) {
            // The GUID's entries are this device's unless the GUID names another by now.
            const auto current = deviceOfGuidLocked(guid);
            ownsGuid = !current || current == device;
            const DiscoInfo kept = ownsGuid ? DiscoInfo() : current->GetDiscoInfo();
            if (ownsGuid || kept.name != info.name) {
                eraseFromSet(_guidsByName, info.name, guid);
            }
            if (ownsGuid || kept.classname != info.classname) {
                eraseFromSet(_guidsByClassName, info.classname, guid);
            }
            // The record may have changed since it was entered: the sets it was entered
            // under go too.
            const auto entered = ownsGuid ? _enteredNames.find(guid) : _enteredNames.end();
            if (entered != _enteredNames.end()) {
                eraseFromSet(_guidsByName, entered->second.first, guid);
                eraseFromSet(_guidsByClassName, entered->second.second, guid);
                _enteredNames.erase(entered);
            }
        }
        if (ownsGuid) {
            _requestTimes.Erase(guid);
            _tcpDiscoReplyTimes.Erase(guid);
            _udpDiscoReplyTimes.Erase(guid);
            _hearings.Erase(guid);
            const auto through = _proxiedDevices.equal_range(guid);
            for (auto at = through.first; at != through.second; ++at) {
                if (auto reached = deviceOfGuidLocked(at->second)) {
                    proxied.push_back(std::move(reached));
                }
            }
            _proxiedDevices.erase(guid);
            for (auto at = _proxiedDevices.begin(); at != _proxiedDevices.end();) {
                at = at->second == guid ? _proxiedDevices.erase(at) : std::next(at);
            }
            _devicesByGuid.erase(guid);
        }
        std::lock_guard<std::mutex> setLock(_deviceSetMutex);
        _deviceSet.erase(device);
    }
    if (ownsGuid) {
        std::lock_guard<std::mutex> lock(_wantedMutex);
        _wantsConnections.erase(guid);
        _wantsDescriptor.erase(guid);
    }
    for (const auto& reached : proxied) {
        if (reached->Proxy() == device) {
            reached->SetProxy(nullptr);
            reachedNoMore(reached);
        }
    }
}

std::map<std::string, std::size_t> DiscoveryService::TableSizes() const {
    std::map<std::string, std::size_t> sizes;
    {
        std::lock_guard<std::mutex> tablesLock(_deviceTablesMutex);
        sizes["devicesByGuid"] = _devicesByGuid.size();
        sizes["guidsByName"] = _guidsByName.size();
        sizes["guidsByClassName"] = _guidsByClassName.size();
        sizes["devicesByEndpoint"] = _devicesByEndpoint.size();
        sizes["guidBySocket"] = _guidBySocket.size();
        sizes["proxiedDevices"] = _proxiedDevices.size();
        sizes["requestTimes"] = _requestTimes.Size();
        sizes["tcpDiscoReplyTimes"] = _tcpDiscoReplyTimes.Size();
        sizes["udpDiscoReplyTimes"] = _udpDiscoReplyTimes.Size();
        sizes["hearings"] = _hearings.Size();
        std::lock_guard<std::mutex> setLock(_deviceSetMutex);
        sizes["deviceSet"] = _deviceSet.size();
    }
    {
        std::lock_guard<std::mutex> lock(_wantedMutex);
        sizes["wantsConnections"] = _wantsConnections.size();
        sizes["wantsDescriptor"] = _wantsDescriptor.size();
    }
    return sizes;
}

void DiscoveryService::OnListChange(ListChange handler) { OnListChange(std::string(), std::move(handler)); }

void DiscoveryService::OnListChange(ListChangeWithOld handler) { OnListChange(std::string(), std::move(handler)); }

void DiscoveryService::OnListChange(const std::string& key, ListChange handler) {
    std::lock_guard<std::mutex> lock(_handlerMutex);
    _listChangeHandlers.push_back({handlerKey(key), std::move(handler), nullptr});
}

void DiscoveryService::OnListChange(const std::string& key, ListChangeWithOld handler) {
    std::lock_guard<std::mutex> lock(_handlerMutex);
    _listChangeHandlers.push_back({handlerKey(key), nullptr, std::move(handler)});
}

void DiscoveryService::RemoveOnListChangeHandler(const std::string& key) {
    const std::string removed = handlerKey(key);
    std::lock_guard<std::mutex> lock(_handlerMutex);
    _listChangeHandlers.erase(std::remove_if(_listChangeHandlers.begin(), _listChangeHandlers.end(),
                                             [&removed](const Handler& handler) { return handler.key == removed; }),
                              _listChangeHandlers.end());
}

std::vector<DiscoveryService::Handler> DiscoveryService::handlers() const {
    std::lock_guard<std::mutex> lock(_handlerMutex);
    return _listChangeHandlers;
}

void DiscoveryService::callHandlers(const std::vector<Handler>& handlers, const std::shared_ptr<DeviceImpl>& device,
                                    DeviceNetState newState, DeviceNetState oldState) {
    const std::string guid = device->GuidKey();
    const auto hears = [&guid](const Handler& handler) { return handler.key.empty() || handler.key == guid; };
    for (const auto& handler : handlers) {
        if (handler.onChange && hears(handler)) {
            handler.onChange(device, newState);
        }
    }
    for (const auto& handler : handlers) {
        if (handler.onChangeWithOld && hears(handler)) {
            handler.onChangeWithOld(device, newState, oldState);
        }
    }
}

void DiscoveryService::fireListChangeEvent(std::shared_ptr<DeviceImpl> device, DeviceNetState newState,
                                           DeviceNetState oldState) {
    if (_stopped.load() || !_driver || !device) {
        return;
    }
    // Always posted, also on the loop thread: a handler never runs inside the code that
    // changed the state, and notifications keep their order.
    boost::asio::post(_driver->GetIoContext(), [self = shared_from_this(), device, newState, oldState] {
        if (!self->_stopped.load()) {
            callHandlers(self->handlers(), device, newState, oldState);
        }
    });
}

}  // namespace Zelkor
