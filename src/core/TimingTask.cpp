#include "core/TimingTask.h"

#include <utility>

namespace Zelkor {

TimingTask::TimingTask(std::function<void()>&& task, std::function<void()>&& onFinish)
    : ConcurrentTask(std::move(task), std::move(onFinish), "TASK", false) {}

void TimingTask::Run(std::chrono::nanoseconds delay) { start(delay); }

}  // namespace Zelkor
