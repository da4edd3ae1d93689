// What sockets and listeners report to the driver. The connection events are kept only
// as the list of live connections that Stop closes and waits for; connection results are
// raised by the network edge, which brings interface names and TLS follow-ups with them.

#include <algorithm>

#include "driver/ZelkorDriver.h"
#include "filetransfer/IFileTransferService.h"
#include "transport/TcpServer.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

namespace {

template <class Set>
void forgetExpired(Set& set) {
    for (auto at = set.begin(); at != set.end();) {
        at = at->expired() ? set.erase(at) : std::next(at);
    }
}

}  // namespace

void ZelkorDriver::SocketAccepted(std::shared_ptr<TcpSocket> socket) {
    socket->SetSink(this);
    forgetExpired(_live);
    _live.insert(socket);
}

void ZelkorDriver::SocketConnected(std::shared_ptr<TcpSocket> socket, bool /*outgoing*/) {
    RemovePendingConnection(socket);
    forgetExpired(_live);
    _live.insert(socket);
}

void ZelkorDriver::SocketSecured(std::shared_ptr<TcpSocket> /*socket*/) {}

void ZelkorDriver::SocketRejected(std::shared_ptr<TcpSocket> /*socket*/) {}

void ZelkorDriver::SocketClosed(std::shared_ptr<TcpSocket> socket) {
    _live.erase(socket);
    checkDrained();
}

void ZelkorDriver::MessageReceived(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header,
                                   TimePoint requestSent, TimePoint received) {
    Packet packet;
    packet.handle = HandleOf(socket.get());
    packet.socket = std::move(socket);
    packet.reliable = true;
    packet.isReply = header.isReply;
    packet.header = &header;
    packet.requestSent = requestSent;
    packet.received = received;
    handlePacket(packet);
}

void ZelkorDriver::MessageReceived(std::shared_ptr<UdpSocket> socket, MessageForwardInfo& header) {
    Packet packet;
    packet.handle = HandleOf(socket.get());
    packet.reliable = false;
    packet.isReply = header.isReply;
    packet.header = &header;
    handlePacket(packet);
}

void ZelkorDriver::MessageBlockSent(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
    if (_fileTransfer && socket) {
        _fileTransfer->PrepareBlock(std::move(socket), header);
    }
}

void ZelkorDriver::MessageBlockReplySent(std::shared_ptr<TcpSocket> socket) {
    if (_fileTransfer && socket) {
        _fileTransfer->AcceptBlock(std::move(socket));
    }
}

void ZelkorDriver::LogTraffic(bool, const boost::asio::ip::tcp::endpoint&, const std::string&, bool) {}

void ZelkorDriver::LogTraffic(bool, const boost::asio::ip::udp::endpoint&, const std::string&) {}

void ZelkorDriver::CloseSocket(std::shared_ptr<UdpSocket> /*socket*/) {}

void ZelkorDriver::SetRequestTime(std::shared_ptr<TcpSocket>, std::int64_t) {}

void ZelkorDriver::ClearRequestTime(std::shared_ptr<TcpSocket>) {}

std::uint64_t ZelkorDriver::MaxQueueDepth() { return 0; }

void ZelkorDriver::RemoveIncomingConnection(const std::shared_ptr<TcpSocket>& socket) {
    std::lock_guard<std::mutex> lock(_listenerMutex);
    for (const auto& listener : _listeners) {
        listener->RemoveIncomingConnection(socket);
    }
}

void ZelkorDriver::RemovePendingConnection(const std::shared_ptr<TcpSocket>& socket) {
    std::lock_guard<std::mutex> lock(_pendingMutex);
    _pending.erase(std::remove(_pending.begin(), _pending.end(), socket), _pending.end());
}

ConnectionResult ZelkorDriver::PopulateConnectionResult(const std::shared_ptr<TcpSocket>& socket, bool connected) {
    ConnectionResult result;
    result.handle = HandleOf(socket.get());
    result.socket = socket;
    result.connected = connected;
    if (connected && socket) {
        result.remote.SetIPAddress(socket->GetRemoteIP());
        result.remote.SetPortNo(socket->GetRemotePort());
    }
    return result;
}

}  // namespace Zelkor
