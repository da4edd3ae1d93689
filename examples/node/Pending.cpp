#include "Pending.h"

#include <algorithm>

namespace ZelkorNode {
namespace {

// Every request is answered by a line of its own name, but for these, answered by none
// (a goodbye by the connection's lines, a cancelled send by its transfer's own).
bool unanswered(const std::string& command) {
    return command == "goodbye" || command == "logrow" || command == "cancelsend";
}

}  // namespace

Pending::Pending(std::chrono::milliseconds quiet) : _quiet(quiet) {}

void Pending::Seen(const std::string& event, const Json::Value& fields) {
    std::lock_guard<std::mutex> lock(_mutex);
    _lastLine = Clock::now();
    if (event == "request") {
        // Nothing comes of one that was not sent, and a request to every node may be
        // answered by any number of them.
        if (fields["sent"] == false || fields["to"] == "all") {
            return;
        }
        const std::string command = fields["cmd"].asString();
        if (unanswered(command)) {
            return;
        }
        auto& awaited = _awaited[command];
        // A transfer is answered once per device.
        if (fields["devices"].isArray()) {
            for (const auto& device : fields["devices"]) {
                awaited.push_back(device.asString());
            }
        } else {
            awaited.push_back(fields["guid"].asString());
        }
        return;
    }
    // What a peer asked of this node, under the name of the request (an "exec" it ran).
    if (fields["reply"] == false) {
        return;
    }
    const auto found = _awaited.find(event);
    if (found == _awaited.end()) {
        return;
    }
    // The answer of the device it names, else the oldest (a default reply names none).
    auto& awaited = found->second;
    const auto own = fields["guid"].isString()
                         ? std::find(awaited.begin(), awaited.end(), fields["guid"].asString())
                         : awaited.end();
    awaited.erase(own != awaited.end() ? own : awaited.begin());
    if (awaited.empty()) {
        _awaited.erase(found);
    }
}

std::vector<std::string> Pending::Abandon(bool transfersOnly) {
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<std::string> abandoned;
    for (auto entry = _awaited.begin(); entry != _awaited.end();) {
        const auto& [command, devices] = *entry;
        if (transfersOnly && command != "sendfile" && command != "recvfile") {
            ++entry;
            continue;
        }
        for (const auto& guid : devices) {
            abandoned.push_back(command + (guid.empty() ? "" : " to " + guid));
        }
        entry = _awaited.erase(entry);
    }
    return abandoned;
}

bool Pending::Settled() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _awaited.empty() || Clock::now() - _lastLine >= _quiet;
}

}  // namespace ZelkorNode
