// Peers that connect and say nothing, or stall their TLS handshake, hold a device's slots
// only for a while: the timer closes them, and well-behaved peers are served again. The
// device runs in a namespace of the test's own, its timer (and with it the bounds) twenty
// times faster.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "discovery/NodesTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::tcp;

TEST(NodeSilentPeers, SilentConnectionsAndStalledHandshakesGiveTheirSlotsBack) {
    NetNamespace space{"silent"};
    if (!space.Made()) {
        GTEST_SKIP() << "no network namespace";
    }
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197"), space.Name());
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    const tcp::endpoint at(boost::asio::ip::make_address("127.0.0.1"), 4197);
    const auto connect = [&](RawPeer& peer) {
        return space.Run([&] { peer.Socket().open(tcp::v4()); }) && peer.Connect(at);
    };

    // The sample tree admits eight: eight silent peers fill it, a ninth is told "busy".
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(std::make_unique<RawPeer>());
        ASSERT_TRUE(connect(*silent.back()));
        ASSERT_FALSE(device.process.Await(ConnectionFrom("127.0.0.1")).isNull());
    }
    RawPeer ninth;
    ASSERT_TRUE(connect(ninth));
    EXPECT_NE(ninth.ReadLine().find("busy"), std::string::npos);

    // A peer that asks for TLS and never shakes hands.
    RawPeer stalling;
    for (auto& peer : silent) {
        EXPECT_TRUE(peer->WaitClosed(std::chrono::seconds(10)));
    }
    ASSERT_TRUE(connect(stalling));
    stalling.Send("starttls\n");
    EXPECT_EQ(stalling.ReadLine(), "@starttls {}\n");
    EXPECT_TRUE(stalling.WaitClosed(std::chrono::seconds(10)));

    // A well-behaved peer is served; one that spoke and fell silent is kept.
    RawPeer good;
    ASSERT_TRUE(connect(good));
    good.Send("get {\"path\":\"/audio/gain\"}\n");
    EXPECT_NE(good.ReadLine().find("@get"), std::string::npos);
    EXPECT_FALSE(good.WaitClosed(std::chrono::seconds(3)));
    StopCleanly(device.process);
}

}  // namespace
}  // namespace ZelkorTest
