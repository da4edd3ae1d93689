// A device node whose served addresses carry labels answers a peer's discovery with the
// address serving that peer's subnet. Node process over a veth pair (root only, else
// skipped): the device in namespace a serves two labelled addresses of A1, one in A1's
// own subnet and one in another, but not A1's own address; the peers are sockets of the
// test in namespace b, one in each subnet. Every wait has a deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::make_address;
using boost::asio::ip::udp;

constexpr unsigned short kPeerPort = 4299;

// A peer's datagram socket in namespace b, on one of its addresses.
class Peer {
public:
    Peer(const NetNamespace& space, const std::string& address) {
        space.Run([&] {
            boost::system::error_code error;
            _socket.open(udp::v4(), error);
            _socket.bind({make_address(address), kPeerPort}, error);
            _bound = !error;
        });
    }
    bool Ready() const { return _bound; }

    // Asks `to` for its address and port, and returns the first discovery reply that comes
    // within the deadline, with its sender; an empty text when none came.
    std::pair<std::string, udp::endpoint> AskDisco(const std::string& to, std::chrono::seconds deadline = 30s) {
        const std::string ask =
            R"(disco {"params":["ip","port","subnetmask"],"replyport":)" + std::to_string(kPeerPort) + "}\n";
        const auto until = std::chrono::steady_clock::now() + deadline;
        // Sent again now and then: the node may still be opening what it serves.
        auto resend = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < until) {
            if (std::chrono::steady_clock::now() >= resend) {
                _socket.send_to(boost::asio::buffer(ask), {make_address(to), 4197});
                resend = std::chrono::steady_clock::now() + 1s;
            }
            std::string buffer(65536, '\0');
            udp::endpoint sender;
            bool got = false;
            _socket.async_receive_from(boost::asio::buffer(buffer), sender,
                                       [&](const boost::system::error_code& error, std::size_t size) {
                                           got = !error;
                                           buffer.resize(size);
                                       });
            _io.restart();
            _io.run_until(std::min(until, resend));
            if (!got) {
                _socket.cancel();
                _io.restart();
                _io.run();
                continue;
            }
            if (buffer.rfind("@disco", 0) == 0) {
                return {buffer, sender};
            }
        }
        return {};
    }

private:
    boost::asio::io_context _io;
    udp::socket _socket{_io};
    bool _bound = false;
};

TEST(NodeLabelledAddress, EachSubnetsPeerIsToldTheAddressServingIt) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    ASSERT_FALSE(pair.AddLabelA("10.77.0.3/24", "1").empty());
    ASSERT_FALSE(pair.AddLabelA("10.78.0.1/24", "2").empty());
    ASSERT_TRUE(pair.b.Ip("addr add 10.78.0.2/24 dev " + pair.b1));
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "10.77.0.3:4197", {"--listen", "10.78.0.1:4197"}),
                pair.a.Name());
    for (int served = 0; served < 2; ++served) {
        ASSERT_FALSE(device.process.AwaitEvent("listenerAdded", 30s).isNull());
    }

    const struct {
        const char* peer;
        const char* device;
    } subnets[] = {{VethPair::AddressB, "10.77.0.3"}, {"10.78.0.2", "10.78.0.1"}};
    for (const auto& subnet : subnets) {
        SCOPED_TRACE(subnet.peer);
        Peer peer(pair.b, subnet.peer);
        ASSERT_TRUE(peer.Ready());
        const auto [reply, sender] = peer.AskDisco(subnet.device);
        EXPECT_EQ(reply, std::string(R"(@disco {"ip":")") + subnet.device +
                             R"(","port":4197,"subnetmask":"255.255.255.0"})" "\n");
        EXPECT_EQ(sender.address().to_string(), subnet.device);
    }
}

}  // namespace
}  // namespace ZelkorTest
