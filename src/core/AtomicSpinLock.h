#pragma once
// A mutual-exclusion lock that waits by yielding the processor instead of sleeping in the
// operating system; meant for sections of a few instructions. It meets the standard
// Lockable requirements, so std::lock_guard, std::unique_lock and std::scoped_lock work.
//
// Ownership: nothing is owned. Threads: any thread; not re-entrant.

#include <atomic>

namespace Zelkor {

// Takes a flag used as a spin lock: sets it, yielding while another holder has it set.
void SpinAcquire(std::atomic<bool>& flag);
// Releases a flag taken with SpinAcquire.
void SpinRelease(std::atomic<bool>& flag);

class AtomicSpinLock {
public:
    AtomicSpinLock() = default;
    AtomicSpinLock(const AtomicSpinLock&) = delete;
    AtomicSpinLock& operator=(const AtomicSpinLock&) = delete;

    void lock() { SpinAcquire(_locked); }
    // Returns false at once when the lock is held.
    bool try_lock();
    void unlock() { SpinRelease(_locked); }

private:
    std::atomic<bool> _locked{false};
};

}  // namespace Zelkor
