#pragma once
// Where replies to forwarded requests go back to, and who may send toward a requester.
//
// A requester's name (the originator of a forwarded request) belongs to the connection its
// requests came on: its owner. Each connection a request of the name went on is one of its
// carriers: replies for the name, and what the node behind a carrier sends the requester
// (publishes, log rows, events, blocks), are taken from carriers only and go to the owner.
// A line claiming a name from another connection is refused while the owner is open and
// has spoken lately, or awaits an answer to a request of the name it made through this
// node (the router tells), so that no peer takes another's replies by giving its name; an
// owner gone quiet with nothing awaited yields the name to the newer connection (a
// requester that reconnected while its old connection was half-open).
//
// A name whose owner's connection closed stays its owner's address's for a grace: a
// requester restarted on that host takes it back, and a claim from another address is
// refused as in use meanwhile (unless the claimant proved the code), so that a stranger
// cannot take the name in the moment between the two connections and keep it by talking.
//
// What the nodes behind the carriers keep for a name (subscriptions, transfers) is the
// owner's alone: when the owner's connection ends, or the name passes to another
// connection, the name's end is reported with each carrier and the ways (routing headers)
// the name's requests took through it, so that the router can tell those nodes; a name
// that passes starts with no carrier.
//
// Ownership: a member of the driver; connections are held weakly, so a route never keeps a
// connection open. Bounded: one connection owns at most MaxNamesPerOwner names, and the
// table holds at most its capacity. The names of a closed connection go at once, and so
// does its place among every name's carriers. When the table is full, the least recently
// used name whose owner is quiet makes room; failing that, the table is shared between
// the owners' source addresses (SourceGroup): a new name from an address that holds fewer
// names than the one holding most takes the place of that one's least recently used name,
// so that no one source keeps every newcomer out. A name keeps every carrier while that
// is open, so its carriers are bounded by this node's connections, and names longer than
// MaxNameLength are not kept.
// Threads: the event-loop thread only.

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "core/MessageForwardInfo.h"

namespace Zelkor {

class TcpSocket;

class ReturnRoutes {
public:
    using Clock = std::chrono::steady_clock;

    // Longer requester names are not remembered: their replies find no way back.
    static constexpr std::size_t MaxNameLength = 255;
    // Names one connection may own: the requesters behind one router.
    static constexpr std::size_t MaxNamesPerOwner = 256;

    enum class Claimed {
        Taken,
        // The name belongs to another connection that is open and spoke lately.
        InUse,
        // No room for a new name: the table is full and this source holds its share, or
        // the connection owns as many names as it may.
        Full,
    };

    // Ways kept per carrier: one per device behind it that the name's requests went to.
    static constexpr std::size_t MaxWaysPerCarrier = 8;

    // The routing header a request of a name went onward with.
    struct Way {
        MessageForwardInfo::PathList targets;
        MessageForwardInfo::PathList sources;
        friend bool operator==(const Way& a, const Way& b) { return a.targets == b.targets && a.sources == b.sources; }
    };
    // A name that ended on its owner: each live carrier with the ways its requests took.
    struct Ended {
        std::string name;
        const TcpSocket* owner = nullptr;
        std::vector<std::pair<std::shared_ptr<TcpSocket>, std::vector<Way>>> carriers;
    };
    // Whether `owner` awaits, at this node, the answer to a request of `name` it made.
    using Awaits = std::function<bool(const TcpSocket& owner, const std::string& name)>;

    explicit ReturnRoutes(std::size_t capacity = 1024) : _capacity(capacity) {}

    // A request of `name` came on `from` and goes on `onward`, with the routing header
    // `way` when it is a request of the name's own (not a notice it passes on). Nothing
    // changes unless the name is taken; a name that passes from another owner, or that
    // makes room, is reported in `ended`.
    // `trusted`: the claimant proved the code, which outranks the grace of a closed owner's
    // address.
    Claimed Claim(const std::string& name, const std::shared_ptr<TcpSocket>& from,
                  const std::shared_ptr<TcpSocket>& onward, Clock::time_point now, Clock::duration quiet,
                  const Way* way = nullptr, const Awaits& awaits = {}, std::vector<Ended>* ended = nullptr,
                  bool trusted = false);
    // The connection other than `from` that `name` belongs to, when it is open and sent a
    // line less than `quiet` before `now`, or awaits an answer: what Claim refuses as in
    // use. Null otherwise.
    std::shared_ptr<TcpSocket> Holder(const std::string& name, const TcpSocket* from, Clock::time_point now,
                                      Clock::duration quiet, const Awaits& awaits = {}) const;
    // The live owner of `name`, when `arrivedOn` carried its requests; empty otherwise.
    std::shared_ptr<TcpSocket> Back(const std::string& name, const TcpSocket* arrivedOn) const;
    // Whether `name` is in the grace of a closed owner whose address (SourceGroup) is not
    // that of `source`, at `now`: what Claim refuses a claimant from `source` that proved
    // nothing.
    bool VacatedElsewhere(const std::string& name, const boost::asio::ip::address& source, Clock::time_point now) const;
    // Whether `name` is held as a requester's: a request of its own went through here.
    bool IsRequester(const std::string& name) const;
    // `closed` ended at `now`: the names it owned go, reported (each kept for its owner's
    // address for `grace`), and it carries no name any more.
    std::vector<Ended> Closed(const TcpSocket* closed, Clock::time_point now = {}, Clock::duration grace = {});
    std::size_t Size() const { return _routes.size(); }

private:
    using Order = std::list<std::string>;
    // A carrier is known by its address while it lives; a closed one's address may be
    // taken by a new connection, which its expired reference tells apart.
    struct Carrier {
        std::weak_ptr<TcpSocket> socket;
        std::vector<Way> ways;
    };
    using Carriers = std::unordered_map<const TcpSocket*, Carrier>;
    struct Route {
        std::weak_ptr<TcpSocket> owner;
        const TcpSocket* ownerKey = nullptr;
        boost::asio::ip::address source;
        Carriers carriers;
        Order::iterator age;
    };

    static bool heldBy(const std::string& name, const Route& route, const TcpSocket* from, Clock::time_point now,
                       Clock::duration quiet, const Awaits& awaits);
    static void carry(Route& route, const std::shared_ptr<TcpSocket>& onward, const Way* way);
    // What telling the end of `name` on `route` takes: its live carriers and their ways.
    static Ended ended(const std::string& name, const Route& route);
    void own(Route& route, const std::shared_ptr<TcpSocket>& from);
    void disown(const Route& route);
    // Room for one more name from `from`; false when it has none. A name given up for it
    // is reported in `ended`.
    bool makeRoom(const std::shared_ptr<TcpSocket>& from, Clock::time_point now, Clock::duration quiet,
                  const Awaits& awaits, std::vector<Ended>* ended);
    void erase(Order::iterator name, std::vector<Ended>* ended = nullptr);

    // Whether a claim of `name` from `from` falls in the grace of a closed owner at another
    // address (forgetting a grace that is over).
    bool vacatedElsewhere(const std::string& name, const TcpSocket& from, Clock::time_point now);

    std::size_t _capacity;
    std::map<std::string, Route> _routes;
    // Names whose owner's connection closed: the owner's address, and the grace's end.
    // Bounded by the capacity; when full, the grace nearest its end goes.
    struct Vacated {
        boost::asio::ip::address source;
        Clock::time_point until;
    };
    std::map<std::string, Vacated> _vacated;
    // Requester names, the least recently refreshed first.
    Order _order;
    // Names held per owning connection and per owner's source.
    std::unordered_map<const TcpSocket*, std::size_t> _namesByOwner;
    std::map<boost::asio::ip::address, std::size_t> _namesBySource;
};

}  // namespace Zelkor
