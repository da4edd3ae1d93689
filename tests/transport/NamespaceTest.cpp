// Broadcasts over real interfaces: two throw-away network namespaces joined by a veth
// pair, removed again with the namespaces. They run only as root with working `ip netns` and
// veth, and are skipped otherwise. Names carry the process id, so that parallel test
// processes do not collide, and nothing touches the host's own network.

#include <gtest/gtest.h>

#include <string>

#include "TransportFixture.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using Zelkor::UdpSocket;

// Namespace "a" holds a1 (10.77.0.1/24), namespace "b" its peer b1 (10.77.0.2/24).
class Namespaces : public TransportTest {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
    }
    // A UDP socket made and bound inside the namespace; its sockets stay there.
    UdpPtr BoundIn(const NetNamespace& where, FakeSink* sink, const char* ip,
                                       unsigned short port, const std::string& interfaceName = "") {
        auto socket = std::make_shared<UdpSocket>(io, port);
        socket->SetSink(sink);
        bool bound = false;
        EXPECT_TRUE(where.Run([&] { bound = socket->BindTo(make_address(ip), port, interfaceName); }));
        EXPECT_TRUE(bound) << ip << " " << interfaceName;
        return socket;
    }
    VethPair pair;
    const NetNamespace& a = pair.a;
    const NetNamespace& b = pair.b;
    const std::string& a1 = pair.a1;
};

// Subnet and limited broadcasts reach a receiver on the any-address; one tied to an
// interface hears only what arrives there (not, say, a broadcast over loopback).
TEST_F(Namespaces, BroadcastsReachAnyAddressReceiversAndTiedOnesOnlyFromTheirInterface) {
    FakeSink tiedSink;
    auto any = BoundIn(a, &sink, "0.0.0.0", 4197);
    auto tied = BoundIn(a, &tiedSink, "0.0.0.0", 4197, a1);
    auto local = BoundIn(a, nullptr, "127.0.0.1", 0);
    auto peer = BoundIn(b, nullptr, "10.77.0.2", 4197);
    peer->SetSubnet(make_address("255.255.255.0"));

    const auto all = make_address("255.255.255.255");
    local->SendDataTo("local\n", make_address("127.255.255.255"), 4197);
    peer->SendMulticastMessage("subnet\n", all, 4197, false, true);
    peer->SendMulticastMessage("limited\n", all, 4197, true, false);
    ASSERT_TRUE(Run([&] { return sink.Count("local") == 1 && sink.Count("limited") == 1; }));
    // A broadcast is queued to every receiver at once: once the tied socket has read a
    // later one, it has read whatever it was given before.
    peer->SendMulticastMessage("last\n", all, 4197, true, false);
    ASSERT_TRUE(Run([&] { return tiedSink.Count("last") == 1; }));
    EXPECT_EQ(tiedSink.Commands(), (std::vector<std::string>{"subnet", "limited", "last"}));
    EXPECT_EQ(tiedSink.received.front().sender.address(), make_address("10.77.0.2"));
}

}  // namespace
}  // namespace ZelkorTest
