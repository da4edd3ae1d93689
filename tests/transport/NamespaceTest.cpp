// Tests over real interfaces: two throw-away network namespaces joined by two veth pairs.
// They run only as root with working `ip netns` and veth, and are skipped otherwise.

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "NetNamespace.h"
#include "RecordingSink.h"
#include "support/RunUntil.h"
#include "transport/LinuxPlatform.h"
#include "transport/NetworkInterface.h"
#include "transport/RawSocket.h"
#include "transport/UdpSocket.h"

using boost::asio::ip::make_address;
using ZelkorTest::NetNamespace;
using ZelkorTest::RecordingSink;
using ZelkorTest::VethPair;
using Zelkor::UdpSocket;

namespace {

// Namespace "a" holds a1 (10.77.0.1/24, also 10.78.0.1/24 under the label a1:1) and a2
// (10.79.0.1/24); namespace "b" holds their peers b1 (10.77.0.2) and b2 (10.79.0.2).
class Namespaces : public ::testing::Test {
protected:
    void SetUp() override {
        a = std::make_unique<NetNamespace>("a");
        b = std::make_unique<NetNamespace>("b");
        if (!a->Made() || !b->Made()) {
            GTEST_SKIP() << "needs root and ip netns";
        }
        pair1 = std::make_unique<VethPair>(*a, ZelkorTest::VethEnd{"a1", kMacA1, "10.77.0.1/24"},
                                           *b, ZelkorTest::VethEnd{"b1", kMacB1, "10.77.0.2/24"});
        pair2 = std::make_unique<VethPair>(*a, ZelkorTest::VethEnd{"a2", kMacA2, "10.79.0.1/24"},
                                           *b, ZelkorTest::VethEnd{"b2", kMacB2, "10.79.0.2/24"});
        if (!pair1->Made() || !pair2->Made()) {
            GTEST_SKIP() << "needs veth interfaces";
        }
        ASSERT_TRUE(ZelkorTest::Ip("-n " + a->Name() + " addr add 10.78.0.1/24 dev " +
                                   pair1->NameA() + " label " + pair1->NameA() + ":1"));
    }

    // A UDP socket made and bound inside the namespace; its sockets stay there.
    std::shared_ptr<UdpSocket> BoundIn(const NetNamespace& where, RecordingSink* sink,
                                       const char* ip, unsigned short port,
                                       const std::string& interfaceName = "") {
        auto socket = std::make_shared<UdpSocket>(io, port);
        socket->SetSink(sink);
        bool bound = false;
        EXPECT_TRUE(where.Run([&] { bound = socket->BindTo(make_address(ip), port, interfaceName); }));
        EXPECT_TRUE(bound) << ip << " " << interfaceName;
        return socket;
    }
    bool Heard(const RecordingSink& sink, const std::string& command) {
        return ZelkorTest::RunUntil(io, [&] {
            const auto commands = sink.Commands();
            return std::find(commands.begin(), commands.end(), command) != commands.end();
        });
    }

    static constexpr const char* kMacA1 = "02:7a:00:00:01:01";
    static constexpr const char* kMacB1 = "02:7a:00:00:01:02";
    static constexpr const char* kMacA2 = "02:7a:00:00:02:01";
    static constexpr const char* kMacB2 = "02:7a:00:00:02:02";

    boost::asio::io_context io;
    std::unique_ptr<NetNamespace> a;
    std::unique_ptr<NetNamespace> b;
    std::unique_ptr<VethPair> pair1;
    std::unique_ptr<VethPair> pair2;
};

}  // namespace

TEST_F(Namespaces, EnumerationReadsVethLinkAddressesAndMasks) {
    std::map<std::string, Zelkor::NetworkInterface> seen;
    ASSERT_TRUE(a->Run([&] {
        Zelkor::EnumerateInterface([&](Zelkor::NetworkInterface& adapter) {
            seen[adapter.Name()] = adapter;
            return true;
        });
    }));
    const std::string a1 = pair1->NameA();
    ASSERT_EQ(seen.count(a1), 1u);
    ASSERT_EQ(seen.count(a1 + ":1"), 1u);
    ASSERT_EQ(seen.count(pair2->NameA()), 1u);
    EXPECT_EQ(seen.count(pair1->NameB()), 0u) << "the peer lives in the other namespace";

    const auto& one = seen[a1];
    EXPECT_TRUE(one.up);
    EXPECT_EQ(one.MAC_as_str(), kMacA1);
    EXPECT_EQ(one.IPv4(), "10.77.0.1");
    EXPECT_EQ(one.SubnetMask(make_address("10.77.0.1")), make_address("255.255.255.0"));

    // The label shares its adapter's link address but has its own address.
    const auto& label = seen[a1 + ":1"];
    EXPECT_EQ(label.MAC_as_str(), kMacA1);
    EXPECT_EQ(label.IPv4(), "10.78.0.1");
    EXPECT_EQ(label.SubnetMask(make_address("10.78.0.1")), make_address("255.255.255.0"));

    EXPECT_EQ(seen[pair2->NameA()].MAC_as_str(), kMacA2);
    EXPECT_EQ(seen[pair2->NameA()].IPv4(), "10.79.0.1");
}

TEST_F(Namespaces, SubnetAndLimitedBroadcastReachAnAnyAddressReceiver) {
    RecordingSink heard;
    auto receiver = BoundIn(*a, &heard, "0.0.0.0", 4197);
    auto sender = BoundIn(*b, nullptr, "10.77.0.2", 4197);
    sender->SetSubnet(make_address("255.255.255.0"));

    const auto all = make_address("255.255.255.255");
    sender->SendMulticastMessage("subnet\n", all, 4197, false, true);
    ASSERT_TRUE(Heard(heard, "subnet"));
    sender->SendMulticastMessage("limited\n", all, 4197, true, false);
    ASSERT_TRUE(Heard(heard, "limited"));
    EXPECT_EQ(heard.received.back().sender.address(), make_address("10.77.0.2"));
}

TEST_F(Namespaces, SocketTiedToOneInterfaceHearsOnlyThatInterface) {
    RecordingSink tiedSink;
    RecordingSink anySink;
    auto tied = BoundIn(*a, &tiedSink, "0.0.0.0", 4198, pair1->NameA());
    auto any = BoundIn(*a, &anySink, "0.0.0.0", 4198);
    auto viaOne = BoundIn(*b, nullptr, "10.77.0.2", 0);
    auto viaTwo = BoundIn(*b, nullptr, "10.79.0.2", 0);

    viaTwo->SendDataTo("two\n", make_address("10.79.0.255"), 4198);
    viaOne->SendDataTo("one\n", make_address("10.77.0.255"), 4198);
    ASSERT_TRUE(Heard(anySink, "one"));
    ASSERT_TRUE(Heard(anySink, "two"));
    ASSERT_TRUE(Heard(tiedSink, "one"));
    // Broadcasts are queued to every receiver at once: whatever the tied socket was going
    // to get has arrived by now.
    int pending = 0;
    ASSERT_TRUE(ZelkorTest::RunUntil(io, [&] {
        ioctl(tied->GetBasicSocket().native_handle(), FIONREAD, &pending);
        return pending == 0;
    }));
    io.restart();
    io.poll();
    EXPECT_EQ(tiedSink.Commands(), std::vector<std::string>{"one"});
}

TEST_F(Namespaces, RawReceiverReadsBroadcastFramesFromAVethDevice) {
    boost::asio::generic::raw_protocol::socket device(io);
    boost::system::error_code error;
    ASSERT_TRUE(a->Run([&] {
        device = Zelkor::Platform::OpenFrameDevice(
            io, Zelkor::Platform::InterfaceIndex(pair1->NameA()), error);
    }));
    ASSERT_FALSE(error) << error.message();

    RecordingSink sink;
    Zelkor::InterfaceInfo own;
    own.macText = kMacA1;
    own.ipv4Text = "10.77.0.1";
    own.subnetMaskText = "255.255.255.0";
    sink.interfaces = {own};
    auto raw = std::make_shared<Zelkor::RawSocket>(io, 4199);
    raw->SetSink(&sink);
    raw->localMac = kMacA1;
    ASSERT_TRUE(raw->SetFrameDescriptor(device.native_handle()));
    ASSERT_TRUE(raw->BindTo(make_address("0.0.0.0"), 4199, ""));

    auto viaOne = BoundIn(*b, nullptr, "10.77.0.2", 0);
    auto viaTwo = BoundIn(*b, nullptr, "10.79.0.2", 0);
    // veth does not pad frames: payloads of 18 bytes and more make full-size frames.
    viaTwo->SendDataTo("othernetworkxxxxxxx\n", make_address("10.79.0.255"), 4199);
    viaOne->SendDataTo("limitedxxxxxxxxxxxx\n", make_address("255.255.255.255"), 4199);
    viaOne->SendDataTo("subnetxxxxxxxxxxxxx\n", make_address("10.77.0.255"), 4199);
    ASSERT_TRUE(Heard(sink, "limitedxxxxxxxxxxxx"));
    ASSERT_TRUE(Heard(sink, "subnetxxxxxxxxxxxxx"));
    EXPECT_EQ(sink.received.size(), 2u);
    EXPECT_EQ(sink.received.back().sender.address(), make_address("10.77.0.2"));
    raw->Close();
}
