// The event subscription service and its model over a recording sender: which
// connections a raised event reaches, what each request is answered, and the bounds and
// refusals that keep a peer from growing the tables or being sent unasked lines it would
// misread.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/ZelkorLog.h"
#include "services/EventMessages.h"
#include "services/EventSubscriptionService.h"
#include "storage/SubscriptionBound.h"
#include "support/FakeServiceSender.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

using Zelkor::EventSubscriptionService;

struct EventSubscriptionTest : ::testing::Test {
    // As the driver's receive road hands a line over, this node being "dev".
    void Receive(void* handle, const std::string& line, bool reliable = true) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const std::string rest = header.PullHeader(line);
        const std::string word = header.GetCommand();
        auto message = word == "event"            ? Zelkor::CreateEventCommand()
                       : word == "subscribeevent" ? Zelkor::CreateSubscribeEvent()
                                                  : Zelkor::CreateUnsubscribeEvent();
        std::string error;
        ASSERT_TRUE(message->FromNetworkFormat(!header.isReply, rest, error)) << error;
        message->SetIsReply(header.isReply);
        message->SetMessageForwardInfo(header);
        Zelkor::MessageSignalData data(handle, nullptr, reliable, std::move(message));
        (word == "event"              ? service->EventSignal()
         : word == "subscribeevent" ? service->SubscribeEventSignal()
                                      : service->UnsubscribeEventSignal())
            .Raise(data);
    }
    void Subscribe(void* handle, const char* name) {
        Receive(handle, name ? std::string("subscribeevent {\"path\":\"") + name + "\"}" : "subscribeevent");
    }
    // The handles sent an event request, in sending order.
    std::vector<void*> EventTargets() const {
        std::vector<void*> out;
        for (const auto& line : sender.Lines()) {
            if (line.request && line.text.find("event {") != std::string::npos) {
                out.push_back(line.handle);
            }
        }
        return out;
    }

    FakeServiceSender sender;
    std::shared_ptr<EventSubscriptionService> service = std::make_shared<EventSubscriptionService>(&sender);
    int places[3] = {};
    void* const handles[3] = {&places[0], &places[1], &places[2]};
};

TEST_F(EventSubscriptionTest, RaisedEventsReachEachSubscriberOnceUpTheNameWalk) {
    struct Row {
        std::vector<std::pair<int, const char*>> subscriptions;  // null name: all events
        const char* raised;
        std::vector<int> reached;
    };
    const std::vector<Row> rows = {
        {{{0, "/a"}}, "/a/b/c", {0}},
        {{{0, "/"}, {0, "/a"}}, "/a", {0}},
        {{{0, "/a"}, {0, "/a/b"}}, "/a/b", {0}},
        {{{0, "a"}, {1, "a/b"}, {2, "/"}}, "a/b", {1, 0}},
        {{{0, "/a/b"}, {1, "/"}}, "/a/b/", {0, 1}},
        {{{0, ""}, {1, "x"}}, "x", {1}},
        {{{0, "/"}, {1, "//x"}, {2, "/x"}}, "//x", {1, 0}},
        {{{0, nullptr}, {1, "/q"}}, "/a", {0}},
        {{{0, nullptr}, {0, "/q"}}, "/a", {}},
    };
    for (const Row& row : rows) {
        service = std::make_shared<EventSubscriptionService>(&sender);
        for (const auto& [index, name] : row.subscriptions) {
            Subscribe(handles[index], name);
        }
        const std::size_t earlier = EventTargets().size();
        service->RaiseEvent(row.raised, "v");
        std::vector<void*> expected;
        for (int index : row.reached) {
            expected.push_back(handles[index]);
        }
        const std::vector<void*> all = EventTargets();
        EXPECT_EQ(std::vector<void*>(all.begin() + static_cast<long>(earlier), all.end()), expected) << row.raised;
        const bool subscribed = std::any_of(row.subscriptions.begin(), row.subscriptions.end(), [&](const auto& s) {
            return s.second && std::string(s.second) == row.raised;
        });
        EXPECT_EQ(service->Model().HasEvent(row.raised), subscribed) << row.raised;
    }
}

TEST_F(EventSubscriptionTest, RequestsAreAnsweredOnTheirConnectionAndEventsBeforeHandlers) {
    std::size_t sentBeforeHandler = 0;
    service->AddHandler("event", [&](Zelkor::MessageSignalData&) { sentBeforeHandler = sender.Count(); });
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"subscribeevent", "@subscribeevent\n"},
        {"subscribeevent {\"path\":\"/a\"}", "@subscribeevent {\"path\":\"/a\"}\n"},
        {"subscribeevent {\"path\":\"/a\"}", "@subscribeevent {\"path\":\"/a\"}\n"},
        {"unsubscribeevent {\"path\":\"/never\"}", "@unsubscribeevent {\"path\":\"/never\"}\n"},
        {"event {\"path\":\"/e\",\"value\":\"1\"}", "@event {\"path\":\"/e\"}\n"},
    };
    for (const auto& [line, answer] : rows) {
        const std::size_t before = sender.Count();
        Receive(handles[0], line);
        ASSERT_EQ(sender.Count(), before + 1) << line;
        EXPECT_EQ(sender.Last(), answer);
        EXPECT_EQ(sender.Lines().back().handle, handles[0]);
    }
    EXPECT_EQ(sentBeforeHandler, sender.Count());
    Receive(handles[0], "@event {\"path\":\"/e\"}");
    EXPECT_EQ(sender.Count(), rows.size());
}

TEST_F(EventSubscriptionTest, EventsCarryTheFirstRouteWithoutHashInEachPayloadForm) {
    Receive(handles[0], "5-ab12 [dev][ctl] subscribeevent {\"path\":\"/a\"}");
    EXPECT_EQ(sender.Last(), "5-ab12 [ctl][dev] @subscribeevent {\"path\":\"/a\"}\n");
    Receive(handles[0], "6-ab12 [dev][other] subscribeevent {\"path\":\"/b\"}");
    Receive(handles[1], "7-ab12 [dev][all] subscribeevent");
    service->RaiseEvent("/a", "v");
    service->RaiseEvent("/a", "v");
    service->RaiseEvent("/b", std::map<std::string, std::string>{{"k", "1"}, {"j", ""}});
    service->RaiseEvent("/b/c", std::vector<std::string>{"x", "y"});
    service->RaiseEvent("/a", static_cast<const char*>(nullptr));
    std::vector<std::string> lines;
    for (const auto& line : sender.Lines()) {
        if (line.request) {
            lines.push_back(line.text);
        }
    }
    const std::vector<std::string> expected = {
        "[ctl][dev] event {\"path\":\"/a\",\"value\":\"v\"}\n",
        "[all][dev] event {\"path\":\"/a\",\"value\":\"v\"}\n",
        "[ctl][dev] event {\"path\":\"/a\",\"value\":\"v\"}\n",
        "[all][dev] event {\"path\":\"/a\",\"value\":\"v\"}\n",
        "[ctl][dev] event {\"arguments\":{\"j\":\"\",\"k\":\"1\"},\"path\":\"/b\"}\n",
        "[all][dev] event {\"arguments\":{\"j\":\"\",\"k\":\"1\"},\"path\":\"/b\"}\n",
        "[ctl][dev] event {\"arguments\":[\"x\",\"y\"],\"path\":\"/b/c\"}\n",
        "[all][dev] event {\"arguments\":[\"x\",\"y\"],\"path\":\"/b/c\"}\n",
        "[ctl][dev] event {\"path\":\"/a\"}\n",
        "[all][dev] event {\"path\":\"/a\"}\n",
    };
    EXPECT_EQ(lines, expected);
}

// Controllers behind one router share its connection: each is its own subscriber, sent
// its events by its own route, removing only its own, and dropped once the router answers
// an event for it with the word that it is gone.
TEST_F(EventSubscriptionTest, ControllersBehindOneRouterEachKeepTheirOwn) {
    void* router = handles[0];
    Receive(router, "[dev][rt&ctlA] subscribeevent {\"path\":\"/a\"}");
    Receive(router, "[dev][rt&ctlB] subscribeevent {\"path\":\"/b\"}");
    Receive(router, "[dev][rt&ctlB] subscribeevent {\"path\":\"/a/x\"}");
    const auto raised = [this] {
        const std::size_t before = sender.Count();
        service->RaiseEvent("/a/x", "1");
        service->RaiseEvent("/b", "2");
        std::vector<std::string> lines;
        for (std::size_t at = before; at < sender.Count(); ++at) {
            lines.push_back(sender.Lines()[at].text);
        }
        return lines;
    };
    // The nearest name first.
    EXPECT_EQ(raised(), (std::vector<std::string>{"[rt&ctlB][dev] event {\"path\":\"/a/x\",\"value\":\"1\"}\n",
                                                  "[rt&ctlA][dev] event {\"path\":\"/a/x\",\"value\":\"1\"}\n",
                                                  "[rt&ctlB][dev] event {\"path\":\"/b\",\"value\":\"2\"}\n"}));
    Receive(router, "[dev][rt&ctlB] unsubscribeevent");
    EXPECT_EQ(raised(), std::vector<std::string>{"[rt&ctlA][dev] event {\"path\":\"/a/x\",\"value\":\"1\"}\n"});

    Receive(router, "[dev][rt&ctlB] subscribeevent {\"path\":\"/b\"}");
    // Answers to its events change nothing here: the driver tells who is gone.
    Receive(router, "[dev][rt&ctlA] @event {\"error\":\"Message is misrouted\"}");
    Receive(router, "[dev][rt&ctlA] @event {\"error\":\"Device not found\"}");
    service->RemoveSubscriber(Zelkor::SubscriberKey(router, {"rt", "ctlA"}));
    EXPECT_EQ(raised(), std::vector<std::string>{"[rt&ctlB][dev] event {\"path\":\"/b\",\"value\":\"2\"}\n"});
    service->RemoveSubscriber(Zelkor::SubscriberKey(router, {"rt", "ctlB"}));
    EXPECT_FALSE(service->Model().HasRecord(router));
    EXPECT_FALSE(service->Model().HasEvent("/a"));
}

TEST_F(EventSubscriptionTest, NamesGoWithTheirLastSubscriberUnlessAddedByTheApplication) {
    service->AddEvent("/kept");
    Subscribe(handles[0], "/a");
    Subscribe(handles[1], "/a");
    Subscribe(handles[0], "/kept");
    Subscribe(handles[0], "/b");
    Receive(handles[0], "unsubscribeevent {\"path\":\"/a\"}");
    EXPECT_TRUE(service->Model().HasEvent("/a"));
    sender.Close(handles[1]);
    EXPECT_FALSE(service->Model().HasEvent("/a"));
    Receive(handles[0], "unsubscribeevent");
    EXPECT_FALSE(service->Model().HasEvent("/b"));
    EXPECT_FALSE(service->Model().HasRecord(handles[0]));
    EXPECT_EQ(service->Model().EventCount(), 1u);
    service->RaiseEvent("/a", "v");
    service->RaiseEvent("/kept", "v");
    EXPECT_TRUE(EventTargets().empty());
}

TEST_F(EventSubscriptionTest, RefusedSubscriptionsHoldNothing) {
    const LogCapture log;
    ZelkorLog::TheLog().SetLevel(5);
    Zelkor::SetMaxSubscriptionsPerConnection(2);
    Subscribe(handles[0], "/a");
    Subscribe(handles[0], "/b");
    Subscribe(handles[0], "/c");
    EXPECT_EQ(sender.Last(), "@subscribeevent {\"error\":\"SubscribeEvent failed.\",\"path\":\"/c\"}\n");
    Subscribe(handles[0], "/a");
    EXPECT_EQ(sender.Last(), "@subscribeevent {\"path\":\"/a\"}\n");
    Zelkor::SetMaxSubscriptionsPerConnection(Zelkor::kDefaultMaxSubscriptionsPerConnection);

    const std::size_t before = sender.Count();
    Receive(handles[1], "subscribeevent {\"path\":\"/c\"}", false);
    Receive(handles[1], "subscribeevent", false);
    EXPECT_EQ(sender.Count(), before);
    EXPECT_FALSE(service->Model().HasRecord(handles[1]));
    service->RaiseEvent("/c", "v");
    service->RaiseEvent(nullptr, "v");
    service->RaiseEvent("", "v");
    EXPECT_EQ(sender.Count(), before);
    EXPECT_FALSE(service->Model().HasEvent("/c"));
    EXPECT_EQ(log.Count("ZK6590I"), 2u);
    EXPECT_EQ(log.Count("ZK6592W"), 2u);

    // A refused name leaves the connection's all-events subscription standing.
    Zelkor::SetMaxSubscriptionsPerConnection(2);
    Receive(handles[0], "subscribeevent");
    Subscribe(handles[0], "/d");
    EXPECT_EQ(sender.Last(), "@subscribeevent {\"error\":\"SubscribeEvent failed.\",\"path\":\"/d\"}\n");
    const std::size_t sent = sender.Count();
    service->RaiseEvent("/elsewhere", "v");
    EXPECT_EQ(sender.Count(), sent + 1);
    Zelkor::SetMaxSubscriptionsPerConnection(Zelkor::kDefaultMaxSubscriptionsPerConnection);
}

TEST_F(EventSubscriptionTest, ApplicationCallsWaitForTheLoop) {
    std::vector<std::function<void()>> loop;
    service = std::make_shared<EventSubscriptionService>(&sender, [&](auto job) { loop.push_back(std::move(job)); });
    Subscribe(handles[0], "/a");
    service->AddEvent("/n");
    service->RaiseEvent("/a", "v");
    Zelkor::MessageForwardInfo header;
    service->ReplyEvent(handles[0], "/a", header, "ok");
    EXPECT_EQ(sender.Count(), 1u);
    EXPECT_FALSE(service->Model().HasEvent("/n"));
    for (auto& job : loop) {
        job();
    }
    EXPECT_TRUE(service->Model().HasEvent("/n"));
    EXPECT_EQ(sender.Count(), 3u);
    EXPECT_EQ(sender.Last(), "@event {\"path\":\"/a\",\"value\":\"ok\"}\n");
}

}  // namespace
}  // namespace ZelkorTest
