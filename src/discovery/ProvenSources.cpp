#include "discovery/ProvenSources.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "transport/SourceGroup.h"

namespace Zelkor {

ProvenSources::ProvenSources(Clock clock, std::size_t capacity)
    : _capacity(std::max<std::size_t>(1, capacity)), _clock(std::move(clock)) {}

void ProvenSources::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(_mutex);
    _clock = std::move(clock);
}

std::chrono::steady_clock::time_point ProvenSources::now() const {
    return _clock ? _clock() : std::chrono::steady_clock::now();
}

void ProvenSources::Proved(const boost::asio::ip::address& address) {
    const boost::asio::ip::address group = SourceGroup(address);
    std::lock_guard<std::mutex> lock(_mutex);
    const auto at = now();
    if (const auto found = _byGroup.find(group); found != _byGroup.end()) {
        _order.erase(found->second);
        _byGroup.erase(found);
    }
    // What proved more than a day ago counts no more: it need not wait for the table to
    // fill to leave.
    while (!_order.empty() && (_order.size() >= _capacity || at - _order.front().proved >= Remembered)) {
        _byGroup.erase(_order.front().group);
        _order.pop_front();
    }
    _order.push_back(Entry{group, at});
    _byGroup.emplace(group, std::prev(_order.end()));
}

bool ProvenSources::Knows(const boost::asio::ip::address& address) const {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto found = _byGroup.find(SourceGroup(address));
    return found != _byGroup.end() && now() - found->second->proved < Remembered;
}

std::size_t ProvenSources::Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _order.size();
}

}  // namespace Zelkor
