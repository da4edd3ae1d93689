#include "SubscriptionCycle.h"

#include "Json.h"
#include "Ledger.h"
#include "RunClock.h"

namespace ZelkorSoak {
namespace {

// How long a subscription is kept, or none held, before the next turn: seconds.
constexpr unsigned kShortest = 5;
constexpr unsigned kLongest = 20;
// An answer awaited this long is given up and the request made again: only past the late
// bound, since answers pair with the oldest request open, and the next answer, taken for
// the given-up request's, would otherwise hide that it never came.
constexpr double kStall = Ledger::kLateBound + 10;

// The answer's entry for `path`: its own, else a refusal of the whole request, which
// comes as one entry without a path and answers every path of the request; null for none.
const Json::Value* entryFor(const Json::Value& line, const std::string& path) {
    const Json::Value* whole = nullptr;
    for (const auto& entry : line["values"]) {
        if (entry["path"] == path) {
            return &entry;
        }
        if (entry["path"] == "" && entry.isMember("error")) {
            whole = &entry;
        }
    }
    return whole;
}

}  // namespace

SubscriptionCycle::SubscriptionCycle(Requester& controller, const Target& target, std::string via,
                                     std::vector<std::string> paths, Findings& findings, PublishesOwed& owed,
                                     std::mt19937_64& random)
    : _controller(controller),
      _target(target),
      _via(std::move(via)),
      _paths(std::move(paths)),
      _findings(findings),
      _owed(owed),
      _random(random) {}

void SubscriptionCycle::Reconnected() { _askAgain = _wanted; }

void SubscriptionCycle::Lost(double now) {
    _owed.Lost(_controller.Who(), _target.name, now);
    _askAgain = _wanted;
}

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
    for (const auto& path : _chosen) {
        if (subscribe) {
            _owed.Subscribing(_controller.Who(), _via, _target.name, path);
        } else {
            _owed.Unsubscribing(_controller.Who(), _target.name, path, now);
        }
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
                        answered(subscribe, paths, line, error, when);
                    });
}

void SubscriptionCycle::answered(bool subscribe, const std::vector<std::string>& paths, const Json::Value* line,
                                 const std::string& error, double now) {
    const std::string who = _controller.Who();
    if (subscribe) {
        for (const auto& path : paths) {
            const Json::Value* entry = line ? entryFor(*line, path) : nullptr;
            // A subscribe that timed out may yet have been carried out, or may not.
            if (entry && (*entry)["error"] == "timeout") {
                _owed.SubscribeTimedOut(who, _target.name, path, now);
            } else {
                _owed.Subscribed(who, _target.name, path, entry && !entry->isMember("error"), now);
            }
        }
    } else if (line && error.empty()) {
        for (const auto& path : paths) {
            _owed.Unsubscribed(who, _target.name, path, now);
        }
    } else if (error == "Device not connected" || error == "connection lost") {
        // The device keeps subscriptions while their connection lasts, so an unsubscribe
        // that cannot reach it tells that the connection, and what it carried, is gone.
        _owed.Lost(who, _target.name, now);
    } else {
        for (const auto& path : paths) {
            _owed.Unknown(who, _target.name, path, now);
        }
    }
}

void SubscriptionCycle::Publish(const Json::Value& line, double now) {
    for (const auto& entry : line["values"]) {
        const std::string path = entry["path"].asString();
        const PublishesOwed::Kind kind =
            _owed.Published(_controller.Who(), _target.name, path, ValueText(entry["value"]), now);
        if (kind == PublishesOwed::Kind::Subscribed) {
            _findings.Published();
            continue;
        }
        const std::string example = Stamp(now) + " " + _controller.Who() + " from " + _target.name + ", " + path;
        if (kind == PublishesOwed::Kind::Late) {
            _findings.LatePublish(example + ", just after its subscription ended\n      " + Compact(line));
        } else {
            _findings.ForeignPublish(example + " not subscribed\n      " + Compact(line));
        }
    }
}

}  // namespace ZelkorSoak
