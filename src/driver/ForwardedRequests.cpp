#include "driver/ForwardedRequests.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>

namespace Zelkor {

bool ForwardedRequests::Forwarded(const TcpSocket* onward, Pending pending) {
    auto& waiting = _pending[onward];
    const bool room = waiting.size() < MaxPerConnection;
    if (!room) {
        forgetOne(waiting);
    }
    waiting.push_back(std::move(pending));
    return room;
}

void ForwardedRequests::forgetOne(Waiting& waiting) {
    // A requester gone hears no refusal anyway.
    const auto gone =
        std::find_if(waiting.begin(), waiting.end(), [](const Pending& pending) { return pending.requester.expired(); });
    if (gone != waiting.end()) {
        waiting.erase(gone);
        return;
    }
    // Else the requester holding the most gives up its oldest.
    struct Held {
        std::size_t count = 0;
        std::size_t oldest = 0;
    };
    std::map<std::pair<const TcpSocket*, std::string_view>, Held> held;
    std::size_t most = 0;
    std::size_t forget = 0;
    for (std::size_t at = 0; at < waiting.size(); ++at) {
        const Pending& pending = waiting[at];
        auto [entry, added] = held.try_emplace({pending.requester.lock().get(), pending.source});
        if (added) {
            entry->second.oldest = at;
        }
        if (++entry->second.count > most) {
            most = entry->second.count;
            forget = entry->second.oldest;
        }
    }
    waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(forget));
}

bool ForwardedRequests::Answered(const TcpSocket* onward, std::uint64_t ordinal) {
    if (ordinal == 0) {
        return true;
    }
    if (const auto refused = _refused.find(onward); refused != _refused.end()) {
        auto& ordinals = refused->second;
        const auto late = std::find(ordinals.begin(), ordinals.end(), ordinal);
        if (late != ordinals.end()) {
            ordinals.erase(late);
            if (ordinals.empty()) {
                _refused.erase(refused);
            }
            return false;
        }
    }
    const auto found = _pending.find(onward);
    if (found == _pending.end()) {
        return true;
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
    return true;
}

std::vector<std::pair<const TcpSocket*, ForwardedRequests::Pending>> ForwardedRequests::ExpireNotices(
    std::chrono::steady_clock::time_point cutoff) {
    std::vector<std::pair<const TcpSocket*, Pending>> expired;
    for (auto connection = _pending.begin(); connection != _pending.end();) {
        auto& waiting = connection->second;
        for (auto pending = waiting.begin(); pending != waiting.end();) {
            if (!pending->notice || pending->sent >= cutoff) {
                ++pending;
                continue;
            }
            auto& refused = _refused[connection->first];
            if (refused.size() >= MaxPerConnection) {
                refused.pop_front();
            }
            refused.push_back(pending->ordinal);
            expired.emplace_back(connection->first, std::move(*pending));
            pending = waiting.erase(pending);
        }
        connection = waiting.empty() ? _pending.erase(connection) : std::next(connection);
    }
    return expired;
}

std::vector<ForwardedRequests::Pending> ForwardedRequests::Ended(const TcpSocket* onward) {
    _refused.erase(onward);
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
