#pragma once
// Loopback fixtures for the TCP transport tests: a recording sink that can answer the
// start-TLS and authentication exchanges like discovery does, a raw peer, and a fixture
// with a listener on 127.0.0.1.

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <gtest/gtest.h>

#include "core/MessageForwardInfo.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "support/TlsMaterial.h"
#include "transport/TcpServer.h"
#include "transport/TcpServerEventSink.h"
#include "transport/TcpSocket.h"

#include "NullSink.h"

namespace ZelkorTest {

using Zelkor::TcpSocket;
using boost::asio::ip::tcp;

struct ReceivedLine {
    std::shared_ptr<TcpSocket> socket;
    std::string command;  // with "@" for a reply
    std::string json;
    std::string targets;
    std::string hash;
    Zelkor::SocketSink::TimePoint requestSent;
    Zelkor::SocketSink::TimePoint replyReceived;
};

// Records every call; thread-safe so that a sink on another loop thread can be read.
class FakeSink : public NullSink, public Zelkor::TcpServerEventSink {
public:
    // Answer "starttls" and "authenticate" the way the discovery service does.
    bool answerSecurity = false;
    // Close a connection whose connect or handshake failed, as the driver does.
    bool closeRejected = false;
    std::atomic<std::uint64_t> queueDepth{0};
    std::function<void(const std::shared_ptr<TcpSocket>&, Zelkor::MessageForwardInfo&)> onMessage;

    void SocketAccepted(std::shared_ptr<TcpSocket> socket) override;
    void SocketConnected(std::shared_ptr<TcpSocket> socket, bool outbound) override;
    void SocketSecured(std::shared_ptr<TcpSocket> socket) override;
    void SocketRejected(std::shared_ptr<TcpSocket> socket) override;
    void SocketClosed(std::shared_ptr<TcpSocket> socket) override;
    void MessageReceived(std::shared_ptr<TcpSocket> socket, Zelkor::MessageForwardInfo& header, TimePoint requestSent,
                         TimePoint replyReceived) override;
    void MessageBlockSent(std::shared_ptr<TcpSocket> socket, Zelkor::MessageForwardInfo& header) override;
    void MessageBlockReplySent(std::shared_ptr<TcpSocket> socket) override;
    void SetRequestTime(std::shared_ptr<TcpSocket>, std::int64_t) override { ++requestTimes; }
    void ClearRequestTime(std::shared_ptr<TcpSocket>) override { ++clearedRequestTimes; }
    std::uint64_t MaxQueueDepth() override { return queueDepth; }

    std::vector<ReceivedLine> Lines() const;
    std::vector<std::string> Commands() const;
    std::vector<std::shared_ptr<TcpSocket>> Accepted() const;
    std::size_t Count(const std::string& command) const;

    std::atomic<int> accepted{0}, connectedIn{0}, connectedOut{0}, secured{0}, rejected{0}, closed{0};
    std::atomic<int> blocksSent{0}, blockRepliesSent{0}, requestTimes{0}, clearedRequestTimes{0};
    std::string blockHeaderTargets;

private:
    mutable std::mutex _mutex;
    std::vector<ReceivedLine> _lines;
    std::vector<std::shared_ptr<TcpSocket>> _accepted;
};

// Reads from a raw socket into `data` in the background of the test's loop.
class RawReader {
public:
    explicit RawReader(tcp::socket& socket) : _socket(socket) {}
    void Start();
    const std::string& Data() const { return _data; }
    bool Eof() const { return _eof; }
    // Lines seen so far, each without its "\n".
    std::vector<std::string> Lines() const;

private:
    tcp::socket& _socket;
    std::string _data;
    std::array<char, 65536> _buffer{};
    bool _eof = false;
};

// Runs `loop` on a thread of its own until the object goes, however the test ends.
class LoopThread {
public:
    explicit LoopThread(boost::asio::io_context& loop) : _loop(loop), _thread([this] { _loop.run(); }) {}
    ~LoopThread() {
        _guard.reset();
        _loop.stop();
        _thread.join();
    }
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

private:
    boost::asio::io_context& _loop;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> _guard{_loop.get_executor()};
    std::thread _thread;
};

class TransportTest : public ::testing::Test {
protected:
    TransportTest();
    ~TransportTest() override;

    // A listener on 127.0.0.1 with an ephemeral port, reporting to `sink`.
    std::shared_ptr<Zelkor::TcpServer> Listen(bool tlsProvisioned = false);
    // A raw peer connected to the listener, and the server side's socket.
    std::shared_ptr<TcpSocket> AcceptRaw(tcp::socket& peer);
    // A client TcpSocket connected to the listener, and the server side's socket.
    std::shared_ptr<TcpSocket> ConnectClient(std::shared_ptr<TcpSocket>& client, FakeSink& clientSink);
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        return RunUntil(io, done, deadline);
    }
    void WriteRaw(tcp::socket& peer, const std::string& text);

    LogCapture log;
    boost::asio::io_context io;
    std::unique_ptr<boost::asio::ssl::context> tls;
    FakeSink sink;
    std::shared_ptr<Zelkor::TcpServer> server;
};

}  // namespace ZelkorTest
