#include "transport/InputBudget.h"

#include <algorithm>
#include <vector>

namespace Zelkor {

std::atomic<std::size_t> InputBudget::_limit{InputBudget::DefaultLimit};
std::mutex InputBudget::_mutex;
std::size_t InputBudget::_used = 0;
std::size_t InputBudget::_usedByLong = 0;
std::set<InputBudget::Share*> InputBudget::_shares;

std::size_t InputBudget::Used() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _used;
}

InputBudget::Share::~Share() { Release(); }

std::size_t InputBudget::Share::Bytes() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _bytes;
}

bool InputBudget::Share::Resize(std::size_t bytes, std::size_t floor) {
    std::vector<std::function<void()>> evicted;
    bool fits = true;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_evictedAlready) {
            return bytes == 0;
        }
        const std::size_t limit = std::max(_limit.load(), floor);
        const std::size_t mine = Long(_bytes);
        if (bytes > _bytes && bytes >= SmallLine) {
            // Room is made from the largest lines, as long as another's is larger than this.
            while (_usedByLong - mine + bytes > limit) {
                const auto largest = std::max_element(_shares.begin(), _shares.end(), [](Share* a, Share* b) {
                    return a->_bytes < b->_bytes;
                });
                if (largest == _shares.end() || *largest == this || (*largest)->_bytes <= bytes) {
                    fits = false;
                    break;
                }
                Share& victim = **largest;
                _used -= victim._bytes;
                _usedByLong -= Long(victim._bytes);
                victim._bytes = 0;
                victim._evictedAlready = true;
                _shares.erase(largest);
                if (victim._evicted) {
                    evicted.push_back(std::move(victim._evicted));
                }
            }
        }
        if (fits) {
            _used = _used - _bytes + bytes;
            _usedByLong = _usedByLong - mine + Long(bytes);
            _bytes = bytes;
            if (bytes > 0) {
                _shares.insert(this);
            } else {
                _shares.erase(this);
            }
        }
    }
    // Outside the lock: closing a connection gives its own share back.
    for (auto& tell : evicted) {
        tell();
    }
    return fits;
}

void InputBudget::Share::Release() {
    std::lock_guard<std::mutex> lock(_mutex);
    _used -= _bytes;
    _usedByLong -= Long(_bytes);
    _bytes = 0;
    _shares.erase(this);
}

}  // namespace Zelkor
