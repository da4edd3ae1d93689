// The discovery-level messages that reach the service: offered by the driver, or routed
// to it by the list router, and handed to the handler of their word and transport.

#include <sstream>

#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "discovery/DiscoveryService.h"
#include "driver/ZelkorDriver.h"
#include "transport/NetworkInfo.h"
#include "transport/Socket.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

void DiscoveryService::HandleMessage(MessageSignalData& data) {
    const Message* message = data.GetMessage();
    if (!message || !data.Handle()) {
        return;
    }
    const bool reply = message->GetIsReply();
    const std::string word = message->CommandName();
    if (!data.IsReliable()) {
        // Datagrams are never answered with an error.
        handleDatagram(word, reply, data);
        return;
    }
    // The connection outlives whatever the handler does with it.
    const std::shared_ptr<TcpSocket> keep = data.Socket();
    // The list router hands the "discovered" option over as a "list" message.
    if (word == "discovered" || word == "list") {
        if (reply) {
            HandleListDiscoveredReply(data);
        } else {
            SendListDiscoveredReply(data);
        }
        return;
    }
    if (HandleSecurityMessage(word, reply, data)) {
        return;
    }
    if (handleLevelRequestWord(word, reply, data)) {
        return;
    }
    // A reply is never answered with an error.
    if (reply) {
        return;
    }
    if (!_driver) {
        return;
    }
    MessageForwardInfo header = message->GetMessageForwardInfo();
    header.ReversePaths();
    std::ostringstream line;
    if (!header.PutHeader(line, false, word.c_str())) {
        return;
    }
    line << R"({"error":"Request not supported over TCP"})" << '\n';
    _driver->BuildAndSendRawCommand(data.Handle(), line.str(), false);
}

bool DiscoveryService::isActionableMessage(MessageSignalData& data) {
    if (data.IsReliable()) {
        return true;
    }
    Socket* socket = ZelkorDriver::SocketOf(data.Handle());
    if (!socket) {
        return false;
    }
    const auto remote = socket->GetRemoteIP();
    NetworkInfo local;
    if (_driver && !_driver->GetLocalInfo(remote, &local)) {
        return false;
    }
    // Address equality covers the family, the bytes and the IPv6 scope.
    return !(remote == local.GetIPAddress() && socket->GetRemotePort() == local.port);
}

}  // namespace Zelkor
