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
    const auto marked = _sources.find(source);
    const bool spared = marked != _sources.end() && now < marked->second.until &&
                        spares(name, connection, marked->second);
    if (connection) {
        answers(name, connection, now).left = true;
    }
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
    if (spared) {
        // Else each name a host prepared would stall once more, in turn.
        strikes.whole = true;
        strikes.until = std::max(strikes.until, until);
        return true;
    }
    while (!strikes.strikes.empty() && now - strikes.strikes.front() >= period) {
        strikes.strikes.pop_front();
    }
    strikes.strikes.push_back(now);
    if (strikes.strikes.size() < SourceStrikes) {
        return false;
    }
    strikes.strikes.clear();
    if (strikes.until <= now) {
        strikes.since = now;
        strikes.whole = false;
    }
    strikes.until = std::max(strikes.until, until);
    return true;
}

bool SilentRequesters::spares(const std::string& name, const TcpSocket* connection, const Source& group) const {
    if (group.whole) {
        return false;
    }
    const auto names = _answers.find(connection);
    if (names == _answers.end()) {
        return false;
    }
    const auto found = names->second.find(name);
    return found != names->second.end() && !found->second.left && found->second.first < group.since;
}

SilentRequesters::Answers& SilentRequesters::answers(const std::string& name, const TcpSocket* connection,
                                                      Clock::time_point now) {
    if (const auto names = _answers.find(connection); names != _answers.end()) {
        if (const auto found = names->second.find(name); found != names->second.end()) {
            return found->second;
        }
    }
    if (_answerCount >= MaxRecords) {
        auto most = _answers.begin();
        for (auto each = _answers.begin(); each != _answers.end(); ++each) {
            if (each->second.size() > most->second.size()) {
                most = each;
            }
        }
        most->second.erase(most->second.begin());
        --_answerCount;
        if (most->second.empty()) {
            _answers.erase(most);
        }
    }
    ++_answerCount;
    return _answers[connection].emplace(name, Answers{now, false}).first->second;
}

void SilentRequesters::Answered(const std::string& name, const TcpSocket* connection, Clock::time_point now) {
    if (connection) {
        answers(name, connection, now);
    }
}

void SilentRequesters::Closed(const TcpSocket* connection) {
    _connections.erase(connection);
    if (const auto names = _answers.find(connection); names != _answers.end()) {
        _answerCount -= names->second.size();
        _answers.erase(names);
    }
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
    return whole != _sources.end() && now < whole->second.until && !spares(name, connection, whole->second);
}

}  // namespace Zelkor
