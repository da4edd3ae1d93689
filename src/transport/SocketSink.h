#pragma once
// The one path from the transport upward: every TCP connection, UDP endpoint and raw
// frame receiver reports what happens to it through this interface, which the driver
// implements. A socket calls at most one sink and never the driver in any other way.
//
// Ownership: sockets hold their sink as a plain pointer and do not own it. Every socket
// argument is a shared pointer taken from the socket itself; the sink may keep it.
// Threads: every call comes on the event-loop thread, inside the completion that caused
// it, and must not block. The message-received calls are handled synchronously: the
// forward info lives only for the call.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

namespace Zelkor {

class MessageForwardInfo;
class TcpSocket;
class UdpSocket;
struct InterfaceInfo;

class SocketSink {
public:
    // Microsecond system-clock points, the same type the driver's packet carries.
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

    // Part of the interface for the driver's own use; listeners report accepted
    // connections through TcpServerEventSink.
    virtual void SocketAccepted(std::shared_ptr<TcpSocket> socket) = 0;
    // A connection is established (outbound: this node opened it); before its first read.
    virtual void SocketConnected(std::shared_ptr<TcpSocket> socket, bool outbound) = 0;
    // The TLS handshake succeeded; before the first TLS read.
    virtual void SocketSecured(std::shared_ptr<TcpSocket> socket) = 0;
    // An outgoing connect or a TLS handshake failed. The socket does not close itself:
    // the sink decides.
    virtual void SocketRejected(std::shared_ptr<TcpSocket> socket) = 0;
    // Once per connection, after its descriptor was closed.
    virtual void SocketClosed(std::shared_ptr<TcpSocket> socket) = 0;
    // One received line whose routing header parsed.
    virtual void MessageReceived(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header,
                                 TimePoint requestSent, TimePoint replyReceived) = 0;
    virtual void MessageReceived(std::shared_ptr<UdpSocket> socket, MessageForwardInfo& header) = 0;
    // A "block" request was written completely; `header` is the connection's own.
    virtual void MessageBlockSent(std::shared_ptr<TcpSocket> socket, MessageForwardInfo& header) = 0;
    // A "@block" reply was written completely.
    virtual void MessageBlockReplySent(std::shared_ptr<TcpSocket> socket) = 0;
    // A request the connection ended unwritten (TcpSocket::EndHeldRequests), or one it
    // never saw answered once it has closed (TcpSocket::ReportLost): `line` as it was sent
    // (or its head, for a long one), `reason` what its sender is to hear. In sending order.
    virtual void RequestEnded(std::shared_ptr<TcpSocket> socket, const std::string& line,
                              const std::string& reason) = 0;
    // Traffic dump of one line (incoming true for a received line).
    virtual void LogTraffic(bool incoming, const boost::asio::ip::tcp::endpoint& remote,
                            const std::string& text, bool tls) = 0;
    virtual void LogTraffic(bool incoming, const boost::asio::ip::udp::endpoint& remote,
                            const std::string& text) = 0;
    // True when the address and port are one of this node's own listeners: a datagram
    // from there is its own echo.
    virtual bool IsListener(const boost::asio::ip::address& address, unsigned short port) = 0;
    // The driver's own RemoveListener of the application interface: true, always.
    virtual bool RemoveListener(const std::string& address, unsigned short port) = 0;
    virtual void IPv4Address(std::string& address, unsigned short& port, std::string interfaceName) = 0;
    virtual void CloseSocket(std::shared_ptr<UdpSocket> socket) = 0;
    // One record per adapter address; `hostName` is set to the host's name.
    virtual void ListInterfaces(std::vector<InterfaceInfo>& list, std::string& hostName) = 0;
    // A request went out at `seconds` since the epoch; its reply is now due.
    virtual void SetRequestTime(std::shared_ptr<TcpSocket> socket, std::int64_t seconds) = 0;
    // The reply arrived.
    virtual void ClearRequestTime(std::shared_ptr<TcpSocket> socket) = 0;
    // Bound of a connection's request queue; 0 means no bound.
    virtual std::uint64_t MaxQueueDepth() = 0;

protected:
    // Never deleted through this interface.
    ~SocketSink() = default;
};

}  // namespace Zelkor
