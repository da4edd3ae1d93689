#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "core/AtomicSpinLock.h"

using Zelkor::AtomicSpinLock;

TEST(AtomicSpinLock, TryLockFailsWhileHeld) {
    AtomicSpinLock lock;
    {
        std::lock_guard<AtomicSpinLock> held(lock);
        EXPECT_FALSE(lock.try_lock());
        std::unique_lock<AtomicSpinLock> other(lock, std::try_to_lock);
        EXPECT_FALSE(other.owns_lock());
    }
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(AtomicSpinLock, ExcludesOtherThreads) {
    AtomicSpinLock lock;
    long counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::scoped_lock<AtomicSpinLock> held(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}
