#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "Bounded.h"
#include "core/TimingHandler.h"
#include "core/TimingTask.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

using namespace std::chrono_literals;
using Zelkor::TimingHandler;
using Zelkor::TimingTask;
using ZelkorTest::CompletesWithin;
using ZelkorTest::WaitUntil;

TEST(TimingTask, FiresAfterItsDelay) {
    std::atomic<int> fired{0};
    std::atomic<int> finishes{0};
    TimingTask timer([&] { ++fired; }, [&] { ++finishes; });
    const auto start = std::chrono::steady_clock::now();
    timer.Run(30ms);
    CompletesWithin([&] { timer.Wait(); }, "timer fires");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(finishes, 1);
}

TEST(TimingTask, AbortBeforeStartSkipsJobAtOnce) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(7);
    std::atomic<int> fired{0};
    std::atomic<int> finishes{0};
    TimingTask timer([&] { ++fired; }, [&] { ++finishes; });
    timer.Run(1h);
    timer.Abort();
    CompletesWithin([&] { timer.Wait(); }, "aborted timer ends without its delay");
    EXPECT_EQ(fired, 0);
    EXPECT_EQ(finishes, 1);
    EXPECT_TRUE(log.Contains("TASK Concurrent task(" + std::to_string(timer.Identifier()) + ") skiped"));
    // Started again, the timer fires: the abort belonged to the earlier run.
    timer.Run(0ms);
    CompletesWithin([&] { timer.Wait(); }, "restarted timer fires");
    EXPECT_EQ(fired, 1);
}

TEST(TimingHandler, TimersFireAndFiredOnesAreDropped) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(7);
    TimingHandler handler;
    EXPECT_EQ(handler.StoredTimerNumber(), 0u);
    EXPECT_EQ(handler.HighResolutionClockPrecision(), 0.0);
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

TEST(TimingHandler, AbortAndDestructionEndPendingTimersAtOnce) {
    ZelkorTest::LogCapture log;
    ZelkorLog::TheLog().SetLevel(7);
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
