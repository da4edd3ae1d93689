#include "Security.h"

#include "device/IDevice.h"
#include "discovery/DiscoInfo.h"
#include "discovery/IDeviceList.h"
#include "driver/ICryptoInfo.h"
#include "transport/TcpSocket.h"

namespace ZelkorNode {
namespace {

const char* const kAuthenticationFailed = "Authentication Failed";
const char* const kTooManyFailures = "Too many failed attempts";

}  // namespace

Security::Security(Zelkor::IZelkorDriver& driver, const Options& options, Events& events)
    : _driver(driver), _options(options), _events(events), _code(options.code) {}

void Security::Configure() {
    if (Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService()) {
        const auto wanted = [this](const char* name) { return _options.noCallback.count(name) == 0; };
        if (wanted("verificationcode")) {
            discovery->OnVerificationCode([this](Zelkor::VerificationCode::Operation operation, std::string& code) {
                return verificationCode(operation, code);
            });
        }
        const auto errorLine = [this](const char* event, const std::string& error) {
            Json::Value fields;
            fields["error"] = error;
            _events.Write(event, fields);
            return true;
        };
        Zelkor::IDeviceList& list = *discovery->GetDeviceList();
        if (wanted("authenticate")) {
            list.OnAuthenticate([this, errorLine](AuthenticateInfo& info) {
                // The one refusal that stands: "Too many failed attempts" is tried again, and
                // kept only to say why a command waited for the device in vain.
                if (info.error == kAuthenticationFailed) {
                    _refusal = info.error;
                    _refusedAt = std::chrono::steady_clock::now();
                } else if (info.error == kTooManyFailures) {
                    _unchecked = info.error;
                    _uncheckedAt = std::chrono::steady_clock::now();
                }
                return errorLine("authenticate", info.error);
            });
        }
        if (wanted("setverificationcode")) {
            list.OnSetVerificationCode(
                [errorLine](SetVerificationCodeInfo& info) { return errorLine("setcode", info.error); });
        }
        if (wanted("starttls")) {
            list.OnStartTLS([this](StartTLSInfo& info) {
                Json::Value fields;
                fields["request"] = info.request;
                fields["error"] = info.error;
                _events.Write("startTLS", fields);
                return true;
            });
        }
    }
    // With a level, a controller asks for TLS on every connection it makes.
    Zelkor::ICryptoInfo& crypto = *_driver.GetCryptoInfo();
    crypto.SetTlsLevel(_options.tlsLevel);
    crypto.SetRequireTls(_options.requireTls);
    std::string cert = _options.cert;
    std::string key = _options.key;
    std::string dh = _options.dh;
    crypto.SetCertFile(cert);
    crypto.SetKeyFile(key);
    crypto.SetDHParamsFile(dh);
}

// Read: the code in force (empty: none); store: the new one that a peer set over TLS,
// which reads return from then on. The code itself is never written out.
bool Security::verificationCode(Zelkor::VerificationCode::Operation operation, std::string& code) {
    if (operation == Zelkor::VerificationCode::Read) {
        std::lock_guard<std::mutex> lock(_codeMutex);
        code = _code;
        return true;
    }
    if (operation != Zelkor::VerificationCode::Store) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(_codeMutex);
        _code = code;
    }
    Json::Value fields;
    fields["operation"] = "store";
    fields["code"] = !code.empty();
    _events.Write("verificationCode", fields);
    return true;
}

void Security::Adopt(Zelkor::IDevice& device) {
    if (!_options.code.empty()) {
        device.SetVerificationCode(_options.code);
    }
}

void Security::AddCommands(Commands& commands) {
    commands["setcode"] = [this](const Json::Value& command) { setCode(command); };
    commands["hascode"] = [this](const Json::Value&) {
        Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
        Json::Value answer;
        answer["result"] = discovery && discovery->HasVerificationCode();
        _events.Write("hascode", answer);
    };
}

// {"cmd":"setcode","guid":G[,"current":C][,"new":N]}: a first code, a change, or (no
// "new") removal; "sent" tells whether it went (only over a secured connection).
void Security::setCode(const Json::Value& command) {
    DeviceRequest request;
    if (!ReadDeviceRequest(_driver, _events, "setcode", command, request)) {
        return;
    }
    if (!request.device) {
        _events.Error("no device " + request.texts["guid"] + " for setcode");
        return;
    }
    SetVerificationCodeInfo info;
    info.current = request.texts["current"];
    info.newCode = request.texts["new"];
    request.device->SendSetVerificationCodeRequest(info);
    Json::Value answer = RequestLine("setcode", request.guid, true);
    answer["sent"] = info.sent;
    WriteRequest(_events, answer, info.sent, "a code travels only over a secured connection to the device");
}

// The connection a request to a listed device takes: secured, authenticated, proven with
// the prefix ("kasdor"). A line on each change.
void Security::Look() {
    Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
    if (!discovery) {
        return;
    }
    std::map<const Zelkor::IDevice*, Told> seen;
    discovery->GetDeviceList()->forEach([&](std::shared_ptr<Zelkor::IDevice> device) {
        const auto socket = device->GetHandle();
        if (!socket) {
            return;
        }
        const Zelkor::DiscoInfo info = device->GetDiscoInfo();
        Json::Value fields;
        fields["guid"] = info.guid;
        fields["name"] = info.name;
        fields["secured"] = socket->GetState() == Zelkor::TcpSocket::Tls;
        // This node's proof taken by the device (it always proves with the prefix), or, on a
        // connection the device made, the device's proof to this node.
        fields["authenticated"] = socket->IsProvenToPeer() || socket->IsAuthenticated();
        fields["kasdor"] = socket->IsProvenToPeer() || socket->IsKasdorAuthenticated();
        const auto known = _security.find(device.get());
        if (known == _security.end() || known->second.fields != fields ||
            known->second.connection.lock() != socket) {
            _events.Write("security", fields);
        }
        seen[device.get()] = Told{std::move(fields), socket};
    });
    // A device without a connection is told of afresh when it has one again.
    _security = std::move(seen);
}

std::string Security::RefusedProof(Zelkor::IDevice& device, std::chrono::steady_clock::time_point since) {
    return unproven(device, since, _refusal, _refusedAt);
}

std::string Security::RefusedUnchecked(Zelkor::IDevice& device, std::chrono::steady_clock::time_point since) {
    return unproven(device, since, _unchecked, _uncheckedAt);
}

std::string Security::unproven(Zelkor::IDevice& device, std::chrono::steady_clock::time_point since,
                               const std::string& refusal, std::chrono::steady_clock::time_point at) {
    if (refusal.empty() || at < since || !device.GetDiscoInfo().guid.empty()) {
        return "";
    }
    const auto socket = device.GetHandle();
    if (!socket || socket->GetState() != Zelkor::TcpSocket::Tls || socket->IsProvenToPeer()) {
        return "";
    }
    return refusal;
}

}  // namespace ZelkorNode
