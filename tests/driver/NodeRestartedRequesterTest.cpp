// A controller behind a router, killed and restarted under its name, with TLS and the code,
// with TLS alone, and plain. Node processes over a veth pair (root only, else skipped): the
// router and the controller share namespace a at two addresses of one /24, so that the
// controller's connections come from the router's address, not from the one it serves;
// the device serves namespace b. Every node serves port 5000 and hears discovery
// answers there. The router keeps a secured controller connected: after the restart its
// record of the controller takes the connection the controller made again, and the
// controller, connecting from another address than the one it serves, is served
// throughout, its notices on that connection. A stranger that answers discovery as the
// controller's unit takes nothing of its name. Every wait has a deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "driver/NodeRoutedDeviceSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

constexpr const char* kControllerAddress = "10.77.0.3";
// Many keep-alive intervals and rounds of the timer at the runners' scale.
constexpr auto kSpan = 3s;

bool EveryLine(const Json::Value&) {
    return true;
}

struct Security {
    const char* name;
    std::vector<std::string> options;
    // A controller's own connection is secured: the router asks it for its discovery
    // answer, lists it as connected, and keeps it so.
    bool keptConnected;
};

std::string PrintSecurity(const ::testing::TestParamInfo<Security>& info) { return info.param.name; }

class NodeRestartedRequester : public ::testing::TestWithParam<Security> {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        ASSERT_TRUE(pair.a.Ip("addr add " + std::string(kControllerAddress) + "/24 dev " + pair.a1));
        ASSERT_NO_FATAL_FAILURE(StartDeviceAndRouter(pair, GetParam().options, device, router));
        ASSERT_NO_FATAL_FAILURE(StartController());
        if (GetParam().keptConnected) {
            ASSERT_FALSE(router->process.Await(SecurityOf("ctl1"), 60s).isNull());
        }
        ASSERT_TRUE(GetsAnsweredFor(0s));
    }

    // The controller, with its route to the router, connected to the device through it.
    void StartController() {
        StartRoutedController(pair.a, "ctl1", kControllerAddress, GetParam().options, controller, guid);
    }

    // Killed and started again under its name (a new GUID); a router that keeps it
    // connected has its record of the new unit hold a secured connection.
    void RestartController() {
        ASSERT_TRUE(controller->process.Signal(SIGKILL));
        ASSERT_EQ(controller->process.Wait(), 128 + SIGKILL);
        ASSERT_NO_FATAL_FAILURE(StartController());
        if (GetParam().keptConnected) {
            ASSERT_FALSE(router->process.Await(SecurityOf("ctl1", guid), 60s).isNull())
                << "the router's record of the restarted controller holds no secured connection";
        }
    }

    // A "security" line of a secured connection of the device `name` (of GUID `of`, when
    // not empty).
    static NodeProcess::Match SecurityOf(const std::string& name, const std::string& of = "") {
        return [name, of](const Json::Value& line) {
            return line["event"] == "security" && line["name"] == name && line["secured"] == true &&
                   (of.empty() || line["guid"] == of);
        };
    }

    // Tagged gets of the device's gain through the router, one after the other for at
    // least `span`, each answered with the value.
    bool GetsAnsweredFor(std::chrono::milliseconds span) {
        NodeProcess& ctl = controller->process;
        const auto start = std::chrono::steady_clock::now();
        for (unsigned asked = 0;; ++asked) {
            const std::string tag = "g" + std::to_string(asked);
            EXPECT_TRUE(ctl.Send(DeviceCommand("get", kAmp, R"("tag":")" + tag + R"(","values":[{"path":"/audio/gain"}])")));
            const Json::Value reply = ctl.Await(LineWith("get", "tag", tag), 30s);
            if (reply.isNull() || ValueEntries(reply["values"]) != "/audio/gain=0") {
                ADD_FAILURE() << tag << " answered " << CompactJson(reply);
                return false;
            }
            if (std::chrono::steady_clock::now() - start >= span) {
                return true;
            }
        }
    }

    VethPair pair;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
    std::unique_ptr<Node> controller;
    std::string guid;
};

// Before, the router refused every request of the restarted secured controller "Source
// name in use" from the moment it dialled it again: the controller's requests came from
// another address than the one the router reached it at.
TEST_P(NodeRestartedRequester, IsServedAgainAndStaysServed) {
    ASSERT_NO_FATAL_FAILURE(RestartController());
    EXPECT_TRUE(GetsAnsweredFor(kSpan));
}

// A peer on another host that answers discovery with the controller's GUID and name, and
// asks in its name once the controller has asked in it, is refused as before; the
// controller is served on.
TEST_P(NodeRestartedRequester, AStrangerClaimingItsUnitIsRefusedItsName) {
    ASSERT_NO_FATAL_FAILURE(RestartController());
    ASSERT_TRUE(GetsAnsweredFor(0s));
    RawPeer stranger;
    ASSERT_TRUE(pair.b.Run([&] { stranger.Socket().open(tcp::v4()); }));
    ASSERT_TRUE(stranger.Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), kRoutedPort)));
    stranger.Send(R"(@disco {"classname":"node","guid":")" + guid + R"(","ip":")" + kControllerAddress +
                  R"(","name":"ctl1","port":5000})" "\n");
    EXPECT_EQ(Ask(stranger, R"([rt1&amp1][ctl1] get {"path":"/audio/gain"})"),
              ErrorReply("[ctl1][rt1&amp1] @get", "Source name in use"));
    EXPECT_TRUE(GetsAnsweredFor(1s));
}

// Before, the router's record of the controller kept the old unit's GUID and never took
// the restarted controller's connection: the router dialled the controller where it
// serves, over its own security, and sent its notices there. The controller answered
// each publish, and its handlers dropped every one: they take a device's notices only
// from the connection of the router they reach it through.
TEST_P(NodeRestartedRequester, GetsEveryPublishOfItsNewSubscriptionOnItsOwnConnection) {
    const std::size_t restartedAt = router->process.Lines().size();
    ASSERT_NO_FATAL_FAILURE(RestartController());
    NodeProcess& ctl = controller->process;
    ASSERT_TRUE(ctl.Send(DeviceCommand("subscribe", kAmp, R"("values":[{"path":"/audio/gain"}])")));
    ASSERT_EQ(ValueEntries(ctl.AwaitEvent("subscribe")["values"]), "/audio/gain=0");
    // Rounds of the router's timer in which it dialled the controller before.
    ASSERT_TRUE(GetsAnsweredFor(kSpan));
    for (int value = 1; value <= 5; ++value) {
        const std::string text = std::to_string(-value);
        ASSERT_TRUE(device->process.Send(NodeCommand("write", R"("path":"/audio/gain","value":)" + text)));
        ASSERT_EQ(ValueEntries(ctl.Await(LineAbout("publish", kAmp), 30s)["values"]), "/audio/gain=" + text);
    }
    // The router may dial the restarted controller before the controller's own connection
    // answers discovery: it gives that dial up then, and holds none to the controller.
    std::set<std::string> dials;
    EXPECT_TRUE(WaitUntil([&] {
        dials.clear();
        for (const auto& line : LinesOf(router->process, EveryLine, restartedAt)) {
            if (line["event"] == "connection" && line["connected"] == true && line["outgoing"] == true &&
                line["peer"] == std::string(kControllerAddress) + ":5000") {
                dials.insert(line["tag"].asString());
            } else if (line["event"] == "connection" && line["connected"] == false) {
                dials.erase(line["tag"].asString());
            }
        }
        return dials.empty();
    }, 10s)) << "the router holds its dial to the controller: " << *dials.begin();
    // The router's record of the controller before the restart may dial it once more, to
    // find the restarted unit at its endpoint and give the endpoint up: the connection
    // told last is that of the restarted unit's record.
    Json::Value security;
    for (const auto& line : LinesOf(router->process, EveryLine, restartedAt)) {
        if (line["event"] == "security" && line["name"] == "ctl1" && line["guid"] == guid) {
            security = line;
        }
    }
    if (GetParam().keptConnected) {
        // The connection the router holds for the controller now is the secured one.
        EXPECT_EQ(security["guid"], guid) << CompactJson(security);
        EXPECT_EQ(security["secured"], true) << CompactJson(security);
    }
}

INSTANTIATE_TEST_SUITE_P(Securities, NodeRestartedRequester,
                         ::testing::Values(Security{"TlsAndCode", {"--tls-level", "1", "--code", kSharedCode}, true},
                                           Security{"TlsAlone", {"--tls-level", "1"}, true},
                                           Security{"Plain", {}, false}),
                         PrintSecurity);

}  // namespace
}  // namespace ZelkorTest
