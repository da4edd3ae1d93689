#include "Controller.h"

#include <cstdio>

#include "RunClock.h"

namespace ZelkorSoak {
namespace {

// A device not Connected for this long (seconds) is connected again by the controller, as
// an application would, beside the library's own reconnection.
constexpr double kReconnect = 20;
// Commands wait while the runner has this much of them unread.
constexpr std::size_t kBacklog = 64 * 1024;

bool tagged(const std::string& cmd) {
    return cmd == "get" || cmd == "set" || cmd == "sendfile" || cmd == "recvfile";
}

// The error an answer line carries; empty for a success.
std::string errorOf(const std::string& cmd, const Json::Value& event) {
    if (cmd == "sendfile" || cmd == "recvfile") {
        if (event["success"].asBool()) {
            return "";
        }
        const std::string text = event["text"].asString();
        return text.empty() ? "failed without a text" : text;
    }
    const Json::Value& values = event["values"];
    if ((cmd == "get" || cmd == "set") && (!values.isArray() || values.empty())) {
        return "an answer without values";
    }
    for (const auto& entry : values) {
        if (entry.isMember("error")) {
            const std::string text = entry["error"].asString();
            return text.empty() ? "an empty error" : text;
        }
    }
    return "";
}

// Whether the runner's error message is its refusal of a command `cmd` ("no device G for
// get", "bad arguments for get: ...").
bool refuses(const std::string& message, const std::string& cmd) {
    const std::string tail = " for " + cmd;
    return message.rfind("bad arguments for " + cmd, 0) == 0 ||
           (message.size() >= tail.size() && message.compare(message.size() - tail.size(), tail.size(), tail) == 0);
}

}  // namespace

Controller::Controller(Node& node, bool routed, std::string router, std::vector<Target> targets,
                       std::string checked, std::vector<std::string> subscribable, Ledger& ledger, Findings& findings,
                       PublishesOwed& owed, std::mt19937_64& random)
    : _node(node),
      _routed(routed),
      _router(std::move(router)),
      _targets(std::move(targets)),
      _checked(std::move(checked)),
      _subscribable(std::move(subscribable)),
      _ledger(ledger),
      _findings(findings),
      _owed(owed),
      _random(random) {}

std::string Controller::Who() const { return _node.Name() + "." + std::to_string(_node.Incarnation()); }

void Controller::Started(double now) {
    _now = now;
    _views.clear();
    _connectAsked.clear();
    _acks.clear();
    _waiting.clear();
    _checkers.clear();
    _cycles.clear();
    std::vector<const Target*> all;
    for (const auto& target : _targets) {
        _checkers.push_back(std::make_unique<ValueChecker>(*this, target, _checked, _findings, _owed));
        _cycles.push_back(std::make_unique<SubscriptionCycle>(*this, target, _routed ? _router : std::string(),
                                                              _subscribable, _findings, _owed, _random));
        all.push_back(&target);
    }
    _transfers = std::make_unique<TransferFlow>(*this, all, _node.Folder() + "/files", _findings, _random);
}

void Controller::Ended(double now) {
    _now = now;
    _ledger.Lost(_node.Name(), _node.Incarnation(), now);
    if (_transfers) {
        _transfers->Cut();
    }
    _transfers.reset();
    _checkers.clear();
    for (auto& cycle : _cycles) {
        cycle->Lost(now);
    }
    _cycles.clear();
    _acks.clear();
    _waiting.clear();
}

void Controller::DeviceRestarted(const std::string& guid) {
    const std::size_t index = indexOf(guid);
    if (index < _checkers.size()) {
        _checkers[index]->DeviceRestarted();
    }
}

std::size_t Controller::indexOf(const std::string& guid) const {
    for (std::size_t i = 0; i < _targets.size(); ++i) {
        if (_targets[i].guid == guid) {
            return i;
        }
    }
    return _targets.size();
}

const Controller::View* Controller::viewOf(const Target& target) const {
    const auto found = _views.find(target.guid);
    return found == _views.end() ? nullptr : &found->second;
}

bool Controller::Connected(const Target& target) const {
    const View* view = viewOf(target);
    return view && !view->gone && view->state == "Connected";
}

bool Controller::Listed(const Target& target) const {
    const View* view = viewOf(target);
    return view && !view->gone && view->state != "Lost" && view->state != "None";
}

bool Controller::AllConnected() const {
    for (const auto& target : _targets) {
        if (!Connected(target)) {
            return false;
        }
    }
    return true;
}

std::string Controller::NotConnected() const {
    std::string text;
    for (const auto& target : _targets) {
        if (!Connected(target)) {
            const View* view = viewOf(target);
            text += (text.empty() ? "" : ", ") + target.name + " (" + (view ? view->state : "not listed") + ")";
        }
    }
    return text;
}

std::optional<double> Controller::TransferPercent() const {
    return _transfers ? _transfers->Percent() : std::nullopt;
}

void Controller::Tick(double now, bool loading) {
    _now = now;
    if (!_node.Serving() || !_transfers) {
        return;
    }
    keepConnected(now);
    if (!loading || _node.Backlog() > kBacklog) {
        return;
    }
    for (auto& checker : _checkers) {
        checker->Tick(now);
    }
    for (auto& cycle : _cycles) {
        cycle->Tick(now);
    }
    _transfers->Tick(now);
}

// A direct controller connects each device by its address; one behind the router only
// the devices the router lists (they are connected through it).
void Controller::keepConnected(double now) {
    for (const auto& target : _targets) {
        const View* view = viewOf(target);
        if (view && !view->gone && (view->state == "Connected" || view->state == "Connecting")) {
            continue;
        }
        if (_routed && (!Listed(target) || view->proxy != _router)) {
            continue;
        }
        const auto asked = _connectAsked.find(target.guid);
        const bool due = asked == _connectAsked.end() ||
                         (now - asked->second >= kReconnect && (!view || now - view->since >= kReconnect));
        if (!due) {
            continue;
        }
        _connectAsked[target.guid] = now;
        Json::Value command;
        command["cmd"] = "connect";
        command["address"] = "127.0.0.1";
        command["port"] = target.port;
        _acks.push_back({"connect", 0, ""});
        _node.Send(command);
    }
}

void Controller::Ask(const std::string& cmd, const Target& target, Json::Value command, Answer answer) {
    command["cmd"] = cmd;
    std::string key = cmd + " " + target.guid;
    if (tagged(cmd)) {
        const std::string tag = Who() + "#" + std::to_string(++_serial);
        command["tag"] = tag;
        key = "tag " + tag;
    }
    const View* view = viewOf(target);
    const Ledger::Id id = _ledger.Sent(_node.Name(), _node.Incarnation(), cmd, target.name, _now,
                                       view ? view->state : std::string("None"));
    _acks.push_back({cmd, id, key});
    _waiting[key].push_back({id, std::move(answer)});
    _node.Send(command);
}

void Controller::Line(const Json::Value& event, const std::string& line, double now) {
    _now = now;
    const std::string name = event["event"].asString();
    if (name == "request" || name == "connect" || name == "error") {
        acknowledged(name, event, line, now);
    } else if (tagged(name)) {
        answered(name, "tag " + event["tag"].asString(), event, line, now);
    } else if (name == "subscribe" || name == "unsubscribe") {
        answered(name, name + " " + event["guid"].asString(), event, line, now);
    } else if (name == "publish") {
        const std::size_t index = indexOf(event["guid"].asString());
        if (index < _cycles.size()) {
            _cycles[index]->Publish(event, now);
        } else if (index >= _targets.size()) {
            _findings.ForeignPublish(Stamp(now) + " " + Who() + " from a device not among its own\n      " +
                                     line);
        }
    } else if (name == "device") {
        deviceLine(event, now);
    } else if (name == "progress" && _transfers) {
        _transfers->Progress(event, now);
    }
}

void Controller::acknowledged(const std::string& name, const Json::Value& event, const std::string& line,
                              double now) {
    const std::string message = event["message"].asString();
    if (_acks.empty() || (name == "error" && !refuses(message, _acks.front().cmd))) {
        if (name != "connect") {
            std::fprintf(stderr, "zelkor_soak: %s, a line no command of the soak's asked for: %s\n", Who().c_str(),
                         line.c_str());
        }
        return;
    }
    const Ack ack = _acks.front();
    _acks.pop_front();
    if (name == "request" && event["cmd"].asString() != ack.cmd) {
        std::fprintf(stderr, "zelkor_soak: %s, a request line for %s where %s was next: %s\n", Who().c_str(),
                     event["cmd"].asString().c_str(), ack.cmd.c_str(), line.c_str());
    }
    if (ack.id == 0) {
        return;
    }
    if (name == "request") {
        _ledger.Made(ack.id, line);
        return;
    }
    if (name != "error") {
        return;
    }
    _ledger.Refused(ack.id, message);
    // No more requests for a device the runner does not list, until a line tells of it.
    if (message.rfind("no device ", 0) == 0) {
        for (auto& [guid, view] : _views) {
            if (message.find(guid) != std::string::npos) {
                view.gone = true;
                const std::size_t index = indexOf(guid);
                if (index < _cycles.size()) {
                    _cycles[index]->Lost(now);
                }
            }
        }
    }
    auto& queue = _waiting[ack.key];
    for (auto waiting = queue.begin(); waiting != queue.end(); ++waiting) {
        if (waiting->id == ack.id) {
            const Answer answer = std::move(waiting->answer);
            queue.erase(waiting);
            answer(nullptr, message, now);
            return;
        }
    }
}

void Controller::answered(const std::string& cmd, const std::string& key, const Json::Value& event,
                          const std::string& line, double now) {
    auto found = _waiting.find(key);
    if (found == _waiting.end() || found->second.empty()) {
        _ledger.Unexpected(cmd, Who(), line);
        return;
    }
    Waiting waiting = std::move(found->second.front());
    found->second.pop_front();
    if (found->second.empty()) {
        _waiting.erase(found);
    }
    const std::string error = errorOf(cmd, event);
    _ledger.Answered(waiting.id, error, now);
    waiting.answer(&event, error, now);
}

void Controller::deviceLine(const Json::Value& event, double now) {
    const std::string guid = event["guid"].asString();
    const std::size_t index = indexOf(guid);
    if (index >= _targets.size()) {
        return;
    }
    View& view = _views[guid];
    // "Changed" and "DescriptorWanted" tell of news, not of a new state: the device keeps
    // the one it had.
    std::string state = event["state"].asString();
    if (state == "Changed" || state == "DescriptorWanted") {
        state = event["old"].asString();
    }
    if (state != view.state) {
        view.since = now;
    }
    const bool again = state == "Connected" && view.state != "Connected";
    // An Unresponsive device keeps its connection: only leaving both loses it.
    const auto holds = [](const std::string& each) { return each == "Connected" || each == "Unresponsive"; };
    const bool left = holds(view.state) && !holds(state);
    view.state = state;
    view.gone = false;
    view.proxy = event["proxy"].asString();
    if (left && index < _cycles.size()) {
        _cycles[index]->Lost(now);
    }
    if (again && index < _cycles.size()) {
        _cycles[index]->Reconnected();
    }
}

}  // namespace ZelkorSoak
