// TCP transport over loopback, plain and TLS: lock-step request/reply round trips and
// one-way throughput of 64 KB lines. One connection pair in the process: the listening
// side runs a loop thread of its own and answers every request with a reply carrying the
// same body; the connecting side is driven by the benchmark thread.

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include "NullSink.h"
#include "core/MessageForwardInfo.h"
#include "core/ZelkorLog.h"
#include "support/TlsMaterial.h"
#include "transport/TcpServer.h"
#include "transport/TcpServerEventSink.h"
#include "transport/TcpSocket.h"

namespace {

using Zelkor::TcpSocket;

// Answers "starttls" as discovery does and every other request with its reply.
class EchoSink : public ZelkorBench::NullSink, public Zelkor::TcpServerEventSink {
public:
    std::atomic<std::uint64_t> replies{0};

    void SocketAccepted(TcpPtr socket) override { socket->SetSink(this); }
    void MessageReceived(TcpPtr socket, Zelkor::MessageForwardInfo& header, TimePoint, TimePoint) override {
        if (header.isReply) {
            ++replies;
            return;
        }
        if (header.CommandText() == "starttls") {
            socket->SendData("@starttls\n", false);
            socket->SetState(TcpSocket::Handshaking);
            socket->SetClient(false);
            socket->Handshake();
            return;
        }
        socket->SendData("@" + header.CommandText() + " " + std::string(header.JsonText()) + "\n", false);
    }
};

class ClientSink : public ZelkorBench::NullSink {
public:
    int connected = 0;
    int secured = 0;
    std::uint64_t replies = 0;

    void SocketConnected(TcpPtr, bool) override { ++connected; }
    void SocketSecured(TcpPtr) override { ++secured; }
    void MessageReceived(TcpPtr socket, Zelkor::MessageForwardInfo& header, TimePoint, TimePoint) override {
        if (header.CommandText() == "@starttls") {
            socket->SetClient(true);
            socket->Handshake();
            return;
        }
        ++replies;
    }
};

class ConnectionPair {
public:
    explicit ConnectionPair(bool secure) {
        server = std::make_shared<Zelkor::TcpServer>(serverIo, *tls, true);
        server->Subscribe(&serverSink);
        server->BindTo(boost::asio::ip::make_address("127.0.0.1"), 0);
        serverThread = std::thread([this] { serverIo.run(); });

        client = std::make_shared<TcpSocket>(clientIo, *tls, true);
        client->SetSink(&clientSink);
        client->Connect(server->LocalEndpoint().address(), server->LocalEndpoint().port(), "", nullptr);
        RunUntil([this] { return clientSink.connected == 1; });
        if (secure) {
            client->SendData("starttls\n", true);
            RunUntil([this] { return clientSink.secured == 1; });
            client->IsAuthenticated(true);
        }
    }

    ~ConnectionPair() {
        client->Close();
        clientIo.poll();
        server->Close();
        guard.reset();
        serverIo.stop();
        serverThread.join();
    }

    // Spins on the connecting side's loop: the condition may be met by the other thread,
    // with nothing for this loop to wake up for.
    template <class Done>
    void RunUntil(Done done) {
        while (!done()) {
            if (clientIo.stopped()) {
                clientIo.restart();
            }
            if (clientIo.poll() == 0) {
                std::this_thread::yield();
            }
        }
    }

    boost::asio::io_context serverIo;
    boost::asio::io_context clientIo;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard{serverIo.get_executor()};
    std::unique_ptr<boost::asio::ssl::context> tls = ZelkorTest::MakeTlsContext();
    EchoSink serverSink;
    ClientSink clientSink;
    std::shared_ptr<Zelkor::TcpServer> server;
    std::shared_ptr<TcpSocket> client;
    std::thread serverThread;
};

void quietLog() {
    ZelkorLog::TheLog().SetLevel(1);
}

// One request at a time: the next goes out only when the reply to the last has arrived.
void BM_LockStepRoundTrip(benchmark::State& state) {
    quietLog();
    ConnectionPair pair(state.range(0) != 0);
    const std::string request = "get {\"path\":\"/configuration/device/name\",\"format\":\"string\"}\n";
    for (auto _ : state) {
        const std::uint64_t expected = pair.clientSink.replies + 1;
        pair.client->SendData(request, true);
        pair.RunUntil([&] { return pair.clientSink.replies == expected; });
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetLabel(state.range(0) != 0 ? "TLS" : "TCP");
}
BENCHMARK(BM_LockStepRoundTrip)->Arg(0)->Arg(1)->UseRealTime();

// Replies are not held by the lock-step: a batch of 64 KB lines streams one way.
void BM_OneWayLines64K(benchmark::State& state) {
    quietLog();
    ConnectionPair pair(state.range(0) != 0);
    const std::string line = "@put {\"data\":\"" + std::string(64 * 1024 - 17, 'd') + "\"}\n";
    constexpr int batch = 16;
    for (auto _ : state) {
        const std::uint64_t expected = pair.serverSink.replies + batch;
        for (int i = 0; i < batch; ++i) {
            pair.client->SendData(line, false);
        }
        pair.RunUntil([&] { return pair.serverSink.replies >= expected; });
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * batch * static_cast<std::int64_t>(line.size()));
    state.SetLabel(state.range(0) != 0 ? "TLS" : "TCP");
}
BENCHMARK(BM_OneWayLines64K)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
