#pragma once
// Loopback fixtures for the transport tests: one sink that records what connections and
// datagram endpoints report (and answers start-TLS and authentication like discovery
// does, or throws from the call a test names), a raw peer reader, a loop thread, and a fixture with a listener on 127.0.0.1.
// The sink is called on the loop thread; only its counters may be read from another.

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "core/MessageForwardInfo.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "support/TlsMaterial.h"
#include "transport/InterfaceInfo.h"
#include "transport/SocketSink.h"
#include "transport/TcpServer.h"
#include "transport/TcpServerEventSink.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace ZelkorTest {

using Zelkor::TcpSocket;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using TcpPtr = std::shared_ptr<TcpSocket>;
using UdpPtr = std::shared_ptr<Zelkor::UdpSocket>;

class FakeSink : public Zelkor::SocketSink, public Zelkor::TcpServerEventSink {
public:
    struct Received {
        std::string command;  // as parsed, "@" included
        std::string json;
        udp::endpoint sender;  // datagrams: the socket's remote end while it was delivering
    };
    // Answer "starttls" and "authenticate" the way the discovery service does.
    bool answerSecurity = false;
    // Close a connection whose connect or handshake failed, as the driver does.
    bool closeRejected = false;
    // The sink call of this name throws.
    std::string throwIn;
    // A datagram of this word makes the sink throw what no handler expects.
    std::string throwOnDatagram;
    std::uint64_t maxQueueDepth = 0;
    std::function<void(const TcpPtr&, const std::string&)> onMessage;
    std::function<void(const TcpPtr&)> onClosed;
    std::atomic<int> connectedIn{0}, connectedOut{0}, secured{0}, rejected{0}, closed{0};
    int blocksSent = 0, blockRepliesSent = 0, requestTimes = 0, requestTimesCleared = 0;
    std::vector<Received> received;
    std::vector<TcpPtr> accepted;
    std::vector<std::pair<udp::endpoint, std::string>> traffic;  // datagram traffic dump
    // Answers for datagram endpoints, set by the test.
    std::set<std::pair<boost::asio::ip::address, unsigned short>> listeners;
    std::vector<Zelkor::InterfaceInfo> interfaces;

    void SocketAccepted(TcpPtr socket) override {
        socket->SetSink(this);
        accepted.push_back(std::move(socket));
    }
    void SocketConnected(TcpPtr, bool outbound) override { ++(outbound ? connectedOut : connectedIn); }
    void SocketSecured(TcpPtr) override { ++secured; }
    void SocketRejected(TcpPtr socket) override {
        ++rejected;
        if (closeRejected) {
            socket->Close();
        }
    }
    void SocketClosed(TcpPtr socket) override {
        ++closed;
        if (onClosed) {
            onClosed(socket);
        }
    }
    void MessageReceived(TcpPtr socket, Zelkor::MessageForwardInfo& header, TimePoint, TimePoint) override {
        Fail("MessageReceived");
        const std::string word = header.CommandText();
        received.push_back({word, std::string(header.JsonText()), {}});
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
            socket->SetProvenToPeer(true);
        }
        if (onMessage) {
            onMessage(socket, word);
        }
    }
    void MessageReceived(UdpPtr socket, Zelkor::MessageForwardInfo& header) override {
        if (!throwOnDatagram.empty() && header.CommandText() == throwOnDatagram) {
            throw 42;
        }
        received.push_back({header.CommandText(), std::string(header.JsonText()),
                            udp::endpoint(socket->GetRemoteIP(), socket->GetRemotePort())});
    }
    void MessageBlockSent(TcpPtr, Zelkor::MessageForwardInfo&) override { ++blocksSent; Fail("MessageBlockSent"); }
    void MessageBlockReplySent(TcpPtr) override { ++blockRepliesSent; }
    void RequestEnded(TcpPtr, const std::string&, const std::string&) override {}
    void LogTraffic(bool, const tcp::endpoint&, const std::string&, bool) override { Fail("LogTraffic"); }
    void LogTraffic(bool, const udp::endpoint& remote, const std::string& text) override {
        traffic.emplace_back(remote, text);
    }
    bool IsListener(const boost::asio::ip::address& ip, unsigned short port) override {
        return listeners.count({ip, port}) > 0;
    }
    bool RemoveListener(const std::string&, unsigned short) override { return true; }
    void IPv4Address(std::string&, unsigned short&, std::string) override {}
    void CloseSocket(UdpPtr) override {}
    void ListInterfaces(std::vector<Zelkor::InterfaceInfo>& list, std::string&) override { list = interfaces; }
    void SetRequestTime(TcpPtr, std::int64_t) override { ++requestTimes; Fail("SetRequestTime"); }
    void ClearRequestTime(TcpPtr) override { ++requestTimesCleared; Fail("ClearRequestTime"); }
    std::uint64_t MaxQueueDepth() override { return maxQueueDepth; }

    std::vector<std::string> Commands() const {
        std::vector<std::string> words;
        for (const auto& line : received) {
            words.push_back(line.command);
        }
        return words;
    }
    std::size_t Count(const std::string& command) const {
        const auto words = Commands();
        return static_cast<std::size_t>(std::count(words.begin(), words.end(), command));
    }

private:
    void Fail(const char* call) const {
        if (throwIn == call) {
            throw std::runtime_error("sink failed");
        }
    }
};

// Reads from a raw socket, from its making on, in the background of the test's loop.
class RawReader {
public:
    explicit RawReader(tcp::socket& socket) : _socket(socket) { Start(); }
    const std::string& Data() const { return _data; }
    bool Eof() const { return _eof; }
    std::size_t LineCount() const { return static_cast<std::size_t>(std::count(_data.begin(), _data.end(), '\n')); }

private:
    void Start() {
        _socket.async_read_some(boost::asio::buffer(_buffer), [this](const boost::system::error_code& error,
                                                                     std::size_t n) {
            _eof = static_cast<bool>(error);
            if (!error) {
                _data.append(_buffer.data(), n);
                Start();
            }
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
        for (const auto& socket : sink.accepted) {
            socket->Close();
        }
    }

    // A listener on 127.0.0.1 with an ephemeral port, reporting to `sink`.
    void Listen(bool tlsProvisioned = false) {
        server = std::make_shared<Zelkor::TcpServer>(io, *tls, tlsProvisioned);
        server->Subscribe(&sink);
        server->BindTo(boost::asio::ip::make_address("127.0.0.1"), 0);
    }
    // A raw peer connected to the listener, and the server side's socket.
    TcpPtr AcceptRaw(tcp::socket& peer) {
        if (!server) {
            Listen();
        }
        const int before = sink.connectedIn;
        peer.connect(server->LocalEndpoint());
        EXPECT_TRUE(Run([&] { return sink.connectedIn > before; }));
        return sink.accepted.back();
    }
    // A client TcpSocket connected to the listener, and the server side's socket.
    TcpPtr ConnectClient(TcpPtr& client, FakeSink& clientSink) {
        Listen(true);
        client = std::make_shared<TcpSocket>(io, *tls, true);
        client->SetSink(&clientSink);
        client->Connect(server->LocalEndpoint().address(), server->LocalEndpoint().port(), "", nullptr);
        EXPECT_TRUE(Run([&] { return sink.connectedIn == 1 && clientSink.connectedOut == 1; }));
        return sink.accepted.back();
    }
    bool Run(const std::function<bool()>& done, std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
        return RunUntil(io, done, deadline);
    }
    static void WriteRaw(tcp::socket& peer, const std::string& text) { boost::asio::write(peer, boost::asio::buffer(text)); }

    LogCapture log;
    boost::asio::io_context io;
    std::unique_ptr<boost::asio::ssl::context> tls =
        std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls);
    FakeSink sink;
    std::shared_ptr<Zelkor::TcpServer> server;
};

}  // namespace ZelkorTest
