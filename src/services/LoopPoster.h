#pragma once
// How a service held in shared ownership reaches the event loop: the poster the driver
// gives it (none in tests, where work runs at once), and a job that runs on the loop only
// while the service still lives.
//
// Threads: RunOnLoop may be called from any thread; the job runs on the loop thread (or on
// the caller's, without a poster).

#include <functional>
#include <utility>

namespace Zelkor {

using LoopJob = std::function<void()>;
using LoopPoster = std::function<void(LoopJob)>;

// `service` derives from std::enable_shared_from_this<Service>; a posted job holds it
// weakly, so a service gone by then runs nothing.
template <class Service>
void RunOnLoop(const LoopPoster& toLoop, Service& service, std::function<void(Service&)> job) {
    if (!toLoop) {
        job(service);
        return;
    }
    toLoop([weak = service.weak_from_this(), job = std::move(job)] {
        if (const auto self = weak.lock()) {
            job(*self);
        }
    });
}

}  // namespace Zelkor
