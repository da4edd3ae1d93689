#pragma once
// Runs jobs as concurrent tasks, keeps them by identifier, and drops each one from a
// maintainer thread of its own once its run has ended.
//
// Ownership: the handler owns its tasks and its maintainer thread. The destructor refuses
// new jobs, aborts the jobs that have not begun, waits for those that have, and joins the
// maintainer.
// Threads: every operation from any thread, and from inside a job, except that a job must
// not Wait for its own task nor destroy its handler.

#include <cstddef>
#include <functional>

#include "core/ConcurrentTask.h"
#include "core/MaintainerLoop.h"
#include "core/TaskStore.h"
#include "core/ThreadRAII.h"
#include "core/ZelkorLoggable.h"

namespace Zelkor {

class TaskHandler : public ZelkorLoggable {
public:
    TaskHandler();
    TaskHandler(const TaskHandler&) = delete;
    TaskHandler& operator=(const TaskHandler&) = delete;
    ~TaskHandler();

    // Starts the job on a thread of its own and returns the task's identifier, or 0 when no
    // task was created (handler being destroyed, or identifier not unique).
    long long RunAsync(std::function<void()>&& task);
    // Abort or wait for the stored task with that identifier; nothing when there is none.
    void Abort(long long id);
    void Wait(long long id);
    std::size_t StoredTaskNumber() const;
    // Drops the tasks whose run has ended.
    void RemoveFinished();
    // Aborts every task, waits for the jobs that have begun, and drops every task.
    void AbortAndDumping();

private:
    // The maintainer thread's loop.
    void Run();

    TaskStore<ConcurrentTask> _store;
    MaintainerLoop _maintainer;
    // Last: the thread starts once everything it uses exists, and is joined first.
    ThreadRAII _maintainerThread;
};

}  // namespace Zelkor
