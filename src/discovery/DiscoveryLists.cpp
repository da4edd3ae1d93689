// Lists of discovered devices: asking a router for its list, answering such a request,
// and turning a router's answer into devices reached through that router.

#include <chrono>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>
#include <unordered_set>

#include <boost/asio/post.hpp>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"
#include "discovery/ListDiscovered.h"
#include "driver/ZelkorDriver.h"
#include "filetransfer/IFileTransferService.h"
#include "services/ListCommand.h"
#include "services/ListCommandDiscovered.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

// A device behind a router is reached only by its name in the routing header: the name
// must be a plain path element.
bool isPathName(const std::string& name) {
    for (const char c : name) {
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                             c == '-' || c == '.' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

// What an entry of a router's list says of its device before the record is filled.
struct EntryKeys {
    std::string classname;
    std::string devicestate;
    std::string guid;
    std::string name;
};

// What a list says of a device its router no longer reaches: a word on that router's reach,
// not on the device, which is never stored in the device's record.
constexpr const char* kUnavailable = "Unavailable";

// A device this node reaches no more: it lost its connection (its own or its router's),
// or could not make one, and is not connected again yet (found again, or being connected
// again, it still is not). Requests for it are refused here. One never connected yet is
// listed as it is, New or being connected for the first time.
bool reachedNoLonger(DeviceImpl& device) {
    if (device.IsConnected()) {
        return false;
    }
    const DeviceNetState state = device.GetCurrentState();
    const bool lostBefore = device.disconnectionTime.load() != std::chrono::system_clock::time_point{};
    return state == DeviceNetStateDisconnected || state == DeviceNetStateLost ||
           (lostBefore && (state == DeviceNetStateConnecting || state == DeviceNetStateNew));
}

EntryKeys keysOf(const ListCommandDiscovered::Endpoint& endpoint) {
    EntryKeys keys;
    for (const auto& parameter : endpoint) {
        switch (parameter.ParameterName()) {
            case Param::classname: keys.classname = parameter.ParameterValue(0); break;
            case Param::devicestate: keys.devicestate = parameter.ParameterValue(0); break;
            case Param::guid: keys.guid = parameter.ParameterValue(0); break;
            case Param::name: keys.name = parameter.ParameterValue(0); break;
            default: break;
        }
    }
    return keys;
}

}  // namespace

void DiscoveryService::SendListDiscovered(void* handle) {
    if (!_driver) {
        return;
    }
    std::ostringstream text;
    text << "ZK2032I Sending TCP list discovered to " << std::hex << reinterpret_cast<std::uintptr_t>(handle);
    Detail(text.str());
    ListDiscovered request;
    request.SetParameter(Param::command, ListCommand::Discovered);
    _driver->SendDataToPeer(handle, request.Build(true), true);
}

void DiscoveryService::SendListDiscoveredReply(MessageSignalData& data) {
    if (!_driver) {
        Error("ZK2030E No driver found");
        return;
    }
    if (!data.IsReliable() || !data.Socket()) {
        Error("ZK2031E No socket found");
        return;
    }
    // A device lost since the peer's last list is told as gone in this one, once, though
    // it is reached again by now: a device restarted within a second is back before a
    // peer asking each keep-alive interval could see it gone, and that peer's transfers
    // with it would wait for their silence bound. A peer given no list before knew of
    // nothing to take back. The peer's next list names the device as it is.
    TcpSocket& connection = *data.Socket();
    const auto listedBefore = connection.ListGivenAt();
    const bool toldBefore = listedBefore != std::chrono::steady_clock::time_point{};
    connection.SetListGivenAt(std::chrono::steady_clock::now());
    // Peers read this form without "command"; the fragments are escaped JSON members.
    std::string text = "@list {\"endpoints\":[";
    {
        std::lock_guard<std::mutex> tablesLock(_deviceTablesMutex);
        std::lock_guard<std::mutex> setLock(_deviceSetMutex);
        bool first = true;
        for (const auto& device : _deviceSet) {
            NewDiscoInfo record = device->getDiscoInfo();
            // A device known only by its endpoint has no record to tell yet.
            if (record.InfoString().empty()) {
                continue;
            }
            // One this node reached and reaches no more (or lost since the peer's last
            // list) is told as gone, so that the peers reaching it through this node let
            // it go (and their transfers with it) rather than wait for it until it is
            // forgotten here. Any other is told in its own state.
            if (reachedNoLonger(*device) || (toldBefore && device->LostAt() >= listedBefore)) {
                record.getDiscoInfo().devicestate = kUnavailable;
                record.buildInfoStrings();
            }
            if (!first) {
                text += ',';
            }
            first = false;
            text += '{';
            text += record.InfoString();
            text += '}';
        }
    }
    text += "]}\n";
    _driver->SendDataToPeer(data.Socket(), text, false);
}

void DiscoveryService::HandleListDiscoveredReply(MessageSignalData& data) {
    // A refusal tells nothing of what the router reaches. Read as an empty list, it would
    // take away every device reached through it: a router refuses the list asked on a
    // connection it dialled here, where this node proved nothing.
    const auto* list = dynamic_cast<const ListCommandDiscovered*>(data.GetMessage());
    if (!list || !list->Listed() || !data.Socket()) {
        return;
    }
    const auto router = GetDeviceImplBySocket(data.Socket());
    if (!router) {
        return;
    }
    const std::string routerGuid = router->GuidKey();
    if (routerGuid.empty()) {
        return;
    }
    const std::int64_t now = WallSeconds();
    router->listTime.store(now);
    const std::string ownGuid = _guid.is_nil() ? std::string() : CanonicalGuid(_guid);
    const boost::asio::ip::address from = data.Socket()->GetRemoteIP();

    // The devices this reply names that end up reached through the router, at most the
    // bound of one router.
    std::vector<std::pair<std::string, std::shared_ptr<DeviceImpl>>> reached;
    std::unordered_set<std::string> takenOver;
    const std::size_t bound = _maxProxiedPerRouter.load();
    bool refused = false;
    for (const auto& endpoint : list->Endpoints()) {
        const EntryKeys keys = keysOf(endpoint);
        if (keys.classname.empty() || keys.name.empty() || keys.guid.empty()) {
            continue;
        }
        boost::uuids::uuid uuid{};
        if (!ParseGuid(keys.guid, uuid) || uuid.is_nil()) {
            continue;
        }
        const std::string guid = CanonicalGuid(uuid);
        if (guid == ownGuid || guid == routerGuid) {
            continue;
        }
        if (!isPathName(keys.name)) {
            PeerDetail("ZK2017I Invalid name characters in disco reply from", from);
            continue;
        }
        if (ExclusionRules().IsDeviceExcludedFromDisco(keys.classname, keys.name, guid)) {
            continue;
        }
        const bool unavailable = keys.devicestate == kUnavailable;
        const bool full = reached.size() >= bound;
        auto device = GetDeviceImplByUUID(guid);
        if (!device) {
            if (unavailable) {
                continue;
            }
            if (full) {
                refused = true;
                continue;
            }
            NewDiscoInfo record(uuid);
            if (!record.updateFrom(endpoint)) {
                continue;
            }
            if (auto added = addProxiedDevice(record, router, DeviceSender::Through(data.Socket()))) {
                reached.emplace_back(guid, std::move(added));
            }
            continue;
        }

        // A router that no longer reaches the device tells nothing of the device itself:
        // its entry would put its own loss (and its stale record) in the place of what
        // another router that reaches the device told, and this node would pass it on.
        const DiscoInfo before = device->GetDiscoInfo();
        if (!unavailable && device->updateFrom(endpoint)) {
            const DiscoInfo after = device->GetDiscoInfo();
            // Look-ups by name and class name must find the device by its new ones only.
            if (after.name != before.name || after.classname != before.classname) {
                enterDevice(device, ByName | ByClassName);
            }
            if (after.dirty) {
                device->setCurrentState(DeviceNetStateChanged);
                _deviceListTime.store(now);
            }
        }
        const auto proxy = device->Proxy();
        if (unavailable) {
            // Only the router this node reaches the device through takes it away: another
            // router may still reach it, and a device heard or reached otherwise (no
            // router) is none of the router's business.
            if (proxy == router) {
                unreachedThrough(device, router);
            }
            continue;
        }
        // Another router keeps it while that router has its connection; one that lost it
        // (gone, or replaced at its address by this one) gives it up.
        const bool elsewhere = proxy && proxy != router;
        if (elsewhere && proxy->IsDirectlyConnected()) {
            continue;
        }
        if (full) {
            refused = true;
            continue;
        }
        if (!proxy || elsewhere) {
            device->SetProxy(router);
        }
        if (elsewhere) {
            takenOver.insert(guid);
        }
        reached.emplace_back(guid, std::move(device));
    }
    if (refused) {
        PeerWarning(Join("ZK20D8W Router (", [&] { return router->GetDiscoInfo().name; },
                         ") lists more devices than one router may bring; refused beyond"),
                    bound);
    }

    // The router's entries are rebuilt from this reply: each device it names that is
    // reached through it, once, while it is still the device of its GUID. Each is heard
    // by the list as by a discovery reply; one the router no longer names is no longer
    // reached through it, and leaves at the loss age unless heard otherwise.
    const std::int64_t heardAt = Now();
    std::vector<std::shared_ptr<DeviceImpl>> unnamed;
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        std::unordered_set<std::string> entered;
        for (const auto& [guid, device] : reached) {
            if (deviceOfGuidLocked(guid) == device && device->Proxy() == router) {
                entered.insert(guid);
            }
        }
        const auto before = _proxiedDevices.equal_range(routerGuid);
        for (auto at = before.first; at != before.second; ++at) {
            if (entered.count(at->second) == 0) {
                if (auto device = deviceOfGuidLocked(at->second)) {
                    unnamed.push_back(std::move(device));
                }
            }
        }
        _proxiedDevices.erase(routerGuid);
        if (!takenOver.empty()) {
            for (auto at = _proxiedDevices.begin(); at != _proxiedDevices.end();) {
                at = takenOver.count(at->second) != 0 ? _proxiedDevices.erase(at) : std::next(at);
            }
        }
        const auto sender = DeviceSender::Through(data.Socket());
        for (const auto& guid : entered) {
            _proxiedDevices.emplace(routerGuid, guid);
            _udpDiscoReplyTimes.Set(guid, heardAt);
            heardLocked(guid, sender);
        }
    }
    for (const auto& device : unnamed) {
        unreachedThrough(device, router);
    }
    // Connected through a router that lost its connection, a device is Connected again
    // through the router that has one and names it.
    if (router->IsDirectlyConnected()) {
        for (const auto& [guid, device] : reached) {
            if (device->Proxy() == router && !device->IsDirectlyConnected() && device->awaitsRouter.exchange(false)) {
                device->setCurrentState(DeviceNetStateConnected);
            }
        }
    }
}

void DiscoveryService::routerLeft(const std::shared_ptr<DeviceImpl>& router) {
    if (_stopped.load() || !_driver || router->GetDiscoInfo().mode != "router") {
        return;
    }
    // Posted: this runs inside the router's state change, which a reset makes under the
    // device locks; the devices then go after the router's own line.
    boost::asio::post(_driver->GetIoContext(), [self = shared_from_this(), weak = std::weak_ptr<DeviceImpl>(router)] {
        const auto gone = weak.lock();
        if (self->_stopped.load() || !gone || gone->IsDirectlyConnected()) {
            return;
        }
        std::vector<std::shared_ptr<DeviceImpl>> devices;
        {
            std::lock_guard<std::mutex> lock(self->_deviceSetMutex);
            devices.assign(self->_deviceSet.begin(), self->_deviceSet.end());
        }
        for (const auto& device : devices) {
            if (device != gone && device->Proxy() == gone) {
                self->reachedNoMore(device);
            }
        }
    });
}

void DiscoveryService::reachedNoMore(const std::shared_ptr<DeviceImpl>& device) {
    if (device->IsFinalized()) {
        return;
    }
    routedTransfersEnd(*device);
    if (device->IsDirectlyConnected()) {
        return;
    }
    const DeviceNetState state = device->GetCurrentState();
    if (state == DeviceNetStateConnected || state == DeviceNetStateUnresponsive) {
        device->awaitsRouter.store(true);
        device->setCurrentState(DeviceNetStateDisconnected);
    }
}

void DiscoveryService::unreachedThrough(const std::shared_ptr<DeviceImpl>& device,
                                        const std::shared_ptr<DeviceImpl>& router) {
    if (router && device->Proxy() != router) {
        return;
    }
    device->SetProxy(nullptr);
    if (device->IsFinalized()) {
        return;
    }
    // Reached until now, it goes as a device behind a lost router goes: Disconnected, and
    // Connected again once a router that has its connection names it.
    const DeviceNetState state = device->GetCurrentState();
    if (state == DeviceNetStateConnected || state == DeviceNetStateUnresponsive || device->awaitsRouter.load()) {
        reachedNoMore(device);
        return;
    }
    routedTransfersEnd(*device);
    if (!device->IsDirectlyConnected()) {
        device->setCurrentState(device->WantsConnections() ? DeviceNetStateNew : DeviceNetStateDisconnected);
    }
}

void DiscoveryService::routedTransfersEnd(DeviceImpl& device) {
    if (!_driver) {
        return;
    }
    if (auto* transfers = _driver->GetFileTransferService()) {
        transfers->NotifyDeviceGone(device.GuidKey());
    }
}

std::shared_ptr<DeviceImpl> DiscoveryService::addProxiedDevice(NewDiscoInfo& record, std::shared_ptr<DeviceImpl> router,
                                                               const DeviceSender& sender) {
    const std::string name = record.getDiscoInfo().name;
    const auto device = makeDevice(record, "ZK2051E Unable to create instance for proxied device", sender);
    if (!device) {
        return nullptr;
    }
    device->SetProxy(router);
    const std::int64_t now = WallSeconds();
    device->lastSeen.store(now);
    const std::string& mode = record.getDiscoInfo().mode;
    if (mode == "router" || mode == "controller") {
        // Its own discovery replies do not reach this node and none is awaited: it is
        // kept by its router's lists.
        device->lastDiscoReply.store(std::numeric_limits<std::int64_t>::max());
    }
    // Its address is the one the router sees: it is not entered by endpoint.
    enterDevice(device, InDeviceSet | ByGuid | ByName | ByClassName);
    device->setCurrentState(DeviceNetStateNew);
    _deviceListTime.store(now);
    Detail("ZK2083I Proxied device added", name);
    return device;
}

}  // namespace Zelkor
