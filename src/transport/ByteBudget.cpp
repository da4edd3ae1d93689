#include "transport/ByteBudget.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "transport/SourceGroup.h"

namespace Zelkor {

namespace {

// Made before main and gone after it, like the connections of the one driver.
ByteBudget inputBudget{ByteBudget::DefaultLimit};
ByteBudget outputBudget{ByteBudget::DefaultLimit};

}  // namespace

std::vector<ByteBudget::Share*> ByteBudget::takeable(const Share& grower, std::size_t bytes,
                                                     Clock::time_point progressedAt, bool peerMoved,
                                                     Clock::time_point now) const {
    // What each source group holds; a shared connection is a group of its own, and goes
    // after every source's group.
    std::map<boost::asio::ip::address, std::size_t> groups;
    for (const Share* share : _shares) {
        if (share != &grower && !share->_shared) {
            groups[share->_group] += Counted(share->_bytes);
        }
    }
    std::size_t growerGroup = Counted(bytes);
    if (!grower._shared) {
        growerGroup = groups[grower._group] += Counted(bytes);
    }
    const bool growerStale = IsStale(progressedAt, now);
    // A growth that is its peer's own progress: a line coming in at a pace.
    const bool onPace = peerMoved && now - progressedAt <= ProgressWindow;
    struct Candidate {
        Share* share;
        bool stale;
        std::size_t group;
    };
    std::vector<Candidate> candidates;
    for (Share* share : _shares) {
        if (share == &grower || Counted(share->_bytes) == 0) {
            continue;
        }
        const bool stale = IsStale(share->_progressedAt, now);
        const std::size_t group = share->_shared ? 0 : groups[share->_group];
        const bool staler = share->_progressedAt < progressedAt;
        bool may = false;
        if (stale) {
            may = !growerStale || group > growerGroup || (group == growerGroup && staler);
        } else if (!growerStale && !onPace) {
            may = staler;
        } else if (onPace) {
            // Of a group holding no more, only a staler one of its own, or one whose peer
            // no longer keeps the pace.
            const bool own = !share->_shared && !grower._shared && share->_group == grower._group;
            const bool keepsPace = now - share->_progressedAt <= ProgressWindow;
            may = group > growerGroup || (staler && (own || !keepsPace));
        }
        if (may) {
            candidates.push_back({share, stale, group});
        }
    }
    std::sort(candidates.begin(), candidates.end(), [onPace](const Candidate& a, const Candidate& b) {
        if (a.stale != b.stale) {
            return a.stale;
        }
        if ((a.stale || onPace) && a.group != b.group) {
            return a.group > b.group;
        }
        if (a.share->_progressedAt != b.share->_progressedAt) {
            return a.share->_progressedAt < b.share->_progressedAt;
        }
        return a.share->_bytes > b.share->_bytes;
    });
    std::vector<Share*> shares;
    shares.reserve(candidates.size());
    for (const Candidate& candidate : candidates) {
        shares.push_back(candidate.share);
    }
    return shares;
}

ByteBudget& ByteBudget::Input() { return inputBudget; }

ByteBudget& ByteBudget::Output() { return outputBudget; }

std::size_t ByteBudget::Used() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _used;
}

void ByteBudget::SetClock(std::function<Clock::time_point()> clock) {
    std::lock_guard<std::mutex> lock(_mutex);
    _clock = std::move(clock);
}

ByteBudget::Share::~Share() { Release(); }

void ByteBudget::Share::SetSource(const boost::asio::ip::address& peer, bool shared) {
    const boost::asio::ip::address group = SourceGroup(peer);
    std::lock_guard<std::mutex> lock(_budget._mutex);
    _group = group;
    _shared = shared;
}

void ByteBudget::Share::Moved(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(_budget._mutex);
    noteMoved(bytes, _budget._clock());
}

void ByteBudget::Share::noteMoved(std::size_t bytes, Clock::time_point now) {
    if (bytes == 0) {
        return;
    }
    if (now - _windowStart >= ProgressWindow) {
        _windowStart = now;
        _windowMoved = 0;
    }
    _windowMoved += bytes;
    // Progress is of bytes held; what the peer moved just before (the read that began a
    // line) counts once it holds some.
    if (_bytes > 0 && _windowMoved >= std::max(SmallShare, _bytes / PaceFraction)) {
        _progressedAt = now;
        _windowStart = now;
        _windowMoved = 0;
    }
}

std::size_t ByteBudget::Share::Bytes() const {
    std::lock_guard<std::mutex> lock(_budget._mutex);
    return _bytes;
}

bool ByteBudget::Share::Resize(std::size_t bytes, std::size_t floor, std::size_t moved) {
    ByteBudget& budget = _budget;
    std::vector<std::function<void()>> evicted;
    {
        std::lock_guard<std::mutex> lock(budget._mutex);
        if (_evictedAlready) {
            return bytes == 0;
        }
        const std::size_t limit = std::max(budget._limit.load(), floor);
        const std::size_t mine = Counted(_bytes);
        const auto wanted = [&] { return budget._counted - mine + bytes; };
        // A share that starts holding bytes progresses: a reply was just queued for its
        // peer, or its peer just began a line.
        const bool starting = _bytes == 0 && bytes > 0;
        const Clock::time_point now = budget._clock();
        noteMoved(moved, now);
        const Clock::time_point progressedAt = starting ? now : _progressedAt;
        if (bytes > _bytes && bytes >= SmallShare && wanted() > limit) {
            const std::vector<Share*> before = budget.takeable(*this, bytes, progressedAt, moved > 0, now);
            std::size_t room = 0;
            for (const Share* share : before) {
                room += share->_bytes;
            }
            // None goes for a growth that fails anyway.
            if (wanted() - room > limit) {
                return false;
            }
            for (auto it = before.begin(); wanted() > limit; ++it) {
                Share& victim = **it;
                budget._used -= victim._bytes;
                budget._counted -= victim._bytes;
                victim._bytes = 0;
                victim._evictedAlready = true;
                budget._shares.erase(&victim);
                if (victim._evicted) {
                    evicted.push_back(std::move(victim._evicted));
                }
            }
        }
        _progressedAt = progressedAt;
        budget._used = budget._used - _bytes + bytes;
        budget._counted = budget._counted - mine + Counted(bytes);
        _bytes = bytes;
        if (bytes > 0) {
            budget._shares.insert(this);
        } else {
            budget._shares.erase(this);
        }
    }
    // Outside the lock: closing a connection gives its own share back.
    for (auto& tell : evicted) {
        tell();
    }
    return true;
}

void ByteBudget::Share::Release() {
    std::lock_guard<std::mutex> lock(_budget._mutex);
    if (_bytes == 0) {
        // Holds nothing, so it is in no set: nothing to give back.
        return;
    }
    _budget._used -= _bytes;
    _budget._counted -= Counted(_bytes);
    _bytes = 0;
    _budget._shares.erase(this);
}

}  // namespace Zelkor
