#pragma once
// The tasks that a handler keeps by identifier: adding and starting them while the handler
// is open, aborting and waiting for one, dropping the finished ones and dumping them all.
// The task handler and the timing handler share it; they differ in their tasks, their log
// texts and in who collects the finished tasks.
//
// Ownership: tasks are held in shared ownership so that one being waited for outlives its
// removal from the store. Nothing is waited for, and no task destroyed, with the store
// locked, so a job may use its own handler's operations (except waiting for itself).
// Threads: every operation from any thread. After Close returns no task is added any more.

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/ZelkorLoggable.h"

namespace Zelkor {

// The lines a store writes through its handler; an identifier goes between prefix and suffix.
struct TaskStoreTexts {
    const char* closed;
    const char* notUnique;
    const char* removedPrefix;
    const char* removedSuffix;
    const char* abortingPrefix;
    const char* abortingSuffix;
    const char* dumped;
};

template <class Task>
class TaskStore {
public:
    // `log` writes the lines and must outlive the store.
    TaskStore(const ZelkorLoggable& log, const TaskStoreTexts& texts) : _log(log), _texts(texts) {}
    TaskStore(const TaskStore&) = delete;
    TaskStore& operator=(const TaskStore&) = delete;

    // Starts the task with `start` and keeps it. Returns its identifier, or 0 when the
    // store is closed or the identifier is taken; the task is then dropped unstarted.
    long long Add(std::shared_ptr<Task> task, const std::function<void(Task&)>& start) {
        std::shared_lock<std::shared_mutex> life(_lifeLock);
        if (!_open) {
            _log.Warning(_texts.closed);
            return 0;
        }
        const long long id = task->Identifier();
        std::lock_guard<std::mutex> lock(_mutex);
        if (_tasks.count(id) != 0) {
            _log.Warning(_texts.notUnique);
            return 0;
        }
        start(*task);
        _tasks.emplace(id, std::move(task));
        return id;
    }

    // Refuses every later Add; waits for the Adds under way. Returns whether it was open.
    bool Close() {
        std::unique_lock<std::shared_mutex> life(_lifeLock);
        return _open.exchange(false);
    }
    bool IsOpen() const { return _open; }

    void Abort(long long id) {
        if (auto task = find(id)) {
            task->Abort();
        }
    }

    void Wait(long long id) {
        if (auto task = find(id)) {
            task->Wait();
        }
    }

    std::size_t Size() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _tasks.size();
    }

    void RemoveFinished() {
        std::vector<std::shared_ptr<Task>> finished;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            for (auto it = _tasks.begin(); it != _tasks.end();) {
                if (it->second->IsFinished()) {
                    debugLine(_texts.removedPrefix, it->first, _texts.removedSuffix);
                    finished.push_back(std::move(it->second));
                    it = _tasks.erase(it);
                } else {
                    ++it;
                }
            }
        }
        // Destroyed here, unlocked: each waits for its on-finish and collects its thread.
    }

    // Aborts every task, waits for those whose job has begun, and drops them all.
    void AbortAndDumping() {
        std::map<long long, std::shared_ptr<Task>> tasks;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            tasks.swap(_tasks);
        }
        for (const auto& [id, task] : tasks) {
            debugLine(_texts.abortingPrefix, id, _texts.abortingSuffix);
            task->Abort();
        }
        for (const auto& entry : tasks) {
            entry.second->Wait();
        }
        _log.Debug(_texts.dumped);
    }

private:
    std::shared_ptr<Task> find(long long id) const {
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = _tasks.find(id);
        return it == _tasks.end() ? nullptr : it->second;
    }

    // Built only when the line will be written.
    void debugLine(const char* prefix, long long id, const char* suffix) const {
        if (_log.LogLevel() >= 7) {
            _log.Debug(prefix + std::to_string(id) + suffix);
        }
    }

    const ZelkorLoggable& _log;
    const TaskStoreTexts _texts;
    // Taken shared by Add and exclusively by Close, so that no Add straddles the closing.
    std::shared_mutex _lifeLock;
    std::atomic<bool> _open{true};
    mutable std::mutex _mutex;
    std::map<long long, std::shared_ptr<Task>> _tasks;
};

}  // namespace Zelkor
