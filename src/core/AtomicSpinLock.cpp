#include "core/AtomicSpinLock.h"

#include <thread>

namespace Zelkor {

void SpinAcquire(std::atomic<bool>& flag) {
    while (flag.exchange(true, std::memory_order_acquire)) {
        // Spin on plain reads, so that waiters do not keep stealing the cache line.
        while (flag.load(std::memory_order_relaxed)) {
            std::this_thread::yield();
        }
    }
}

void SpinRelease(std::atomic<bool>& flag) { flag.store(false, std::memory_order_release); }

bool AtomicSpinLock::try_lock() {
    if (_locked.load(std::memory_order_relaxed)) {
        return false;
    }
    return !_locked.exchange(true, std::memory_order_acquire);
}

}  // namespace Zelkor
