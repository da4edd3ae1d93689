#pragma once
// Holds a read or write lock of an Execution for a scope: taken on construction, released
// on destruction, and released and taken again in between with Unlock and Lock.
//
// Ownership: refers to an Execution that must outlive it. Threads: one thread, the one
// that holds the lock.

#include <atomic>

#include "core/Execution.h"
#include "core/ZelkorLoggable.h"

namespace Zelkor {

class ExecutionLock : public ZelkorLoggable {
public:
    // Execution::write takes the write lock, Execution::read the read lock; any other
    // access value takes nothing.
    ExecutionLock(Execution::access access, Execution& execution);
    ExecutionLock(const ExecutionLock&) = delete;
    ExecutionLock& operator=(const ExecutionLock&) = delete;
    ~ExecutionLock();

    // Takes the lock again after Unlock; does nothing while the lock is held.
    void Lock();
    // Releases the lock; does nothing when it is not held.
    void Unlock();

private:
    const Execution::access _access;
    Execution& _execution;
    std::atomic<bool> _locked{false};
};

}  // namespace Zelkor
