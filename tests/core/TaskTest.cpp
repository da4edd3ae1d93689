#include <gmock/gmock.h>
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
using ZelkorTest::WaitUntil;
using ::testing::Each;
using ::testing::StartsWith;

namespace {

// Every line a task or handler logs, Debug included, is captured.
class Tasks : public ::testing::Test {
protected:
    Tasks() { ZelkorLog::TheLog().SetLevel(7); }
    ZelkorTest::LogCapture log;
};

}  // namespace

// An abort given while no run was pending once skipped the next run.
TEST_F(Tasks, ConcurrentTaskRunsJobThenOnFinishOnEveryRun) {
    std::vector<int> order;
    ConcurrentTask task([&] { order.push_back(1); }, [&] { order.push_back(2); });
    task.Wait();  // never started: returns at once
    task.Abort();
    task.Run();
    task.Wait();
    EXPECT_TRUE(task.IsFinished());
    task.Abort();
    task.Run();
    task.Wait();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 1, 2}));
}

// A throwing job or on-finish once left the task marked running, so Wait never returned.
TEST_F(Tasks, FailedRunStillEnds) {
    const struct {
        const char* name;
        std::function<void()> job;
        bool onFinishThrows;
    } cases[] = {
        {"job throws an exception", [] { throw std::runtime_error("boom"); }, false},
        {"job throws a non-exception", [] { throw 42; }, false},
        {"on-finish throws", [] {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> finishes{0};
        ConcurrentTask task(std::function<void()>(c.job), [&, throws = c.onFinishThrows] {
            ++finishes;
            if (throws) {
                throw std::logic_error("finish");
            }
        });
        task.Run();
        CompletesWithin([&] { task.Wait(); }, c.name);
        EXPECT_EQ(finishes, 1);
    }
}

// A pending timer ends at once when aborted or when its handler goes; fired ones are
// dropped with the next start, so the store stays small.
TEST_F(Tasks, TimersEndAtOnceAndFiredOnesAreDropped) {
    std::atomic<int> fired{0};
    TimingTask timer([&] { ++fired; }, nullptr);
    timer.Run(1h);
    timer.Abort();
    CompletesWithin([&] { timer.Wait(); }, "aborted timer ends without its delay");

    auto handler = std::make_unique<TimingHandler>();
    ASSERT_NE(handler->RunAfter(0ms, [&] { ++fired; }), 0);
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_NE(handler->RunAfter(0ms, [] {}), 0);
        return handler->StoredTimerNumber() == 1;
    }));
    ASSERT_NE(handler->RunAfter(1h, [&] { ++fired; }), 0);
    CompletesWithin([&] { handler.reset(); }, "destroy a handler with a pending timer");
    EXPECT_EQ(fired, 1);
    // Timers once wrote a concurrent task's lines about every run.
    EXPECT_THAT(log.Lines(), Each(StartsWith("TIME ZK700")));
}

// The timing handler had no maintainer, so ended timers stayed until the next start. Given
// a thread, it drops each as it ends, and the destructor ends it.
TEST_F(Tasks, TimingHandlerMaintainerDropsEndedTimers) {
    auto handler = std::make_unique<TimingHandler>();
    TimingHandler* const raw = handler.get();
    std::thread maintainer([raw] { raw->Run(); });
    const long long id = handler->RunAfter(0ms, [] {});
    ASSERT_NE(id, 0);
    EXPECT_TRUE(WaitUntil([&] { return handler->StoredTimerNumber() == 0; }));
    EXPECT_TRUE(log.Contains("TIME ZK7006I Maintainer thread is fired."));
    EXPECT_EQ(log.Count("TIME ZK7007I Timer(" + std::to_string(id) + ") is removed."), 1u);
    CompletesWithin([&] { handler.reset(); }, "destroy a timing handler while its maintainer runs");
    maintainer.join();
}

// Each destruction races the maintainer's first wait; a lost wake-up once hung the join.
TEST(TaskHandler, ManyHandlersWithoutTasksShutDown) {
    CompletesWithin(
        [] {
            for (int i = 0; i < 500; ++i) {
                TaskHandler handler;
            }
        },
        "create and destroy handlers");
}

// The last task to finish was once kept until another one finished.
TEST_F(Tasks, TaskHandlerRemovesFinishedAndFailedTasks) {
    TaskHandler handler;
    ASSERT_NE(handler.RunAsync([] {}), 0);
    ASSERT_NE(handler.RunAsync([] { throw std::runtime_error("boom"); }), 0);
    EXPECT_TRUE(WaitUntil([&] { return handler.StoredTaskNumber() == 0; }));
}

// Waiting once held the store locked, so a job that used its handler deadlocked.
TEST_F(Tasks, TaskHandlerJobMayUseItsHandlerWhileWaitedFor) {
    TaskHandler handler;
    std::atomic<long long> inner{-1};
    const long long id = handler.RunAsync([&] {
        // Run wrote the first waiting line; the second is the handler's Wait below.
        WaitUntil([&] { return log.Count("Waiting for finishing concurrent task(") == 2; });
        inner = handler.RunAsync([] {});
    });
    ASSERT_NE(id, 0);
    CompletesWithin([&] { handler.Wait(id); }, "wait for a job that starts another");
    EXPECT_GT(inner, 0);
}

// The destructor once held its life lock while it waited for the jobs, so a job that
// started another deadlocked it.
TEST_F(Tasks, TaskHandlerDestructionWaitsForJobsAndRefusesNewOnes) {
    auto handler = std::make_unique<TaskHandler>();
    TaskHandler* const raw = handler.get();  // reset() clears the unique_ptr before destroying
    std::atomic<bool> begun{false};
    std::atomic<long long> refused{-1};
    ASSERT_NE(handler->RunAsync([&] {
        begun = true;
        WaitUntil([&] { return log.Contains("is aborting and wait to finishing."); });
        refused = raw->RunAsync([] {});
    }),
              0);
    ASSERT_TRUE(WaitUntil([&] { return begun.load(); }));
    CompletesWithin([&] { handler.reset(); }, "destroy a handler whose job starts another");
    EXPECT_EQ(refused, 0);
}
