#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "transport/NetworkInfo.h"

using Zelkor::ConvertInternetAddress;
using Zelkor::NetworkInfo;
using boost::asio::ip::make_address;

TEST(NetworkInfo, EmptyRecordDescribesItselfAsStatic) {
    const NetworkInfo info;
    EXPECT_EQ(info.ToString(),
              "NetworkInfo:\n\tDhcpEnabled: Static\n\tMacAddress: \n\tIP Address: "
              "\n\tPort No: 0\n\tSubnet mask: 0.0.0.0\n\tGateway: 0.0.0.0\n");
    EXPECT_EQ(info.LogModuleName(), "NETI");
    EXPECT_TRUE(info.GetIPAddress().is_unspecified());
}

TEST(NetworkInfo, FullConstructorFillsEveryPartThatParses) {
    const NetworkInfo info("192.168.1.10", 4197, "255.255.255.0", "192.168.1.1", true,
                           "00-1A-2B-3C-4D-5E");
    EXPECT_EQ(info.ToString(),
              "NetworkInfo:\n\tDhcpEnabled: DHCP\n\tMacAddress: 00:1a:2b:3c:4d:5e\n\tIP Address: "
              "192.168.1.10\n\tPort No: 4197\n\tSubnet mask: 255.255.255.0\n\tGateway: "
              "192.168.1.1\n");
    EXPECT_EQ(info.subnetMask, 0xFFFFFF00u);
    EXPECT_EQ(info.gateway, 0xC0A80101u);
    EXPECT_EQ(info.GetIPv4address(), 0xC0A8010Au);
    EXPECT_EQ(info.portText, "4197");

    // Null texts are refused like empty ones, never read.
    const NetworkInfo nulls(nullptr, 1, nullptr, nullptr, false, nullptr);
    EXPECT_EQ(nulls.GetIPAddressStr(), "");
    EXPECT_EQ(nulls.subnetMaskText, "");
    EXPECT_EQ(nulls.gatewayText, "");
    EXPECT_EQ(nulls.MACStr(), "");

    const NetworkInfo fromAddress(make_address("fe80::1"), 80, "bad", "", false, "zz");
    EXPECT_EQ(fromAddress.GetIPAddressStr(), "fe80::1");
    EXPECT_EQ(fromAddress.GetIPv4address(), 0u);
    EXPECT_EQ(fromAddress.subnetMaskText, "");
}

TEST(NetworkInfo, IpAddressTextTable) {
    struct Case {
        std::string text;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"10.0.0.1", true}, {"::1", true},     {"fe80::1%1", true}, {"10.0.0", false},
        {"", false},        {"host", false},   {"10.0.0.1 ", false},
    };
    ZelkorTest::LogCapture log;
    for (const auto& c : cases) {
        NetworkInfo info("1.2.3.4", 1);
        log.Clear();
        EXPECT_EQ(info.SetIPAddress(c.text), c.ok) << c.text;
        EXPECT_EQ(info.GetIPAddressStr(), c.ok ? c.text : "1.2.3.4") << c.text;
        EXPECT_EQ(log.Contains("NETI ZK6801E Bad IP (" + c.text + ")"), !c.ok) << c.text;
    }
}

TEST(NetworkInfo, PortTextTable) {
    struct Case {
        std::string text;
        int number;
        unsigned short port;
    };
    const std::vector<Case> cases = {
        {"80abc", 80, 80}, {"", 0, 0},           {"abc", 0, 0},
        {" 443", 443, 443}, {"70000", 70000, 4464}, {"99999999999999999999", INT_MAX, 65535},
    };
    for (const auto& c : cases) {
        NetworkInfo info;
        EXPECT_EQ(info.SetPortNo(c.text), c.number) << c.text;
        EXPECT_EQ(info.port, c.port) << c.text;
        EXPECT_EQ(info.portText, c.text);
    }
}

TEST(NetworkInfo, RefusedMaskKeepsThePreviousOne) {
    ZelkorTest::LogCapture log;
    NetworkInfo info;
    ASSERT_TRUE(info.SetSubnetMask("255.255.255.0"));
    EXPECT_FALSE(info.SetSubnetMask("255.255.0"));
    EXPECT_TRUE(log.Contains("NETI ZK6803E Subnet-mask is not valid (255.255.0)"));
    EXPECT_EQ(info.subnetMaskText, "255.255.255.0");
    EXPECT_EQ(info.GetSubnet(), make_address("255.255.255.0"));

    ASSERT_TRUE(info.SetSubnetMask(0xFFFF0000u));
    EXPECT_EQ(info.subnetMaskText, "255.255.0.0");
    EXPECT_EQ(info.GetSubnet(), make_address("255.255.0.0"));
}

TEST(NetworkInfo, GatewayThatIsNoAddressIsRefused) {
    ZelkorLog::TheLog().SetLevel(7);
    ZelkorTest::LogCapture log;
    NetworkInfo info;
    EXPECT_TRUE(info.SetGateway("10.1.2.3"));
    EXPECT_EQ(info.gateway, 0x0A010203u);
    EXPECT_EQ(info.gatewayText, "10.1.2.3");
    // Refused like every other setter's bad input: reported, and nothing changed.
    EXPECT_FALSE(info.SetGateway("router"));
    EXPECT_EQ(info.gatewayText, "10.1.2.3");
    EXPECT_EQ(info.gateway, 0x0A010203u);
    EXPECT_TRUE(log.Contains("NETI ZK6100I SetGateway s (router)"));
    EXPECT_TRUE(log.Contains("NETI ZK6100I SetGateway _gateway_s (10.1.2.3)"));
}

TEST(NetworkInfo, MacTextIsNormalisedOrRefused) {
    NetworkInfo info;
    EXPECT_TRUE(info.SetMACAddress("{AA-BB-CC-DD-EE-FF}"));
    EXPECT_EQ(info.MACStr(), "aa:bb:cc:dd:ee:ff");
    EXPECT_FALSE(info.SetMACAddress(std::string("00:11:22:33:44:55\0x", 19)));
    EXPECT_FALSE(info.SetMACAddress(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(info.SetMACAddress(""));
    EXPECT_EQ(info.MacAddressToString(), "aa:bb:cc:dd:ee:ff");
}

TEST(NetworkInfo, ResetAndCopyCoverEveryField) {
    NetworkInfo info("10.0.0.5", 99, "255.0.0.0", "10.0.0.1", true, "00:00:00:00:00:01");
    info.interfaceName = "eth0";
    const NetworkInfo copy = info;
    EXPECT_EQ(copy.ToString(), info.ToString());
    EXPECT_EQ(copy.GetIPAddress(), info.GetIPAddress());
    EXPECT_EQ(copy.interfaceName, "eth0");

    info.SetLogModuleName("XXXX");
    info.Reset();
    EXPECT_EQ(info.ToString(), NetworkInfo().ToString());
    EXPECT_TRUE(info.GetIPAddress().is_unspecified());
    EXPECT_TRUE(info.GetSubnet().is_unspecified());
    EXPECT_EQ(info.interfaceName, "");
    EXPECT_EQ(info.LogModuleName(), "NETI");
}

TEST(ConvertInternetAddress, WritesMostSignificantByteFirst) {
    std::string text = "old";
    ConvertInternetAddress::ulongToString(0xC0A80101u, text);
    EXPECT_EQ(text, "192.168.1.1");
    ConvertInternetAddress::ulongToString(0xFFFFFFFFu, text);
    EXPECT_EQ(text, "255.255.255.255");
}
