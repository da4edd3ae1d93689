// What the send operations refuse: broken lines, handles of the other transport, and a
// UDP bind that fails.

#include <gtest/gtest.h>

#include <atomic>

#include <boost/asio/ip/udp.hpp>

#include "driver/StandInMessage.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "transport/UdpSocket.h"

namespace ZelkorTest {
namespace {

TEST(DriverSend, BrokenLinesAndHandlesOfTheOtherKindSendNothing) {
    LogCapture log;
    DriverHarness harness;
    harness.Start();
    RawPeer peer;
    auto socket = harness.Connect(peer);
    ASSERT_TRUE(socket);
    void* tcp = Zelkor::ZelkorDriver::HandleOf(socket.get());
    auto udp = std::make_shared<Zelkor::UdpSocket>(harness.io, 0);
    udp->BindTo(boost::asio::ip::make_address("127.0.0.1"), 0, "");
    void* datagram = Zelkor::ZelkorDriver::HandleOf(udp.get());

    // A peer's name holding a line feed, in the route of a reply.
    Zelkor::StandInMessage reply("get");
    reply.SetMessageForwardInfo(Zelkor::MessageForwardInfo("A\nidentify", "R", ""));
    harness.driver->BuildAndSendMessage(tcp, reply, false);
    harness.driver->BuildAndSendRawCommand(tcp, "@get {}\ninjected\n", false);
    harness.driver->BuildAndSendRawCommand(tcp, "", false);
    harness.driver->SendDataToPeer(datagram, "@get {}\n", false);
    harness.driver->SendFrame("@get {}\n", tcp);
    // Lines the peer reads as nothing: as requests they would hold the lock-step for ever.
    for (const char* blank : {"\n", "\r\n", " \t\n"}) {
        harness.driver->SendDataToPeer(tcp, blank, true);
        harness.driver->BuildAndSendRawCommand(tcp, blank, true);
    }
    harness.driver->SendDataToPeer(tcp, "@get {\"last\":1}\n", false);
    EXPECT_EQ(peer.ReadLine(), "@get {\"last\":1}\n");
    EXPECT_EQ(log.Count("ZK78F2E Line not sent"), 9u);
    EXPECT_EQ(log.Count("ZK78F3W"), 2u);
    udp->Close();
}

// A handle kept past its socket's end (a service's record of a closed connection) is
// resolved through the driver's table of live sockets: every operation sends nothing
// and says so, none reads the freed socket.
TEST(DriverSend, AHandleKeptPastItsSocketSendsNothing) {
    LogCapture log;
    DriverHarness harness;
    harness.Start();
    void* gone = nullptr;
    {
        auto socket = std::make_shared<Zelkor::TcpSocket>(harness.io, harness.driver->GetSSLContext(), true);
        gone = Zelkor::ZelkorDriver::HandleOf(socket.get());
    }
    Zelkor::StandInMessage reply("get");
    EXPECT_FALSE(harness.driver->IsReliableTransport(gone));
    harness.driver->BuildAndSendMessage(gone, reply, false);
    harness.driver->BuildAndSendMessageDelayed(gone, reply, false);
    harness.driver->BuildAndSendUnicastMessage(gone, reply, false);
    harness.driver->BuildAndSendRawCommand(gone, "@get {}\n", false);
    harness.driver->SendDataToPeer(gone, "@get {}\n", false);
    harness.driver->SendFrame("@get {}\n", gone);
    harness.driver->SendReply(gone, "@get {}\n", "", "get");
    // Told on the loop, a turn later: never inside the call that asked.
    std::atomic<int> taken{-1};
    harness.driver->SendRequest(gone, "get {}\n", [&taken](bool took) { taken = took ? 1 : 0; });
    EXPECT_TRUE(harness.OnLoop([] {}));
    EXPECT_EQ(taken.load(), 0);
    EXPECT_EQ(log.Count("ZK78F8W Connection handle no longer valid"), 8u);
}

TEST(DriverSend, AFailedBindOfSendFrameIsLoggedAndTheLoopGoesOn) {
    LogCapture log;
    DriverHarness harness;
    harness.Start();
    // A port held without address reuse cannot be bound again.
    boost::asio::io_context io;
    boost::asio::ip::udp::socket holder(io, boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::any(), 0));
    harness.driver->SendFrame("senddisco\n", boost::asio::ip::make_address("127.0.0.1"), 4197,
                              holder.local_endpoint().port());
    EXPECT_TRUE(log.Contains("ZK78A1 SendFrame UDP bind failed"));
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    peer.Send("frob\n");
    EXPECT_EQ(peer.ReadLine(), "@frob \n");
    EXPECT_EQ(log.Count("ZK7863E"), 0u);
}

}  // namespace
}  // namespace ZelkorTest
