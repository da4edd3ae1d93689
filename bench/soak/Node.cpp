#include "Node.h"

#include <signal.h>

#include <deque>
#include <fstream>

#include "Json.h"

namespace ZelkorSoak {

const char* RoleName(Role role) {
    switch (role) {
        case Role::Device:
            return "device";
        case Role::Router:
            return "router";
        case Role::Controller:
            return "controller";
    }
    return "device";
}

Node::Node(NodeSpec spec, std::string folder) : _spec(std::move(spec)), _folder(std::move(folder)) {}

bool Node::Start(const std::string& program, const std::vector<std::string>& common, double now,
                 std::string& error) {
    if (!_events) {
        _events.reset(std::fopen((_folder + "/events.jsonl").c_str(), "a"));
        if (!_events) {
            error = "cannot write " + _folder + "/events.jsonl";
            return false;
        }
    }
    std::vector<std::string> arguments{"--role", RoleName(_spec.role), "--name", _spec.name};
    arguments.insert(arguments.end(), common.begin(), common.end());
    arguments.insert(arguments.end(), {"--listen", "127.0.0.1:" + std::to_string(_spec.port)});
    if (!_spec.guid.empty()) {
        arguments.insert(arguments.end(), {"--guid", _spec.guid});
    }
    arguments.insert(arguments.end(), _spec.options.begin(), _spec.options.end());
    if (!_process.Start(program, arguments, _folder, _folder + "/node.log", error)) {
        return false;
    }
    ++_incarnation;
    _phase = Phase::Running;
    _outputEnded = false;
    std::fprintf(_events.get(), "%10.3f # start %u, pid %d\n", now, _incarnation, static_cast<int>(_process.Pid()));
    return true;
}

void Node::Send(const Json::Value& command) {
    if (Serving()) {
        _process.Write(Compact(command));
    }
}

void Node::Kill() {
    if (_process.Alive()) {
        _phase = Phase::Killed;
        _process.Signal(SIGKILL);
    }
}

void Node::Terminate() {
    if (_process.Alive()) {
        // A frozen process would hold the signal until it runs again.
        if (_phase == Phase::Frozen) {
            _process.Signal(SIGCONT);
        }
        _phase = Phase::Stopping;
        _process.Signal(SIGTERM);
    }
}

void Node::Freeze() {
    if (_phase == Phase::Running) {
        _phase = Phase::Frozen;
        _process.Signal(SIGSTOP);
    }
}

void Node::Thaw() {
    if (_phase == Phase::Frozen) {
        _phase = Phase::Running;
        _process.Signal(SIGCONT);
    }
}

void Node::Readable(double now) {
    std::vector<std::string> lines;
    _outputEnded = !_process.Read(lines) || _outputEnded;
    for (const auto& line : lines) {
        // Progress lines would be most of the file: the transfers' begin and end lines stay.
        if (line.find(R"("event":"progress")") == std::string::npos) {
            std::fprintf(_events.get(), "%10.3f %s\n", now, line.c_str());
        }
        if (_onLine) {
            _onLine(ParseLine(line), line);
        }
    }
}

bool Node::Ended(int& exitCode, bool& asked) {
    if (_phase == Phase::Down || !_outputEnded) {
        return false;
    }
    const auto code = _process.Reap();
    if (!code) {
        return false;
    }
    exitCode = *code;
    asked = _phase == Phase::Stopping || _phase == Phase::Killed;
    _phase = Phase::Down;
    std::fprintf(_events.get(), "# exit %d\n", exitCode);
    std::fflush(_events.get());
    return true;
}

std::string Node::LogTail(std::size_t count) const {
    std::ifstream log(_folder + "/node.log");
    std::deque<std::string> tail;
    for (std::string line; std::getline(log, line);) {
        tail.push_back(line);
        if (tail.size() > count) {
            tail.pop_front();
        }
    }
    std::string text;
    for (const auto& line : tail) {
        text += "    " + line + "\n";
    }
    return text;
}

bool Node::Sample(bool first) {
    if (!_process.Alive()) {
        return false;
    }
    _usage.Sample(_process.Pid(), first);
    return true;
}

}  // namespace ZelkorSoak
