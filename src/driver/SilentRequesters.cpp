#include "driver/SilentRequesters.h"

#include <algorithm>

namespace Zelkor {

template <class Records, class Until>
void SilentRequesters::makeRoom(Records& records, Clock::time_point now, Until until) {
    if (records.size() < MaxRecords) {
        return;
    }
    auto first = records.begin();
    for (auto record = records.begin(); record != records.end(); ++record) {
        if (until(record->second) <= now) {
            records.erase(record);
            return;
        }
        if (until(record->second) < until(first->second)) {
            first = record;
        }
    }
    records.erase(first);
}

bool SilentRequesters::Silent(const std::string& name, const TcpSocket* connection, const Address& source, bool own,
                              Clock::time_point now, Clock::duration period) {
    const auto until = now + period;
    auto requester = _requesters.find({name, source});
    // One requester is one strike however many of its notices go at once: several of a
    // requester's queued notices pass their bound together.
    const bool struck = requester != _requesters.end() && now < requester->second;
    if (requester == _requesters.end()) {
        makeRoom(_requesters, now, [](Clock::time_point end) { return end; });
        requester = _requesters.emplace(std::make_pair(name, source), until).first;
    }
    requester->second = std::max(requester->second, until);
    if (own && connection) {
        _connections[connection] = until;
    }
    if (struck) {
        return false;
    }

    auto found = _sources.find(source);
    if (found == _sources.end()) {
        // A source whose strikes have all run out holds nothing worth keeping.
        makeRoom(_sources, now, [period](const Source& kept) {
            return std::max(kept.until, kept.strikes.empty() ? Clock::time_point{} : kept.strikes.back() + period);
        });
        found = _sources.emplace(source, Source{}).first;
    }
    Source& strikes = found->second;
    while (!strikes.strikes.empty() && now - strikes.strikes.front() >= period) {
        strikes.strikes.pop_front();
    }
    strikes.strikes.push_back(now);
    if (strikes.strikes.size() < SourceStrikes) {
        return false;
    }
    strikes.strikes.clear();
    strikes.until = std::max(strikes.until, until);
    return true;
}

void SilentRequesters::LeftOutputUntaken(const Address& source, Clock::time_point now, Clock::duration memory) {
    const auto until = now + memory;
    auto found = _untaken.find(source);
    if (found == _untaken.end()) {
        makeRoom(_untaken, now, [](Clock::time_point end) { return end; });
        found = _untaken.emplace(source, until).first;
    }
    found->second = std::max(found->second, until);
}

bool SilentRequesters::LeftOutputLately(const Address& source, Clock::time_point now) const {
    const auto found = _untaken.find(source);
    return found != _untaken.end() && now < found->second;
}

bool SilentRequesters::Refuses(const std::string& name, const TcpSocket* connection, const Address& source,
                               Clock::time_point now) const {
    if (const auto requester = _requesters.find({name, source});
        requester != _requesters.end() && now < requester->second) {
        return true;
    }
    if (const auto own = _connections.find(connection); own != _connections.end() && now < own->second) {
        return true;
    }
    const auto whole = _sources.find(source);
    return whole != _sources.end() && now < whole->second.until;
}

}  // namespace Zelkor
