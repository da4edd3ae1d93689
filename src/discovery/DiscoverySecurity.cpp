// Peer security as the discovery service does it: upgrading a connection to TLS
// ("starttls"), proving the verification code ("authenticate") and setting it
// ("setverificationcode"), on the device side and on the controller side.
//
// Everything here runs on the event loop, except the senders, which any thread may call.

#include "core/Base64.h"
#include "core/Message.h"
#include "core/MessageSignalData.h"
#include "device/DeviceImpl.h"
#include "discovery/Authenticate.h"
#include "discovery/DiscoveryService.h"
#include "discovery/SetVerificationCode.h"
#include "discovery/StartTLS.h"
#include "driver/ZelkorDriver.h"
#include "storage/StorageModel.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

namespace {

const char* const kAuthenticationFailed = "Authentication Failed";
const char* const kTooManyFailures = "Too many failed attempts";
const char* const kUnknownCommand = "unknown command";
const char* const kNotAccepted = "not accepted";
const char* const kNotProvisioned = "not provisioned";
const char* const kNotStored = "Verification code not stored";
const char* const kCodeChangedUnrecorded = "Verification code changed on the device, but its device object was not updated";
const char* const kAuthenticatePath = "/configuration/device/authenticate";

std::string from(const TcpSocket& connection) {
    return "(" + connection.GetRemoteIP().to_string() + ":" + std::to_string(connection.GetRemotePort()) + ")";
}

// The same, made only when a log line is written (a part of ZelkorLoggable::Join).
auto fromOf(const TcpSocket& connection) {
    return [&connection] { return from(connection); };
}

std::string decoded(const std::string& text) {
    std::string bytes = text;
    unsigned long length = static_cast<unsigned long>(bytes.size());
    Base64::Decode(bytes, length);
    return bytes;
}

// A TCP connection whose TLS handshake has finished.
bool securedHandle(void* handle) {
    Socket* socket = ZelkorDriver::SocketOf(handle);
    return socket && socket->IsReliableTransport() && static_cast<TcpSocket*>(socket)->GetState() == TcpSocket::Tls;
}

}  // namespace

bool DiscoveryService::HandleSecurityMessage(const std::string& word, bool reply, MessageSignalData& data) {
    using Handler = void (DiscoveryService::*)(MessageSignalData&);
    struct Row {
        const char* word;
        Handler request;
        Handler reply;
    };
    static const Row rows[] = {
        {"authenticate", &DiscoveryService::HandleAuthenticateRequest, &DiscoveryService::HandleAuthenticateReply},
        {"setverificationcode", &DiscoveryService::HandleSetVerificationCodeRequest,
         &DiscoveryService::HandleSetVerificationCodeReply},
        {"starttls", &DiscoveryService::HandleStartTLSRequest, &DiscoveryService::HandleStartTLSReply},
    };
    for (const auto& row : rows) {
        if (word == row.word) {
            (this->*(reply ? row.reply : row.request))(data);
            return true;
        }
    }
    return false;
}

// --- callbacks ---------------------------------------------------------------------------

void DiscoveryService::OnSetVerificationCode(SetVerificationCodeCallback callback) {
    std::lock_guard<std::mutex> lock(_requestCallbackMutex);
    _onSetVerificationCode.swap(callback);
}

void DiscoveryService::OnAuthenticate(AuthenticateCallback callback) {
    std::lock_guard<std::mutex> lock(_requestCallbackMutex);
    _onAuthenticate.swap(callback);
}

void DiscoveryService::OnStartTLS(StartTLSCallback callback) {
    std::lock_guard<std::mutex> lock(_requestCallbackMutex);
    _onStartTLS.swap(callback);
}

std::string DiscoveryService::codeInForce() {
    VerificationCallback callback;
    {
        std::lock_guard<std::mutex> lock(_callbackMutex);
        callback = _onVerificationCode;
    }
    std::string code;
    if (callback) {
        callback(VerificationCode::Read, code);
    }
    return code;
}

bool DiscoveryService::storeCode(std::string code) {
    VerificationCallback callback;
    {
        std::lock_guard<std::mutex> lock(_callbackMutex);
        callback = _onVerificationCode;
    }
    return callback && callback(VerificationCode::Store, code);
}

// --- start-TLS ---------------------------------------------------------------------------

void DiscoveryService::HandleStartTLSRequest(MessageSignalData& data) {
    Trace("ZK2085I DiscoveryService::HandleStartTLSRequest begin");
    const Message* message = data.GetMessage();
    if (!message || !data.IsReliable() || !isActionableMessage(data)) {
        return;
    }
    StartTLSInfo info;
    info.request = true;
    info.error = message->GetParamValue(Param::error);
    SendStartTLSReply(data, info);
}

void DiscoveryService::SendStartTLSReply(MessageSignalData& data, StartTLSInfo& info) {
    const Message* message = data.GetMessage();
    const std::shared_ptr<TcpSocket> connection = data.Socket();
    if (!_driver || !message || !data.IsReliable() || !connection) {
        return;
    }
    StartTLSCallback callback;
    {
        std::lock_guard<std::mutex> lock(_requestCallbackMutex);
        callback = _onStartTLS;
    }
    if (callback && !callback(info)) {
        info.error = kNotAccepted;
    }
    if (!connection->IsTlsProvisioned()) {
        info.error = kNotProvisioned;
    } else if (info.error.empty() && connection->GetState() != TcpSocket::Plain) {
        // A second handshake would tear down the secured stream the peer is talking on.
        PeerDetail(Join("ZK20C4I starttls refused on a connection already secured from ", fromOf(*connection)));
        info.error = kNotAccepted;
    }
    StartTLS reply;
    reply.SetIsReply(true);
    if (!info.error.empty()) {
        reply.SetJsonParameter(Param::error, Json::Value(info.error));
    }
    reply.SetMessageForwardInfo(message->GetMessageForwardInfo());
    _driver->BuildAndSendMessage(data.Handle(), reply, false);
    if (!info.error.empty()) {
        return;
    }
    // The answer goes out in plain text before the handshake: the connection holds the
    // handshake back until it is written.
    connection->SetState(TcpSocket::Handshaking);
    connection->SetClient(false);
    connection->Handshake();
}

void DiscoveryService::HandleStartTLSReply(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !data.IsReliable() || !isActionableMessage(data)) {
        return;
    }
    const std::shared_ptr<TcpSocket> connection = data.Socket();
    if (!connection) {
        return;
    }
    if (!connection->TakeStartTlsAnswer()) {
        // Only the asker turns client: a peer must not make this node start a handshake
        // on a connection that never asked for one, least of all on one it accepted.
        PeerDetail(Join("ZK20C9I starttls reply ignored on a connection that did not ask for it, from ",
                        fromOf(*connection)));
        return;
    }
    StartTLSInfo info;
    info.request = false;
    info.error = message->GetParamValue(Param::error);
    StartTLSCallback callback;
    {
        std::lock_guard<std::mutex> lock(_requestCallbackMutex);
        callback = _onStartTLS;
    }
    const bool accepted = callback ? callback(info) : true;
    const TcpSocket::State state = connection->GetState();
    if (state == TcpSocket::Tls) {
        // Neither a second handshake nor plain text belongs on a secured stream.
        PeerDetail(Join("ZK20C5I starttls reply ignored on a connection already secured from ", fromOf(*connection)));
        return;
    }
    if (accepted && info.error.empty()) {
        if (state == TcpSocket::Plain) {
            connection->SetClient(true);
            connection->Handshake();
        }
        return;
    }
    connection->SetState(TcpSocket::Plain);
    // The connection goes on in plain text, kept alive as one that never asked for TLS.
    if (_sendDiscos.load()) {
        if (const auto device = deviceHolding(connection)) {
            device->SendKeepAliveDisco(true);
        }
    }
}

void DiscoveryService::SendStartTLSRequest(void* handle, MessageForwardInfo& header) {
    if (!_driver) {
        return;
    }
    StartTLS request;
    request.SetMessageForwardInfo(header);
    // Marked before the line leaves, so that no answer can come first.
    if (Socket* socket = ZelkorDriver::SocketOf(handle); socket && socket->IsReliableTransport()) {
        static_cast<TcpSocket*>(socket)->AwaitStartTls();
    }
    _driver->SendDataToPeer(handle, request.Build(true), true);
}

// --- authentication ----------------------------------------------------------------------

void DiscoveryService::HandleAuthenticateRequest(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !data.IsReliable() || !isActionableMessage(data)) {
        return;
    }
    AuthenticateInfo info;
    info.code = message->GetParamValue(Param::code);
    SendAuthenticateReply(data, info);
}

void DiscoveryService::SendAuthenticateReply(MessageSignalData& data, AuthenticateInfo& info) {
    const Message* message = data.GetMessage();
    const std::shared_ptr<TcpSocket> connection = data.Socket();
    if (!_driver || !message || !data.IsReliable() || !connection) {
        return;
    }
    if (connection->FailedAuthentications() >= MaxFailedAuthentications) {
        // Closing once its last refusal is written: what the peer sent behind that goes
        // unanswered.
        return;
    }
    info.code = message->GetParamValue(Param::code);
    // A proof that names a requester behind the peer (two sources) is that requester's,
    // carried by a router whose connection every requester behind it shares: it never
    // closes the connection. A router that proved the code bounds its requesters itself,
    // by their own addresses. Over any other connection the route may be a claim: the
    // proof counts in the node-wide bound and in the waits of the peer's address, as the
    // peer's own would, so that one address cannot spend the bound for everyone.
    const bool routed = message->GetMessageForwardInfo().SourceList().size() >= 2;
    // Whether a refusal counts against the connection: a failed guess of the peer's own, or
    // one made while its own address waits; not one refused for others' failures.
    bool counts = !routed;
    if (routed && connection->IsAuthenticated()) {
        info.error = prove(*connection, info.code);
    } else {
        const boost::asio::ip::address address = connection->GetRemoteIP();
        const ProofGate::Admission admission = routed ? _proofGate.AdmitCarried(address) : _proofGate.Admit(address);
        if (admission.verdict == ProofGate::Verdict::Check) {
            info.error = prove(*connection, info.code);
            if (routed) {
                _proofGate.CheckedCarried(address, admission, info.error.empty());
            } else {
                _proofGate.Checked(address, admission, info.error.empty());
            }
        } else {
            // Not checked at all: a guess made now tells nothing, however many connections
            // or addresses carry them.
            refusedUnchecked(*connection, admission.verdict);
            info.error = kTooManyFailures;
            counts = counts && admission.verdict == ProofGate::Verdict::Waiting;
        }
    }
    Authenticate reply;
    reply.SetIsReply(true);
    if (!info.error.empty()) {
        reply.SetJsonParameter(Param::error, Json::Value(info.error));
        if (counts && connection->CountFailedAuthentication() >= MaxFailedAuthentications) {
            PeerWarning(Join("ZK20C8W Closing the connection after ", MaxFailedAuthentications,
                             " failed authentications from ", fromOf(*connection)));
            connection->SetCloseAfterSend(true);
        }
    }
    reply.SetMessageForwardInfo(message->GetMessageForwardInfo());
    _driver->BuildAndSendMessage(data.Handle(), reply, false);
}

void DiscoveryService::refusedUnchecked(const TcpSocket& connection, ProofGate::Verdict verdict) {
    if (verdict == ProofGate::Verdict::Spent) {
        PeerWarning(Join("ZK20CEW authenticate refused unchecked while failed proofs are over the node's bound, from ",
                         fromOf(connection)));
    } else if (verdict == ProofGate::Verdict::Awaiting) {
        PeerWarning(Join("ZK20CFW authenticate not passed on while the answer to its address's last one is awaited, "
                         "from ",
                         fromOf(connection)));
    } else {
        PeerWarning(Join("ZK20C7W authenticate refused unchecked while its address waits after a failure, from ",
                         fromOf(connection)));
    }
}

const char* DiscoveryService::AdmitForwardedProof(const TcpSocket& requester, bool& counts) {
    const ProofGate::Admission admission = _proofGate.AdmitForwarded(requester.GetRemoteIP());
    counts = admission.verdict == ProofGate::Verdict::Waiting;
    if (admission.verdict == ProofGate::Verdict::Check) {
        return nullptr;
    }
    refusedUnchecked(requester, admission.verdict);
    return kTooManyFailures;
}

bool DiscoveryService::ForwardedProofAnswered(const TcpSocket& requester, const std::string& error) {
    // Only a refusal of the proof itself is a failed guess; beyond, a node may refuse it
    // unchecked, for its own bound, or not know the word.
    const ProofGate::Outcome outcome = error.empty()                  ? ProofGate::Outcome::Proven
                                       : error == kAuthenticationFailed ? ProofGate::Outcome::Failed
                                                                        : ProofGate::Outcome::Unchecked;
    _proofGate.Answered(requester.GetRemoteIP(), outcome);
    return outcome == ProofGate::Outcome::Failed;
}

std::string DiscoveryService::prove(TcpSocket& connection, const std::string& code) {
    const AuthenticationCode::Check check = AuthenticationCode::Verify(code, codeInForce());
    if (check.verdict != AuthenticationCode::Verdict::Proven) {
        return kAuthenticationFailed;
    }
    // A code seen once is never good again: a captured line proves nothing.
    if (!_acceptedNonces.Remember(check.nonce)) {
        PeerWarning(Join("ZK20C2W Replayed authentication code from ", fromOf(connection)));
        return kAuthenticationFailed;
    }
    if (check.kasdor) {
        connection.IsKasdorAuthenticated(true);
        Info("ZK2028I Kasdor authentication ok from " + from(connection));
    } else {
        connection.IsAuthenticated(true);
        Info("ZK2029I Authenticate ok from " + from(connection));
    }
    return std::string();
}

void DiscoveryService::HandleAuthenticateReply(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !isActionableMessage(data)) {
        return;
    }
    const std::shared_ptr<TcpSocket> connection = data.Socket();
    if (!connection || !connection->TakeProofAnswer()) {
        // No proof of this node's waits for it: an empty answer would read as one taken.
        PeerDetail(Join("ZK20B4I authenticate reply ignored on a connection that sent no proof",
                        [&] { return connection ? ", from " + from(*connection) : std::string(); }));
        return;
    }
    AuthenticateInfo info;
    info.code = message->GetParamValue(Param::code);
    info.error = message->GetParamValue(Param::error);
    const auto device = deviceHolding(connection);
    const bool routed = message->GetMessageForwardInfo().SourceList().size() >= 2;
    if (const auto answering = device && routed ? replyingDevice(data) : device) {
        info.guid = answering->GetDiscoInfo().guid;
    }
    AuthenticateCallback callback;
    {
        std::lock_guard<std::mutex> lock(_requestCallbackMutex);
        callback = _onAuthenticate;
    }
    if (callback) {
        callback(info);
    }
    if (!device) {
        return;
    }
    // Devices that do not know the word answer "unknown command": they hold no code.
    if (!info.error.empty() && info.error != kUnknownCommand) {
        if (info.error == kTooManyFailures) {
            // Refused unchecked, while guessers keep the device busy: the code may well be
            // right, and is proven again once the device may check it.
            proveAgainLater(routed ? replyingDevice(data) : device);
        }
        // A refusal from a device beyond a router refused that device's proof, not this
        // connection, which every other device behind the router shares.
        if (routed) {
            return;
        }
        connection->SetProvenToPeer(false);
        // What the connection holds for the proof would wait for ever: its senders hear
        // of the failure instead, and so do those who send before a proof succeeds.
        connection->EndHeldRequests(kAuthenticationFailed);
        return;
    }
    connection->SetProvenToPeer(true);
    // Whether or not this node sends discovery requests: the answer brings a device known
    // by its endpoint alone its GUID, and keeps the connection alive from then on.
    device->SendKeepAliveDisco(true);
}

void DiscoveryService::proveAgainLater(const std::shared_ptr<DeviceImpl>& device) {
    if (!device) {
        return;
    }
    // A keep-alive interval on: neither at once, which would spend what the device allows
    // while it is refusing, nor never.
    const std::int64_t due = Now() + static_cast<std::int64_t>(_keepAliveDiscoIntervalSec.load());
    _refusedProofs[device.get()] = RefusedProof{device, due};
}

void DiscoveryService::retryRefusedProofs(std::int64_t now) {
    std::vector<std::shared_ptr<DeviceImpl>> due;
    for (auto entry = _refusedProofs.begin(); entry != _refusedProofs.end();) {
        if (entry->second.due > now) {
            ++entry;
            continue;
        }
        if (auto device = entry->second.device.lock()) {
            due.push_back(std::move(device));
        }
        entry = _refusedProofs.erase(entry);
    }
    // Proven meanwhile, the device hears a keep-alive instead.
    for (const auto& device : due) {
        Detail("ZK20E2I Proving the code again after a refusal unchecked to", device->GetDiscoInfo().name);
        AuthenticateInfo info;
        info.code = device->GetVerificationCode();
        device->Authenticate(info, nullptr);
    }
}

void DiscoveryService::SendAuthenticateRequest(void* handle, MessageForwardInfo& header, std::string code) {
    if (!_driver) {
        return;
    }
    if (!securedHandle(handle)) {
        Warning("ZK20C0W authenticate not sent on a connection without TLS", ZelkorDriver::Tag(handle));
        return;
    }
    // This node's own proof, sent back to it by whoever saw it, proves nothing: its nonce
    // counts as used.
    const AuthenticationCode::Check own = AuthenticationCode::Verify(code, std::string());
    if (!own.nonce.empty()) {
        _acceptedNonces.Remember(own.nonce);
    }
    Authenticate request;
    request.SetJsonParameter(Param::code, Json::Value(code));
    request.SetMessageForwardInfo(header);
    // Marked before the line leaves, so that no answer can come first.
    static_cast<TcpSocket*>(ZelkorDriver::SocketOf(handle))->AwaitProofAnswer();
    _driver->SendDataToPeer(handle, request.Build(true), true);
}

// --- verification codes ------------------------------------------------------------------

void DiscoveryService::HandleSetVerificationCodeRequest(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !isActionableMessage(data) || !data.IsReliable()) {
        return;
    }
    SetVerificationCodeInfo info;
    info.current = message->GetParamValue(Param::current);
    info.newCode = message->GetParamValue(Param::new_);
    SendSetVerificationCodeReply(data, info);
}

std::string DiscoveryService::changeCode(TcpSocket& connection, const SetVerificationCodeInfo& info) {
    using AuthenticationCode::IsBase64;
    if (connection.GetState() != TcpSocket::Tls) {
        PeerWarning(Join("ZK2096W setverificationcode received on non-encrypted connection from ", fromOf(connection)));
        return "Encrypted connection required";
    }
    const std::string inForce = codeInForce();
    std::string code;
    if (inForce.empty()) {
        if (info.newCode.empty()) {
            return "Missing new code";
        }
        if (!IsBase64(info.newCode)) {
            return "New code not base64";
        }
        code = decoded(info.newCode);
        if (code.empty()) {
            return "New code zero length";
        }
    } else {
        if (info.current.empty()) {
            return "Missing current code";
        }
        if (!IsBase64(info.current)) {
            return "Current code not base64";
        }
        if (!AuthenticationCode::SameSecret(decoded(info.current), inForce)) {
            return kAuthenticationFailed;
        }
        // An empty new code removes the code.
        if (!info.newCode.empty()) {
            if (!IsBase64(info.newCode)) {
                return "New code not base64";
            }
            code = decoded(info.newCode);
        }
    }
    // Only a code the application kept is in force: neither the peer nor the storage flag
    // may believe in one it refused.
    if (!storeCode(code)) {
        PeerWarning(Join("ZK20C3W Verification code not stored for ", fromOf(connection)));
        return kNotStored;
    }
    if (inForce.empty()) {
        const auto status = _storage->SetValueForPath(kAuthenticatePath, "variant", Json::Value(true), false);
        if (status != IStorage::PathOk) {
            Warning("ZK20C6W Authentication flag not written", _storage->GetStatusString(status));
        }
        Info("ZK2086I SetVerificationCode ok from " + from(connection));
    } else {
        Info("ZK2087I SetVerificationCode ok from " + from(connection));
    }
    return std::string();
}

void DiscoveryService::SendSetVerificationCodeReply(MessageSignalData& data, SetVerificationCodeInfo& info) {
    const Message* message = data.GetMessage();
    const std::shared_ptr<TcpSocket> connection = data.Socket();
    if (!_driver || !message || !data.IsReliable() || !connection) {
        return;
    }
    info.error = changeCode(*connection, info);
    SetVerificationCode reply;
    reply.SetIsReply(true);
    if (!info.error.empty()) {
        reply.SetJsonParameter(Param::error, Json::Value(info.error));
    }
    reply.SetMessageForwardInfo(message->GetMessageForwardInfo());
    _driver->BuildAndSendMessage(data.Handle(), reply, false);
}

std::shared_ptr<DeviceImpl> DiscoveryService::replyingDevice(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    // Also a device known by its endpoint alone, which no reply has named yet.
    const auto connected = data.Socket() ? deviceHolding(data.Socket()) : nullptr;
    if (!message || !connected) {
        return nullptr;
    }
    const std::string originator = message->GetMessageForwardInfo().GetSource();
    const std::string routerName = connected->GetDiscoInfo().name;
    if (originator.empty() || originator == routerName) {
        return connected;
    }
    const auto behind = GetDeviceImplByName(originator);
    return behind && behind->ProxyName() == routerName ? behind : nullptr;
}

void DiscoveryService::HandleSetVerificationCodeReply(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !isActionableMessage(data)) {
        return;
    }
    SetVerificationCodeInfo info;
    info.current = message->GetParamValue(Param::current);
    info.newCode = message->GetParamValue(Param::new_);
    info.error = message->GetParamValue(Param::error);
    // Confirmed whether or not the application listens: the next proof must use the code
    // the device now holds.
    if (info.error.empty()) {
        if (const auto device = replyingDevice(data)) {
            device->SetVerificationCode(device->GetPendingVerificationCode());
        } else {
            // Told as a success, the application would believe its next proof right.
            const std::shared_ptr<TcpSocket> connection = data.Socket();
            Warning("ZK20E1W Verification code changed on a device no device object holds" +
                    (connection ? " at " + from(*connection) : std::string()));
            info.error = kCodeChangedUnrecorded;
        }
    }
    SetVerificationCodeCallback callback;
    {
        std::lock_guard<std::mutex> lock(_requestCallbackMutex);
        callback = _onSetVerificationCode;
    }
    if (callback) {
        callback(info);
    }
}

void DiscoveryService::SendSetVerificationCodeRequest(void* handle, MessageForwardInfo& header, std::string current,
                                                      std::string newCode) {
    if (!_driver) {
        return;
    }
    if (!securedHandle(handle)) {
        Warning("ZK20C1W setverificationcode not sent on a connection without TLS", ZelkorDriver::Tag(handle));
        return;
    }
    SetVerificationCodeInfo info;
    info.current = std::move(current);
    info.newCode = std::move(newCode);
    SetVerificationCode request;
    request.SetParams(info);
    request.SetMessageForwardInfo(header);
    _driver->SendDataToPeer(handle, request.Build(true), true);
}

}  // namespace Zelkor
