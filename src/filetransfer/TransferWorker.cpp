#include "filetransfer/TransferWorker.h"

#include <system_error>
#include <utility>

namespace Zelkor {

namespace {

// Set on the worker thread when a job destroyed the worker it runs on (its last owner
// went with the job): the thread then leaves without touching the destroyed object.
thread_local bool tWorkerDestroyed = false;

}  // namespace

TransferWorker::TransferWorker(std::size_t maxWaiting) : _maxWaiting(maxWaiting) {}

TransferWorker::~TransferWorker() {
    // Before the join, so that what the dropped jobs hold goes without waiting for the
    // running one.
    Stop();
    if (_thread.joinable()) {
        if (_thread.get_id() == std::this_thread::get_id()) {
            // A thread cannot join itself; it ends as soon as the running job returns.
            tWorkerDestroyed = true;
            _thread.detach();
        } else {
            _thread.join();
        }
    }
}

bool TransferWorker::Post(Job job) {
    std::unique_lock<std::mutex> lock(_mutex);
    if (_stopping || _jobs.size() >= _maxWaiting) {
        lock.unlock();
        return false;  // `job` is destroyed here, outside the lock
    }
    if (!_thread.joinable()) {
        try {
            _thread = std::thread(&TransferWorker::run, this);
        } catch (const std::system_error&) {
            lock.unlock();
            return false;
        }
    }
    _jobs.push_back(std::move(job));
    lock.unlock();
    _wake.notify_one();
    return true;
}

void TransferWorker::Stop() {
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
        dropped.swap(_jobs);
    }
    _wake.notify_all();
    // Outside the lock: a captured object's destructor may Post.
    dropped.clear();
}

std::size_t TransferWorker::Waiting() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _jobs.size();
}

void TransferWorker::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _wake.wait(lock, [this] { return _stopping || !_jobs.empty(); });
            if (_stopping) {
                return;
            }
            job = std::move(_jobs.front());
            _jobs.pop_front();
        }
        try {
            job();
        } catch (...) {
            // A job reports its own result; one that throws must not end the worker for
            // the jobs behind it.
        }
        // The job's captured objects go on this thread, before the next wait; the last
        // owner of the worker may be among them.
        job = nullptr;
        if (tWorkerDestroyed) {
            return;
        }
    }
}

}  // namespace Zelkor
