#include "Pending.h"

#include <algorithm>

namespace ZelkorNode {
namespace {

// Every request is answered by a line of its own name, but for these, answered by none
// (a goodbye by the connection's lines, a cancelled send by its transfer's own).
bool unanswered(const std::string& command) {
    return command == "goodbye" || command == "logrow" || command == "cancelsend";
}

// The words whose answer carries the tag of its request ("" for none).
bool tagged(const std::string& command) {
    return command == "get" || command == "set" || command == "exec" || command == "raw";
}

// The words whose answer names no device but comes with the tag of the connection that
// brought it, which their request line names as "connection".
bool byConnection(const std::string& command) {
    return command == "getdevicestate" || command == "getpresetinfo" || command == "listpresets" ||
           command == "listpublishers";
}

bool transfer(const std::string& command) { return command == "sendfile" || command == "recvfile"; }

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
        const std::string tag = tagged(command) ? fields["tag"].asString() : "";
        // A transfer is answered once per device.
        if (fields["devices"].isArray()) {
            for (const auto& device : fields["devices"]) {
                awaited.push_back({device.asString(), tag, ""});
            }
        } else {
            awaited.push_back({fields["guid"].asString(), tag, fields["connection"].asString()});
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
    auto& awaited = found->second;
    // A device that has not given its GUID yet names none.
    const std::string guid = fields["guid"].isString() ? fields["guid"].asString() : "";
    const bool named = !guid.empty();
    // A setip to a device is answered twice: by the list's line, which names no device, and
    // by the device's own, which does and alone settles it.
    if (!named && event == "setip") {
        return;
    }
    // An answer by connection is one of the requests sent on the connection that brought
    // it, the oldest: a connection carries one request at a time, and a routed device's
    // answer names no route.
    const std::string connection = byConnection(event) ? fields["tag"].asString() : "";
    const auto answers = [&](const Awaited& request) {
        return (!named || request.guid == guid) && (!tagged(event) || request.tag == fields["tag"].asString()) &&
               (!byConnection(event) || request.connection == connection);
    };
    const auto own = std::find_if(awaited.begin(), awaited.end(), answers);
    if (own == awaited.end()) {
        // An answer to a request not awaited: the reply a raw line brought, say.
        return;
    }
    // One that names no device may be the reply a raw line to another device brought (its
    // default line): while such a raw line is awaited, it settles none of the others.
    if (!named && event != "raw") {
        const auto raw = _awaited.find("raw");
        if (raw != _awaited.end() && std::any_of(raw->second.begin(), raw->second.end(), [&](const Awaited& request) {
                return request.guid != own->guid && (!byConnection(event) || request.connection == connection);
            })) {
            return;
        }
    }
    awaited.erase(own);
    if (awaited.empty()) {
        _awaited.erase(found);
    }
}

std::vector<std::string> Pending::Abandon(bool transfersOnly) {
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<std::string> abandoned;
    for (auto entry = _awaited.begin(); entry != _awaited.end();) {
        const auto& [command, devices] = *entry;
        if (transfersOnly && !transfer(command)) {
            ++entry;
            continue;
        }
        for (const auto& request : devices) {
            abandoned.push_back(command + (request.guid.empty() ? "" : " to " + request.guid));
        }
        entry = _awaited.erase(entry);
    }
    return abandoned;
}

bool Pending::Settled(bool transfersAside) const {
    std::lock_guard<std::mutex> lock(_mutex);
    const bool none = std::all_of(_awaited.begin(), _awaited.end(),
                                  [transfersAside](const auto& entry) { return transfersAside && transfer(entry.first); });
    return none || Clock::now() - _lastLine >= _quiet;
}

}  // namespace ZelkorNode
