#pragma once
// A concurrent task whose job runs once after a delay; aborting it before the delay has
// passed skips the job at once, without waiting the delay out. A timer writes none of a
// concurrent task's lines about its runs; only a failed job is logged.
//
// Ownership and threads: as ConcurrentTask.

#include <chrono>
#include <functional>

#include "core/ConcurrentTask.h"

namespace Zelkor {

class TimingTask : public ConcurrentTask {
public:
    // The job, then on-finish.
    TimingTask(std::function<void()>&& task, std::function<void()>&& onFinish);

    // Starts the timer; a timer still pending from an earlier call is aborted first.
    void Run(std::chrono::nanoseconds delay);
};

}  // namespace Zelkor
