#pragma once
// One node of the run: what it is (role, name, port, options of its own), the folder it
// runs in, and its current process. A node lives through several processes when faults
// kill or restart it: each start is a new incarnation, in the same folder, on the same
// port, with the same options. Every line it prints but its transfers' progress is kept
// in events.jsonl in its folder, after the second it came; its log goes to node.log there.
//
// Ownership: the run owns its nodes; a node owns its process. Threads: the run's one
// thread.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "File.h"
#include "Resources.h"
#include "RunnerProcess.h"

namespace ZelkorSoak {

enum class Role { Device, Router, Controller };

struct NodeSpec {
    std::string name;
    Role role = Role::Device;
    unsigned short port = 0;
    // A fixed GUID; empty: the runner makes a new one at every start (a replaced unit).
    std::string guid;
    // The options of this node's role and place (routes, code, storage root, ...).
    std::vector<std::string> options;
};

class Node {
public:
    // What the run asked of the node, so that an exit can be told expected or not.
    enum class Phase { Down, Running, Frozen, Stopping, Killed };
    using LineHandler = std::function<void(const Json::Value& event, const std::string& line)>;

    Node(NodeSpec spec, std::string folder);
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const NodeSpec& Spec() const { return _spec; }
    const std::string& Name() const { return _spec.name; }
    const std::string& Folder() const { return _folder; }
    Phase State() const { return _phase; }
    // Up and reading its commands.
    bool Serving() const { return _phase == Phase::Running; }
    unsigned Incarnation() const { return _incarnation; }
    unsigned Restarts() const { return _incarnation > 0 ? _incarnation - 1 : 0; }
    pid_t Pid() const { return _process.Pid(); }
    std::size_t Backlog() const { return _process.Backlog(); }

    // Each event line, parsed (null when it was no JSON object), with its text.
    void OnLine(LineHandler handler) { _onLine = std::move(handler); }

    // Starts a new incarnation: `program` with the node's options after `common`.
    bool Start(const std::string& program, const std::vector<std::string>& common, double now, std::string& error);
    // Sends one command; dropped while the node is not serving.
    void Send(const Json::Value& command);
    void Kill();
    void Terminate();
    void Freeze();
    void Thaw();

    // The loop's part: descriptors to watch, what they showed, and the end of a process.
    RunnerProcess& Process() { return _process; }
    void Readable(double now);
    // The exit code once the process has ended and its output has been read to the end;
    // the node is Down from then on. `asked` tells whether the run ended it.
    bool Ended(int& exitCode, bool& asked);
    // The last lines of node.log, for a report of a node that ended by itself.
    std::string LogTail(std::size_t lines) const;

    // Samples its process, if one runs; false when none does.
    bool Sample(bool first);
    const Resources& Usage() const { return _usage; }

private:
    NodeSpec _spec;
    std::string _folder;
    RunnerProcess _process;
    Phase _phase = Phase::Down;
    unsigned _incarnation = 0;
    bool _outputEnded = false;
    LineHandler _onLine;
    File _events;
    Resources _usage;
};

const char* RoleName(Role role);

}  // namespace ZelkorSoak
