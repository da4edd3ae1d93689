// Network records and the platform's link-layer entries.

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <ifaddrs.h>
#include <linux/if_packet.h>

#include "transport/LinuxPlatform.h"
#include "transport/NetworkInfo.h"
#include "transport/SourceGroup.h"

using Zelkor::NetworkInfo;
using boost::asio::ip::make_address;

TEST(NetworkInfo, Description) {
    NetworkInfo info("192.168.1.10", 4197, "255.255.255.0", "192.168.1.1", true, "00-1A-2B-3C-4D-5E");
    // The numbers are held in host order and written most significant byte first.
    EXPECT_EQ(info.ToString(),
              "NetworkInfo:\n\tDhcpEnabled: DHCP\n\tMacAddress: 00:1a:2b:3c:4d:5e\n\tIP Address: "
              "192.168.1.10\n\tPort No: 4197\n\tSubnet mask: 255.255.255.0\n\tGateway: "
              "192.168.1.1\n");
    // Null texts are refused like empty ones, never read.
    EXPECT_EQ(NetworkInfo(nullptr, 1, nullptr, nullptr, false, nullptr).ToString(), NetworkInfo("", 1).ToString());
}

// Huge numbers once overflowed; the text is kept as given whatever it holds.
TEST(NetworkInfo, PortTextTable) {
    struct Case {
        std::string text;
        int number;
        unsigned short port;
    };
    const std::vector<Case> cases = {
        {"80abc", 80, 80}, {"-5", 0, 0}, {"70000", 70000, 4464}, {"99999999999999999999", INT_MAX, 65535},
    };
    for (const auto& c : cases) {
        NetworkInfo info;
        EXPECT_EQ(info.SetPortNo(c.text), c.number) << c.text;
        EXPECT_EQ(info.port, c.port) << c.text;
        EXPECT_EQ(info.portText, c.text);
    }
}

// A refused mask leaves the previous value in place; a gateway text that is no address
// means no gateway, so that a record refilled from another peer keeps none of the old one.
TEST(NetworkInfo, RefusedMaskKeepsThePreviousValueAndNoGatewayClearsIt) {
    NetworkInfo info("fe80::1%1", 1, "255.255.255.0", "10.1.2.3", false, "");
    EXPECT_FALSE(info.SetSubnetMask("255.255.0"));
    EXPECT_EQ(info.GetSubnet(), make_address("255.255.255.0"));
    for (const char* text : {"router", ""}) {
        info.SetGateway("10.1.2.3");
        EXPECT_FALSE(info.SetGateway(text));
        EXPECT_EQ(info.gatewayText, "0.0.0.0") << text;
        EXPECT_EQ(info.gateway, 0u) << text;
    }
}

// Hardware addresses longer than six bytes must not overrun the MAC; a link entry without
// address bytes (a tunnel) leaves it alone; an address label borrows its adapter's link.
TEST(LinuxPlatform, LinkLayerEntries) {
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    const unsigned char bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(link.sll_addr, bytes, sizeof bytes);
    ifaddrs entry{};
    entry.ifa_addr = reinterpret_cast<sockaddr*>(&link);
    using Mac = std::array<unsigned char, 6>;
    for (const auto& [length, expected] : {std::pair<unsigned char, Mac>{8, {1, 2, 3, 4, 5, 6}},
                                           std::pair<unsigned char, Mac>{2, {1, 2, 0, 0, 0, 0}},
                                           std::pair<unsigned char, Mac>{0, {9, 9, 9, 9, 9, 9}}}) {
        link.sll_halen = length;
        Mac mac{9, 9, 9, 9, 9, 9};
        EXPECT_TRUE(Zelkor::Platform::LinkLayerAddress(entry, mac));
        EXPECT_EQ(mac, expected) << int{length};
    }
    EXPECT_EQ(Zelkor::Platform::LinkOwnerName("eth0:1"), "eth0");
}

namespace ZelkorTest {
namespace {

// IPv6 sources count by their /64 (with their link's scope), IPv4 ones alone, and an IPv4
// address written as IPv6 as that IPv4 address.
TEST(SourceGroup, IPv6CountsByItsSlash64AndIPv4Alone) {
    const auto group = [](const char* text) {
        return Zelkor::SourceGroup(boost::asio::ip::make_address(text)).to_string();
    };
    EXPECT_EQ(group("10.77.0.2"), "10.77.0.2");
    EXPECT_EQ(group("fd00:77::2"), "fd00:77::");
    EXPECT_EQ(group("fd00:77:0:0:ffff:1:2:3"), "fd00:77::");
    EXPECT_EQ(group("fd00:77:0:1::2"), "fd00:77:0:1::");
    EXPECT_EQ(group("::ffff:10.77.0.2"), "10.77.0.2");
    EXPECT_EQ(Zelkor::SourceGroup(boost::asio::ip::make_address("fe80::2%1")).to_v6().scope_id(), 1u);
    EXPECT_NE(group("fe80::2%1"), group("fe80::2%2"));
}

}  // namespace
}  // namespace ZelkorTest
