#include "Fuzz.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ZelkorSoak {
namespace {

constexpr unsigned kPlainConnections = 4;
constexpr unsigned kTlsConnections = 2;
// Datagrams sent to a node per step at most; their size at most.
constexpr unsigned kDatagramsPerStep = 6;
constexpr std::size_t kDatagramBytes = 16 * 1024;
// Seconds a node has to answer the question asked when the load ends.
constexpr double kProbeWait = 20;

// A datagram socket on 127.0.0.1 and its port; -1 when none opens.
int openDatagrams(unsigned short& port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

// One node under fuzz: its connections, its datagram socket and their counts.
class Fuzz::Target : public LineSource {
public:
    // `datagrams`: its datagram socket, which it closes.
    Target(const FuzzTarget& plan, LineMaker& maker, SSL_CTX* tls, const std::string& code, int datagrams,
           std::mt19937_64& random)
        : _plan(plan), _maker(maker), _code(code), _random(random), _datagrams(datagrams) {
        for (unsigned i = 0; i < kPlainConnections; ++i) {
            _connections.push_back(
                std::make_unique<FuzzConnection>(FuzzConnection::Kind::Plain, plan.port, tls, random));
        }
        for (unsigned i = 0; i < kTlsConnections; ++i) {
            _connections.push_back(std::make_unique<FuzzConnection>(FuzzConnection::Kind::Tls, plan.port, tls, random));
        }
    }
    ~Target() override {
        if (_datagrams >= 0) {
            ::close(_datagrams);
        }
    }

    std::string NextLine() override { return _maker.Make(_plan.name, _plan.folder, _plan.root); }

    std::string ProofLine() override {
        const unsigned draw = static_cast<unsigned>(_random() % 20);
        if (_plan.holdsCode) {
            return draw < 15 ? _maker.Proof(_code) : draw < 17 ? _maker.Proof(_code + "x") : std::string();
        }
        return draw < 10 ? _maker.Proof(_code) : std::string();
    }

    void Tick(double now) {
        for (auto& connection : _connections) {
            connection->Tick(now, *this, _counts);
        }
        if (_datagrams < 0) {
            return;
        }
        sockaddr_in node{};
        node.sin_family = AF_INET;
        node.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        node.sin_port = htons(_plan.port);
        for (unsigned sent = 0; sent < kDatagramsPerStep; ++sent) {
            std::string datagram;
            const unsigned lines = 1 + static_cast<unsigned>(_random() % 3);
            for (unsigned i = 0; i < lines; ++i) {
                const std::string line = NextLine();
                if (datagram.size() + line.size() + 1 <= kDatagramBytes) {
                    datagram += line + "\n";
                }
            }
            if (datagram.empty()) {
                continue;
            }
            if (::sendto(_datagrams, datagram.data(), datagram.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&node), sizeof node) < 0) {
                break;
            }
            ++_counts.datagrams;
        }
        char buffer[65536];
        while (::recv(_datagrams, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
            ++_counts.datagramsRead;
        }
    }

    void Stop() {
        for (auto& connection : _connections) {
            connection->Close();
        }
    }

    const FuzzTarget& Plan() const { return _plan; }
    const FuzzCounts& Counts() const { return _counts; }

private:
    const FuzzTarget _plan;
    LineMaker& _maker;
    const std::string _code;
    std::mt19937_64& _random;
    std::vector<std::unique_ptr<FuzzConnection>> _connections;
    int _datagrams = -1;
    FuzzCounts _counts;
};

// A well-behaved peer's question once the load is over: "get" the node's name over a new
// plain connection; answered when an "@get" line comes back.
class Fuzz::Probe {
public:
    explicit Probe(unsigned short port) {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (_fd >= 0) {
            ::connect(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        }
    }
    ~Probe() {
        if (_fd >= 0) {
            ::close(_fd);
        }
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    void Tick() {
        if (_fd < 0 || _answered) {
            return;
        }
        if (!_asked) {
            pollfd watched{_fd, POLLOUT, 0};
            if (::poll(&watched, 1, 0) <= 0) {
                return;
            }
            const std::string question = "get {\"path\":\"/configuration/device/name\"}\n";
            _asked = ::send(_fd, question.data(), question.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
                     static_cast<ssize_t>(question.size());
            return;
        }
        char buffer[4096];
        const ssize_t got = ::recv(_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0 && _heard.size() < 65536) {
            _heard.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t start = 0; start < _heard.size();) {
                const auto end = _heard.find('\n', start);
                if (end == std::string::npos) {
                    break;
                }
                if (_heard.compare(start, 4, "@get") == 0) {
                    _answered = true;
                    _answer = _heard.substr(start, end - start);
                }
                start = end + 1;
            }
        }
    }

    bool Answered() const { return _answered; }
    const std::string& Answer() const { return _answer; }

private:
    int _fd = -1;
    bool _asked = false;
    bool _answered = false;
    std::string _heard;
    std::string _answer;
};

Fuzz::Fuzz(FuzzPlan plan, std::mt19937_64& random) : _plan(std::move(plan)), _random(random) {}

Fuzz::~Fuzz() {
    _targets.clear();
    if (_tls) {
        SSL_CTX_free(_tls);
    }
}

bool Fuzz::Start(std::string& error) {
    _tls = SSL_CTX_new(TLS_client_method());
    if (!_tls) {
        error = "no TLS context for the fuzz";
        return false;
    }
    SSL_CTX_set_verify(_tls, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(_tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    // Lines may name the nodes' ports and the fuzz's own datagram ports, no other.
    _guard = std::make_unique<HostGuard>(_plan.runDir, _plan.kept);
    std::vector<int> datagrams;
    for (const auto& target : _plan.targets) {
        unsigned short own = 0;
        const int fd = openDatagrams(own);
        if (fd < 0) {
            error = std::string("no datagram socket on 127.0.0.1 for the fuzz: ") + std::strerror(errno);
            for (const int opened : datagrams) {
                ::close(opened);
            }
            return false;
        }
        datagrams.push_back(fd);
        _plan.words.ports.push_back(target.port);
        _plan.words.ports.push_back(own);
    }
    for (const unsigned short port : _plan.words.ports) {
        _guard->AllowPort(port);
    }
    _maker = std::make_unique<LineMaker>(_plan.words, *_guard, _random);
    for (std::size_t i = 0; i < _plan.targets.size(); ++i) {
        _targets.push_back(
            std::make_unique<Target>(_plan.targets[i], *_maker, _tls, _plan.code, datagrams[i], _random));
    }
    return true;
}

void Fuzz::Tick(double now) {
    if (_finishedAt >= 0) {
        for (auto& probe : _probes) {
            probe->Tick();
        }
        return;
    }
    for (auto& target : _targets) {
        target->Tick(now);
    }
}

void Fuzz::Finish(double now) {
    if (_finishedAt >= 0) {
        return;
    }
    _finishedAt = now;
    for (auto& target : _targets) {
        target->Stop();
        _probes.push_back(std::make_unique<Probe>(target->Plan().port));
    }
}

bool Fuzz::Probed(double now) const {
    if (_finishedAt < 0) {
        return false;
    }
    if (now - _finishedAt > kProbeWait) {
        return true;
    }
    for (const auto& probe : _probes) {
        if (!probe->Answered()) {
            return false;
        }
    }
    return true;
}

std::string Fuzz::Status() const {
    FuzzCounts all;
    for (const auto& target : _targets) {
        all.Add(target->Counts());
    }
    char text[256];
    std::snprintf(text, sizeof text, "fuzz lines %llu, datagrams %llu, sessions %llu (TLS %llu), answers read %llu",
                  static_cast<unsigned long long>(all.lines), static_cast<unsigned long long>(all.datagrams),
                  static_cast<unsigned long long>(all.sessions), static_cast<unsigned long long>(all.tlsOk),
                  static_cast<unsigned long long>(all.linesRead));
    return text;
}

std::vector<std::string> Fuzz::Print(std::FILE* out) const {
    std::fprintf(out, "\n%-10s %10s %10s %9s %8s %8s %7s %7s %10s %8s %7s %s\n", "fuzzed", "lines", "MB", "datagrams",
                 "sessions", "refused", "TLS ok", "proofs", "read back", "cut", "stalled", "answers a get after");
    std::vector<std::string> failed;
    for (std::size_t i = 0; i < _targets.size(); ++i) {
        const FuzzCounts& c = _targets[i]->Counts();
        const bool answered = i < _probes.size() && _probes[i]->Answered();
        const auto n = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
        std::fprintf(out, "%-10s %10llu %10.1f %9llu %8llu %8llu %7llu %7llu %10llu %8llu %7llu %s\n",
                     _targets[i]->Plan().name.c_str(), n(c.lines), static_cast<double>(c.bytes) / 1e6,
                     n(c.datagrams), n(c.sessions), n(c.refused), n(c.tlsOk), n(c.proofs), n(c.linesRead),
                     n(c.closedByNode), n(c.stalled), answered ? "yes" : "NO");
        if (!answered) {
            failed.push_back(_targets[i]->Plan().name + " did not answer a get after the fuzz");
        }
    }
    if (_maker) {
        std::fprintf(out, "lines made %llu, of them longer than 64 KiB %llu; 'cut': sessions the node ended first\n",
                     static_cast<unsigned long long>(_maker->Made()), static_cast<unsigned long long>(_maker->Long()));
    }
    for (std::size_t i = 0; i < _probes.size(); ++i) {
        if (_probes[i]->Answered()) {
            std::fprintf(out, "  %s: %s\n", _targets[i]->Plan().name.c_str(), _probes[i]->Answer().c_str());
        }
    }
    return failed;
}

}  // namespace ZelkorSoak
