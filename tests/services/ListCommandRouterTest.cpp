// The list-command router behind the driver: requests with options without a route are
// answered, a routed option reaches its service.

#include <gtest/gtest.h>

#include <array>

#include <boost/asio/ip/udp.hpp>

#include "core/ZelkorLog.h"
#include "support/DriverHarness.h"
#include "transport/UdpSocket.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

TEST(ListCommandRouter, AnswersUnknownOptionsAndDropsRoutedOnesWithoutMessage) {
    LogCapture log;
    DriverHarness harness;
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    // Options are compared with letter case: "Discovered" has no route.
    peer.Send("list {\"command\":\"Discovered\"}\n");
    EXPECT_EQ(peer.ReadLine(), "@error {\"message\":\"Unrecognized list option.\"}\n");
    // "discovered" is routed to the discovery; a reply is never answered with an error.
    peer.Send("list {\"command\":\"discovered\"}\n@list {\"command\":\"Discovered\"}\nfrob\n");
    EXPECT_EQ(peer.ReadLine(), "@frob \n");
    EXPECT_EQ(harness.discovery->Handled("list"), 1u);
}

// The router's refusals go back along the request's route with its hash, so that a
// requester behind a router gets them and a repeated request is answered from the reply
// cache; a refused datagram is answered to its sender alone.
TEST(ListCommandRouter, RefusalsFollowTheRequestsRouteAndHash) {
    LogCapture log;
    ZelkorLog::TheLog().SetLevel(5);
    DriverHarness harness;
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    const std::string own = harness.discovery->InstanceName();
    for (int attempt = 0; attempt < 2; ++attempt) {
        peer.Send("4-ab12 [" + own + "][far&rtr] list {\"command\":\"nothing\"}\n");
        EXPECT_EQ(peer.ReadLine(), "4-ab12 [far&rtr][" + own + "] @error {\"message\":\"Unrecognized list option.\"}\n");
    }
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("ZK7878I Replaying"); }));

    boost::asio::io_context io;
    boost::asio::ip::udp::socket asker(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    // A free port for the node's datagram socket.
    unsigned short port = 0;
    {
        boost::asio::ip::udp::socket probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
        port = probe.local_endpoint().port();
    }
    auto udp = std::make_shared<Zelkor::UdpSocket>(harness.io, port);
    udp->SetSink(harness.driver.get());
    ASSERT_TRUE(udp->BindTo(boost::asio::ip::make_address("127.0.0.1"), port, ""));
    udp->DoReceive();
    const auto ask = [&](const std::string& line) {
        asker.send_to(boost::asio::buffer(line), {boost::asio::ip::make_address("127.0.0.1"), port});
        std::array<char, 512> data{};
        boost::asio::ip::udp::endpoint from;
        std::size_t n = 0;
        asker.async_receive_from(boost::asio::buffer(data), from, [&](boost::system::error_code, std::size_t got) { n = got; });
        io.restart();
        io.run_for(std::chrono::seconds(3));
        return std::string(data.data(), n);
    };
    EXPECT_EQ(ask("list {\"command\":\"nothing\"}\n"), "@error {\"message\":\"Unrecognized list option.\"}\n");
    EXPECT_EQ(ask("list {}\n"), "@list {\"error\":\"Missing list command name.\"}\n");
    udp->Close();
}

}  // namespace
}  // namespace ZelkorTest
