#include "transport/RawSocket.h"

#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/MessageForwardInfo.h"
#include "transport/InterfaceInfo.h"
#include "transport/SocketSink.h"

namespace Zelkor {

namespace {

using boost::asio::ip::address_v4;

constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFF;
constexpr const char* kBroadcastMac = "ff:ff:ff:ff:ff:ff";
constexpr std::uint16_t kSmallestUdpLength = 10;

}  // namespace

RawSocket::RawSocket(boost::asio::io_context& io, unsigned short port)
    : UdpSocket(io, port), _frameSource(io) {
    SetLogModuleName("RAWS");
}

bool RawSocket::SetFrameDescriptor(int descriptor) {
    int type = 0;
    socklen_t length = sizeof type;
    // A byte stream runs frames together; a sequenced-packet connection, once its peer is
    // gone, reads as an endless run of empty frames that would keep the loop spinning.
    if (getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type == SOCK_STREAM ||
        type == SOCK_SEQPACKET) {
        return false;
    }
    const int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return false;
    }
    boost::system::error_code error;
    _frameSource.close(error);
    _frameSource.assign(copy, error);
    if (error) {
        ::close(copy);
        return false;
    }
    return true;
}

bool RawSocket::BindTo(const address& localAddress, unsigned short localPort,
                       const std::string& /*interfaceName*/) {
    _localEndpoint = udp::endpoint(localAddress, localPort);
    OnLoop([this] { DoReceive(); });
    return true;
}

bool RawSocket::SocketIsOpen() { return _frameSource.is_open(); }

void RawSocket::Close() {
    UdpSocket::Close();
    OnLoop([this] {
        boost::system::error_code ignored;
        _frameSource.close(ignored);
    });
}

void RawSocket::DoReceive() {
    if (IsFinalized() || _waiting || !_frameSource.is_open()) {
        return;
    }
    _waiting = true;
    _frameSource.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                            [self = shared_from_this(), this](const boost::system::error_code& error) {
                                _waiting = false;
                                if (error == boost::asio::error::operation_aborted) {
                                    return;
                                }
                                if (error) {
                                    Error("ZK7403E recvfrom error", error.value());
                                    Close();
                                    return;
                                }
                                readFrame();
                            });
}

void RawSocket::readFrame() {
    if (IsFinalized()) {
        return;
    }
    _frameBuffer.fill(0);
    const ssize_t bytes =
        recv(_frameSource.native_handle(), _frameBuffer.data(), _frameBuffer.size(), MSG_DONTWAIT);
    const int failure = errno;
    if (bytes > 0) {
        OnReceive({}, static_cast<std::size_t>(bytes));
    } else if (bytes < 0 && failure != EAGAIN && failure != EWOULDBLOCK && failure != EINTR) {
        Error("ZK7403E recvfrom error", failure);
        Close();
        return;
    }
    DoReceive();
}

void RawSocket::OnReceive(const boost::system::error_code& /*error*/, std::size_t bytes) {
    if (bytes < UdpFrame::kMinimumSize || IsFinalized()) {
        return;
    }
    const UdpFrame frame(_frameBuffer.data(), std::min(bytes, _frameBuffer.size()));
    if (!frame.IsPlainIpv4Udp() || frame.DestinationPort() != Port()) {
        return;
    }
    const std::string destinationMac = frame.DestinationMacText();
    if (destinationMac != kBroadcastMac && destinationMac != localMac) {
        return;
    }
    Debug("ZK7404I RAW packet accepted");
    if (frame.DestinationIp() != kLimitedBroadcast && !IsSubnetBroadcast(frame.DestinationIp())) {
        return;
    }
    Debug("ZK7405I RAW UDP length", frame.UdpLength());
    // A length that claims more than the frame carries would read past it.
    if (frame.UdpLength() < kSmallestUdpLength || !frame.PayloadFits()) {
        return;
    }
    // Every 32-bit number is an IPv4 address: there is no text to get wrong.
    const address sourceAddress = address_v4(frame.SourceIp());
    Debug("ZK7406I RAW source IP", sourceAddress);
    _senderEndpoint = udp::endpoint(sourceAddress, frame.SourcePort());
    SocketSink* sink = Sink();
    if (sink != nullptr && sink->IsListener(sourceAddress, frame.SourcePort())) {
        Debug("ZK7408I RAW local source", _senderEndpoint);
        return;
    }
    if (!subnetUdp) {
        Debug("ZK7409I RAW subnet-udp disabled");
        return;
    }
    deliverLines(frame.Payload());
}

bool RawSocket::IsSubnetBroadcast(std::uint32_t destination) {
    SocketSink* sink = Sink();
    if (sink == nullptr) {
        return false;
    }
    std::vector<InterfaceInfo> interfaces;
    std::string hostName;
    sink->ListInterfaces(interfaces, hostName);
    for (const auto& record : interfaces) {
        if (record.macText != localMac || record.ipv4Text.empty()) {
            continue;
        }
        // A record whose texts are no IPv4 address and mask names no subnet.
        boost::system::error_code addressError;
        boost::system::error_code maskError;
        const auto ip = boost::asio::ip::make_address_v4(record.ipv4Text, addressError);
        const auto mask = boost::asio::ip::make_address_v4(record.subnetMaskText, maskError);
        if (!addressError && !maskError && (ip.to_uint() | ~mask.to_uint()) == destination) {
            return true;
        }
    }
    return false;
}

void RawSocket::deliverLines(std::string_view payload) {
    // Each frame stands alone: bytes after its last line end are not kept for the next.
    const std::size_t length = payload.size();
    for (std::size_t start = 0, end = 0;
         !IsFinalized() && (end = payload.find('\n', start)) != std::string_view::npos;
         start = end + 1) {
        const std::string line(payload.substr(start, end + 1 - start));
        if (length >= 2 && LogLevel() >= 5) {
            Detail("ZK7410I RAW read " + std::to_string(length - 1) + " bytes (" +
                   Excerpt(line.data(), std::min(length - 1, line.size())) + "...)");
        }
        SocketSink* sink = Sink();
        if (sink == nullptr) {
            continue;
        }
        MessageForwardInfo header;
        const bool parsed = header.ReadReceived(line);
        sink->LogTraffic(true, _senderEndpoint, line);
        // A line the parser rejected (and logged) carries no header to act on.
        if (parsed) {
            sink->MessageReceived(shared_from_this(), header);
        }
    }
}

}  // namespace Zelkor
