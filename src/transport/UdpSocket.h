#pragma once
// One UDP endpoint of the protocol, bound to an address and port and optionally tied to
// one interface. It receives datagrams without end, takes the first "\n"-ended line of
// each and hands its parsed routing header to the sink; it sends a text to one address,
// or to the broadcast and multicast destinations that stand for every node.
//
// Ownership: always owned through std::shared_ptr (std::make_shared); every pending
// operation holds one, so the object lives until its last operation has completed. The
// sink is not owned.
//
// Threads: the receive path and the sink calls run on the I/O context's thread.
// - BindTo and SetSubnet may be called from any thread; they make their system calls at
//   once (and report failures to the caller) and hand everything the loop reads over to
//   the loop.
// - Close, SendDataTo and SendMulticastMessage may be called from any thread: they run on
//   the loop, at once when called there, else posted, in the order of the calls. Close
//   refuses further sends at once; sends asked for before it still go out.
// - The three switches are atomic and may be flipped from any thread at any time.
// - localMac, the name and the sink are set before BindTo.
// - GetRemoteIP and GetRemotePort describe the datagram being handled: loop thread only.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include "transport/Socket.h"

namespace Zelkor {

class UdpSocket : public Socket, public std::enable_shared_from_this<UdpSocket> {
public:
    using udp = boost::asio::ip::udp;
    using address = boost::asio::ip::address;

    // The IPv6 group that stands for every node: ff12::1.
    static const address& MulticastAddress();

    UdpSocket(boost::asio::io_context& io, unsigned short port);

    void Close() override;
    bool SocketIsOpen() override;
    bool IsReliableTransport() const override { return false; }
    address GetLocalIP() const override { return _localEndpoint.address(); }
    unsigned short GetLocalPort() const override { return _localEndpoint.port(); }
    address GetRemoteIP() const override { return _senderEndpoint.address(); }
    unsigned short GetRemotePort() const override { return _senderEndpoint.port(); }
    // Arms the asynchronous receive unless it is armed already; loop thread only.
    void DoReceive() override;

    // Opens the socket for the address's family, binds it and starts receiving. A
    // non-empty interface name ties the socket to that interface first; an unknown
    // interface, or one the system refuses, gives false and the socket never receives.
    // Open, option and bind failures raise boost::system::system_error.
    virtual bool BindTo(const address& localAddress, unsigned short localPort,
                        const std::string& interfaceName);
    virtual udp::socket& GetBasicSocket() { return _socket; }
    // The interface the socket was tied to by BindTo, under the name the driver gave the
    // socket (its Name, which the driver's interface tables use); empty for a socket
    // bound to every interface. Loop thread, or after BindTo.
    std::string InterfaceName() const { return _tiedToInterface ? Name() : std::string(); }

    // One datagram holding `text` unchanged (callers end it with "\n"); none for an empty
    // text (a line that could not be built), here and in SendMulticastMessage.
    void SendDataTo(const std::string& text, const address& destination, unsigned short port);
    // For the destination 255.255.255.255: on an IPv4 socket the subnet broadcast (when
    // `subnet` and a subnet is known) and then the limited broadcast (when `limited`); on
    // an IPv6 socket the group ff12::1. Any other destination is sent to as given.
    void SendMulticastMessage(const std::string& text, const address& destination,
                              unsigned short port, bool limited, bool subnet);
    // Records the IPv4 mask of the bound address and derives the subnet's directed
    // broadcast. A socket bound to the any-address has no subnet of its own: its
    // broadcast address stays unspecified. Raises boost::system::system_error when the
    // socket's local address cannot be read.
    void SetSubnet(const address& mask);

    // Receive switches: every datagram is dropped while either is off.
    std::atomic<bool> broadcastUdp{true};
    std::atomic<bool> subnetUdp{true};
    // Whether a socket bound to a 127.x.x.x address may send to 255.255.255.255.
    std::atomic<bool> localhostBroadcast{true};
    // The host's MAC text; read by the raw frame receiver.
    std::string localMac;

protected:
    // Handles one completed receive of `bytes` bytes in the receive buffer.
    void OnReceive(const boost::system::error_code& error, std::size_t bytes);
    // Runs `work` on the loop, holding this socket alive until it has run.
    template <class Work>
    void OnLoop(Work work);

    udp::endpoint _localEndpoint{boost::asio::ip::address_v4::any(), 0};
    udp::endpoint _senderEndpoint{boost::asio::ip::address_v4::any(), 0};
    udp::socket _socket;

private:
    void sendNow(const std::shared_ptr<const std::string>& text, const udp::endpoint& destination);
    void onSent(const boost::system::error_code& error, std::size_t bytes, const std::string& text,
                const udp::endpoint& destination);
    void sendMulticastNow(const std::shared_ptr<const std::string>& text,
                          const address& destination, unsigned short port, bool limited,
                          bool subnet);
    void closeNow();

    // One receive at a time shares the receive buffer and the sender endpoint.
    bool _receiving = false;
    // Set by BindTo before the first receive is armed.
    bool _tiedToInterface = false;
};

template <class Work>
void UdpSocket::OnLoop(Work work) {
    boost::asio::dispatch(IoContext(), [self = shared_from_this(), work = std::move(work)]() mutable {
        work();
    });
}

}  // namespace Zelkor
