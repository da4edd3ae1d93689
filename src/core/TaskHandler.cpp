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
      _maintainerThread(std::thread(&TaskHandler::Run, this)) {}

TaskHandler::~TaskHandler() {
    _store.Close();
    _maintainer.Close();
    _store.AbortAndDumping();
}

long long TaskHandler::RunAsync(std::function<void()>&& task) {
    auto concurrent = std::make_shared<ConcurrentTask>(std::move(task), [this] { _maintainer.Wake(); });
    return _store.Add(std::move(concurrent), [](ConcurrentTask& t) { t.Run(); });
}

void TaskHandler::Abort(long long id) { _store.Abort(id); }

void TaskHandler::Wait(long long id) { _store.Wait(id); }

std::size_t TaskHandler::StoredTaskNumber() const { return _store.Size(); }

void TaskHandler::RemoveFinished() { _store.RemoveFinished(); }

void TaskHandler::AbortAndDumping() { _store.AbortAndDumping(); }

void TaskHandler::Run() {
    _maintainer.Run([this] {
        Trace("Maintainer thread is fired.");
        _store.RemoveFinished();
    });
}

}  // namespace Zelkor
