#pragma once
// The run: it lays out the nodes on loopback ports, each in a folder of its own under the
// run folder, starts them, drives them through one poll loop (their output, their input,
// the schedule), and goes through its phases:
//   set-up     devices, then the router, then the controllers, each once it serves;
//   connect    the controllers connect every device (bounded);
//   load       checked values, subscriptions and transfers, with faults injected (with
//              --mode fuzz: the hostile lines of Fuzz against the devices and the
//              router, which run without controllers and without faults, their memory
//              judged by MemoryBound);
//   drain      no new request; what was stopped or down comes back; the last answers
//              are awaited (bounded by --drain);
//   report     the table, then every node is stopped.
// A node that ends without being asked to is counted and started again. The whole run
// lives in a network namespace of its own (OwnNetwork.h).
//
// Ownership: the run owns its nodes, controllers and accounts. Threads: one; every wait
// is a pass of the loop with a deadline.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Controller.h"
#include "Faults.h"
#include "File.h"
#include "Findings.h"
#include "Fuzz.h"
#include "Ledger.h"
#include "MemoryBound.h"
#include "MemoryCurve.h"
#include "Node.h"
#include "Options.h"
#include "Outsiders.h"
#include "PublishesOwed.h"
#include "RunClock.h"

namespace ZelkorSoak {

class Soak : public NodeControl {
public:
    explicit Soak(Options options);
    ~Soak() override;
    Soak(const Soak&) = delete;
    Soak& operator=(const Soak&) = delete;

    // The exit code: 0 passed, 1 faults found, 2 the set-up failed.
    int Run();

    std::vector<Node*> Devices() override;
    std::vector<Node*> Controllers() override;
    Node& Router() override;
    std::optional<double> TransferPercent(const Node& controller) override;
    void Restart(Node& node) override;
    void FaultBegins(Node& node, bool ends) override;
    void FaultEnds(Node& node) override;

private:
    bool layOut(std::string& error);
    bool startAll(std::string& error);
    bool start(Node& node, std::string& error);
    bool awaitServing(const std::vector<Node*>& nodes, std::string& error);
    void connectAll();
    void load();
    void drain();
    void stopAll();
    int report();

    // Runs the loop until `done` or for `seconds`, whichever comes first.
    void pump(double seconds, const std::function<bool()>& done);
    void step(double now);
    void line(Node& node, const Json::Value& event, const std::string& text);
    void ended(Node& node, int exitCode, bool asked, double now);
    void status(double now);
    // Samples every node's memory and descriptors, each sample a line of usage.tsv.
    void sample(bool first);
    Controller* controllerOf(const Node& node);
    bool startFuzz(std::string& error);

    Options _options;
    RunClock _clock;
    // The faults draw from a sequence of their own, so that a seed repeats the schedule
    // (kinds, times, lengths) whatever the timing of the load, which draws from the other.
    std::mt19937_64 _faultRandom;
    std::mt19937_64 _random;
    std::string _runDir;
    std::string _tree;
    std::vector<std::string> _treePaths;
    File _usage;
    int _signals = -1;
    unsigned _interrupts = 0;
    double _now = 0;
    double _loadStart = 0;
    double _loadEnd = 0;
    bool _settingUp = true;
    bool _loading = false;

    std::vector<std::unique_ptr<Node>> _nodes;
    std::vector<Node*> _devices;
    Node* _router = nullptr;
    std::vector<Target> _targets;
    std::vector<std::unique_ptr<Controller>> _controllers;
    std::set<const Node*> _listening;
    std::map<Node*, double> _restartAt;

    Ledger _ledger;
    Findings _findings;
    PublishesOwed _owed;
    std::unique_ptr<Faults> _faults;
    std::unique_ptr<Fuzz> _fuzz;
    MemoryCurve _curve;
    MemoryBound _bound;
    Outsiders _outsiders;
    double _nextBeat = 0;
    unsigned _beat = 0;
    // Per device, the beats written and not yet answered, each with when it was written.
    std::map<const Node*, std::deque<std::pair<std::string, double>>> _beats;
    double _nextSample = 0;
    double _nextStatus = 0;
};

}  // namespace ZelkorSoak
