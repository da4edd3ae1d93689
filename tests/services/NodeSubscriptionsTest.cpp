// Node processes subscribing to each other through the runner: a device node serving the
// sample tree and controller nodes, over plain connections and over TLS with the code
// proven. Value subscriptions publish what the device writes and what another controller
// sets, attribute writes of a dynamic parameter included, until unsubscribed; polled
// subscriptions read their targets when asked; log rows reach the subscribers their
// priority admits, and a replay only the subscriber that asked for it; events reach the
// callback of their own form and all-events subscribers. Each wait is bounded by a
// deadline; "nothing came" is told by a later round trip on the same connection.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

using ::testing::Contains;
using ::testing::Not;

// A device node and a controller node in a namespace of their own when the test may make
// one; a second controller when a test asks for it.
struct SubscriptionsTest : ::testing::TestWithParam<bool> {
    bool Tls() const { return GetParam(); }

    bool Connect() {
        return !Device().AwaitEvent("listenerAdded").isNull() && ConnectTo(Controller(), "127.0.0.1", 4197, kAmp, Tls());
    }

    bool ConnectSecond() {
        second = std::make_unique<Node>(ControllerOptions(Tls(), "ctl2", 4199), place);
        return ConnectTo(Second(), "127.0.0.1", 4197, kAmp, Tls());
    }

    // A command to the device node, answered by the line named after it.
    Json::Value Tell(const std::string& command, const std::string& event) {
        return Device().Send(command) ? Device().AwaitEvent(event) : Json::Value();
    }

    NodeProcess& Device() { return device.process; }
    NodeProcess& Controller() { return controller.process; }
    NodeProcess& Second() { return second->process; }

    NetNamespace space{"subs"};
    std::string place = space.Made() ? space.Name() : "";
    Node device{SampleDeviceOptions(Tls()), place};
    Node controller{ControllerOptions(Tls(), "ctl1", 4198), place};
    std::unique_ptr<Node> second;
};

// Commands with bad arguments, or for a device the node does not list, are error lines.
// Three paths subscribed, one missing: the reply tells each, the dynamic parameter with its
// attributes. The device's writes and a second controller's "set" publish; so does a
// write of the dynamic parameter's attribute, while a parameter no one subscribed to
// publishes nothing. After the unsubscribe reply nothing is published before the reply
// to a later request, and the second controller, never subscribed, got no publish.
TEST_P(SubscriptionsTest, ValuesArePublishedFromEveryWriterUntilUnsubscribed) {
    ASSERT_TRUE(Connect());
    const std::string unknown = "6f9619ff-8b86-d011-b42d-00cf4fc964ff";
    const std::vector<std::pair<std::string, std::string>> refused{
        {DeviceCommand("subscribe", kAmp), "bad arguments for subscribe"},
        {DeviceCommand("subscribe", kAmp, R"("values":7)"), "bad arguments for subscribe"},
        {DeviceCommand("unsubscribe", unknown), "no device " + unknown + " for unsubscribe"},
        {DeviceCommand("subscribepoll", kAmp, R"("name":"p","paths":"/audio/gain")"), "bad arguments for subscribepoll"},
        {DeviceCommand("poll", kAmp), "bad arguments for poll"},
        {DeviceCommand("sublog", kAmp, R"("mark":"-1")"), "bad arguments for sublog"},
        {DeviceCommand("logrow", kAmp, R"("priority":-1)"), "bad arguments for logrow"},
        {DeviceCommand("subscribeevent", kAmp, R"("name":3)"), "bad arguments for subscribeevent"},
        {DeviceCommand("listpublishers", "not-a-guid"), R"(bad arguments for listpublishers: "guid": expected a GUID)"},
        {NodeCommand("raise", R"("value":"x")"), "bad arguments for raise"},
        {NodeCommand("raise", R"("name":"/a","value":5)"), "bad arguments for raise"},
        {NodeCommand("addevent"), "bad arguments for addevent"},
        {NodeCommand("write", R"("path":"/audio/gain")"), "bad arguments for write"},
        {NodeCommand("logevent", R"("seqno":4)"), "bad arguments for logevent"},
    };
    for (const auto& [command, message] : refused) {
        ASSERT_TRUE(Controller().Send(command));
        EXPECT_EQ(Controller().AwaitEvent("error")["message"], message) << command;
    }

    const Json::Value subscribed = Ask(Controller(),
                                       DeviceCommand("subscribe", kAmp,
                                                     R"("values":[{"path":"/audio/gain"},{"path":"/audio/crossover"},)"
                                                     R"({"path":"/audio/nothing"}])"),
                                       "subscribe");
    EXPECT_EQ(ValueEntries(subscribed["values"]),
              "/audio/crossover=80 /audio/crossover/.dynamic=true /audio/crossover/.kind=\"param\" "
              "/audio/crossover/.max=20000 /audio/crossover/.min=20 /audio/crossover/.type=\"float\" "
              "/audio/crossover/.value=80 /audio/gain=0 /audio/nothing!Invalid Path");

    EXPECT_EQ(Tell(Write("/audio/gain", "-3"), "write")["error"], "");
    EXPECT_EQ(ValueEntries(Controller().Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-3");
    ASSERT_TRUE(ConnectSecond());
    ASSERT_TRUE(Second().Send(
        DeviceCommand("set", kAmp, R"("tag":"from two","values":[{"path":"/audio/gain","value":-6}])")));
    EXPECT_EQ(ValueEntries(Controller().Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-6");
    EXPECT_EQ(ValueEntries(Second().Await(LineWith("set", "tag", "from two"))["values"]), "/audio/gain=-6");
    EXPECT_EQ(Tell(Write("/audio/level", "-10"), "write")["error"], "");
    EXPECT_EQ(Tell(Write("/audio/crossover/.max", "15000"), "write")["error"], "");
    EXPECT_EQ(ValueEntries(Controller().Await(LineAbout("publish", kAmp))["values"]), "/audio/crossover=80");

    const Json::Value unsubscribed = Ask(
        Controller(), DeviceCommand("unsubscribe", kAmp, R"("values":[{"path":"/audio/gain"},{"path":"/audio/crossover"}])"),
        "unsubscribe");
    EXPECT_EQ(unsubscribed["values"].size(), 2u);
    const std::size_t from = Controller().Lines().size();
    EXPECT_EQ(Tell(Write("/audio/gain", "-1"), "write")["error"], "");
    EXPECT_EQ(Tell(Write("/audio/crossover/.min", "30"), "write")["error"], "");
    EXPECT_THAT(EventsUntilRoundTrip(Controller(), kAmp, from, "after"), Not(Contains("publish")));

    StopCleanly(Second());
    StopCleanly(Controller());
    StopCleanly(Device());
    for (const auto& line : Second().Lines()) {
        EXPECT_EQ(line.find(R"("event":"publish")"), std::string::npos) << line;
    }
}

// A polled subscription keeps the targets that can be read (a missing and a write-only
// path are dropped, a dynamic attribute kept); one of a write-only path alone is refused.
// A poll reads the targets anew, without any publish; a repeated subscription replaces
// the targets; the second cancellation finds none, and a poll of the cancelled name is
// answered without name or targets.
TEST_P(SubscriptionsTest, PolledTargetsAreReadWhenAsked) {
    ASSERT_TRUE(Connect());
    const Json::Value made = Ask(Controller(),
                                 DeviceCommand("subscribepoll", kAmp,
                                               R"("name":"p1","paths":["/audio/gain","/audio/mute","/audio/nothing",)"
                                               R"("/configuration/device/authenticate","/audio/crossover/.max"])"),
                                 "subscribepoll");
    EXPECT_EQ(made["name"], "p1");
    EXPECT_EQ(made["success"], true);
    EXPECT_EQ(ValueEntries(made["targets"]), "/audio/gain=0 /audio/mute=false /audio/crossover/.max=20000");
    const Json::Value refused =
        Ask(Controller(),
            DeviceCommand("subscribepoll", kAmp, R"("name":"p2","paths":["/configuration/device/authenticate"])"),
            "subscribepoll");
    EXPECT_EQ(refused["success"], false);
    EXPECT_EQ(refused["error"], "No subscribable targets");
    EXPECT_TRUE(refused["targets"].isNull());

    EXPECT_EQ(Tell(Write("/audio/gain", "-3"), "write")["error"], "");
    const Json::Value polled = Ask(Controller(), DeviceCommand("poll", kAmp, R"("name":"p1")"), "poll");
    EXPECT_EQ(polled["name"], "p1");
    EXPECT_EQ(CompactJson(polled["targets"]), "[-3,false,20000]");
    Ask(Controller(), DeviceCommand("subscribepoll", kAmp, R"("name":"p1","paths":["/audio/label"],"format":"string")"),
        "subscribepoll");
    EXPECT_EQ(CompactJson(Ask(Controller(), DeviceCommand("poll", kAmp, R"("name":"p1")"), "poll")["targets"]),
              R"(["Main"])");

    const Json::Value cancelled =
        Ask(Controller(), DeviceCommand("unsubscribepoll", kAmp, R"("name":"p1")"), "unsubscribepoll");
    EXPECT_EQ(cancelled["success"], true);
    const Json::Value again = Ask(Controller(), DeviceCommand("unsubscribepoll", kAmp, R"("name":"p1")"), "unsubscribepoll");
    EXPECT_EQ(again["success"], false);
    EXPECT_EQ(again["error"], "No polled subscription found");
    const Json::Value gone = Ask(Controller(), DeviceCommand("poll", kAmp, R"("name":"p1")"), "poll");
    EXPECT_TRUE(gone["name"].isNull());
    EXPECT_TRUE(gone["targets"].isNull());

    StopCleanly(Controller());
    StopCleanly(Device());
    for (const auto& line : Controller().Lines()) {
        EXPECT_EQ(line.find(R"("event":"publish")"), std::string::npos) << line;
    }
}

std::string LogEvent(unsigned priority, const std::string& text) {
    return NodeCommand("logevent", R"("priority":)" + std::to_string(priority) + R"(,"category":"audio","text":")" +
                                       text + "\"");
}

std::string Row(const Json::Value& line) {
    return line["seqno"].asString() + ":" + line["priority"].asString() + ":" + line["category"].asString() + ":" +
           line["text"].asString();
}

// Priority 5 is refused and keeps nothing; a subscriber at priority 1 gets the device's
// rows of 1 and above as they are logged. A row a second controller adds is stored, not
// sent on; that controller's replay of the last three rows reaches it alone. After
// "unsublog" the first controller gets no more rows, the second still does.
TEST_P(SubscriptionsTest, LogRowsReachTheirSubscribersAndAReplayOnlyItsAsker) {
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Ask(Controller(), DeviceCommand("sublog", kAmp, R"("priority":5)"), "sublog")["error"],
              "Invalid priority");
    EXPECT_EQ(Ask(Controller(), DeviceCommand("sublog", kAmp, R"("mark":0,"priority":1)"), "sublog")["error"], "");
    const Json::Value logged = Tell(LogEvent(2, "clip"), "logevent");
    EXPECT_EQ(logged["seqno"], 1);
    EXPECT_EQ(logged["stored"], true);
    EXPECT_EQ(Row(Controller().Await(LineAbout("log", kAmp))), "1:2:audio:clip");
    const std::size_t from = Controller().Lines().size();
    EXPECT_EQ(Tell(LogEvent(0, "quiet"), "logevent")["seqno"], 2);

    ASSERT_TRUE(ConnectSecond());
    ASSERT_TRUE(Second().Send(DeviceCommand("logrow", kAmp, R"("priority":3,"category":"ctl","text":"from two")")));
    ASSERT_FALSE(Second().Await(LineWith("request", "cmd", "logrow")).isNull());
    EXPECT_EQ(Ask(Second(), DeviceCommand("sublog", kAmp, R"("mark":-3)"), "sublog")["error"], "");
    std::vector<std::string> replayed;
    for (int row = 0; row < 3; ++row) {
        replayed.push_back(Row(Second().Await(LineAbout("log", kAmp))));
    }
    EXPECT_THAT(replayed, ::testing::ElementsAre("1:2:audio:clip", "2:0:audio:quiet", "3:3:ctl:from two"));
    EXPECT_THAT(EventsUntilRoundTrip(Controller(), kAmp, from, "after replay"), Not(Contains("log")));

    EXPECT_EQ(Ask(Controller(), DeviceCommand("unsublog", kAmp), "unsublog")["error"], "");
    const std::size_t later = Controller().Lines().size();
    EXPECT_EQ(Tell(LogEvent(4, "loud"), "logevent")["seqno"], 4);
    EXPECT_EQ(Row(Second().Await(LineAbout("log", kAmp))), "4:4:audio:loud");
    EXPECT_THAT(EventsUntilRoundTrip(Controller(), kAmp, later, "after unsublog"), Not(Contains("log")));

    StopCleanly(Second());
    StopCleanly(Controller());
    StopCleanly(Device());
}

// A subscriber of "/a" gets the events of "/a" and below, each at the callback of its
// own form, and not "/b"; an all-events subscriber gets every one. Once "/a" is
// cancelled the first gets nothing more, the other still does. A name registered with
// "addevent" is answered.
TEST_P(SubscriptionsTest, EventsReachTheCallbackOfTheirFormAndAllEventSubscribers) {
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Ask(Controller(), DeviceCommand("subscribeevent", kAmp, R"("name":"/a")"), "subscribeevent")["name"], "/a");
    ASSERT_TRUE(ConnectSecond());
    EXPECT_EQ(Ask(Second(), DeviceCommand("subscribeevent", kAmp), "subscribeevent")["name"], "");

    const std::vector<std::pair<std::string, std::string>> raised{
        {R"("name":"/a/b","value":"v1")", "value"},
        {R"("name":"/a","value":{"gain":"-6","count":3})", "map"},
        {R"("name":"/a/c","value":["x",1])", "list"},
        {R"("name":"/b","value":"other")", "value"},
    };
    const std::size_t from = Controller().Lines().size();
    for (const auto& [members, form] : raised) {
        EXPECT_EQ(Tell(NodeCommand("raise", members), "raise")["form"], form);
    }
    const std::vector<std::string> expected{R"(/a/b value "v1")", R"(/a map {"count":"3","gain":"-6"})",
                                            R"(/a/c list ["x","1"])", R"(/b value "other")"};
    const auto text = [](const Json::Value& line) {
        return line["name"].asString() + " " + line["form"].asString() + " " +
               CompactJson(line.isMember("value") ? line["value"] : line["values"]);
    };
    for (const auto& event : expected) {
        EXPECT_EQ(text(Second().Await(LineAbout("event", kAmp))), event);
    }
    for (std::size_t index = 0; index < 3; ++index) {
        EXPECT_EQ(text(Controller().Await(LineAbout("event", kAmp))), expected[index]);
    }
    const auto seen = EventsUntilRoundTrip(Controller(), kAmp, from, "after raise");
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "event"), 3);

    EXPECT_EQ(Ask(Controller(), DeviceCommand("unsubscribeevent", kAmp, R"("name":"/a")"), "unsubscribeevent")["name"],
              "/a");
    const std::size_t later = Controller().Lines().size();
    Tell(NodeCommand("raise", R"("name":"/a/b","value":"v2")"), "raise");
    EXPECT_EQ(text(Second().Await(LineAbout("event", kAmp))), R"(/a/b value "v2")");
    EXPECT_THAT(EventsUntilRoundTrip(Controller(), kAmp, later, "after unsubscribe"), Not(Contains("event")));
    EXPECT_EQ(Tell(NodeCommand("addevent", R"("name":"/z")"), "addevent")["name"], "/z");

    StopCleanly(Second());
    StopCleanly(Controller());
    StopCleanly(Device());
}

// The publishers list of the device: each subscribed path with its formats, answered on
// the connection the request took.
TEST_P(SubscriptionsTest, PublishersListNamesEverySubscribedPathWithItsFormats) {
    ASSERT_TRUE(Connect());
    Ask(Controller(),
        DeviceCommand("subscribe", kAmp,
                      R"("values":[{"path":"/audio/gain","format":"number"},{"path":"/audio/gain","format":"string"},)"
                      R"({"path":"/audio/label"}])"),
        "subscribe");
    ASSERT_TRUE(Controller().Send(DeviceCommand("listpublishers", kAmp)));
    EXPECT_EQ(Controller().Await(LineWith("request", "cmd", "listpublishers"))["sent"], true);
    const Json::Value list = Controller().AwaitEvent("listpublishers");
    EXPECT_EQ(CompactJson(list["publishers"]), R"({"/audio/gain":["number","string"],"/audio/label":["variant"]})");
    EXPECT_EQ(list["source"], "");
    EXPECT_FALSE(list.isMember("error"));

    StopCleanly(Controller());
    StopCleanly(Device());
}

// A history longer than a replay keeps waiting at a time goes on as the controller
// answers its rows, and arrives whole and in order.
TEST(NodeLogReplay, AHistoryLongerThanOneWindowArrivesWhole) {
    constexpr int kRows = 1500;
    TempDir folder;
    std::string log;
    for (int seqno = 1; seqno <= kRows; ++seqno) {
        log += R"({"category":"c","event":")" + std::string(100, 'e') + R"(","priority":1,"seqno":)" +
               std::to_string(seqno) + R"(,"time":1})" + "\n";
    }
    WriteFile(folder.File("event.log"), log);
    NetNamespace space{"replay"};
    const std::string place = space.Made() ? space.Name() : "";
    NodeProcess device(SampleDeviceOptions(false), place, folder.Path().string());
    Node controller{ControllerOptions(false, "ctl1", 4198), place};
    ASSERT_FALSE(device.AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(ConnectTo(controller.process, "127.0.0.1", 4197, kAmp, false));
    ASSERT_TRUE(controller.process.Send(DeviceCommand("sublog", kAmp, R"("mark":1)")));
    for (int seqno = 1; seqno <= kRows; ++seqno) {
        ASSERT_EQ(controller.process.Await(LineAbout("log", kAmp))["seqno"].asString(), std::to_string(seqno));
    }
    StopCleanly(controller.process);
    StopCleanly(device);
}

INSTANTIATE_TEST_SUITE_P(NodeSubscriptions, SubscriptionsTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

// A raw peer the controller connects to, in the namespace when there is one: it accepts
// one connection and writes lines to it.
class RawDevice {
public:
    explicit RawDevice(const NetNamespace& space) {
        const auto open = [this] {
            _acceptor.open(boost::asio::ip::tcp::v4());
            _acceptor.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
            _acceptor.listen();
        };
        if (!space.Made() || !space.Run(open)) {
            open();
        }
    }

    unsigned short Port() const { return _acceptor.local_endpoint().port(); }

    bool Accept() {
        bool accepted = false;
        _acceptor.async_accept(_socket, [&](const boost::system::error_code& error) { accepted = !error; });
        _io.run_for(std::chrono::seconds(10));
        return accepted;
    }

    void Send(const std::string& line) {
        boost::system::error_code error;
        boost::asio::write(_socket, boost::asio::buffer(line + "\n"), error);
    }

private:
    boost::asio::io_context _io;
    boost::asio::ip::tcp::acceptor _acceptor{_io};
    boost::asio::ip::tcp::socket _socket{_io};
};

// Event replies and events that a device sends on the controller's connection reach the
// callbacks registered when it became Connected, the reply the result callback.
TEST(NodeSubscriptionsRaw, EventRepliesReachTheResultCallback) {
    NetNamespace space{"subsraw"};
    RawDevice peer(space);
    Node controller{ControllerOptions(false, "ctl1", 4198), space.Made() ? space.Name() : ""};
    ASSERT_FALSE(controller.process.AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(controller.process.Send(ConnectCommand("127.0.0.1", peer.Port())));
    ASSERT_TRUE(peer.Accept());
    ASSERT_FALSE(controller.process.Await(LineWith("device", "state", "Connected")).isNull());
    peer.Send(R"(@event {"path":"/a/b"})");
    peer.Send(R"(event {"arguments":["x"],"path":"/a/c"})");
    EXPECT_EQ(controller.process.Await(LineAbout("eventResult", ""))["name"], "/a/b");
    const Json::Value event = controller.process.Await(LineAbout("event", ""));
    EXPECT_EQ(event["form"], "list");
    EXPECT_EQ(CompactJson(event["values"]), R"(["x"])");
    StopCleanly(controller.process);
}

}  // namespace
}  // namespace ZelkorTest
