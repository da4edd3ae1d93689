// "get" round trips between two processes over loopback, one request in flight, plain and
// TLS. The library's road: a device node (the node runner serving the sample tree) in a
// child process, the controller's driver in this one, a device object's GetParameter of
// three values from the benchmark thread, which waits for the reply's callback before
// the next. Beside it, the floor: a bare Asio ping-pong of the same request and reply
// bytes (taken from the library's own traffic), blocking calls on both ends, the pong in
// a child process too (bench_get_pong). At the end each rate is printed beside the bare
// one with their ratio.
//
// Beside the gets, "exec" round trips on the same road: the device node's "echo" command
// with three ordered arguments, answered with them as its result (a request and a reply of
// about the get's size), sent with the device object's SendExecCommand. Each exec rate is
// printed beside the get rate of its transport as the ratio of their round-trip times. A
// device that has no "echo" still answers (without handler: "status" "false" or the
// error "exec is not implemented"): the case's label then says what was measured.
//
// The serving side alone: a raw client (blocking calls, one request in flight) asks a device
// node for one value with the bare line "get" and reads its reply; the same client then
// plays the same bytes against the bare pong, and, where redis-server is installed,
// against a Redis the bench starts on a free loopback port without persistence, asking
// with GET for a value as long as the node's reply line. The node's rate is printed beside
// the pong's and Redis's as their ratios.
//
// Every wait is bounded; a case that cannot be set up is skipped with its reason.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "helpers/ChildProcess.h"
#include "helpers/PongPeer.h"
#include "core/ZelkorLog.h"
#include "device/IDevice.h"
#include "discovery/IDiscoveryService.h"
#include "driver/ICryptoInfo.h"
#include "driver/IZelkorDriver.h"
#include "storage/JsonModel.h"
#include "storage/ObjectParamContainer.h"
#include "transport/TcpSocket.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

const char* const kCode = "bench-code";
// Round trips per case: a fixed count, so that each case sets up its processes once.
constexpr benchmark::IterationCount kRounds = 20000;
const char* const kValues =
    R"([{"path":"/configuration/device/name"},{"path":"/audio/gain"},{"path":"/audio/label"}])";
// The exec's arguments, and the result an echo answers them with.
const std::vector<std::string> kExecArguments{"configuration", "gain", "label"};
const char* const kEchoed = R"(["configuration","gain","label"])";

// The controller's own tree: what a discovery reply needs to identify it.
const char* const kControllerTree = R"({
  "configuration": {
    ".kind": "obj",
    "device": {
      ".kind": "obj",
      "name": {".kind": "param", ".type": "string", ".value": "bench-controller"},
      "guid": {".kind": "param", ".type": "string", ".access": "ro", ".value": "9d1c6f0e-3b52-4c1a-8e07-4a6b2f1d9c30"},
      "classname": {".kind": "param", ".type": "string", ".access": "ro", ".value": "bench"},
      "protocolversion": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""}
    }
  }
})";

using ZelkorBench::Child;

// A loopback port free at the moment of asking, for the node to listen on.
unsigned short freePort() {
    asio::io_context io;
    tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

// The request and reply lines of a get as the library sends and answers it, "\n" ended.
struct Bytes {
    std::string request;
    std::string reply;
};
std::optional<Bytes> captured;

// The text of a traffic dump line ("ZDUMP", direction, transport, peer, then the line);
// empty when the log line is none.
std::string dumpedText(const std::string& logLine, const char* direction) {
    const auto at = logLine.find("ZDUMP");
    if (at == std::string::npos) {
        return {};
    }
    std::size_t position = at;
    // The marker, the direction, then the transport and the peer, whatever they are.
    for (const char* field : {"ZDUMP", direction, "", ""}) {
        position = logLine.find_first_not_of(' ', position);
        if (*field && logLine.compare(position, std::strlen(field), field) != 0) {
            return {};
        }
        position = logLine.find(' ', position);
        if (position == std::string::npos) {
            return {};
        }
    }
    position = logLine.find_first_not_of(' ', position);
    return position == std::string::npos ? std::string() : logLine.substr(position);
}

// A device node serving the sample tree in a child process of its own, listening on a free
// loopback port; null when it did not start.
std::unique_ptr<Child> startNode(bool tls, unsigned short port) {
    const std::string folder = std::filesystem::current_path() / (tls ? "node-tls" : "node-plain");
    std::filesystem::create_directories(folder);
    std::vector<std::string> arguments{ZELKOR_NODE_PROGRAM,
                                       "--name",
                                       "bench-device",
                                       "--tree",
                                       ZELKOR_SOURCE_DIR "/examples/device-tree.json",
                                       "--listen",
                                       "127.0.0.1:" + std::to_string(port),
                                       "--log-level",
                                       "1"};
    if (tls) {
        arguments.insert(arguments.end(), {"--tls-level", "1", "--code", kCode});
    }
    auto node = std::make_unique<Child>(arguments, folder);
    if (node->AwaitLine("\"listenerAdded\"").empty()) {
        return nullptr;
    }
    node->Drain();
    return node;
}

// A device node in a child process and the controller's driver in this one, connected
// (and over TLS authenticated with the node's code), ready for GetParameter.
class Session {
public:
    explicit Session(bool tls) {
        const unsigned short port = freePort();
        _node = startNode(tls, port);
        if (!_node) {
            _failure = "the device node did not start";
            return;
        }

        _driver = Zelkor::CreateDriver(_loop);
        _driver->RegisterExternalLogger([this](std::string& line) { log(line); });
        unsigned long level = 1;
        _driver->SetLogLevel(level);
        _driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(kControllerTree));
        // The exec requests' replies come back through it.
        _driver->InitCommandInterface();
        Zelkor::IDiscoveryService* discovery = _driver->GetDiscoveryService();
        discovery->SetMode("controller");
        _driver->GetCryptoInfo()->SetTlsLevel(tls ? 1 : 0);
        _run = std::thread([this] { _driver->Run(); });

        // On the loop, as the application's commands are; the promise outlives a wait that
        // gave up.
        auto made = std::make_shared<std::promise<std::shared_ptr<Zelkor::IDevice>>>();
        auto device = made->get_future();
        asio::post(_loop, [discovery, port, tls, made] {
            const auto address = asio::ip::make_address("127.0.0.1");
            discovery->Connect(address, port);
            const auto device = discovery->GetDeviceByIPAndPort(address, port);
            if (device && tls) {
                device->SetVerificationCode(kCode);
            }
            made->set_value(device);
        });
        if (device.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
            _device = device.get();
        }
        if (!_device || !awaitReady(tls)) {
            _failure = "the controller did not get a ready connection to the device node";
            return;
        }
        _values.FromJsonText(kValues);
        if (!captured) {
            capture();
        }
    }

    ~Session() {
        _device.reset();
        if (_driver) {
            Zelkor::DestroyDriver();
            if (_run.joinable()) {
                _run.join();
            }
            Zelkor::DeleteDriver();
        }
    }

    const std::string& Failure() const { return _failure; }

    // `count` gets one after another, each sent by the callback of the last on the event
    // loop, as a reply handler may send: no hand-over between threads. False when they
    // were not all answered within the deadline.
    bool Chain(std::uint64_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        const std::uint64_t expected = _replies + count;
        lock.unlock();
        auto next = std::make_shared<std::function<void(const Zelkor::ObjectParamContainer&)>>();
        *next = [this, expected, weak = std::weak_ptr<std::function<void(const Zelkor::ObjectParamContainer&)>>(next)](
                    const Zelkor::ObjectParamContainer&) {
            std::unique_lock<std::mutex> lock(_mutex);
            const std::uint64_t replies = ++_replies;
            lock.unlock();
            const bool more = replies < expected;
            // The waiting thread is woken at the end, and now and then to see progress.
            if (!more || replies % 1024 == 0) {
                _answered.notify_one();
            }
            if (const auto self = weak.lock(); more && self) {
                _device->GetParameter(_values, *self, false, "bench");
            }
        };
        _device->GetParameter(_values, *next, false, "bench");
        lock.lock();
        // Given up only when five seconds went by without a reply.
        bool done = false;
        for (std::uint64_t seen = ~std::uint64_t{0}; !done && seen != _replies;) {
            seen = _replies;
            done = _answered.wait_for(lock, std::chrono::seconds(5),
                                      [&] { return _replies >= expected || _replies != seen; }) &&
                   _replies >= expected;
        }
        lock.unlock();
        // A chain still going when the wait gave up ends at its next reply.
        next.reset();
        return done;
    }

    // One get, answered: false when no reply came within the deadline.
    bool RoundTrip() {
        std::unique_lock<std::mutex> lock(_mutex);
        const std::uint64_t expected = _replies + 1;
        lock.unlock();
        _device->GetParameter(_values, _callback, false, "bench");
        lock.lock();
        return _answered.wait_for(lock, std::chrono::seconds(5), [&] { return _replies >= expected; });
    }

    // One exec of "echo", answered: false when no reply came within the deadline.
    bool ExecRoundTrip() {
        std::unique_lock<std::mutex> lock(_mutex);
        const std::uint64_t expected = _replies + 1;
        lock.unlock();
        _device->SendExecCommand("/bench", "echo", kExecArguments, std::string(), _execCallback);
        lock.lock();
        return _answered.wait_for(lock, std::chrono::seconds(5), [&] { return _replies >= expected; });
    }

    // What the device answered the last exec: "echo" when it echoed the arguments, else
    // the outcome it gave (a device without the command still answers every request).
    std::string ExecAnswer() {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_execSuccess && _execResult == kEchoed) {
            return "echo";
        }
        return std::string("no echo: ") + (_execSuccess ? "success" : "failure") + " \"" + _execResult + "\"";
    }

    // As Chain, with execs.
    bool ExecChain(std::uint64_t count) {
        using Callback = Zelkor::IDevice::ExecCallback;
        std::unique_lock<std::mutex> lock(_mutex);
        const std::uint64_t expected = _replies + count;
        lock.unlock();
        auto next = std::make_shared<Callback>();
        *next = [this, expected, weak = std::weak_ptr<Callback>(next)](const std::string&, const std::string&, bool,
                                                                       const std::string&, const std::string&) {
            std::unique_lock<std::mutex> lock(_mutex);
            const std::uint64_t replies = ++_replies;
            lock.unlock();
            const bool more = replies < expected;
            if (!more || replies % 1024 == 0) {
                _answered.notify_one();
            }
            if (const auto self = weak.lock(); more && self) {
                _device->SendExecCommand("/bench", "echo", kExecArguments, std::string(), *self);
            }
        };
        _device->SendExecCommand("/bench", "echo", kExecArguments, std::string(), *next);
        lock.lock();
        bool done = false;
        for (std::uint64_t seen = ~std::uint64_t{0}; !done && seen != _replies;) {
            seen = _replies;
            done = _answered.wait_for(lock, std::chrono::seconds(5),
                                      [&] { return _replies >= expected || _replies != seen; }) &&
                   _replies >= expected;
        }
        lock.unlock();
        next.reset();
        return done;
    }

private:
    bool awaitReady(bool tls) {
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < until) {
            const auto socket = _device->GetHandle();
            // The name of the device, which its requests carry, is known once it answered.
            if (socket && (!tls || socket->IsProvenToPeer()) && !_device->GetDiscoInfo().guid.empty()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    // A few round trips with the traffic dumped; the last request and reply dumped are the
    // bytes of the bare ping-pong.
    void capture() {
        unsigned long level = 3;
        _capturing = true;
        _driver->SetLogLevel(level);
        _driver->DumpTraffic(true);
        for (int round = 0; round < 3; ++round) {
            if (!RoundTrip()) {
                break;
            }
        }
        _driver->DumpTraffic(false);
        level = 1;
        _driver->SetLogLevel(level);
        _capturing = false;
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_request.empty() && !_reply.empty()) {
            captured = Bytes{_request + "\n", _reply + "\n"};
        }
    }

    void log(const std::string& line) {
        const std::string out = dumpedText(line, "OUT");
        const std::string in = dumpedText(line, "IN");
        std::lock_guard<std::mutex> lock(_mutex);
        if (out.find("get ") != std::string::npos) {
            _request = out;
        } else if (in.find("@get ") != std::string::npos) {
            _reply = in;
        } else if (!_capturing && line.find("ZDUMP") == std::string::npos) {
            // Only errors are logged outside the capture.
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }

    std::unique_ptr<Child> _node;
    asio::io_context _loop;
    Zelkor::IZelkorDriver* _driver = nullptr;
    std::thread _run;
    std::shared_ptr<Zelkor::IDevice> _device;
    Zelkor::ObjectParamContainer _values;
    std::string _failure;
    std::atomic<bool> _capturing{false};

    std::mutex _mutex;
    std::condition_variable _answered;
    std::uint64_t _replies = 0;
    std::string _request;
    std::string _reply;
    std::function<void(const Zelkor::ObjectParamContainer&)> _callback = [this](const Zelkor::ObjectParamContainer&) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            ++_replies;
        }
        _answered.notify_one();
    };
    bool _execSuccess = false;
    std::string _execResult;
    Zelkor::IDevice::ExecCallback _execCallback = [this](const std::string&, const std::string&, bool success,
                                                         const std::string& result, const std::string&) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            ++_replies;
            _execSuccess = success;
            _execResult = result;
        }
        _answered.notify_one();
    };
};

void BM_DriverGetRoundTrip(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    state.SetLabel(tls ? "TLS" : "TCP");
    Session session(tls);
    if (!session.Failure().empty()) {
        state.SkipWithError(session.Failure().c_str());
        return;
    }
    for (auto _ : state) {
        if (!session.RoundTrip()) {
            state.SkipWithError("no reply within 5 s");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DriverGetRoundTrip)->Arg(0)->Arg(1)->UseRealTime()->Iterations(kRounds);

// The same, each get sent from the callback of the last on the event loop: the library's
// work without the hand-over to and from the application's thread.
void BM_DriverGetFromCallback(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    state.SetLabel(tls ? "TLS" : "TCP");
    Session session(tls);
    if (!session.Failure().empty()) {
        state.SkipWithError(session.Failure().c_str());
        return;
    }
    for (auto _ : state) {
        if (!session.Chain(kRounds)) {
            state.SkipWithError("the chain was not answered in time");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kRounds);
}
BENCHMARK(BM_DriverGetFromCallback)->Arg(0)->Arg(1)->UseRealTime()->Iterations(1);

// Exec round trips on the same road: one "echo" after another from the benchmark thread.
void BM_DriverExecRoundTrip(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    Session session(tls);
    if (!session.Failure().empty()) {
        state.SkipWithError(session.Failure().c_str());
        return;
    }
    // The first answer tells what the device does with "echo"; its time is not counted.
    if (!session.ExecRoundTrip()) {
        state.SkipWithError("no exec reply within 5 s");
        return;
    }
    state.SetLabel(std::string(tls ? "TLS " : "TCP ") + session.ExecAnswer());
    for (auto _ : state) {
        if (!session.ExecRoundTrip()) {
            state.SkipWithError("no reply within 5 s");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DriverExecRoundTrip)->Arg(0)->Arg(1)->UseRealTime()->Iterations(kRounds);

// The same, each exec sent from the callback of the last on the event loop.
void BM_DriverExecFromCallback(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    Session session(tls);
    if (!session.Failure().empty()) {
        state.SkipWithError(session.Failure().c_str());
        return;
    }
    if (!session.ExecRoundTrip()) {
        state.SkipWithError("no exec reply within 5 s");
        return;
    }
    state.SetLabel(std::string(tls ? "TLS " : "TCP ") + session.ExecAnswer());
    for (auto _ : state) {
        if (!session.ExecChain(kRounds)) {
            state.SkipWithError("the chain was not answered in time");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kRounds);
}
BENCHMARK(BM_DriverExecFromCallback)->Arg(0)->Arg(1)->UseRealTime()->Iterations(1);

// The bytes the driver's case took, or a session of their own to take them.
const Bytes* bareBytes() {
    if (!captured) {
        Session session(false);
    }
    return captured ? &*captured : nullptr;
}

template <class Stream>
bool pingPong(benchmark::State& state, Stream& stream, const Bytes& bytes) {
    asio::streambuf input;
    for (auto _ : state) {
        if (!ZelkorBench::RoundTrip(stream, bytes.request, input)) {
            return false;
        }
    }
    return true;
}

void BM_BarePingPong(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    state.SetLabel(tls ? "TLS" : "TCP");
    const Bytes* bytes = bareBytes();
    if (!bytes) {
        state.SkipWithError("the library's request and reply were not captured");
        return;
    }
    const std::string reply = bytes->reply.substr(0, bytes->reply.size() - 1);
    std::string why;
    if (!ZelkorBench::WithPong(
            ZELKOR_PONG_PROGRAM, tls, reply, [&](auto& stream) { return pingPong(state, stream, *bytes); }, why)) {
        state.SkipWithError(why.c_str());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_BarePingPong)->Arg(0)->Arg(1)->UseRealTime()->Iterations(kRounds);

// ---------------------------------------------------------------------------------------
// The serving side: one raw client, one request in flight.

// The one-value request the raw client sends the node, and the node's reply to it, "\n"
// ended, once the node's case or the first need took it.
const char* const kServingRequest = "get {\"path\":\"/configuration/device/name\"}\n";
std::optional<std::string> servingReply;

// How many bytes of `received` make the first whole answer, 0 while it is incomplete.
using AnswerSize = std::size_t (*)(const std::string& received);

std::size_t lineAnswer(const std::string& received) {
    const auto end = received.find('\n');
    return end == std::string::npos ? 0 : end + 1;
}

// A Redis bulk or status reply: "$<length>\r\n<bytes>\r\n", or one "\r\n" ended line.
std::size_t redisAnswer(const std::string& received) {
    const auto end = received.find("\r\n");
    if (end == std::string::npos) {
        return 0;
    }
    if (received[0] != '$') {
        return end + 2;
    }
    const long length = std::atol(received.c_str() + 1);
    const std::size_t whole = end + 2 + (length < 0 ? 0 : static_cast<std::size_t>(length) + 2);
    return received.size() >= whole ? whole : 0;
}

// A blocking loopback connection that sends a request and reads its whole answer; after
// the first answer, every answer of the same request is read as that many bytes.
class RawClient {
public:
    // False when nothing listens on the port within the deadline.
    bool Connect(unsigned short port, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        const auto until = Clock::now() + deadline;
        const tcp::endpoint peer(asio::ip::make_address("127.0.0.1"), port);
        for (;;) {
            boost::system::error_code error;
            _socket.close(error);
            _socket.connect(peer, error);
            if (!error) {
                _socket.set_option(tcp::no_delay(true), error);
                return true;
            }
            if (Clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Sends `request` and returns its answer as `size` tells it complete; empty when the
    // peer went away or sent more than a small answer.
    std::string Ask(const std::string& request, AnswerSize size) {
        boost::system::error_code error;
        asio::write(_socket, asio::buffer(request), error);
        std::string received;
        char chunk[4096];
        while (!error && received.size() < sizeof chunk) {
            if (const std::size_t whole = size(received); whole > 0) {
                _answer = whole;
                return received.substr(0, whole);
            }
            const std::size_t got = _socket.read_some(asio::buffer(chunk), error);
            received.append(chunk, error ? 0 : got);
        }
        return {};
    }

    // Sends `request` and reads as many bytes as the last Ask's answer; false when the peer
    // went away.
    bool Round(const std::string& request) {
        boost::system::error_code error;
        asio::write(_socket, asio::buffer(request), error);
        _buffer.resize(_answer);
        return !error && _answer > 0 && asio::read(_socket, asio::buffer(_buffer), error) == _answer && !error;
    }

private:
    asio::io_context _io;
    tcp::socket _socket{_io};
    std::size_t _answer = 0;
    std::string _buffer;
};

// `kRounds` requests of the client, each answered before the next.
void rawRounds(benchmark::State& state, RawClient& client, const std::string& request) {
    for (auto _ : state) {
        if (!client.Round(request)) {
            state.SkipWithError("the peer went away");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// A device node started for a raw client, connected; its reply taken when none was yet.
struct ServedNode {
    std::unique_ptr<Child> node;
    RawClient client;
    std::string failure;

    ServedNode() {
        const unsigned short port = freePort();
        node = startNode(false, port);
        if (!node || !client.Connect(port)) {
            failure = "the device node did not start";
            return;
        }
        const std::string reply = client.Ask(kServingRequest, lineAnswer);
        if (reply.find("@get ") != 0) {
            failure = "the device node did not answer the get";
            return;
        }
        servingReply = reply;
    }
};

void BM_ServingNodeGet(benchmark::State& state) {
    state.SetLabel("TCP");
    ServedNode served;
    if (!served.failure.empty()) {
        state.SkipWithError(served.failure.c_str());
        return;
    }
    rawRounds(state, served.client, kServingRequest);
}
BENCHMARK(BM_ServingNodeGet)->UseRealTime()->Iterations(kRounds);

// The node's reply line, from its case or a node of its own.
const std::string* servedReply() {
    if (!servingReply) {
        ServedNode served;
    }
    return servingReply ? &*servingReply : nullptr;
}

void BM_ServingBarePong(benchmark::State& state) {
    state.SetLabel("TCP");
    const std::string* reply = servedReply();
    if (!reply) {
        state.SkipWithError("the device node's reply was not taken");
        return;
    }
    Child pong({ZELKOR_PONG_PROGRAM, "plain", reply->substr(0, reply->size() - 1)}, "");
    const std::string port = pong.AwaitLine("");
    RawClient client;
    if (port.empty() || !client.Connect(static_cast<unsigned short>(std::stoi(port))) ||
        client.Ask(kServingRequest, lineAnswer) != *reply) {
        state.SkipWithError("no pong");
        return;
    }
    rawRounds(state, client, kServingRequest);
}
BENCHMARK(BM_ServingBarePong)->UseRealTime()->Iterations(kRounds);

// The path of a program on PATH, empty when none.
std::string onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return {};
}

// A Redis command in its array form.
std::string redisCommand(const std::vector<std::string>& words) {
    std::string out = "*" + std::to_string(words.size()) + "\r\n";
    for (const auto& word : words) {
        out += "$" + std::to_string(word.size()) + "\r\n" + word + "\r\n";
    }
    return out;
}

void BM_ServingRedisGet(benchmark::State& state) {
    const std::string program = onPath("redis-server");
    if (program.empty()) {
        state.SkipWithError("redis-server is not installed");
        return;
    }
    const std::string* reply = servedReply();
    if (!reply) {
        state.SkipWithError("the device node's reply was not taken");
        return;
    }
    const std::string folder = std::filesystem::current_path() / "redis";
    std::filesystem::create_directories(folder);
    const unsigned short port = freePort();
    Child redis({program, "--port", std::to_string(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"},
                folder);
    redis.Drain();
    RawClient client;
    // A value as long as the node's reply line, without its "\n".
    const std::string value = reply->substr(0, reply->size() - 1);
    const std::string get = redisCommand({"GET", "bench"});
    const bool ready = redis.Pid() > 0 && client.Connect(port) &&
                       client.Ask(redisCommand({"SET", "bench", value}), redisAnswer) == "+OK\r\n" &&
                       client.Ask(get, redisAnswer).find(value) != std::string::npos;
    if (ready) {
        state.SetLabel("value " + std::to_string(value.size()) + " bytes");
        rawRounds(state, client, get);
    } else {
        state.SkipWithError("redis-server did not answer");
    }
    if (redis.Pid() > 0) {
        ::kill(redis.Pid(), SIGTERM);
    }
}
BENCHMARK(BM_ServingRedisGet)->UseRealTime()->Iterations(kRounds);

// The console's report, and each case's rate kept for the closing comparison: with
// repetitions their median, else the one run's.
class RateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const auto& run : reports) {
            const auto items = run.counters.find("items_per_second");
            if (run.error_occurred || items == run.counters.end()) {
                continue;
            }
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                _rates[name] = items->second.value;
                _medians.insert(name);
            } else if (run.run_type == Run::RT_Iteration && _medians.count(name) == 0) {
                _rates[name] = items->second.value;
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }

    void PrintRatios() const {
        if (captured) {
            std::printf("request %zu bytes: %s", captured->request.size(), captured->request.c_str());
            std::printf("reply %zu bytes: %s", captured->reply.size(), captured->reply.c_str());
        }
        for (const auto& [arg, name] : {std::pair{"0", "TCP"}, std::pair{"1", "TLS"}}) {
            const auto bare = _rates.find(std::string("BM_BarePingPong/") + arg);
            if (bare == _rates.end()) {
                continue;
            }
            std::printf("%s: bare Asio %.0f round trips/s\n", name, bare->second);
            for (const char* road : {"BM_DriverGetRoundTrip", "BM_DriverGetFromCallback", "BM_DriverExecRoundTrip",
                                     "BM_DriverExecFromCallback"}) {
                const auto driver = _rates.find(std::string(road) + "/" + arg);
                if (driver != _rates.end()) {
                    std::printf("%s: %s %.0f/s, ratio %.2f\n", name, road, driver->second,
                                driver->second / bare->second);
                }
            }
        }
        // The serving side: the node against the bare pong and Redis.
        if (servingReply) {
            std::printf("serving request %zu bytes: %s", std::strlen(kServingRequest), kServingRequest);
            std::printf("serving reply %zu bytes: %s", servingReply->size(), servingReply->c_str());
        }
        const auto node = _rates.find("BM_ServingNodeGet/");
        if (node != _rates.end()) {
            std::printf("serving: node %.0f/s\n", node->second);
            for (const auto& [other, name] :
                 {std::pair{"BM_ServingBarePong/", "bare pong"}, std::pair{"BM_ServingRedisGet/", "Redis"}}) {
                const auto rate = _rates.find(other);
                if (rate != _rates.end()) {
                    std::printf("serving: %s %.0f/s, node's ratio %.2f\n", name, rate->second,
                                node->second / rate->second);
                }
            }
        }
        // An exec's round trip against a get's on the same road: the ratio of their times.
        for (const auto& [arg, name] : {std::pair{"0", "TCP"}, std::pair{"1", "TLS"}}) {
            for (const auto& [get, exec] : {std::pair{"BM_DriverGetRoundTrip", "BM_DriverExecRoundTrip"},
                                            std::pair{"BM_DriverGetFromCallback", "BM_DriverExecFromCallback"}}) {
                const auto getRate = _rates.find(std::string(get) + "/" + arg);
                const auto execRate = _rates.find(std::string(exec) + "/" + arg);
                if (getRate != _rates.end() && execRate != _rates.end()) {
                    std::printf("%s: %s %.0f/s beside %s %.0f/s: an exec takes %.2f times a get\n", name, exec,
                                execRate->second, get, getRate->second, getRate->second / execRate->second);
                }
            }
        }
    }

private:
    std::map<std::string, double> _rates;
    std::set<std::string> _medians;
};

}  // namespace

int main(int argc, char** argv) {
    ZelkorLog::TheLog().SetLevel(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // The driver's tree and the nodes write their event logs into their working folders:
    // everything runs in a folder of its own, removed at the end.
    const auto start = std::filesystem::current_path();
    std::string scratch = (std::filesystem::temp_directory_path() / "zelkor-bench-XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        return 1;
    }
    std::filesystem::current_path(scratch);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    std::filesystem::current_path(start);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    benchmark::Shutdown();
    return 0;
}
