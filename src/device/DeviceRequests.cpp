// How a request finds the device: the connection it takes (the device's own, else its
// router's), the routing header that goes with it, the keep-alive, and the test that
// tells whether a message delivered by a service comes from this device.

#include "device/DeviceImpl.h"

#include <sstream>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

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

MessageForwardInfo DeviceImpl::prepareForwardInfo(const std::shared_ptr<DeviceImpl>& router) {
    const auto service = discovery();
    std::string ownGuid;
    std::string ownName;
    if (service) {
        ownGuid = service->GetDiscoInfo().GUID();
        // Only a routed request names this node among its sources.
        if (router) {
            ownName = service->GetDiscoInfo().InstanceName();
        }
    }
    const std::string routerName = router ? router->GetDiscoInfo().name : std::string();
    std::lock_guard<std::mutex> lock(_mutex);
    _forwardInfo.SetSourcePaths(std::string());
    _forwardInfo.SetTargetPaths(std::string());
    if (service) {
        if (ownGuid != _hashedGuid) {
            _forwardInfo.SetHash(ownGuid);
            _hashedGuid = std::move(ownGuid);
        }
        // The device's duplicate filter drops by sender hash the copy that comes over the
        // second connection of a redundant pair.
        _forwardInfo.hasHash = _record.getDiscoInfo().redundant;
        if (router) {
            _forwardInfo.SetSourcePaths(ownName);
            _forwardInfo.SetTargetPaths(routerName + "&" + _record.getDiscoInfo().name);
        }
    }
    // The one copy a request gets, made in the caller's place.
    MessageForwardInfo copy = _forwardInfo;
    if (service && _forwardInfo.hasHash) {
        // The copy writes the next counter value; the device's own header moves past it,
        // so that the next request's copy writes another one.
        std::ostringstream discard;
        _forwardInfo.PutMessageForwardHeader(discard);
    }
    return copy;
}

void DeviceImpl::SetForwardInfo() { prepareForwardInfo(routerInUse()); }

bool DeviceImpl::forHandle(const char* finalizedText, std::shared_ptr<TcpSocket> (DeviceImpl::*pick)(),
                           const HandleWork& fn) {
    if (IsFinalized()) {
        Debug(finalizedText);
        return false;
    }
    if (!fn) {
        return false;
    }
    std::shared_ptr<DeviceImpl> router;
    auto socket = (this->*pick)();
    if (!socket) {
        router = Proxy();
        if (!router) {
            return false;
        }
        socket = ((*router).*pick)();
        if (!socket) {
            return false;
        }
    }
    // The header follows the connection taken, not a second look at the connections.
    MessageForwardInfo header = prepareForwardInfo(router);
    fn(std::move(socket), header);
    return true;
}

bool DeviceImpl::ForTheHandle(const HandleWork& fn) {
    return forHandle("ZK66A1I Device is finalized", &DeviceImpl::GetHandle, fn);
}

bool DeviceImpl::ForTheEncryptedHandle(const HandleWork& fn) {
    return forHandle("ZK66A3I Device is finalized", &DeviceImpl::GetEncryptedHandle, fn);
}

void DeviceImpl::answerLater(std::function<void(ZelkorDriver&)> answer) {
    const auto owner = _driver.lock();
    if (!owner || !answer) {
        return;
    }
    // Posted, never run at once: a caller on the loop would hear the answer inside its
    // own request. The handler keeps only a weak hold on the driver, whose context it
    // may sit in.
    boost::asio::post(owner->GetIoContext(), [driver = _driver, answer = std::move(answer)] {
        if (const auto live = driver.lock()) {
            answer(*live);
        }
    });
}

void DeviceImpl::ForTheSet(const SetWork& fn) {
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
        MessageForwardInfo header = prepareForwardInfo(nullptr);
        fn(std::move(set), header);
    }
}

void DeviceImpl::SetOldProtocol(bool old) {
    std::lock_guard<std::mutex> lock(_socketSetMutex);
    if (_socketSet) {
        _socketSet->SetOldProtocol(old);
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
    MessageForwardInfo header = prepareForwardInfo(nullptr);
    const std::string text = service->BuildDiscoRequest(header);
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
    if (router && !router->IsFinalized() && router->HasHandle(data.Handle())) {
        return true;
    }
    // A router that said it reaches the device no more still answers, for the device, the
    // requests this node wrote through it before: its refusal is the only answer they get.
    const auto former = message->GetIsReply() ? FormerProxy() : nullptr;
    return former && !former->IsFinalized() && former->HasHandle(data.Handle());
}

}  // namespace Zelkor
