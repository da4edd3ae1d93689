#include "Pending.h"

namespace ZelkorNode {
namespace {

// The line that answers each request that has one; a command absent here is answered by
// a line of its own name. "goodbye" and "logrow" are answered by nothing.
std::string answerOf(const std::string& command) {
    static const std::map<std::string, std::string> answers = {
        {"setcode", "setVerificationCode"},
        {"subscribepoll", "subscribePoll"},
        {"unsubscribepoll", "unSubscribePoll"},
        {"sublog", "sendSubLog"},
        {"unsublog", "unSubLog"},
        {"listpublishers", "listPublishers"},
        {"subscribeevent", "subscribeEvent"},
        {"unsubscribeevent", "unsubscribeEvent"},
        {"exec", "execResult"},
        {"getdevicestate", "devicestate"},
        {"getpresetinfo", "presetinfo"},
        {"listpresets", "presets"},
        {"sendfile", "done"},
        {"recvfile", "done"},
        {"listfiles", "listFiles"},
        {"freespace", "freeSpace"},
        {"deletefile", "deleteFile"},
        {"mkdir", "createDir"},
        {"rmdir", "removeDir"},
        {"fwupdate", "firmwareUpdateResult"},
        {"goodbye", ""},
        {"logrow", ""},
    };
    const auto found = answers.find(command);
    return found == answers.end() ? command : found->second;
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
        const std::string answer = answerOf(fields["cmd"].asString());
        if (!answer.empty()) {
            // A transfer is answered once per device.
            _awaited[answer] += fields["devices"].isArray() ? fields["devices"].size() : 1;
        }
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
