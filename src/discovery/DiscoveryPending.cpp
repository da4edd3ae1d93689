// PENDING: stand-ins while the discovery protocol is written; each goes as its real
// operation lands.

#include "discovery/DiscoveryService.h"

#include <chrono>

#include "device/DeviceImpl.h"

namespace Zelkor {

// Timer
void DiscoveryService::StartTimer() { _timerStopped.store(false); }
void DiscoveryService::StopTimer() { _timerStopped.store(true); }
void DiscoveryService::WaitTimer() {}
void DiscoveryService::OnTimer() {}
void DiscoveryService::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(_clockMutex);
    _clock = std::move(clock);
}
std::int64_t DiscoveryService::Now() const {
    {
        std::lock_guard<std::mutex> lock(_clockMutex);
        if (_clock) {
            return _clock();
        }
    }
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Replies
bool DiscoveryService::GetPortValue(const Json::Value&, unsigned short&, std::string&) { return false; }
bool DiscoveryService::GetRemoteInfo(Packet&, IDevice::RemoteInfo&, std::string&) { return false; }
bool DiscoveryService::_parseUUID(const char*, boost::uuids::uuid&) { return false; }
std::shared_ptr<DeviceImpl> DiscoveryService::addDevice(NewDiscoInfo&) { return nullptr; }
std::shared_ptr<DeviceImpl> DiscoveryService::addConnectedDevice(NewDiscoInfo&, const std::shared_ptr<TcpSocket>&) {
    return nullptr;
}
bool DiscoveryService::roomForDevice() { return true; }

// Lists
void DiscoveryService::SendListDiscovered(void*) {}
void DiscoveryService::SendListDiscoveredReply(MessageSignalData&) {}
void DiscoveryService::HandleListDiscoveredReply(MessageSignalData&) {}
std::shared_ptr<DeviceImpl> DiscoveryService::addProxiedDevice(NewDiscoInfo&, std::shared_ptr<DeviceImpl>) {
    return nullptr;
}

// Messages
void DiscoveryService::HandleMessage(MessageSignalData&) {}

// Connections
void DiscoveryService::SignalRaised(ConnectionResult&) {}
void DiscoveryService::Connect(const boost::asio::ip::address&, unsigned short) {}
bool DiscoveryService::CloseMAC(const std::string&) { return false; }

}  // namespace Zelkor
