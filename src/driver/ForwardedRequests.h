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
// requester behind it. A notice ages from when its write to the requester began, not
// from when it was queued: the requester's connection carries one request at a time, and
// a requester that answers each in turn is not to blame for the turns it waits. Past its
// bound such a notice is refused to the device as if the requester were gone, and the
// device forgets it; its reply, should it come after all, is not passed on, since the
// device has had its answer. The notices waiting behind it on the same connection can
// then never be written (the connection writes its next request only once a reply came),
// and are refused with it.
//
// Ownership: a member of the driver; requesters are held weakly. Bounded: a connection
// keeps at most MaxPerConnection unanswered requests. Past it one is forgotten: one whose
// requester is gone, else the oldest of the requester that holds the most, so that a
// requester that floods a connection loses its own refusals, not another's whose request
// waits among them. Threads: the event-loop thread only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace Zelkor {

class TcpSocket;

class ForwardedRequests {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t MaxPerConnection = 1024;
    // How long a requester may leave a notice unanswered once its write began. The timer
    // scale of tests leaves it as it is: it lies below their floor. A requester beyond
    // another router has twice as long: that router refuses its own requesters' notices
    // at this bound, and its refusal must come back before this node's runs out.
    static constexpr std::chrono::seconds NoticeBound{5};

    // One request still to be answered: its ordinal on the connection it went on, who
    // asked (the connection it came on and the requester's name: behind a router many
    // share the connection), and the head of the line that went (its routing header and
    // word), from which its refusal is made should that connection end first.
    struct Pending {
        std::uint64_t ordinal = 0;
        std::weak_ptr<TcpSocket> requester;
        std::string head;
        std::string source;
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
    };

    struct Refused {
        const TcpSocket* onward = nullptr;
        Pending pending;
        // Its own requester left it unanswered past its bound; otherwise it waited behind
        // such a notice, or its requester is refused already.
        bool unanswered = false;
    };

    // A request went on `onward`. False when another one there was forgotten to make
    // room.
    bool Forwarded(const TcpSocket* onward, Pending pending);
    // The write of the request of `ordinal` on `onward` began at `at`.
    void Written(const TcpSocket* onward, std::uint64_t ordinal, Clock::time_point at);
    // A reply came on `onward` for its request of `ordinal` (0: for none). False when
    // that request was refused already (a notice left unanswered too long): the reply is
    // not to be passed on.
    bool Answered(const TcpSocket* onward, std::uint64_t ordinal);
    // True while `onward`'s request in flight, of ordinal `inFlight`, is a notice refused
    // unanswered: nothing queued behind it will be written before its requester answers.
    bool Blocked(const TcpSocket* onward, std::uint64_t inFlight) const;
    // `onward` ended: its unanswered requests, oldest first, now forgotten.
    std::vector<Pending> Ended(const TcpSocket* onward);
    // The notices written and left unanswered past their bounds at `now`, and those
    // waiting behind one (on a connection whose request in flight, as `inFlight` tells, is
    // such a notice), now refused: their late replies are not passed on.
    std::vector<Refused> ExpireNotices(Clock::time_point now,
                                       const std::function<std::uint64_t(const TcpSocket*)>& inFlight);
    // The notices on `onward` that `refuses` picks, now refused likewise.
    std::vector<Refused> RefuseNotices(const TcpSocket* onward, const std::function<bool(const Pending&)>& refuses);

private:
    using Waiting = std::deque<Pending>;
    static void forgetOne(Waiting& waiting);
    void refuse(const TcpSocket* onward, std::uint64_t ordinal);
    bool wasRefused(const TcpSocket* onward, std::uint64_t ordinal) const;

    std::unordered_map<const TcpSocket*, Waiting> _pending;
    // Per connection, the ordinals of notices refused unanswered, oldest first.
    std::unordered_map<const TcpSocket*, std::deque<std::uint64_t>> _refused;
};

}  // namespace Zelkor
