#pragma once
// Receives protocol datagrams as whole Ethernet frames instead of through the system's
// UDP layer: the limited broadcast and the subnet broadcasts of this host's interfaces
// (as the sink lists them) to the socket's port, subject to the subnet switch. Each frame
// is checked by hand and each "\n"-ended line of its payload goes to the sink exactly as
// a UdpSocket would deliver it. Nothing in the library makes one: the application gives
// it a frame source (see Platform::OpenFrameDevice), the host's MAC text and a sink.
//
// Ownership: owned through std::shared_ptr like every UdpSocket. The socket reads from
// its own duplicate of the frame descriptor it is given; the caller keeps, and closes,
// the original. The two share their status flags: once reading starts, the caller's
// descriptor is non-blocking too.
//
// Threads: as UdpSocket. SetFrameDescriptor and localMac are set before BindTo. The
// frame source is waited on asynchronously and read without blocking on the loop.

#include <array>
#include <cstddef>
#include <cstdint>

#include <boost/asio/posix/stream_descriptor.hpp>

#include "transport/UdpFrame.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

class RawSocket : public UdpSocket {
public:
    RawSocket(boost::asio::io_context& io, unsigned short port);

    // The descriptor each read of which returns one whole Ethernet frame (a packet or
    // datagram socket). False, and no source, for a descriptor that cannot be duplicated
    // or that is connection-oriented (a byte stream or sequenced packets).
    bool SetFrameDescriptor(int descriptor);

    // Records the endpoint and starts reading frames; opens nothing, ties to nothing.
    bool BindTo(const address& localAddress, unsigned short localPort,
                const std::string& interfaceName) override;
    // Waits for the next frame unless a wait is pending; loop thread only.
    void DoReceive() override;
    // Also stops reading frames.
    void Close() override;
    // Whether frames are being read from a source.
    bool SocketIsOpen() override;

protected:
    // Checks and delivers the frame of `bytes` bytes now in the frame buffer.
    void OnReceive(const boost::system::error_code& error, std::size_t bytes);

private:
    void readFrame();
    // The destination is the directed broadcast of one of this host's own subnets on the
    // adapter with this socket's MAC.
    bool IsSubnetBroadcast(std::uint32_t destination);
    void deliverLines(std::string_view payload);

    std::array<unsigned char, UdpFrame::kMaximumSize> _frameBuffer{};
    boost::asio::posix::stream_descriptor _frameSource;
    bool _waiting = false;
};

}  // namespace Zelkor
