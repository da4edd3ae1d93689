#pragma once
// One worker thread of a service for the disk work that must not stall the event loop
// (a received file's final sync and rename): jobs run one after another in the order
// they came, each result goes back to the loop through the poster the service gives.
//
// Ownership: owned by its service. The destructor stops the worker and joins the thread
// after the running job. Threads: Post and Stop from any thread.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Zelkor {

class TransferWorker {
public:
    using Job = std::function<void()>;

    // At most `maxWaiting` jobs wait; the thread starts with the first job.
    explicit TransferWorker(std::size_t maxWaiting = 1024);
    ~TransferWorker();
    TransferWorker(const TransferWorker&) = delete;
    TransferWorker& operator=(const TransferWorker&) = delete;

    // False (the job dropped at once) when `maxWaiting` jobs wait already or the worker
    // is stopping.
    bool Post(Job job);
    // Jobs waiting, the running one not counted.
    std::size_t Waiting() const;
    // Takes no more jobs and drops those waiting (their captured objects are destroyed on
    // the calling thread); the running job finishes, and the thread ends after it.
    void Stop();

private:
    void run();

    const std::size_t _maxWaiting;
    mutable std::mutex _mutex;
    std::condition_variable _wake;
    std::deque<Job> _jobs;
    bool _stopping = false;
    std::thread _thread;
};

}  // namespace Zelkor
