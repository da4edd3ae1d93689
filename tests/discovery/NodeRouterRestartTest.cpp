// A controller that reaches a device only through a router, each a node process on the
// loopback of a namespace of its own (when the test may make one): the router is killed,
// and restarted under a new GUID or not at all. Nothing answers discovery on the protocol
// port, so the controller knows the router by its static route alone. Every wait is
// bounded by a deadline.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "discovery/NodesTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kRouterOptions =
    Options("router", "rt1", {"--listen", "127.0.0.1:5002", "--route", "127.0.0.1,5001"});

class RouterRestart : public ::testing::Test {
protected:
    void SetUp() override {
        device = std::make_unique<Node>(Options("device", "amp1", {"--guid", kAmp, "--listen", "127.0.0.1:5001"}),
                                        place);
        router = std::make_unique<Node>(kRouterOptions, place);
        controller = std::make_unique<Node>(
            Options("controller", "ctl1", {"--listen", "127.0.0.1:4198", "--route", "127.0.0.1,5002"}), place);
        NodeProcess& ctl = controller->process;
        // Made for the route's endpoint, the router's record is named by its first answer.
        const Json::Value routerUp = ctl.Await(DeviceLine("rt1", "Changed"));
        ASSERT_FALSE(routerUp.isNull());
        firstRouter = routerUp["guid"].asString();
        ASSERT_EQ(ctl.Await(DeviceLine("amp1", "New"))["proxy"], "rt1");
        // Connected through the router, as an application would have it.
        ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 5001)));
        ASSERT_EQ(ctl.Await(DeviceLine("amp1", "Connected"))["proxy"], "rt1");
        ASSERT_TRUE(Read(10s));
        ASSERT_TRUE(router->process.Signal(SIGKILL));
        ASSERT_EQ(router->process.Wait(), 128 + SIGKILL);
    }

    void TearDown() override {
        if (controller) {
            StopCleanly(controller->process);
        }
    }

    // One get of the device's name through the router: its answer within `wait`, null
    // when none came.
    Json::Value Ask(std::chrono::milliseconds wait) {
        const std::string tag = "read" + std::to_string(++reads);
        NodeProcess& ctl = controller->process;
        if (!ctl.Send(R"({"cmd":"get","guid":")" + kAmp + R"(","tag":")" + tag +
                      R"(","values":[{"path":"/configuration/device/name"}]})")) {
            return Json::Value();
        }
        return ctl.Await([&](const Json::Value& line) { return line["event"] == "get" && line["tag"] == tag; }, wait);
    }
    static bool HoldsName(const Json::Value& answer) {
        return answer["values"][0]["value"] == "amp1" && !answer["values"][0].isMember("error");
    }
    // The same, answered with the device's name.
    bool Read(std::chrono::milliseconds wait) { return HoldsName(Ask(wait)); }

    NetNamespace space{"rrs"};
    const std::string place = space.Made() ? space.Name() : "";
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
    std::unique_ptr<Node> controller;
    std::string firstRouter;
    int reads = 0;
};

// The router comes back under a new GUID at the address of the controller's route: the
// record of that GUID takes the route and the connection, and gets through the router
// are answered again (before, the controller said "guidchanged" to it for ever).
TEST_F(RouterRestart, GetsAreAnsweredAgainThroughARouterBackUnderANewGuid) {
    const auto restarted = std::chrono::steady_clock::now();
    router = std::make_unique<Node>(kRouterOptions, place);
    const std::string secondRouter = router->process.AwaitEvent("start")["options"]["guid"].asString();
    ASSERT_FALSE(secondRouter.empty());
    ASSERT_NE(secondRouter, firstRouter);

    // Every read is answered: with an error while the router is away or its way to the
    // device is not up yet, with the name once it is.
    bool answered = false;
    const auto deadline = restarted + 60s;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        const Json::Value answer = Ask(30s);
        ASSERT_FALSE(answer.isNull()) << "get read" << reads << " never answered";
        answered = HoldsName(answer);
    }
    ASSERT_TRUE(answered) << "no get answered within 60 s of the router's restart";
    // The new router's record holds the connection; the reads' waits passed its line.
    const auto& lines = controller->process.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(R"("guid":")" + secondRouter + "\"") != std::string::npos &&
               line.find(R"("state":"Connected")") != std::string::npos;
    }));
    // Later reads are answered too: the route stays with the new record.
    EXPECT_TRUE(Read(10s));
    EXPECT_TRUE(Read(10s));
}

// A router that stays away: the device reached through it goes Disconnected with the
// router's connection, and Lost, with its line, when it leaves the list.
TEST_F(RouterRestart, DevicesBehindALostRouterGoDisconnectedThenLost) {
    NodeProcess& ctl = controller->process;
    const Json::Value away = ctl.Await(DeviceLine("amp1", "Disconnected"));
    EXPECT_EQ(away["old"], "Connected");
    EXPECT_EQ(ctl.Await(DeviceLine("amp1", "Lost"))["old"], "Disconnected");
    // Gone from the list: the runner finds no device to ask.
    ASSERT_TRUE(ctl.Send(R"({"cmd":"get","guid":")" + kAmp + R"(","values":[{"path":"/audio/gain"}]})"));
    EXPECT_FALSE(ctl.Await([](const Json::Value& line) {
                        return line["event"] == "error" &&
                               line["message"].asString().find("no device") != std::string::npos;
                    })
                     .isNull());
}

}  // namespace
}  // namespace ZelkorTest
