#pragma once
// Driver tests over real connections: a driver with a FakeDiscovery, its loop on a thread
// of its own, and a test listener whose accepted connections report to the driver. Raw
// peers (plain or TLS clients with their own event loop) talk to it line by line, with
// deadlines on every wait.
//
// Threads: the driver's work runs on the loop thread; the test thread only writes and
// reads its peers, reads atomics and guarded records, and runs what needs the loop
// through OnLoop.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include "driver/ZelkorDriver.h"
#include "support/FakeDiscovery.h"
#include "transport/TcpServer.h"
#include "transport/TcpServerEventSink.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {

using namespace std::chrono_literals;

// One client connection, read and written by the test thread alone. Its waits default to
// ceilings for a loaded machine, not expected times: a test that expects nothing to come
// says how long it listens.
class RawPeer {
public:
    RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    // The socket, to open (in a namespace, say) before Connect.
    boost::asio::ip::tcp::socket& Socket() { return _stream.next_layer(); }
    bool Connect(const boost::asio::ip::tcp::endpoint& to);
    // Client handshake over the connection; false when it failed or took too long.
    bool StartTls(std::chrono::milliseconds deadline = 30s);
    void Send(const std::string& text);
    // The next line with its "\n"; "" when none came in time or the connection ended.
    std::string ReadLine(std::chrono::milliseconds deadline = 30s);
    // True once the peer closed the connection (lines before the close are kept).
    bool WaitClosed(std::chrono::milliseconds deadline = 30s);
    // Ends the connection from this side, as a peer that dies would.
    void Close();

private:
    bool fill(std::chrono::steady_clock::time_point until);

    boost::asio::io_context _io;
    boost::asio::ssl::context _tlsContext{boost::asio::ssl::context::tls_client};
    boost::asio::ssl::stream<boost::asio::ip::tcp::socket> _stream{_io, _tlsContext};
    bool _tls = false;
    bool _closed = false;
    std::string _buffer;
};

// Hands accepted connections to the driver and keeps them for the test.
class AcceptTap final : public Zelkor::TcpServerEventSink {
public:
    explicit AcceptTap(Zelkor::ZelkorDriver& driver) : _driver(driver) {}
    void SocketAccepted(std::shared_ptr<Zelkor::TcpSocket> socket) override;
    std::size_t Count() const;
    std::shared_ptr<Zelkor::TcpSocket> At(std::size_t index) const;

private:
    Zelkor::ZelkorDriver& _driver;
    mutable std::mutex _mutex;
    std::vector<std::shared_ptr<Zelkor::TcpSocket>> _accepted;
};

class DriverHarness {
public:
    // The driver on a context of the harness, its discovery faked; not running yet.
    DriverHarness();
    ~DriverHarness();
    DriverHarness(const DriverHarness&) = delete;
    DriverHarness& operator=(const DriverHarness&) = delete;

    // Opens the listener (on `address`, inside `bindIn` when given) and runs the driver,
    // with the fake discovery unless the test gave it the real one first.
    void Start(const std::string& address = "127.0.0.1", const std::function<void(const std::function<void()>&)>& bindIn = nullptr);
    // Stops the driver and waits for Run to return.
    void Stop();
    // Connects a peer and waits until the driver holds its connection; returns that.
    std::shared_ptr<Zelkor::TcpSocket> Connect(RawPeer& peer);
    // Runs `work` on the driver's loop and waits for it.
    bool OnLoop(const std::function<void()>& work);

    boost::asio::io_context io;
    std::shared_ptr<Zelkor::ZelkorDriver> driver;
    std::shared_ptr<FakeDiscovery> discovery;
    AcceptTap tap;
    std::shared_ptr<Zelkor::TcpServer> server;
    // Whether the listener offers TLS ("starttls" is accepted on its connections); set
    // before Start.
    bool tlsProvisioned = false;

private:
    std::thread _loop;
};

}  // namespace ZelkorTest
