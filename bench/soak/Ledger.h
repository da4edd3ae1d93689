#pragma once
// The accounts of every request the controllers were asked to make. A request opens when
// its command is written to the runner; the runner's "request" line counts it as made
// (an "error" line instead, such as "no device G for get", counts it refused); its answer
// line closes it. Each request made must be answered exactly once, and within the late
// bound: one left open at the end is "never answered", a second answer an "unexpected
// answer", and an answer that came more than the bound after its command was written is
// "late". The requests of a controller killed (or ended) before their answer came are
// "lost with their node", not held against the nodes that were asked, unless they had
// already waited past the bound: those are late. A request counts in one column only, so
// one still open at the end is never answered, however long it waited. Only open
// requests are kept; a closed one is folded into the totals of its command.
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

    // Seconds: an answer that comes later than this after its command fails the run.
    static constexpr double kLateBound = 90;

    struct Totals {
        unsigned long sent = 0;
        unsigned long refused = 0;
        unsigned long made = 0;
        unsigned long answered = 0;
        unsigned long errors = 0;
        unsigned long lost = 0;
        // Answered after the late bound, or lost with their controller once past it.
        unsigned long late = 0;
        // Made and never answered.
        unsigned long open = 0;
        // Written, and neither its request line nor an answer came.
        unsigned long unacknowledged = 0;
        double slowest = 0;
    };

    // A request as the report shows it: one that stayed open, or one answered late.
    struct Request {
        std::string controller;
        std::string cmd;
        std::string device;
        double sentAt = 0;
        std::string line;
        std::string deviceState;
        // How long it waited, and, for a late one, how it ended.
        double waited = 0;
        std::string outcome;
    };

    explicit Ledger(double lateBound = kLateBound) : _lateBound(lateBound) {}

    double LateBound() const { return _lateBound; }

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
    // The controller's process ended at `now`: what it still waited for is lost with it.
    void Lost(const std::string& controller, unsigned incarnation, double now);

    // Requests written and not yet answered (nor lost).
    std::size_t Waiting() const { return _entries.size(); }
    // Of those, the ones that have waited past the late bound at `now`.
    std::size_t Overdue(double now) const;
    // The totals so far; the open requests count as open.
    std::map<std::string, Totals> ByCommand() const;
    const std::map<std::string, unsigned long>& ErrorTexts() const { return _errorTexts; }
    const std::map<std::string, unsigned long>& RefusedTexts() const { return _refusedTexts; }
    const std::vector<std::string>& UnexpectedLines() const { return _unexpectedLines; }
    unsigned long UnexpectedCount() const { return _unexpected; }
    // Up to `count` of the requests still open, oldest first, with how long each has
    // waited at `now`.
    std::vector<Request> Oldest(std::size_t count, double now) const;
    // The first of the late requests, in the order they were found late.
    const std::vector<Request>& LateOnes() const { return _lateOnes; }

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

    Request shown(const Entry& entry, double now) const;
    void late(const Entry& entry, double now, const std::string& outcome);

    double _lateBound;
    Id _next = 1;
    std::map<Id, Entry> _entries;
    std::map<std::string, Totals> _closed;
    std::map<std::string, unsigned long> _errorTexts;
    std::map<std::string, unsigned long> _refusedTexts;
    std::vector<std::string> _unexpectedLines;
    unsigned long _unexpected = 0;
    std::vector<Request> _lateOnes;
};

}  // namespace ZelkorSoak
