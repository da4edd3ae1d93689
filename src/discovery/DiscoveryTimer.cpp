// The discovery timer: every tick times out unanswered requests, refreshes the listen
// state, reconnects the devices that want it, serves the static routes, asks for wanted
// descriptors, keeps connections alive, closes those whose peer fell silent, drops stale
// proxies, sends the periodic discovery request and forgets the devices no longer heard:
// neither their discovery replies nor the lists of a router that reaches them came for
// the loss age.
//
// Due times and the time tables count whole seconds of a steady clock: a wall clock set
// forward after boot would otherwise erase every unconnected device at once, and one set
// back would freeze the periodic steps for as long. Each step is guarded on its own, so
// that a failing storage read or device cannot stop discovery: the timer always re-arms.
// Work on devices and the driver runs after the tables' locks are released.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "core/ZelkorLog.h"
#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "storage/StorageModel.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

constexpr std::chrono::milliseconds kTick{1500};
constexpr std::int64_t kListenPeriod = 7;
constexpr std::int64_t kPeriod = 10;
constexpr std::int64_t kLossAge = 60;
// Routes beyond this count are not read: the size is only a number in the tree.
constexpr int kMaxRoutes = 1024;
const char* const kRoutesPath = "/configuration/network/routes";

// Whether a device reached through `router` still counts as heard at `cutoff`: the router
// has its connection, or lost it after the cutoff. A connection closed is told a loop turn
// later: until then the router is still Connected, the closed connection in its set.
bool routerKeeps(const std::shared_ptr<DeviceImpl>& router, std::int64_t cutoff) {
    if (!router) {
        return false;
    }
    if (router->IsDirectlyConnected()) {
        return true;
    }
    if (router->IsFinalized()) {
        return false;
    }
    const DeviceNetState state = router->GetCurrentState();
    const auto connections = router->Connections();
    const bool closeUntold =
        (state == DeviceNetStateConnected || state == DeviceNetStateUnresponsive) &&
        std::any_of(connections.begin(), connections.end(), [](const auto& socket) { return socket->IsFinalized(); });
    return closeUntold || router->connectionLostAt.load() > cutoff;
}

std::string sizeChange(const char* text, std::size_t before, std::size_t after) {
    return std::string(text) + " was " + std::to_string(before) + " is " + std::to_string(after);
}

}  // namespace

void DiscoveryService::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(_clockMutex);
    _clock = std::move(clock);
}

void DiscoveryService::SetTimerScale(unsigned scale) { _timerScale.store(scale == 0 ? 1 : scale); }

std::chrono::milliseconds DiscoveryService::ScaledBound(std::chrono::milliseconds bound) const {
    const std::chrono::milliseconds floor = std::min<std::chrono::milliseconds>(bound, MinScaledBound);
    return std::max(floor, bound / _timerScale.load());
}

std::chrono::milliseconds DiscoveryService::SilenceBound() const {
    const std::chrono::milliseconds unscaled =
        _keepAliveDiscoIntervalSec.load() == 0
            ? std::chrono::milliseconds(SilenceWithoutKeepAlives)
            : std::chrono::milliseconds(SilentKeepAlives * _keepAliveDiscoIntervalMs.load());
    return ScaledBound(unscaled);
}

std::chrono::milliseconds DiscoveryService::AnswerBound(AnswerWait wait, std::size_t beyond, bool forwarded) const {
    const auto ownLockStep = _lockStepTimeoutMs.load();
    const std::chrono::milliseconds own =
        ScaledBound(ownLockStep != 0 ? std::chrono::milliseconds(ownLockStep) : DefaultLockStep);
    const std::chrono::milliseconds standard = ScaledBound(DefaultLockStep);
    // A request passed on for a requester is bounded as its requester counts on: by the
    // default, whatever this node set for its own. One that goes beyond the peer is
    // answered by a router that bounds its wait so: a shorter time-out of this node's own
    // would give the router's connection up first.
    std::chrono::milliseconds prompt = forwarded ? standard : own;
    if (beyond > 0) {
        prompt = std::max(prompt, standard);
    }
    std::chrono::milliseconds bound = prompt;
    if (wait == AnswerWait::Relay) {
        bound = SilenceBound();
    } else if (wait == AnswerWait::Work) {
        bound = ScaledBound(WorkAnswerBound);
    }
    // A node beyond answers within its own bound, which is the default where this node's
    // is shorter: the router must have answered first, or its connection, everyone's,
    // would be given up for one request behind it.
    const auto perRelay = std::max(prompt, standard);
    return bound + perRelay * static_cast<int>(std::min(beyond, MaxRelaysCounted));
}

std::chrono::milliseconds DiscoveryService::ForwardedDeadline(AnswerWait wait, std::size_t beyond) const {
    // Its requester counts this node among the nodes its request goes beyond.
    const auto round = std::chrono::duration_cast<std::chrono::milliseconds>(kTick) / _timerScale.load();
    return AnswerBound(wait, beyond + 1, true) - round - ForwardedMargin - AnswerWayBack;
}

std::int64_t DiscoveryService::ScaledAge(std::int64_t seconds) const {
    {
        std::lock_guard<std::mutex> lock(_clockMutex);
        if (_clock) {
            return seconds;
        }
    }
    const std::int64_t floor = std::min<std::int64_t>(seconds, MinScaledBound.count());
    return std::max(seconds, floor * static_cast<std::int64_t>(_timerScale.load()));
}

std::int64_t DiscoveryService::Now() const {
    {
        std::lock_guard<std::mutex> lock(_clockMutex);
        if (_clock) {
            return _clock();
        }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
    return elapsed * static_cast<std::int64_t>(_timerScale.load()) / 1000;
}

std::int64_t DiscoveryService::WallSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void DiscoveryService::StartTimer() {
    if (!_driver) {
        return;
    }
    // Stops and starts are posted in the order they were asked for.
    _timerStopped.store(false);
    onLoop([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) {
            return;
        }
        // Replacing the timer cancels the old one's wait: its handler sees the abort.
        self->_timer = std::make_unique<boost::asio::steady_timer>(self->_driver->GetIoContext());
        self->WaitTimer();
    });
}

void DiscoveryService::StopTimer() {
    // The flag is the caller's word; the posted cancel leaves it alone, or a start asked
    // for after this stop would find it set again and never re-arm.
    _timerStopped.store(true);
    onLoop([weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            if (self->_timer) {
                self->_timer->cancel();
            }
        }
    });
}

void DiscoveryService::WaitTimer() {
    if (!_timer) {
        return;
    }
    OnTimer();
    _timer->expires_after(kTick / _timerScale.load());
    _timer->async_wait([weak = weak_from_this(), timer = _timer.get()](const boost::system::error_code& error) {
        const auto self = weak.lock();
        if (!self || error == boost::asio::error::operation_aborted || self->_timer.get() != timer) {
            return;
        }
        if (!self->_stopped.load() && !self->_timerStopped.load()) {
            self->WaitTimer();
        }
    });
}

void DiscoveryService::OnTimer() {
    const auto guarded = [this](const char* step, const auto& work) {
        try {
            work();
        } catch (const std::exception& error) {
            Error(std::string("ZK20F4E Discovery timer step failed (") + step + ")", error.what());
        } catch (...) {
            Error(std::string("ZK20F4E Discovery timer step failed (") + step + ")", "unknown exception");
        }
    };
    std::int64_t now = 0;
    bool haveNow = false;
    guarded("clock", [&] {
        now = Now();
        haveNow = true;
    });
    if (!haveNow) {
        return;
    }
    // A flood that stopped has its count of lines left out written without a later line.
    ZelkorLog::TheLog().WriteDueLeftOut();
    guarded("requests", [&] { timeOutRequests(now); });
    guarded("replies", [&] {
        if (_driver) {
            _driver->ExpireRequests(std::chrono::milliseconds(_replyTimeoutMs.load()));
            _driver->ExpireForwardedNotices();
        }
    });
    if (now > _nextListenTime) {
        _nextListenTime = now + kListenPeriod;
        guarded("listen", [&] {
            if (_driver) {
                _driver->BuildNetworkInfo();
                _driver->UpdateListenState();
            }
        });
    }
    if (now > _nextWantsConnectionTime) {
        _nextWantsConnectionTime = now + kPeriod;
        guarded("connections", [&] { connectWanted(); });
    }
    if (now > _nextRoutesTime) {
        _nextRoutesTime = now + kPeriod;
        guarded("routes", [&] { serveRoutes(); });
    }
    if (now > _nextWantsDescriptorTime) {
        _nextWantsDescriptorTime = now + kPeriod;
        guarded("descriptors", [&] { askDescriptors(); });
    }
    guarded("keepalive", [&] { keepAlive(now); });
    guarded("proofs", [&] { retryRefusedProofs(now); });
    guarded("stalled", [&] { closeStalledConnections(); });
    guarded("unanswered", [&] { closeUnanswered(); });
    if (now > _nextProxyTime) {
        _nextProxyTime = now + kPeriod;
        guarded("proxies", [&] { dropStaleProxies(); });
    }
    if (now > _nextDiscoTime) {
        _nextDiscoTime = now + static_cast<std::int64_t>(_discoIntervalSec.load());
        // The replies to this request are heard in the new round.
        ++_discoRound;
        guarded("disco", [&] {
            if (_sendDiscos.load() || (_replyDiscos.load() && _discoReplyPort.load() != ProtocolPort)) {
                SendDiscoCommand(ProtocolPort);
                Detail("ZK2050I UDP disco broadcast(s) sent");
            }
        });
    }
    guarded("lost", [&] { forgetLost(now); });
}

void DiscoveryService::timeOutRequests(std::int64_t now) {
    // The lock-step time-out is judged per answer, on the connection (closeUnanswered).
    const auto replySeconds = ScaledAge(static_cast<std::int64_t>(_replyTimeoutSec.load()));
    const std::int64_t replyCutoff = now - replySeconds;
    std::vector<std::shared_ptr<DeviceImpl>> unresponsive;
    std::size_t before = 0;
    std::size_t after = 0;
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        before = _requestTimes.Pairs();
        _requestTimes.Walk(replyCutoff, [&](const std::string& guid, std::int64_t time, const std::int64_t* latest) {
            const auto device = deviceOfGuidLocked(guid);
            if (!device) {
                return GuidTimes::Step::DropGuid;
            }
            if (device->IsRunningScript()) {
                return GuidTimes::Step::Keep;
            }
            if (!device->IsConnected()) {
                return GuidTimes::Step::DropGuid;
            }
            // Answered, or an older request of a device asked again since.
            if (!latest || *latest != time) {
                return GuidTimes::Step::DropPair;
            }
            if (replySeconds != 0 && *latest <= replyCutoff) {
                unresponsive.push_back(device);
            }
            return GuidTimes::Step::Keep;
        });
        after = _requestTimes.Pairs();
    }
    if (LogLevel() >= 5) {
        Detail(sizeChange("ZK2044I TCP request time map size", before, after));
    }
    for (const auto& device : unresponsive) {
        device->setCurrentState(DeviceNetStateUnresponsive);
    }
}

std::vector<std::shared_ptr<DeviceImpl>> DiscoveryService::wantedDevices(std::set<std::string>& wanted,
                                                                        const char* sizeText) {
    std::vector<std::string> guids;
    {
        std::lock_guard<std::mutex> lock(_wantedMutex);
        guids.assign(wanted.begin(), wanted.end());
    }
    std::vector<std::shared_ptr<DeviceImpl>> devices;
    std::vector<std::string> gone;
    for (const auto& guid : guids) {
        if (auto device = GetDeviceImplByUUID(guid)) {
            devices.push_back(std::move(device));
        } else {
            gone.push_back(guid);
        }
    }
    std::size_t after = 0;
    {
        std::lock_guard<std::mutex> lock(_wantedMutex);
        for (const auto& guid : gone) {
            wanted.erase(guid);
        }
        after = wanted.size();
    }
    if (LogLevel() >= 5) {
        Detail(sizeChange(sizeText, guids.size(), after));
    }
    return devices;
}

void DiscoveryService::connectWanted() {
    for (const auto& device : wantedDevices(_wantsConnections, "ZK2045I WantsConnection set size")) {
        device->WantsConnections(true);
        device->Connect(false);
    }
}

void DiscoveryService::serveRoutes() {
    if (!_driver || !_storage->GetStorage()) {
        Detail("ZK2046I Static routes serviced");
        return;
    }
    const auto read = [this](const std::string& path, std::string& text) {
        text.clear();
        return _storage->GetValueForPath(path.c_str(), "variant", text) == 0;
    };
    std::string text;
    read(std::string(kRoutesPath) + "/.size", text);
    const int count = std::min(kMaxRoutes, std::atoi(text.c_str()));
    for (int index = 1; index <= count; ++index) {
        const std::string route = std::string(kRoutesPath) + "/" + std::to_string(index);
        if (!read(route + "/port", text)) {
            continue;
        }
        const int port = std::atoi(text.c_str());
        if (port < 1 || port > 65535) {
            continue;
        }
        if (!read(route + "/ipaddress", text) && !read(route + "/ip", text)) {
            continue;
        }
        boost::system::error_code error;
        const auto address = boost::asio::ip::make_address(text, error);
        if (error) {
            continue;
        }
        if (const auto device = GetDeviceImplByIPAndPort(address, static_cast<unsigned short>(port))) {
            if (!device->IsDirectlyConnected()) {
                device->Connect(false);
            }
        } else {
            Connect(address, static_cast<unsigned short>(port));
        }
    }
    Detail("ZK2046I Static routes serviced");
}

void DiscoveryService::askDescriptors() {
    // The value only tells the list-change handlers, which fetch the descriptor.
    for (const auto& device : wantedDevices(_wantsDescriptor, "ZK2047I WantsDescriptor set size")) {
        if (device->IsConnected() && !device->HasDescriptor() && !device->DownloadingDescriptor()) {
            device->setCurrentState(DeviceNetStateDescriptorWanted);
        }
    }
}

void DiscoveryService::keepAlive(std::int64_t now) {
    const std::int64_t cutoff = now - static_cast<std::int64_t>(_keepAliveDiscoIntervalSec.load());
    std::vector<std::shared_ptr<DeviceImpl>> due;
    std::size_t before = 0;
    std::size_t after = 0;
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        before = _tcpDiscoReplyTimes.Pairs();
        std::vector<std::string> touched;
        _tcpDiscoReplyTimes.Walk(cutoff, [&](const std::string& guid, std::int64_t, const std::int64_t* latest) {
            const auto device = deviceOfGuidLocked(guid);
            if (!device) {
                return GuidTimes::Step::DropGuid;
            }
            // A newer reply came, or there is no connection to keep alive.
            if ((latest && *latest > cutoff) || !device->IsConnected()) {
                return GuidTimes::Step::DropPair;
            }
            due.push_back(device);
            touched.push_back(guid);
            return GuidTimes::Step::DropPair;
        });
        // One keep-alive per reply: the next waits for the next reply's pair.
        for (const auto& guid : touched) {
            _tcpDiscoReplyTimes.Touch(guid, now);
        }
        after = _tcpDiscoReplyTimes.Pairs();
    }
    if (LogLevel() >= 5) {
        Detail(sizeChange("ZK2048I TCP disco reply map size", before, after));
    }
    // On a secured connection not yet authenticated the keep-alive is the proof of the
    // code; elsewhere a keep-alive "disco".
    for (const auto& device : due) {
        AuthenticateInfo info;
        info.code = device->GetVerificationCode();
        device->Authenticate(info, nullptr);
    }
}

void DiscoveryService::dropStaleProxies() {
    std::vector<std::shared_ptr<DeviceImpl>> orphans;
    std::size_t before = 0;
    std::size_t after = 0;
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        before = _proxiedDevices.size();
        for (auto entry = _proxiedDevices.begin(); entry != _proxiedDevices.end();) {
            const std::string router = entry->first;
            const auto routerDevice = deviceOfGuidLocked(router);
            if (routerDevice && routerDevice->getDiscoInfo().getDiscoInfo().mode == "router") {
                entry = std::next(entry);
                continue;
            }
            // Every entry of a router that is gone or no longer routes.
            for (auto at = _proxiedDevices.begin(); at != _proxiedDevices.end();) {
                if (at->first != router) {
                    ++at;
                    continue;
                }
                if (auto proxied = deviceOfGuidLocked(at->second)) {
                    orphans.push_back(std::move(proxied));
                }
                at = _proxiedDevices.erase(at);
            }
            entry = _proxiedDevices.begin();
        }
        after = _proxiedDevices.size();
    }
    for (const auto& device : orphans) {
        device->SetProxy(nullptr);
        reachedNoMore(device);
    }
    if (LogLevel() >= 5) {
        Detail(sizeChange("ZK2049I Proxied device count", before, after));
    }
}

void DiscoveryService::forgetLost(std::int64_t now) {
    const std::int64_t cutoff = now - ScaledAge(kLossAge);
    std::vector<std::pair<std::string, std::string>> lost;
    std::size_t before = 0;
    std::size_t after = 0;
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        before = _udpDiscoReplyTimes.Pairs();
        _udpDiscoReplyTimes.Walk(cutoff, [&](const std::string& guid, std::int64_t time, const std::int64_t* latest) {
            const auto device = deviceOfGuidLocked(guid);
            if (!device) {
                return GuidTimes::Step::DropGuid;
            }
            // A newer pair stands for the device: a pair kept below would otherwise meet it.
            if (latest && (*latest != time || device->IsDirectlyConnected())) {
                return GuidTimes::Step::DropPair;
            }
            // Reached through a connected router: looked at again each tick, so that it
            // goes once the router does. The router's lists keep it however old they are
            // (a frozen router sends none until it is taken as lost), so it counts as heard
            // until its router was lost: a router back within the loss age finds it still
            // listed and wanted, and connects it again.
            if (latest && routerKeeps(device->Proxy(), cutoff)) {
                return GuidTimes::Step::Keep;
            }
            lost.emplace_back(guid, device->getDiscoInfo().getDiscoInfo().name);
            return GuidTimes::Step::DropPair;
        });
        after = _udpDiscoReplyTimes.Pairs();
    }
    for (const auto& [guid, name] : lost) {
        Info("ZK2051I Device lost " + guid + " (" + name + ")");
    }
    if (LogLevel() >= 5) {
        Detail(sizeChange("ZK2052I UDP disco reply map size", before, after));
    }
    for (const auto& entry : lost) {
        EraseDevice(entry.first);
    }
}

}  // namespace Zelkor
