// The worker that takes the disk work off the event loop: jobs run one at a time in the
// order posted, at most the bound wait, and destruction drops the waiting jobs at once and
// returns only after the running one, which it never interrupts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "filetransfer/TransferWorker.h"
#include "support/RunUntil.h"

using Zelkor::TransferWorker;
using ZelkorTest::WaitUntil;

namespace {

// A door a job waits at until the test opens it.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(_mutex);
        _open = true;
        _changed.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> lock(_mutex);
        _arrived = true;
        _changed.notify_all();
        _changed.wait(lock, [this] { return _open; });
    }
    bool Arrived() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _arrived;
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _open = false;
    bool _arrived = false;
};

}  // namespace

TEST(TransferWorker, RunsJobsInOrderOnOneThread) {
    TransferWorker worker;

    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(worker.Post([&, i] {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        }));
    }
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return order.size() == 200;
    }));
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(threads[i], threads[0]);
    }
    EXPECT_NE(threads[0], std::this_thread::get_id());
}

// A job that throws does not end the worker for the jobs behind it.
TEST(TransferWorker, BoundsTheWaitingJobsAndOutlivesAThrowingJob) {
    TransferWorker worker(2);
    Gate gate;
    std::atomic<int> ran{0};
    ASSERT_TRUE(worker.Post([&] {
        gate.Pass();
        throw std::runtime_error("job failed");
    }));
    ASSERT_TRUE(WaitUntil([&] { return gate.Arrived(); }));
    EXPECT_EQ(worker.Waiting(), 0u);
    EXPECT_TRUE(worker.Post([&] { ++ran; }));
    EXPECT_TRUE(worker.Post([&] { ++ran; }));
    const auto held = std::make_shared<int>(0);
    EXPECT_FALSE(worker.Post([&ran, held] { ++ran; }));
    EXPECT_EQ(held.use_count(), 1);  // the refused job is gone at once
    EXPECT_EQ(worker.Waiting(), 2u);
    gate.Open();
    ASSERT_TRUE(WaitUntil([&] { return ran == 2; }));
    EXPECT_EQ(worker.Waiting(), 0u);
    EXPECT_TRUE(worker.Post([&] { ++ran; }));
    EXPECT_TRUE(WaitUntil([&] { return ran == 3; }));
}

TEST(TransferWorker, DestructionDropsWaitingJobsAndWaitsForTheRunningOne) {
    std::optional<TransferWorker> worker(std::in_place);
    TransferWorker* const stopping = &*worker;
    Gate gate;
    std::atomic<bool> runningDone{false};
    std::atomic<int> waitingRan{0};
    std::promise<bool> postedWhileStopping;
    ASSERT_TRUE(worker->Post([&] {
        gate.Pass();
        postedWhileStopping.set_value(stopping->Post([&] { ++waitingRan; }));
        runningDone = true;
    }));
    ASSERT_TRUE(WaitUntil([&] { return gate.Arrived(); }));

    // The waiting job holds a token whose release opens the gate: proof that the
    // destructor dropped it while the running job still ran.
    std::shared_ptr<void> token(nullptr, [&gate](void*) { gate.Open(); });
    ASSERT_TRUE(worker->Post([&waitingRan, token] { ++waitingRan; }));
    ASSERT_TRUE(worker->Post([&] { ++waitingRan; }));
    std::weak_ptr<void> watch = token;
    token.reset();

    worker.reset();
    EXPECT_TRUE(runningDone);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(waitingRan, 0);
    EXPECT_FALSE(postedWhileStopping.get_future().get());
}

// The last owner of the worker may be a job's captured object: the worker then goes on
// its own thread, which cannot join itself and just ends.
TEST(TransferWorker, MayBeDestroyedByItsOwnJob) {
    auto worker = std::make_shared<TransferWorker>();
    Gate gate;
    std::atomic<bool> ran{false};
    std::weak_ptr<TransferWorker> watch = worker;
    ASSERT_TRUE(worker->Post([owner = worker, &gate, &ran] {
        gate.Pass();
        ran = true;
    }));
    worker.reset();
    gate.Open();
    EXPECT_TRUE(WaitUntil([&] { return ran && watch.expired(); }));
}
