#include "storage/RequestBound.h"

#include <algorithm>
#include <atomic>

namespace Zelkor {

namespace {

std::atomic<std::size_t>& bound() {
    static std::atomic<std::size_t> value{kDefaultMaxEntriesPerMessage};
    return value;
}

}  // namespace

std::size_t MaxEntriesPerMessage() { return bound().load(std::memory_order_relaxed); }

void SetMaxEntriesPerMessage(std::size_t count) {
    bound().store(std::max<std::size_t>(count, 1), std::memory_order_relaxed);
}

}  // namespace Zelkor
