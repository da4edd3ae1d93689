#include "transport/UdpSocket.h"

#include <algorithm>
#include <sstream>

#include <boost/asio/ip/v6_only.hpp>

#include "core/MessageForwardInfo.h"
#include "transport/LinuxPlatform.h"
#include "transport/SocketSink.h"

namespace Zelkor {

namespace {

using boost::asio::ip::address_v4;

std::string EndpointText(const boost::asio::ip::udp::endpoint& endpoint) {
    std::ostringstream text;
    text << endpoint;
    return text.str();
}

}  // namespace

const UdpSocket::address& UdpSocket::MulticastAddress() {
    static const address group = boost::asio::ip::make_address_v6("ff12::1");
    return group;
}

UdpSocket::UdpSocket(boost::asio::io_context& io, unsigned short port)
    : Socket(io, port), _socket(io) {
    SetLogModuleName("UDPS");
}

bool UdpSocket::SocketIsOpen() { return _socket.is_open(); }

bool UdpSocket::BindTo(const address& localAddress, unsigned short localPort,
                       const std::string& interfaceName) {
    const udp::endpoint endpoint(localAddress, localPort);
    _socket.open(endpoint.protocol());
    _socket.set_option(udp::socket::reuse_address(true));
    if (localAddress.is_v4()) {
        _socket.set_option(udp::socket::broadcast(true));
    } else {
        _socket.set_option(boost::asio::ip::v6_only(true));
    }
    // Tied before binding, so that no datagram of another interface is ever queued.
    if (!interfaceName.empty() &&
        Platform::BindToInterface(_socket.native_handle(), Platform::InterfaceIndex(interfaceName))) {
        return false;
    }
    _socket.bind(endpoint);
    _localEndpoint = endpoint;
    _tiedToInterface = !interfaceName.empty();
    OnLoop([this] { DoReceive(); });
    return true;
}

void UdpSocket::DoReceive() {
    if (IsFinalized()) {
        Debug("ZK7309I UdpSocket is finalized");
        return;
    }
    if (!_socket.is_open()) {
        Debug("ZK7310I UdpSocket is closed");
        return;
    }
    if (_receiving) {
        return;
    }
    _receiving = true;
    _socket.async_receive_from(
        boost::asio::buffer(_receiveBuffer), _senderEndpoint,
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t bytes) {
            self->_receiving = false;
            // Whatever a datagram's handling throws costs that datagram only: the socket
            // reads on.
            try {
                self->OnReceive(error, bytes);
            } catch (const std::exception& failure) {
                self->Error("ZK7335E Datagram handling failed", failure.what());
            } catch (...) {
                self->Error("ZK7335E Datagram handling failed", "unknown exception");
            }
            if (self->_socket.is_open()) {
                self->DoReceive();
            }
        });
}

void UdpSocket::OnReceive(const boost::system::error_code& error, std::size_t bytes) {
    if (IoContext().stopped()) {
        Debug("ZK7310I io_context is stopped");
        Finalize();
        return;
    }
    if (IsFinalized()) {
        Debug("ZK7311I UdpSocket is finalized");
        return;
    }
    if (error) {
        Debug("ZK7312I UDP receive returned error", error.message());
        return;
    }
    if (bytes == 0) {
        Debug("ZK7313I UDP receive returned no bytes");
        return;
    }
    SocketSink* sink = Sink();
    if (sink == nullptr) {
        Error("ZK7314E A UdpSocket has no driver");
        return;
    }
    if (sink->IsListener(_senderEndpoint.address(), _senderEndpoint.port()) || !broadcastUdp ||
        !subnetUdp) {
        return;
    }
    const char* data = _receiveBuffer.data();
    if (bytes >= 2 && LogLevel() >= 5) {
        Detail("ZK7315I UDP read " + std::to_string(bytes - 1) + " bytes on " + Name() + " at " +
               _localEndpoint.address().to_string() + " from " +
               _senderEndpoint.address().to_string() + " (" + Excerpt(data, bytes - 1) + "...)");
    }
    // Only the first line of a datagram counts, and a datagram stands alone: bytes without
    // a line end are never joined to another sender's datagram.
    const char* end = std::find(data, data + bytes, '\n');
    if (end == data + bytes) {
        return;
    }
    const std::string line(data, end + 1);
    MessageForwardInfo header;
    if (header.ReadReceived(line)) {
        sink->MessageReceived(shared_from_this(), header);
    }
}

void UdpSocket::SendDataTo(const std::string& text, const address& destination,
                           unsigned short port) {
    // Judged when asked, not when the loop gets to it: a send asked for before Close still
    // goes out, although Close finalizes at once.
    if (IsFinalized()) {
        Debug("ZK7321I UdpSocket is finalized");
        return;
    }
    if (text.empty()) {
        return;
    }
    auto shared = std::make_shared<const std::string>(text);
    OnLoop([this, shared, to = udp::endpoint(destination, port)] { sendNow(shared, to); });
}

void UdpSocket::sendNow(const std::shared_ptr<const std::string>& text,
                        const udp::endpoint& destination) {
    const bool ipv4 = _localEndpoint.address().is_v4();
    const address& to = destination.address();
    if (ipv4 && to.is_v6()) {
        Warning("ZK7323W Cannot send to IPv6 from IPv4");
        return;
    }
    if (ipv4 && _localEndpoint.address().is_loopback() && to == address(address_v4::broadcast()) &&
        !localhostBroadcast) {
        Debug("ZK7334I Broadcast from localhost is disabled");
        return;
    }
    if (!ipv4 && to.is_v4()) {
        Warning("ZK7322W Cannot send to IPv4 from IPv6");
        return;
    }
    if (SocketSink* sink = Sink()) {
        sink->LogTraffic(false, destination, *text);
    }
    _socket.async_send_to(boost::asio::buffer(*text), destination,
                          [self = shared_from_this(), text, destination](
                              const boost::system::error_code& error, std::size_t bytes) {
                              self->onSent(error, bytes, *text, destination);
                          });
}

void UdpSocket::onSent(const boost::system::error_code& error, std::size_t bytes,
                       const std::string& text, const udp::endpoint& destination) {
    if (IsFinalized()) {
        Debug("ZK7323I UdpSocket is finalized");
        return;
    }
    if (error) {
        Detail("ZK7324I UDP write failed from " + _localEndpoint.address().to_string() + " to " +
                   EndpointText(destination),
               error.message());
    } else if (bytes >= 2 && LogLevel() >= 5) {
        Detail("ZK7326I UDP wrote " + std::to_string(bytes - 1) + " bytes on " +
               (Name().empty() ? std::string("(not specified)") : Name()) + " to " +
               destination.address().to_string() + " (" + Excerpt(text.data(), bytes - 1) + "...)");
    }
    if (CloseAfterSend()) {
        Close();
    }
}

void UdpSocket::SendMulticastMessage(const std::string& text, const address& destination,
                                     unsigned short port, bool limited, bool subnet) {
    // As SendDataTo: finalization counts from the call on.
    if (IsFinalized()) {
        Debug("ZK7327I UdpSocket is finalized");
        return;
    }
    if (text.empty()) {
        return;
    }
    auto shared = std::make_shared<const std::string>(text);
    OnLoop([this, shared, destination, port, limited, subnet] {
        sendMulticastNow(shared, destination, port, limited, subnet);
    });
}

void UdpSocket::sendMulticastNow(const std::shared_ptr<const std::string>& text,
                                 const address& destination, unsigned short port, bool limited,
                                 bool subnet) {
    if (!_socket.is_open()) {
        Debug("ZK7328I UdpSocket is closed");
        return;
    }
    if (destination != address(address_v4::broadcast())) {
        sendNow(text, udp::endpoint(destination, port));
    } else if (_localEndpoint.address().is_v4()) {
        if (subnet && !SubnetBroadcast().is_unspecified()) {
            sendNow(text, udp::endpoint(SubnetBroadcast(), port));
        }
        if (limited) {
            sendNow(text, udp::endpoint(destination, port));
        }
    } else {
        sendNow(text, udp::endpoint(MulticastAddress(), port));
    }
}

void UdpSocket::SetSubnet(const address& mask) {
    const address local = _socket.local_endpoint().address();
    if (!local.is_v4() || !mask.is_v4()) {
        return;
    }
    // The any-address (or an all-zero mask) has no subnet of its own whose broadcast could
    // be named; "host part alone" would be an address of some other network.
    const std::uint32_t maskBits = mask.to_v4().to_uint();
    const std::uint32_t localBits = local.to_v4().to_uint();
    const address broadcast = localBits == 0 || maskBits == 0
                                  ? address(address_v4::any())
                                  : address(address_v4(~maskBits | localBits));
    OnLoop([this, mask, broadcast] {
        SetSubnetMask(mask);
        SetSubnetBroadcast(broadcast);
    });
}

void UdpSocket::Close() {
    Finalize();
    OnLoop([this] { closeNow(); });
}

void UdpSocket::closeNow() {
    if (!_socket.is_open()) {
        return;
    }
    boost::system::error_code error;
    _socket.close(error);
    if (error) {
        Warning("ZK7306W UDP close error", error.message());
    }
}

}  // namespace Zelkor
