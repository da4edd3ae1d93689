// Units that name themselves as others at a router: by the endpoint of a device the router
// reaches, by the name of a device it reaches, by the name of a requester it serves. Node
// processes over a veth pair (root only, else skipped): the device amp1 serves
// namespace b, the router rt1 namespace a, both with TLS and the code. Every wait has a
// deadline.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "driver/NodeRoutedDeviceSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kSecured{"--tls-level", "1", "--code", kSharedCode};

// A peer of the test's, at an address of its own in namespace b, connected to the router:
// it answers discovery as `name` under a GUID of its own, unasked, again every second, and
// answers what the router sends it: a get with the value 99, a list with no device, any
// other request with an empty body.
class Impostor {
public:
    Impostor(const VethPair& pair, const std::string& address, const std::string& name, const std::string& mode)
        : _claim(R"(@disco {"classname":"amplifier","guid":"00000000-0000-4000-8000-0000000000a9","ip":")" +
                 address + R"(","mode":")" + mode + R"(","name":")" + name + R"(","port":5000})" "\n") {
        EXPECT_TRUE(pair.b.Run([&] {
            _peer.Socket().open(boost::asio::ip::tcp::v4());
            _peer.Socket().bind({boost::asio::ip::make_address(address), 0});
        }));
        EXPECT_TRUE(_peer.Connect({boost::asio::ip::make_address(VethPair::AddressA), kRoutedPort}));
        _thread = std::thread([this] { run(); });
    }
    ~Impostor() {
        _stop = true;
        _thread.join();
    }
    Impostor(const Impostor&) = delete;
    Impostor& operator=(const Impostor&) = delete;

    // The gets the router passed on to it; the answers it sent unasked.
    unsigned Gets() const { return _gets.load(); }
    unsigned Claims() const { return _claims.load(); }

private:
    void run() {
        auto claimed = std::chrono::steady_clock::time_point();
        while (!_stop) {
            if (std::chrono::steady_clock::now() - claimed >= 1s) {
                _peer.Send(_claim);
                ++_claims;
                claimed = std::chrono::steady_clock::now();
            }
            const std::string line = _peer.ReadLine(200ms);
            if (line.rfind("disco", 0) == 0) {
                _peer.Send(_claim);
            } else if (line.rfind("list", 0) == 0) {
                _peer.Send("@list {\"endpoints\":[]}\n");
            } else if (line.rfind('[', 0) == 0) {
                answer(line);
            }
        }
    }

    // A request through the router: "[TARGETS][SOURCES] WORD BODY".
    void answer(const std::string& line) {
        const auto targetsEnd = line.find(']');
        const auto sourcesEnd = line.find(']', targetsEnd + 1);
        if (targetsEnd == std::string::npos || sourcesEnd == std::string::npos) {
            return;
        }
        const std::string targets = line.substr(1, targetsEnd - 1);
        const std::string sources = line.substr(targetsEnd + 2, sourcesEnd - targetsEnd - 2);
        const std::string rest = line.substr(sourcesEnd + 2);
        const std::string word = rest.substr(0, rest.find(' '));
        const std::string head = "[" + sources + "][" + targets + "] @" + word;
        if (word == "get") {
            ++_gets;
            _peer.Send(head + R"( {"values":[{"path":"/audio/gain","value":99}]})" "\n");
        } else {
            _peer.Send(head + " {}\n");
        }
    }

    RawPeer _peer;
    const std::string _claim;
    std::atomic<bool> _stop{false};
    std::atomic<unsigned> _gets{0};
    std::atomic<unsigned> _claims{0};
    std::thread _thread;
};

class NodeNamedAsAnother : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
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

// Not a device's own name, nor at its address: the router answers and reaches it under
// that name only. Before, the stranger's unasked answer made a record under the name of
// the device that was off: the router listed it to the controller and passed requests by
// the name to it, even once the device was back.
TEST_F(NodeNamedAsAnother, AStrangerAnswersForNoDeviceThatIsOff) {
    // The router's own timer: the device is off for far less than a device takes to move.
    ASSERT_NO_FATAL_FAILURE(StartDeviceAndRouter(pair, kSecured, device, router, "1"));
    constexpr const char* kControllerAddress = "10.77.0.3";
    ASSERT_TRUE(pair.a.Ip("addr add " + std::string(kControllerAddress) + "/24 dev " + pair.a1));
    std::unique_ptr<Node> controller;
    std::string guid;
    ASSERT_NO_FATAL_FAILURE(StartRoutedController(pair.a, "ctl1", kControllerAddress, kSecured, controller, guid));
    RawPeer requester;
    ASSERT_TRUE(pair.b.Run([&] { requester.Socket().open(boost::asio::ip::tcp::v4()); }));
    ASSERT_TRUE(requester.Connect({boost::asio::ip::make_address(VethPair::AddressA), kRoutedPort}));
    const std::string get = R"([rt1&amp1][rq] get {"path":"/audio/gain"})";

    ASSERT_TRUE(device->process.Signal(SIGKILL));
    ASSERT_EQ(device->process.Wait(), 128 + SIGKILL);
    ASSERT_FALSE(router->process.Await(DeviceLine("amp1", "Disconnected")).isNull());
    ASSERT_TRUE(pair.b.Ip("addr add 10.77.0.5/24 dev " + pair.b1));
    Impostor stranger(pair, "10.77.0.5", "amp1", "device");
    for (int asked = 0; asked < 5; ++asked) {
        EXPECT_EQ(Ask(requester, get), ErrorReply("[rq][rt1&amp1] @get", "Device not connected"));
    }
    ASSERT_NO_FATAL_FAILURE(StartDevice(pair, kSecured, device));
    // The controller connects it again through the router, whether it still listed it or,
    // off past the loss age at its own timer's pace, lists it anew.
    NodeProcess& ctl = controller->process;
    const Json::Value back = ctl.Await(
        [](const Json::Value& line) {
            return line["event"] == "device" && line["name"] == "amp1" &&
                   (line["state"] == "New" || line["state"] == "Connected");
        },
        60s);
    ASSERT_EQ(back["proxy"], "rt1") << CompactJson(back);
    if (back["state"] == "New") {
        ASSERT_TRUE(ctl.Send(ConnectCommand(VethPair::AddressB, kRoutedPort)));
        ASSERT_FALSE(ctl.Await(DeviceLine("amp1", "Connected"), 60s).isNull());
    }
    EXPECT_EQ(GetsAnswered(ctl, 5, "g"), 5u);
    EXPECT_EQ(Ask(requester, get), R"([rq][rt1&amp1] @get {"path":"/audio/gain","value":0})" "\n");
    EXPECT_EQ(stranger.Gets(), 0u);
    EXPECT_TRUE(LinesOf(ctl, [](const Json::Value& line) {
                    return line["event"] == "device" && line["name"] == "amp1" && line["guid"] != kAmp;
                }).empty());
}

// Before, the router took the controller, whose connection left from the device's address
// and which announced the device's port, for a unit that had replaced the device there
// (ZK20E9I): it gave up its connection to the device, made the device Disconnected, and
// never reached it again, so none of the controller's gets was answered.
TEST_F(NodeNamedAsAnother, AUnitAtADevicesEndpointDoesNotTakeItsPlace) {
    // The controller's host has a second address, which it serves; its connections leave
    // from the first, the device's.
    ASSERT_NO_FATAL_FAILURE(StartDeviceAndRouter(pair, kSecured, device, router));
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

// Before, a stranger's unasked answer in the name of a controller that held it at the
// router, over plain connections, made a record under it: every get and subscribe of the
// controller's was then refused "Source name in use".
TEST_F(NodeNamedAsAnother, AStrangerTakesNoNameALiveRequesterHolds) {
    ASSERT_NO_FATAL_FAILURE(StartDeviceAndRouter(pair, {}, device, router));
    constexpr const char* kControllerAddress = "10.77.0.3";
    ASSERT_TRUE(pair.a.Ip("addr add " + std::string(kControllerAddress) + "/24 dev " + pair.a1));
    std::unique_ptr<Node> controller;
    std::string guid;
    ASSERT_NO_FATAL_FAILURE(StartRoutedController(pair.a, "ctl1", kControllerAddress, {}, controller, guid));
    NodeProcess& ctl = controller->process;
    ASSERT_EQ(GetsAnswered(ctl, 1, "a"), 1u);
    ASSERT_TRUE(pair.b.Ip("addr add 10.77.0.5/24 dev " + pair.b1));
    Impostor stranger(pair, "10.77.0.5", "ctl1", "controller");
    EXPECT_EQ(GetsAnswered(ctl, 30, "g"), 30u);
    ASSERT_TRUE(ctl.Send(DeviceCommand("subscribe", kAmp, R"("values":[{"path":"/audio/gain"}])")));
    EXPECT_EQ(ValueEntries(ctl.AwaitEvent("subscribe")["values"]), "/audio/gain=0");
    EXPECT_EQ(GetsAnswered(ctl, 10, "h"), 10u);
    // Restarted on its host while the stranger goes on: the name waits for it there.
    ASSERT_TRUE(ctl.Signal(SIGKILL));
    ASSERT_EQ(ctl.Wait(), 128 + SIGKILL);
    const unsigned claims = stranger.Claims();
    ASSERT_TRUE(WaitUntil([&] { return stranger.Claims() >= claims + 2; }, 10s));
    ASSERT_NO_FATAL_FAILURE(StartRoutedController(pair.a, "ctl1", kControllerAddress, {}, controller, guid));
    EXPECT_EQ(GetsAnswered(controller->process, 10, "r"), 10u);
}

}  // namespace
}  // namespace ZelkorTest
