#pragma once
// Loopback fixtures for the TCP transport tests: a recording sink that can answer the
// start-TLS and authentication exchanges like discovery does, a raw peer, and a fixture
// with a listener on 127.0.0.1.

#include <algorithm>
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
#include <boost/asio/write.hpp>
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
    Zelkor::SocketSink::TimePoint requestSent;
    Zelkor::SocketSink::TimePoint replyReceived;
};

// Records every call; thread-safe so that a sink on another loop thread can be read.
class FakeSink : public NullSink, public Zelkor::TcpServerEventSink {
public:
    using Socket = std::shared_ptr<TcpSocket>;
    // Answer "starttls" and "authenticate" the way the discovery service does.
    bool answerSecurity = false;
    // Close a connection whose connect or handshake failed, as the driver does.
    bool closeRejected = false;
    std::atomic<std::uint64_t> queueDepth{0};
    std::function<void(const Socket&, Zelkor::MessageForwardInfo&)> onMessage;
    std::atomic<int> accepted{0}, connectedIn{0}, connectedOut{0}, secured{0}, rejected{0}, closed{0};
    std::atomic<int> blocksSent{0}, blockRepliesSent{0}, requestTimes{0}, clearedRequestTimes{0};
    std::string blockHeaderTargets;

    void SocketAccepted(Socket socket) override {
        socket->SetSink(this);
        std::lock_guard<std::mutex> lock(_mutex);
        _accepted.push_back(std::move(socket));
        ++accepted;
    }
    void SocketConnected(Socket, bool outbound) override { ++(outbound ? connectedOut : connectedIn); }
    void SocketSecured(Socket) override { ++secured; }
    void SocketRejected(Socket socket) override {
        ++rejected;
        if (closeRejected) {
            socket->Close();
        }
    }
    void SocketClosed(Socket) override { ++closed; }
    void MessageReceived(Socket socket, Zelkor::MessageForwardInfo& header, TimePoint requestSent,
                         TimePoint replyReceived) override {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _lines.push_back({socket, header.CommandText(), header.JsonText(), requestSent, replyReceived});
        }
        const std::string& word = header.CommandText();
        if (answerSecurity && word == "starttls") {
            socket->SendData("@starttls\n", false);
            socket->SetState(TcpSocket::Handshaking);
            socket->SetClient(false);
            socket->Handshake();
        } else if (answerSecurity && word == "@starttls") {
            socket->SetClient(true);
            socket->Handshake();
        } else if (answerSecurity && word == "authenticate") {
            socket->IsAuthenticated(true);
            socket->SendData("@authenticate\n", false);
        } else if (answerSecurity && word == "@authenticate") {
            socket->IsKasdorAuthenticated(true);
        }
        if (onMessage) {
            onMessage(socket, header);
        }
    }
    void MessageBlockSent(Socket, Zelkor::MessageForwardInfo& header) override {
        std::lock_guard<std::mutex> lock(_mutex);
        blockHeaderTargets = header.GetTargetPaths();
        ++blocksSent;
    }
    void MessageBlockReplySent(Socket) override { ++blockRepliesSent; }
    void SetRequestTime(Socket, std::int64_t) override { ++requestTimes; }
    void ClearRequestTime(Socket) override { ++clearedRequestTimes; }
    std::uint64_t MaxQueueDepth() override { return queueDepth; }

    std::vector<ReceivedLine> Lines() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _lines;
    }
    std::vector<std::string> Commands() const {
        std::vector<std::string> words;
        for (const auto& line : Lines()) {
            words.push_back(line.command);
        }
        return words;
    }
    std::size_t Count(const std::string& command) const {
        const auto words = Commands();
        return static_cast<std::size_t>(std::count(words.begin(), words.end(), command));
    }
    std::vector<Socket> Accepted() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _accepted;
    }

private:
    mutable std::mutex _mutex;
    std::vector<ReceivedLine> _lines;
    std::vector<Socket> _accepted;
};

// Reads from a raw socket, from its making on, in the background of the test's loop.
class RawReader {
public:
    explicit RawReader(tcp::socket& socket) : _socket(socket) { Start(); }
    const std::string& Data() const { return _data; }
    bool Eof() const { return _eof; }
    // Lines seen so far, each without its "\n".
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (std::size_t start = 0, end; (end = _data.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(_data.substr(start, end - start));
        }
        return lines;
    }

private:
    void Start() {
        _socket.async_read_some(boost::asio::buffer(_buffer), [this](const boost::system::error_code& error,
                                                                     std::size_t n) {
            if (error) {
                _eof = true;
                return;
            }
            _data.append(_buffer.data(), n);
            Start();
        });
    }

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
    ~TransportTest() override {
        // With the loop stopped the closes run here, and no handler of a test's local
        // objects runs after them.
        io.stop();
        if (server) {
            server->Close();
        }
        for (const auto& socket : sink.Accepted()) {
            socket->Close();
        }
    }

    // A listener on 127.0.0.1 with an ephemeral port, reporting to `sink`.
    std::shared_ptr<Zelkor::TcpServer> Listen(bool tlsProvisioned = false) {
        server = std::make_shared<Zelkor::TcpServer>(io, *tls, tlsProvisioned);
        server->Subscribe(&sink);
        server->BindTo(boost::asio::ip::make_address("127.0.0.1"), 0);
        return server;
    }
    // A raw peer connected to the listener, and the server side's socket.
    std::shared_ptr<TcpSocket> AcceptRaw(tcp::socket& peer) {
        if (!server) {
            Listen();
        }
        const int before = sink.connectedIn;
        boost::system::error_code error;
        peer.connect(server->LocalEndpoint(), error);
        EXPECT_FALSE(error) << error.message();
        EXPECT_TRUE(Run([&] { return sink.connectedIn > before; }));
        return sink.Accepted().back();
    }
    // A client TcpSocket connected to the listener, and the server side's socket.
    std::shared_ptr<TcpSocket> ConnectClient(std::shared_ptr<TcpSocket>& client, FakeSink& clientSink) {
        if (!server) {
            Listen(true);
        }
        const int before = sink.connectedIn;
        client = std::make_shared<TcpSocket>(io, *tls, true);
        client->SetSink(&clientSink);
        const auto endpoint = server->LocalEndpoint();
        client->Connect(endpoint.address(), endpoint.port(), "", nullptr);
        EXPECT_TRUE(Run([&] { return sink.connectedIn > before && clientSink.connectedOut > 0; }));
        return sink.Accepted().back();
    }
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        return RunUntil(io, done, deadline);
    }
    void WriteRaw(tcp::socket& peer, const std::string& text) {
        boost::system::error_code error;
        boost::asio::write(peer, boost::asio::buffer(text), error);
        ASSERT_FALSE(error) << error.message();
    }

    LogCapture log;
    boost::asio::io_context io;
    std::unique_ptr<boost::asio::ssl::context> tls =
        std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls);
    FakeSink sink;
    std::shared_ptr<Zelkor::TcpServer> server;
};

}  // namespace ZelkorTest
