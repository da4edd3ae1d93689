// Nodes that all hold the code and ask for TLS, over a veth pair (root only, else skipped),
// so that every connection is authorised as a real peer's is: the device and the router
// serve addresses of namespace a that are not loopback, the controller sits in namespace b.
// Each node proves the code only on the connections it opens, so what the node at the
// other end sends on such a connection without proving anything (its keep-alives) must
// still be answered, or the connection is torn down at every keep-alive.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDeviceListen = "10.77.0.1:4198";
// Well over three keep-alive intervals of the runners' scaled timer (half a second each).
constexpr auto kThreeKeepAlives = 3s;

class NodeSecuredRoutes : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        device = std::make_unique<Node>(SampleDeviceOptions(true, "amp1", kAmp, kDeviceListen), pair.a.Name());
        ASSERT_FALSE(device->process.Await(LineWith("listenerAdded", "port", 4198)).isNull());
    }

    // Tagged gets of the device's gain through `node`, one after the other for at least
    // `span`, each answered with the value and no error.
    static bool GetsAnsweredFor(NodeProcess& node, std::chrono::milliseconds span) {
        const auto start = std::chrono::steady_clock::now();
        for (unsigned asked = 0;; ++asked) {
            const std::string tag = "g" + std::to_string(asked);
            EXPECT_TRUE(node.Send(DeviceCommand("get", kAmp, R"("tag":")" + tag + R"(","values":[{"path":"/audio/gain"}])")));
            const Json::Value reply = node.Await(LineWith("get", "tag", tag), 30s);
            if (reply.isNull()) {
                ADD_FAILURE() << tag << " was not answered";
                return false;
            }
            EXPECT_EQ(ValueEntries(reply["values"]), "/audio/gain=0") << tag;
            if (std::chrono::steady_clock::now() - start > span) {
                return true;
            }
        }
    }

    // The lines `node` wrote until it answered a command now that tell of a connection
    // going down.
    static unsigned Disconnections(NodeProcess& node) {
        if (!node.Send(NodeCommand("hascode")) || node.AwaitEvent("hascode").isNull()) {
            ADD_FAILURE() << "no answer";
        }
        unsigned count = 0;
        for (const auto& line : node.Lines()) {
            if (line.find(R"("event":"connection")") != std::string::npos &&
                line.find(R"("connected":false)") != std::string::npos) {
                ++count;
            }
        }
        return count;
    }

    VethPair pair;
    std::unique_ptr<Node> device;
};

// The router sends its keep-alive on the controller's connection as soon as TLS is up, and
// the router never proves the code to the controller: the controller answers it all the
// same, and the device behind the router is served throughout.
TEST_F(NodeSecuredRoutes, AControllerBehindARouterIsServedAcrossManyKeepAlives) {
    Node router(Options("router", "rt1",
                        WithTls(true, {"--listen", "10.77.0.1:4197", "--route", "10.77.0.1,4198"})),
                pair.a.Name());
    ASSERT_FALSE(router.process.Await(Answered("amp1", 1), 60s).isNull());
    Node controller(Options("controller", "ctl1",
                            WithTls(true, {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"})),
                    pair.b.Name());
    // The router lists the device; connecting it by its end point reaches it through the
    // router.
    ASSERT_EQ(controller.process.Await(DeviceLine("amp1", "New"), 60s)["proxy"], "rt1");
    ASSERT_TRUE(controller.process.Send(ConnectCommand(VethPair::AddressA, 4198)));
    ASSERT_EQ(controller.process.Await(DeviceLine("amp1", "Connected"), 60s)["proxy"], "rt1");

    EXPECT_TRUE(GetsAnsweredFor(controller.process, kThreeKeepAlives));
    EXPECT_EQ(Disconnections(controller.process), 0u);
    EXPECT_EQ(Disconnections(router.process), 0u);
}

TEST_F(NodeSecuredRoutes, AControllerConnectedToTheDeviceIsServedAcrossManyKeepAlives) {
    Node controller(Options("controller", "ctl1", WithTls(true, {"--listen", "10.77.0.2:4197"})), pair.b.Name());
    ASSERT_TRUE(ConnectTo(controller.process, VethPair::AddressA, 4198, kAmp, true));
    EXPECT_TRUE(GetsAnsweredFor(controller.process, kThreeKeepAlives));
    EXPECT_EQ(Disconnections(controller.process), 0u);
    EXPECT_EQ(Disconnections(device->process), 0u);
}

}  // namespace
}  // namespace ZelkorTest
