// An honest long line beside a trickle, against the node-wide bound of unfinished lines: a
// device node (the node runner, no tree) in a child process serving 127.0.0.1. One address
// (127.0.0.2) opens three connections; each sends an unfinished "set" of 11 MiB, then one
// byte every 2 ms, and a connection the node closes comes back with its line again (at
// most one every 50 ms). Another address (127.0.0.3) sends a 4 MiB "set" in 64 KiB pieces,
// one every `arg` ms; with arg 0 it sends them every 50 ms alone, without the trickle.
//
// Counters: "answered" 1 when the honest line was answered, 0 when its connection was
// closed or no answer came within 30 s; "sent_kb" what the honest peer had sent by then;
// "seconds" from its first byte to the answer or the close; "zk7267e" the node's "Line
// exceeds the length limit" lines (each a connection closed for its line or for the bound);
// "comebacks" the fresh connections the trickling address opened.
//
// Not a timing of the node: the pace is the peers'. Every wait is bounded.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "helpers/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kib = 1024;
const std::string kHead = R"(set {"path":"/configuration/device/name","value":")";

unsigned short freePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

// A connection from `source` to the node; -1 when it could not be made.
int connectFrom(const char* source, unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
                    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t sent = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

// Three connections of one address holding unfinished lines a byte at a time, until
// stopped.
class Trickle {
public:
    explicit Trickle(unsigned short port) : _port(port), _thread([this] { run(); }) {}
    ~Trickle() {
        _stop = true;
        _thread.join();
    }
    bool Holding() const { return _holding; }
    int Comebacks() const { return _comebacks; }

private:
    int hold() {
        const int fd = connectFrom("127.0.0.2", _port);
        if (fd >= 0 && !sendAll(fd, _line.data(), _line.size())) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void run() {
        std::vector<int> held(3);
        for (int& fd : held) {
            fd = hold();
        }
        _holding = true;
        auto lastComeback = Clock::now();
        while (!_stop) {
            std::this_thread::sleep_for(2ms);
            for (int& fd : held) {
                char byte = 't';
                if (fd >= 0 && (::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 ||
                                ::send(fd, "t", 1, MSG_DONTWAIT | MSG_NOSIGNAL) < 0)) {
                    ::close(fd);
                    fd = -1;
                }
                if (fd < 0 && Clock::now() - lastComeback >= 50ms) {
                    lastComeback = Clock::now();
                    ++_comebacks;
                    fd = hold();
                }
            }
        }
        for (int fd : held) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    unsigned short _port;
    const std::string _line = kHead + std::string(11 * kib * kib, 't');
    std::atomic<bool> _stop{false}, _holding{false};
    std::atomic<int> _comebacks{0};
    std::thread _thread;
};

struct Outcome {
    bool answered = false;
    std::size_t sent = 0;
    double seconds = 0;
};

// The honest peer's 4 MiB "set", a 64 KiB piece every `pace`.
Outcome honestLine(unsigned short port, std::chrono::milliseconds pace) {
    Outcome outcome;
    const int fd = connectFrom("127.0.0.3", port);
    if (fd < 0) {
        return outcome;
    }
    const auto started = Clock::now();
    const std::string piece(64 * kib, 'h');
    bool open = sendAll(fd, kHead.data(), kHead.size());
    outcome.sent = open ? kHead.size() : 0;
    for (int n = 0; open && n < 64; ++n) {
        std::this_thread::sleep_for(pace);
        open = sendAll(fd, piece.data(), piece.size());
        outcome.sent += open ? piece.size() : 0;
        pollfd watched{fd, POLLIN, 0};
        open = open && ::poll(&watched, 1, 0) == 0;
    }
    if (open && sendAll(fd, "\"}\n", 3)) {
        std::string reply;
        const auto until = Clock::now() + 30s;
        while (reply.find('\n') == std::string::npos && Clock::now() < until) {
            pollfd watched{fd, POLLIN, 0};
            char chunk[4096];
            if (::poll(&watched, 1, 100) == 1) {
                const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
                if (got <= 0) {
                    break;
                }
                reply.append(chunk, static_cast<std::size_t>(got));
            }
        }
        outcome.answered = reply.rfind("@set", 0) == 0;
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    ::close(fd);
    return outcome;
}

std::size_t linesHolding(const std::string& file, const std::string& text) {
    std::ifstream in(file);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

// arg: the honest peer's pace in ms beside the trickle; 0: every 50 ms, alone.
void BM_HonestLineBesideATrickle(benchmark::State& state) {
    ::signal(SIGPIPE, SIG_IGN);
    const bool alone = state.range(0) == 0;
    const std::chrono::milliseconds pace(alone ? 50 : state.range(0));
    for (auto _ : state) {
        ZelkorTest::TempDir folder;
        const std::string log = (folder.Path() / "node.log").string();
        const unsigned short port = freePort();
        Outcome outcome;
        int comebacks = 0;
        {
            ZelkorBench::Child node({ZELKOR_NODE_PROGRAM, "--listen", "127.0.0.1:" + std::to_string(port),
                                     "--log-level", "1", "--max-incoming", "0"},
                                    folder.Path().string(), log);
            if (node.AwaitLine("listenerAdded").empty()) {
                state.SkipWithError("the node did not start");
                return;
            }
            node.Drain();
            std::unique_ptr<Trickle> trickle;
            if (!alone) {
                trickle = std::make_unique<Trickle>(port);
                const auto until = Clock::now() + 60s;
                while (!trickle->Holding() && Clock::now() < until) {
                    std::this_thread::sleep_for(10ms);
                }
                // Three lines of 11 MiB pass the bound: the address's own lines churn, and
                // it settles into that before the honest peer starts.
                std::this_thread::sleep_for(2s);
            }
            outcome = honestLine(port, pace);
            if (trickle) {
                comebacks = trickle->Comebacks();
            }
            trickle.reset();
            node.Send(R"({"cmd":"stop"})");
        }
        state.counters["answered"] = outcome.answered ? 1 : 0;
        state.counters["sent_kb"] = static_cast<double>(outcome.sent) / 1000.0;
        state.counters["seconds"] = outcome.seconds;
        state.counters["zk7267e"] = static_cast<double>(linesHolding(log, "ZK7267E"));
        state.counters["comebacks"] = comebacks;
    }
}
BENCHMARK(BM_HonestLineBesideATrickle)->Arg(50)->Arg(10)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
