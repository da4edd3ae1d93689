#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "Bounded.h"
#include "core/TaskHandler.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

using Zelkor::TaskHandler;
using ZelkorTest::CompletesWithin;
using ZelkorTest::RequireWithin;
using ZelkorTest::WaitUntil;

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

TEST(TaskHandler, FinishedTasksAreRemoved) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(7);
    TaskHandler handler;
    std::atomic<bool> gate{false};
    auto blocked = [&] { WaitUntil([&] { return gate.load(); }); };
    const long long first = handler.RunAsync(blocked);
    const long long second = handler.RunAsync(blocked);
    ASSERT_NE(first, 0);
    ASSERT_NE(second, 0);
    EXPECT_LT(first, second);
    EXPECT_EQ(handler.StoredTaskNumber(), 2u);
    gate = true;
    // The last task to finish is removed too, not kept until another one finishes.
    EXPECT_TRUE(WaitUntil([&] { return handler.StoredTaskNumber() == 0; }));
    EXPECT_TRUE(log.Contains("TaskHandler Task(" + std::to_string(first) + ") is removed."));
    EXPECT_TRUE(log.Contains("TaskHandler Task(" + std::to_string(second) + ") is removed."));
}

TEST(TaskHandler, FailedJobsAreRemovedAndUnknownIdsIgnored) {
    TaskHandler handler;
    handler.Abort(12345);
    handler.Wait(12345);
    const long long throwing = handler.RunAsync([] { throw std::runtime_error("boom"); });
    const long long empty = handler.RunAsync(nullptr);
    ASSERT_NE(throwing, 0);
    ASSERT_NE(empty, 0);
    CompletesWithin([&] { handler.Wait(throwing); }, "wait for a throwing job");
    EXPECT_TRUE(WaitUntil([&] { return handler.StoredTaskNumber() == 0; }));
}

TEST(TaskHandler, JobMayUseItsHandlerWhileWaitedFor) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(7);
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

TEST(TaskHandler, DestructionAbortsWaitsAndRefusesNewJobs) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(7);
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
