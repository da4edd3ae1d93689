#pragma once
// The requests this node passed on toward the node behind it and whose replies have not
// come back, per connection they went on. Should that connection end first, each
// requester is owed the refusal the node behind would have sent: without it the request
// is never answered, and the requester's connection to this node, which writes its next
// request only once a reply came, holds every later request behind it.
//
// Each record keeps the refusal's header and word as they go back to the requester, not
// the request: a forwarded line may be long, its answer is not.
//
// Ownership: a member of the driver; requesters are held weakly. Bounded: at most
// MaxPerConnection records per connection, the oldest forgotten first (its requester then
// goes unanswered should that connection end). Threads: the event-loop thread only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Zelkor {

class TcpSocket;

class ForwardedRequests {
public:
    static constexpr std::size_t MaxPerConnection = 1024;

    // What a requester is owed: its connection, and the refusal's header and word as it
    // goes back ("[ctl1][rt1&amp1] @get "), to be followed by the body.
    struct Owed {
        std::weak_ptr<TcpSocket> requester;
        std::string front;
    };

    // The request `onward` took with ordinal `ordinal`. False when a record was forgotten
    // to make room.
    bool Add(const TcpSocket* onward, std::uint64_t ordinal, Owed owed);
    // A reply came on `onward` for the request of `ordinal`: that one, and any older one
    // (the node behind answers in order), is owed nothing more. Ordinal 0 answers none.
    void Answered(const TcpSocket* onward, std::uint64_t ordinal);
    // `onward` ended: what it still owed, oldest first.
    std::vector<Owed> Ended(const TcpSocket* onward);
    std::size_t Size() const;

private:
    struct Record {
        std::uint64_t ordinal = 0;
        Owed owed;
    };
    std::map<const TcpSocket*, std::deque<Record>> _records;
};

}  // namespace Zelkor
