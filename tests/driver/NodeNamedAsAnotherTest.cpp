// Units that name themselves as others at a router: by the endpoint of a device the router
// reaches, by the name of a device it reaches, by the name of a requester it serves. Node
// processes over a veth pair (root only, else skipped): the device amp1 serves
// namespace b, the router rt1 namespace a, both with TLS and the code. Every wait has a
// deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "driver/NodeRoutedDeviceSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kSecured{"--tls-level", "1", "--code", kSharedCode};

class NodeNamedAsAnother : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        ASSERT_NO_FATAL_FAILURE(StartDeviceAndRouter(pair, kSecured, device, router));
    }

    // Tagged gets of the device's gain, one after the other, up to `count` of them: how
    // many were answered with the value before the first that was not.
    static unsigned GetsAnswered(NodeProcess& ctl, unsigned count, const std::string& prefix) {
        for (unsigned asked = 0; asked < count; ++asked) {
            const std::string tag = prefix + std::to_string(asked);
            EXPECT_TRUE(ctl.Send(DeviceCommand("get", kAmp, R"("tag":")" + tag + R"(","values":[{"path":"/audio/gain"}])")));
            const Json::Value reply = ctl.Await(LineWith("get", "tag", tag), 30s);
            if (ValueEntries(reply["values"]) != "/audio/gain=0") {
                ADD_FAILURE() << tag << " answered " << CompactJson(reply);
                return asked;
            }
        }
        return count;
    }

    VethPair pair;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
};

// Before, the router took the controller, whose connection left from the device's address
// and which announced the device's port, for a unit that had replaced the device there
// (ZK20E9I): it gave up its connection to the device, made the device Disconnected, and
// never reached it again, so none of the controller's gets was answered.
TEST_F(NodeNamedAsAnother, AUnitAtADevicesEndpointDoesNotTakeItsPlace) {
    // The controller's host has a second address, which it serves; its connections leave
    // from the first, the device's.
    constexpr const char* kServed = "10.77.0.4";
    ASSERT_TRUE(pair.b.Ip("addr add " + std::string(kServed) + "/24 dev " + pair.b1));
    std::unique_ptr<Node> controller;
    std::string guid;
    ASSERT_NO_FATAL_FAILURE(StartRoutedController(pair.b, "lctl", kServed, kSecured, controller, guid));
    ASSERT_FALSE(router->process.Await(LineWith("security", "name", "lctl"), 60s).isNull());
    EXPECT_EQ(GetsAnswered(controller->process, 10, "g"), 10u);
    // Restarted, under a new GUID: the router's record of the controller it knew dials the
    // endpoint, and finds the device there.
    ASSERT_TRUE(controller->process.Signal(SIGKILL));
    ASSERT_EQ(controller->process.Wait(), 128 + SIGKILL);
    ASSERT_NO_FATAL_FAILURE(StartRoutedController(pair.b, "lctl", kServed, kSecured, controller, guid));
    EXPECT_EQ(GetsAnswered(controller->process, 10, "r"), 10u);
    EXPECT_TRUE(LinesOf(router->process, DeviceLine("amp1", "Disconnected")).empty());
}

}  // namespace
}  // namespace ZelkorTest
