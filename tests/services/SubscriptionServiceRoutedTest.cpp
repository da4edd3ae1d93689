// Controllers behind one router reach a device over the router's one connection: each keeps
// its own value, polled and log subscriptions, is sent its own publishes and rows with its
// own route, touches only its own with an empty "unsubscribe", and loses them once the
// driver hears that it is gone (its router's word, or its goodbye).

#include "services/SubscriptionServiceTestSupport.h"

#include "storage/SubscriptionBound.h"

namespace ZelkorTest {
namespace {

// A line of controller `ctl` behind router "rt".
std::string Via(const std::string& ctl, const std::string& rest) { return "[dev][rt&" + ctl + "] " + rest; }

std::string Publish(const std::string& route, int value) {
    return "[" + route + R"(][dev] publish {"format":"variant","path":"/audio/gain","value":)" +
           std::to_string(value) + "}";
}

class RoutedSubscriptionTest : public SubscriptionServiceTest {
protected:
    // Behind "rt" on connection a: A and B subscribed to the gain, each with a polled list
    // "p" of its own and a log subscription of its own priority.
    void SubscribeBoth() {
        for (const char* ctl : {"ctlA", "ctlB"}) {
            Answer(a, Via(ctl, R"(subscribe {"path":"/audio/gain"})"));
        }
        Answer(a, Via("ctlA", R"(subscribepoll {"name":"p","targets":["/audio/gain"]})"));
        Answer(a, Via("ctlB", R"(subscribepoll {"name":"p","targets":["/audio/mute"]})"));
        Answer(a, Via("ctlA", R"(sublog {"priority":1})"));
        Answer(a, Via("ctlB", R"(sublog {"priority":3})"));
    }
    // The routes a row of `priority` went to.
    std::vector<std::string> RowRoutes(unsigned priority) {
        const std::size_t before = sender.Count();
        LOGROW row{1, 100, priority, "c", "e"};
        service->LogEvent(row.to_json());
        std::vector<std::string> routes;
        for (const auto& line : Since(before)) {
            routes.push_back(line.substr(0, line.find(' ')));
        }
        return routes;
    }
};

TEST_F(RoutedSubscriptionTest, EachControllerBehindTheRouterKeepsItsOwn) {
    SubscribeBoth();
    EXPECT_EQ(Write("/audio/gain", Json::Value(-3)),
              (std::vector<std::string>{Publish("rt&ctlA", -3), Publish("rt&ctlB", -3)}));
    EXPECT_EQ(Answer(a, Via("ctlA", R"(poll {"name":"p"})")),
              R"([rt&ctlA][dev] @poll {"format":"variant","name":"p","targets":[-3]})");
    EXPECT_EQ(RowRoutes(2), std::vector<std::string>{"[rt&ctlA][dev]"});
    EXPECT_EQ(RowRoutes(3), (std::vector<std::string>{"[rt&ctlA][dev]", "[rt&ctlB][dev]"}));

    // B's empty unsubscribe is B's alone.
    EXPECT_EQ(Answer(a, Via("ctlB", "unsubscribe")), "[rt&ctlB][dev] @unsubscribe");
    EXPECT_EQ(Write("/audio/gain", Json::Value(-6)), std::vector<std::string>{Publish("rt&ctlA", -6)});
    EXPECT_EQ(Answer(a, Via("ctlB", R"(poll {"name":"p"})")),
              R"([rt&ctlB][dev] @poll {"error":"Polled Subscription Not Found"})");
    EXPECT_EQ(Answer(a, Via("ctlA", R"(unsubscribepoll {"name":"p"})")), "[rt&ctlA][dev] @unsubscribepoll");
    EXPECT_EQ(RowRoutes(4), std::vector<std::string>{"[rt&ctlA][dev]"});
}

TEST_F(RoutedSubscriptionTest, TheRoutersWordThatAControllerIsGoneDropsThatControllerAlone) {
    SubscribeBoth();
    Answer(b, R"([dev][ctl] subscribe {"path":"/audio/gain"})");
    // Answers to its notices change nothing here: the driver tells who is gone.
    Request(a, Via("ctlB", "@publish"));
    Request(a, Via("ctlB", R"(@log {"error":"Message is misrouted"})"));
    Request(b, R"([dev][ctl] @publish {"error":"Device not found"})");
    EXPECT_EQ(Write("/audio/gain", Json::Value(1)).size(), 3u);

    service->RemoveSubscriber(Zelkor::SubscriberKey(a, {"rt", "ctlB"}));
    EXPECT_EQ(Write("/audio/gain", Json::Value(2)),
              (std::vector<std::string>{Publish("rt&ctlA", 2), "[ctl][dev] publish "
                                                               R"({"format":"variant","path":"/audio/gain","value":2})"}));
    EXPECT_EQ(Answer(a, Via("ctlB", R"(poll {"name":"p"})")),
              R"([rt&ctlB][dev] @poll {"error":"Polled Subscription Not Found"})");
    EXPECT_EQ(RowRoutes(4), std::vector<std::string>{"[rt&ctlA][dev]"});

    service->RemoveSubscriber(Zelkor::SubscriberKey(a, {"rt", "ctlA"}));
    EXPECT_EQ(Write("/audio/gain", Json::Value(3)).size(), 1u);
    EXPECT_TRUE(RowRoutes(4).empty());
    EXPECT_TRUE(service->Polled().empty());
    EXPECT_EQ(service->ValueSubscriptionCount(a), 0u);
}

// What the controllers behind one connection hold together is bounded as one connection's.
TEST_F(RoutedSubscriptionTest, ControllersBehindOneConnectionShareItsBound) {
    BoundGuard guard(Zelkor::MaxSubscriptionsPerConnection, Zelkor::SetMaxSubscriptionsPerConnection, 1);
    Answer(a, Via("ctlA", R"(subscribe {"path":"/audio/gain"})"));
    EXPECT_EQ(Entries(Answer(a, Via("ctlB", R"(subscribe {"path":"/audio/gain"})")))["/audio/gain"],
              "error:Too many entries");
    EXPECT_EQ(Answer(a, Via("ctlA", R"(sublog {"priority":1})")), "[rt&ctlA][dev] @sublog {}");
    EXPECT_EQ(Answer(a, Via("ctlB", R"(sublog {"priority":1})")),
              R"([rt&ctlB][dev] @sublog {"error":"Too many entries"})");
    EXPECT_EQ(Answer(b, Via("ctlB", R"(sublog {"priority":1})")), "[rt&ctlB][dev] @sublog {}");
}

}  // namespace
}  // namespace ZelkorTest
