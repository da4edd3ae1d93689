// A controller and the device it keeps connected, over TLS with a code, as node processes
// across a veth pair (root only, else skipped): the controller in namespace a, the device
// in namespace b, where a stranger holds an address of its own. A discovery reply in the
// device's name from the stranger moves the device nowhere and draws no connection, and
// so no proof of the code, to the stranger; the device itself, restarted on a new address,
// is followed once the controller cannot reach it where it was. Every wait has a deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "discovery/NodesTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using boost::asio::ip::udp;

const char* const kStranger = "10.77.0.3";
const unsigned short kStrangerPort = 4300;
const char* const kCode = "4821";
// Generous: nodes under ASan on a loaded machine start and answer slowly.
constexpr std::chrono::seconds kDeadline{60};

std::vector<std::string> DeviceOptions(const std::string& address) {
    return Options("device", "amp1", {"--guid", kAmp, "--listen", address + ":4197", "--code", kCode});
}

class NodeDeviceMoves : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        ASSERT_TRUE(pair.b.Ip("addr add " + std::string(kStranger) + "/24 dev " + pair.b1));
        ASSERT_TRUE(pair.b.Run([this] {
            stranger.open(udp::v4());
            stranger.bind({make_address(kStranger), 0});
            // Where the stranger says the device is: any connection made to it is counted.
            strangerListener.open(tcp::v4());
            strangerListener.bind({make_address(kStranger), kStrangerPort});
            strangerListener.listen();
            strangerListener.non_blocking(true);
        }));
        device = std::make_unique<Node>(DeviceOptions(VethPair::AddressB), pair.b.Name());
        controller = std::make_unique<Node>(
            Options("controller", "ctl1", {"--listen", std::string(VethPair::AddressA) + ":4197", "--tls-level", "1",
                                           "--code", kCode}),
            pair.a.Name());
        // Found by discovery, then connected, as an application would have it.
        ASSERT_FALSE(controller->process.Await(DeviceLine("amp1", "New"), kDeadline).isNull());
        ASSERT_TRUE(controller->process.Send(ConnectCommand(VethPair::AddressB, 4197)));
        ASSERT_TRUE(Proven());
    }

    void TearDown() override {
        if (controller) {
            StopCleanly(controller->process);
        }
    }

    // The controller's next proof of the code to the device was taken.
    bool Proven() {
        const auto proven = [](const Json::Value& line) { return line["authenticated"] == true; };
        return !controller->process.Await(LineAbout("security", kAmp, proven), kDeadline).isNull();
    }

    // The stranger's discovery reply in the device's name, to the controller's reply port;
    // once the controller has told of the locate request sent after it on the same socket,
    // it has handled the reply.
    void Claim() {
        const std::string reply = R"(@disco {"classname":"amplifier","guid":")" + kAmp + R"(","ip":")" + kStranger +
                                  R"(","name":"amp1","port":)" + std::to_string(kStrangerPort) + "}\n";
        const udp::endpoint to{make_address(VethPair::AddressA), 4197};
        stranger.send_to(boost::asio::buffer(reply), to);
        stranger.send_to(boost::asio::buffer(std::string(R"(locate {"name":"ctl1"})") + "\n"), to);
        ASSERT_FALSE(controller->process.Await(LineWith("locate", "reply", false), kDeadline).isNull());
    }

    // Connections made to the stranger's endpoint so far.
    int StrangerReached() {
        int count = 0;
        for (;;) {
            tcp::socket accepted(io);
            boost::system::error_code error;
            strangerListener.accept(accepted, error);
            if (error) {
                return count;
            }
            ++count;
        }
    }

    // The controller's lines that list the device at the stranger's address.
    std::vector<std::string> ListedAtStranger() const {
        std::vector<std::string> lines;
        for (const auto& line : controller->process.Lines()) {
            if (line.find(R"("event":"device")") != std::string::npos &&
                line.find(std::string(R"("ip":")") + kStranger + "\"") != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    void Kill() {
        ASSERT_TRUE(device->process.Signal(SIGKILL));
        ASSERT_EQ(device->process.Wait(), 128 + SIGKILL);
        ASSERT_FALSE(controller->process.Await(DeviceLine("amp1", "Disconnected"), kDeadline).isNull());
    }

    VethPair pair;
    boost::asio::io_context io;
    udp::socket stranger{io};
    tcp::acceptor strangerListener{io};
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> controller;
};

// The stranger claims the device while the controller holds its proven connection, again
// as soon as the device is gone, and once more when the restarted device is proven again:
// the device is never listed at the stranger's endpoint, and the controller never
// connects there.
TEST_F(NodeDeviceMoves, AStrangersReplyMovesNoDeviceInUseAndDrawsNoProof) {
    ASSERT_NO_FATAL_FAILURE(Claim());
    ASSERT_NO_FATAL_FAILURE(Kill());
    ASSERT_NO_FATAL_FAILURE(Claim());
    device = std::make_unique<Node>(DeviceOptions(VethPair::AddressB), pair.b.Name());
    const Json::Value back = controller->process.Await(DeviceLine("amp1", "Connected"), kDeadline);
    EXPECT_EQ(back["ip"], VethPair::AddressB);
    EXPECT_TRUE(Proven());
    ASSERT_NO_FATAL_FAILURE(Claim());
    // Answers on the connection it holds show the controller still reaches the device.
    EXPECT_FALSE(controller->process.Await(Answered("amp1", 2), kDeadline).isNull());

    EXPECT_EQ(ListedAtStranger(), std::vector<std::string>{});
    EXPECT_EQ(StrangerReached(), 0);
}

// The device restarts on another address of the segment, as after a new lease: it is
// found there once the controller's own dials of its old address have failed for the
// stated time (at this timer scale its floor, 10 s), and connected and proven again.
TEST_F(NodeDeviceMoves, ADeviceOnANewAddressIsFollowedOnceItsOldOneFails) {
    const char* const moved = "10.77.0.5";
    ASSERT_NO_FATAL_FAILURE(Kill());
    const auto gone = std::chrono::steady_clock::now();
    ASSERT_TRUE(pair.b.Ip("addr del " + std::string(VethPair::AddressB) + "/24 dev " + pair.b1));
    ASSERT_TRUE(pair.b.Ip("addr add " + std::string(moved) + "/24 dev " + pair.b1));
    device = std::make_unique<Node>(DeviceOptions(moved), pair.b.Name());

    const auto there = [moved](const Json::Value& line) {
        return line["event"] == "device" && line["name"] == "amp1" && line["ip"] == moved;
    };
    ASSERT_FALSE(controller->process.Await(there, kDeadline).isNull());
    EXPECT_GE(std::chrono::steady_clock::now() - gone, 8s) << "moved before the old address had failed long";
    const Json::Value back = controller->process.Await(DeviceLine("amp1", "Connected"), kDeadline);
    EXPECT_EQ(back["ip"], moved);
    EXPECT_TRUE(Proven());
}

}  // namespace
}  // namespace ZelkorTest
