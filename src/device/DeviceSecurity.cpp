// Securing the device's connections and proving its verification code: "starttls" on a
// new connection, the periodic "authenticate" or keep-alive, and setting the code, with
// the confirmed and pending codes this node keeps for the device.

#include "device/DeviceImpl.h"

#include "core/Base64.h"
#include "discovery/AuthenticationCode.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "transport/TcpSocket.h"
#include "transport/TcpSocketSet.h"

namespace Zelkor {

namespace {

std::string base64(const std::string& bytes) {
    std::string text;
    if (!bytes.empty()) {
        Base64::Encode(bytes, text);
    }
    return text;
}

}  // namespace

std::string DeviceImpl::GetVerificationCode() {
    std::lock_guard<std::mutex> lock(_codeMutex);
    return _verificationCode;
}

void DeviceImpl::SetVerificationCode(std::string code) {
    std::lock_guard<std::mutex> lock(_codeMutex);
    _verificationCode = std::move(code);
}

std::string DeviceImpl::GetPendingVerificationCode() {
    std::lock_guard<std::mutex> lock(_codeMutex);
    return _pendingVerificationCode;
}

void DeviceImpl::SendStartTLSRequest() {
    const auto service = discovery();
    if (!service || !IsConnected()) {
        return;
    }
    // Only the device's own connection: through a router the handshake would run on the
    // wrong hop.
    const auto socket = GetHandle();
    if (socket && socket->GetState() == TcpSocket::Plain) {
        MessageForwardInfo header = prepareForwardInfo(nullptr);
        service->SendStartTLSRequest(ZelkorDriver::HandleOf(socket.get()), header);
    }
}

void DeviceImpl::requestStartTls(const std::shared_ptr<TcpSocket>& socket) {
    // The connection that has just connected, whichever of the two it is: a secondary
    // that stayed plain would carry requests in clear text.
    const auto service = discovery();
    if (!service || !socket || socket->GetState() != TcpSocket::Plain) {
        return;
    }
    MessageForwardInfo header = prepareForwardInfo(nullptr);
    service->SendStartTLSRequest(ZelkorDriver::HandleOf(socket.get()), header);
}

void DeviceImpl::SendSetVerificationCodeRequest(SetVerificationCodeInfo& info) {
    const auto service = discovery();
    if (!service || !IsConnected()) {
        return;
    }
    const std::string current = base64(info.current);
    const std::string next = base64(info.newCode);
    bool sent = false;
    ForTheEncryptedHandle([&](std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
        {
            std::lock_guard<std::mutex> lock(_codeMutex);
            _pendingVerificationCode = info.newCode;
        }
        service->SendSetVerificationCodeRequest(ZelkorDriver::HandleOf(socket.get()), header, current, next);
        sent = true;
    });
    // Only a request that went out is "sent": the caller waits for its reply.
    info.sent = sent;
    if (!sent) {
        Warning("ZK66C0W No encrypted connection for setverificationcode to", nameText());
    }
}

std::string DeviceImpl::ComposeAuthenticateMessage(AuthenticateInfo& info) {
    std::string nonce;
    if (!AuthenticationCode::NewNonce(nonce)) {
        Error("ZK66C1E No random bytes for an authentication nonce");
        return std::string();
    }
    return AuthenticationCode::Compose(info.code, nonce);
}

bool DeviceImpl::authenticateOn(const std::shared_ptr<TcpSocket>& socket, AuthenticateInfo& info,
                                const char* authenticateText, const char* keepAliveText, const std::string& keepAlive) {
    if (!socket || !socket->SocketIsConnected()) {
        return false;
    }
    const auto service = discovery();
    if (!service) {
        return false;
    }
    const std::string name = nameText();
    // This node proves itself only to the devices it connected to: a peer that connected
    // here is no device to send the code's proof to.
    // A transfer on the connection needs no keep-alive; but its lines wait for the proof,
    // as every request does, so a proof is never left out for it.
    const bool proof = socket->GetState() == TcpSocket::Tls && !socket->IsProvenToPeer() && socket->IsOutgoing();
    if (!proof && socket->Transferring()) {
        return false;
    }
    if (proof) {
        Detail(authenticateText + name);
        const std::string code = ComposeAuthenticateMessage(info);
        if (code.empty()) {
            return false;
        }
        // A request of its own, with its own sender hash: the copy on the second connection
        // of a redundant pair must not be taken for a duplicate of the first.
        MessageForwardInfo header = prepareForwardInfo(nullptr);
        service->SendAuthenticateRequest(ZelkorDriver::HandleOf(socket.get()), header, code);
        return true;
    }
    Detail(keepAliveText + name);
    socket->SendData(keepAlive, true);
    return false;
}

void DeviceImpl::Authenticate(AuthenticateInfo& info, std::shared_ptr<TcpSocket> socket) {
    info.sent = false;
    info.count = 0;
    if (!_driver.lock()) {
        Warning("ZK6660W Driver is not avaliable");
        return;
    }
    const auto service = discovery();
    if (!service) {
        Warning("ZK6661W Discovery Service is not available");
        return;
    }
    std::shared_ptr<TcpSocket> primary;
    std::shared_ptr<TcpSocket> secondary;
    bool own = false;
    {
        std::lock_guard<std::mutex> lock(_socketSetMutex);
        if (!_socketSet) {
            Warning("ZK6662W No socket set");
            return;
        }
        primary = _socketSet->Primary();
        secondary = _socketSet->Secondary();
        own = socket && holdsLocked(socket);
    }
    if (!socket || own) {
        // A socket of the device's own (newly secured) is authenticated on by itself.
        if (own && socket != primary) {
            primary.reset();
        }
        if (own && socket != secondary) {
            secondary.reset();
        }
        MessageForwardInfo header = prepareForwardInfo(nullptr);
        const std::string keepAlive = service->BuildDiscoRequest(header);
        const bool onPrimary = authenticateOn(primary, info, "ZK6663I Sending authenticate in primary to ",
                                              "ZK6664I Sending keep-alive disco on primary to ", keepAlive);
        const bool onSecondary = authenticateOn(secondary, info, "ZK6663I Sending authenticate on secondary to ",
                                                "ZK6664I Sending keep-alive disco on secondary to ", keepAlive);
        if (onPrimary || onSecondary) {
            info.sent = true;
            info.count += 1;
        }
        return;
    }
    const auto router = Proxy();
    if (!router || !router->IsDirectlyConnected()) {
        return;
    }
    const auto handle = router->GetHandle();
    const bool proof = handle && handle->GetState() == TcpSocket::Tls && !handle->IsProvenToPeer() &&
                       handle->IsOutgoing();
    if (!handle || (!proof && handle->Transferring())) {
        return;
    }
    MessageForwardInfo header = prepareForwardInfo(router);
    const std::string name = nameText();
    if (proof) {
        Detail("ZK6665I Sending authenticate to " + name);
        const std::string code = ComposeAuthenticateMessage(info);
        if (code.empty()) {
            return;
        }
        service->SendAuthenticateRequest(ZelkorDriver::HandleOf(handle.get()), header, code);
        info.sent = true;
        info.count += 1;
        return;
    }
    Detail("ZK6666I Sending proxied keep-alive disco to " + name);
    service->SendKeepAliveDisco(handle, header);
}

}  // namespace Zelkor
