#include "driver/ReturnRoutes.h"

namespace Zelkor {

void ReturnRoutes::Remember(const std::string& requester, const std::shared_ptr<TcpSocket>& back) {
    // A name longer than any node's would only make a peer's routes cost memory.
    if (_capacity == 0 || requester.size() > MaxNameLength) {
        return;
    }
    auto found = _routes.find(requester);
    if (found != _routes.end()) {
        found->second.back = back;
        _order.splice(_order.end(), _order, found->second.age);
        return;
    }
    if (_routes.size() >= _capacity) {
        _routes.erase(_order.front());
        _order.pop_front();
    }
    _order.push_back(requester);
    _routes.emplace(requester, Route{back, std::prev(_order.end())});
}

std::shared_ptr<TcpSocket> ReturnRoutes::Find(const std::string& requester) const {
    const auto found = _routes.find(requester);
    return found == _routes.end() ? nullptr : found->second.back.lock();
}

}  // namespace Zelkor
