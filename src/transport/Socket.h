#pragma once
// Common base of every transport endpoint: one TCP or TLS connection, one UDP endpoint,
// one raw frame receiver. It holds what all of them share (the event loop, the port, the
// sink that hears their events, the receive buffer) and declares the operations the driver and the services call on any of them.
//
// Ownership: endpoints are owned through std::shared_ptr by whoever made them; the sink
// is not owned and must outlive every endpoint that reports to it.
// Threads: an endpoint is driven by completions on its I/O context and its fields are
// written there. The flags are atomic so that other threads may read them; operations
// that change an endpoint from another thread are the derived classes' business (they
// hop onto the loop).

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include "core/ZelkorLoggable.h"

namespace Zelkor {

class SocketSink;

class Socket : public ZelkorLoggable {
public:
    // Size of the buffer every asynchronous read fills, unless the kind of socket asks
    // for another (a datagram needs room for the largest).
    static constexpr std::size_t ReceiveBufferSize = 65535;

    Socket(boost::asio::io_context& io, unsigned short port, std::size_t receiveBufferSize = ReceiveBufferSize);
    virtual ~Socket() = default;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Ends the connection or endpoint; a second call does nothing.
    virtual void Close() = 0;
    // The underlying descriptor is open.
    virtual bool SocketIsOpen() = 0;
    // True for TCP, false for datagram endpoints.
    virtual bool IsReliableTransport() const = 0;
    virtual boost::asio::ip::address GetLocalIP() const = 0;
    virtual unsigned short GetLocalPort() const = 0;
    virtual boost::asio::ip::address GetRemoteIP() const = 0;
    virtual unsigned short GetRemotePort() const = 0;
    // Starts (or restarts) the asynchronous read.
    virtual void DoReceive() = 0;

    boost::asio::io_context& IoContext() const { return _io; }
    // The port the endpoint was made for.
    unsigned short Port() const { return _port; }

    // Every event call is skipped while the sink is null. A change takes effect on the
    // next event.
    SocketSink* Sink() const { return _sink.load(); }
    void SetSink(SocketSink* sink) { _sink.store(sink); }

    // The endpoint's name in log lines.
    const std::string& Name() const { return _name; }
    void SetName(std::string name) { _name = std::move(name); }

    // Set by the first Close (and when the loop was found stopped); never cleared. Once
    // set nothing more is read, written or reported.
    bool IsFinalized() const { return _finalized.load(); }

    // Asks the send path to close the endpoint once the current write has completed.
    bool CloseAfterSend() const { return _closeAfterSend.load(); }
    void SetCloseAfterSend(bool on) { _closeAfterSend.store(on); }

    // True while a file transfer uses the connection.
    bool Transferring() const { return _transferring.load(); }
    void SetTransferring(bool on) { _transferring.store(on); }

    // Datagram endpoints only: the subnet of the bound address and its directed broadcast.
    const boost::asio::ip::address& SubnetMask() const { return _subnetMask; }
    void SetSubnetMask(const boost::asio::ip::address& mask) { _subnetMask = mask; }
    const boost::asio::ip::address& SubnetBroadcast() const { return _subnetBroadcast; }
    void SetSubnetBroadcast(const boost::asio::ip::address& address) { _subnetBroadcast = address; }

protected:
    // Marks the endpoint finalized; true when this call did it (the first one).
    bool Finalize() { return !_finalized.exchange(true); }
    // What a traffic log line shows of a received text: at most 80 of its first `count`
    // bytes, cut at NUL.
    static std::string Excerpt(const char* data, std::size_t count);

    // Filled by each read; bytes 0 to n-1 are valid after a read of n bytes.
    std::vector<char> _receiveBuffer;

private:
    boost::asio::io_context& _io;
    unsigned short _port;
    std::atomic<SocketSink*> _sink{nullptr};
    std::string _name;
    std::atomic<bool> _finalized{false};
    std::atomic<bool> _closeAfterSend{false};
    std::atomic<bool> _transferring{false};
    boost::asio::ip::address _subnetMask{boost::asio::ip::address_v4::any()};
    boost::asio::ip::address _subnetBroadcast{boost::asio::ip::address_v4::any()};
};

}  // namespace Zelkor
