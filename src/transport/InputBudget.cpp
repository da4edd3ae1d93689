#include "transport/InputBudget.h"

#include <algorithm>

namespace Zelkor {

std::atomic<std::size_t> InputBudget::_limit{InputBudget::DefaultLimit};
std::atomic<std::size_t> InputBudget::_used{0};

bool InputBudget::Share::Resize(std::size_t bytes, std::size_t floor) {
    if (bytes <= _bytes) {
        _used.fetch_sub(_bytes - bytes);
        _bytes = bytes;
        return true;
    }
    const std::size_t more = bytes - _bytes;
    const std::size_t limit = std::max(_limit.load(), floor);
    std::size_t used = _used.load();
    do {
        if (used > limit || more > limit - used) {
            return false;
        }
    } while (!_used.compare_exchange_weak(used, used + more));
    _bytes = bytes;
    return true;
}

void InputBudget::Share::Release() { Resize(0, 0); }

}  // namespace Zelkor
