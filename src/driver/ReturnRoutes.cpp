#include "driver/ReturnRoutes.h"

#include <iterator>

#include "transport/TcpSocket.h"

namespace Zelkor {

bool ReturnRoutes::heldBy(const Route& route, const TcpSocket* from, Clock::time_point now, Clock::duration quiet) {
    const auto owner = route.owner.lock();
    if (!owner || owner.get() == from || owner->IsFinalized()) {
        return false;
    }
    return now - owner->LastLineAt() < quiet;
}

void ReturnRoutes::carry(Route& route, const std::shared_ptr<TcpSocket>& onward) {
    auto [carrier, added] = route.carriers.try_emplace(onward.get(), onward);
    if (!added) {
        carrier->second = onward;
        return;
    }
    // A new carrier is the time to forget the closed ones, so that no more are kept than
    // this node has connections.
    for (auto it = route.carriers.begin(); it != route.carriers.end();) {
        it = it->second.expired() ? route.carriers.erase(it) : std::next(it);
    }
}

bool ReturnRoutes::Claim(const std::string& name, const std::shared_ptr<TcpSocket>& from,
                         const std::shared_ptr<TcpSocket>& onward, Clock::time_point now, Clock::duration quiet) {
    auto found = _routes.find(name);
    if (found != _routes.end()) {
        if (heldBy(found->second, from.get(), now, quiet)) {
            return false;
        }
        Route& route = found->second;
        route.owner = from;
        carry(route, onward);
        _order.splice(_order.end(), _order, route.age);
        return true;
    }
    // A name longer than any node's would only make a peer's routes cost memory.
    if (_capacity == 0 || name.size() > MaxNameLength) {
        return true;
    }
    if (!makeRoom(from.get(), now, quiet)) {
        return false;
    }
    _order.push_back(name);
    Route& route = _routes.emplace(name, Route{from, {}, std::prev(_order.end())}).first->second;
    carry(route, onward);
    return true;
}

bool ReturnRoutes::makeRoom(const TcpSocket* from, Clock::time_point now, Clock::duration quiet) {
    std::size_t owned = 0;
    auto freeable = _order.end();
    for (auto name = _order.begin(); name != _order.end(); ++name) {
        const Route& route = _routes.at(*name);
        const auto owner = route.owner.lock();
        if (owner && owner.get() == from) {
            ++owned;
        }
        if (freeable == _order.end() && !heldBy(route, from, now, quiet) && !(owner && owner.get() == from)) {
            freeable = name;
        }
    }
    if (owned >= MaxNamesPerOwner) {
        return false;
    }
    if (_routes.size() < _capacity) {
        return true;
    }
    if (freeable == _order.end()) {
        return false;
    }
    _routes.erase(*freeable);
    _order.erase(freeable);
    return true;
}

std::shared_ptr<TcpSocket> ReturnRoutes::Back(const std::string& name, const TcpSocket* arrivedOn) const {
    const auto found = _routes.find(name);
    if (found == _routes.end()) {
        return nullptr;
    }
    const auto& carriers = found->second.carriers;
    const auto carrier = carriers.find(arrivedOn);
    const bool carried = carrier != carriers.end() && carrier->second.lock().get() == arrivedOn;
    return carried ? found->second.owner.lock() : nullptr;
}

}  // namespace Zelkor
