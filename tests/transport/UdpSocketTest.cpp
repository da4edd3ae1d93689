#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <net/if.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/ip/udp.hpp>

#include "RecordingSink.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "transport/UdpSocket.h"

using boost::asio::ip::make_address;
using boost::asio::ip::udp;
using ::testing::ElementsAre;
using Zelkor::UdpSocket;

namespace {

class UdpLoopback : public ::testing::Test {
protected:
    void SetUp() override { ZelkorLog::TheLog().SetLevel(7); }

    std::shared_ptr<UdpSocket> Bound(const char* ip, const std::string& interfaceName = "") {
        auto socket = std::make_shared<UdpSocket>(io, 0);
        socket->SetSink(&sink);
        socket->SetName("lan");
        EXPECT_TRUE(socket->BindTo(make_address(ip), 0, interfaceName));
        return socket;
    }
    static udp::endpoint Actual(const std::shared_ptr<UdpSocket>& socket) {
        return socket->GetBasicSocket().local_endpoint();
    }
    void Send(const std::string& datagram, const udp::endpoint& to) {
        sender.send_to(boost::asio::buffer(datagram), to);
    }
    // Runs every handler that is ready, also after the loop ran out of work before.
    void Poll() {
        io.restart();
        io.poll();
    }
    void Drain(const std::shared_ptr<UdpSocket>& socket) { ASSERT_TRUE(ZelkorTest::Drain(io, *socket)); }
    bool Delivered(const std::string& command) { return ZelkorTest::RunUntilHeard(io, sink, command); }
    // Outgoing destinations the socket reported, in order.
    std::vector<std::string> Destinations() {
        Poll();
        std::vector<std::string> out;
        for (const auto& t : sink.traffic) {
            out.push_back(t.remote.address().to_string());
        }
        return out;
    }

    boost::asio::io_context io;
    ZelkorTest::RecordingSink sink;
    udp::socket sender{io, udp::endpoint(make_address("127.0.0.1"), 0)};
};

}  // namespace

TEST_F(UdpLoopback, EachDatagramYieldsAtMostItsFirstLine) {
    ZelkorTest::LogCapture log;
    auto receiver = Bound("127.0.0.1");
    const auto to = Actual(receiver);
    // A tail without line end is dropped, never joined to the next datagram ("partialdisco"
    // would be a well-formed word).
    for (const char* datagram : {"disco\nls\n", "partial", "disco\n", "\n", "Bad\n", "@ls {\"a\":1}\nmore", "end\n"}) {
        Send(datagram, to);
    }
    ASSERT_TRUE(Delivered("end"));
    EXPECT_THAT(sink.Commands(), ElementsAre("disco", "disco", "@ls", "end"));
    EXPECT_EQ(sink.received[2].json, "{\"a\":1}");
    EXPECT_EQ(sink.received[0].sender, sender.local_endpoint());
    EXPECT_TRUE(log.Contains("UDPS ZK7315I UDP read 8 bytes on lan at 127.0.0.1 from 127.0.0.1 (disco\nls...)"));
    // The lone line end reaches the parser (which rejects it) but is too short to log.
    EXPECT_EQ(log.Count("ZK7315I UDP read 0 bytes"), 0u);
    EXPECT_EQ(log.Count("ZK5105E"), 2u);
}

TEST_F(UdpLoopback, OwnEchoesSwitchedOffReceptionAndNoSinkDropDatagrams) {
    ZelkorTest::LogCapture log;
    auto receiver = Bound("127.0.0.1");
    const auto to = Actual(receiver);

    sink.listeners.insert({sender.local_endpoint().address(), sender.local_endpoint().port()});
    Send("echo\n", to);
    Drain(receiver);
    sink.listeners.clear();

    for (auto flag : {&UdpSocket::broadcastUdp, &UdpSocket::subnetUdp}) {
        (*receiver.*flag) = false;
        Send("off\n", to);
        Drain(receiver);
        (*receiver.*flag) = true;
    }

    receiver->SetSink(nullptr);
    Send("nosink\n", to);
    Drain(receiver);
    EXPECT_TRUE(log.Contains("UDPS ZK7314E A UdpSocket has no driver"));
    receiver->SetSink(&sink);

    Send("on\n", to);
    ASSERT_TRUE(Delivered("on"));
    EXPECT_THAT(sink.Commands(), ElementsAre("on"));
}

TEST_F(UdpLoopback, DestinationsAndRefusalsTable) {
    ZelkorTest::LogCapture log;
    const auto all = make_address("255.255.255.255");
    auto v4 = Bound("127.0.0.1");
    auto v6 = Bound("::1");
    auto any = Bound("0.0.0.0");
    auto quiet = Bound("127.0.0.1");
    quiet->localhostBroadcast = false;
    auto closed = Bound("127.0.0.1");
    closed->Close();
    EXPECT_TRUE(closed->IsFinalized());
    // The group ff12::1 would otherwise leave through the host's own network interface:
    // pinned to the loopback interface, which takes no multicast, the send fails inside
    // the host. What the socket chose shows in its traffic report all the same.
    v6->GetBasicSocket().set_option(boost::asio::ip::multicast::outbound_interface(if_nametoindex("lo")));

    // Before a subnet is known only the limited broadcast can be named.
    v4->SendMulticastMessage("disco\n", all, 4197, false, true);
    EXPECT_THAT(Destinations(), ElementsAre());
    EXPECT_FALSE(closed->SocketIsOpen());
    // The pending receive ended with the close and was not armed again.
    EXPECT_EQ(closed.use_count(), 1);

    v4->SetSubnet(make_address("255.0.0.0"));
    any->SetSubnet(make_address("255.255.255.0"));
    Poll();
    EXPECT_EQ(v4->SubnetBroadcast(), make_address("127.255.255.255"));
    // The any-address has no subnet: no "0.0.0.255" is made up.
    EXPECT_TRUE(any->SubnetBroadcast().is_unspecified());
    EXPECT_EQ(any->SubnetMask(), make_address("255.255.255.0"));

    enum How { To, Limited, Subnet, Both, Neither };
    struct Case {
        std::shared_ptr<UdpSocket> socket;
        const char* destination;
        How how;
        std::vector<std::string> sent;
        const char* refused;  // the line logged instead of a send
    };
    const std::vector<Case> cases = {
        {v4, "255.255.255.255", Both, {"127.255.255.255", "255.255.255.255"}, nullptr},
        {v4, "255.255.255.255", Limited, {"255.255.255.255"}, nullptr},
        {v4, "255.255.255.255", Subnet, {"127.255.255.255"}, nullptr},
        {v4, "255.255.255.255", Neither, {}, nullptr},
        {v4, "127.0.0.9", Neither, {"127.0.0.9"}, nullptr},
        {any, "255.255.255.255", Subnet, {}, nullptr},
        {v6, "255.255.255.255", Neither, {"ff12::1"}, nullptr},
        {v6, "::1", Both, {"::1"}, nullptr},
        {v4, "::1", To, {}, "UDPS ZK7323W Cannot send to IPv6 from IPv4"},
        {v6, "127.0.0.1", To, {}, "UDPS ZK7322W Cannot send to IPv4 from IPv6"},
        {quiet, "255.255.255.255", To, {}, "UDPS ZK7334I Broadcast from localhost is disabled"},
        {closed, "127.0.0.1", To, {}, "UDPS ZK7321I UdpSocket is finalized"},
        {closed, "127.0.0.1", Both, {}, "UDPS ZK7327I UdpSocket is finalized"},
    };
    for (const auto& c : cases) {
        sink.traffic.clear();
        if (c.how == To) {
            c.socket->SendDataTo("disco\n", make_address(c.destination), 4197);
        } else {
            c.socket->SendMulticastMessage("disco\n", make_address(c.destination), 4197,
                                           c.how == Both || c.how == Limited, c.how == Both || c.how == Subnet);
        }
        EXPECT_EQ(Destinations(), c.sent) << c.destination << " " << c.how;
        if (c.refused) {
            EXPECT_TRUE(log.Contains(c.refused)) << c.refused;
        }
    }
    const std::string wrote = "UDPS ZK7326I UDP wrote 5 bytes on lan to 127.0.0.9 (disco...)";
    EXPECT_TRUE(ZelkorTest::RunUntil(io, [&] { return log.Contains(wrote); }));
}

TEST_F(UdpLoopback, InterfaceTieThatCannotBeMadeFailsTheBind) {
    auto socket = std::make_shared<UdpSocket>(io, 0);
    EXPECT_FALSE(socket->BindTo(make_address("127.0.0.1"), 0, "no-such-if0"));
    EXPECT_TRUE(socket->SocketIsOpen());
    EXPECT_EQ(socket->GetLocalPort(), 0);

    Bound("127.0.0.1", "lo");
}

TEST_F(UdpLoopback, CallsFromAnotherThreadRunOnTheLoopInTheirOrder) {
    ZelkorTest::LogCapture log;
    udp::socket peer(io, udp::endpoint(make_address("127.0.0.1"), 0));
    const auto to = peer.local_endpoint();
    auto socket = Bound("127.0.0.1");
    const auto local = Actual(socket);

    std::thread::id loopThread;
    auto work = boost::asio::make_work_guard(io);
    std::thread loop([&] {
        loopThread = std::this_thread::get_id();
        io.run_for(std::chrono::seconds(10));
    });
    socket->SetSubnet(make_address("255.0.0.0"));
    socket->SendDataTo("first\n", to.address(), to.port());
    socket->SendMulticastMessage("second\n", to.address(), to.port(), true, true);
    // Both sends were asked for before the close and go out; this one comes too late.
    socket->Close();
    socket->SendDataTo("late\n", to.address(), to.port());
    work.reset();
    loop.join();

    EXPECT_TRUE(log.Contains("UDPS ZK7321I UdpSocket is finalized"));
    EXPECT_FALSE(socket->SocketIsOpen());
    EXPECT_EQ(socket->SubnetBroadcast(), make_address("127.255.255.255"));
    ASSERT_EQ(sink.traffic.size(), 2u);
    for (const auto& t : sink.traffic) {
        EXPECT_EQ(t.thread, loopThread);
        EXPECT_FALSE(t.incoming);
        EXPECT_EQ(t.remote, to);
    }
    peer.non_blocking(true);
    std::vector<std::string> heard;
    char buffer[64];
    boost::system::error_code error;
    udp::endpoint from;
    for (std::size_t bytes; (bytes = peer.receive_from(boost::asio::buffer(buffer), from, 0, error)), !error;) {
        heard.emplace_back(buffer, bytes);
        EXPECT_EQ(from, local);
    }
    EXPECT_THAT(heard, ElementsAre("first\n", "second\n"));
}
