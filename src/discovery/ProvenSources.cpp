#include "discovery/ProvenSources.h"

#include <utility>

namespace Zelkor {

ProvenSources::ProvenSources(Clock clock, std::size_t capacity) : _clock(std::move(clock)), _proved(capacity) {}

void ProvenSources::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(_mutex);
    _clock = std::move(clock);
}

std::chrono::steady_clock::time_point ProvenSources::now() const {
    return _clock ? _clock() : std::chrono::steady_clock::now();
}

void ProvenSources::Proved(const boost::asio::ip::address& address) {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto at = now();
    // What proved more than a day ago counts no more: it need not wait for the table to
    // fill to leave.
    _proved.Put(address, at, [at](std::chrono::steady_clock::time_point proved) { return at - proved >= Remembered; });
}

bool ProvenSources::Knows(const boost::asio::ip::address& address) const {
    std::lock_guard<std::mutex> lock(_mutex);
    const auto* proved = _proved.Find(address);
    return proved != nullptr && now() - *proved < Remembered;
}

std::size_t ProvenSources::Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _proved.Size();
}

}  // namespace Zelkor
