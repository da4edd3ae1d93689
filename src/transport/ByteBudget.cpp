#include "transport/ByteBudget.h"

#include <algorithm>
#include <vector>

namespace Zelkor {

namespace {

// Made before main and gone after it, like the connections of the one driver.
ByteBudget inputBudget{ByteBudget::DefaultLimit};
ByteBudget outputBudget{ByteBudget::DefaultLimit};

}  // namespace

std::size_t ByteBudget::largerThan(const ByteBudget& budget, std::size_t bytes) {
    std::size_t sum = 0;
    for (const Share* share : budget._shares) {
        if (share->_bytes > bytes) {
            sum += share->_bytes;
        }
    }
    return sum;
}

ByteBudget& ByteBudget::Input() { return inputBudget; }

ByteBudget& ByteBudget::Output() { return outputBudget; }

std::size_t ByteBudget::Used() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _used;
}

ByteBudget::Share::~Share() { Release(); }

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
        if (bytes > _bytes && bytes >= SmallShare && wanted() > limit) {
            // Only shares larger than this one may make room; when all of them would not
            // be enough (none when this one is the largest), none goes for a growth that
            // fails anyway.
            if (wanted() - largerThan(budget, bytes) > limit) {
                return false;
            }
            // The largest first: the fewest connections close.
            while (wanted() > limit) {
                const auto largest = std::max_element(budget._shares.begin(), budget._shares.end(),
                                                      [](Share* a, Share* b) { return a->_bytes < b->_bytes; });
                Share& victim = **largest;
                budget._used -= victim._bytes;
                budget._counted -= Counted(victim._bytes);
                victim._bytes = 0;
                victim._evictedAlready = true;
                budget._shares.erase(largest);
                if (victim._evicted) {
                    evicted.push_back(std::move(victim._evicted));
                }
            }
        }
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
