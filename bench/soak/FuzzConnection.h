#pragma once
// One hostile peer's connection to a node, driven a step at a time without ever blocking.
// It connects; over TLS it first asks "starttls" in plain text, makes the handshake as a
// client once the node agrees, and proves the code when its source gives a proof. Then it
// writes the lines its source makes as fast as the node takes them, reading (and counting)
// whatever comes back, so that the node's own writes never stall. After its share of lines
// it closes, now and then in the middle of a line, or after sitting quiet a while; the
// next step connects anew. A connection that moves no byte for 15 s is closed as stalled.
//
// Ownership: owns its socket and TLS session. Threads: the run's one thread.

#include <openssl/ssl.h>

#include <cstdint>
#include <random>
#include <string>

namespace ZelkorSoak {

// Where a connection's lines come from.
class LineSource {
public:
    virtual ~LineSource() = default;
    virtual std::string NextLine() = 0;
    // The "authenticate" line a new TLS session sends first; empty: it proves nothing.
    virtual std::string ProofLine() = 0;
};

struct FuzzCounts {
    std::uint64_t sessions = 0;
    std::uint64_t refused = 0;        // connections the node did not accept
    std::uint64_t tlsOk = 0;
    std::uint64_t tlsFailed = 0;      // "starttls" refused or the handshake failed
    std::uint64_t proofs = 0;
    std::uint64_t lines = 0;          // written whole
    std::uint64_t bytes = 0;
    std::uint64_t linesRead = 0;      // lines the node sent back
    std::uint64_t closedByNode = 0;   // sessions the node ended before its share was written
    std::uint64_t stalled = 0;
    std::uint64_t datagrams = 0;
    std::uint64_t datagramsRead = 0;

    void Add(const FuzzCounts& other);
};

class FuzzConnection {
public:
    enum class Kind { Plain, Tls };

    FuzzConnection(Kind kind, unsigned short port, SSL_CTX* tls, std::mt19937_64& random);
    ~FuzzConnection();
    FuzzConnection(const FuzzConnection&) = delete;
    FuzzConnection& operator=(const FuzzConnection&) = delete;

    void Tick(double now, LineSource& source, FuzzCounts& counts);
    void Close();

private:
    enum class State { Idle, Connecting, AwaitStartTls, Handshake, Quiet, Writing };

    void connect(double now, FuzzCounts& counts);
    void startSession(double now, FuzzCounts& counts);
    // False once the connection has ended (it is closed then).
    bool flush(FuzzCounts& counts);
    bool drain(FuzzCounts& counts);
    void end(double now, double pause);

    const Kind _kind;
    const unsigned short _port;
    SSL_CTX* const _tls;
    std::mt19937_64& _random;
    State _state = State::Idle;
    int _fd = -1;
    SSL* _ssl = nullptr;
    std::string _out;
    std::size_t _written = 0;
    // Lines of the current session still to make; the pending line's length in _out.
    unsigned _share = 0;
    bool _cutAtEnd = false;
    std::string _heard;
    double _nextTry = 0;
    double _quietUntil = 0;
    double _lastProgress = 0;
};

}  // namespace ZelkorSoak
