#pragma once
// Where replies to forwarded requests go back to, and who may send toward a requester.
//
// A requester's name (the originator of a forwarded request) belongs to the connection its
// requests came on: its owner. Each connection a request of the name went on is one of its
// carriers: replies for the name, and what the node behind a carrier sends the requester
// (publishes, log rows, events, blocks), are taken from carriers only and go to the owner.
// A line claiming a name from another connection is refused while the owner is open and
// has spoken lately, so that no peer takes another's replies by giving its name; an owner
// gone quiet yields the name to the newer connection (a requester that reconnected while
// its old connection was half-open).
//
// Ownership: a member of the driver; connections are held weakly, so a route never keeps a
// connection open and a closed one is simply not found. Bounded: one connection owns at
// most MaxNamesPerOwner names; when the table is full the least recently used name whose
// owner is gone or quiet makes room (a name in use is never pushed out for another peer
// to claim, and a new name finds no room while every name is in use); a name keeps every
// carrier while that is open, so its carriers are bounded by this node's connections, and
// names longer than MaxNameLength are not kept.
// Threads: the event-loop thread only.

#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

namespace Zelkor {

class TcpSocket;

class ReturnRoutes {
public:
    using Clock = std::chrono::steady_clock;

    // Longer requester names are not remembered: their replies find no way back.
    static constexpr std::size_t MaxNameLength = 255;
    // Names one connection may own: the requesters behind one router.
    static constexpr std::size_t MaxNamesPerOwner = 256;

    explicit ReturnRoutes(std::size_t capacity = 1024) : _capacity(capacity) {}

    // A request of `name` came on `from` and goes on `onward`. False, and nothing changes,
    // when the name belongs to another connection that is open and sent a line less than
    // `quiet` before `now`, or when a new name finds no room.
    bool Claim(const std::string& name, const std::shared_ptr<TcpSocket>& from,
               const std::shared_ptr<TcpSocket>& onward, Clock::time_point now, Clock::duration quiet);
    // The live owner of `name`, when `arrivedOn` carried its requests; empty otherwise.
    std::shared_ptr<TcpSocket> Back(const std::string& name, const TcpSocket* arrivedOn) const;
    std::size_t Size() const { return _routes.size(); }

private:
    using Order = std::list<std::string>;
    // A carrier is known by its address while it lives; a closed one's address may be
    // taken by a new connection, which its expired reference tells apart.
    using Carriers = std::unordered_map<const TcpSocket*, std::weak_ptr<TcpSocket>>;
    struct Route {
        std::weak_ptr<TcpSocket> owner;
        Carriers carriers;
        Order::iterator age;
    };

    static bool heldBy(const Route& route, const TcpSocket* from, Clock::time_point now, Clock::duration quiet);
    static void carry(Route& route, const std::shared_ptr<TcpSocket>& onward);
    // Room for one more name: false when every name is held by a live connection, or
    // `from` owns as many as it may.
    bool makeRoom(const TcpSocket* from, Clock::time_point now, Clock::duration quiet);

    std::size_t _capacity;
    std::map<std::string, Route> _routes;
    // Requester names, the least recently refreshed first.
    Order _order;
};

}  // namespace Zelkor
