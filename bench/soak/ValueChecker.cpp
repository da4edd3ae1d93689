#include "ValueChecker.h"

#include "Json.h"
#include "RunClock.h"

namespace ZelkorSoak {
namespace {

// Reads after each set.
constexpr unsigned kReads = 3;
// A pause between one answer and the next request: the checks load the nodes without
// taking every cycle of the machine.
constexpr double kPause = 0.01;
// How long an answer is waited for before the checks go on without it.
constexpr double kStall = 60;

}  // namespace

ValueChecker::ValueChecker(Requester& controller, const Target& target, std::string path, Findings& findings,
                           PublishesOwed& owed)
    : _controller(controller), _target(target), _path(std::move(path)), _findings(findings), _owed(owed) {}

void ValueChecker::DeviceRestarted() {
    if (_known) {
        _acceptable.insert("");
    }
}

void ValueChecker::Tick(double now) {
    if (_waiting) {
        if (now - _askedAt < kStall) {
            return;
        }
        // Left open in the ledger. A set may still land, so its value may be read later.
        if (_setting) {
            _acceptable.insert(_value);
        } else {
            --_readsLeft;
        }
        _waiting = false;
    }
    if (now < _nextAt || !_controller.Listed(_target)) {
        return;
    }
    if (_readsLeft == 0) {
        set(now);
    } else {
        get(now);
    }
}

void ValueChecker::set(double now) {
    _value = _controller.Who() + "-" + std::to_string(++_serial);
    _readsLeft = kReads;
    _setting = true;
    Json::Value entry;
    entry["path"] = _path;
    entry["value"] = _value;
    ask("set", entry, now, &ValueChecker::setAnswered);
}

void ValueChecker::get(double now) {
    _setting = false;
    Json::Value entry;
    entry["path"] = _path;
    ask("get", entry, now, &ValueChecker::getAnswered);
}

void ValueChecker::ask(const std::string& cmd, const Json::Value& entry, double now,
                       void (ValueChecker::*answered)(const Json::Value*, const std::string&, double)) {
    Json::Value command;
    command["guid"] = _target.guid;
    command["values"].append(entry);
    _waiting = true;
    _askedAt = now;
    _controller.Ask(cmd, _target, command,
                    [this, answered, ticket = ++_ticket](const Json::Value* line, const std::string& error,
                                                         double when) {
                        if (_waiting && ticket == _ticket) {
                            _waiting = false;
                            _nextAt = when + kPause;
                            (this->*answered)(line, error, when);
                        }
                    });
}

void ValueChecker::setAnswered(const Json::Value* line, const std::string& error, double now) {
    std::string stored;
    if (!line || !error.empty() || !valueIn(*line, stored)) {
        // It may have landed or not.
        _acceptable.insert(_value);
        return;
    }
    // Made between the set's writing and its answer.
    _owed.Changed(_target.name, _path, stored, _askedAt, now);
    _findings.Checked();
    if (stored != _value) {
        wrong("set of \"" + _value + "\" answered with \"" + stored + "\"", *line, now);
    }
    _known = true;
    _acceptable = {_value};
}

void ValueChecker::getAnswered(const Json::Value* line, const std::string& error, double now) {
    --_readsLeft;
    std::string read;
    if (!line || !error.empty()) {
        return;
    }
    if (!valueIn(*line, read)) {
        wrong("answer without the value read", *line, now);
        return;
    }
    if (!_known) {
        return;
    }
    _findings.Checked();
    if (_acceptable.count(read) == 0) {
        wrong("read \"" + read + "\", expected " + expected(), *line, now);
    }
}

bool ValueChecker::valueIn(const Json::Value& line, std::string& value) const {
    for (const auto& entry : line["values"]) {
        if (entry["path"] == _path && entry.isMember("value") && !entry.isMember("error")) {
            value = ValueText(entry["value"]);
            return true;
        }
    }
    return false;
}

std::string ValueChecker::expected() const {
    std::string text;
    for (const auto& value : _acceptable) {
        text += (text.empty() ? "\"" : " or \"") + value + "\"";
    }
    return text.empty() ? "nothing" : text;
}

void ValueChecker::wrong(const std::string& what, const Json::Value& line, double now) {
    _findings.WrongValue(Stamp(now) + " " + _controller.Who() + " " + _path + " of " + _target.name + ": " +
                         what + "\n      " + Compact(line));
}

}  // namespace ZelkorSoak
