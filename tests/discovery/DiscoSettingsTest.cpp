// The discovery settings as the application gives them: role, reply port, send-disco
// address and the clamped intervals.

#include <gtest/gtest.h>

#include "discovery/DiscoveryTestSupport.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

TEST(DiscoSettings, ReplyPorts) {
    DiscoveryNode node;
    const struct {
        const char* text;
        unsigned long read;
        unsigned short port;
    } cases[] = {
        {"5000", 5000, 5000}, {"0", 0, 4197},          {"65536", 65536, 4197}, {"70000", 70000, 4197},
        {"0x1066", 4198, 4198}, {"010", 8, 8},         {"", 0, 4197},          {"-1", static_cast<unsigned long>(-1), 4197},
        {"65535", 65535, 65535},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(node.service->SetDiscoReplyPort(c.text), c.read);
        EXPECT_EQ(node.service->DiscoReplyPort(), c.port);
    }
}

// Applied in order: a refused text leaves the address and port before it.
TEST(DiscoSettings, SendDiscoAddresses) {
    LogCapture log;
    DiscoveryNode node;
    const struct {
        const char* text;
        bool accepted;
        const char* address;
        unsigned short port;
    } cases[] = {
        {"192.168.1.20:5000", true, "192.168.1.20", 5000},
        {"1.2.3.4:70000", false, "192.168.1.20", 5000},
        {"1.2.3.4:x", false, "192.168.1.20", 5000},
        {"1.2.3.4:0", false, "192.168.1.20", 5000},
        {"192.168.1.20", true, "192.168.1.20", 4197},
        {"[fe80::1]:5001", true, "fe80::1", 5001},
        {"[fe80::1]", true, "fe80::1", 4197},
        {"fe80::1:5", true, "fe80::1:5", 4197},
        {"[fe80::1", false, "fe80::1:5", 4197},
        {"[fe80::1]5", false, "fe80::1:5", 4197},
        {"host.example:5000", false, "fe80::1:5", 4197},
        {"", true, "0.0.0.0", 4197},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(node.service->SetSendDiscoAddress(c.text), c.accepted);
        const auto endpoint = node.service->SendDiscoAddress();
        EXPECT_EQ(endpoint.first.to_string(), c.address);
        EXPECT_EQ(endpoint.second, c.port);
    }
    EXPECT_TRUE(log.Contains("ZK2005E Port out of range (70000)"));
    EXPECT_TRUE(log.Contains("ZK2006E Invalid port (x)"));
    EXPECT_TRUE(log.Contains("ZK2004E Invalid IP address (host.example)"));
}

TEST(DiscoSettings, RoleAndIntervals) {
    DiscoveryNode node;
    Zelkor::DiscoveryService& service = *node.service;
    EXPECT_FALSE(service.SetMode("Router"));
    EXPECT_FALSE(service.SendDiscos());
    EXPECT_TRUE(service.SetMode("router"));
    EXPECT_TRUE(service.SendDiscos());
    EXPECT_TRUE(service.IsRouter());
    Json::Value mode;
    service.GetDiscoInfo().GetDiscoReplyValue("", Zelkor::Param::mode, mode);
    EXPECT_EQ(mode, Json::Value("router"));
    EXPECT_TRUE(service.SetMode("device"));
    EXPECT_FALSE(service.SendDiscos());
    EXPECT_TRUE(service.ReplyDiscos());

    EXPECT_EQ(service.SetDiscoInterval(0), 23000u);
    EXPECT_EQ(service.GetDiscoInterval(), 2000u);
    EXPECT_EQ(service.DiscoIntervalSeconds(), 0u);
    EXPECT_EQ(service.SetDiscoInterval(100000), 2000u);
    EXPECT_EQ(service.DiscoIntervalSeconds(), 60u);
    service.SetDiscoInterval(2500);
    EXPECT_EQ(service.DiscoIntervalSeconds(), 2u);
    service.SetKeepAliveDiscoInterval(0);
    EXPECT_EQ(service.GetKeepAliveDiscoInterval(), 1000u);
    EXPECT_EQ(service.KeepAliveDiscoIntervalSeconds(), 0u);
    service.SetReplyTimeout(500);
    EXPECT_EQ(service.GetReplyTimeout(), 1000u);
    EXPECT_EQ(service.ReplyTimeoutSeconds(), 1u);
    service.SetLockStepTimeout(1000);
    EXPECT_EQ(service.GetLockStepTimeout(), 5000u);
    EXPECT_EQ(service.SetLockStepTimeout(0), 5000u);
    EXPECT_EQ(service.LockStepTimeoutSeconds(), 0u);
}

// The node holds a code only when the application's callback reads one that is not empty.
TEST(DiscoSettings, AVerificationCodeIsOneTheCallbackReads) {
    DiscoveryNode node;
    Zelkor::DiscoveryService& service = *node.service;
    EXPECT_FALSE(service.HasVerificationCode());
    std::string held;
    bool answers = true;
    service.OnVerificationCode([&](Zelkor::VerificationCode::Operation operation, std::string& code) {
        if (operation == Zelkor::VerificationCode::Read) {
            code = held;
        }
        return answers;
    });
    EXPECT_FALSE(service.HasVerificationCode());
    held = "secret";
    EXPECT_TRUE(service.HasVerificationCode());
    answers = false;
    EXPECT_FALSE(service.HasVerificationCode());
}

}  // namespace
}  // namespace ZelkorTest
