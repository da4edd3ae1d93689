#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "transport/NetworkInfo.h"

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
