#include "driver/ReturnRoutes.h"

namespace Zelkor {

void ReturnRoutes::Remember(const std::string& requester, const std::shared_ptr<TcpSocket>& back) {
    if (_capacity == 0) {
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
