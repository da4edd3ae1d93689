// What one large multi-value request costs a device in memory: a device node (the node
// runner serving the sample tree) in a child process, one raw loopback connection of this
// process sending it, one after the other, a "get", a "subscribe", an "unsubscribe" and a
// "get" with formats, each of 99,000 entries, and reading each reply. Around each request
// the node's resident set is read from /proc: before it, at its peak (the high-water mark
// is reset before the request) and after it (once a small round trip behind it came
// back, so the request's handling is over). A case that leaves "rss_after_mb" above
// "rss_before_mb" kept memory resident; "rss_peak_mb" less "rss_before_mb" is what the
// request's expansion cost.
//
// BM_UnreadReplies: peers that ask and never read. Each of 32 further connections sends
// four such "get"s and reads nothing (the node admits 64 connections, as the runner does
// without a tree that says otherwise). "rss_held_mb" is the node's resident set once it
// answered them all (what the replies waiting for them hold), "closed" how many of those
// connections it closed.
//
// Not a timing: every case runs its request a fixed number of times, in order, on the one
// node. Every wait is bounded; a case that cannot be set up is skipped with its reason.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "helpers/ChildProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using ZelkorBench::Child;

constexpr int kEntries = 99000;
// Readable parameters of the sample tree, asked in turn.
const char* const kPaths[] = {"/audio/gain",           "/audio/mute",           "/audio/label",
                              "/audio/trim",           "/audio/mode",           "/configuration/device/name",
                              "/configuration/device/location", "/configuration/device/label"};
const char* const kFormats[] = {"variant", "number", "string"};

unsigned short freePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return probe.local_endpoint().port();
}

// WORD [{"path":...}, ...] of kEntries entries, each with a format when `formats`.
std::string requestLine(const std::string& word, bool formats) {
    std::string line = word + " [";
    for (int index = 0; index < kEntries; ++index) {
        line += index == 0 ? "{" : ",{";
        if (formats) {
            line += std::string(R"("format":")") + kFormats[index % 3] + "\",";
        }
        line += std::string(R"("path":")") + kPaths[index % (sizeof kPaths / sizeof *kPaths)] + "\"}";
    }
    return line + "]\n";
}

// A member of /proc/PID/status in kB ("VmRSS", "VmHWM"); -1 when it cannot be read.
long statusKb(pid_t pid, const std::string& member) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(member + ":", 0) == 0) {
            std::istringstream fields(line.substr(member.size() + 1));
            long kb = -1;
            fields >> kb;
            return kb;
        }
    }
    return -1;
}

// Starts the high-water mark of the resident set anew.
bool resetPeak(pid_t pid) {
    std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

double mb(long kb) { return static_cast<double>(kb) / 1024.0; }

bool sendAll(int fd, const std::string& line) {
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t written = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

int connectTo(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The device node and one connection to it.
class Device {
public:
    Device() {
        const std::string folder = std::filesystem::current_path() / "device";
        std::filesystem::create_directories(folder);
        const unsigned short port = freePort();
        _port = port;
        _child = std::make_unique<Child>(
            std::vector<std::string>{ZELKOR_NODE_PROGRAM, "--tree", ZELKOR_SOURCE_DIR "/examples/device-tree.json",
                                     "--listen", "127.0.0.1:" + std::to_string(port), "--log-level", "1",
                                     "--max-incoming", "64"},
            folder);
        if (_child->AwaitLine("\"listenerAdded\"").empty()) {
            failure = "the device node did not start";
            return;
        }
        _child->Drain();
        _fd = connectTo(port);
        if (_fd < 0) {
            failure = "no connection to the device node";
            return;
        }
        const int on = 1;
        ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

    ~Device() {
        if (_fd >= 0) {
            ::close(_fd);
        }
    }

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    pid_t Pid() const { return _child ? _child->Pid() : -1; }
    unsigned short Port() const { return _port; }

    // Sends the line and gives back the reply to it, the line beginning with `reply`;
    // empty at the deadline or when the connection ended.
    std::string Exchange(const std::string& line, const std::string& reply) {
        if (!send(line)) {
            return {};
        }
        const auto until = Clock::now() + std::chrono::seconds(60);
        for (;;) {
            for (auto end = _pending.find('\n'); end != std::string::npos; end = _pending.find('\n')) {
                std::string text = _pending.substr(0, end);
                _pending.erase(0, end + 1);
                if (text.rfind(reply, 0) == 0) {
                    return text;
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd watched{_fd, POLLIN, 0};
            if (left <= 0 || ::poll(&watched, 1, static_cast<int>(left)) <= 0) {
                return {};
            }
            char chunk[65536];
            const ssize_t got = ::recv(_fd, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return {};
            }
            _pending.append(chunk, static_cast<std::size_t>(got));
        }
    }

    std::string failure;

private:
    bool send(const std::string& line) { return sendAll(_fd, line); }

    std::unique_ptr<Child> _child;
    unsigned short _port = 0;
    int _fd = -1;
    std::string _pending;
};

std::unique_ptr<Device> theDevice;

// Whether a reply carries an answer for every entry: one "path" member each.
bool answeredWhole(const std::string& reply) {
    std::size_t count = 0;
    for (auto at = reply.find("\"path\""); at != std::string::npos; at = reply.find("\"path\"", at + 6)) {
        ++count;
    }
    return count == static_cast<std::size_t>(kEntries);
}

// The one device of the run, started by the first case that needs it; false, the case
// skipped, when it could not be.
bool deviceStarted(benchmark::State& state) {
    if (!theDevice) {
        theDevice = std::make_unique<Device>();
    }
    if (!theDevice->failure.empty()) {
        state.SkipWithError(theDevice->failure.c_str());
        return false;
    }
    return true;
}

void largeRequest(benchmark::State& state, const std::string& word, bool formats) {
    if (!deviceStarted(state)) {
        return;
    }
    const pid_t pid = theDevice->Pid();
    const std::string line = requestLine(word, formats);
    const std::string probe = "get {\"path\":\"/audio/gain\"}\n";
    const long before = statusKb(pid, "VmRSS");
    long peak = 0;
    std::size_t replyBytes = 0;
    for (auto _ : state) {
        if (!resetPeak(pid)) {
            state.SkipWithError("the node's peak cannot be reset");
            return;
        }
        const std::string reply = theDevice->Exchange(line, "@" + word);
        if (!answeredWhole(reply) || theDevice->Exchange(probe, "@get").empty()) {
            state.SkipWithError(("the " + word + " was not answered entry by entry").c_str());
            return;
        }
        replyBytes = reply.size();
        peak = std::max(peak, statusKb(pid, "VmHWM"));
    }
    const long after = statusKb(pid, "VmRSS");
    state.counters["entries"] = kEntries;
    state.counters["request_mb"] = static_cast<double>(line.size()) / (1024.0 * 1024.0);
    state.counters["reply_mb"] = static_cast<double>(replyBytes) / (1024.0 * 1024.0);
    state.counters["rss_before_mb"] = mb(before);
    state.counters["rss_peak_mb"] = mb(peak);
    state.counters["rss_after_mb"] = mb(after);
}

constexpr int kSilentPeers = 32;
constexpr int kUnreadGets = 4;

void unreadReplies(benchmark::State& state) {
    if (!deviceStarted(state)) {
        return;
    }
    const pid_t pid = theDevice->Pid();
    const std::string line = requestLine("get", false);
    const std::string probe = "get {\"path\":\"/audio/gain\"}\n";
    // Spoken first: a connection silent from its start is closed after a while.
    if (theDevice->Exchange(probe, "@get").empty()) {
        state.SkipWithError("the node does not answer");
        return;
    }
    const long before = statusKb(pid, "VmRSS");
    long peak = 0;
    long held = 0;
    int closed = 0;
    for (auto _ : state) {
        if (!resetPeak(pid)) {
            state.SkipWithError("the node's peak cannot be reset");
            return;
        }
        std::vector<int> silent;
        for (int peer = 0; peer < kSilentPeers; ++peer) {
            const int fd = connectTo(theDevice->Port());
            if (fd < 0) {
                break;
            }
            silent.push_back(fd);
            for (int get = 0; get < kUnreadGets && sendAll(fd, line); ++get) {
            }
        }
        // The node is done with them once its resident set stays put a while (bounded).
        long last = -1;
        int steady = 0;
        for (int round = 0; round < 300 && steady < 10; ++round) {
            theDevice->Exchange(probe, "@get");
            ::usleep(100 * 1000);
            const long now = statusKb(pid, "VmRSS");
            steady = now == last ? steady + 1 : 0;
            last = now;
        }
        peak = std::max(peak, statusKb(pid, "VmHWM"));
        held = statusKb(pid, "VmRSS");
        // A closed connection's end comes behind what was written to it: read it all.
        closed = 0;
        for (const int fd : silent) {
            char chunk[65536];
            pollfd watched{fd, POLLIN, 0};
            ssize_t got = 1;
            while (got > 0 && ::poll(&watched, 1, 2000) > 0) {
                got = ::recv(fd, chunk, sizeof chunk, 0);
            }
            closed += got <= 0;
            ::close(fd);
        }
        if (theDevice->Exchange(probe, "@get").empty()) {
            state.SkipWithError("the node stopped answering");
            return;
        }
    }
    state.counters["connections"] = kSilentPeers;
    state.counters["closed"] = closed;
    state.counters["rss_before_mb"] = mb(before);
    state.counters["rss_peak_mb"] = mb(peak);
    state.counters["rss_held_mb"] = mb(held);
    state.counters["rss_after_mb"] = mb(statusKb(pid, "VmRSS"));
}

// Each request three times: growth that stays shows as an "after" that keeps rising.
constexpr benchmark::IterationCount kRounds = 3;

void registerCases() {
    const struct {
        const char* name;
        const char* word;
        bool formats;
    } cases[] = {
        {"BM_LargeRequest/get", "get", false},
        {"BM_LargeRequest/subscribe", "subscribe", false},
        {"BM_LargeRequest/unsubscribe", "unsubscribe", false},
        {"BM_LargeRequest/get_formats", "get", true},
    };
    for (const auto& c : cases) {
        const std::string word = c.word;
        const bool formats = c.formats;
        benchmark::RegisterBenchmark(c.name, [word, formats](benchmark::State& state) {
            largeRequest(state, word, formats);
        })->Iterations(kRounds)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    benchmark::RegisterBenchmark("BM_UnreadReplies", unreadReplies)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    registerCases();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    // The node writes its event log into its working folder: a folder of its own, removed
    // at the end.
    const auto start = std::filesystem::current_path();
    std::string scratch = (std::filesystem::temp_directory_path() / "zelkor-bench-XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        return 1;
    }
    std::filesystem::current_path(scratch);
    benchmark::RunSpecifiedBenchmarks();
    theDevice.reset();
    std::filesystem::current_path(start);
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    benchmark::Shutdown();
    return 0;
}
