#pragma once
// The moves of devices that discovery refused and has logged: a device in use is not
// moved to the endpoint a stranger names for it, and the refusal is logged once per
// device and endpoint, however often the stranger repeats it.
//
// At most `capacity` refusals are held: past it the oldest is forgotten, and logged
// again should it come back. A device's refusals are forgotten when it moves, so that
// a refusal after the move is news again; a device that leaves the list keeps them until
// they are pushed out, so the same refusal is not logged again should it come back.
//
// Ownership: a plain value, owned by the discovery service. Threads: none of its own; the
// service uses it on the event loop only.

#include <cstddef>
#include <list>
#include <map>
#include <string>
#include <utility>

#include <boost/asio/ip/address.hpp>

namespace Zelkor {

class RefusedMoves {
public:
    using Endpoint = std::pair<boost::asio::ip::address, unsigned short>;

    static constexpr std::size_t DefaultCapacity = 1024;

    // A capacity of 0 is taken as 1.
    explicit RefusedMoves(std::size_t capacity = DefaultCapacity);

    // The move of the device `guid` to `to` was refused: true the first time, when it is
    // to be logged.
    bool Refused(const std::string& guid, const Endpoint& to);
    // The device moved.
    void Forget(const std::string& guid);
    std::size_t Size() const { return _order.size(); }

private:
    using Key = std::pair<std::string, Endpoint>;
    using Order = std::list<Key>;

    const std::size_t _capacity;
    // Refused longest ago first.
    Order _order;
    std::map<Key, Order::iterator> _held;
};

}  // namespace Zelkor
