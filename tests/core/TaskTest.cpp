#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Bounded.h"
#include "core/ConcurrentTask.h"
#include "core/TaskHandler.h"
#include "core/TimingHandler.h"
#include "core/TimingTask.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

using namespace std::chrono_literals;
using Zelkor::ConcurrentTask;
using Zelkor::TaskHandler;
using Zelkor::TimingHandler;
using Zelkor::TimingTask;
using ZelkorTest::CompletesWithin;
using ZelkorTest::RequireWithin;
using ZelkorTest::WaitUntil;

namespace {

std::string Id(const ConcurrentTask& task) { return "(" + std::to_string(task.Identifier()) + ")"; }

// Every line a task or handler logs, Debug included, is captured.
class Tasks : public ::testing::Test {
protected:
    Tasks() { ZelkorLog::TheLog().SetLevel(7); }
    ZelkorTest::LogCapture log;
};

}  // namespace

TEST_F(Tasks, ConcurrentTaskRunsJobThenOnFinishOnEveryRun) {
    // Job and on-finish run one after the other on the run's thread; Wait orders them
    // before the reads here.
    std::vector<int> order;
    ConcurrentTask task([&] { order.push_back(1); }, [&] { order.push_back(2); });
    // Never started: waiting returns at once, and an abort must not skip the first run.
    task.Wait();
    task.Abort();
    EXPECT_FALSE(task.IsFinished());
    task.Run();
    task.Wait();
    EXPECT_TRUE(task.IsFinished());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    for (const char* event : {" started.", " fired", " finished"}) {
        EXPECT_TRUE(log.Contains("Task Concurrent task" + Id(task) + event)) << event;
    }
    // An abort after a run has ended belongs to no run; the next one still executes.
    task.Abort();
    task.Run();
    task.Wait();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 1, 2}));
}

TEST_F(Tasks, FailedRunStillEnds) {
    struct Case {
        const char* name;
        std::function<void()> job;
        bool onFinishThrows;
    };
    const std::vector<Case> cases = {
        {"job throws an exception", [] { throw std::runtime_error("boom"); }, false},
        {"job throws a non-exception", [] { throw 42; }, false},
        {"empty job", nullptr, false},
        {"on-finish throws", [] {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        std::atomic<int> finishes{0};
        auto job = c.job;
        ConcurrentTask task(std::move(job), [&, throws = c.onFinishThrows] {
            ++finishes;
            if (throws) {
                throw std::logic_error("finish");
            }
        });
        task.Run();
        CompletesWithin([&] { task.Wait(); }, c.name);
        EXPECT_TRUE(task.IsFinished());
        EXPECT_EQ(finishes, 1);
        EXPECT_TRUE(log.Contains("Task Concurrent task" + Id(task) + " failed"));
        // A failure leaves no mark behind: the task runs again.
        task.Run();
        CompletesWithin([&] { task.Wait(); }, c.name);
        EXPECT_EQ(finishes, 2);
    }
}

TEST_F(Tasks, AbortDoesNotInterruptBegunJob) {
    std::atomic<bool> begun{false};
    std::atomic<bool> gate{false};
    std::atomic<int> done{0};
    ConcurrentTask task(
        [&] {
            begun = true;
            WaitUntil([&] { return gate.load(); });
            ++done;
        },
        nullptr);
    task.Run();
    ASSERT_TRUE(WaitUntil([&] { return begun.load(); }));
    task.Abort();
    EXPECT_FALSE(task.IsFinished());
    gate = true;
    task.Wait();
    EXPECT_EQ(done, 1);
    EXPECT_FALSE(log.Contains("skiped"));
}

TEST_F(Tasks, TimerAbortedBeforeItsDelayEndsAtOnceAndFiresWhenStartedAgain) {
    std::atomic<int> fired{0};
    std::atomic<int> finishes{0};
    TimingTask timer([&] { ++fired; }, [&] { ++finishes; });
    timer.Run(1h);
    timer.Abort();
    CompletesWithin([&] { timer.Wait(); }, "aborted timer ends without its delay");
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(finishes, 1);
    EXPECT_TRUE(log.Contains("TASK Concurrent task" + Id(timer) + " skiped"));
    // The abort belonged to the earlier run; this one fires after its delay.
    const auto start = std::chrono::steady_clock::now();
    timer.Run(30ms);
    CompletesWithin([&] { timer.Wait(); }, "restarted timer fires");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(finishes, 2);
}

TEST_F(Tasks, TimingHandlerDropsFiredTimersWithEveryNewOne) {
    TimingHandler handler;
    std::atomic<int> fired{0};
    const long long first = handler.RunAfter(10ms, [&] { ++fired; });
    ASSERT_NE(first, 0);
    ASSERT_TRUE(WaitUntil([&] { return fired == 1; }));
    // Every new timer drops those that have fired, so the store stays small.
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_NE(handler.RunAfter(0ms, [&] { ++fired; }), 0);
        return handler.StoredTimerNumber() == 1;
    }));
    EXPECT_TRUE(log.Contains("TIME ZK7007I Timer(" + std::to_string(first) + ") is removed."));
}

TEST_F(Tasks, TimingHandlerAbortAndDestructionEndPendingTimersAtOnce) {
    std::atomic<int> fired{0};
    auto handler = std::make_unique<TimingHandler>();
    const long long aborted = handler->RunAfter(1h, [&] { ++fired; });
    ASSERT_NE(aborted, 0);
    handler->Abort(aborted);
    EXPECT_TRUE(WaitUntil([&] {
        handler->RemoveFinished();
        return handler->StoredTimerNumber() == 0;
    }));
    ASSERT_NE(handler->RunAfter(1h, [&] { ++fired; }), 0);
    ASSERT_NE(handler->RunAfter(2h, [&] { ++fired; }), 0);
    CompletesWithin([&] { handler.reset(); }, "destroy a handler with pending timers");
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(log.Count("TIME ZK7008I Timer("), 2u);
    EXPECT_TRUE(log.Contains("TIME ZK7009I All timer is dumped."));
}

TEST(TaskHandler, ManyHandlersWithoutTasksShutDown) {
    // Each destruction races the maintainer's first wait; a lost wake-up hangs the join.
    CompletesWithin(
        [] {
            for (int i = 0; i < 500; ++i) {
                TaskHandler handler;
            }
        },
        "create and destroy handlers");
}

TEST_F(Tasks, TaskHandlerRemovesFinishedAndFailedTasks) {
    TaskHandler handler;
    handler.Abort(12345);  // unknown identifiers are ignored
    handler.Wait(12345);
    std::atomic<bool> gate{false};
    auto blocked = [&] { WaitUntil([&] { return gate.load(); }); };
    const long long first = handler.RunAsync(blocked);
    const long long second = handler.RunAsync(blocked);
    const long long throwing = handler.RunAsync([] { throw std::runtime_error("boom"); });
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    ASSERT_NE(throwing, 0);
    ASSERT_NE(handler.RunAsync(nullptr), 0);
    CompletesWithin([&] { handler.Wait(throwing); }, "wait for a throwing job");
    gate = true;
    // The last task to finish is removed too, not kept until another one finishes.
    EXPECT_TRUE(WaitUntil([&] { return handler.StoredTaskNumber() == 0; }));
    EXPECT_TRUE(log.Contains("TaskHandler Task(" + std::to_string(first) + ") is removed."));
    EXPECT_TRUE(log.Contains("TaskHandler Task(" + std::to_string(second) + ") is removed."));
}

TEST_F(Tasks, TaskHandlerJobMayUseItsHandlerWhileWaitedFor) {
    TaskHandler handler;
    std::atomic<bool> gate{false};
    std::atomic<long long> inner{-1};
    const long long id = handler.RunAsync([&] {
        WaitUntil([&] { return gate.load(); });
        inner = handler.RunAsync([] {});
    });
    ASSERT_NE(id, 0);
    std::thread opener([&] {
        // Run logged the first waiting line; the second is the handler's Wait.
        const std::string waiting = "Waiting for finishing concurrent task(" + std::to_string(id) + ")";
        WaitUntil([&] { return log.Count(waiting) == 2; });
        gate = true;
    });
    CompletesWithin([&] { handler.Wait(id); }, "wait for a job that starts another");
    opener.join();
    EXPECT_GT(inner, 0);
}

TEST_F(Tasks, TaskHandlerDestructionAbortsWaitsAndRefusesNewJobs) {
    auto handler = std::make_unique<TaskHandler>();
    TaskHandler* const raw = handler.get();  // reset() clears the unique_ptr before destroying
    std::atomic<int> begun{0};
    std::atomic<bool> gate{false};
    std::atomic<int> refused{0};
    std::atomic<int> finished{0};
    auto job = [&] {
        ++begun;
        WaitUntil([&] { return gate.load(); });
        // The handler is being destroyed: a new job is refused, without deadlock.
        if (raw->RunAsync([] {}) == 0) {
            ++refused;
        }
        ++finished;
    };
    ASSERT_NE(handler->RunAsync(job), 0);
    ASSERT_NE(handler->RunAsync(job), 0);
    ASSERT_TRUE(WaitUntil([&] { return begun == 2; }));

    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        handler.reset();
        destroyed = true;
    });
    RequireWithin([&] { return log.Count("is aborting and wait to finishing.") == 2; },
                  "destructor aborts both tasks");
    EXPECT_FALSE(destroyed);
    gate = true;
    RequireWithin([&] { return destroyed.load(); }, "destructor returns");
    destroyer.join();

    EXPECT_EQ(finished, 2);
    EXPECT_EQ(refused, 2);
    EXPECT_EQ(log.Count("Task handler is not running. Concurrent task is not created."), 2u);
    EXPECT_TRUE(log.Contains("TaskHandler All concurrent task is dumped."));
}
