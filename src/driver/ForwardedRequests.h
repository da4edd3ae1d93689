#pragma once
// The requests a router forwarded onto each connection whose replies have not come back.
// A connection that ends first leaves them unanswered by the node beyond it; each is then
// refused to its requester as that node would have refused it, so that no requester waits
// for ever, and a device whose requests a requester's connection carried (its publishes,
// file blocks) may send its next one.
//
// Ownership: a member of the driver; requesters are held weakly. Bounded: a connection
// keeps at most MaxPerConnection unanswered requests, the oldest forgotten first (a node
// beyond that answers with replies nobody asked for only loses its own requesters'
// refusals). Threads: the event-loop thread only.

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace Zelkor {

class TcpSocket;

class ForwardedRequests {
public:
    static constexpr std::size_t MaxPerConnection = 4096;

    // One request still to be answered: who asked, and the refusal it hears should the
    // connection it went on end first.
    struct Pending {
        std::weak_ptr<TcpSocket> requester;
        std::string name;
        std::string word;
        std::string refusal;
    };

    // A request of `pending.name` went on `onward`.
    void Forwarded(const TcpSocket* onward, Pending pending);
    // A reply of `word` for `name` came back on `onward`: it answers the oldest request of
    // that name and word there; an "error" or "unrecognized" reply, which names no word,
    // the oldest of that name.
    void Answered(const TcpSocket* onward, const std::string& name, const std::string& word);
    // `onward` ended: its unanswered requests, oldest first, now forgotten.
    std::vector<Pending> Ended(const TcpSocket* onward);
    std::size_t Size(const TcpSocket* onward) const;

private:
    std::unordered_map<const TcpSocket*, std::deque<Pending>> _pending;
};

}  // namespace Zelkor
