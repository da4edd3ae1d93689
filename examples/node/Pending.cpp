#include "Pending.h"

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
        if (!unanswered(command)) {
            // A transfer is answered once per device.
            _awaited[command] += fields["devices"].isArray() ? fields["devices"].size() : 1;
        }
        return;
    }
    // What a peer asked of this node, under the name of the request (an "exec" it ran).
    if (fields["reply"] == false) {
        return;
    }
    const auto found = _awaited.find(event);
    if (found != _awaited.end() && --found->second == 0) {
        _awaited.erase(found);
    }
}

bool Pending::Settled() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _awaited.empty() || Clock::now() - _lastLine >= _quiet;
}

}  // namespace ZelkorNode
