// What a device node holds per idle connection, read from its resident memory: peers that
// connect and say nothing; peers that each send one long line and fall silent, just after
// the line and again once the node's idle delay has passed (what a long line grew then
// goes back). The node is a child process serving loopback; the counters are KiB per
// connection over the node's memory before the peers came.

#include <benchmark/benchmark.h>

#include <chrono>
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

// A node of its own serving loopback on a free port, with no limit on connections.
class Node {
public:
    explicit Node(boost::asio::io_context& io)
        : _port(freePort(io)),
          _child({ZELKOR_NODE_PROGRAM, "--listen", "127.0.0.1:" + std::to_string(_port), "--max-incoming", "0",
                  "--log-level", "1"},
                 _folder.Path().string()) {
        _started = !_child.AwaitLine("listenerAdded").empty();
        _child.Drain();
    }
    ~Node() { _child.Send(R"({"cmd":"stop"})"); }

    bool Started() const { return _started; }
    long SettledKiB() { return settledKiB(_child.Pid()); }
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

}  // namespace

BENCHMARK_MAIN();
