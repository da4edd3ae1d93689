#pragma once
// The requests the node has sent and not yet seen answered, read off the lines it writes:
// at the end of its input a node waits for these before it stops, so that a script that
// pipes a list of commands in reads every answer out.
//
// Threads: Seen is called for every line, from any thread; Settled from the loop.

#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include <json/value.h>

namespace ZelkorNode {

class Pending {
public:
    using Clock = std::chrono::steady_clock;

    // A peer that has sent nothing for `quiet` is taken to owe nothing more.
    explicit Pending(std::chrono::milliseconds quiet);

    // A line the node wrote: a "request" awaits its answer line, which settles it.
    void Seen(const std::string& event, const Json::Value& fields);
    // Nothing awaited, or no line for the quiet bound.
    bool Settled() const;

private:
    const std::chrono::milliseconds _quiet;
    mutable std::mutex _mutex;
    // Answer lines awaited, by the event that answers.
    std::map<std::string, std::size_t> _awaited;
    Clock::time_point _lastLine = Clock::now();
};

}  // namespace ZelkorNode
