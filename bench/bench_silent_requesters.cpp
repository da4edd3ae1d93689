// An honest get through a router beside requesters that leave their blocks unanswered. A
// device node and a router node sit in namespace a of a veth pair, the router reaching the
// device on a's loopback; in namespace b a controller node fetches a 4 MB file from the
// device through the router (blocks of 65,536 Base64 characters, 83 of them), while raw
// peers, from other addresses of b, each open a get of another file through the router
// and never answer a block, opening it again at a fixed period. Every block the device
// sends, to anyone, goes on its one connection to the router, which carries one request
// at a time.
//
// Each case starts the nodes afresh and reports the honest get's time from its command to
// its end (or to the 125 s the case waits), the share of the file it moved by then, and
// the blocks the silent peers were sent.
//
// A second benchmark puts K devices behind the router and a requester that opens a get
// on each and answers every block 4.5 s after it came, just within the bound of a notice
// on its own; its blocks queue up on the router's connection to it, one per device. The
// controller fetches 10 blocks from the last device; the case reports the get's time (or
// the 300 s it waits) and the blocks the slow requester was sent.
//
// Needs root (skipped otherwise); sends nothing outside its namespaces.

#include <benchmark/benchmark.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <json/reader.h>
#include <json/value.h>

#include "helpers/ChildProcess.h"
#include "support/NetNamespace.h"
#include "support/TempDir.h"

namespace {

using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using ZelkorBench::Child;

const char* const kDeviceGuid = "3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e54";
constexpr std::size_t kFileSize = 4'000'000;
constexpr auto kCaseWait = std::chrono::seconds(125);

void writeRandomFile(const std::string& path, std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random());
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

Json::Value parsed(const std::string& text) {
    Json::Value line;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    reader->parse(text.data(), text.data() + text.size(), &line, &errors);
    return line;
}

// The next line that holds both texts; empty when none came within the deadline.
std::string awaitBoth(Child& node, const std::string& first, const std::string& second,
                      std::chrono::seconds deadline) {
    const auto until = Clock::now() + deadline;
    while (Clock::now() < until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        const std::string line = node.AwaitLine(first, left);
        if (line.empty() || line.find(second) != std::string::npos) {
            return line;
        }
    }
    return {};
}

std::vector<std::string> inNamespace(const ZelkorTest::NetNamespace& space, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"/usr/sbin/ip", "netns", "exec", space.Name(), ZELKOR_NODE_PROGRAM});
    arguments.insert(arguments.end(), {"--log-level", "1"});
    return arguments;
}

// One requester that opens gets and never answers a block: its own connection, from its
// own address, read on a thread of its own (what it is sent is counted, never answered).
class SilentPeer {
public:
    SilentPeer(const ZelkorTest::VethPair& pair, const std::string& source, std::string name)
        : _name(std::move(name)) {
        pair.b.Run([&] {
            boost::system::error_code error;
            _socket.open(tcp::v4(), error);
            _socket.bind({boost::asio::ip::make_address(source), 0}, error);
            _socket.connect({boost::asio::ip::make_address(ZelkorTest::VethPair::AddressA), 4197}, error);
            _connected = !error;
        });
        if (_connected) {
            _reader = std::thread([this] { read(); });
        }
    }
    ~SilentPeer() {
        boost::system::error_code ignored;
        _socket.shutdown(tcp::socket::shutdown_both, ignored);
        if (_reader.joinable()) {
            _reader.join();
        }
        _socket.close(ignored);
    }

    bool Connected() const { return _connected; }
    void Get() {
        const std::string line =
            "[rt1&bench-device][" + _name + R"(] getfile {"path":"bait.bin","state":"begin","blocksize":65536})" "\n";
        boost::system::error_code ignored;
        boost::asio::write(_socket, boost::asio::buffer(line), ignored);
    }
    int Blocks() const { return _blocks.load(); }

private:
    void read() {
        boost::asio::streambuf input;
        boost::system::error_code error;
        while (!error) {
            const std::size_t size = boost::asio::read_until(_socket, input, '\n', error);
            if (size == 0) {
                continue;
            }
            std::string line(size, '\0');
            input.sgetn(line.data(), static_cast<std::streamsize>(size));
            if (line.find(" block ") != std::string::npos) {
                ++_blocks;
            }
        }
    }

    boost::asio::io_context _io;
    tcp::socket _socket{_io};
    std::string _name;
    bool _connected = false;
    std::atomic<int> _blocks{0};
    std::thread _reader;
};

// `gets` silent gets, shared out between `silent` peers (each a requester of its own name
// on a connection of its own) from `addresses` source addresses (10.77.0.3 on), each get
// opened again every `reopen` seconds (0: never).
void BM_HonestGetBesideSilentOnes(benchmark::State& state) {
    const auto gets = static_cast<int>(state.range(0));
    const auto silent = static_cast<int>(state.range(1));
    const auto addresses = static_cast<int>(state.range(2));
    const auto reopen = std::chrono::seconds(state.range(3));
    ::signal(SIGPIPE, SIG_IGN);
    for (auto _ : state) {
        ZelkorTest::VethPair pair;
        if (!pair.Missing().empty()) {
            state.SkipWithError(pair.Missing().c_str());
            return;
        }
        for (int n = 0; n < addresses; ++n) {
            pair.b.Ip("addr add 10.77.0." + std::to_string(3 + n) + "/24 dev " + pair.b1);
        }
        ZelkorTest::TempDir folder;
        const auto root = folder.Path() / "dev";
        const auto local = folder.Path() / "ctl";
        std::filesystem::create_directories(root);
        std::filesystem::create_directories(local);
        writeRandomFile((root / "big.bin").string(), kFileSize, 1);
        writeRandomFile((root / "bait.bin").string(), kFileSize, 2);
        Child device(inNamespace(pair.a, {"--role", "device", "--name", "bench-device", "--guid", kDeviceGuid,
                                          "--listen", "127.0.0.1:4197", "--storage-root", root.string()}),
                     folder.Path().string());
        Child router(inNamespace(pair.a, {"--role", "router", "--name", "rt1", "--listen", "10.77.0.1:4197",
                                          "--route", "127.0.0.1,4197"}),
                     folder.Path().string());
        Child controller(inNamespace(pair.b, {"--role", "controller", "--name", "honest", "--listen",
                                              "10.77.0.2:4197", "--route", "10.77.0.1,4197",
                                              "--transfer-interval", "50", "--storage-root", local.string()}),
                         folder.Path().string());
        if (device.AwaitLine("\"listenerAdded\"").empty() || router.AwaitLine("\"listenerAdded\"").empty() ||
            controller.AwaitLine(kDeviceGuid, std::chrono::seconds(60)).empty()) {
            state.SkipWithError("the nodes did not start");
            return;
        }
        device.Drain();
        router.Drain();
        controller.Send(R"({"cmd":"connect","address":"127.0.0.1","port":4197})");
        if (awaitBoth(controller, kDeviceGuid, "\"state\":\"Connected\"", std::chrono::seconds(60)).empty()) {
            state.SkipWithError("the controller did not reach the device");
            return;
        }

        std::vector<std::unique_ptr<SilentPeer>> peers;
        for (int n = 0; n < silent; ++n) {
            const std::string source = "10.77.0." + std::to_string(3 + n % addresses);
            peers.push_back(std::make_unique<SilentPeer>(pair, source, "silent" + std::to_string(n)));
            if (!peers.back()->Connected()) {
                state.SkipWithError("a silent peer could not connect");
                return;
            }
        }
        const auto openAll = [&] {
            for (int n = 0; n < gets; ++n) {
                peers[static_cast<std::size_t>(n % silent)]->Get();
            }
        };
        openAll();
        // The first block of a silent get holds the device's connection.
        const auto held = Clock::now() + std::chrono::seconds(30);
        while (silent > 0 && peers.front()->Blocks() == 0 && Clock::now() < held) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::atomic<bool> over{false};
        std::thread reopening([&] {
            if (reopen.count() == 0) {
                return;
            }
            for (auto next = Clock::now() + reopen; !over; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
                if (Clock::now() >= next) {
                    openAll();
                    next += reopen;
                }
            }
        });

        const auto start = Clock::now();
        controller.Send(R"({"cmd":"recvfile","device":")" + std::string(kDeviceGuid) + R"(","local":")" +
                        (local / "got.bin").string() + R"(","remote":"big.bin","blocksize":65536,"tag":"honest"})");
        double percent = 0;
        bool done = false;
        while (!done && Clock::now() < start + kCaseWait) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + kCaseWait - Clock::now());
            const std::string text = controller.AwaitLine("\"event\":\"", left);
            if (text.empty()) {
                break;
            }
            const Json::Value line = parsed(text);
            if (line["event"] == "progress") {
                percent = std::max(percent, line["percent"].asDouble());
            } else if (line["event"] == "recvfile" && line["tag"] == "honest") {
                done = line["success"].asBool();
                percent = done ? 100.0 : percent;
                break;
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        over = true;
        reopening.join();
        int blocks = 0;
        for (const auto& peer : peers) {
            blocks += peer->Blocks();
        }
        state.counters["honest_get_s"] = seconds;
        state.counters["honest_get_done"] = done ? 1 : 0;
        state.counters["honest_percent"] = percent;
        state.counters["silent_blocks"] = blocks;
        state.SetIterationTime(seconds);
        controller.Drain();
    }
}
// Alone; beside one silent get; beside four reopened every 21 s: of one requester, of
// four requesters from one address, of four from four addresses.
BENCHMARK(BM_HonestGetBesideSilentOnes)
    ->ArgNames({"gets", "requesters", "addresses", "reopen_s"})
    ->Args({0, 0, 1, 0})
    ->Args({1, 1, 1, 0})
    ->Args({4, 1, 1, 21})
    ->Args({4, 4, 1, 21})
    ->Args({4, 4, 4, 21})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// A requester that opens a get of "bait.bin" on each of `devices` devices behind the
// router (named bench-device1 on), again until the device's first block came, and answers
// every block `takes` after it came; its own connection, read and answered on a thread
// of its own.
class SlowPeer {
public:
    SlowPeer(const ZelkorTest::VethPair& pair, int devices, std::chrono::milliseconds takes)
        : _devices(devices), _takes(takes) {
        pair.b.Run([&] {
            boost::system::error_code error;
            _socket.open(tcp::v4(), error);
            _socket.connect({boost::asio::ip::make_address(ZelkorTest::VethPair::AddressA), 4197}, error);
            _connected = !error;
        });
        if (_connected) {
            _reader = std::thread([this] { read(); });
            _writer = std::thread([this] { answer(); });
        }
    }
    ~SlowPeer() {
        _over = true;
        boost::system::error_code ignored;
        _socket.shutdown(tcp::socket::shutdown_both, ignored);
        if (_reader.joinable()) {
            _reader.join();
        }
        if (_writer.joinable()) {
            _writer.join();
        }
        _socket.close(ignored);
    }

    bool Connected() const { return _connected; }
    // Devices that sent it a block so far.
    int Reached() const { return _reached.load(); }
    int Blocks() const { return _blocks.load(); }

private:
    void send(const std::string& line) {
        boost::system::error_code ignored;
        boost::asio::write(_socket, boost::asio::buffer(line), ignored);
    }

    void read() {
        boost::asio::streambuf input;
        boost::system::error_code error;
        while (!error) {
            const std::size_t size = boost::asio::read_until(_socket, input, '\n', error);
            if (size == 0) {
                continue;
            }
            std::string line(size, '\0');
            input.sgetn(line.data(), static_cast<std::streamsize>(size));
            const auto device = line.find("][rt1&bench-device");
            const auto number = line.find("\"blockno\":");
            if (line.find("] block {") == std::string::npos || device == std::string::npos ||
                number == std::string::npos) {
                continue;
            }
            ++_blocks;
            const int index = std::atoi(line.c_str() + device + 18);
            std::lock_guard<std::mutex> lock(_mutex);
            if (index >= 1 && index <= _devices && !_sending[static_cast<std::size_t>(index - 1)]) {
                _sending[static_cast<std::size_t>(index - 1)] = true;
                ++_reached;
            }
            _due.emplace_back(Clock::now() + _takes, "[rt1&bench-device" + std::to_string(index) +
                                                         R"(][slow] @block {"blockno":)" +
                                                         std::to_string(std::atol(line.c_str() + number + 10)) +
                                                         "}\n");
        }
    }

    void answer() {
        std::vector<Clock::time_point> retry(static_cast<std::size_t>(_devices));
        while (!_over) {
            std::vector<std::string> lines;
            {
                std::lock_guard<std::mutex> lock(_mutex);
                for (int n = 0; n < _devices; ++n) {
                    const auto at = static_cast<std::size_t>(n);
                    if (!_sending[at] && Clock::now() >= retry[at]) {
                        lines.push_back("[rt1&bench-device" + std::to_string(n + 1) +
                                        R"(][slow] getfile {"path":"bait.bin","state":"begin","blocksize":4096})" "\n");
                        retry[at] = Clock::now() + std::chrono::seconds(2);
                    }
                }
                while (!_due.empty() && _due.front().first <= Clock::now()) {
                    lines.push_back(std::move(_due.front().second));
                    _due.pop_front();
                }
            }
            for (const auto& line : lines) {
                send(line);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    boost::asio::io_context _io;
    tcp::socket _socket{_io};
    const int _devices;
    const std::chrono::milliseconds _takes;
    bool _connected = false;
    std::atomic<bool> _over{false};
    std::atomic<int> _reached{0};
    std::atomic<int> _blocks{0};
    std::mutex _mutex;
    std::vector<bool> _sending = std::vector<bool>(static_cast<std::size_t>(_devices));
    std::deque<std::pair<Clock::time_point, std::string>> _due;
    std::thread _reader;
    std::thread _writer;
};

constexpr auto kSlowCaseWait = std::chrono::seconds(300);

// The honest 10-block get from the last of `devices` devices, beside the slow requester's
// gets on every one of them (0 devices: alone, from one device).
void BM_HonestGetBesideASlowAnswerer(benchmark::State& state) {
    const auto slowOn = static_cast<int>(state.range(0));
    const int devices = std::max(slowOn, 1);
    ::signal(SIGPIPE, SIG_IGN);
    for (auto _ : state) {
        ZelkorTest::VethPair pair;
        if (!pair.Missing().empty()) {
            state.SkipWithError(pair.Missing().c_str());
            return;
        }
        ZelkorTest::TempDir folder;
        const auto local = folder.Path() / "ctl";
        std::filesystem::create_directories(local);
        std::vector<std::string> routes{"--role", "router", "--name", "rt1", "--listen", "10.77.0.1:4197"};
        std::vector<std::unique_ptr<Child>> nodes;
        const std::string guids[] = {"3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e51", "3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e52",
                                     "3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e53", "3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e54",
                                     "3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e55", "3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e56",
                                     "3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e57", "3c1d7e92-5a4b-4f08-b6e3-9d2a0c7f1e58"};
        if (devices > 8) {
            state.SkipWithError("at most 8 devices");
            return;
        }
        for (int n = 0; n < devices; ++n) {
            const auto root = folder.Path() / ("dev" + std::to_string(n + 1));
            std::filesystem::create_directories(root);
            writeRandomFile((root / "bait.bin").string(), 400'000, static_cast<unsigned>(10 + n));
            const std::string port = std::to_string(4201 + n);
            nodes.push_back(std::make_unique<Child>(
                inNamespace(pair.a, {"--role", "device", "--name", "bench-device" + std::to_string(n + 1), "--guid",
                                     guids[n], "--listen", "127.0.0.1:" + port, "--storage-root", root.string()}),
                folder.Path().string()));
            routes.insert(routes.end(), {"--route", "127.0.0.1," + port});
        }
        const auto served = folder.Path() / ("dev" + std::to_string(devices)) / "big.bin";
        // 10 blocks of 65,536 Base64 characters.
        writeRandomFile(served.string(), 480'000, 1);
        Child router(inNamespace(pair.a, routes), folder.Path().string());
        Child controller(inNamespace(pair.b, {"--role", "controller", "--name", "honest", "--listen",
                                              "10.77.0.2:4197", "--route", "10.77.0.1,4197",
                                              "--transfer-interval", "50", "--storage-root", local.string()}),
                         folder.Path().string());
        const std::string& last = guids[devices - 1];
        bool started = !router.AwaitLine("\"listenerAdded\"").empty() &&
                       !controller.AwaitLine(last, std::chrono::seconds(60)).empty();
        for (auto& node : nodes) {
            started = started && !node->AwaitLine("\"listenerAdded\"").empty();
            node->Drain();
        }
        if (!started) {
            state.SkipWithError("the nodes did not start");
            return;
        }
        router.Drain();
        controller.Send(R"({"cmd":"connect","address":"127.0.0.1","port":)" + std::to_string(4200 + devices) + "}");
        if (awaitBoth(controller, last, "\"state\":\"Connected\"", std::chrono::seconds(60)).empty()) {
            state.SkipWithError("the controller did not reach the device");
            return;
        }

        std::unique_ptr<SlowPeer> slow;
        if (slowOn > 0) {
            slow = std::make_unique<SlowPeer>(pair, slowOn, std::chrono::milliseconds(4500));
            const auto reached = Clock::now() + std::chrono::seconds(60);
            while (slow->Connected() && slow->Reached() < slowOn && Clock::now() < reached) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (slow->Reached() < slowOn) {
                state.SkipWithError("the slow requester's gets did not start");
                return;
            }
        }

        const auto start = Clock::now();
        controller.Send(R"({"cmd":"recvfile","device":")" + last + R"(","local":")" + (local / "got.bin").string() +
                        R"(","remote":"big.bin","blocksize":65536,"tag":"honest"})");
        const Json::Value end = parsed(awaitBoth(controller, "\"event\":\"recvfile\"", "\"honest\"", kSlowCaseWait));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["honest_get_s"] = seconds;
        state.counters["honest_get_done"] = end["success"].asBool() ? 1 : 0;
        state.counters["slow_blocks"] = slow ? slow->Blocks() : 0;
        state.SetIterationTime(seconds);
        slow.reset();
        controller.Drain();
    }
}
// Alone; beside a requester that answers each block after 4.5 s, its gets on the last
// device only, and on each of four.
BENCHMARK(BM_HonestGetBesideASlowAnswerer)
    ->ArgNames({"slow_on_devices"})
    ->Args({0})
    ->Args({1})
    ->Args({4})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
