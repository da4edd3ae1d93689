// What sockets and listeners report to the driver: every connection made, refused or
// closed is raised on the connection-result signal (a closed one a loop turn later, once
// the code that closed it has returned), a secured one is followed up by the side that
// opened it, a request a connection ended unwritten is answered to its sender, request
// times and the queue bound go to the discovery, and lines may be dumped. The live
// connections are also kept for Stop, which closes them and waits for them.

#include <algorithm>
#include <iomanip>
#include <sstream>

#include <boost/algorithm/string/trim.hpp>
#include <json/value.h>

#include "core/MessageForwardInfo.h"
#include "driver/ZelkorDriver.h"
#include "filetransfer/FileTransferService.h"
#include "services/EndedRequest.h"
#include "transport/TcpServer.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

namespace {

template <class Endpoint>
std::string endpointText(const Endpoint& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

// One dump line: fixed-width columns, then the line itself, trimmed at both ends.
std::string dumpLine(bool incoming, const char* tag, const std::string& endpoint, const std::string& text) {
    std::ostringstream line;
    line << std::left << std::setw(8) << "ZDUMP" << std::setw(4) << (incoming ? "IN" : "OUT") << std::setw(4) << tag
         << std::setw(22) << endpoint << text;
    std::string trimmed = line.str();
    boost::algorithm::trim(trimmed);
    return trimmed;
}

}  // namespace

void ZelkorDriver::SocketAccepted(std::shared_ptr<TcpSocket> socket) {
    socket->SetSink(this);
    applyLineLimits(*socket);
    _live.Add(socket);
}

void ZelkorDriver::SocketConnected(std::shared_ptr<TcpSocket> socket, bool outgoing) {
    RemovePendingConnection(socket);
    applyLineLimits(*socket);
    _live.Add(socket);
    socket->SetInterfaceName(GetEndPointInterface(socket->GetLocalIP()));
    ConnectionResult result = PopulateConnectionResult(socket, true);
    result.outgoing = outgoing;
    _connectionResults.Raise(result);
}

void ZelkorDriver::SocketSecured(std::shared_ptr<TcpSocket> socket) {
    // The side that opened the connection goes on as after a plain connect, whether or not
    // it sends discovery requests: it proves its code to the device that owns the
    // connection (the "disco" that follows the answer brings a device known by its
    // endpoint alone its GUID), or keeps alive a connection no device owns. On a connection
    // it accepted, a device waits for its peer; a controller goes on all the same.
    const auto current = discovery();
    if (!current || !socket || !(socket->IsOutgoing() || current->SendDiscos()) ||
        current->AuthenticateDeviceOf(socket)) {
        return;
    }
    MessageForwardInfo header;
    current->SendKeepAliveDisco(std::move(socket), header);
}

void ZelkorDriver::SocketRejected(std::shared_ptr<TcpSocket> socket) {
    ConnectionResult result = PopulateConnectionResult(socket, false);
    if (socket) {
        // A socket is rejected once: by its connect, or later by its handshake.
        if (const auto connect = socket->ConnectError()) {
            result.failure = ConnectionResult::Failure::Connect;
            result.error = connect;
            result.peer = socket->ConnectTarget();
        } else {
            result.failure = ConnectionResult::Failure::Tls;
            result.error = socket->HandshakeError();
            result.peer = socket->RemoteEndpoint();
        }
    }
    auto weak = weak_from_this();
    if (!socket || result.failure != ConnectionResult::Failure::Tls || weak.expired()) {
        _connectionResults.Raise(result);
        return;
    }
    // What waited for the secured stream is answered before anyone hears the connection
    // failed: its device then lets the connection go, and the answers would find nobody.
    // Both a loop turn later, as for any close, and before the close's own word.
    boost::asio::post(_io, [weak = std::move(weak), socket, result]() mutable {
        if (auto self = weak.lock()) {
            self->answerLost(*socket);
            self->_connectionResults.Raise(result);
        }
    });
    // A failed handshake leaves a stream nothing can pass on, and no read waits on it to
    // see its peer go: left open, the connection would keep its descriptor and buffers for
    // ever. Its close follows, as after a handshake given up.
    socket->Close();
}

void ZelkorDriver::SocketClosed(std::shared_ptr<TcpSocket> socket) {
    _live.Remove(socket.get());
    checkDrained();
    // Raised a loop turn later, so that observers may close further connections without
    // re-entering the code that closed this one. A driver on its way out has no owner
    // left: nothing is raised on it.
    auto weak = weak_from_this();
    if (weak.expired()) {
        return;
    }
    boost::asio::post(_io, [weak = std::move(weak), socket = std::move(socket)] {
        if (auto self = weak.lock()) {
            // Before anyone hears that the connection is gone: a device cuts its callbacks
            // then, and the answers of its requests would find nobody.
            self->answerLost(*socket);
            self->forgetConnection(*socket);
            ConnectionResult result = self->PopulateConnectionResult(socket, false);
            self->_connectionResults.Raise(result);
        }
    });
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
    // A datagram's socket is a handle its answer goes back through.
    _live.Add(socket);
    Packet packet;
    packet.handle = HandleOf(socket.get());
    packet.reliable = false;
    packet.isReply = header.isReply;
    packet.header = &header;
    handlePacket(packet);
}

void ZelkorDriver::MessageBlockSent(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) {
    const auto transfers = fileTransfer();
    if (transfers && socket) {
        transfers->PrepareBlock(std::move(socket), header);
    }
}

void ZelkorDriver::MessageBlockReplySent(std::shared_ptr<TcpSocket> /*socket*/) {
    // Nothing waits for it: a received block goes to the disk once the next is answered.
}

void ZelkorDriver::RequestEnded(std::shared_ptr<TcpSocket> socket, const std::string& line, const std::string& reason) {
    // Answered where its reply would have come in, as its peer would have refused it: the
    // services meet replies with their requests by order, so each ended request takes its
    // own answer. A keep-alive waits for nobody.
    std::string reply = EndedRequestReply(line, reason);
    MessageForwardInfo header;
    if (reply.empty() || !header.TakeReceived(reply) || header.GetCommand() == "disco") {
        return;
    }
    MessageReceived(std::move(socket), header, TimePoint{}, TimePoint{});
}

void ZelkorDriver::answerLost(TcpSocket& socket) {
    // What this node asked on the connection is answered "connection lost" where its reply
    // would have come. What it passed on for a requester behind it (named among the line's
    // sources) is refused to that requester as the connection is forgotten; a list of the
    // devices a node reaches is the discovery's own, whose refusal would read as an empty
    // list.
    socket.ReportLost([](const std::string& word, const std::string& line) {
        MessageForwardInfo header;
        if (!header.ReadReceived(line, word == "list")) {
            return false;
        }
        if (header.SourceList().size() >= 2) {
            return false;
        }
        if (word == "list") {
            const Json::Value& body = header.JsonBody();
            return !body.isObject() || body["command"] != "discovered";
        }
        return true;
    });
}

void ZelkorDriver::LogTraffic(bool incoming, const boost::asio::ip::tcp::endpoint& remote, const std::string& text,
                              bool tls) {
    if (_dumpTraffic.load()) {
        Info(dumpLine(incoming, tls ? "TLS" : "TCP", endpointText(remote), text));
    }
}

void ZelkorDriver::LogTraffic(bool incoming, const boost::asio::ip::udp::endpoint& remote, const std::string& text) {
    if (_dumpTraffic.load()) {
        Info(dumpLine(incoming, "UDP", endpointText(remote), text));
    }
}

void ZelkorDriver::CloseSocket(std::shared_ptr<UdpSocket> socket) {
    if (!socket || weak_from_this().expired()) {
        return;
    }
    boost::asio::post(_io, [socket = std::move(socket)] { socket->Close(); });
}

void ZelkorDriver::SetRequestTime(std::shared_ptr<TcpSocket> socket, std::int64_t seconds) {
    // A notice toward a requester ages from here, not from its turn in the queue.
    _forwarded.Written(socket.get(), socket->RequestInFlight(), ForwardedRequests::Clock::now());
    if (const auto current = discovery()) {
        current->SetRequestTime(socket, seconds);
    }
}

void ZelkorDriver::ClearRequestTime(std::shared_ptr<TcpSocket> socket) {
    if (const auto current = discovery()) {
        current->ClearRequestTime(socket);
    }
}

std::uint64_t ZelkorDriver::MaxQueueDepth() {
    const auto current = discovery();
    return current ? current->MaxQueueDepth() : 0;
}

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
