#include "driver/ReturnRoutes.h"

#include <algorithm>
#include <iterator>

#include "transport/SourceGroup.h"
#include "transport/TcpSocket.h"

namespace Zelkor {

bool ReturnRoutes::heldBy(const std::string& name, const Route& route, const TcpSocket* from, Clock::time_point now,
                          Clock::duration quiet, const Awaits& awaits) {
    const auto owner = route.owner.lock();
    if (!owner || owner.get() == from || owner->IsFinalized()) {
        return false;
    }
    // A requester waiting in lock-step for an answer says nothing meanwhile: its quiet
    // is no sign that it is gone.
    return now - owner->LastLineAt() < quiet || (awaits && awaits(*owner, name));
}

void ReturnRoutes::carry(Route& route, const std::shared_ptr<TcpSocket>& onward, const Way* way) {
    auto [carrier, added] = route.carriers.try_emplace(onward.get(), Carrier{onward, {}});
    if (!added && carrier->second.socket.lock() != onward) {
        // A closed carrier's address, taken by a new connection: none of its ways is this one's.
        carrier->second = Carrier{onward, {}};
    }
    if (way) {
        auto& ways = carrier->second.ways;
        if (std::find(ways.begin(), ways.end(), *way) == ways.end()) {
            if (ways.size() >= MaxWaysPerCarrier) {
                ways.erase(ways.begin());
            }
            ways.push_back(*way);
        }
    }
    if (!added) {
        return;
    }
    // A new carrier is the time to forget the closed ones, so that no more are kept than
    // this node has connections.
    for (auto it = route.carriers.begin(); it != route.carriers.end();) {
        it = it->second.socket.expired() ? route.carriers.erase(it) : std::next(it);
    }
}

ReturnRoutes::Ended ReturnRoutes::ended(const std::string& name, const Route& route) {
    Ended ended;
    ended.name = name;
    ended.owner = route.ownerKey;
    for (const auto& [key, carrier] : route.carriers) {
        auto socket = carrier.socket.lock();
        if (socket && !carrier.ways.empty()) {
            ended.carriers.emplace_back(std::move(socket), carrier.ways);
        }
    }
    return ended;
}

void ReturnRoutes::own(Route& route, const std::shared_ptr<TcpSocket>& from) {
    route.owner = from;
    route.ownerKey = from.get();
    route.source = SourceGroup(from->GetRemoteIP());
    ++_namesByOwner[route.ownerKey];
    ++_namesBySource[route.source];
}

void ReturnRoutes::disown(const Route& route) {
    if (const auto owned = _namesByOwner.find(route.ownerKey); owned != _namesByOwner.end() && --owned->second == 0) {
        _namesByOwner.erase(owned);
    }
    if (const auto held = _namesBySource.find(route.source); held != _namesBySource.end() && --held->second == 0) {
        _namesBySource.erase(held);
    }
}

void ReturnRoutes::erase(Order::iterator name, std::vector<Ended>* ended) {
    const auto route = _routes.find(*name);
    if (ended) {
        ended->push_back(ReturnRoutes::ended(route->first, route->second));
    }
    disown(route->second);
    _routes.erase(route);
    _order.erase(name);
}

bool ReturnRoutes::vacatedElsewhere(const std::string& name, const TcpSocket& from, Clock::time_point now) {
    const auto vacated = _vacated.find(name);
    if (vacated != _vacated.end() && vacated->second.until <= now) {
        _vacated.erase(vacated);
        return false;
    }
    return VacatedElsewhere(name, from.GetRemoteIP(), now);
}

bool ReturnRoutes::VacatedElsewhere(const std::string& name, const boost::asio::ip::address& source,
                                    Clock::time_point now) const {
    const auto vacated = _vacated.find(name);
    return vacated != _vacated.end() && vacated->second.until > now && vacated->second.source != SourceGroup(source);
}

ReturnRoutes::Claimed ReturnRoutes::Claim(const std::string& name, const std::shared_ptr<TcpSocket>& from,
                                          const std::shared_ptr<TcpSocket>& onward, Clock::time_point now,
                                          Clock::duration quiet, const Way* way, const Awaits& awaits,
                                          std::vector<Ended>* ended, bool trusted) {
    if (!_vacated.empty() && !trusted && vacatedElsewhere(name, *from, now)) {
        return Claimed::InUse;
    }
    _vacated.erase(name);
    auto found = _routes.find(name);
    if (found != _routes.end()) {
        Route& route = found->second;
        if (heldBy(name, route, from.get(), now, quiet, awaits)) {
            return Claimed::InUse;
        }
        if (route.ownerKey != from.get() || route.owner.expired()) {
            // What the nodes behind kept for the name was its old owner's: they are told,
            // and the new owner carries nothing of it.
            if (ended) {
                ended->push_back(ReturnRoutes::ended(name, route));
            }
            route.carriers.clear();
            disown(route);
            own(route, from);
        }
        carry(route, onward, way);
        _order.splice(_order.end(), _order, route.age);
        return Claimed::Taken;
    }
    // A name longer than any node's would only make a peer's routes cost memory.
    if (_capacity == 0 || name.size() > MaxNameLength) {
        return Claimed::Taken;
    }
    if (!makeRoom(from, now, quiet, awaits, ended)) {
        return Claimed::Full;
    }
    _order.push_back(name);
    Route& route = _routes.emplace(name, Route{}).first->second;
    route.age = std::prev(_order.end());
    own(route, from);
    carry(route, onward, way);
    return Claimed::Taken;
}

bool ReturnRoutes::makeRoom(const std::shared_ptr<TcpSocket>& from, Clock::time_point now, Clock::duration quiet,
                            const Awaits& awaits, std::vector<Ended>* ended) {
    if (const auto owned = _namesByOwner.find(from.get());
        owned != _namesByOwner.end() && owned->second >= MaxNamesPerOwner) {
        return false;
    }
    if (_routes.size() < _capacity) {
        return true;
    }
    for (auto name = _order.begin(); name != _order.end(); ++name) {
        const Route& route = _routes.at(*name);
        if (route.ownerKey != from.get() && !heldBy(*name, route, from.get(), now, quiet, awaits)) {
            erase(name, ended);
            return true;
        }
    }
    // Every name is in use: the source holding most gives up its least recently used one
    // to a source that holds fewer.
    auto largest = _namesBySource.begin();
    for (auto held = _namesBySource.begin(); held != _namesBySource.end(); ++held) {
        if (held->second > largest->second) {
            largest = held;
        }
    }
    const auto mine = _namesBySource.find(SourceGroup(from->GetRemoteIP()));
    const std::size_t holding = mine == _namesBySource.end() ? 0 : mine->second;
    if (largest == _namesBySource.end() || mine == largest || holding >= largest->second) {
        return false;
    }
    const auto source = largest->first;
    for (auto name = _order.begin(); name != _order.end(); ++name) {
        if (_routes.at(*name).source == source) {
            erase(name, ended);
            return true;
        }
    }
    return false;
}

std::vector<ReturnRoutes::Ended> ReturnRoutes::Closed(const TcpSocket* closed, Clock::time_point now,
                                                     Clock::duration grace) {
    std::vector<Ended> ended;
    const bool owner = _namesByOwner.find(closed) != _namesByOwner.end();
    for (auto name = _order.begin(); name != _order.end();) {
        const auto next = std::next(name);
        Route& route = _routes.at(*name);
        if (owner && route.ownerKey == closed) {
            if (grace > Clock::duration::zero()) {
                if (_vacated.size() >= _capacity && !_vacated.empty()) {
                    const auto nearest = std::min_element(_vacated.begin(), _vacated.end(), [](const auto& a, const auto& b) {
                        return a.second.until < b.second.until;
                    });
                    _vacated.erase(nearest);
                }
                _vacated[*name] = Vacated{route.source, now + grace};
            }
            erase(name, &ended);
        } else {
            route.carriers.erase(closed);
        }
        name = next;
    }
    return ended;
}

std::shared_ptr<TcpSocket> ReturnRoutes::Holder(const std::string& name, const TcpSocket* from, Clock::time_point now,
                                                Clock::duration quiet, const Awaits& awaits) const {
    const auto found = _routes.find(name);
    return found != _routes.end() && heldBy(name, found->second, from, now, quiet, awaits) ? found->second.owner.lock()
                                                                                          : nullptr;
}

bool ReturnRoutes::IsRequester(const std::string& name) const {
    const auto found = _routes.find(name);
    if (found == _routes.end()) {
        return false;
    }
    const auto& carriers = found->second.carriers;
    return std::any_of(carriers.begin(), carriers.end(),
                       [](const auto& carrier) { return !carrier.second.ways.empty(); });
}

std::shared_ptr<TcpSocket> ReturnRoutes::Back(const std::string& name, const TcpSocket* arrivedOn) const {
    const auto found = _routes.find(name);
    if (found == _routes.end()) {
        return nullptr;
    }
    const auto& carriers = found->second.carriers;
    const auto carrier = carriers.find(arrivedOn);
    const bool carried = carrier != carriers.end() && carrier->second.socket.lock().get() == arrivedOn;
    return carried ? found->second.owner.lock() : nullptr;
}

}  // namespace Zelkor
