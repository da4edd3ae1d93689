#include "discovery/AuthenticationWaits.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "transport/SourceGroup.h"

namespace Zelkor {

AuthenticationWaits::AuthenticationWaits(Clock clock, std::size_t capacity)
    : _capacity(std::max<std::size_t>(1, capacity)), _clock(std::move(clock)) {}

void AuthenticationWaits::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(_mutex);
    _clock = std::move(clock);
}

std::chrono::steady_clock::time_point AuthenticationWaits::now() const {
    return _clock ? _clock() : std::chrono::steady_clock::now();
}

std::chrono::steady_clock::duration AuthenticationWaits::Remaining(const boost::asio::ip::address& address) const {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto found = _byAddress.find(SourceGroup(address));
    if (found == _byAddress.end()) {
        return std::chrono::steady_clock::duration::zero();
    }
    return std::max(found->second->until - now(), std::chrono::steady_clock::duration::zero());
}

void AuthenticationWaits::Failed(const boost::asio::ip::address& source) {
    const boost::asio::ip::address address = SourceGroup(source);
    std::lock_guard<std::mutex> lock(_mutex);
    std::chrono::steady_clock::duration wait = FirstWait;
    const auto at = now();
    if (const auto found = _byAddress.find(address); found != _byAddress.end()) {
        // A failure long after the last wait ended starts afresh: an old mistake does not
        // double a peer's wait for ever.
        if (at - found->second->until < Forgotten) {
            wait = std::min<std::chrono::steady_clock::duration>(found->second->wait * 2, LongestWait);
        }
        _order.erase(found->second);
        _byAddress.erase(found);
    } else if (_order.size() >= _capacity) {
        _byAddress.erase(_order.front().address);
        _order.pop_front();
    }
    _order.push_back(Entry{address, wait, at + wait});
    _byAddress.emplace(address, std::prev(_order.end()));
}

void AuthenticationWaits::Succeeded(const boost::asio::ip::address& address) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (const auto found = _byAddress.find(SourceGroup(address)); found != _byAddress.end()) {
        _order.erase(found->second);
        _byAddress.erase(found);
    }
}

std::size_t AuthenticationWaits::Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _order.size();
}

}  // namespace Zelkor
