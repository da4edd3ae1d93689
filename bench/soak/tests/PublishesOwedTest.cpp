#include <gtest/gtest.h>

#include <random>

#include "Json.h"
#include "PublishesOwed.h"
#include "SubscriptionCycle.h"

namespace ZelkorSoak {
namespace {

const std::string kBeat = "/soak/beat";

TEST(PublishesOwed, AChangeOfAStandingSubscriptionNotPublishedWithinTheBoundIsMissing) {
    PublishesOwed owed;
    owed.Subscribing("ctl1.1", "", "dev1", kBeat);
    owed.Subscribing("ctl3.1", "router", "dev1", kBeat);
    // Written before the subscribes were answered: owed nothing, though answered after.
    owed.Changed("dev1", kBeat, "1", 0.5, 1.5);
    owed.Subscribed("ctl1.1", "dev1", kBeat, true, 1);
    owed.Subscribed("ctl3.1", "dev1", kBeat, true, 1);
    owed.Changed("dev1", kBeat, "2", 2, 2.1);
    EXPECT_EQ(owed.Published("ctl3.1", "dev1", kBeat, "2", 2.2), PublishesOwed::Kind::Subscribed);
    // A publish may come before the answer that tells of its change. It carries the value
    // when it was sent, so it settles that change and the ones before.
    EXPECT_EQ(owed.Published("ctl1.1", "dev1", kBeat, "3", 3.05), PublishesOwed::Kind::Subscribed);
    owed.Changed("dev1", kBeat, "3", 3, 3.1);

    EXPECT_TRUE(owed.Missing(23).empty());
    const auto missing = owed.Missing(23.1);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_NE(missing[0].find("ctl3.1 from dev1, /soak/beat = 3,"), std::string::npos) << missing[0];
    EXPECT_TRUE(owed.Missing(60).empty());

    // A fault of the router forgives the changes around it to those behind it only.
    owed.FaultBegins("router", false, 70);
    owed.Changed("dev1", kBeat, "4", 71, 71.1);
    owed.FaultEnds("router", 75);
    const auto around = owed.Missing(100);
    ASSERT_EQ(around.size(), 1u);
    EXPECT_NE(around[0].find("ctl1.1"), std::string::npos) << around[0];

    // A lost connection owes nothing more, not even what was not yet due.
    owed.Changed("dev1", kBeat, "5", 101, 101.1);
    owed.Lost("ctl1.1", "dev1", 110);
    owed.Lost("ctl3.1", "dev1", 110);
    EXPECT_TRUE(owed.Missing(200).empty());
}

// A controller whose requests the test answers.
class Answering : public Requester {
public:
    void Ask(const std::string& cmd, const Target&, Json::Value, Answer answer) override {
        asked.push_back(cmd);
        last = std::move(answer);
    }
    bool Connected(const Target&) const override { return true; }
    bool Listed(const Target&) const override { return true; }
    std::string Who() const override { return "ctl1.1"; }

    std::vector<std::string> asked;
    Answer last;
};

Json::Value beat(int value) {
    return ParseLine(R"({"event":"publish","values":[{"path":"/soak/beat","value":)" + std::to_string(value) + "}]}");
}

// A subscription cycle of one controller to one device, the controller's requests
// answered by the test. (A suite of its own: the class under test holds the name
// PublishesOwed.)
struct CycleTest : ::testing::Test {
    Answering controller;
    const Target dev1{"dev1", "0b5e6a1c-0000-4000-8000-000000000001", 5000, ""};
    Findings findings;
    PublishesOwed owed;
    std::mt19937_64 random{7};
    SubscriptionCycle cycle{controller, dev1, "", {kBeat}, findings, owed, random};
};

TEST_F(CycleTest, AFailedUnsubscribeEndsTheSubscriptionSoALaterPublishIsForeign) {
    cycle.Tick(0);
    const Json::Value subscribed = ParseLine(R"({"event":"subscribe","values":[{"path":"/soak/beat","value":0}]})");
    controller.last(&subscribed, "", 0.1);
    cycle.Publish(beat(1), 1);
    cycle.Tick(30);
    ASSERT_EQ(controller.asked, (std::vector<std::string>{"subscribe", "unsubscribe"}));
    const Json::Value refused =
        ParseLine(R"({"event":"unsubscribe","values":[{"error":"Device not connected","path":"/soak/beat"}]})");
    controller.last(&refused, "Device not connected", 30.1);
    cycle.Publish(beat(2), 31);
    cycle.Publish(beat(3), 40);

    // A failed subscribe leaves nothing subscribed either.
    cycle.Tick(60);
    ASSERT_EQ(controller.asked.back(), "subscribe");
    controller.last(nullptr, "connection lost", 60.1);
    cycle.Publish(beat(4), 65);

    EXPECT_EQ(findings.Publishes(), 1u);
    EXPECT_EQ(findings.LatePublishes().count, 1u);
    EXPECT_EQ(findings.ForeignPublishes().count, 2u);
}

TEST_F(CycleTest, ASubscriptionWhoseRequestTimedOutIsOwedNothingAndItsPublishesAreNotForeign) {
    cycle.Tick(0);
    const Json::Value timedOut =
        ParseLine(R"({"event":"subscribe","values":[{"error":"timeout","path":"/soak/beat"}]})");
    controller.last(&timedOut, "timeout", 10);
    owed.Changed("dev1", kBeat, "1", 11, 11);
    cycle.Publish(beat(1), 12);
    EXPECT_TRUE(owed.Missing(60).empty());

    cycle.Tick(30);
    ASSERT_EQ(controller.asked.back(), "unsubscribe");
    const Json::Value unsubscribeTimedOut =
        ParseLine(R"({"event":"unsubscribe","values":[{"error":"timeout","path":"/soak/beat"}]})");
    controller.last(&unsubscribeTimedOut, "timeout", 40);
    cycle.Publish(beat(2), 50);

    EXPECT_EQ(findings.ForeignPublishes().count, 0u);
    EXPECT_EQ(findings.Publishes(), 2u);
}

// A refusal of the whole request comes as one entry without a path: it answers every
// path of the request. Read as no answer for each path, a subscribe that timed out ended
// its subscription, whose publishes were then foreign, and a subscription standing that
// was subscribed again and timed out was owed nothing more.
TEST_F(CycleTest, ARefusalOfTheWholeRequestAnswersEachOfItsPaths) {
    const Json::Value timedOut = ParseLine(R"({"event":"subscribe","values":[{"error":"timeout","path":""}]})");
    cycle.Tick(0);
    controller.last(&timedOut, "timeout", 10);
    cycle.Publish(beat(1), 15);
    EXPECT_EQ(findings.ForeignPublishes().count, 0u);

    const Json::Value subscribed = ParseLine(R"({"event":"subscribe","values":[{"path":"/soak/beat","value":1}]})");
    cycle.Reconnected();
    cycle.Tick(16);
    controller.last(&subscribed, "", 16.1);
    cycle.Reconnected();
    cycle.Tick(17);
    ASSERT_EQ(controller.asked, (std::vector<std::string>{"subscribe", "subscribe", "subscribe"}));
    controller.last(&timedOut, "timeout", 27);
    owed.Changed("dev1", kBeat, "2", 28, 28);
    EXPECT_EQ(owed.Missing(60).size(), 1u);
}

}  // namespace
}  // namespace ZelkorSoak
