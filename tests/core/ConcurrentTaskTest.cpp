#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bounded.h"
#include "core/ConcurrentTask.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

using Zelkor::ConcurrentTask;
using ZelkorTest::CompletesWithin;
using ZelkorTest::WaitUntil;

namespace {

std::string Id(const ConcurrentTask& task) { return "(" + std::to_string(task.Identifier()) + ")"; }

}  // namespace

TEST(ConcurrentTask, RunsJobThenOnFinish) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(7);
    std::mutex mutex;
    std::vector<int> order;
    ConcurrentTask task([&] { std::lock_guard<std::mutex> l(mutex); order.push_back(1); },
                        [&] { std::lock_guard<std::mutex> l(mutex); order.push_back(2); });
    EXPECT_FALSE(task.IsFinished());
    task.Run();
    task.Wait();
    EXPECT_TRUE(task.IsFinished());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(log.Contains("Task Concurrent task" + Id(task) + " started."));
    EXPECT_TRUE(log.Contains("Task Concurrent task" + Id(task) + " fired"));
    EXPECT_TRUE(log.Contains("Task Concurrent task" + Id(task) + " finished"));
}

TEST(ConcurrentTask, RunsAgainAfterEarlierRun) {
    std::atomic<int> runs{0};
    std::atomic<int> finishes{0};
    ConcurrentTask task([&] { ++runs; }, [&] { ++finishes; });
    // Never started: waiting returns at once, and an abort must not skip the first run.
    task.Wait();
    task.Abort();
    EXPECT_FALSE(task.IsFinished());
    task.Run();
    task.Wait();
    task.Run();
    task.Wait();
    // An abort after a run has ended belongs to no run; the next one still executes.
    task.Abort();
    task.Run();
    task.Wait();
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(finishes, 3);
    EXPECT_TRUE(task.IsFinished());
}

TEST(ConcurrentTask, FailedRunStillEnds) {
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
    ZelkorTest::LogCapture log;
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

TEST(ConcurrentTask, AbortDoesNotInterruptBegunJob) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(7);
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
    // The mark was cleared with the end of the run.
    task.Run();
    task.Wait();
    EXPECT_EQ(done, 2);
}
