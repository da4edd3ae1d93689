#include <gtest/gtest.h>

#include "Ledger.h"

namespace ZelkorSoak {
namespace {

Ledger::Id ask(Ledger& ledger, const std::string& controller, unsigned incarnation, const std::string& cmd,
               double now) {
    const Ledger::Id id = ledger.Sent(controller, incarnation, cmd, "dev1", now, "Connected");
    ledger.Made(id, "{\"event\":\"request\",\"cmd\":\"" + cmd + "\"}");
    return id;
}

TEST(Ledger, AnAnswerPastTheBoundIsLateAndARequestCountsInOneColumnOnly) {
    Ledger ledger(90);
    const Ledger::Id inTime = ask(ledger, "ctl1", 1, "get", 0);
    const Ledger::Id late = ask(ledger, "ctl1", 1, "recvfile", 10);
    const Ledger::Id lateFailure = ask(ledger, "ctl1", 1, "recvfile", 20);
    ask(ledger, "ctl1", 1, "recvfile", 30);

    EXPECT_TRUE(ledger.Answered(inTime, "", 90));
    EXPECT_EQ(ledger.Overdue(110.5), 2u);
    EXPECT_TRUE(ledger.Answered(late, "", 100.5));
    EXPECT_TRUE(ledger.Answered(lateFailure, "end-point disconnected", 150));
    // Still open at the end, long past the bound: never answered, and not late as well.
    const auto totals = ledger.ByCommand();
    EXPECT_EQ(totals.at("get").late, 0u);
    EXPECT_EQ(totals.at("recvfile").answered, 2u);
    EXPECT_EQ(totals.at("recvfile").late, 2u);
    EXPECT_EQ(totals.at("recvfile").open, 1u);
    EXPECT_EQ(totals.at("recvfile").errors, 1u);
    EXPECT_DOUBLE_EQ(totals.at("recvfile").slowest, 130);

    ASSERT_EQ(ledger.LateOnes().size(), 2u);
    EXPECT_DOUBLE_EQ(ledger.LateOnes()[0].waited, 90.5);
    EXPECT_EQ(ledger.LateOnes()[0].outcome, "answered with success");
    EXPECT_EQ(ledger.LateOnes()[1].outcome, "answered \"end-point disconnected\"");
    const auto open = ledger.Oldest(10, 400);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_DOUBLE_EQ(open[0].waited, 370);
    EXPECT_TRUE(open[0].outcome.empty());
}

TEST(Ledger, ARequestOverdueWhenItsControllerEndsIsLateNotLost) {
    Ledger ledger(90);
    ask(ledger, "ctl3-routed", 1, "recvfile", 0);
    ask(ledger, "ctl3-routed", 1, "get", 50);
    ask(ledger, "ctl3-routed", 2, "get", 60);
    ask(ledger, "ctl1", 1, "get", 0);

    ledger.Lost("ctl3-routed", 1, 95);

    const auto totals = ledger.ByCommand();
    EXPECT_EQ(totals.at("recvfile").late, 1u);
    EXPECT_EQ(totals.at("recvfile").lost, 0u);
    EXPECT_EQ(totals.at("get").lost, 1u);
    EXPECT_EQ(totals.at("get").late, 0u);
    // Another incarnation's and another controller's requests wait on.
    EXPECT_EQ(ledger.Waiting(), 2u);
    ASSERT_EQ(ledger.LateOnes().size(), 1u);
    EXPECT_EQ(ledger.LateOnes()[0].outcome, "not answered before its controller ended");
}

}  // namespace
}  // namespace ZelkorSoak
