#include "transport/ByteBudget.h"

#include <algorithm>
#include <vector>

namespace Zelkor {

namespace {

// Made before main and gone after it, like the connections of the one driver.
ByteBudget inputBudget{ByteBudget::DefaultLimit};
ByteBudget outputBudget{ByteBudget::DefaultLimit};

}  // namespace

std::vector<ByteBudget::Share*> ByteBudget::staleSince(const Share& grower, Clock::time_point since) const {
    std::vector<Share*> stale;
    for (Share* share : _shares) {
        if (share != &grower && Counted(share->_bytes) > 0 && share->_progressedAt < since) {
            stale.push_back(share);
        }
    }
    std::sort(stale.begin(), stale.end(), [](const Share* a, const Share* b) {
        if (a->_progressedAt != b->_progressedAt) {
            return a->_progressedAt < b->_progressedAt;
        }
        return a->_bytes > b->_bytes;
    });
    return stale;
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

void ByteBudget::Share::Progressed() {
    std::lock_guard<std::mutex> lock(_budget._mutex);
    _progressedAt = _budget._clock();
}

std::size_t ByteBudget::Share::Bytes() const {
    std::lock_guard<std::mutex> lock(_budget._mutex);
    return _bytes;
}

bool ByteBudget::Share::Resize(std::size_t bytes, std::size_t floor) {
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
        const Clock::time_point progressedAt = _bytes == 0 && bytes > 0 ? budget._clock() : _progressedAt;
        if (bytes > _bytes && bytes >= SmallShare && wanted() > limit) {
            const std::vector<Share*> stale = budget.staleSince(*this, progressedAt);
            std::size_t room = 0;
            for (const Share* share : stale) {
                room += share->_bytes;
            }
            // None goes for a growth that fails anyway.
            if (wanted() - room > limit) {
                return false;
            }
            for (auto it = stale.begin(); wanted() > limit; ++it) {
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
