// Construction, the record, the state table, flags, statistics and finalization of the
// device object.

#include "device/DeviceImpl.h"

#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"
#include "driver/Packet.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocketSet.h"

namespace Zelkor {

DeviceImpl::DeviceImpl(ZelkorDriver* driver, const NewDiscoInfo& record)
    : ZelkorLoggable("DEVI"),
      _driver(driver ? driver->weak_from_this() : std::weak_ptr<ZelkorDriver>()),
      _record(record) {
    const std::string& guid = _record.getDiscoInfo().guid;
    _hashedGuid = guid.empty() && !_record.Guid().is_nil() ? CanonicalGuid(_record.Guid()) : guid;
    _forwardInfo.SetHash(_hashedGuid);
    _socketSet = std::make_shared<TcpSocketSet>();
    _socketSet->Subscribe(driver);
    _socketSet->IsRedundant(_record.getDiscoInfo().redundant);
}

DeviceImpl::~DeviceImpl() = default;

std::shared_ptr<DiscoveryService> DeviceImpl::discovery() const {
    const auto owner = _driver.lock();
    DiscoveryService* service = owner ? owner->GetDiscovery() : nullptr;
    return service ? std::shared_ptr<DiscoveryService>(owner, service) : nullptr;
}

DiscoInfo DeviceImpl::GetDiscoInfo() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _record.getDiscoInfo();
}

void DeviceImpl::SetDeviceState(const std::string& state) {
    std::lock_guard<std::mutex> lock(_mutex);
    _record.getDiscoInfo().devicestate = state;
}

NewDiscoInfo DeviceImpl::getDiscoInfo() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _record;
}

// The record is updated on a copy outside the device's lock: the update logs what it
// refuses, and an application's log callback may call back into the device.
bool DeviceImpl::updateFrom(const Packet& packet, const NewDiscoInfo::Endpoint& at) {
    NewDiscoInfo record = getDiscoInfo();
    if (!packet.header || !record.updateFrom(packet.header->JsonBody(), at)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _record = std::move(record);
    return true;
}

bool DeviceImpl::updateFrom(const std::vector<MessageParameter>& parameters) {
    NewDiscoInfo record = getDiscoInfo();
    const NewDiscoInfo::Endpoint reached{record.Address(), record.getDiscoInfo().port};
    if (!record.updateFrom(parameters, RemoteCount() != 0 ? &reached : nullptr)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _record = std::move(record);
    return true;
}

std::string DeviceImpl::GuidKey() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _record.Guid().is_nil() ? std::string() : CanonicalGuid(_record.Guid());
}

std::pair<boost::asio::ip::address, unsigned short> DeviceImpl::Endpoint() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return {_record.Address(), _record.getDiscoInfo().port};
}

std::string DeviceImpl::nameText() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _record.getDiscoInfo().name;
}

bool DeviceImpl::HasName(const std::string& name) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _record.getDiscoInfo().name == name;
}

void DeviceImpl::GetForwardInfo(MessageForwardInfo& out) {
    std::lock_guard<std::mutex> lock(_mutex);
    out = _forwardInfo;
}

void DeviceImpl::SetStateCallback(StateCallback callback) {
    std::lock_guard<std::mutex> lock(_mutex);
    _onStateChange = std::move(callback);
}

bool DeviceImpl::storeState(DeviceNetState requested, DeviceNetState& old) {
    const auto reached = [](DeviceNetState state) {
        return state == DeviceNetStateConnected || state == DeviceNetStateUnresponsive;
    };
    old = _state.load();
    for (;;) {
        if (requested == old || !IsAllowedStateChange(old, requested)) {
            return false;
        }
        // A failed exchange reloads `old`: the table is asked again from what is stored.
        if (_state.compare_exchange_weak(old, requested)) {
            if (requested == DeviceNetStateConnected) {
                ForgetAttempts();
            }
            if (reached(old) && !reached(requested)) {
                _lostAt.store(std::chrono::steady_clock::now());
            }
            return true;
        }
    }
}

bool DeviceImpl::storeStateFrom(DeviceNetState from, DeviceNetState to) {
    return _state.compare_exchange_strong(from, to);
}

void DeviceImpl::notifyState(DeviceNetState newState, DeviceNetState oldState) {
    StateCallback callback;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        callback = _onStateChange;
    }
    if (callback) {
        callback(newState, oldState);
    }
}

void DeviceImpl::setCurrentState(DeviceNetState requested) {
    DeviceNetState old = _state.load();
    if (requested == old) {
        return;
    }
    if (requested == DeviceNetStateChanged || requested == DeviceNetStateDescriptorWanted) {
        notifyState(requested, old);
        return;
    }
    if (storeState(requested, old)) {
        notifyState(requested, old);
    }
}

void DeviceImpl::WantsConnections(bool on) {
    if (_wantsConnections.exchange(on) == on) {
        return;
    }
    DiscoInfo info = GetDiscoInfo();
    std::string text = std::string("ZK6601I wantsConnections set to ") + (on ? "true" : "false") + " for " +
                       (info.mode.empty() ? "end point" : info.mode);
    if (!info.name.empty()) {
        text += " (" + info.name + ")";
    }
    if (!info.ip.empty()) {
        text += " at " + info.ip;
        if (info.port != 0) {
            text += ":" + std::to_string(info.port);
        }
    }
    Summary(text);
}

void DeviceImpl::WantsDescriptor(bool on) {
    _wantsDescriptor.store(on);
    if (const auto service = discovery()) {
        service->WantsDescriptor(GuidKey(), on);
    }
}

void DeviceImpl::IsRunningScript(bool on) {
    if (_runningScript.exchange(on) != on) {
        Detail(std::string("ZK6602I IsRunningScript set to ") + (on ? "true" : "false") + " for (" + nameText() + ")");
    }
}

void DeviceImpl::UpdateStatistics(TimePoint sent, TimePoint received) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (++_roundTripCount == 0) {
        _roundTripSum = _minRoundTrip = _maxRoundTrip = _avgRoundTrip = 0;
        _roundTripCount = 1;
    }
    if (received < sent) {
        return;
    }
    const double micros = static_cast<double>((received - sent).count());
    const double seconds = micros / 1000000.0;
    if (micros > _maxRoundTrip * 1000000.0) {
        _maxRoundTrip = seconds;
    }
    if (_minRoundTrip == 0 || _minRoundTrip * 1000000.0 > micros) {
        _minRoundTrip = seconds;
    }
    _roundTripSum += seconds;
    _avgRoundTrip = _roundTripSum / static_cast<double>(_roundTripCount);
}

double DeviceImpl::GetMinRoundTripTime() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _minRoundTrip;
}

double DeviceImpl::GetMaxRoundTripTime() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _maxRoundTrip;
}

double DeviceImpl::GetAvgRoundTripTime() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _avgRoundTrip;
}

std::uint64_t DeviceImpl::GetRoundTripCount() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _roundTripCount;
}

void DeviceImpl::DisconnectSignals() {
    _cookies.DisconnectAll();
    dropRawCommands();
}

void DeviceImpl::Finalize() {
    if (_finalized.exchange(true)) {
        Debug("ZK66B8I Device is finalized");
        return;
    }
    DisconnectSignals();
    StateCallback dropped;
    std::shared_ptr<TcpSocketSet> set;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        dropped = std::move(_onStateChange);
        _onStateChange = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        set = std::move(_socketSet);
    }
    if (set) {
        set->Close();
    }
}

}  // namespace Zelkor
