#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "transport/NetworkInfo.h"

using Zelkor::NetworkInfo;
using boost::asio::ip::make_address;

TEST(NetworkInfo, DescriptionConstructorsAndReset) {
    EXPECT_EQ(NetworkInfo().ToString(), "NetworkInfo:\n\tDhcpEnabled: Static\n\tMacAddress: \n\tIP Address: "
                                        "\n\tPort No: 0\n\tSubnet mask: 0.0.0.0\n\tGateway: 0.0.0.0\n");
    const NetworkInfo info("192.168.1.10", 4197, "255.255.255.0", "192.168.1.1", true, "00-1A-2B-3C-4D-5E");
    // The numbers are held in host order and written most significant byte first.
    EXPECT_EQ(info.ToString(),
              "NetworkInfo:\n\tDhcpEnabled: DHCP\n\tMacAddress: 00:1a:2b:3c:4d:5e\n\tIP Address: "
              "192.168.1.10\n\tPort No: 4197\n\tSubnet mask: 255.255.255.0\n\tGateway: "
              "192.168.1.1\n");
    EXPECT_EQ(info.subnetMask, 0xFFFFFF00u);
    EXPECT_EQ(info.GetIPv4address(), 0xC0A8010Au);
    EXPECT_EQ(NetworkInfo(info).ToString(), info.ToString());

    NetworkInfo reset = info;
    reset.interfaceName = "eth0";
    reset.SetLogModuleName("XXXX");
    reset.Reset();
    EXPECT_EQ(reset.ToString(), NetworkInfo().ToString());
    EXPECT_TRUE(reset.GetIPAddress().is_unspecified());
    EXPECT_TRUE(reset.GetSubnet().is_unspecified());
    EXPECT_EQ(reset.interfaceName, "");
    EXPECT_EQ(reset.LogModuleName(), "NETI");

    // Null texts are refused like empty ones, never read.
    const NetworkInfo nulls(nullptr, 1, nullptr, nullptr, false, nullptr);
    EXPECT_EQ(nulls.ToString(), NetworkInfo("", 1).ToString());

    const NetworkInfo fromAddress(make_address("fe80::1"), 80, "bad", "", false, "zz");
    EXPECT_EQ(fromAddress.GetIPAddressStr(), "fe80::1");
    EXPECT_EQ(fromAddress.GetIPv4address(), 0u);
    EXPECT_EQ(fromAddress.subnetMaskText, "");
}

// Huge numbers once overflowed; the text is kept as given whatever it holds.
TEST(NetworkInfo, PortTextTable) {
    struct Case {
        std::string text;
        int number;
        unsigned short port;
    };
    const std::vector<Case> cases = {
        {"80abc", 80, 80},  {"", 0, 0},             {"abc", 0, 0},
        {" 443", 443, 443}, {"70000", 70000, 4464}, {"99999999999999999999", INT_MAX, 65535},
    };
    for (const auto& c : cases) {
        NetworkInfo info;
        EXPECT_EQ(info.SetPortNo(c.text), c.number) << c.text;
        EXPECT_EQ(info.port, c.port) << c.text;
        EXPECT_EQ(info.portText, c.text);
    }
}

// A refused address, mask, gateway or MAC is reported and leaves the previous value in place.
TEST(NetworkInfo, RefusedTextKeepsThePreviousValue) {
    ZelkorLog::TheLog().SetLevel(7);
    ZelkorTest::LogCapture log;
    NetworkInfo info;
    EXPECT_TRUE(info.SetIPAddress("fe80::1%1"));
    for (const char* bad : {"10.0.0", "", "10.0.0.1 "}) {
        EXPECT_FALSE(info.SetIPAddress(bad)) << bad;
        EXPECT_TRUE(log.Contains(std::string("NETI ZK6801E Bad IP (") + bad + ")")) << bad;
    }
    EXPECT_EQ(info.GetIPAddressStr(), "fe80::1%1");

    ASSERT_TRUE(info.SetSubnetMask("255.255.255.0"));
    EXPECT_FALSE(info.SetSubnetMask("255.255.0"));
    EXPECT_TRUE(log.Contains("NETI ZK6803E Subnet-mask is not valid (255.255.0)"));
    EXPECT_EQ(info.subnetMaskText, "255.255.255.0");
    EXPECT_EQ(info.GetSubnet(), make_address("255.255.255.0"));
    ASSERT_TRUE(info.SetSubnetMask(0xFFFF0000u));
    EXPECT_EQ(info.subnetMaskText, "255.255.0.0");
    EXPECT_EQ(info.GetSubnet(), make_address("255.255.0.0"));

    EXPECT_TRUE(info.SetGateway("10.1.2.3"));
    EXPECT_FALSE(info.SetGateway("router"));
    EXPECT_EQ(info.gatewayText, "10.1.2.3");
    EXPECT_EQ(info.gateway, 0x0A010203u);
    EXPECT_TRUE(log.Contains("NETI ZK6100I SetGateway s (router)"));
    EXPECT_TRUE(log.Contains("NETI ZK6100I SetGateway _gateway_s (10.1.2.3)"));

    EXPECT_TRUE(info.SetMACAddress("{AA-BB-CC-DD-EE-FF}"));
    EXPECT_FALSE(info.SetMACAddress(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(info.SetMACAddress(""));
    EXPECT_EQ(info.MACStr(), "aa:bb:cc:dd:ee:ff");
}
