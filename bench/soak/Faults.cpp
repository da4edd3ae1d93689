#include "Faults.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "Ledger.h"

namespace ZelkorSoak {
namespace {

// The load runs alone this long before the first fault, and between two faults a pause
// drawn from this range (seconds).
constexpr double kFirst = 20;
constexpr double kShortestPause = 15;
constexpr double kLongestPause = 45;
// How long a transfer under way is looked for before any controller is killed.
constexpr double kChoosing = 30;
// How long a node asked to stop may take before it is killed.
constexpr double kStopGrace = 15;
// A router's restart answers every request waiting behind it, whatever left it waiting.
// It comes only this long after the fault before it ended, so that a request an earlier
// fault left without an answer has been counted late before the restart can answer it,
// and the library's own answer is what the run measures.
constexpr double kRouterQuiet = Ledger::kLateBound + 10;

}  // namespace

Faults::Faults(NodeControl& nodes, std::mt19937_64& random, double now)
    : _nodes(nodes), _random(random), _until(now + kFirst), _lastEnded(-std::numeric_limits<double>::infinity()) {}

const char* Faults::nameOf(Kind kind) {
    switch (kind) {
        case Kind::KillController:
            return "kill -9 of a controller";
        case Kind::KillDevice:
            return "kill -9 of a device";
        case Kind::StopDevice:
            return "SIGSTOP of a device";
        case Kind::RestartDevice:
            return "restart of a device";
        case Kind::RestartRouter:
            return "restart of the router";
    }
    return "";
}

double Faults::between(double lowest, double highest) {
    return std::uniform_real_distribution<double>(lowest, highest)(_random);
}

void Faults::Tick(double now) {
    switch (_stage) {
        case Stage::Pause:
            if (!_finished && now >= _until) {
                begin(now);
            }
            return;
        case Stage::Choosing: {
            if (_finished) {
                _stage = Stage::Pause;
                return;
            }
            std::vector<Node*> candidates;
            for (Node* controller : _nodes.Controllers()) {
                const auto percent = _nodes.TransferPercent(*controller);
                if (controller->Serving() && percent && *percent >= 10 && *percent <= 90) {
                    candidates.push_back(controller);
                }
            }
            if (candidates.empty() && now >= _until) {
                for (Node* controller : _nodes.Controllers()) {
                    if (controller->Serving()) {
                        candidates.push_back(controller);
                    }
                }
            }
            if (!candidates.empty()) {
                apply(*candidates[_random() % candidates.size()], now);
            }
            return;
        }
        case Stage::Down:
            if (_node->State() != Node::Phase::Down) {
                if (now >= _killAt) {
                    _node->Kill();
                }
                return;
            }
            if (_finished || now >= _until) {
                restore(now);
            }
            return;
        case Stage::Stopped:
            if (_finished || now >= _until) {
                restore(now);
            }
            return;
    }
}

void Faults::Finish(double now) {
    _finished = true;
    Tick(now);
}

void Faults::begin(double now) {
    if (_round.empty()) {
        _round = {Kind::KillController, Kind::KillDevice, Kind::StopDevice, Kind::RestartDevice, Kind::RestartRouter};
        std::shuffle(_round.begin(), _round.end(), _random);
    }
    _kind = _round.back();
    if (_kind == Kind::RestartRouter && now < _lastEnded + kRouterQuiet) {
        _until = _lastEnded + kRouterQuiet;
        std::printf("%9.1f s  the restart of the router waits until %.1f s, %.0f s after the last fault ended\n", now,
                    _until, kRouterQuiet);
        std::fflush(stdout);
        return;
    }
    _round.pop_back();
    if (_kind == Kind::KillController) {
        _stage = Stage::Choosing;
        _until = now + kChoosing;
        return;
    }
    Node* node = &_nodes.Router();
    if (_kind != Kind::RestartRouter) {
        const std::vector<Node*> devices = _nodes.Devices();
        node = devices[_random() % devices.size()];
    }
    if (!node->Serving()) {
        // Down by itself just now: the run brings it back; this fault is passed over.
        _until = now + kShortestPause;
        return;
    }
    apply(*node, now);
}

void Faults::apply(Node& node, double now) {
    _node = &node;
    ++_counts[nameOf(_kind)];
    std::string detail;
    switch (_kind) {
        case Kind::KillController: {
            const auto percent = _nodes.TransferPercent(node);
            if (percent) {
                char text[48];
                std::snprintf(text, sizeof text, " (its transfer at %.0f %%)", *percent);
                detail = text;
            }
            node.Kill();
            _stage = Stage::Down;
            _until = now + between(1, 5);
            break;
        }
        case Kind::KillDevice:
            node.Kill();
            _stage = Stage::Down;
            _until = now + between(2, 10);
            break;
        case Kind::StopDevice:
            node.Freeze();
            _stage = Stage::Stopped;
            _until = now + between(5, 30);
            break;
        case Kind::RestartDevice:
        case Kind::RestartRouter:
            node.Terminate();
            _stage = Stage::Down;
            _until = now + between(1, 5);
            break;
    }
    _killAt = now + kStopGrace;
    _nodes.FaultBegins(node, _stage == Stage::Down);
    std::printf("%9.1f s  fault: %s: %s%s\n", now, nameOf(_kind), node.Name().c_str(), detail.c_str());
    std::fflush(stdout);
}

void Faults::restore(double now) {
    if (_stage == Stage::Stopped) {
        _node->Thaw();
        std::printf("%9.1f s  %s runs again (SIGCONT)\n", now, _node->Name().c_str());
    } else {
        _nodes.Restart(*_node);
    }
    _nodes.FaultEnds(*_node);
    std::fflush(stdout);
    _stage = Stage::Pause;
    _lastEnded = now;
    _until = now + between(kShortestPause, kLongestPause);
}

}  // namespace ZelkorSoak
