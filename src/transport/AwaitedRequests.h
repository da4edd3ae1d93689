#pragma once
// The requests one connection wrote whose replies have not come yet, oldest first: what
// a reply answers. Each request is known by its ordinal (its place among the requests
// the connection took, 1 for the first) and its word. A reply answers the oldest awaited
// request of its own word; an "@error" or "@unrecognized", which names no word of its
// request, answers the oldest of all: the one in flight, since a connection writes its
// next request only once a reply came. A notice (a publish, a log row, an event, a block)
// goes to one requester among the many a router's connection carries, and its answer
// comes back along its route: it answers only a notice sent along that route, so that a
// router's word that a requester is gone, which answers no notice, is not taken for
// another requester's answer.
//
// What is awaited is bounded: a peer that answers with replies nobody asked for lets
// the connection write request after request, and those that are never answered must not
// pile up for the connection's life. Once MaxAwaited wait, the connection writes no
// further request until one is answered, as behind the lock-step; it is not closed for
// it, since the link may be one every requester behind a router shares, and each request
// written keeps its own time bound, which still gives up a peer that answers nothing.
// Each is kept with what bounds the wait for its answer: its kind, the nodes beyond the
// peer it went to, when its write began, and what the peer's incoming lines had bought the
// connection by then (TcpSocket).
//
// Ownership: a value held by its connection. Threads: the connection's loop.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "transport/AnswerWaits.h"

namespace Zelkor {

struct ConnectionRequest {
    // 0: no request.
    std::uint64_t ordinal = 0;
    std::string word;
    // A notice's targets, which its answer's sources repeat; empty for any other request.
    std::vector<std::string> route{};
    AnswerWait wait = AnswerWait::Work;
    std::size_t beyond = 0;
    std::chrono::steady_clock::time_point writtenAt{};
    std::chrono::steady_clock::duration creditAt{};
    // Passed on for a requester behind this node (its line names two sources or more).
    bool forwarded = false;
    // When the connection took it: for one passed on, its arrival at this node.
    std::chrono::steady_clock::time_point takenAt{};
};

class AwaitedRequests {
public:
    static constexpr std::size_t MaxAwaited = 64;

    // A request was written and waits for its reply. Only while not Full().
    void Written(ConnectionRequest request);
    // As many wait as may: the next request waits for an answer.
    bool Full() const { return _awaited.size() >= MaxAwaited; }
    // The request a reply of `word` (without "@") and `sources` answers, no longer
    // awaited; ordinal 0 when it answers none.
    ConnectionRequest Answer(const std::string& word, const std::vector<std::string>& sources = {});
    // The words a node sends unasked toward a requester (publishes, log rows, events,
    // blocks, firmware progress); a requester's firmware update, the one of them a
    // requester asks, is answered along its route all the same.
    static bool IsNotice(const std::string& word);
    // Whether a request of `word` awaits its reply.
    bool Awaits(const std::string& word) const {
        return std::any_of(_awaited.begin(), _awaited.end(),
                           [&word](const ConnectionRequest& request) { return request.word == word; });
    }
    void Clear() { _awaited.clear(); }
    std::size_t Size() const { return _awaited.size(); }
    const std::deque<ConnectionRequest>& All() const { return _awaited; }

private:
    std::deque<ConnectionRequest> _awaited;
};

}  // namespace Zelkor
