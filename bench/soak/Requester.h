#pragma once
// What a controller's workloads ask of it: to make a request of a device through its
// runner, counted in the ledger, and to tell how it sees that device.

#include <functional>
#include <string>

#include <json/value.h>


namespace ZelkorSoak {

// A device as the controllers reach it.
struct Target {
    std::string name;
    std::string guid;
    unsigned short port = 0;
    // Its storage root, where a put lands: the run reads the file there too.
    std::string filesDir;
};

class Requester {
public:
    // The answer line, or null when the runner refused the command (`error` then holds its
    // message); `error` is empty for a success. `now` is when it came.
    using Answer = std::function<void(const Json::Value* line, const std::string& error, double now)>;

    virtual ~Requester() = default;
    // Writes `command` (its "cmd" set to `cmd`, a tag added where the answer carries one)
    // and opens it in the ledger; `answer` is called once, when it is answered or refused.
    virtual void Ask(const std::string& cmd, const Target& target, Json::Value command, Answer answer) = 0;
    // Whether the controller's last "device" line for the target said Connected.
    virtual bool Connected(const Target& target) const = 0;
    // Whether the target is in the controller's device list (a request can be made of it).
    virtual bool Listed(const Target& target) const = 0;
    // The controller's name and incarnation, for values, tags and file names.
    virtual std::string Who() const = 0;
};

}  // namespace ZelkorSoak
