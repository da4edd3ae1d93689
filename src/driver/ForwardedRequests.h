#pragma once
// The requests a router forwarded onto each connection whose replies have not come back,
// known by the ordinal the connection gave each (its place among the requests it took).
// A connection that ends first leaves them unanswered by the node beyond it; each is then
// refused to its requester as that node would have refused it, so that no requester
// waits for ever, and a device whose notices a requester's connection carried (its
// publishes, file blocks) may send its next one: its own connection writes the next
// request only once a reply came.
//
// A requester that leaves a device's notice unanswered (a publish, a log row, a file
// block) holds the device's connection to this node, which carries the notices of every
// requester behind it. A notice's age is what its requester is to blame for: the time
// since the write of its last byte completed, and, while it was being written, the time
// beyond what its bytes take at the pace of the node's output bound
// (TcpSocket::RequestWrite): a requester on a slow link is not to blame for the time a
// large block takes on the wire, one that reads a trickle is. A notice waiting its turn
// does not age while what holds the connection is another requester's notice (on a
// connection to a router in front), this node's own request or a reply being written;
// it does while the requester leaves one of its own notices ahead of it unanswered, so
// that a requester whose notices queue up behind each other has the bound for all of
// them, not for each. Nor does it age while replies ahead of it are written at the pace,
// however long they take; but a requester that leaves replies unread holds the notices
// behind them, and with them the devices' connections, as surely as one that leaves a
// notice unanswered: once the writes of the connection's present busy run have fallen
// behind the pace by OutputGrace in all, each further moment they fall behind counts
// against the notices waiting there (the connection's own requester's: on a connection to
// a router in front, that router bounds its requesters' replies itself). Past its bound a
// notice is refused to the device as if the
// requester were gone, and the device forgets it; its reply, should it come after all,
// is not passed on, since the device has had its answer. The notices waiting behind it
// on the same connection can then never be written (the connection writes its next
// request only once a reply came), and are refused with it.
//
// Ownership: a member of the driver; requesters are held weakly. Bounded: a connection
// keeps at most MaxPerConnection unanswered requests. Past it one is given up: one whose
// requester is gone, else the oldest of the requester that holds the most, so that a
// requester that floods a connection loses its own requests, not another's whose request
// waits among them. Threads: the event-loop thread only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Zelkor {

class TcpSocket;

class ForwardedRequests {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t MaxPerConnection = 1024;
    // How long a requester may leave a notice unanswered. The timer scale of tests leaves
    // it as it is: it lies below their floor. A requester beyond another router has twice
    // as long: that router refuses its own requesters' notices at this bound, and its
    // refusal must come back before this node's runs out.
    static constexpr std::chrono::seconds NoticeBound{5};
    // How far a connection's writes ahead of a notice may fall behind the pace before the
    // notice begins to age: a requester may leave a large reply unread for a while, or
    // read a run of them slowly, and still have its notices. Unscaled, as NoticeBound.
    static constexpr std::chrono::seconds OutputGrace{60};

    // One request still to be answered: its ordinal on the connection it went on, who
    // asked (the connection it came on and the requester's name: behind a router many
    // share the connection), and the head of the line that went (its routing header and
    // word), from which its refusal is made should that connection end first.
    struct Pending {
        std::uint64_t ordinal = 0;
        std::weak_ptr<TcpSocket> requester;
        std::string head;
        std::string source;
        // The asking connection as a key, and, for a request of the requester's own (no
        // notice), how long it holds the requester's name (Awaits) and how long it may wait
        // to be written (ExpireQueued). One that takes work may have waited so long that
        // its bound on its connection (`ownBound`, from its write) outlasts its requester:
        // it is given up at `answerBy` though written (empty for others, whose wait
        // leaves them room).
        const TcpSocket* requesterKey = nullptr;
        Clock::time_point holdUntil{};
        Clock::time_point queuedUntil{};
        Clock::time_point answerBy{};
        Clock::duration ownBound{};
        // A notice (a request that answers no request of its own: a publish, a log row, a
        // file block); requests carry none of what follows.
        bool notice = false;
        // A device's notice toward a requester (it came on a connection this node opened
        // to the device), rather than a requester's own toward a device (a put's blocks).
        bool toRequester = false;
        // The node the notice is for, whether it is the peer of the connection the notice
        // went on (rather than a node beyond it), and how long it may leave the notice
        // unanswered.
        std::string destination{};
        bool direct = false;
        Clock::duration bound{};
        // When the connection took the line, and when its write began (empty until then).
        Clock::time_point queued{};
        Clock::time_point written{};
        // Its write as last seen on the connection (InFlight): empty until seen.
        Clock::duration behind{};
        Clock::time_point seenAt{};
        // The time its requester left its own notices ahead of it unanswered while it
        // waited (a device's notice toward a requester only).
        Clock::duration charged{};
        // The connection's OutputStall total when the notice was queued, and how far the
        // output ahead of it may fall behind before it ages (less for a requester that
        // used up its grace lately).
        Clock::duration stalledAtQueue{};
        Clock::duration grace = OutputGrace;
    };

    // What a connection tells of a request of its own: its ordinal (for the request in
    // flight, 0 when none), and how long its write has been its peer's doing, `behind` as
    // of `at` (negative while the write runs ahead of its pace; `at` empty when the
    // connection cannot tell), all the time after `at` counting too
    // (TcpSocket::RequestWrite).
    // With it, what the connection's writes of other lines (replies) fell behind the pace,
    // in all and at the start of its present busy run, as of now (TcpSocket::OutputStall).
    struct InFlight {
        std::uint64_t ordinal = 0;
        Clock::duration behind{};
        Clock::time_point at{};
        Clock::duration stalled{};
        Clock::duration stallRun{};
    };
    using InFlightOf = std::function<InFlight(const TcpSocket*)>;

    struct Refused {
        const TcpSocket* onward = nullptr;
        Pending pending;
        // Its own requester left it unanswered past its bound (it was written, or it
        // waited behind the requester's own unanswered notices that long); otherwise it
        // waited behind such a notice, or its requester is refused already.
        bool unanswered = false;
        // It passed its bound waiting behind output its requester does not take.
        bool behindOutput = false;
    };

    // A request its connection left unanswered as it ended, and for how long its
    // requester had left it so (as the bound counts it).
    struct Left {
        Pending pending;
        Clock::duration unanswered{};
    };

    // A request went on `onward`. False when another one there was given up to make room:
    // it goes to `givenUp`, its late reply not passed on (GiveUp is the caller's should it
    // still be written).
    bool Forwarded(const TcpSocket* onward, Pending pending, Pending* givenUp = nullptr);
    // The request of `ordinal` on `onward`, no longer awaited here, is given up: its late
    // reply is not passed on.
    void GiveUp(const TcpSocket* onward, std::uint64_t ordinal) { keep(_givenUp, onward, ordinal); }
    // The write of the request of `ordinal` on `onward` began at `at`.
    void Written(const TcpSocket* onward, std::uint64_t ordinal, Clock::time_point at);
    // A reply came on `onward` at `now` for its request of `ordinal` (0: for none), which
    // the connection tells of as `asked`. False when that request was refused already (a
    // notice left unanswered too long, a request given up written): the reply is not to be
    // passed on. The time the requester took over a notice counts against its notices
    // waiting behind it. The request answered, when one was waiting, goes to `answered`.
    bool Answered(const TcpSocket* onward, std::uint64_t ordinal, const InFlight& asked, Clock::time_point now,
                  Pending* answered = nullptr);
    // True while `onward`'s request in flight, of ordinal `inFlight`, is a notice refused
    // unanswered: nothing queued behind it will be written before its requester answers.
    bool Blocked(const TcpSocket* onward, std::uint64_t inFlight) const;
    // `onward`, whose request in flight was `inFlight`, ended at `now`: its unanswered
    // requests, oldest first, now forgotten.
    std::vector<Left> Ended(const TcpSocket* onward, const InFlight& inFlight, Clock::time_point now);
    // The notices left unanswered past their bounds at `now` (`inFlight` tells of each
    // connection's request in flight), and those waiting behind one (on a connection whose
    // request in flight is such a notice), now refused: their late replies are not passed
    // on.
    std::vector<Refused> ExpireNotices(Clock::time_point now, const InFlightOf& inFlight);
    // The notices on `onward` that `refuses` picks, now refused likewise.
    std::vector<Refused> RefuseNotices(const TcpSocket* onward, const std::function<bool(const Pending&)>& refuses);
    // Whether `requester` awaits at `now` the answer to a request of `source` that this
    // node passed on, within that request's hold (Pending::holdUntil), or had the last
    // such answer less than `quiet` ago: a requester that waited in silence is given the
    // time to speak again that its silence would have left it.
    bool Awaits(const TcpSocket* requester, const std::string& source, Clock::time_point now,
                Clock::duration quiet) const;
    // `requester`'s connection ended: it holds no name any more.
    void RequesterClosed(const TcpSocket* requester);
    // Whether a request of `requester`'s own (not a notice's answer) awaits its answer
    // here: a peer that keeps the lock-step has one at a time on its connection.
    bool Asking(const TcpSocket* requester) const { return _asking.count(requester) != 0; }
    // The requests (not notices) still waiting to be written on their connection at `now`,
    // past their Pending::queuedUntil, that `withdraw` took back from it, and those
    // written past their Pending::answerBy, whose late replies are not passed on: no
    // longer awaited.
    std::vector<Pending> ExpireQueued(Clock::time_point now,
                                      const std::function<bool(const TcpSocket* onward, std::uint64_t ordinal)>& withdraw);

private:
    using Waiting = std::deque<Pending>;
    // A requester as the bound counts it: its connection and its name.
    using Holder = std::pair<const TcpSocket*, std::string>;
    static Holder holderOf(const Pending& pending) { return {pending.requester.lock().get(), pending.source}; }
    // How many of one connection's requests each requester holds. A burst past the bound
    // gives one up at every request that comes: the requester holding most is then found
    // without a walk of them all each time. Kept while requests only come and are given up
    // so; any other change forgets it, and the next give-up counts them anew.
    class Tally {
    public:
        void Add(const Holder& holder) { move(holder, 1); }
        void Remove(const Holder& holder) { move(holder, -1); }
        // The requester holding most; the tally must not be empty.
        const Holder& Most() const { return _byCount.rbegin()->second; }

    private:
        void move(const Holder& holder, int by);
        std::map<Holder, std::size_t> _counts;
        std::set<std::pair<std::size_t, Holder>> _byCount;
    };
    Pending forgetOne(const TcpSocket* onward, Waiting& waiting);
    // `onward`'s requests changed otherwise than by Forwarded and forgetOne.
    void untally(const TcpSocket* onward) { _tallies.erase(onward); }
    // How long `pending` has aged on its own at `now`, from its write on (see InFlight);
    // nothing before its write.
    static std::optional<Clock::duration> ownAge(const Pending& pending, const InFlight& inFlight,
                                                 Clock::time_point now);
    // How long `pending`'s requester has left it unanswered at `now`, among `waiting`.
    static Clock::duration unanswered(const Waiting& waiting, const Pending& pending, const InFlight& inFlight,
                                      Clock::time_point now);
    // How long `pending`, not yet written, has waited behind output its requester does
    // not take, beyond its grace (InFlight).
    static Clock::duration behindOutput(const Pending& pending, const InFlight& inFlight);
    // `behind` waits behind `ahead`, a notice of the same requester.
    static bool sameRequesterAhead(const Pending& ahead, const Pending& behind);
    // What `behind` waited for its requester's answer to `ahead` by `now`.
    static Clock::duration waitedBehind(const Pending& ahead, const Pending& behind, const InFlight& inFlight,
                                        Clock::time_point now);
    using Ordinals = std::unordered_map<const TcpSocket*, std::deque<std::uint64_t>>;
    // Keeps `ordinal` among `onward`'s in `kept`, at most MaxPerConnection of them.
    static void keep(Ordinals& kept, const TcpSocket* onward, std::uint64_t ordinal);
    // Whether `ordinal` was among `onward`'s in `kept`, no longer kept.
    static bool take(Ordinals& kept, const TcpSocket* onward, std::uint64_t ordinal);
    void refuse(const TcpSocket* onward, std::uint64_t ordinal) { keep(_refused, onward, ordinal); }
    bool wasRefused(const TcpSocket* onward, std::uint64_t ordinal) const;
    // The holds of requests waiting for their answers, kept and let go with them.
    void hold(const Pending& pending);
    void release(const Pending& pending);

    std::unordered_map<const TcpSocket*, Waiting> _pending;
    std::unordered_map<const TcpSocket*, Tally> _tallies;
    // Per connection, the ordinals of notices refused unanswered, oldest first, and of
    // requests given up written (answerBy): these hold back nothing behind them.
    Ordinals _refused;
    Ordinals _givenUp;
    // Per asking connection and requester name, when the holds of its requests waiting
    // here end, and when the last one ended: asked for on every claim of a name, without a
    // walk of every request. Bounded: past MaxHolds entries, those holding no request go.
    struct Holds {
        std::multiset<Clock::time_point> until;
        Clock::time_point released{};
    };
    static constexpr std::size_t MaxHolds = 4096;
    std::map<std::pair<const TcpSocket*, std::string>, Holds> _holds;
    // Per asking connection, how many of its requests hold a name here.
    std::unordered_map<const TcpSocket*, std::size_t> _asking;
};

}  // namespace Zelkor
