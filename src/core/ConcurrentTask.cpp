#include "core/ConcurrentTask.h"

#include <thread>
#include <utility>

namespace Zelkor {

ConcurrentTask::ConcurrentTask(std::function<void()>&& task, std::function<void()>&& onFinish)
    : ConcurrentTask(std::move(task), std::move(onFinish), "Task", true) {}

ConcurrentTask::ConcurrentTask(std::function<void()>&& task, std::function<void()>&& onFinish,
                               std::string moduleName, bool logRuns)
    : ZelkorLoggable(std::move(moduleName)),
      _identifier(std::chrono::steady_clock::now().time_since_epoch().count()),
      _logRuns(logRuns),
      _task(std::move(task)),
      _onFinish(std::move(onFinish)) {}

ConcurrentTask::~ConcurrentTask() {
    Abort();
    Wait();
}

void ConcurrentTask::Run() { start(std::chrono::nanoseconds::zero()); }

void ConcurrentTask::start(std::chrono::nanoseconds delay) {
    logRun(7, "Concurrent task", " started.");
    Abort();
    Wait();
    _thread.reset();
    // An abort meant for an earlier run must not skip this one.
    _aborted = false;
    _running = true;
    _outcome = std::promise<void>();
    {
        std::lock_guard<std::mutex> lock(_resultMutex);
        _result = _outcome.get_future();
    }
    try {
        _thread.emplace(std::thread(&ConcurrentTask::execute, this, delay));
    } catch (...) {
        // No thread for this run: it ends here as a failed one, so that waiters return.
        std::lock_guard<std::mutex> runLock(_runMutex);
        endRun(std::current_exception());
    }
}

void ConcurrentTask::Abort() {
    logRun(7, "Aborting concurrent task");
    if (!started()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_timerMutex);
        _aborted = true;
    }
    _timer.notify_all();
}

void ConcurrentTask::Wait() {
    logRun(7, "Waiting for finishing concurrent task");
    if (!started()) {
        return;
    }
    std::unique_lock<std::mutex> runLock(_runMutex);
    _ended.wait(runLock, [this] { return !_running; });
}

bool ConcurrentTask::IsFinished() const {
    std::lock_guard<std::mutex> lock(_resultMutex);
    return _result.valid() &&
           _result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void ConcurrentTask::execute(std::chrono::nanoseconds delay) {
    std::lock_guard<std::mutex> runLock(_runMutex);
    std::exception_ptr failure;
    try {
        if (delay > std::chrono::nanoseconds::zero()) {
            waitOut(delay);
        }
        if (_aborted) {
            logRun(7, "Concurrent task", " skiped");
        } else {
            logRun(6, "Concurrent task", " fired");
            _task();
        }
        logRun(7, "Concurrent task", " finished");
    } catch (...) {
        failure = std::current_exception();
    }
    endRun(failure);
}

void ConcurrentTask::waitOut(std::chrono::nanoseconds delay) {
    std::unique_lock<std::mutex> lock(_timerMutex);
    _timer.wait_for(lock, delay, [this] { return _aborted.load(); });
}

void ConcurrentTask::endRun(const std::exception_ptr& failure) {
    _aborted = false;
    _running = false;
    // The result is set before on-finish runs, so whoever on-finish wakes already sees
    // the run as finished.
    if (failure) {
        logFailure(failure);
        _outcome.set_exception(failure);
    } else {
        _outcome.set_value();
    }
    if (_onFinish) {
        try {
            _onFinish();
        } catch (...) {
            logFailure(std::current_exception());
        }
    }
    _ended.notify_all();
}

void ConcurrentTask::logFailure(const std::exception_ptr& failure) const noexcept {
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            if (LogLevel() >= 1) {
                Error("Concurrent task(" + std::to_string(_identifier) + ") failed", error.what());
            }
        } catch (...) {
            logLine(1, "Concurrent task", " failed");
        }
    } catch (...) {
        // The logger itself failed; there is nowhere left to report to.
    }
}

bool ConcurrentTask::started() const {
    std::lock_guard<std::mutex> lock(_resultMutex);
    return _result.valid();
}

void ConcurrentTask::logLine(unsigned long level, const char* before, const char* after) const {
    if (LogLevel() >= level) {
        Log(level, before + ("(" + std::to_string(_identifier) + ")") + after);
    }
}

void ConcurrentTask::logRun(unsigned long level, const char* before, const char* after) const {
    if (_logRuns) {
        logLine(level, before, after);
    }
}

}  // namespace Zelkor
