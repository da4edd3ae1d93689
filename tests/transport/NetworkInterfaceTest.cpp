#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>

#include "transport/LinuxPlatform.h"
#include "transport/NetworkInterface.h"
#include "transport/ZelkorHost.h"

using boost::asio::ip::make_address;
using Zelkor::NetworkInterface;

namespace {

NetworkInterface SampleAdapter() {
    NetworkInterface adapter;
    adapter.AddNetwork(make_address("192.168.1.10"), make_address("255.255.255.0"));
    adapter.AddNetwork(make_address("fe80::1%1"), make_address("ffff:ffff:ffff:ffff::"));
    adapter.AddGateway(make_address("10.0.0.1"));
    adapter.AddGateway(make_address("192.168.1.1"));
    adapter.AddGateway(make_address("10.0.0.1"));
    return adapter;
}

}  // namespace

TEST(NetworkInterface, AddressesMasksAndTexts) {
    NetworkInterface adapter = SampleAdapter();
    EXPECT_EQ(adapter.IPv4(), "192.168.1.10");
    EXPECT_EQ(adapter.IPv6(), make_address("fe80::1%1").to_string());
    EXPECT_EQ(adapter.Gateway(), "10.0.0.1, 192.168.1.1");

    // A repeated address is listed again, but its first mask stays the one answered.
    adapter.AddNetwork(make_address("192.168.1.10"), make_address("255.0.0.0"));
    EXPECT_EQ(adapter.Address().size(), 3u);
    EXPECT_EQ(adapter.SubnetMask(make_address("192.168.1.10")), make_address("255.255.255.0"));
    EXPECT_EQ(adapter.SubnetMask(make_address("192.168.1.11")), make_address("0.0.0.0"));
    // The scope id is part of an IPv6 address's identity.
    EXPECT_EQ(adapter.SubnetMask(make_address("fe80::1%2")), make_address("0.0.0.0"));

    adapter.AddNetwork(make_address("10.9.9.9"), std::uint8_t{8});
    adapter.AddNetwork(make_address("10.9.9.9"), std::uint8_t{8});
    EXPECT_EQ(adapter.Address().size(), 4u);
    EXPECT_EQ(adapter.masks.size(), 3u);

    adapter.mac = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef};
    EXPECT_EQ(adapter.MAC_as_str(), "00:1a:2b:c3:d4:ef");
}

TEST(NetworkInterface, GatewayInsideTheSubnetTable) {
    const NetworkInterface adapter = SampleAdapter();
    struct Case {
        const char* mask;
        const char* address;
        const char* gateway;
    };
    const std::vector<Case> cases = {
        {"255.255.255.0", "192.168.1.10", "192.168.1.1"},
        {"255.0.0.0", "10.200.0.1", "10.0.0.1"},
        {"255.255.255.0", "172.16.0.1", "0.0.0.0"},
        {"ffff::", "192.168.1.10", "0.0.0.0"},
        {"255.255.255.0", "fe80::1", "0.0.0.0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(adapter.SubnetIPGateway(make_address(c.mask), make_address(c.address)), make_address(c.gateway))
            << c.mask << " " << c.address;
    }
}

TEST(EnumerateInterface, VisitsAdaptersInNameOrderUntilRefused) {
    std::vector<std::string> names;
    Zelkor::ZelkorHost::EnumerateInterface([&](NetworkInterface& adapter) {
        names.push_back(adapter.Name());
        EXPECT_EQ(adapter.Gateway(), "0.0.0.0");
        if (adapter.Name() == "lo") {
            EXPECT_TRUE(adapter.up);
            EXPECT_EQ(adapter.MAC_as_str(), "00:00:00:00:00:00");
            EXPECT_EQ(adapter.SubnetMask(make_address("127.0.0.1")), make_address("255.0.0.0"));
        }
        return true;
    });
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_NE(std::find(names.begin(), names.end(), "lo"), names.end());

    int visits = 0;
    Zelkor::EnumerateInterface([&](NetworkInterface&) { return ++visits, false; });
    EXPECT_EQ(visits, 1);
    EXPECT_THROW(Zelkor::EnumerateInterface({}), std::bad_function_call);
}

TEST(LinuxPlatform, LinkLayerEntries) {
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    const unsigned char bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(link.sll_addr, bytes, sizeof bytes);
    ifaddrs entry{};
    entry.ifa_addr = reinterpret_cast<sockaddr*>(&link);
    using Mac = std::array<unsigned char, 6>;
    struct Case {
        unsigned char length;
        Mac expected;  // read over {9, 9, 9, 9, 9, 9}
    };
    // Longer hardware addresses are cut to six bytes, shorter ones zero-filled; a link
    // entry without address bytes (a tunnel) leaves the address alone.
    for (const Case c : {Case{6, {1, 2, 3, 4, 5, 6}}, Case{8, {1, 2, 3, 4, 5, 6}},
                         Case{2, {1, 2, 0, 0, 0, 0}}, Case{0, {9, 9, 9, 9, 9, 9}}}) {
        link.sll_halen = c.length;
        Mac mac{9, 9, 9, 9, 9, 9};
        EXPECT_TRUE(Zelkor::Platform::LinkLayerAddress(entry, mac)) << int{c.length};
        EXPECT_EQ(mac, c.expected) << int{c.length};
    }

    Mac mac{};
    sockaddr_in in{};
    in.sin_family = AF_INET;
    entry.ifa_addr = reinterpret_cast<sockaddr*>(&in);
    EXPECT_FALSE(Zelkor::Platform::LinkLayerAddress(entry, mac));
    entry.ifa_addr = nullptr;
    EXPECT_FALSE(Zelkor::Platform::LinkLayerAddress(entry, mac));

    // An address label has no link entry of its own and borrows its adapter's.
    EXPECT_EQ(Zelkor::Platform::LinkOwnerName("eth0:1"), "eth0");
    EXPECT_EQ(Zelkor::Platform::LinkOwnerName("eth0"), "eth0");
}

// Index 0, as for an unknown interface name, would mean every interface. The datagram
// tests cover the socket tie; this is the frame device.
TEST(LinuxPlatform, InterfaceIndexZeroOpensNoFrameDevice) {
    boost::asio::io_context io;
    boost::system::error_code error;
    auto device = Zelkor::Platform::OpenFrameDevice(io, Zelkor::Platform::InterfaceIndex("no-such-if0"), error);
    EXPECT_TRUE(error);
    EXPECT_FALSE(device.is_open());
}
