// Construction and initialisation of the discovery service, the node's role and every
// discovery setting.

#include "discovery/DiscoveryService.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <boost/algorithm/string/split.hpp>
#include <boost/asio/post.hpp>

#include "device/DeviceImpl.h"
#include "discovery/Authenticate.h"
#include "discovery/GuidText.h"
#include "discovery/Identify.h"
#include "discovery/Locate.h"
#include "discovery/Reboot.h"
#include "discovery/SetVerificationCode.h"
#include "discovery/StartTLS.h"
#include "driver/ZelkorDriver.h"
#include "storage/StorageModel.h"

namespace Zelkor {

namespace {

const char* const kProtocolVersionPath = "/configuration/device/protocolversion";
const char* const kMaxIncomingPath = "/configuration/network/rules/connect/maxincoming";
const char* const kInclusionsPath = "/configuration/device/inclusions";
const char* const kModePath = "/configuration/device/mode";

// Clamps a millisecond interval into [low, 60000]; `seconds` becomes the whole seconds
// the timer counts in, at least 1, or 0 when 0 was asked for.
std::uint64_t setInterval(std::uint64_t requested, std::uint64_t low, std::atomic<std::uint64_t>& milliseconds,
                          std::atomic<std::uint64_t>& seconds) {
    const std::uint64_t clamped = std::min<std::uint64_t>(60000, std::max(low, requested));
    seconds.store(requested == 0 ? 0 : std::max<std::uint64_t>(1, clamped / 1000));
    return milliseconds.exchange(clamped);
}

// A timeout of 0 is off; others are clamped and counted in whole seconds.
std::uint64_t setTimeout(std::uint64_t requested, std::uint64_t low, std::atomic<std::uint64_t>& milliseconds,
                         std::atomic<std::uint64_t>& seconds) {
    if (requested == 0) {
        seconds.store(0);
        return milliseconds.exchange(0);
    }
    const std::uint64_t clamped = std::min<std::uint64_t>(60000, std::max(low, requested));
    seconds.store(clamped / 1000);
    return milliseconds.exchange(clamped);
}

bool parsePort(const std::string& text, unsigned long& port) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    errno = 0;
    port = std::strtoul(text.c_str(), nullptr, 10);
    return errno != ERANGE;
}

}  // namespace

DiscoveryService::DiscoveryService(ZelkorDriver* driver, IStorage* storage)
    : ZelkorLoggable("DISC"),
      _driver(driver),
      _storage(std::make_shared<StorageModel>(storage)),
      _exclusionHandler(std::make_unique<NetworkRuleExclusionHandler>(_storage, this)) {}

DiscoveryService::DiscoveryService(ZelkorDriver* driver, std::shared_ptr<IStorage> storage)
    : ZelkorLoggable("DISC"),
      _driver(driver),
      _storage(std::make_shared<StorageModel>(std::move(storage))),
      _exclusionHandler(std::make_unique<NetworkRuleExclusionHandler>(_storage, this)) {}

DiscoveryService::~DiscoveryService() {
    DetachSignals();
    // Unstopped (the driver deleted after its Run ended otherwise), the devices still
    // listed let their connections go now, while the loop they were made on exists: an
    // application may hold a device longer.
    for (const auto& device : _deviceSet) {
        if (!device->IsFinalized()) {
            device->Finalize();
        }
    }
}

void DiscoveryService::Initialize() {
    if (!_driver || !_storage->GetStorage()) {
        Error("ZK2000E Discovery requires a driver and storage");
        return;
    }
    VersionInfo version;
    _driver->GetVersionInfo(version);
    _storage->SetValueForPath(kProtocolVersionPath, "string", Json::Value(version.version), false);
    Info("ZK2001I Kasdor Zelkor Protocol Version " + version.version);
    _driver->ReplaceEmptyDevNameToHostname();
    std::string limit;
    if (_storage->GetValueForPath(kMaxIncomingPath, "string", limit) == 0) {
        _maxIncoming.store(static_cast<std::uint64_t>(std::max(0, std::atoi(limit.c_str()))));
    }
    SetInclusions();
    _exclusionHandler->LoadAllNetworkExclusion();
    _discoInfo.UpdateDiscoReplyValue(kModePath, _router.load() ? "router" : _sendDiscos.load() ? "controller" : "device");
    _discoInfo.Init(_storage);
    if (!ParseGuid(_discoInfo.GUID(), _guid)) {
        _guid = boost::uuids::uuid{};
    }
    registerWords();
    AttachSignals();
}

void DiscoveryService::registerWords() {
    _messageSignalMap.SetMessageSignalFactory({"authenticate", &_authenticateSignal.signal, CreateAuthenticate});
    _messageSignalMap.SetMessageSignalFactory({"locate", &_locateSignal.signal, CreateLocate});
    _messageSignalMap.SetMessageSignalFactory({"identify", &_identifySignal.signal, CreateIdentify});
    _messageSignalMap.SetMessageSignalFactory({"reboot", &_rebootSignal.signal, CreateReboot});
    _messageSignalMap.SetMessageSignalFactory(
        {"setverificationcode", &_setVerificationCodeSignal.signal, CreateSetVerificationCode});
    _messageSignalMap.SetMessageSignalFactory({"starttls", &_startTLSSignal.signal, CreateStartTLS});
}

void DiscoveryService::AttachSignals() {
    auto* observer = static_cast<ISignalObserver<MessageSignalData>*>(static_cast<IDriverDiscovery*>(this));
    std::lock_guard<std::mutex> lock(_signalConnectionMutex);
    if (_driver) {
        _connectionResultConnection.disconnect();
        _connectionResultConnection =
            _driver->ConnectionResults() += static_cast<ISignalObserver<ConnectionResult>*>(this);
    }
    for (WordSignal* word : {&_authenticateSignal, &_locateSignal, &_identifySignal, &_rebootSignal,
                             &_setVerificationCodeSignal, &_startTLSSignal}) {
        word->connection.disconnect();
        word->connection = word->signal += observer;
    }
}

void DiscoveryService::DetachSignals() {
    std::lock_guard<std::mutex> lock(_signalConnectionMutex);
    _connectionResultConnection.disconnect();
    for (WordSignal* word : {&_authenticateSignal, &_locateSignal, &_identifySignal, &_rebootSignal,
                             &_setVerificationCodeSignal, &_startTLSSignal}) {
        word->connection.disconnect();
    }
}

void DiscoveryService::SetInclusions() {
    std::string inclusions;
    bool redundant = false;
    if (_storage->GetValueForPath(kInclusionsPath, "string", inclusions) == 0) {
        std::vector<std::string> items;
        boost::algorithm::split(items, inclusions, [](char c) { return c == ';'; });
        redundant = std::find(items.begin(), items.end(), "redundant") != items.end();
    }
    Info(std::string("ZK2002I Redundant Zelkor is ") + (redundant ? "enabled" : "disabled"));
}

void DiscoveryService::GiveMessageMapToMessageReceiver(ICombineMessageSignalMaps* receiver) {
    _messageSignalMap.GiveTo(receiver);
}

void DiscoveryService::onLoop(std::function<void()> fn) {
    if (!_driver || _driver->GetIoContext().get_executor().running_in_this_thread()) {
        fn();
        return;
    }
    boost::asio::post(_driver->GetIoContext(), std::move(fn));
}

void DiscoveryService::SignalRaised(MessageSignalData& data) { HandleMessage(data); }

void DiscoveryService::UpdateDiscoReplyValue(const std::string& path, const std::string& value) {
    _discoInfo.UpdateDiscoReplyValue(path, value);
}

void DiscoveryService::UpdateInterfaceDiscoReplyValue(const std::string& interfaceName, const std::string& name,
                                                      const std::string& value) {
    _discoInfo.UpdateInterfaceDiscoReplyValue(interfaceName, name, value);
}

bool DiscoveryService::SetMode(const std::string& mode) {
    bool send = true;
    bool router = false;
    if (mode == "device") {
        send = false;
    } else if (mode == "router") {
        router = true;
    } else if (mode != "controller") {
        return false;
    }
    _replyDiscos.store(true);
    _router.store(router);
    _discoInfo.UpdateDiscoReplyValue(kModePath, mode);
    if (!_sendDiscos.exchange(send) && send) {
        SendDiscoCommand(ProtocolPort);
    }
    return true;
}

void DiscoveryService::SendDiscos(bool on) {
    if (!_sendDiscos.exchange(on) && on) {
        SendDiscoCommand(ProtocolPort);
    }
}

std::uint64_t DiscoveryService::SetDiscoInterval(std::uint64_t milliseconds) {
    return setInterval(milliseconds, 2000, _discoIntervalMs, _discoIntervalSec);
}

std::uint64_t DiscoveryService::SetKeepAliveDiscoInterval(std::uint64_t milliseconds) {
    return setInterval(milliseconds, 1000, _keepAliveDiscoIntervalMs, _keepAliveDiscoIntervalSec);
}

std::uint64_t DiscoveryService::SetReplyTimeout(std::uint64_t milliseconds) {
    return setTimeout(milliseconds, 1000, _replyTimeoutMs, _replyTimeoutSec);
}

std::uint64_t DiscoveryService::SetLockStepTimeout(std::uint64_t milliseconds) {
    return setTimeout(milliseconds, 5000, _lockStepTimeoutMs, _lockStepTimeoutSec);
}

unsigned long DiscoveryService::SetDiscoReplyPort(const std::string& text) {
    errno = 0;
    const unsigned long number = std::strtoul(text.c_str(), nullptr, 0);
    const bool inRange = errno != ERANGE && number >= 1 && number <= 65535;
    if (!inRange && !text.empty()) {
        Warning("ZK20F3W Disco reply port out of range", text);
    }
    _discoReplyPort.store(inRange ? static_cast<unsigned short>(number) : ProtocolPort);
    return number;
}

bool DiscoveryService::SetSendDiscoAddress(const std::string& text) {
    if (text.empty()) {
        std::lock_guard<std::mutex> lock(_sendDiscoMutex);
        _sendDiscoAddress = boost::asio::ip::address_v4::any();
        _sendDiscoPort = ProtocolPort;
        return true;
    }
    std::string address = text;
    std::string port;
    bool hasPort = false;
    if (text.front() == '[') {
        // "[v6]" or "[v6]:port".
        const auto close = text.find(']');
        if (close == std::string::npos) {
            Error("ZK2004E Invalid IP address", text);
            return false;
        }
        address = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                Error("ZK2004E Invalid IP address", text);
                return false;
            }
            hasPort = true;
            port = rest.substr(1);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        // One colon: "a.b.c.d:port". More than one: a bare IPv6 address, without port.
        const auto colon = text.find(':');
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        hasPort = true;
    }
    boost::system::error_code error;
    const auto parsed = boost::asio::ip::make_address(address, error);
    if (error) {
        Error("ZK2004E Invalid IP address", address);
        return false;
    }
    unsigned long number = ProtocolPort;
    if (hasPort) {
        if (!parsePort(port, number)) {
            Error("ZK2006E Invalid port", port);
            return false;
        }
        // A datagram cannot go to port 0.
        if (number == 0 || number > 65535) {
            Error("ZK2005E Port out of range", port);
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(_sendDiscoMutex);
    _sendDiscoAddress = parsed;
    _sendDiscoPort = static_cast<unsigned short>(number);
    return true;
}

DiscoveryService::Endpoint DiscoveryService::SendDiscoAddress() const {
    std::lock_guard<std::mutex> lock(_sendDiscoMutex);
    return {_sendDiscoAddress, _sendDiscoPort};
}

void DiscoveryService::OnIncomingConnection(IncomingCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _onIncomingConnection = std::move(callback);
}

void DiscoveryService::OnVerificationCode(VerificationCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _onVerificationCode = std::move(callback);
}

bool DiscoveryService::HasVerificationCode() {
    VerificationCallback callback;
    {
        std::lock_guard<std::mutex> lock(_callbackMutex);
        callback = _onVerificationCode;
    }
    std::string code;
    return callback && callback(VerificationCode::Read, code) && !code.empty();
}

void DiscoveryService::Broadcast(bool on) {
    if (_driver) {
        _driver->SetBroadcast(on);
    }
}

void DiscoveryService::SubnetBroadcast(bool on) {
    if (_driver) {
        _driver->SetSubnetBroadcast(on);
    }
}

void DiscoveryService::LocalhostBroadcast(bool on) {
    if (_driver) {
        _driver->SetLocalhostBroadcast(on);
    }
}

void DiscoveryService::BroadcastUDP(bool on) {
    if (_driver) {
        _driver->BroadcastUDP(on);
    }
}

void DiscoveryService::SubnetUDP(bool on) {
    if (_driver) {
        _driver->SubnetUDP(on);
    }
}

int DiscoveryService::TraceRoute(const std::string& /*name*/, std::vector<std::string>& /*route*/, int /*hops*/) {
    return 0;
}

bool DiscoveryService::CheckRoutes(std::vector<std::string> a, std::vector<std::string> b) {
    return std::any_of(b.begin(), b.end(), [&a](const std::string& name) {
        return std::find(a.begin(), a.end(), name) != a.end();
    });
}

}  // namespace Zelkor
