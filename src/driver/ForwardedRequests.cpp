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

void ForwardedRequests::Written(const TcpSocket* onward, std::uint64_t ordinal, Clock::time_point at) {
    const auto found = _pending.find(onward);
    if (found == _pending.end()) {
        return;
    }
    for (auto& pending : found->second) {
        if (pending.ordinal == ordinal) {
            pending.written = at;
            return;
        }
    }
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

bool ForwardedRequests::wasRefused(const TcpSocket* onward, std::uint64_t ordinal) const {
    const auto refused = _refused.find(onward);
    return ordinal != 0 && refused != _refused.end() &&
           std::find(refused->second.begin(), refused->second.end(), ordinal) != refused->second.end();
}

bool ForwardedRequests::Blocked(const TcpSocket* onward, std::uint64_t inFlight) const {
    return wasRefused(onward, inFlight);
}

void ForwardedRequests::refuse(const TcpSocket* onward, std::uint64_t ordinal) {
    auto& refused = _refused[onward];
    if (refused.size() >= MaxPerConnection) {
        refused.pop_front();
    }
    refused.push_back(ordinal);
}

std::vector<ForwardedRequests::Refused> ForwardedRequests::ExpireNotices(
    Clock::time_point now, const std::function<std::uint64_t(const TcpSocket*)>& inFlight) {
    std::vector<Refused> expired;
    for (auto connection = _pending.begin(); connection != _pending.end();) {
        const TcpSocket* onward = connection->first;
        auto& waiting = connection->second;
        for (auto pending = waiting.begin(); pending != waiting.end();) {
            const bool overdue = pending->notice && pending->written != Clock::time_point{} &&
                                 now - pending->written >= pending->bound;
            if (!overdue) {
                ++pending;
                continue;
            }
            refuse(onward, pending->ordinal);
            expired.push_back({onward, std::move(*pending), true});
            pending = waiting.erase(pending);
        }
        // Behind a notice refused unanswered nothing is written until its requester
        // answers after all: what waits there would hold its devices as long.
        if (Blocked(onward, inFlight(onward))) {
            for (auto pending = waiting.begin(); pending != waiting.end();) {
                if (!pending->notice || pending->written != Clock::time_point{}) {
                    ++pending;
                    continue;
                }
                refuse(onward, pending->ordinal);
                expired.push_back({onward, std::move(*pending), false});
                pending = waiting.erase(pending);
            }
        }
        connection = waiting.empty() ? _pending.erase(connection) : std::next(connection);
    }
    return expired;
}

std::vector<ForwardedRequests::Refused> ForwardedRequests::RefuseNotices(
    const TcpSocket* onward, const std::function<bool(const Pending&)>& refuses) {
    std::vector<Refused> refused;
    const auto found = _pending.find(onward);
    if (found == _pending.end()) {
        return refused;
    }
    auto& waiting = found->second;
    for (auto pending = waiting.begin(); pending != waiting.end();) {
        if (!pending->notice || !refuses(*pending)) {
            ++pending;
            continue;
        }
        refuse(onward, pending->ordinal);
        refused.push_back({onward, std::move(*pending), false});
        pending = waiting.erase(pending);
    }
    if (waiting.empty()) {
        _pending.erase(found);
    }
    return refused;
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
