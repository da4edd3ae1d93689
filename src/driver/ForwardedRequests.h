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
// requester behind it. Past a stated age such a notice is refused to the device as if the
// requester were gone, and the device forgets it; its reply, should it come after all, is
// not passed on, since the device has had its answer.
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
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Zelkor {

class TcpSocket;

class ForwardedRequests {
public:
    static constexpr std::size_t MaxPerConnection = 1024;

    // One request still to be answered: its ordinal on the connection it went on, who
    // asked (the connection it came on and the requester's name: behind a router many
    // share the connection), and the head of the line that went (its routing header and
    // word), from which its refusal is made should that connection end first.
    struct Pending {
        std::uint64_t ordinal = 0;
        std::weak_ptr<TcpSocket> requester;
        std::string head;
        std::string source;
        // A notice toward a requester, with the time it went; requests carry neither.
        bool notice = false;
        std::chrono::steady_clock::time_point sent{};
    };

    // A request went on `onward`. False when another one there was forgotten to make
    // room.
    bool Forwarded(const TcpSocket* onward, Pending pending);
    // A reply came on `onward` for its request of `ordinal` (0: for none). False when
    // that request was refused already (a notice left unanswered too long): the reply is
    // not to be passed on.
    bool Answered(const TcpSocket* onward, std::uint64_t ordinal);
    // `onward` ended: its unanswered requests, oldest first, now forgotten.
    std::vector<Pending> Ended(const TcpSocket* onward);
    // The notices sent before `cutoff` and still unanswered, with the connection each went
    // on, now refused: their late replies are not passed on.
    std::vector<std::pair<const TcpSocket*, Pending>> ExpireNotices(std::chrono::steady_clock::time_point cutoff);

private:
    using Waiting = std::deque<Pending>;
    static void forgetOne(Waiting& waiting);

    std::unordered_map<const TcpSocket*, Waiting> _pending;
    // Per connection, the ordinals of notices refused unanswered, oldest first.
    std::unordered_map<const TcpSocket*, std::deque<std::uint64_t>> _refused;
};

}  // namespace Zelkor
