#pragma once
// The requests the node has sent and not yet seen answered, read off the lines it writes:
// at the end of its input, or on "stop", a node waits for these before it stops, so that a
// script that pipes a list of commands in reads every answer out, and is told of each one
// it gave up on.
//
// Threads: Seen is called for every line, from any thread; Settled from the loop.

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

namespace ZelkorNode {

class Pending {
public:
    using Clock = std::chrono::steady_clock;

    // A peer that has sent nothing for `quiet` is taken to owe nothing more.
    explicit Pending(std::chrono::milliseconds quiet);

    // A line the node wrote: a "request" awaits its answer line, which settles it. An answer
    // settles a request to the device it names (with the tag it carries, for the words
    // that have one); one that names no device, the oldest of its name sent on the
    // connection that brought it, for the words whose answer names it, and otherwise only
    // when that cannot be another device's.
    void Seen(const std::string& event, const Json::Value& fields);
    // Nothing awaited (with `transfersAside`, nothing but transfers), or no line for the
    // quiet bound.
    bool Settled(bool transfersAside = false) const;
    // The quiet bound: the longest a stop waits for answers.
    std::chrono::milliseconds Quiet() const { return _quiet; }
    // The requests still awaited, each as "NAME to GUID" (in the order sent per name), and
    // forgets them: the node gives up on them. With `transfersOnly`, the transfers alone.
    std::vector<std::string> Abandon(bool transfersOnly = false);

private:
    struct Awaited {
        std::string guid;
        std::string tag;
        // The tag of the connection the request went on, where its line names it.
        std::string connection;
    };

    const std::chrono::milliseconds _quiet;
    mutable std::mutex _mutex;
    // Answer lines awaited, by the event that answers: each request's device (a transfer's,
    // one per device) and tag, oldest first.
    std::map<std::string, std::deque<Awaited>> _awaited;
    Clock::time_point _lastLine = Clock::now();
};

}  // namespace ZelkorNode
