#include "driver/ForwardedRequests.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace Zelkor {

bool ForwardedRequests::Forwarded(const TcpSocket* onward, Pending pending) {
    auto& waiting = _pending[onward];
    const bool room = waiting.size() < MaxPerConnection;
    if (!room) {
        waiting.pop_front();
    }
    waiting.push_back(std::move(pending));
    return room;
}

void ForwardedRequests::Answered(const TcpSocket* onward, std::uint64_t ordinal) {
    const auto found = _pending.find(onward);
    if (ordinal == 0 || found == _pending.end()) {
        return;
    }
    auto& waiting = found->second;
    // Replies meet their requests by word, not always in the order they were sent.
    const auto answered = std::find_if(waiting.begin(), waiting.end(),
                                       [&](const Pending& pending) { return pending.ordinal == ordinal; });
    if (answered != waiting.end()) {
        waiting.erase(answered);
    }
    if (waiting.empty()) {
        _pending.erase(found);
    }
}

std::vector<ForwardedRequests::Pending> ForwardedRequests::Ended(const TcpSocket* onward) {
    std::vector<Pending> ended;
    const auto found = _pending.find(onward);
    if (found == _pending.end()) {
        return ended;
    }
    ended.assign(std::make_move_iterator(found->second.begin()), std::make_move_iterator(found->second.end()));
    _pending.erase(found);
    return ended;
}

}  // namespace Zelkor
