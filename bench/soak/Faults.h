#pragma once
// The faults injected while the load runs, one at a time, a random pause between them:
//   - kill -9 of a controller in the middle of a transfer (of any, if none is under way
//     within half a minute), started again a few seconds later;
//   - kill -9 of a device, started again a few seconds later;
//   - SIGSTOP of a device for 5 to 30 s, then SIGCONT;
//   - a restart of a device (SIGTERM, started again);
//   - a restart of the router (SIGTERM, started again under a new GUID), never sooner than
//     the late bound and 10 s after the fault before it ended (it would answer what that
//     fault left waiting behind the router, and hide it).
// The kinds come in a shuffled round, each once per round. What is started again has the
// node's folder, port and options.
//
// Threads: the run's one thread.

#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Node.h"

namespace ZelkorSoak {

// What the faults ask of the run.
class NodeControl {
public:
    virtual ~NodeControl() = default;
    virtual std::vector<Node*> Devices() = 0;
    virtual std::vector<Node*> Controllers() = 0;
    virtual Node& Router() = 0;
    // How far the controller's transfer under way has come, in percent.
    virtual std::optional<double> TransferPercent(const Node& controller) = 0;
    // Starts a node that is down again.
    virtual void Restart(Node& node) = 0;
    // A fault begins on `node` (`ends`: its process ends with it), or ends (it runs again).
    virtual void FaultBegins(Node& node, bool ends) = 0;
    virtual void FaultEnds(Node& node) = 0;
};

class Faults {
public:
    // The first fault comes a while after `now`.
    Faults(NodeControl& nodes, std::mt19937_64& random, double now);

    void Tick(double now);
    // The load is over: a node down or stopped is brought back at once, and no fault follows.
    void Finish(double now);
    // Faults begun, by kind.
    const std::map<std::string, unsigned>& Counts() const { return _counts; }

private:
    enum class Kind { KillController, KillDevice, StopDevice, RestartDevice, RestartRouter };
    enum class Stage { Pause, Choosing, Down, Stopped };

    void begin(double now);
    void apply(Node& node, double now);
    void restore(double now);
    double between(double lowest, double highest);
    static const char* nameOf(Kind kind);

    NodeControl& _nodes;
    std::mt19937_64& _random;
    std::vector<Kind> _round;
    Kind _kind = Kind::KillController;
    Stage _stage = Stage::Pause;
    Node* _node = nullptr;
    double _until = 0;
    // When the last fault ended (its node back, or running again).
    double _lastEnded;
    // A node asked to stop that has not within this time is killed.
    double _killAt = 0;
    bool _finished = false;
    std::map<std::string, unsigned> _counts;
};

}  // namespace ZelkorSoak
