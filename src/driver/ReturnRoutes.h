#pragma once
// Where replies to forwarded requests go back to: the connection each requester's last
// request came on, keyed by the requester's name (the reply's final target). Requests of
// several requesters through one next hop thus each keep their way back. A requester that
// connected to this node has no other way to it: requests for it (what it subscribed to)
// take the same route.
//
// Ownership: a member of the driver; connections are held weakly, so a route never keeps
// a connection open and a closed one is simply not found. Bounded: the oldest route goes
// when the table is full, and names longer than MaxNameLength are not kept.
// Threads: the event-loop thread only.

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>

namespace Zelkor {

class TcpSocket;

class ReturnRoutes {
public:
    // Longer requester names are not remembered: their replies find no way back.
    static constexpr std::size_t MaxNameLength = 255;

    explicit ReturnRoutes(std::size_t capacity = 1024) : _capacity(capacity) {}

    // Replies for `requester` return on `back` from now on.
    void Remember(const std::string& requester, const std::shared_ptr<TcpSocket>& back);
    // The live connection of the requester; empty when none is known.
    std::shared_ptr<TcpSocket> Find(const std::string& requester) const;
    std::size_t Size() const { return _routes.size(); }

private:
    using Order = std::list<std::string>;
    struct Route {
        std::weak_ptr<TcpSocket> back;
        Order::iterator age;
    };

    std::size_t _capacity;
    std::map<std::string, Route> _routes;
    // Requester names, the least recently refreshed first.
    Order _order;
};

}  // namespace Zelkor
