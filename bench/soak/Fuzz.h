#pragma once
// The hostile load of `--mode fuzz`: against each node it is given, four plain and two
// TLS connections and one datagram socket, all on loopback, write mutated well-formed
// lines of every word (LineMaker) for as long as the load runs, each connection closing
// and coming back after its share. The TLS connections of a node that holds the code
// mostly prove it first, so that the words a proof opens are reached too.
//
// When the load ends, each node is asked, over a new plain connection, for its name
// ("get"): a node that does not answer within 20 s fails the run, as one that ended.
//
// Ownership: owns its connections, sockets and TLS context. Threads: the run's one thread.

#include <openssl/ssl.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FuzzConnection.h"
#include "FuzzLines.h"
#include "HostGuard.h"

namespace ZelkorSoak {

struct FuzzTarget {
    std::string name;
    unsigned short port = 0;
    // The node's folder (where its relative paths lead) and its storage root.
    std::string folder;
    std::string root;
    bool holdsCode = false;
};

struct FuzzPlan {
    std::vector<FuzzTarget> targets;
    std::string runDir;
    // Paths no line may name (see HostGuard).
    std::vector<std::string> kept;
    FuzzWords words;
    // The code of the nodes that hold one.
    std::string code;
};

class Fuzz {
public:
    Fuzz(FuzzPlan plan, std::mt19937_64& random);
    ~Fuzz();
    Fuzz(const Fuzz&) = delete;
    Fuzz& operator=(const Fuzz&) = delete;

    // Opens the datagram sockets and the TLS context; false, with `error`, when it cannot.
    bool Start(std::string& error);
    // One step of every connection and socket.
    void Tick(double now);
    // Ends every connection, then asks each node for its name.
    void Finish(double now);
    // Every node has answered the question of Finish, or the time for it is up.
    bool Probed(double now) const;

    // One line for the status printed while the load runs.
    std::string Status() const;
    // The fuzz's table; its failures (nodes that did not answer), as texts.
    std::vector<std::string> Print(std::FILE* out) const;

private:
    class Target;
    class Probe;

    FuzzPlan _plan;
    std::mt19937_64& _random;
    std::unique_ptr<HostGuard> _guard;
    std::unique_ptr<LineMaker> _maker;
    SSL_CTX* _tls = nullptr;
    std::vector<std::unique_ptr<Target>> _targets;
    std::vector<std::unique_ptr<Probe>> _probes;
    double _finishedAt = -1;
};

}  // namespace ZelkorSoak
