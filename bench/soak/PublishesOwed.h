#pragma once
// What the subscriptions of the run are owed, and what came that nobody was owed. A
// subscription is one controller incarnation's (`sub`) to one path of one device, and
// stands from its subscribe's successful answer until the connection carrying it is lost
// or its unsubscribe is answered. Every change of the path made while it stands is owed a
// publish within kBound; one that does not come is missing. A publish of a path with no
// subscription standing or asked for is foreign.
//
// The times are the run's, read as lines came from different processes, so an order is
// taken only where it is causal: a change is owed only when the command that made it was
// written after the subscribe's answer was read, the changes made about the time an
// unsubscribe was written are owed nothing (kMargin), and a publish may come before the
// answer that tells of its change. A publish carries the value at the time it was sent,
// which settles that change and every one before it: one source makes a path's changes,
// one at a time. The faults the run injects forgive
// the changes made around them on the way they cut (a device, or the router for the
// controllers behind it), and a process that ends loses every subscription it carried.
//
// Pure accounts: no I/O. Threads: the run's one thread.

#include <deque>
#include <limits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace ZelkorSoak {

class PublishesOwed {
public:
    // Seconds. How long a change may wait for its publish: a router refuses a notice its
    // requester leaves unanswered after 5 s, after 10 s beyond another router; twice that.
    static constexpr double kBound = 20;
    // The changes made this near an unsubscribe's writing may have met it on the way.
    static constexpr double kMargin = 1;
    // A publish this soon after its subscription ended may have been on its way: late.
    static constexpr double kLate = 2;
    // After a fault ends, the way is given this long to settle before changes are owed.
    static constexpr double kSettle = 10;

    enum class Kind { Subscribed, Late, Foreign };

    // `via`: the router the subscriber reaches the device through; empty for none.
    void Subscribing(const std::string& sub, const std::string& via, const std::string& dev,
                     const std::string& path);
    // The subscribe's answer for `path`: it stands from `at`, or, failed, ends.
    void Subscribed(const std::string& sub, const std::string& dev, const std::string& path, bool ok, double at);
    void Unsubscribing(const std::string& sub, const std::string& dev, const std::string& path, double at);
    // Its unsubscribe was answered without an error.
    void Unsubscribed(const std::string& sub, const std::string& dev, const std::string& path, double at);
    // Its subscribe or unsubscribe timed out: whether it stands is unknown until the next
    // one is answered, so it is owed nothing, and what comes of it is not foreign.
    void Unknown(const std::string& sub, const std::string& dev, const std::string& path, double at);
    // Its subscribe timed out: one that stood before it stands on, since a subscribe ends
    // none whether it was carried out or not; any other is Unknown.
    void SubscribeTimedOut(const std::string& sub, const std::string& dev, const std::string& path, double at);
    // The connection carrying every subscription of `sub` to `dev` was lost.
    void Lost(const std::string& sub, const std::string& dev, double at);
    // A fault of the run's begins on `node` (`ends`: its process ends, and the connections
    // it carried with it), or ends there.
    void FaultBegins(const std::string& node, bool ends, double at);
    void FaultEnds(const std::string& node, double at);

    // The device changed `path` to `value` at some time within [from, to].
    void Changed(const std::string& dev, const std::string& path, const std::string& value, double from, double to);
    // A publish of `path` with `value` came to `sub`: it settles what its value shows.
    Kind Published(const std::string& sub, const std::string& dev, const std::string& path, const std::string& value,
                   double at);
    // The changes owed a publish that has not come within kBound, each told once.
    std::vector<std::string> Missing(double now);

private:
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    struct Change {
        unsigned long serial = 0;
        std::string value;
        double from = 0;
        double to = 0;
    };
    struct Subscription {
        std::string via;
        enum class State { Asked, Standing, Unknown, Ended } state = State::Asked;
        double since = 0;
        // Changes made from this time on are owed nothing (its unsubscribe is under way).
        double owedUntil = kNever;
        double endedAt = 0;
        std::deque<Change> owed;
        // The values its recent publishes carried, with when each came: a publish may come
        // before the answer that tells of its change, from another process.
        std::deque<std::pair<std::string, double>> heard;
    };
    struct Fault {
        std::string node;
        double from = 0;
        double to = kNever;
    };
    using Key = std::tuple<std::string, std::string, std::string>;

    static bool through(const Key& key, const Subscription& subscription, const std::string& node);
    // Settles the changes owed up to the one of `serial`.
    static void settle(Subscription& subscription, unsigned long serial);
    bool forgiven(const Key& key, const Subscription& subscription, const Change& change) const;
    // The changes it is owed that are not yet due at `at` are owed no more.
    static void forgetNotDue(Subscription& subscription, double at);
    // Ends it at `at`; the changes it is owed that are not yet due are owed no more.
    static void end(Subscription& subscription, double at);

    std::map<Key, Subscription> _subscriptions;
    // Each path's recent changes by device, oldest first: a publish carries the value at
    // the time it was sent, which settles that change and every one before it.
    std::map<std::pair<std::string, std::string>, std::deque<Change>> _changes;
    std::vector<Fault> _faults;
    unsigned long _serial = 0;
};

}  // namespace ZelkorSoak
