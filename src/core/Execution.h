#pragma once
// A flag telling whether work may go on, guarded by a reader/writer spin lock: readers
// look at it under the shared lock, a writer changes it under the exclusive lock.
// Waiting yields the processor and tries again; it never sleeps in the operating system.
// Readers are preferred: a reader is let in whenever no writer holds the lock, so a
// steady stream of readers keeps a writer waiting.
//
// Ownership: nothing is owned. The destructor waits until no lock is held.
// Threads: any thread. Not re-entrant: a thread holding a lock must not take another
// lock of the same Execution (it would wait for ever).

#include <atomic>

#include "core/ZelkorLoggable.h"

namespace Zelkor {

class Execution : public ZelkorLoggable {
public:
    enum access : int { read = 0, write = 1 };

    explicit Execution(bool value);
    Execution(const Execution&) = delete;
    Execution& operator=(const Execution&) = delete;
    ~Execution();

    // The flag, read without taking any lock.
    operator bool() const { return _value; }
    // Stores the flag and returns true while the write lock is held; otherwise leaves it
    // and returns false.
    bool set(bool value);

    void ReadLock();
    void ReadUnlock();
    void WriteLock();
    void WriteUnlock();

    // Take and release one flag used as a spin lock.
    static void spinLock(std::atomic<bool>& flag);
    static void unlock(std::atomic<bool>& flag);

private:
    // Returns holding the guard and the writer flag, once no reader is left.
    void takeWriter();
    // `text` followed by the number of readers; called with the guard held.
    void traceReaders(const char* text) const;

    int _readers = 0;  // guarded by _guard
    std::atomic<bool> _guard{false};
    std::atomic<bool> _writer{false};
    std::atomic<bool> _value;
};

}  // namespace Zelkor
