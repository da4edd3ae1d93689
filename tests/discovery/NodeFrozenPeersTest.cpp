// Peers frozen (SIGSTOP) while a node awaits their reply, between node processes over a
// veth pair (root only, else skipped), their timers twenty times faster: the device and
// the router serve addresses of namespace a, the controller sits in namespace b. A peer
// silent for three keep-alive intervals while its reply is awaited (at the runners' scale
// the floor of such bounds, 10 s) is taken as lost: its connection closes, what waits on
// it is answered, the devices reached over it go Disconnected, and once it wakes it is
// connected again. A request the router passes on waits twice that: a frozen device
// behind the router is lost to the router alone, which answers the request, and the
// controller's connection to the router, which every device behind it shares, stays.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDeviceListen = "10.77.0.1:4198";
// Well past the silence bound at the runners' scale, with room for a loaded machine.
constexpr auto kNoticed = 45s;

class FrozenPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        device = std::make_unique<Node>(SampleDeviceOptions(false, "amp1", kAmp, kDeviceListen), pair.a.Name());
        ASSERT_FALSE(device->process.Await(LineWith("listenerAdded", "port", 4198)).isNull());
    }

    // Sends a tagged get of the device's gain; its tag.
    std::string Ask(NodeProcess& node) {
        const std::string tag = "g" + std::to_string(++gets);
        EXPECT_TRUE(node.Send(DeviceCommand("get", kAmp, R"("tag":")" + tag + R"(","values":[{"path":"/audio/gain"}])")));
        return tag;
    }
    // The answer of the get of `tag`, or the refusal of a device no longer listed, once
    // written within `deadline`; null when neither came.
    static Json::Value Answer(NodeProcess& node, const std::string& tag, std::chrono::milliseconds deadline) {
        const auto answers = [&tag](const Json::Value& line) {
            return (line["event"] == "get" && line["tag"] == tag) ||
                   (line["event"] == "error" && line["message"].asString().rfind("no device ", 0) == 0);
        };
        return node.Await(answers, deadline);
    }
    static bool Served(const Json::Value& get) {
        return get["event"] == "get" && ValueEntries(get["values"]) == "/audio/gain=0";
    }
    // Gets one after the other until one is served with the value; false at the deadline.
    bool ServedWithin(NodeProcess& node, std::chrono::milliseconds deadline) {
        const auto until = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < until) {
            const std::string tag = Ask(node);
            const Json::Value answer = Answer(node, tag, 30s);
            if (answer.isNull()) {
                ADD_FAILURE() << tag << " was not answered";
                return false;
            }
            if (Served(answer)) {
                return true;
            }
            // Paced, not waited on: a refusal comes at once.
            node.Await([](const Json::Value&) { return false; }, 250ms);
        }
        return false;
    }

    // A router in namespace a that reaches the device by its route, and a controller in b
    // that reaches the router by its own and the device through it.
    void StartRouted() {
        router = std::make_unique<Node>(
            Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "10.77.0.1,4198"}), pair.a.Name());
        ASSERT_FALSE(router->process.Await(Answered("amp1", 1), 60s).isNull());
        controller = std::make_unique<Node>(
            Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"}), pair.b.Name());
        NodeProcess& ctl = controller->process;
        ASSERT_EQ(ctl.Await(DeviceLine("amp1", "New"), 60s)["proxy"], "rt1");
        ASSERT_TRUE(ctl.Send(ConnectCommand(VethPair::AddressA, 4198)));
        ASSERT_EQ(ctl.Await(DeviceLine("amp1", "Connected"), 60s)["proxy"], "rt1");
        ASSERT_TRUE(ServedWithin(ctl, 30s));
    }

    VethPair pair;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
    std::unique_ptr<Node> controller;
    int gets = 0;
};

// Before, the controller kept the router and the device behind it Connected for as long
// as the router was frozen, and a get made meanwhile was answered only once it woke. The
// device behind the router, which the controller was asked once to connect, is Connected
// again through the router once it wakes. Before, having heard no list from the frozen
// router for longer than the loss age, the controller forgot the device as the router
// went, and with it the wish to connect it: listed again, it stayed New.
TEST_F(FrozenPeers, AFrozenRouterIsLostWithItsDevicesAndConnectedAgainOnceItWakes) {
    ASSERT_NO_FATAL_FAILURE(StartRouted());
    NodeProcess& ctl = controller->process;
    ASSERT_TRUE(router->process.Signal(SIGSTOP));
    const std::string tag = Ask(ctl);
    const Json::Value answer = Answer(ctl, tag, kNoticed);
    EXPECT_EQ(ValueEntries(answer["values"]), "/audio/gain!connection lost") << answer;
    for (const char* name : {"rt1", "amp1"}) {
        EXPECT_TRUE(Wrote(ctl, DeviceLine(name, "Disconnected"), 10s)) << name;
    }
    EXPECT_FALSE(LinesOf(ctl, [](const Json::Value& line) {
                     return line["event"] == "connection" && line["connected"] == false;
                 }).empty());

    ASSERT_TRUE(router->process.Signal(SIGCONT));
    EXPECT_EQ(ctl.Await(DeviceLine("amp1", "Connected"), 60s)["proxy"], "rt1");
    EXPECT_TRUE(LinesOf(ctl, DeviceLine("amp1", "Lost")).empty());
    EXPECT_TRUE(ServedWithin(ctl, 30s));
    StopCleanly(ctl);
    StopCleanly(router->process);
}

// The controller reaches the device by a static route, which connects it again once the
// device is back.
TEST_F(FrozenPeers, AFrozenDeviceIsLostAndConnectedAgainOnceItWakes) {
    controller = std::make_unique<Node>(
        Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4198"}), pair.b.Name());
    NodeProcess& ctl = controller->process;
    ASSERT_FALSE(ctl.Await(Answered("amp1", 1), 60s).isNull());
    ASSERT_TRUE(ServedWithin(ctl, 30s));

    ASSERT_TRUE(device->process.Signal(SIGSTOP));
    const std::string tag = Ask(ctl);
    const Json::Value answer = Answer(ctl, tag, kNoticed);
    EXPECT_EQ(ValueEntries(answer["values"]), "/audio/gain!connection lost") << answer;
    EXPECT_TRUE(Wrote(ctl, DeviceLine("amp1", "Disconnected"), 10s));

    ASSERT_TRUE(device->process.Signal(SIGCONT));
    EXPECT_TRUE(ServedWithin(ctl, 60s));
    StopCleanly(ctl);
}

// The router awaits the frozen device's reply to the get it passed on, and takes the
// device as lost: the get is answered "connection lost" while the controller hears from
// the router throughout, and keeps its connection and the router's record. Before, the
// get waited for the device to wake.
TEST_F(FrozenPeers, AFrozenDeviceBehindARouterIsLostToTheRouterAlone) {
    ASSERT_NO_FATAL_FAILURE(StartRouted());
    NodeProcess& ctl = controller->process;
    ASSERT_TRUE(device->process.Signal(SIGSTOP));
    const std::string tag = Ask(ctl);
    const Json::Value answer = Answer(ctl, tag, kNoticed);
    EXPECT_EQ(ValueEntries(answer["values"]), "/audio/gain!connection lost") << answer;
    EXPECT_TRUE(Wrote(router->process, DeviceLine("amp1", "Disconnected"), 10s));

    ASSERT_TRUE(device->process.Signal(SIGCONT));
    EXPECT_TRUE(ServedWithin(ctl, 90s));
    EXPECT_TRUE(LinesOf(ctl, [](const Json::Value& line) {
                    return (line["event"] == "connection" && line["connected"] == false) ||
                           (line["event"] == "device" && line["name"] == "rt1" && line["state"] == "Disconnected");
                }).empty());
    StopCleanly(ctl);
    StopCleanly(router->process);
}

}  // namespace
}  // namespace ZelkorTest
