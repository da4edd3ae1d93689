#pragma once
// One job run on a thread of its own; a run can be aborted before its job begins and
// waited for.
//
// Ownership: the task owns its job, its on-finish callable and the thread of its latest
// run. The destructor aborts a run whose job has not begun and waits for one that has.
// Threads: Run from one thread at a time; Abort, Wait, IsFinished and Identifier from
// any thread. The job and on-finish must not Wait for, nor destroy, the task they run in.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>

#include "core/ThreadRAII.h"
#include "core/ZelkorLoggable.h"

namespace Zelkor {

class ConcurrentTask : public ZelkorLoggable {
public:
    // The job, then on-finish, which is called after the job at the end of every run.
    // A job that throws (an empty one included) ends its run as a failure: the exception
    // is logged and kept, never rethrown, and on-finish is still called.
    ConcurrentTask(std::function<void()>&& task, std::function<void()>&& onFinish);
    ConcurrentTask(const ConcurrentTask&) = delete;
    ConcurrentTask& operator=(const ConcurrentTask&) = delete;
    virtual ~ConcurrentTask();

    // Starts a run on a new thread. A run still pending from an earlier call is aborted
    // and waited for first.
    void Run();
    // Marks the current run aborted: its job is skipped unless it has begun already, and a
    // job that has begun is never interrupted. A task never started is left alone.
    void Abort();
    // Returns once the latest run has ended, on-finish included; at once for a task never
    // started.
    void Wait();
    // The steady clock's reading at construction, in nanoseconds.
    long long Identifier() const { return _identifier; }
    // True once the latest run's job is over (done, skipped or failed); on-finish may still
    // be under way. False for a task never started.
    bool IsFinished() const;

protected:
    // `logRuns` false keeps the lines of starting, aborting, waiting for and running a task
    // out of the log; a failed run is logged all the same.
    ConcurrentTask(std::function<void()>&& task, std::function<void()>&& onFinish,
                   std::string moduleName, bool logRuns);
    // Starts a run whose job first waits out `delay`; an abort cuts the wait short.
    void start(std::chrono::nanoseconds delay);

private:
    void execute(std::chrono::nanoseconds delay);
    void waitOut(std::chrono::nanoseconds delay);
    // Called with the run mutex held, whatever way the run ended.
    void endRun(const std::exception_ptr& failure);
    void logFailure(const std::exception_ptr& failure) const noexcept;
    bool started() const;
    // One line about this task: `before`, the identifier in parentheses, `after`. The text
    // is built only when the line will be written.
    void logLine(unsigned long level, const char* before, const char* after = "") const;
    void logRun(unsigned long level, const char* before, const char* after = "") const;

    const long long _identifier;
    const bool _logRuns;
    std::function<void()> _task;
    std::function<void()> _onFinish;
    // Guards the result handle, which a new Run replaces while others may look at it.
    mutable std::mutex _resultMutex;
    std::future<void> _result;
    std::promise<void> _outcome;
    // Held by the run thread from the start of a run to its end.
    std::mutex _runMutex;
    std::condition_variable _ended;
    // Lets Abort cut a delay short without waiting for the run mutex.
    std::mutex _timerMutex;
    std::condition_variable _timer;
    std::atomic<bool> _running{false};
    std::atomic<bool> _aborted{false};
    // Last, so that the run thread is joined before anything it uses goes away.
    std::optional<ThreadRAII> _thread;
};

}  // namespace Zelkor
