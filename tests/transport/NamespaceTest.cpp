// Broadcasts over real interfaces: two throw-away network namespaces joined by a veth
// pair, removed again with the namespaces. They run only as root with working `ip netns` and
// veth, and are skipped otherwise. Names carry the process id, so that parallel test
// processes do not collide, and nothing touches the host's own network.

#include <gtest/gtest.h>

#include <string>

#include "TransportFixture.h"
#include "support/NetNamespace.h"
#include "transport/NetworkInterface.h"

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

// The walk over a namespace's adapters: by name, not by the system's order (veth1 comes
// first there), each with its link address and its addresses and masks in the system's
// order; an address label is an adapter of its own and shares its owner's link address.
TEST(NamespaceInterfaces, EnumerationGivesNamesLinksAddressesAndMasksInOrder) {
    NetNamespace space("e");
    if (!space.Made()) {
        GTEST_SKIP() << "needs root and ip netns";
    }
    const std::string in = "-n " + space.Name() + " ";
    for (const char* command : {"link add veth0 type veth peer name veth1", "link set veth0 address 02:11:22:33:44:55",
                                "link set veth1 address 02:66:77:88:99:aa", "link set veth0 addrgenmode none",
                                "addr add 10.78.0.1/24 dev veth0", "addr add 10.79.0.1/16 dev veth0 label veth0:1",
                                "addr add fd00:78::1/64 dev veth0 nodad", "link set veth0 up"}) {
        if (!Ip(in + command)) {
            GTEST_SKIP() << "needs veth interfaces: " << command;
        }
    }
    // One line per adapter: name, up or down, link address, then address/mask pairs.
    std::vector<std::string> seen;
    int visitsUntilStop = 0;
    ASSERT_TRUE(space.Run([&] {
        Zelkor::EnumerateInterface([&](Zelkor::NetworkInterface& adapter) {
            std::string line = adapter.Name() + (adapter.up ? " up " : " down ") + adapter.MAC_as_str();
            for (std::size_t i = 0; i < adapter.addresses.size(); ++i) {
                line += " " + adapter.addresses[i].to_string() + "/" + adapter.masks.at(i).to_string();
            }
            seen.push_back(line);
            return true;
        });
        Zelkor::EnumerateInterface([&](Zelkor::NetworkInterface&) { return ++visitsUntilStop < 0; });
    }));
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "lo up 00:00:00:00:00:00 127.0.0.1/255.0.0.0 ::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
                        "veth0 up 02:11:22:33:44:55 10.78.0.1/255.255.255.0 fd00:78::1/ffff:ffff:ffff:ffff::",
                        "veth0:1 up 02:11:22:33:44:55 10.79.0.1/255.255.0.0",
                        "veth1 down 02:66:77:88:99:aa",
                    }));
    EXPECT_EQ(visitsUntilStop, 1);
}

}  // namespace
}  // namespace ZelkorTest
