#include "discovery/RefusedMoves.h"

#include <algorithm>

namespace Zelkor {

RefusedMoves::RefusedMoves(std::size_t capacity) : _capacity(std::max<std::size_t>(1, capacity)) {}

bool RefusedMoves::Refused(const std::string& guid, const Endpoint& to) {
    Key key{guid, to};
    if (_held.count(key) != 0) {
        return false;
    }
    while (_order.size() >= _capacity) {
        _held.erase(_order.front());
        _order.pop_front();
    }
    _order.push_back(key);
    _held.emplace(std::move(key), std::prev(_order.end()));
    return true;
}

void RefusedMoves::Forget(const std::string& guid) {
    // Keys order by GUID first: the device's refusals lie together.
    auto at = _held.lower_bound(Key{guid, Endpoint{}});
    while (at != _held.end() && at->first.first == guid) {
        _order.erase(at->second);
        at = _held.erase(at);
    }
}

}  // namespace Zelkor
