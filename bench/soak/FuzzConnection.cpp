#include "FuzzConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ZelkorSoak {
namespace {

// Seconds without a byte moved before a connection counts as stalled.
constexpr double kStall = 15;
// What is queued for the node at most; lines made per step at most.
constexpr std::size_t kPending = 64 * 1024;
constexpr unsigned kLinesPerStep = 48;
constexpr std::size_t kHeard = 64 * 1024;
// The shares of lines a session writes before it closes.
const unsigned kShares[] = {20, 100, 500, 2000};

}  // namespace

void FuzzCounts::Add(const FuzzCounts& other) {
    sessions += other.sessions;
    refused += other.refused;
    tlsOk += other.tlsOk;
    tlsFailed += other.tlsFailed;
    proofs += other.proofs;
    lines += other.lines;
    bytes += other.bytes;
    linesRead += other.linesRead;
    closedByNode += other.closedByNode;
    stalled += other.stalled;
    datagrams += other.datagrams;
    datagramsRead += other.datagramsRead;
}

FuzzConnection::FuzzConnection(Kind kind, unsigned short port, SSL_CTX* tls, std::mt19937_64& random)
    : _kind(kind), _port(port), _tls(tls), _random(random) {}

FuzzConnection::~FuzzConnection() { Close(); }

void FuzzConnection::Close() {
    if (_ssl) {
        SSL_free(_ssl);
        _ssl = nullptr;
    }
    if (_fd >= 0) {
        ::close(_fd);
        _fd = -1;
    }
    _out.clear();
    _written = 0;
    _heard.clear();
    _state = State::Idle;
}

void FuzzConnection::end(double now, double pause) {
    Close();
    _nextTry = now + pause;
}

void FuzzConnection::connect(double now, FuzzCounts& counts) {
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_fd < 0) {
        _nextTry = now + 1;
        return;
    }
    const int on = 1;
    ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(_port);
    if (::connect(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        ++counts.refused;
        end(now, 0.5);
        return;
    }
    _state = State::Connecting;
    _lastProgress = now;
}

void FuzzConnection::startSession(double now, FuzzCounts& counts) {
    ++counts.sessions;
    _share = kShares[_random() % (sizeof kShares / sizeof kShares[0])];
    _cutAtEnd = _random() % 20 == 0;
    if (_kind == Kind::Tls) {
        _out = "starttls {}\n";
        _state = State::AwaitStartTls;
    } else if (_random() % 30 == 0) {
        // A peer that connects and says nothing for a while.
        _quietUntil = now + 2 + static_cast<double>(_random() % 7);
        _state = State::Quiet;
    } else {
        _state = State::Writing;
    }
}

bool FuzzConnection::flush(FuzzCounts& counts) {
    while (_written < _out.size()) {
        const std::size_t length = std::min<std::size_t>(_out.size() - _written, 256 * 1024);
        if (_ssl) {
            const int wrote = SSL_write(_ssl, _out.data() + _written, static_cast<int>(length));
            if (wrote <= 0) {
                const int error = SSL_get_error(_ssl, wrote);
                return error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ;
            }
            _written += static_cast<std::size_t>(wrote);
            counts.bytes += static_cast<std::uint64_t>(wrote);
        } else {
            const ssize_t wrote = ::send(_fd, _out.data() + _written, length, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (wrote < 0) {
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            }
            _written += static_cast<std::size_t>(wrote);
            counts.bytes += static_cast<std::uint64_t>(wrote);
        }
    }
    _out.clear();
    _written = 0;
    return true;
}

bool FuzzConnection::drain(FuzzCounts& counts) {
    char buffer[65536];
    for (int round = 0; round < 16; ++round) {
        ssize_t got = 0;
        if (_ssl) {
            const int read = SSL_read(_ssl, buffer, sizeof buffer);
            if (read <= 0) {
                const int error = SSL_get_error(_ssl, read);
                return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
            }
            got = read;
        } else {
            got = ::recv(_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0) {
                return false;
            }
            if (got < 0) {
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            }
        }
        counts.linesRead += static_cast<std::uint64_t>(std::count(buffer, buffer + got, '\n'));
        if (_state == State::AwaitStartTls && _heard.size() < kHeard) {
            _heard.append(buffer, static_cast<std::size_t>(got));
        }
    }
    return true;
}

void FuzzConnection::Tick(double now, LineSource& source, FuzzCounts& counts) {
    if (_state == State::Idle) {
        if (now < _nextTry) {
            return;
        }
        connect(now, counts);
        if (_state == State::Idle) {
            return;
        }
    }
    if (_state == State::Connecting) {
        pollfd watched{_fd, POLLOUT, 0};
        if (::poll(&watched, 1, 0) <= 0) {
            if (now - _lastProgress > kStall) {
                ++counts.stalled;
                end(now, 0.5);
            }
            return;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(_fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            ++counts.refused;
            end(now, 0.5);
            return;
        }
        _lastProgress = now;
        startSession(now, counts);
    }
    const std::size_t before = counts.bytes + counts.linesRead;
    if (_state == State::Handshake) {
        const int done = SSL_connect(_ssl);
        if (done == 1) {
            ++counts.tlsOk;
            _lastProgress = now;
            const std::string proof = source.ProofLine();
            if (!proof.empty()) {
                ++counts.proofs;
                _out = proof + "\n";
            }
            _state = State::Writing;
        } else {
            const int error = SSL_get_error(_ssl, done);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                ++counts.tlsFailed;
                end(now, 0.2);
                return;
            }
        }
    }
    if (_state == State::Quiet && now >= _quietUntil) {
        _state = State::Writing;
    }
    if (_state == State::Writing) {
        for (unsigned made = 0; made < kLinesPerStep && _share > 0 && _out.size() - _written < kPending; ++made) {
            _out += source.NextLine();
            _out += '\n';
            ++counts.lines;
            --_share;
        }
        if (_share == 0 && _cutAtEnd) {
            const std::string line = source.NextLine();
            _out += line.substr(0, line.size() / 2);
            _cutAtEnd = false;
        }
    }
    if (!flush(counts) || !drain(counts)) {
        if (_state == State::AwaitStartTls || _state == State::Handshake) {
            ++counts.tlsFailed;
        } else {
            ++counts.closedByNode;
        }
        end(now, 0.1);
        return;
    }
    if (_state == State::AwaitStartTls) {
        const auto reply = _heard.find("@starttls");
        if (reply != std::string::npos) {
            const auto lineEnd = _heard.find('\n', reply);
            if (lineEnd == std::string::npos) {
                return;
            }
            if (_heard.compare(reply, lineEnd - reply, "@starttls {}") != 0 &&
                _heard.compare(reply, lineEnd - reply, "@starttls") != 0) {
                ++counts.tlsFailed;
                end(now, 0.5);
                return;
            }
            _ssl = SSL_new(_tls);
            SSL_set_fd(_ssl, _fd);
            SSL_set_connect_state(_ssl);
            _state = State::Handshake;
            _lastProgress = now;
        }
    }
    if (counts.bytes + counts.linesRead != before) {
        _lastProgress = now;
    }
    if (_state == State::Writing && _share == 0 && _out.empty()) {
        end(now, 0);
        return;
    }
    if (_state != State::Quiet && now - _lastProgress > kStall) {
        ++counts.stalled;
        end(now, 0.5);
    }
}

}  // namespace ZelkorSoak
