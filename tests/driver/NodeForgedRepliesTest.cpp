// Replies nobody asked for, forged by a host of the network, reach none of a node's
// callbacks, while the replies to what the node asked still do. Node processes over a veth
// pair (root only, else skipped): a controller in namespace a, the device and the forger
// in namespace b, the forger on an address of its own. Every wait has a deadline.

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;

const char* const kForger = "10.77.0.3";
// Generous: a node under ASan on a loaded machine starts and answers slowly.
constexpr std::chrono::seconds kDeadline{30};

class NodeForgedReplies : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        ASSERT_TRUE(pair.b.Ip("addr add " + std::string(kForger) + "/24 dev " + pair.b1));
        ASSERT_TRUE(pair.b.Run([this] {
            forger.open(udp::v4());
            forger.bind({make_address(kForger), 0});
        }));
    }

    void Start(bool tls) {
        device = std::make_unique<Node>(SampleDeviceOptions(tls, "amp1", kAmp, "10.77.0.2:4197"), pair.b.Name());
        controller = std::make_unique<Node>(Options("controller", "ctl1", WithTls(tls, {"--listen", "10.77.0.1:4197"})),
                                            pair.a.Name());
        for (auto* node : {device.get(), controller.get()}) {
            ASSERT_FALSE(node->process.AwaitEvent("listenerAdded", kDeadline).isNull());
        }
    }

    // Datagrams from the forger to the controller's port.
    void Forge(std::initializer_list<const char*> lines) {
        for (const char* line : lines) {
            forger.send_to(boost::asio::buffer(std::string(line) + "\n"), {make_address(VethPair::AddressA), 4197});
        }
    }

    // The forger asks the controller to locate itself; once the controller has told of it,
    // it has read every datagram the forger sent before, all on one socket and in order.
    void Sync() {
        Forge({R"(locate {"name":"ctl1"})"});
        ASSERT_FALSE(controller->process.Await(LineWith("locate", "reply", false), kDeadline).isNull());
    }

    // The controller's answer line to its request `cmd` with `members`, sent to every node.
    Json::Value AskAll(const std::string& cmd, const std::string& members) {
        controller->process.Send(NodeCommand(cmd, members));
        return controller->process.Await(LineWith(cmd, "reply", true), kDeadline);
    }

    // Lines the controller wrote that carry what only the forger sent.
    std::vector<std::string> Forged() const {
        std::vector<std::string> forged;
        for (const auto& line : controller->process.Lines()) {
            if (line.find("spoofed") != std::string::npos) {
                forged.push_back(line);
            }
        }
        return forged;
    }

    VethPair pair;
    boost::asio::io_context io;
    udp::socket forger{io};
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> controller;
};

// The forger's replies of every kind come before any request, and those of words the
// controller never sent come again after its requests: none reaches a callback. The
// controller's requests to every node are answered by the device.
TEST_F(NodeForgedReplies, DatagramRepliesReachTheApplicationOnlyForRequestsItSent) {
    ASSERT_NO_FATAL_FAILURE(Start(false));
    Forge({R"(@exec {"result":"spoofed"})", R"(@reboot {"mac":"spoofed"})", R"(@locate {"name":"spoofed"})",
           R"(@identify {"name":"spoofed"})", R"(@setip {"ip":"spoofed"})", "@spoofed {}"});
    ASSERT_NO_FATAL_FAILURE(Sync());

    const Json::Value located = AskAll("locate", R"("name":"amp1")");
    ASSERT_FALSE(located.isNull());
    EXPECT_EQ(located["guid"], kAmp);
    EXPECT_EQ(AskAll("identify", R"("name":"amp1")")["guid"], kAmp);
    const Json::Value reboot = AskAll("reboot", R"("mac":")" + located["mac"].asString() + "\"");
    EXPECT_EQ(reboot["mac"], located["mac"]);
    EXPECT_EQ(reboot["error"], "");

    Forge({R"(@exec {"result":"spoofed"})", "@spoofed {}"});
    ASSERT_NO_FATAL_FAILURE(Sync());
    EXPECT_EQ(Forged(), std::vector<std::string>{});
}

// Locate and identify sent to the broadcast address of the controller's /24 are answered
// by the device from its own address in it, and both answers reach the application. Within
// the same window, replies of both words from an address on another network the controller
// serves, which the request never reached, reach none.
TEST_F(NodeForgedReplies, RepliesToARequestToTheSubnetsBroadcastAddressComeFromTheSubnetOnly) {
    const char* const outside = "10.78.0.5";
    ASSERT_FALSE(pair.AddLabelA("10.78.0.1/24", "o").empty());
    ASSERT_TRUE(pair.b.Ip("addr add " + std::string(outside) + "/24 dev " + pair.b1));
    udp::socket stranger{io};
    ASSERT_TRUE(pair.b.Run([&] {
        stranger.open(udp::v4());
        stranger.bind({make_address(outside), 0});
    }));
    device = std::make_unique<Node>(SampleDeviceOptions(false, "amp1", kAmp, "10.77.0.2:4197"), pair.b.Name());
    controller = std::make_unique<Node>(
        Options("controller", "ctl1", {"--listen", "10.77.0.1:4197", "--listen", "10.78.0.1:4197"}), pair.a.Name());
    ASSERT_FALSE(device->process.AwaitEvent("listenerAdded", kDeadline).isNull());
    for (int served = 0; served < 2; ++served) {
        ASSERT_FALSE(controller->process.AwaitEvent("listenerAdded", kDeadline).isNull());
    }

    const auto ask = [&](const std::string& cmd) {
        controller->process.Send(NodeCommand(cmd, R"("name":"amp1","address":"10.77.0.255")"));
        EXPECT_EQ(controller->process.Await(LineWith("request", "cmd", cmd), kDeadline)["to"], "address");
        return controller->process.Await(LineWith(cmd, "reply", true), kDeadline);
    };
    const Json::Value located = ask("locate");
    EXPECT_EQ(located["guid"], kAmp);
    EXPECT_EQ(located["ip"], VethPair::AddressB);
    EXPECT_EQ(ask("identify")["guid"], kAmp);

    for (const char* line : {R"(@locate {"name":"spoofed"})", R"(@identify {"name":"spoofed"})",
                             R"(locate {"name":"ctl1"})"}) {
        stranger.send_to(boost::asio::buffer(std::string(line) + "\n"), {make_address(VethPair::AddressA), 4197});
    }
    // Told once the controller has read what the stranger sent before it.
    ASSERT_FALSE(controller->process.Await(LineWith("locate", "reply", false), kDeadline).isNull());
    EXPECT_EQ(Forged(), std::vector<std::string>{});
}

// An answer to a proof, on a connection where the controller sent none, tells the
// application nothing; the device's answer to the controller's real proof does.
TEST_F(NodeForgedReplies, AnAuthenticationAnswerIsHeardOnlyWhereAProofWaits) {
    ASSERT_NO_FATAL_FAILURE(Start(true));
    RawPeer peer;
    ASSERT_TRUE(pair.b.Run([&] { peer.Socket().open(tcp::v4()); }));
    ASSERT_TRUE(peer.Connect({make_address(VethPair::AddressA), 4197}));
    peer.Send("@authenticate {}\ngetdevicestate\n");
    // Answered once the forged answer was read.
    std::string heard;
    do {
        heard = peer.ReadLine(kDeadline);
    } while (!heard.empty() && heard.rfind("@getdevicestate", 0) != 0);
    ASSERT_NE(heard, "");

    // The answer to the proof is told before the connection is: its line has come by then.
    const auto proven = [](const Json::Value& line) { return line["authenticated"] == true; };
    controller->process.Send(ConnectCommand(VethPair::AddressB, 4197));
    ASSERT_FALSE(controller->process.Await(LineAbout("security", kAmp, proven), kDeadline).isNull());
    std::vector<std::string> told;
    for (const auto& line : controller->process.Lines()) {
        if (line.find(R"("event":"authenticate")") != std::string::npos) {
            told.push_back(line);
        }
    }
    EXPECT_EQ(told, std::vector<std::string>{R"({"error":"","event":"authenticate"})"});
}

}  // namespace
}  // namespace ZelkorTest
