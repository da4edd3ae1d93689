#include "discovery/AuthenticationWaits.h"

#include <algorithm>
#include <utility>

namespace Zelkor {

AuthenticationWaits::AuthenticationWaits(Clock clock, std::size_t capacity)
    : _clock(std::move(clock)), _waits(capacity) {}

void AuthenticationWaits::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(_mutex);
    _clock = std::move(clock);
}

std::chrono::steady_clock::time_point AuthenticationWaits::now() const {
    return _clock ? _clock() : std::chrono::steady_clock::now();
}

std::chrono::steady_clock::duration AuthenticationWaits::Remaining(const boost::asio::ip::address& address) const {
    std::lock_guard<std::mutex> lock(_mutex);
    const Wait* found = _waits.Find(address);
    if (found == nullptr) {
        return std::chrono::steady_clock::duration::zero();
    }
    return std::max(found->until - now(), std::chrono::steady_clock::duration::zero());
}

void AuthenticationWaits::Failed(const boost::asio::ip::address& address) {
    std::lock_guard<std::mutex> lock(_mutex);
    std::chrono::steady_clock::duration wait = FirstWait;
    const auto at = now();
    // A failure long after the last wait ended starts afresh: an old mistake does not
    // double a peer's wait for ever.
    if (const Wait* found = _waits.Find(address); found != nullptr && at - found->until < Forgotten) {
        wait = std::min<std::chrono::steady_clock::duration>(found->wait * 2, LongestWait);
    }
    _waits.Put(address, Wait{wait, at + wait});
}

void AuthenticationWaits::Succeeded(const boost::asio::ip::address& address) {
    std::lock_guard<std::mutex> lock(_mutex);
    _waits.Erase(address);
}

std::size_t AuthenticationWaits::Size() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _waits.Size();
}

}  // namespace Zelkor
