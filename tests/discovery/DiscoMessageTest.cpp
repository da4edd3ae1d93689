// The discovery messages on the wire and the values this node answers them with.

#include <gtest/gtest.h>

#include "discovery/Disco.h"
#include "discovery/DiscoveryTestSupport.h"

namespace ZelkorTest {
namespace {

using Zelkor::Param;

const std::string kParams =
    R"({"params":["classname","container","descriptorversion","devicelisttime","devicestate","dhcp",)"
    R"("exclusions","family","fingerprint","gateway","guid","inclusions","ip","label","locating","location",)"
    R"("mac","manufacturer","mode","model","name","port","protocolversion","serialnumber","subnetmask",)"
    R"("version"])";

TEST(DiscoMessages, Goldens) {
    DiscoveryNode node;
    EXPECT_EQ(node.service->BuildDiscoRequest(), "disco " + kParams + "}\n");
    Zelkor::MessageForwardInfo header("A&B", "C", "");
    EXPECT_EQ(node.service->BuildDiscoRequest(header), "[A&B][C] disco " + kParams + "}\n");
    node.service->SetDiscoReplyPort("5000");
    EXPECT_EQ(node.service->BuildDiscoRequest(), "disco " + kParams + R"(,"replyport":5000})" "\n");

    Zelkor::SendDiscoMsg send;
    EXPECT_EQ(send.Build(true), "senddisco {}\n");
    send.SetParameter(Param::service, "services");
    EXPECT_EQ(send.Build(true), "senddisco {}\n");
    send.SetParameter(Param::service, "_zelkor._tcp");
    EXPECT_EQ(send.Build(true), R"(senddisco {"service":"_zelkor._tcp"})" "\n");
    Zelkor::SendDiscoMsg read;
    std::string error;
    ASSERT_TRUE(read.FromNetworkFormat(true, R"(senddisco {"service":"x"})", error));
    EXPECT_EQ(read.GetParamValue(Param::service), "x");

    // A parsed request keeps the names it knows, in Param order; one without "params"
    // is refused.
    Zelkor::Disco request;
    ASSERT_TRUE(request.FromNetworkFormat(true, R"(disco {"params":["NAME","bogus","ip",[1]],"replyport":5000})",
                                          error));
    EXPECT_EQ(request.Build(true), R"(disco {"params":["ip","name"],"replyport":5000})" "\n");
    EXPECT_FALSE(Zelkor::Disco().FromNetworkFormat(true, R"(disco {"params":"name"})", error));
    EXPECT_FALSE(Zelkor::Disco().FromNetworkFormat(true, "disco", error));

    // A reply: typed members, structures skipped, unknown names dropped.
    Zelkor::Disco reply;
    ASSERT_TRUE(reply.FromNetworkFormat(
        false, R"(@disco {"name":"amp","port":4197,"locating":"TRUE","mac":{"a":1},"list":[1],"bogus":2})", error));
    EXPECT_EQ(reply.Build(false), R"(@disco {"locating":true,"name":"amp","port":4197})" "\n");
}

TEST(DiscoMessages, OwnReplyValues) {
    DiscoveryNode node;
    Zelkor::DiscoInfoImpl& own = node.service->GetDiscoInfo();
    const auto value = [&own](const std::string& interfaceName, Param name) {
        Json::Value out("unset");
        own.GetDiscoReplyValue(interfaceName, name, out);
        return out;
    };
    EXPECT_EQ(own.GUID(), "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13");
    EXPECT_EQ(own.InstanceName(), "stage-left-amp");
    EXPECT_EQ(value("", Param::classname), Json::Value("amplifier"));
    EXPECT_EQ(value("", Param::mode), Json::Value("device"));
    EXPECT_EQ(value("", Param::locating), Json::Value(false));
    EXPECT_EQ(value("", Param::protocolversion), Json::Value("1.16.1.26"));

    own.UpdateDiscoReplyValue("/configuration/device/locating", "TRUE");
    EXPECT_EQ(value("", Param::locating), Json::Value(false));
    own.UpdateDiscoReplyValue("/configuration/device/locating", "true");
    EXPECT_EQ(value("", Param::locating), Json::Value(true));
    // Stored as text whatever storage held; other paths change nothing.
    own.UpdateDiscoReplyValue("/configuration/device/label", "7");
    own.UpdateDiscoReplyValue("/configuration/device/x/model", "other");
    own.UpdateDiscoReplyValue("/version", "9");
    EXPECT_EQ(value("", Param::label), Json::Value("7"));
    EXPECT_EQ(value("", Param::model), Json::Value("ZA-400"));
    EXPECT_EQ(value("", Param::descriptorversion), Json::Value("2.3.1"));

    // Address data per interface: "port" as a number, never answered from the node-wide
    // values.
    node.service->UpdateInterfaceDiscoReplyValue("eth0", "port", "4198");
    node.service->UpdateInterfaceDiscoReplyValue("eth1", "/configuration/network/port", "5000x");
    node.service->UpdateInterfaceDiscoReplyValue("eth0", "ip", "10.0.0.2");
    own.UpdateDiscoReplyValue("/configuration/device/ip", "192.168.9.9");
    EXPECT_EQ(value("eth0", Param::port), Json::Value(4198u));
    EXPECT_EQ(value("eth1", Param::port), Json::Value(5000u));
    EXPECT_EQ(value("eth2", Param::port), Json::Value("unset"));
    EXPECT_EQ(value("eth0", Param::ip), Json::Value("10.0.0.2"));
    EXPECT_EQ(value("eth1", Param::ip), Json::Value("unset"));
}

}  // namespace
}  // namespace ZelkorTest
