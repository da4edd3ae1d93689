#include "core/TaskHandler.h"

#include <memory>
#include <thread>
#include <utility>

namespace Zelkor {

namespace {

const TaskStoreTexts kTaskTexts{
    "Task handler is not running. Concurrent task is not created.",
    "Task identifier is not unique. Concurrent task is not created.",
    "Task(",
    ") is removed.",
    "Task(",
    ") is aborting and wait to finishing.",
    "All concurrent task is dumped.",
};

}  // namespace

TaskHandler::TaskHandler()
    : ZelkorLoggable("TaskHandler"),
      _store(*this, kTaskTexts),
      _maintainer(std::thread(&TaskHandler::Run, this)) {}

TaskHandler::~TaskHandler() {
    _store.Close();
    {
        // Notified under the mutex, so the maintainer cannot miss it between its check
        // and its wait.
        std::lock_guard<std::mutex> lock(_maintainerMutex);
        _maintainerCondition.notify_all();
    }
    _store.AbortAndDumping();
}

long long TaskHandler::RunAsync(std::function<void()>&& task) {
    auto concurrent = std::make_shared<ConcurrentTask>(std::move(task), [this] { wakeMaintainer(); });
    return _store.Add(std::move(concurrent), [](ConcurrentTask& t) { t.Run(); });
}

void TaskHandler::Abort(long long id) { _store.Abort(id); }

void TaskHandler::Wait(long long id) { _store.Wait(id); }

std::size_t TaskHandler::StoredTaskNumber() const { return _store.Size(); }

void TaskHandler::RemoveFinished() { _store.RemoveFinished(); }

void TaskHandler::AbortAndDumping() { _store.AbortAndDumping(); }

void TaskHandler::Run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(_maintainerMutex);
            _maintainerCondition.wait(lock, [this] { return _wake || !_store.IsOpen(); });
            _wake = false;
        }
        Trace("Maintainer thread is fired.");
        _store.RemoveFinished();
        if (!_store.IsOpen()) {
            return;
        }
    }
}

// A task's on-finish: runs on the task's thread with its run mutex held, so it takes no
// lock but the maintainer's own, which is never held while waiting for anything else.
void TaskHandler::wakeMaintainer() {
    std::lock_guard<std::mutex> lock(_maintainerMutex);
    _wake = true;
    _maintainerCondition.notify_one();
}

}  // namespace Zelkor
