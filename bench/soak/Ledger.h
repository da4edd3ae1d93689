#pragma once
// The accounts of every request the controllers were asked to make. A request opens when
// its command is written to the runner; the runner's "request" line counts it as made
// (an "error" line instead, such as "no device G for get", counts it refused); its answer
// line closes it. Each request made must be answered exactly once: one left open at the
// end is "never answered", a second answer an "unexpected answer". The requests of a
// controller killed (or ended) before their answer came are "lost with their node", not
// held against the nodes that were asked. Only open requests are kept; a closed one is
// folded into the totals of its command.
//
// Threads: the run's one thread.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ZelkorSoak {

class Ledger {
public:
    using Id = std::uint64_t;

    struct Totals {
        unsigned long sent = 0;
        unsigned long refused = 0;
        unsigned long made = 0;
        unsigned long answered = 0;
        unsigned long errors = 0;
        unsigned long lost = 0;
        // Made and never answered.
        unsigned long open = 0;
        // Written, and neither its request line nor an answer came.
        unsigned long unacknowledged = 0;
        double slowest = 0;
    };

    // A request that stayed open, as the report shows it.
    struct Open {
        std::string controller;
        std::string cmd;
        std::string device;
        double sentAt = 0;
        std::string line;
        std::string deviceState;
    };

    // A command written to `controller` (its incarnation `incarnation`) for `device`, whose
    // state that controller last saw as `deviceState`.
    Id Sent(const std::string& controller, unsigned incarnation, const std::string& cmd, const std::string& device,
            double now, const std::string& deviceState);
    void Made(Id id, const std::string& line);
    void Refused(Id id, const std::string& message);
    // An answer; `error` empty for a success. False when the request was not open.
    bool Answered(Id id, const std::string& error, double now);
    // An answer line no open request of its kind was waiting for: a second answer, or one
    // to nothing asked.
    void Unexpected(const std::string& cmd, const std::string& controller, const std::string& line);
    // The controller's process ended: what it still waited for is lost with it.
    void Lost(const std::string& controller, unsigned incarnation);

    // Requests written and not yet answered (nor lost).
    std::size_t Waiting() const { return _entries.size(); }
    // The totals so far; the open requests count as open.
    std::map<std::string, Totals> ByCommand() const;
    const std::map<std::string, unsigned long>& ErrorTexts() const { return _errorTexts; }
    const std::map<std::string, unsigned long>& RefusedTexts() const { return _refusedTexts; }
    const std::vector<std::string>& UnexpectedLines() const { return _unexpectedLines; }
    unsigned long UnexpectedCount() const { return _unexpected; }
    // Up to `count` of the requests still open, oldest first.
    std::vector<Open> Oldest(std::size_t count) const;

private:
    struct Entry {
        std::string controller;
        unsigned incarnation = 0;
        std::string cmd;
        std::string device;
        double sentAt = 0;
        std::string deviceState;
        std::string line;
        bool made = false;
    };

    Id _next = 1;
    std::map<Id, Entry> _entries;
    std::map<std::string, Totals> _closed;
    std::map<std::string, unsigned long> _errorTexts;
    std::map<std::string, unsigned long> _refusedTexts;
    std::vector<std::string> _unexpectedLines;
    unsigned long _unexpected = 0;
};

}  // namespace ZelkorSoak
