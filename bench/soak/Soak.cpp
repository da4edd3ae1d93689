#include "Soak.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>

#include "Files.h"
#include "FuzzLines.h"
#include "HostGuard.h"
#include "Json.h"
#include "OwnNetwork.h"
#include "Report.h"
#include "Topology.h"

namespace ZelkorSoak {
namespace {

// Seconds: how long a node started may take to serve its port; how long the controllers
// may take to connect every device before the load starts anyway; the pause before a node
// that ended by itself is started again; how long the nodes may take to stop at the end.
constexpr double kServeWait = 20;
constexpr double kConnectWait = 120;
constexpr double kRestartPause = 3;
constexpr double kStopWait = 15;

bool makeFolder(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// Missing, or without any entry.
bool emptyFolder(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        return errno == ENOENT;
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

}  // namespace

Soak::Soak(Options options)
    : _options(std::move(options)), _faultRandom(_options.seed), _random(_options.seed ^ 0x5eed5eed5eed5eedULL) {}

Soak::~Soak() {
    _controllers.clear();
    _nodes.clear();
    if (_signals >= 0) {
        ::close(_signals);
    }
}

std::vector<Node*> Soak::Devices() { return _devices; }

std::vector<Node*> Soak::Controllers() {
    std::vector<Node*> nodes;
    for (const auto& controller : _controllers) {
        nodes.push_back(&controller->Process());
    }
    return nodes;
}

Node& Soak::Router() { return *_router; }

Controller* Soak::controllerOf(const Node& node) {
    for (const auto& controller : _controllers) {
        if (&controller->Process() == &node) {
            return controller.get();
        }
    }
    return nullptr;
}

std::optional<double> Soak::TransferPercent(const Node& controller) {
    Controller* found = controllerOf(controller);
    return found ? found->TransferPercent() : std::nullopt;
}

int Soak::Run() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    _signals = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);

    std::string error;
    if (!EnterOwnNetwork(error)) {
        std::fprintf(stderr, "zelkor_soak: %s\n", error.c_str());
        return 2;
    }
    if (!layOut(error) || !startAll(error)) {
        std::fprintf(stderr, "zelkor_soak: %s\n", error.c_str());
        stopAll();
        return 2;
    }
    _settingUp = false;
    if (_options.mode == Mode::Fuzz) {
        if (!startFuzz(error)) {
            std::fprintf(stderr, "zelkor_soak: %s\n", error.c_str());
            stopAll();
            return 2;
        }
    } else {
        connectAll();
    }
    load();
    drain();
    const int code = report();
    stopAll();
    return code;
}

bool Soak::layOut(std::string& error) {
    if (_options.runDir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zelkor-soak-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            error = "cannot make a folder " + pattern + ": " + std::strerror(errno);
            return false;
        }
        _runDir = pattern;
    } else {
        _runDir = _options.runDir;
        if (!makeFolder(_runDir, error)) {
            return false;
        }
        if (!emptyFolder(_runDir)) {
            error = "the run folder " + _runDir + " is not empty (it may hold an earlier run)";
            return false;
        }
    }
    char real[PATH_MAX];
    if (::realpath(_runDir.c_str(), real)) {
        _runDir = real;
    }

    Topology topology;
    _tree = _runDir + "/soak-tree.json";
    if (!LayOut(_runDir, _tree, _options.mode == Mode::Fuzz, topology, error)) {
        return false;
    }
    _treePaths = topology.treePaths;
    std::ofstream(_tree) << topology.tree;
    _usage.reset(std::fopen((_runDir + "/usage.tsv").c_str(), "w"));
    if (!_usage) {
        error = "cannot write " + _runDir + "/usage.tsv";
        return false;
    }
    std::fputs("second\tnode\tpid\trss_kb\tdescriptors\n", _usage.get());

    // A node's log as a long run of the fuzz leaves it: rows of the fuzz's own "log" lines,
    // of the sizes those take, so that the rows the load adds replace their like.
    FuzzWords words;
    std::vector<const NodeSpec*> specs{&topology.router};
    for (const auto& spec : topology.devices) {
        specs.push_back(&spec);
    }
    for (const auto& plan : topology.controllers) {
        specs.push_back(&plan.spec);
    }
    for (const NodeSpec* spec : specs) {
        words.nodeNames.push_back(spec->name);
        words.ports.push_back(spec->port);
        if (!spec->guid.empty()) {
            words.guids.push_back(spec->guid);
        }
    }
    words.treePaths = _treePaths;
    const HostGuard rowGuard(_runDir, {});
    std::mt19937_64 rowRandom(_options.seed ^ 0x6c6f67726f777321ULL);
    LineMaker rows(std::move(words), rowGuard, rowRandom);

    const auto add = [&](const NodeSpec& spec) -> Node* {
        const std::string folder = _runDir + "/" + spec.name;
        if (!makeFolder(folder, error) || !makeFolder(folder + "/files", error)) {
            return nullptr;
        }
        const auto row = [&rows, root = folder + "/files"] { return rows.EventRow(root); };
        if (_options.eventLogRows > 0 && !WriteEventLog(folder + "/event.log", _options.eventLogRows, row)) {
            error = "cannot write " + folder + "/event.log";
            return nullptr;
        }
        _nodes.push_back(std::make_unique<Node>(spec, folder));
        Node* node = _nodes.back().get();
        node->OnLine([this, node](const Json::Value& event, const std::string& text) { line(*node, event, text); });
        return node;
    };
    for (const auto& spec : topology.devices) {
        Node* node = add(spec);
        if (!node) {
            return false;
        }
        _devices.push_back(node);
        _targets.push_back({spec.name, spec.guid, spec.port, node->Folder() + "/files"});
        _outsiders.Member(spec.guid);
    }
    if (!(_router = add(topology.router))) {
        return false;
    }
    std::vector<std::string> subscribable{"/soak/beat"};
    for (std::size_t i = 0; i < topology.controllers.size(); ++i) {
        subscribable.push_back(CheckedPath(i));
    }
    for (std::size_t i = 0; i < topology.controllers.size(); ++i) {
        const ControllerPlan& plan = topology.controllers[i];
        Node* node = add(plan.spec);
        if (!node) {
            return false;
        }
        std::vector<Target> targets;
        for (const std::size_t device : plan.devices) {
            targets.push_back(_targets[device]);
        }
        _controllers.push_back(std::make_unique<Controller>(*node, plan.routed, kRouterName, std::move(targets),
                                                            CheckedPath(i), subscribable, _ledger, _findings,
                                                            _owed, _random));
    }
    std::printf("zelkor_soak: %sseed %llu, %.1f min, timer scale %u, run folder %s; a network namespace of its own\n",
                _options.mode == Mode::Fuzz ? "fuzz, " : "", static_cast<unsigned long long>(_options.seed),
                _options.minutes, _options.timerScale, _runDir.c_str());
    for (const auto& node : _nodes) {
        std::printf("  %-16s %-10s 127.0.0.1:%u%s\n", node->Name().c_str(), RoleName(node->Spec().role),
                    node->Spec().port, node->Spec().guid.empty() ? "" : ("  " + node->Spec().guid).c_str());
    }
    std::fflush(stdout);
    return true;
}

bool Soak::start(Node& node, std::string& error) {
    const std::vector<std::string> common{"--timer-scale", std::to_string(_options.timerScale)};
    _listening.erase(&node);
    if (!node.Start(_options.node, common, _now, error)) {
        error = node.Name() + ": " + error;
        return false;
    }
    if (Controller* controller = controllerOf(node)) {
        controller->Started(_now);
    }
    if (node.Spec().role == Role::Device) {
        _beats[&node].clear();
        for (const auto& controller : _controllers) {
            controller->DeviceRestarted(node.Spec().guid);
        }
    }
    return true;
}

void Soak::Restart(Node& node) {
    std::string error;
    if (!start(node, error)) {
        std::printf("%9.1f s  cannot start %s again: %s\n", _now, node.Name().c_str(), error.c_str());
        _restartAt[&node] = _now + kRestartPause;
    } else {
        std::printf("%9.1f s  %s started again%s\n", _now, node.Name().c_str(),
                    node.Spec().guid.empty() ? " (a new GUID)" : "");
    }
    std::fflush(stdout);
}

void Soak::FaultBegins(Node& node, bool ends) { _owed.FaultBegins(node.Name(), ends, _now); }

void Soak::FaultEnds(Node& node) { _owed.FaultEnds(node.Name(), _now); }

bool Soak::awaitServing(const std::vector<Node*>& nodes, std::string& error) {
    const auto settled = [&] {
        for (Node* node : nodes) {
            if (node->State() == Node::Phase::Down || _listening.count(node) == 0) {
                return node->State() == Node::Phase::Down;
            }
        }
        return true;
    };
    pump(kServeWait, [&] { return settled() || _interrupts > 0; });
    if (_interrupts > 0) {
        error = "interrupted while the nodes were starting";
        return false;
    }
    for (Node* node : nodes) {
        if (_listening.count(node) == 0) {
            const std::string why = node->State() == Node::Phase::Down
                                        ? std::string(" (it ended)")
                                        : " after " + std::to_string(static_cast<int>(kServeWait)) + " s";
            error = node->Name() + " does not serve 127.0.0.1:" + std::to_string(node->Spec().port) + why +
                    "; its log:\n" + node->LogTail(10) + "its lines: " + node->Folder() + "/events.jsonl";
            return false;
        }
    }
    return true;
}

bool Soak::startAll(std::string& error) {
    for (Node* device : _devices) {
        if (!start(*device, error)) {
            return false;
        }
    }
    if (!awaitServing(_devices, error) || !start(*_router, error) || !awaitServing({_router}, error)) {
        return false;
    }
    const std::vector<Node*> controllers = Controllers();
    for (Node* controller : controllers) {
        if (!start(*controller, error)) {
            return false;
        }
    }
    return awaitServing(controllers, error);
}

void Soak::connectAll() {
    const double begun = _now;
    const auto connected = [&] {
        for (const auto& controller : _controllers) {
            if (!controller->AllConnected()) {
                return false;
            }
        }
        return true;
    };
    pump(kConnectWait, [&] { return connected() || _interrupts > 0; });
    if (connected()) {
        std::printf("%9.1f s  every controller has its devices Connected (%.1f s)\n", _now, _now - begun);
    } else {
        std::printf("%9.1f s  not every device is Connected after %.0f s; the load starts anyway\n", _now,
                    kConnectWait);
        for (const auto& controller : _controllers) {
            if (!controller->AllConnected()) {
                std::printf("             %s: %s\n", controller->Process().Name().c_str(),
                            controller->NotConnected().c_str());
            }
        }
    }
    std::fflush(stdout);
}

bool Soak::startFuzz(std::string& error) {
    FuzzPlan plan;
    plan.runDir = _runDir;
    plan.code = kCode;
    plan.kept = {_runDir + "/usage.tsv", _tree};
    for (const auto& node : _nodes) {
        plan.words.nodeNames.push_back(node->Name());
        if (!node->Spec().guid.empty()) {
            plan.words.guids.push_back(node->Spec().guid);
        }
        for (const char* file : {"events.jsonl", "node.log", "event.log", "zlkrdev.log", "files"}) {
            plan.kept.push_back(node->Folder() + "/" + file);
        }
        const auto& options = node->Spec().options;
        FuzzTarget target;
        target.name = node->Name();
        target.port = node->Spec().port;
        target.folder = node->Folder();
        target.root = node->Folder() + "/files";
        target.holdsCode = std::find(options.begin(), options.end(), "--code") != options.end();
        plan.targets.push_back(target);
    }
    plan.words.treePaths = _treePaths;
    _fuzz = std::make_unique<Fuzz>(std::move(plan), _random);
    return _fuzz->Start(error);
}

void Soak::load() {
    _loadStart = _now;
    sample(true);
    if (!_fuzz) {
        _faults = std::make_unique<Faults>(*this, _faultRandom, _now);
    }
    _loading = true;
    std::printf("%9.1f s  load begins for %.1f min\n", _now, _options.minutes);
    std::fflush(stdout);
    pump(_options.minutes * 60, [this] { return _interrupts > 0; });
    _loading = false;
    _loadEnd = _now;
}

void Soak::drain() {
    std::printf("%9.1f s  load ends; draining (at most %u s)\n", _now, _options.drainSeconds);
    std::fflush(stdout);
    if (_fuzz) {
        _fuzz->Finish(_now);
        pump(_options.drainSeconds, [this] { return _fuzz->Probed(_now) || _interrupts > 1; });
        return;
    }
    _faults->Finish(_now);
    const auto settled = [this] {
        for (const auto& node : _nodes) {
            if (!node->Serving()) {
                return false;
            }
        }
        return _ledger.Waiting() == 0;
    };
    pump(_options.drainSeconds, [&] { return settled() || _interrupts > 1; });
}

int Soak::report() {
    sample(false);
    for (const auto& missing : _owed.Missing(_now)) {
        _findings.MissingPublish(missing);
    }
    ReportInput input;
    input.minutes = (_loadEnd - _loadStart) / 60;
    input.seed = _options.seed;
    input.timerScale = _options.timerScale;
    input.runDir = _runDir;
    input.endedAt = _now;
    input.ledger = &_ledger;
    input.findings = &_findings;
    input.fuzz = _fuzz.get();
    input.curve = &_curve;
    input.outsiders = _fuzz ? nullptr : &_outsiders;
    std::vector<MemoryBound::Verdict> memory;
    if (_fuzz) {
        std::vector<std::string> names;
        for (const auto& node : _nodes) {
            names.push_back(node->Name());
        }
        memory = _bound.Judge(names, _loadEnd - _loadStart);
        input.memory = &memory;
        if (_options.eventLogRows < kEventLogBound) {
            input.memoryNotJudged = "each node's event log started with " + std::to_string(_options.eventLogRows) +
                                    " of its " + std::to_string(kEventLogBound) +
                                    " rows, and its filling is part of the rise (--event-log)";
        }
    }
    const std::map<std::string, unsigned> none;
    input.faults = _faults ? &_faults->Counts() : &none;
    for (const auto& node : _nodes) {
        input.nodes.push_back(node.get());
    }
    return PrintReport(stdout, input).empty() ? 0 : 1;
}

void Soak::stopAll() {
    _restartAt.clear();
    for (auto node = _nodes.rbegin(); node != _nodes.rend(); ++node) {
        (*node)->Terminate();
    }
    const auto down = [this] {
        for (const auto& node : _nodes) {
            if (node->State() != Node::Phase::Down) {
                return false;
            }
        }
        return true;
    };
    pump(kStopWait, down);
    for (const auto& node : _nodes) {
        node->Kill();
    }
    pump(5, down);
}

void Soak::pump(double seconds, const std::function<bool()>& done) {
    const double until = _clock.Now() + seconds;
    std::vector<pollfd> watched;
    std::vector<std::pair<Node*, bool>> owners;
    for (;;) {
        _now = _clock.Now();
        step(_now);
        if (done() || _now >= until) {
            return;
        }
        watched.clear();
        owners.clear();
        for (const auto& node : _nodes) {
            RunnerProcess& process = node->Process();
            if (process.Output() >= 0) {
                watched.push_back({process.Output(), POLLIN, 0});
                owners.emplace_back(node.get(), false);
            }
            if (process.WantsFlush()) {
                watched.push_back({process.Input(), POLLOUT, 0});
                owners.emplace_back(node.get(), true);
            }
        }
        watched.push_back({_signals, POLLIN, 0});
        // Short enough for the checks' pace, long enough to leave the machine to the nodes.
        ::poll(watched.data(), watched.size(), 20);
        _now = _clock.Now();
        for (std::size_t i = 0; i < owners.size(); ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            auto [node, input] = owners[i];
            if (input) {
                node->Process().Flush();
            } else {
                node->Readable(_now);
            }
        }
        if (watched.back().revents != 0) {
            signalfd_siginfo info{};
            while (::read(_signals, &info, sizeof info) == sizeof info) {
                ++_interrupts;
                std::printf("%9.1f s  %s: %s\n", _now, strsignal(static_cast<int>(info.ssi_signo)),
                            _interrupts == 1 ? "the load ends now" : "the drain ends now");
                std::fflush(stdout);
            }
        }
        for (const auto& node : _nodes) {
            int exitCode = 0;
            bool asked = false;
            if (node->Ended(exitCode, asked)) {
                ended(*node, exitCode, asked, _now);
            }
        }
    }
}

void Soak::step(double now) {
    for (auto due = _restartAt.begin(); due != _restartAt.end();) {
        if (now >= due->second && due->first->State() == Node::Phase::Down) {
            Node& node = *due->first;
            due = _restartAt.erase(due);
            Restart(node);
            _owed.FaultEnds(node.Name(), now);
        } else {
            ++due;
        }
    }
    for (const auto& controller : _controllers) {
        controller->Tick(now, _loading);
    }
    if (_faults) {
        _faults->Tick(now);
    }
    if (_fuzz && (_loading || _loadEnd > 0)) {
        _fuzz->Tick(now);
    }
    if (now >= _nextBeat) {
        _nextBeat = now + 1;
        Json::Value write;
        write["cmd"] = "write";
        write["path"] = "/soak/beat";
        write["value"] = ++_beat;
        for (Node* device : _devices) {
            if (device->Serving()) {
                device->Send(write);
                _beats[device].emplace_back(ValueText(write["value"]), now);
            }
        }
        for (const auto& missing : _owed.Missing(now)) {
            _findings.MissingPublish(missing);
        }
    }
    if (now >= _nextSample) {
        _nextSample = now + 2;
        sample(false);
    }
    if (_loading && now >= _nextStatus) {
        if (_nextStatus > 0) {
            status(now);
        }
        _nextStatus = now + 30;
    }
}

void Soak::status(double now) {
    if (_fuzz) {
        std::string memory;
        for (const auto& node : _nodes) {
            char text[64];
            std::snprintf(text, sizeof text, "%s %.1f MB", node->Name().c_str(),
                          static_cast<double>(node->Usage().RssKb().end) / 1024);
            memory += (memory.empty() ? "" : ", ") + std::string(text);
        }
        std::printf("%9.1f s  %s; RSS %s\n", now, _fuzz->Status().c_str(), memory.c_str());
        std::fflush(stdout);
        return;
    }
    unsigned long made = 0;
    unsigned long late = 0;
    for (const auto& [cmd, totals] : _ledger.ByCommand()) {
        made += totals.made;
        late += totals.late;
    }
    std::printf("%9.1f s  requests %lu, waiting %zu (over %.0f s: %zu), late %lu; values checked %lu; publishes %lu "
                "(foreign %lu, missing %lu); transfers ok %lu, failed %lu\n",
                now, made, _ledger.Waiting(), _ledger.LateBound(), _ledger.Overdue(now), late,
                _findings.CheckedValues(), _findings.Publishes(), _findings.ForeignPublishes().count,
                _findings.MissingPublishes().count, _findings.TransfersOk(), _findings.TransfersFailed());
    std::fflush(stdout);
}

void Soak::sample(bool first) {
    for (const auto& node : _nodes) {
        if (node->Sample(first) && _usage) {
            std::fprintf(_usage.get(), "%.1f\t%s\t%d\t%ld\t%ld\n", _now, node->Name().c_str(),
                         static_cast<int>(node->Pid()), node->Usage().RssKb().end, node->Usage().Descriptors().end);
            if (first || _loading || _loadEnd > 0) {
                _curve.Add(node->Name(), _now - _loadStart, node->Usage().RssKb().end);
            }
            if (_fuzz && (first || _loading)) {
                _bound.Add(node->Name(), node->Pid(), _now - _loadStart, node->Usage().RssKb().end);
            }
        }
    }
    if (_usage) {
        std::fflush(_usage.get());
    }
}

void Soak::line(Node& node, const Json::Value& event, const std::string& text) {
    const Json::Value& name = event["event"];
    if (name == "listenerAdded") {
        _listening.insert(&node);
    } else if (name == "discovery" && event["values"].isObject() && event["values"]["guid"].isString()) {
        _outsiders.Member(event["values"]["guid"].asString());
    } else if (name == "device" && event["guid"].isString()) {
        _outsiders.Listed(node.Name(), event["guid"].asString(), text, _now);
    } else if (name == "write" && node.Spec().role == Role::Device) {
        // The device answers its writes in order: a beat changed, somewhere between its
        // writing and now.
        auto& beats = _beats[&node];
        if (!beats.empty()) {
            if (event["error"].asString().empty()) {
                _owed.Changed(node.Name(), event["path"].asString(), beats.front().first, beats.front().second, _now);
            }
            beats.pop_front();
        }
    }
    if (Controller* controller = controllerOf(node)) {
        controller->Line(event, text, _now);
    }
}

void Soak::ended(Node& node, int exitCode, bool asked, double now) {
    if (Controller* controller = controllerOf(node)) {
        controller->Ended(now);
    }
    _listening.erase(&node);
    if (asked) {
        return;
    }
    _owed.FaultBegins(node.Name(), true, now);
    _findings.UnexpectedExit(Stamp(now) + " " + node.Name() + " ended with exit code " +
                             std::to_string(exitCode) + "; its log ended:\n" + node.LogTail(5));
    std::printf("%9.1f s  %s ended by itself (exit code %d)\n", now, node.Name().c_str(), exitCode);
    std::fflush(stdout);
    if (!_settingUp) {
        _restartAt[&node] = now + kRestartPause;
    }
}

}  // namespace ZelkorSoak
