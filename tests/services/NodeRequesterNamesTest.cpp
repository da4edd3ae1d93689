// A controller's name behind a router, and what a device keeps for it, belong to the
// controller's connection. Node processes over a veth pair (root only, else skipped): the
// devices and the router in namespace a, the controllers in namespace b. A controller
// killed and started again under its name is sent nothing its earlier self subscribed to;
// one whose notices the router refuses for a while is told so when it subscribes, and is
// served once the while is over; a controller waiting for a frozen device keeps its name
// from a stranger that claims it all along. Every wait has a deadline.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::Not;

constexpr const char* kSecondAmp = "7b2e5c14-3d6f-4a8e-9b10-c4d5e6f7a8b9";

std::string Subscribe(const std::string& path) {
    return DeviceCommand("subscribe", kAmp, R"("values":[{"path":")" + path + R"("}])");
}

// `scale`: the timer scale of the router and the controllers.
struct Topology {
    explicit Topology(bool tls, std::vector<std::string> routes = {"127.0.0.1,4197"}, const char* scale = kScale)
        : tls(tls), scale(scale) {
        if (!pair.Missing().empty()) {
            return;
        }
        device = std::make_unique<Node>(SampleDeviceOptions(tls), pair.a.Name());
        std::vector<std::string> options{"--listen", std::string(VethPair::AddressA) + ":4197"};
        for (const auto& route : routes) {
            options.insert(options.end(), {"--route", route});
        }
        router = std::make_unique<Node>(Options("router", "rt1", WithTls(tls, options), scale), pair.a.Name());
    }

    std::unique_ptr<Node> Controller(const std::string& name = "ctl1") {
        return RoutedController(pair, name, 4197, WithTls(tls, {}), scale);
    }

    // Kills the controller and waits for the router to see its connection end.
    void Kill(std::unique_ptr<Node>& controller) {
        router->process.Await([](const Json::Value&) { return false; }, 100ms);
        EXPECT_TRUE(controller->process.Signal(SIGKILL));
        EXPECT_EQ(controller->process.Wait(), 128 + SIGKILL);
        controller.reset();
        EXPECT_FALSE(router->process
                         .Await([](const Json::Value& line) {
                             return line["event"] == "connection" && line["connected"] == false &&
                                    line["outgoing"] == false;
                         })
                         .isNull());
    }

    bool tls;
    const char* scale;
    VethPair pair;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
};

// A peer of the test's at another address of namespace b, claiming "ctl1" for a get to
// "amp1" through "rt1".
class Stranger {
public:
    explicit Stranger(const VethPair& pair) {
        _ready = pair.b.Ip("addr add 10.77.0.5/24 dev " + pair.b1) && pair.b.Run([&] {
            _peer.Socket().open(boost::asio::ip::tcp::v4());
            _peer.Socket().bind({boost::asio::ip::make_address("10.77.0.5"), 0});
        }) && _peer.Connect({boost::asio::ip::make_address(VethPair::AddressA), 4197});
    }
    bool Ready() const { return _ready; }
    // One claim; true when it was refused as the name of another connection.
    bool ClaimRefused() {
        _peer.Send("[rt1&amp1][ctl1] get {\"path\":\"/audio/gain\"}\n");
        const std::string reply = _peer.ReadLine();
        EXPECT_EQ(reply, "[ctl1][rt1&amp1] @get {\"error\":\"Source name in use\"}\n");
        return reply.find("Source name in use") != std::string::npos;
    }

private:
    RawPeer _peer;
    bool _ready = false;
};

class NodeRestartedSubscriber : public ::testing::TestWithParam<bool> {};

// Before, the device kept the first controller's subscription under its name behind the
// router, and published its path to the controller started next, which never asked.
TEST_P(NodeRestartedSubscriber, IsSentNothingItsEarlierSelfSubscribedTo) {
    Topology net(GetParam());
    if (!net.pair.Missing().empty()) {
        GTEST_SKIP() << net.pair.Missing();
    }
    auto controller = net.Controller();
    for (const auto pause : {1s, 5s}) {
        SCOPED_TRACE(std::to_string(pause.count()) + " s");
        NodeProcess& before = controller->process;
        EXPECT_EQ(ValueEntries(Ask(before, Subscribe("/audio/gain"), "subscribe")["values"]), "/audio/gain=0");
        EXPECT_EQ(Ask(before, DeviceCommand("sublog", kAmp, R"("priority":0)"), "sublog")["error"], "");
        EXPECT_EQ(Ask(before, DeviceCommand("subscribeevent", kAmp, R"("name":"/a")"), "subscribeevent")["name"], "/a");
        net.Kill(controller);
        std::this_thread::sleep_for(pause);

        controller = net.Controller();
        NodeProcess& after = controller->process;
        EXPECT_EQ(ValueEntries(Ask(after, Subscribe("/audio/mute"), "subscribe")["values"]), "/audio/mute=false");
        const std::size_t from = after.Lines().size();
        for (const auto& [command, event] : {std::pair{Write("/audio/gain", "-3"), "write"},
                                             {Write("/audio/mute", "true"), "write"},
                                             {NodeCommand("logevent", R"("priority":2,"category":"a","text":"t")"),
                                              "logevent"},
                                             {NodeCommand("raise", R"("name":"/a/x","value":"v")"), "raise"},
                                             {Write("/audio/gain", "0"), "write"},
                                             {Write("/audio/mute", "false"), "write"}}) {
            EXPECT_TRUE(net.device->process.Send(command));
            EXPECT_FALSE(net.device->process.AwaitEvent(event).isNull());
        }
        EXPECT_EQ(ValueEntries(after.Await(LineAbout("publish", kAmp))["values"]), "/audio/mute=true");
        EXPECT_EQ(ValueEntries(after.Await(LineAbout("publish", kAmp))["values"]), "/audio/mute=false");
        const auto seen = EventsUntilRoundTrip(after, kAmp, from, "after");
        EXPECT_THAT(seen, Not(Contains("log")));
        EXPECT_THAT(seen, Not(Contains("event")));
        for (const auto& text : after.Lines()) {
            EXPECT_EQ(text.find("/audio/gain\",\"value\":-3"), std::string::npos) << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Security, NodeRestartedSubscriber, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TlsWithCode" : "Plain"; });

// A controller frozen with a publish in flight, then killed, leaves its name's notices
// refused for a while. Before, its restarted self subscribed as if nothing stood in the way,
// and the first publish's refusal ended the subscription at the device for good.
TEST(NodeRestartedSubscriber, IsToldItsSubscriptionsAreRefusedWhileItsNoticesAreAndIsServedAfter) {
    Topology net(false);
    if (!net.pair.Missing().empty()) {
        GTEST_SKIP() << net.pair.Missing();
    }
    auto controller = net.Controller();
    EXPECT_EQ(ValueEntries(Ask(controller->process, Subscribe("/audio/gain"), "subscribe")["values"]), "/audio/gain=0");
    ASSERT_TRUE(controller->process.Signal(SIGSTOP));
    EXPECT_TRUE(net.device->process.Send(Write("/audio/gain", "-3")));
    std::this_thread::sleep_for(2s);
    net.Kill(controller);

    controller = net.Controller();
    NodeProcess& after = controller->process;
    EXPECT_EQ(ValueEntries(Ask(after, Subscribe("/audio/gain"), "subscribe")["values"]),
              "!Requester's notices refused for a time");
    EXPECT_EQ(Ask(after, DeviceCommand("sublog", kAmp, R"("priority":0)"), "sublog")["error"],
              "Requester's notices refused for a time");
    // Asked again until the while is over.
    const auto until = std::chrono::steady_clock::now() + 60s;
    std::string entries;
    while (entries != "/audio/gain=-3" && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(1s);
        entries = ValueEntries(Ask(after, Subscribe("/audio/gain"), "subscribe")["values"]);
    }
    ASSERT_EQ(entries, "/audio/gain=-3");
    EXPECT_TRUE(net.device->process.Send(Write("/audio/gain", "-6")));
    EXPECT_EQ(ValueEntries(after.Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-6");
}

// A stranger at another address claims the controller's name all along. While the
// controller waits on a frozen device, and says nothing, its name stays its own. Before,
// the router took a quiet connection for a gone one and handed the name over: the
// stranger was answered as the controller and sent its publishes. The router and the
// controller keep their bounds as they run them: the router answers for the frozen device
// after its silence bound, longer than the quiet a name is held through.
TEST(NodeRequesterNames, AStrangerNeverTakesTheNameOfAControllerWaitingForAnAnswer) {
    Topology net(false, {"127.0.0.1,4197", "127.0.0.1,4198"}, "1");
    if (!net.pair.Missing().empty()) {
        GTEST_SKIP() << net.pair.Missing();
    }
    Node frozen(SampleDeviceOptions(false, "amp2", kSecondAmp, "127.0.0.1:4198"), net.pair.a.Name());
    auto controller = net.Controller();
    NodeProcess& ctl = controller->process;
    ASSERT_TRUE(Listed(ctl, "amp2"));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4198)));
    ASSERT_EQ(ctl.Await(DeviceLine("amp2", "Connected"), 30s)["proxy"], "rt1");
    EXPECT_EQ(ValueEntries(Ask(ctl, Subscribe("/audio/gain"), "subscribe")["values"]), "/audio/gain=0");

    Stranger stranger(net.pair);
    ASSERT_TRUE(stranger.Ready());
    const auto claimRefused = [&stranger] { return stranger.ClaimRefused(); };
    ASSERT_TRUE(claimRefused());

    ASSERT_TRUE(frozen.process.Signal(SIGSTOP));
    EXPECT_TRUE(ctl.Send(DeviceCommand("get", kSecondAmp, R"("tag":"held","values":[{"path":"/audio/gain"}])")));
    // Claimed all the while the controller waits, until the router answers for the
    // frozen device.
    const auto until = std::chrono::steady_clock::now() + 90s;
    Json::Value held;
    while (held.isNull() && std::chrono::steady_clock::now() < until && claimRefused()) {
        held = ctl.Await(LineWith("get", "tag", "held"), 200ms);
    }
    EXPECT_EQ(ValueEntries(held["values"]), "/audio/gain!connection lost");
    EXPECT_TRUE(claimRefused());
    EXPECT_TRUE(net.device->process.Send(Write("/audio/gain", "-3")));
    EXPECT_EQ(ValueEntries(ctl.Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-3");
    EXPECT_TRUE(claimRefused());
    ASSERT_TRUE(frozen.process.Signal(SIGCONT));
}

// A stranger at another address that claims the name of a controller the moment its
// connection ends does not get it: the controller restarted on its host takes it back.
// Before, the stranger took the name at once and kept it by talking, and the restarted
// controller was refused "Source name in use" for good.
TEST(NodeRequesterNames, AStrangerCannotTakeTheNameOfAControllerBetweenItsConnections) {
    Topology net(false);
    if (!net.pair.Missing().empty()) {
        GTEST_SKIP() << net.pair.Missing();
    }
    auto controller = net.Controller();
    EXPECT_EQ(ValueEntries(Ask(controller->process, Subscribe("/audio/gain"), "subscribe")["values"]),
              "/audio/gain=0");
    Stranger stranger(net.pair);
    ASSERT_TRUE(stranger.Ready());
    net.Kill(controller);
    EXPECT_TRUE(stranger.ClaimRefused());
    controller = net.Controller();
    EXPECT_EQ(ValueEntries(Ask(controller->process, Subscribe("/audio/gain"), "subscribe")["values"]),
              "/audio/gain=0");
    EXPECT_TRUE(stranger.ClaimRefused());
}

}  // namespace
}  // namespace ZelkorTest
