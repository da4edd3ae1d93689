// Polled subscriptions on a device: which targets a "subscribepoll" takes, what a "poll"
// reads, and how they go.

#include "services/SubscriptionServiceTestSupport.h"

#include "storage/RequestBound.h"
#include "storage/SubscriptionBound.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

std::string SubscribePoll(const std::string& name, const std::string& targets, const std::string& format = "") {
    return R"([dev][ctl] subscribepoll {"name":")" + name + "\"" +
           (format.empty() ? "" : R"(,"format":")" + format + "\"") + R"(,"targets":)" + targets + "}";
}

std::string Poll(const std::string& name) { return R"([dev][ctl] poll {"name":")" + name + "\"}"; }

TEST_F(SubscriptionServiceTest, PollTakesReadableTargetsOnly) {
    struct Case {
        const char* targets;
        const char* format;
        const char* reply;  // after "[ctl][dev] @subscribepoll "
        const char* poll;   // after "[ctl][dev] @poll "
    };
    const Case cases[] = {
        // Write-only and missing targets are dropped silently.
        {R"(["/configuration/device/authenticate","/audio/gain","/nothing"])", "",
         R"({"format":"variant","name":"p","targets":[{"path":"/audio/gain","value":0}]})",
         R"({"format":"variant","name":"p","targets":[0]})"},
        // Constant only: nothing is stored.
        {R"(["/configuration/device/serialnumber"])", "", R"({"error":"No subscribable targets"})",
         R"({"error":"Polled Subscription Not Found"})"},
        // An attribute is a target of its own; a dynamic target brings its attributes
        // first; locked and unsubscribable parameters can still be polled.
        {R"(["/audio/gain/.max","/audio/crossover","/audio/limiter"])", "string",
         R"({"format":"string","name":"p","targets":[{"path":"/audio/gain/.max","value":"12"},)"
         R"({"path":"/audio/crossover/.dynamic","value":true},{"path":"/audio/crossover/.kind","value":"param"},)"
         R"({"path":"/audio/crossover/.max","value":20000},{"path":"/audio/crossover/.min","value":20},)"
         R"({"path":"/audio/crossover/.type","value":"float"},{"path":"/audio/crossover/.value","value":80},)"
         R"({"path":"/audio/crossover","value":"80"},{"path":"/audio/limiter","value":"-3"}]})",
         R"({"format":"string","name":"p","targets":["12","80","-3"]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.targets);
        service->RemoveSubscription(a);
        EXPECT_EQ(Answer(a, SubscribePoll("p", c.targets, c.format)),
                  std::string("[ctl][dev] @subscribepoll ") + c.reply);
        EXPECT_EQ(Answer(a, Poll("p")), std::string("[ctl][dev] @poll ") + c.poll);
    }
}

TEST_F(SubscriptionServiceTest, PollReplacesAndUnsubscribes) {
    Answer(a, SubscribePoll("p", R"(["/audio/gain"])"));
    Answer(a, SubscribePoll("q", R"(["/audio/mute"])"));
    Answer(a, SubscribePoll("p", R"(["/audio/trim","/audio/mute"])"));
    EXPECT_EQ(Answer(a, Poll("p")), R"([ctl][dev] @poll {"format":"variant","name":"p","targets":[0,false]})");
    EXPECT_EQ(Answer(b, Poll("p")), R"([ctl][dev] @poll {"error":"Polled Subscription Not Found"})");

    EXPECT_EQ(Answer(a, R"([dev][ctl] unsubscribepoll {"name":"x"})"),
              R"([ctl][dev] @unsubscribepoll {"error":"Named polled subscription not found"})");
    EXPECT_EQ(Answer(a, R"([dev][ctl] unsubscribepoll {"name":"q"})"), "[ctl][dev] @unsubscribepoll");
    EXPECT_EQ(service->Polled().at(Zelkor::SubscriberKey(a)).size(), 1u);
    EXPECT_EQ(Answer(a, "[dev][ctl] unsubscribepoll"), "[ctl][dev] @unsubscribepoll");
    EXPECT_EQ(Answer(a, "[dev][ctl] unsubscribepoll"),
              R"([ctl][dev] @unsubscribepoll {"error":"No polled subscription found"})");
    EXPECT_TRUE(service->Polled().empty());
}

TEST_F(SubscriptionServiceTest, RemovedTargetPollsEmptyInItsPlace) {
    Answer(a, SubscribePoll("p", R"(["/audio/gain","/version"])"));
    std::string audio = R"({".kind":"obj"})";
    model->AddObjectToPath("/", "audio", audio);
    LogCapture log;
    EXPECT_EQ(Answer(a, Poll("p")), R"([ctl][dev] @poll {"format":"variant","name":"p","targets":["","2.3.1"]})");
    EXPECT_TRUE(log.Contains("ZK6502W Storage layer returned non-zero result from GetValueForPath "
                             "path: (/audio/gain)"));
}

TEST_F(SubscriptionServiceTest, PolledTargetsAreBounded) {
    BoundGuard perConnection(Zelkor::MaxSubscriptionsPerConnection, Zelkor::SetMaxSubscriptionsPerConnection, 2);
    Answer(a, SubscribePoll("p", R"(["/audio/gain","/audio/trim"])"));
    EXPECT_EQ(Answer(a, SubscribePoll("q", R"(["/audio/mute"])")),
              R"([ctl][dev] @subscribepoll {"error":"Too many entries"})");
    // A replacement counts without the record it replaces; another connection has room.
    EXPECT_EQ(Answer(a, SubscribePoll("p", R"(["/audio/mute","/audio/label"])")).find("error"), std::string::npos);
    EXPECT_EQ(Answer(b, SubscribePoll("q", R"(["/audio/mute"])")).find("error"), std::string::npos);
    EXPECT_EQ(service->Polled().at(Zelkor::SubscriberKey(a)).at("p").targets,
              (std::vector<std::string>{"/audio/mute", "/audio/label"}));

    // The reply names every accepted target: one whose entries do not fit is not taken.
    BoundGuard entries(Zelkor::MaxEntriesPerMessage, Zelkor::SetMaxEntriesPerMessage, 2);
    EXPECT_EQ(Answer(b, SubscribePoll("r", R"(["/audio/gain","/audio/crossover"])")),
              R"([ctl][dev] @subscribepoll {"format":"variant","name":"r",)"
              R"("targets":[{"path":"/audio/gain","value":0}]})");

    // A record stored under a higher bound is polled whole or refused, never cut short.
    BoundGuard lower(Zelkor::MaxEntriesPerMessage, Zelkor::SetMaxEntriesPerMessage, 1);
    const std::string refused = Answer(a, Poll("p"));
    EXPECT_NE(refused.find(R"("error":"Too many entries")"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("targets"), std::string::npos) << refused;
}

}  // namespace
}  // namespace ZelkorTest
