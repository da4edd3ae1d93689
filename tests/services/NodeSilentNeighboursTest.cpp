// Requesters of one IPv6 /64 behind a router, one of which answers its notices while a
// neighbour leaves them unanswered (root only: a veth pair). The device serves the
// loopback of namespace a and the router, at its own timer's pace, serves fd00:77::1
// there; the requesters are raw peers of namespace b. Every wait has a deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

std::string Subscribe(const std::string& name, const std::string& path) {
    return "[rt1&amp1][" + name + R"(] subscribe {"path":")" + path + "\"}";
}

bool Subscribed(const std::string& reply) { return reply.find(" @subscribe {\"path\"") != std::string::npos; }

bool Logged(const std::string& log, const std::string& code) {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(code) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A neighbour at fd00:77::99 leaves the publishes to two names, on two connections,
// unanswered, and the router refuses the /64. Before, that took the controller at
// fd00:77::2 too, which had answered all of its own: its next publish never came, and its
// new subscription was refused. The neighbour's further names still are.
TEST(NodeSilentNeighbours, ARequesterThatAnswersItsNoticesKeepsThemWhileItsNeighbourIsRefused) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    ASSERT_TRUE(pair.b.Ip("addr add fd00:77::99/64 dev " + pair.b1 + " nodad"));
    Node device(SampleDeviceOptions(false), pair.a.Name());
    TempDir dir;
    const std::string log = dir.File("router.log");
    NodeProcess router(
        Options("router", "rt1", {"--ipv6", "--listen", "[fd00:77::1]:4197", "--route", "127.0.0.1,4197"}, "1"),
        pair.a.Name(), dir.Path().string(), log);
    ASSERT_FALSE(router.AwaitEvent("listenerAdded").isNull());
    const auto peer = [&](const char* from) {
        auto made = std::make_unique<RawPeer>();
        EXPECT_TRUE(pair.b.Run([&] {
            made->Socket().open(tcp::v6());
            made->Socket().bind(tcp::endpoint(boost::asio::ip::make_address(from), 0));
        }));
        EXPECT_TRUE(made->Connect(tcp::endpoint(boost::asio::ip::make_address("fd00:77::1"), 4197)));
        return made;
    };

    const auto ctl = peer("fd00:77::2");
    // Asked again until the router has reached the device.
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (Subscribed(Ask(*ctl, Subscribe("ctl1", "/audio/gain")))) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
            return false;
        },
        60s));
    const auto published = [&](const std::string& value) {
        EXPECT_TRUE(device.process.Send(Write("/audio/gain", value)));
        EXPECT_EQ(ctl->ReadLine(), "[ctl1][rt1&amp1] publish {\"format\":\"variant\",\"path\":\"/audio/gain\","
                                   "\"value\":" + value + "}\n");
        ctl->Send("[rt1&amp1][ctl1] @publish {}\n");
    };
    published("-1");

    const auto n1 = peer("fd00:77::99"), n2 = peer("fd00:77::99");
    ASSERT_TRUE(Subscribed(Ask(*n1, Subscribe("n1", "/audio/mute"))));
    ASSERT_TRUE(Subscribed(Ask(*n2, Subscribe("n2", "/audio/mute"))));
    EXPECT_TRUE(device.process.Send(Write("/audio/mute", "true")));
    ASSERT_TRUE(WaitUntil([&] { return Logged(log, "ZK78B5W"); }, 60s));

    published("-2");
    EXPECT_TRUE(Subscribed(Ask(*ctl, Subscribe("ctl1", "/audio/mute"))));
    EXPECT_EQ(Ask(*peer("fd00:77::99"), Subscribe("n3", "/audio/gain")),
              "[n3][rt1&amp1] @subscribe {\"error\":\"Requester's notices refused for a time\"}\n");
}

}  // namespace
}  // namespace ZelkorTest
