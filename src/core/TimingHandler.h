#pragma once
// Runs one-shot timers as timing tasks and keeps them by identifier. The handler starts no
// maintainer thread: the timers that have fired are dropped whenever a new one is started,
// so the store holds no more than the timers still pending and the last ones that fired.
// An application that wants them dropped as they end gives Run a thread of its own.
//
// Ownership: the handler owns its timers. The destructor refuses new timers, ends Run,
// aborts the pending timers (which then end at once) and waits for jobs that have begun.
// Threads: every operation from any thread, and from inside a timer's job, except that a
// job must not destroy its handler.

#include <chrono>
#include <cstddef>
#include <functional>

#include "core/MaintainerLoop.h"
#include "core/TaskStore.h"
#include "core/TimingTask.h"
#include "core/ZelkorLoggable.h"

namespace Zelkor {

class TimingHandler : public ZelkorLoggable {
public:
    TimingHandler();
    TimingHandler(const TimingHandler&) = delete;
    TimingHandler& operator=(const TimingHandler&) = delete;
    ~TimingHandler();

    // Starts a timer whose job runs once `delay` has passed. Returns the timer's
    // identifier, or 0 when no timer was created (handler being destroyed, or identifier
    // not unique).
    long long RunAfter(std::chrono::nanoseconds delay, std::function<void()>&& task);
    // Aborts the stored timer with that identifier; nothing when there is none.
    void Abort(long long id);
    std::size_t StoredTimerNumber() const;
    // The maintainer: each time a timer ends, and once more when the handler is being
    // destroyed, drops the timers whose run has ended; returns once the destructor has
    // begun (which waits for it).
    void Run();
    // Drops the timers whose run has ended.
    void RemoveFinished();
    // Aborts every timer, waits for the jobs that have begun, and drops every timer.
    void AbortAndDumping();
    double HighResolutionClockPrecision() const { return 0.0; }

private:
    TaskStore<TimingTask> _store;
    MaintainerLoop _maintainer;
};

}  // namespace Zelkor
