// What a device node holds per idle connection, read from its resident memory: peers that
// connect and say nothing; peers that each send one long line and fall silent, just after
// the line and again once the node's idle delay has passed (what a long line grew then
// goes back). The node is a child process serving loopback; the counters are KiB per
// connection over the node's memory before the peers came.
//
// Then peers that stop in the middle of a line: 2,000 of them each send one get and then
// 65,000 bytes without a newline. The node's resident memory (MB) before they came, once
// they have sent, and once the node has closed them (30 s after their last byte) and given
// the memory back; with the runner's default incoming limit and with none.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "helpers/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using boost::asio::ip::tcp;

constexpr int kPeers = 200;
constexpr std::size_t kLongLine = std::size_t{1} << 20;

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

unsigned short freePort(boost::asio::io_context& io) {
    tcp::acceptor probe(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

// Waits for the node's memory to settle: reads a quarter of a second apart until two agree
// within 1%.
long settledKiB(pid_t pid) {
    long last = residentKiB(pid);
    for (int round = 0; round < 40; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const long now = residentKiB(pid);
        if (now <= last + last / 100 && now + now / 100 >= last) {
            return now;
        }
        last = now;
    }
    return last;
}

std::vector<std::string> nodeArguments(unsigned short port, const std::vector<std::string>& more) {
    std::vector<std::string> arguments{ZELKOR_NODE_PROGRAM, "--listen", "127.0.0.1:" + std::to_string(port),
                                       "--log-level", "1"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

// A node of its own serving loopback on a free port, by default with no limit on
// connections.
class Node {
public:
    explicit Node(boost::asio::io_context& io, const std::vector<std::string>& more = {"--max-incoming", "0"})
        : _port(freePort(io)),
          _child(nodeArguments(_port, more), _folder.Path().string()) {
        _started = !_child.AwaitLine("listenerAdded").empty();
        _child.Drain();
    }
    ~Node() { _child.Send(R"({"cmd":"stop"})"); }

    bool Started() const { return _started; }
    long SettledKiB() { return settledKiB(_child.Pid()); }
    long ResidentKiB() { return residentKiB(_child.Pid()); }
    tcp::endpoint At() const { return {boost::asio::ip::make_address("127.0.0.1"), _port}; }

private:
    unsigned short _port;
    ZelkorTest::TempDir _folder;
    ZelkorBench::Child _child;
    bool _started = false;
};

void BM_IdleConnections(benchmark::State& state) {
    for (auto _ : state) {
        boost::asio::io_context io;
        std::vector<std::unique_ptr<tcp::socket>> peers;
        const auto connect = [&](Node& node, const std::string& line) {
            for (int i = 0; i < kPeers; ++i) {
                peers.push_back(std::make_unique<tcp::socket>(io));
                peers.back()->connect(node.At());
                if (!line.empty()) {
                    boost::asio::write(*peers.back(), boost::asio::buffer(line));
                }
            }
        };
        double silent = 0;
        {
            Node node(io);
            if (!node.Started()) {
                state.SkipWithError("the node did not start");
                return;
            }
            const long before = node.SettledKiB();
            connect(node, "");
            silent = static_cast<double>(node.SettledKiB() - before) / kPeers;
            peers.clear();
        }
        Node node(io);
        if (!node.Started()) {
            state.SkipWithError("the node did not start");
            return;
        }
        const long before = node.SettledKiB();
        connect(node, "set {\"path\":\"/x\",\"value\":\"" + std::string(kLongLine, 'v') + "\"}\n");
        const long afterLines = node.SettledKiB();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const long afterQuiet = node.SettledKiB();

        state.counters["silent_KiB_per_conn"] = silent;
        state.counters["after_line_KiB_per_conn"] = static_cast<double>(afterLines - before) / kPeers;
        state.counters["after_quiet_KiB_per_conn"] = static_cast<double>(afterQuiet - before) / kPeers;
    }
}
BENCHMARK(BM_IdleConnections)->Iterations(1)->Unit(benchmark::kSecond);

constexpr int kStalledPeers = 2000;
constexpr std::size_t kStalledBytes = 65000;

// Reads every peer until the node ends its connection, for at most `deadline`: the peers
// it closed.
int awaitClosed(boost::asio::io_context& io, std::vector<std::unique_ptr<tcp::socket>>& peers,
                std::chrono::seconds deadline) {
    int closed = 0;
    std::vector<std::array<char, 512>> buffers(peers.size());
    std::function<void(std::size_t)> read = [&](std::size_t at) {
        peers[at]->async_read_some(boost::asio::buffer(buffers[at]),
                                   [&, at](const boost::system::error_code& error, std::size_t) {
                                       if (error) {
                                           ++closed;
                                       } else {
                                           read(at);
                                       }
                                   });
    };
    for (std::size_t at = 0; at < peers.size(); ++at) {
        read(at);
    }
    io.restart();
    io.run_for(deadline);
    const int closedByNode = closed;
    for (auto& peer : peers) {
        boost::system::error_code ignored;
        peer->close(ignored);
    }
    io.restart();
    io.run();
    return closedByNode;
}

// arg 0: the runner's default incoming limit; 1: none.
void BM_StalledLines(benchmark::State& state) {
    const bool unlimited = state.range(0) == 1;
    for (auto _ : state) {
        boost::asio::io_context io;
        Node node(io, unlimited ? std::vector<std::string>{"--max-incoming", "0"} : std::vector<std::string>{});
        if (!node.Started()) {
            state.SkipWithError("the node did not start");
            return;
        }
        const long before = node.SettledKiB();
        std::vector<std::unique_ptr<tcp::socket>> peers;
        const std::string line = "get {\"path\":\"/configuration/device/name\"}\n" + std::string(kStalledBytes, 'x');
        long peak = 0;
        for (int i = 0; i < kStalledPeers; ++i) {
            peers.push_back(std::make_unique<tcp::socket>(io));
            boost::system::error_code error;
            peers.back()->connect(node.At(), error);
            if (!error) {
                // A peer told "busy" may be gone before all of it is written.
                boost::asio::write(*peers.back(), boost::asio::buffer(line), error);
            }
            if (i % 100 == 99) {
                peak = std::max(peak, node.ResidentKiB());
            }
        }
        const long sent = node.SettledKiB();
        const auto started = std::chrono::steady_clock::now();
        const int closed = awaitClosed(io, peers, std::chrono::seconds(90));
        const double closing = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        // The node gives memory back on its timer's next round after the connections went.
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const long after = node.SettledKiB();

        state.counters["before_MB"] = before / 1024.0;
        state.counters["peak_MB"] = std::max(peak, sent) / 1024.0;
        state.counters["sent_MB"] = sent / 1024.0;
        state.counters["after_close_MB"] = after / 1024.0;
        state.counters["closed_by_node"] = closed;
        state.counters["closing_s"] = closing;
    }
}
BENCHMARK(BM_StalledLines)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
