#include "core/Execution.h"

#include <string>
#include <thread>

#include "core/AtomicSpinLock.h"

namespace Zelkor {

Execution::Execution(bool value) : ZelkorLoggable("Execution"), _value(value) {}

// Waits until no lock is held; guard and writer then stay taken for good.
Execution::~Execution() { takeWriter(); }

bool Execution::set(bool value) {
    if (!_writer) {
        return false;
    }
    _value = value;
    return true;
}

void Execution::ReadLock() {
    for (;;) {
        spinLock(_guard);
        if (!_writer) {
            break;
        }
        unlock(_guard);
        std::this_thread::yield();
    }
    ++_readers;
    traceReaders("Read-only lock applied. Number of readers: ");
    unlock(_guard);
}

void Execution::ReadUnlock() {
    spinLock(_guard);
    --_readers;
    if (_readers < 0) {
        if (LogLevel() >= 2) {
            Warning("Wrong number of readers: " + std::to_string(_readers));
        }
        // An unlock without a lock must not leave credit behind: a later reader would
        // then hold the lock at a count of zero and let a writer in beside it.
        _readers = 0;
    }
    traceReaders("Read-only lock released. Number of readers: ");
    unlock(_guard);
}

void Execution::WriteLock() {
    takeWriter();
    Debug("Exclusivly write lock applied");
    unlock(_guard);
}

void Execution::takeWriter() {
    for (;;) {
        spinLock(_guard);
        if (_readers <= 0 && !_writer.exchange(true)) {
            return;
        }
        unlock(_guard);
        std::this_thread::yield();
    }
}

void Execution::WriteUnlock() {
    spinLock(_guard);
    _writer = false;
    Debug("Exclusivly write lock released");
    unlock(_guard);
}

// The text is built only when the line will be written: the guard is held meanwhile.
void Execution::traceReaders(const char* text) const {
    if (LogLevel() >= 6) {
        Trace(text + std::to_string(_readers));
    }
}

void Execution::spinLock(std::atomic<bool>& flag) { SpinAcquire(flag); }

void Execution::unlock(std::atomic<bool>& flag) { SpinRelease(flag); }

}  // namespace Zelkor
