#include "driver/ForwardedRequests.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

namespace Zelkor {

bool ForwardedRequests::Forwarded(const TcpSocket* onward, Pending pending, Pending* givenUp) {
    auto& waiting = _pending[onward];
    const bool room = waiting.size() < MaxPerConnection;
    if (!room) {
        Pending forgotten = forgetOne(onward, waiting);
        if (givenUp) {
            *givenUp = std::move(forgotten);
        }
    }
    hold(pending);
    if (const auto tally = _tallies.find(onward); tally != _tallies.end()) {
        tally->second.Add(holderOf(pending));
    }
    waiting.push_back(std::move(pending));
    return room;
}

void ForwardedRequests::Tally::move(const Holder& holder, int by) {
    auto [entry, added] = _counts.try_emplace(holder, 0);
    if (!added) {
        _byCount.erase({entry->second, holder});
    }
    entry->second = by > 0 ? entry->second + 1 : entry->second - 1;
    if (entry->second == 0) {
        _counts.erase(entry);
        return;
    }
    _byCount.emplace(entry->second, holder);
}

void ForwardedRequests::hold(const Pending& pending) {
    if (pending.notice || pending.holdUntil == Clock::time_point{}) {
        return;
    }
    if (_holds.size() >= MaxHolds) {
        for (auto at = _holds.begin(); at != _holds.end();) {
            at = at->second.until.empty() ? _holds.erase(at) : std::next(at);
        }
    }
    _holds[{pending.requesterKey, pending.source}].until.insert(pending.holdUntil);
    ++_asking[pending.requesterKey];
}

void ForwardedRequests::release(const Pending& pending) {
    if (pending.notice || pending.holdUntil == Clock::time_point{}) {
        return;
    }
    const auto found = _holds.find({pending.requesterKey, pending.source});
    if (found == _holds.end()) {
        return;
    }
    auto& until = found->second.until;
    if (const auto one = until.find(pending.holdUntil); one != until.end()) {
        until.erase(one);
        if (const auto asking = _asking.find(pending.requesterKey); asking != _asking.end() && --asking->second == 0) {
            _asking.erase(asking);
        }
    }
    found->second.released = Clock::now();
}

std::vector<ForwardedRequests::Pending> ForwardedRequests::ExpireQueued(
    Clock::time_point now, const std::function<bool(const TcpSocket* onward, std::uint64_t ordinal)>& withdraw) {
    std::vector<Pending> expired;
    for (auto connection = _pending.begin(); connection != _pending.end();) {
        auto& waiting = connection->second;
        for (auto pending = waiting.begin(); pending != waiting.end();) {
            const bool overdue =
                !pending->notice && pending->queuedUntil != Clock::time_point{} && now >= pending->queuedUntil;
            const bool withdrawn =
                overdue && pending->written == Clock::time_point{} && withdraw(connection->first, pending->ordinal);
            // Written so late that its connection would await the reply past its requester's
            // patience: that connection, which others share, waits on as its own bound
            // allows and drops the reply when it comes. Written in time, its bound there
            // ends first, as a lost peer's.
            const auto writtenAt = pending->written != Clock::time_point{} ? pending->written : pending->queued;
            const bool givenUp = overdue && !withdrawn && pending->answerBy != Clock::time_point{} &&
                                 now >= pending->answerBy && writtenAt + pending->ownBound > pending->answerBy;
            if (!withdrawn && !givenUp) {
                ++pending;
                continue;
            }
            if (givenUp) {
                keep(_givenUp, connection->first, pending->ordinal);
            }
            untally(connection->first);
            release(*pending);
            expired.push_back(std::move(*pending));
            pending = waiting.erase(pending);
        }
        connection = waiting.empty() ? _pending.erase(connection) : std::next(connection);
    }
    return expired;
}

void ForwardedRequests::RequesterClosed(const TcpSocket* requester) {
    _asking.erase(requester);
    for (auto at = _holds.lower_bound({requester, std::string()}); at != _holds.end() && at->first.first == requester;) {
        at = _holds.erase(at);
    }
}

bool ForwardedRequests::Awaits(const TcpSocket* requester, const std::string& source, Clock::time_point now,
                               Clock::duration quiet) const {
    const auto found = _holds.find({requester, source});
    if (found == _holds.end()) {
        return false;
    }
    const Holds& holds = found->second;
    return (!holds.until.empty() && *holds.until.rbegin() > now) ||
           (holds.released != Clock::time_point{} && now - holds.released < quiet);
}

ForwardedRequests::Pending ForwardedRequests::forgetOne(const TcpSocket* onward, Waiting& waiting) {
    // A requester gone hears no refusal anyway.
    const auto gone =
        std::find_if(waiting.begin(), waiting.end(), [](const Pending& pending) { return pending.requester.expired(); });
    if (gone != waiting.end()) {
        untally(onward);
        release(*gone);
        Pending forgotten = std::move(*gone);
        waiting.erase(gone);
        return forgotten;
    }
    // Else the requester holding the most gives up its oldest.
    auto [tally, fresh] = _tallies.try_emplace(onward);
    if (fresh) {
        for (const Pending& pending : waiting) {
            tally->second.Add(holderOf(pending));
        }
    }
    const Holder most = tally->second.Most();
    auto oldest = std::find_if(waiting.begin(), waiting.end(), [&most](const Pending& pending) {
        return pending.source == most.second && pending.requester.lock().get() == most.first;
    });
    if (oldest == waiting.end()) {
        // Not kept up to date after all: the oldest of all goes, and the tally is counted anew.
        untally(onward);
        oldest = waiting.begin();
    } else {
        tally->second.Remove(most);
    }
    release(*oldest);
    Pending forgotten = std::move(*oldest);
    waiting.erase(oldest);
    return forgotten;
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

std::optional<ForwardedRequests::Clock::duration> ForwardedRequests::ownAge(const Pending& pending,
                                                                           const InFlight& inFlight,
                                                                           Clock::time_point now) {
    if (pending.written == Clock::time_point{}) {
        return std::nullopt;
    }
    Clock::duration age = now - pending.written;
    if (inFlight.ordinal == pending.ordinal && inFlight.at != Clock::time_point{}) {
        age = inFlight.behind + (now - inFlight.at);
    } else if (pending.seenAt != Clock::time_point{}) {
        // The connection wrote on (a stray reply ended its lock-step): as last seen.
        age = pending.behind + (now - pending.seenAt);
    }
    return std::max(age, Clock::duration::zero());
}

ForwardedRequests::Clock::duration ForwardedRequests::waitedBehind(const Pending& ahead, const Pending& behind,
                                                                  const InFlight& inFlight, Clock::time_point now) {
    // The part of the one ahead's age since the one behind was queued.
    const auto age = ownAge(ahead, inFlight, now);
    return age ? std::clamp(now - behind.queued, Clock::duration::zero(), *age) : Clock::duration::zero();
}

bool ForwardedRequests::sameRequesterAhead(const Pending& ahead, const Pending& behind) {
    return ahead.notice && behind.notice && ahead.toRequester && behind.toRequester &&
           ahead.ordinal < behind.ordinal && ahead.destination == behind.destination;
}

ForwardedRequests::Clock::duration ForwardedRequests::behindOutput(const Pending& pending, const InFlight& inFlight) {
    if (!pending.notice || !pending.toRequester || !pending.direct || pending.written != Clock::time_point{}) {
        return Clock::duration::zero();
    }
    // Queued within a run already past the grace, it ages at once.
    const auto from = std::max(pending.stalledAtQueue, inFlight.stallRun + pending.grace);
    return std::max(inFlight.stalled - from, Clock::duration::zero());
}

ForwardedRequests::Clock::duration ForwardedRequests::unanswered(const Waiting& waiting, const Pending& pending,
                                                                 const InFlight& inFlight, Clock::time_point now) {
    if (const auto own = ownAge(pending, inFlight, now)) {
        return pending.charged + *own;
    }
    // Waiting: it ages while its requester leaves its own notice ahead unanswered, or
    // the output ahead of it untaken; the same time is not counted twice.
    Clock::duration waited = pending.charged;
    const auto holder = std::find_if(waiting.begin(), waiting.end(),
                                     [&](const Pending& ahead) { return ahead.ordinal == inFlight.ordinal; });
    if (inFlight.ordinal != 0 && holder != waiting.end() && sameRequesterAhead(*holder, pending)) {
        waited += waitedBehind(*holder, pending, inFlight, now);
    }
    return std::max(waited, behindOutput(pending, inFlight));
}

bool ForwardedRequests::Answered(const TcpSocket* onward, std::uint64_t ordinal, const InFlight& asked,
                                 Clock::time_point now, Pending* taken) {
    if (ordinal == 0) {
        return true;
    }
    if (take(_refused, onward, ordinal) || take(_givenUp, onward, ordinal)) {
        return false;
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
        // What the requester took over it counts against its notices that waited behind
        // it meanwhile.
        for (auto& behind : waiting) {
            if (behind.written == Clock::time_point{} && sameRequesterAhead(*answered, behind)) {
                behind.charged += waitedBehind(*answered, behind, asked, now);
            }
        }
        untally(onward);
        release(*answered);
        if (taken) {
            *taken = std::move(*answered);
        }
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

void ForwardedRequests::keep(Ordinals& kept, const TcpSocket* onward, std::uint64_t ordinal) {
    auto& ordinals = kept[onward];
    if (ordinals.size() >= MaxPerConnection) {
        ordinals.pop_front();
    }
    ordinals.push_back(ordinal);
}

bool ForwardedRequests::take(Ordinals& kept, const TcpSocket* onward, std::uint64_t ordinal) {
    const auto found = kept.find(onward);
    if (found == kept.end()) {
        return false;
    }
    auto& ordinals = found->second;
    const auto late = std::find(ordinals.begin(), ordinals.end(), ordinal);
    if (late == ordinals.end()) {
        return false;
    }
    ordinals.erase(late);
    if (ordinals.empty()) {
        kept.erase(found);
    }
    return true;
}

std::vector<ForwardedRequests::Refused> ForwardedRequests::ExpireNotices(Clock::time_point now,
                                                                         const InFlightOf& inFlightOf) {
    std::vector<Refused> expired;
    for (auto connection = _pending.begin(); connection != _pending.end();) {
        const TcpSocket* onward = connection->first;
        auto& waiting = connection->second;
        const InFlight inFlight = inFlightOf(onward);
        for (auto& pending : waiting) {
            if (pending.ordinal == inFlight.ordinal && inFlight.at != Clock::time_point{}) {
                pending.behind = inFlight.behind;
                pending.seenAt = inFlight.at;
            }
        }
        // Judged all at once: a notice's age may come from the one in flight, which goes
        // too when overdue.
        std::vector<bool> overdue(waiting.size());
        for (std::size_t at = 0; at < waiting.size(); ++at) {
            const Pending& pending = waiting[at];
            overdue[at] = pending.notice && unanswered(waiting, pending, inFlight, now) >= pending.bound;
        }
        Waiting kept;
        for (std::size_t at = 0; at < waiting.size(); ++at) {
            if (!overdue[at]) {
                kept.push_back(std::move(waiting[at]));
                continue;
            }
            untally(onward);
            refuse(onward, waiting[at].ordinal);
            const bool stalled = behindOutput(waiting[at], inFlight) >= waiting[at].bound;
            expired.push_back({onward, std::move(waiting[at]), true, stalled});
        }
        waiting = std::move(kept);
        // Behind a notice refused unanswered nothing is written until its requester
        // answers after all: what waits there would hold its devices as long.
        if (Blocked(onward, inFlight.ordinal)) {
            for (auto pending = waiting.begin(); pending != waiting.end();) {
                if (!pending->notice || pending->written != Clock::time_point{}) {
                    ++pending;
                    continue;
                }
                untally(onward);
                refuse(onward, pending->ordinal);
                expired.push_back({onward, std::move(*pending), false, false});
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
        untally(onward);
        refuse(onward, pending->ordinal);
        refused.push_back({onward, std::move(*pending), false, false});
        pending = waiting.erase(pending);
    }
    if (waiting.empty()) {
        _pending.erase(found);
    }
    return refused;
}

std::vector<ForwardedRequests::Left> ForwardedRequests::Ended(const TcpSocket* onward, const InFlight& inFlight,
                                                              Clock::time_point now) {
    _refused.erase(onward);
    _givenUp.erase(onward);
    untally(onward);
    std::vector<Left> ended;
    const auto found = _pending.find(onward);
    if (found == _pending.end()) {
        return ended;
    }
    Waiting& waiting = found->second;
    std::vector<Clock::duration> ages;
    ages.reserve(waiting.size());
    for (const Pending& pending : waiting) {
        ages.push_back(pending.notice ? unanswered(waiting, pending, inFlight, now) : Clock::duration{});
    }
    ended.reserve(waiting.size());
    for (std::size_t at = 0; at < waiting.size(); ++at) {
        release(waiting[at]);
        ended.push_back({std::move(waiting[at]), ages[at]});
    }
    _pending.erase(found);
    return ended;
}

}  // namespace Zelkor
