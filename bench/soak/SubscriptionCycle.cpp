#include "SubscriptionCycle.h"

#include <algorithm>
#include <cstdio>

#include "Json.h"

namespace ZelkorSoak {
namespace {

// How long a subscription is kept, or none held, before the next turn: seconds.
constexpr unsigned kShortest = 5;
constexpr unsigned kLongest = 20;
constexpr double kStall = 60;
// How long after its unsubscribe was answered a publish of a value counts as late rather
// than foreign.
constexpr double kLate = 2;

}  // namespace

SubscriptionCycle::SubscriptionCycle(Requester& controller, const Target& target, std::vector<std::string> paths,
                                     Findings& findings, std::mt19937_64& random)
    : _controller(controller), _target(target), _paths(std::move(paths)), _findings(findings), _random(random) {}

void SubscriptionCycle::Reconnected() { _askAgain = _wanted; }

void SubscriptionCycle::Tick(double now) {
    if (_waiting && now - _askedAt >= kStall) {
        _waiting = false;
    }
    if (_waiting || !_controller.Connected(_target)) {
        return;
    }
    if (_askAgain) {
        _askAgain = false;
        ask("subscribe", now);
        return;
    }
    if (now < _nextTurn) {
        return;
    }
    _nextTurn = now + kShortest + static_cast<double>(_random() % (kLongest - kShortest + 1));
    _wanted = !_wanted;
    if (_wanted) {
        // A non-empty subset, in the order of the device's values.
        _chosen.clear();
        while (_chosen.empty()) {
            for (const auto& path : _paths) {
                if (_random() % 2 == 0) {
                    _chosen.push_back(path);
                }
            }
        }
        ask("subscribe", now);
    } else {
        ask("unsubscribe", now);
    }
}

void SubscriptionCycle::ask(const std::string& cmd, double now) {
    Json::Value command;
    command["guid"] = _target.guid;
    command["values"] = Json::Value(Json::arrayValue);
    for (const auto& path : _chosen) {
        Json::Value entry;
        entry["path"] = path;
        command["values"].append(entry);
    }
    const bool subscribe = cmd == "subscribe";
    if (subscribe) {
        _live.insert(_chosen.begin(), _chosen.end());
    }
    _waiting = true;
    _askedAt = now;
    _controller.Ask(cmd, _target, command,
                    [this, subscribe, paths = _chosen, ticket = ++_ticket](
                        const Json::Value* line, const std::string& error, double when) {
                        // An answer that comes after the cycle went on without it
                        // changes nothing: a later subscribe may hold the same values.
                        if (ticket != _ticket) {
                            return;
                        }
                        _waiting = false;
                        if (!subscribe && line && error.empty()) {
                            for (const auto& path : paths) {
                                _live.erase(path);
                                _ended[path] = when;
                            }
                        }
                    });
}

void SubscriptionCycle::Publish(const Json::Value& line, double now) {
    for (const auto& entry : line["values"]) {
        const std::string path = entry["path"].asString();
        if (_live.count(path) != 0) {
            _findings.Published();
            continue;
        }
        char at[32];
        std::snprintf(at, sizeof at, "%.3f s", now);
        const auto ended = _ended.find(path);
        if (ended != _ended.end() && now - ended->second <= kLate) {
            char after[32];
            std::snprintf(after, sizeof after, "%.3f s", now - ended->second);
            _findings.LatePublish(std::string(at) + " " + _controller.Who() + " from " + _target.name + ", " + path +
                                  ", " + after + " after its unsubscribe was answered\n      " + Compact(line));
            continue;
        }
        _findings.ForeignPublish(std::string(at) + " " + _controller.Who() + " from " + _target.name + ", " + path +
                                 " not subscribed\n      " + Compact(line));
    }
}

}  // namespace ZelkorSoak
