#include "storage/SubscriptionBound.h"

#include <algorithm>
#include <atomic>

namespace Zelkor {

namespace {

std::atomic<std::size_t>& bound() {
    static std::atomic<std::size_t> value{kDefaultMaxSubscriptionsPerConnection};
    return value;
}

}  // namespace

std::size_t MaxSubscriptionsPerConnection() { return bound().load(std::memory_order_relaxed); }

void SetMaxSubscriptionsPerConnection(std::size_t count) {
    bound().store(std::max<std::size_t>(count, 1), std::memory_order_relaxed);
}

}  // namespace Zelkor
