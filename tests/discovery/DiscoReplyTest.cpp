// Discovery answered and taken over real sockets: a node listening in network namespace
// "a", asked and answered by raw UDP and TCP peers in namespace "b" across a veth pair.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>

#include <boost/asio/ip/udp.hpp>

#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "discovery/Disco.h"
#include "discovery/DiscoveryTestSupport.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::udp;
using Strings = std::vector<std::string>;

const std::string G1 = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
const std::string G2 = "1c4f0e2d-3b5a-4d7f-9e1c-2a3b4c5d6e7f";
const std::string G3 = "2d5a1f3e-4c6b-4e8a-8f2d-3b4c5d6e7f80";
const std::string G4 = "3e6b2a4f-5d7c-4f9b-9a3e-4c5d6e7f8091";

std::string Reply(const std::string& guid, const std::string& name, const std::string& more = "") {
    return R"(@disco {"classname":"amplifier","guid":")" + guid + R"(","ip":"10.77.0.2","name":")" + name +
           R"(","port":4300)" + more + "}\n";
}

// A reply in the name of `guid` that says the device is at `ip`:`port`.
std::string Claim(const std::string& guid, const std::string& ip, unsigned port, const std::string& more = "") {
    return R"(@disco {"classname":"amplifier","guid":")" + guid + R"(","ip":")" + ip + R"(","name":"amp","port":)" +
           std::to_string(port) + more + "}\n";
}

// A UDP socket of namespace "b", bound to B1's address (or another one B1 holds).
class BSocket {
public:
    BSocket(const VethPair& pair, unsigned short port, const char* address = VethPair::AddressB) {
        EXPECT_TRUE(pair.b.Run([&] {
            _socket.open(udp::v4());
            _socket.bind({make_address(address), port});
        }));
    }
    void Send(const std::string& text, unsigned short to = 4197) {
        boost::system::error_code error;
        WaitUntil([&] {
            _socket.send_to(boost::asio::buffer(text), udp::endpoint(make_address(VethPair::AddressA), to), 0, error);
            return error != boost::asio::error::network_unreachable;
        });
    }
    // The next datagram and the port it came from; "" when none came in time.
    std::string Next(unsigned short* from = nullptr, std::chrono::milliseconds deadline = 3s) {
        std::array<char, 65536> data{};
        udp::endpoint sender;
        std::size_t count = 0;
        bool done = false;
        _socket.async_receive_from(boost::asio::buffer(data), sender,
                                   [&](boost::system::error_code error, std::size_t n) {
                                       done = !error;
                                       count = n;
                                   });
        _io.restart();
        _io.run_for(deadline);
        if (!done) {
            _socket.cancel();
            _io.restart();
            _io.run();
        }
        if (from) {
            *from = sender.port();
        }
        return done ? std::string(data.data(), count) : std::string();
    }

private:
    boost::asio::io_context _io;
    udp::socket _socket{_io};
};

class DiscoReply : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        ZelkorLog::TheLog().SetLevel(5);
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        node = harness.driver->GetDiscovery();
        node->SetClock([this] { return clock.load(); });
        node->OnListChange([this](std::shared_ptr<Zelkor::IDevice> device, Zelkor::DeviceNetState state) {
            std::lock_guard<std::mutex> lock(_mutex);
            _heard.push_back(device->GetDiscoInfo().name + ":" + std::to_string(state));
        });
        ASSERT_TRUE(pair.a.Run([&] {
            ASSERT_EQ(harness.driver->AddListener(VethPair::AddressA, 4197), 0);
            harness.Start(VethPair::AddressA);
        }));
    }
    Strings Heard() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _heard;
    }
    bool Known(const std::string& guid) { return node->GetDeviceImplByUUID(guid) != nullptr; }
    std::shared_ptr<Zelkor::TcpSocket> Join(RawPeer& peer) {
        EXPECT_TRUE(pair.b.Run([&] { peer.Socket().open(boost::asio::ip::tcp::v4()); }));
        auto connection = harness.Connect(peer);
        EXPECT_TRUE(connection && harness.OnLoop([&] { node->AdmitIncomingConnection(connection); }));
        return connection;
    }
    // The next line that is not a keep-alive request of the node's timer.
    static std::string NextLine(RawPeer& peer, std::chrono::milliseconds deadline = 5s) {
        std::string line;
        do {
            line = peer.ReadLine(deadline);
        } while (line.rfind("disco ", 0) == 0);
        return line;
    }

    LogCapture log;
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    std::atomic<std::int64_t> clock{1000};
    // Before the harness: the loop may use them until the harness has stopped it.
    std::mutex _mutex;
    Strings _heard;
    VethPair pair;
    DriverHarness harness;
    Zelkor::DiscoveryService* node = nullptr;
};

TEST_F(DiscoReply, UdpRequestsAnsweredOnTheirReplyPortOnlyWhenItIsOne) {
    BSocket plain(pair, 4197);
    BSocket asker(pair, 5000);
    plain.Send(R"(disco {"params":["name","protocolversion","nonsense",7]})" "\n");
    unsigned short from = 0;
    EXPECT_EQ(plain.Next(&from),
              R"(@disco {"name":")" + node->InstanceName() + R"(","protocolversion":"1.16.1.26"})" "\n");
    EXPECT_EQ(from, 4197);

    for (const std::string port : {"5000.5", "0", "70000", "true"}) {
        asker.Send(R"(disco {"params":["name"],"replyport":)" + port + "}\n");
    }
    asker.Send(R"(disco {"params":["protocolversion"],"replyport":5000})" "\n");
    asker.Send(R"(disco {"replyport":"5000"})" "\n");
    EXPECT_EQ(asker.Next(), "@disco {\"protocolversion\":\"1.16.1.26\"}\n");
    EXPECT_EQ(asker.Next(), "@disco {}\n");
    EXPECT_EQ(asker.Next(nullptr, 300ms), "");
    EXPECT_EQ(log.Count("ZK2042E Reply port error"), 4u);

    node->ReplyDiscos(false);
    plain.Send("disco {}\n");
    EXPECT_EQ(plain.Next(nullptr, 300ms), "");
}

// Two controllers on reply ports other than the protocol port would answer each other's
// requests with their own for ever.
TEST_F(DiscoReply, ControllerSendsItsOwnRequestToAnAskerOncePerInterval) {
    ASSERT_TRUE(node->SetMode("controller"));
    BSocket asker(pair, 5000);
    BSocket other(pair, 5001);
    const std::string own = node->BuildDiscoRequest();
    const std::string answer = "@disco {\"protocolversion\":\"1.16.1.26\"}\n";
    const auto ask = [](unsigned short port) {
        return R"(disco {"params":["protocolversion"],"replyport":)" + std::to_string(port) + "}\n";
    };
    asker.Send(ask(5000));
    EXPECT_EQ(asker.Next(), own);
    EXPECT_EQ(asker.Next(), answer);
    asker.Send(ask(5000));
    EXPECT_EQ(asker.Next(), answer);
    other.Send(ask(5001));
    EXPECT_EQ(other.Next(), own);
    EXPECT_EQ(other.Next(), answer);
    clock += static_cast<std::int64_t>(node->DiscoIntervalSeconds());
    asker.Send(ask(5000));
    EXPECT_EQ(asker.Next(), own);
    EXPECT_EQ(asker.Next(), answer);
    EXPECT_EQ(asker.Next(nullptr, 300ms), "");
}

TEST_F(DiscoReply, UdpRepliesRefusedKeyedAndNotifiedOnChangeOnly) {
    BSocket peer(pair, 4197);
    peer.Send(Reply(node->GUID(), "self"));
    // Names that would bend routing headers or lines.
    for (const std::string name : {"a/b", R"(a\nb)", R"(a\u0001b)", R"(a\u007fb)"}) {
        peer.Send(Reply(G1, name));
    }
    peer.Send(R"(@disco {"classname":"","guid":")" + G1 + R"(","ip":"10.77.0.2","name":"amp","port":4300})" "\n");
    // Braced upper case and plain lower case are one device; "ipv4" stands in for "ip",
    // but the device is placed where the datagram came from.
    const std::string body = R"("classname":"amplifier","ipv4":"10.77.0.9","name":"amp","port":4300)";
    peer.Send(R"(@disco {"guid":"{0B3E9D1C-2A4F-4C6E-8D0B-1F2E3D4C5B6A}",)" + body + "}\n");
    ASSERT_TRUE(WaitUntil([&] { return Known(G1); }));
    EXPECT_EQ(log.Count("ZK2014I Ignoring disco reply with our GUID"), 1u);
    EXPECT_EQ(log.Count("ZK2017I Invalid name characters in disco reply from"), 4u);
    EXPECT_EQ(log.Count("ZK2019I Empty classname"), 1u);
    EXPECT_EQ(node->GetDeviceImplByUUID(G1)->GetDiscoInfo().ip, VethPair::AddressB);

    peer.Send(R"(@disco {"guid":")" + G1 + "\"," + body + "}\n");
    peer.Send(R"(@disco {"guid":")" + G1 + "\"," + body + R"(,"label":"stage"})" "\n");
    ASSERT_TRUE(WaitUntil([&] { return Heard().size() >= 2; }));
    EXPECT_FALSE(WaitUntil([&] { return Heard().size() > 2; }, 300ms));
    EXPECT_EQ(Heard(), (Strings{"amp:1", "amp:2"}));
    EXPECT_EQ(node->TableSizes()["devicesByGuid"], 1u);
}

TEST_F(DiscoReply, DeviceCapHoldsForNewGuidsAndRenamesMoveTheGuid) {
    node->SetMaxDevices(2);
    BSocket peer(pair, 4197);
    const std::string mixer =
        R"(@disco {"classname":"dsp","guid":")" + G2 + R"(","ip":"10.77.0.2","name":"mixer","port":4301})" "\n";
    peer.Send(Reply(G1, "amp"));
    peer.Send(mixer);
    // Heard again in the next discovery round, neither is given up for a newcomer.
    ASSERT_TRUE(WaitUntil([&] { return Known(G2); }));
    clock = 1030;
    ASSERT_TRUE(harness.OnLoop([&] { node->OnTimer(); }));
    peer.Send(Reply(G1, "amp"));
    peer.Send(mixer);
    peer.Send(Reply(G3, "fx"));
    peer.Send(Reply(G4, "fx2"));
    // Known devices still update: renamed and reclassed, the GUID leaves its old sets.
    peer.Send(R"(@disco {"classname":"mixer","guid":")" + G1 + R"(","ip":"10.77.0.2","name":"amp2","port":4300})" "\n");
    ASSERT_TRUE(WaitUntil([&] { return node->GetDeviceImplByName("amp2") != nullptr; }));
    EXPECT_TRUE(Known(G2));
    EXPECT_FALSE(Known(G3) || Known(G4));
    EXPECT_EQ(log.Count("ZK20D7W"), 1u);
    EXPECT_EQ(node->GetDeviceImplByName("amp"), nullptr);
    EXPECT_EQ(node->TableSizes()["guidsByName"], 2u);
    EXPECT_EQ(node->TableSizes()["guidsByClassName"], 2u);

    // An inbound connection naming a new GUID is capped as well.
    RawPeer tcp;
    Join(tcp);
    tcp.Send(Reply(G3, "fx"));
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("ZK2024I Adding the already connected end point"); }));
    EXPECT_FALSE(Known(G3));
    EXPECT_EQ(log.Count("ZK20D7W"), 1u);

    ASSERT_TRUE(harness.OnLoop([&] { node->EraseDevice(G1); }));
    EXPECT_EQ(node->TableSizes()["guidsByName"], 1u);
    EXPECT_EQ(node->TableSizes()["guidsByClassName"], 1u);
}

TEST_F(DiscoReply, TcpRequestsAnsweredAndRepliesBindTheirConnection) {
    RawPeer peer;
    Join(peer);
    // Asked twice with one hash: the same answer both times.
    for (int i = 0; i < 2; ++i) {
        peer.Send("12-abcd disco {\"params\":[\"protocolversion\"]}\n");
        EXPECT_EQ(NextLine(peer), "12-abcd @disco {\"protocolversion\":\"1.16.1.26\"}\n");
    }
    peer.Send("disco\n");
    EXPECT_EQ(NextLine(peer), "@disco\n");

    // Through a router nothing is added; directly, the device adopts the connection.
    peer.Send("[" + node->InstanceName() + "][far&rtr] " + Reply(G1, "far"));
    peer.Send(Reply(G2, "near"));
    ASSERT_TRUE(WaitUntil([&] { return Known(G2); }));
    EXPECT_FALSE(Known(G1));
    const auto near = node->GetDeviceImplByUUID(G2);
    EXPECT_TRUE(WaitUntil([&] { return near->GetCurrentState() == Zelkor::DeviceNetStateConnected; }));

    peer.Send(Reply(G3, "imposter"));
    EXPECT_EQ(NextLine(peer), "goodbye {\"reason\":\"guidchanged\"}\n");
    EXPECT_TRUE(peer.WaitClosed());
    EXPECT_FALSE(Known(G3));
    EXPECT_EQ(log.Count("ZK2023W GUID (" + G3 + ") from device (imposter)"), 1u);

    RawPeer failing;
    Join(failing);
    // A router's refusal of a disco for a node beyond it leaves the router's connection be.
    failing.Send("[" + node->InstanceName() + "][far&rtr] @disco {\"error\":\"Device not connected\"}\n");
    failing.Send("disco\n");
    EXPECT_EQ(NextLine(failing), "@disco\n");
    failing.Send("@disco {\"error\":\"overloaded\"}\n");
    EXPECT_EQ(NextLine(failing), "goodbye {\"reason\":\"keepaliveerror\"}\n");
    EXPECT_TRUE(failing.WaitClosed());
}

// Replies never re-key a device that has its GUID, nor take over a connection another
// device owns: each would leave entries behind that no erase finds.
TEST_F(DiscoReply, AGuidNeverTakesOverAnotherDevicesKeyOrConnection) {
    const auto known = MakeDevice(harness.driver.get(), G1, "amp", VethPair::AddressB);
    ASSERT_TRUE(harness.OnLoop([&] { node->enterDevice(known, Zelkor::DiscoveryService::AllTables); }));
    BSocket udpPeer(pair, 4197);
    udpPeer.Send(Reply(G3, "other"));
    ASSERT_TRUE(WaitUntil([&] { return Known(G3); }));
    EXPECT_EQ(known->GuidKey(), G1);
    EXPECT_NE(node->GetDeviceImplByUUID(G3), known);

    RawPeer peer;
    const auto connection = Join(peer);
    peer.Send(Reply(G2, "near"));
    ASSERT_TRUE(WaitUntil([&] { return Known(G2); }));
    const auto near = node->GetDeviceImplByUUID(G2);
    // A known device's reply forwarded by the connection's owner leaves the owner in place.
    peer.Send("[" + node->InstanceName() + "][amp&near] " + Reply(G1, "amp"));
    peer.Send("disco\n");
    EXPECT_EQ(NextLine(peer), "@disco\n");
    EXPECT_EQ(node->GetDeviceImplBySocket(connection), near);
    // Directly, a known device's reply on another device's connection is refused.
    peer.Send(Reply(G1, "amp"));
    EXPECT_EQ(NextLine(peer), "goodbye {\"reason\":\"guidchanged\"}\n");
    EXPECT_TRUE(peer.WaitClosed());
}

// A unit that connected here, restarted with a new GUID and connecting again with the
// same endpoint once this node's dials of the old one have gone unanswered for the time a
// device in use takes to move, gets a record of its own that holds its new connection and
// the endpoint; the old record keeps its GUID. Connecting again under the GUID it has now,
// the unit is reached on its newest connection.
TEST_F(DiscoReply, AUnitThatConnectsAgainIsReachedOnItsNewConnection) {
    const auto connectAs = [&](RawPeer& peer, const std::string& guid) {
        const auto connection = Join(peer);
        peer.Send(Reply(guid, "amp"));
        return connection;
    };
    const auto holds = [](const std::shared_ptr<Zelkor::DeviceImpl>& device,
                          const std::shared_ptr<Zelkor::TcpSocket>& connection) {
        return device && device->HasHandle(Zelkor::ZelkorDriver::HandleOf(connection.get()));
    };
    RawPeer first;
    const auto firstConnection = connectAs(first, G1);
    ASSERT_TRUE(WaitUntil([&] { return holds(node->GetDeviceImplByUUID(G1), firstConnection); }));
    const auto old = node->GetDeviceImplByUUID(G1);
    first.Close();
    ASSERT_TRUE(WaitUntil([&] { return !old->IsDirectlyConnected(); }));
    old->Connect(false);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("ZK6612W Socket error is "); }));
    clock += Zelkor::DiscoveryService::MoveWhenUnreachedFor.count();

    RawPeer restarted;
    const auto restartedConnection = connectAs(restarted, G2);
    ASSERT_TRUE(WaitUntil([&] { return holds(node->GetDeviceImplByUUID(G2), restartedConnection); }));
    const auto renewed = node->GetDeviceImplByUUID(G2);
    EXPECT_NE(renewed, old);
    EXPECT_EQ(old->GuidKey(), G1);
    EXPECT_EQ(node->GetDeviceImplByIPAndPort(make_address(VethPair::AddressB), 4300), renewed);

    restarted.Close();
    ASSERT_TRUE(WaitUntil([&] { return !renewed->IsDirectlyConnected(); }));
    RawPeer again;
    const auto againConnection = connectAs(again, G2);
    // The connection is taken before the state changes: both are awaited.
    EXPECT_TRUE(WaitUntil([&] {
        return holds(renewed, againConnection) && renewed->GetCurrentState() == Zelkor::DeviceNetStateConnected;
    }));
}

// A unit restarted at a record's endpoint under a new GUID, heard over UDP, connects here
// while this node's dial of the old record has connected but not answered yet. That dial
// holds no name against the unit's own connection, which the new record takes; answered
// by the same unit, the dial then tells that the old record is not there, and is closed.
// Before, the unit's connection was refused the name, and the dial passed to the new
// record in its place.
TEST_F(DiscoReply, ADialOfARestartedUnitsPredecessorTakesNothingFromItsOwnConnection) {
    ASSERT_TRUE(node->SetMode("router"));
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor endpoint(io);
    ASSERT_TRUE(pair.b.Run([&] {
        endpoint.open(boost::asio::ip::tcp::v4());
        endpoint.bind({make_address(VethPair::AddressB), 4197});
        endpoint.listen();
    }));
    endpoint.non_blocking(true);
    const std::string answer = Claim(G2, VethPair::AddressB, 4197);
    BSocket heard(pair, 4197);
    heard.Send(answer);
    ASSERT_TRUE(WaitUntil([&] { return Known(G2); }));
    const auto old = MakeDevice(harness.driver.get(), G1, "amp", VethPair::AddressB);
    ASSERT_TRUE(harness.OnLoop([&] {
        node->enterDevice(old, Zelkor::DiscoveryService::AllTables);
        old->AddRemoteInfo({"", {make_address(VethPair::AddressB), 4197}});
        old->Connect(false);
    }));
    RawPeer dial;
    boost::system::error_code error;
    ASSERT_TRUE(WaitUntil([&] {
        endpoint.accept(dial.Socket(), error);
        return !error;
    }));
    EXPECT_EQ(dial.ReadLine().rfind("disco ", 0), 0u);

    RawPeer own;
    const auto ownConnection = Join(own);
    const auto heldByNew = [&] {
        return node->GetDeviceImplByUUID(G2)->HasHandle(Zelkor::ZelkorDriver::HandleOf(ownConnection.get()));
    };
    own.Send(answer);
    ASSERT_TRUE(WaitUntil([&] { return heldByNew() || log.Contains("ZK20CCW"); }));
    EXPECT_TRUE(heldByNew());
    dial.Send(answer);
    EXPECT_TRUE(dial.WaitClosed());
    EXPECT_FALSE(old->IsDirectlyConnected());
    EXPECT_TRUE(heldByNew());
    EXPECT_EQ(node->GetDeviceImplByUUID(G2)->Connections().size(), 1u);
}

// A reply places a device where it came from, whatever its body says. A device not in
// use follows its replies; one in use is not moved by a reply from elsewhere until this
// node's own attempts to reach it have failed for the stated time, and each refusal is
// logged once per device and endpoint, however often it comes.
TEST_F(DiscoReply, ADeviceInUseMovesOnlyOnceThisNodeCannotReachIt) {
    const std::string stranger = "10.77.0.3";
    ASSERT_TRUE(pair.b.Ip("addr add " + stranger + "/24 dev " + pair.b1));
    BSocket own(pair, 4197);
    BSocket impostor(pair, 4197, stranger.c_str());
    using Endpoint = Zelkor::DiscoveryService::Endpoint;
    const Endpoint real{make_address(VethPair::AddressB), 4300};
    const Endpoint claimed{make_address(stranger), 4300};
    own.Send(Claim(G1, "10.77.0.9", 4300));
    ASSERT_TRUE(WaitUntil([&] { return Known(G1); }));
    const auto amp = node->GetDeviceImplByUUID(G1);
    EXPECT_EQ(amp->Endpoint(), real);
    impostor.Send(Claim(G1, stranger, 4300));
    EXPECT_TRUE(WaitUntil([&] { return amp->Endpoint() == claimed; }));
    own.Send(Claim(G1, VethPair::AddressB, 4300));
    // The endpoint changes before the ways in the loop's handling: wait for both.
    ASSERT_TRUE(WaitUntil([&] { return amp->Endpoint() == real && !amp->HasRemote(claimed); }));

    // Kept connected: the stranger's replies are refused, its own still taken.
    amp->WantsConnections(true);
    node->WantsConnections(G1, true);
    const std::string refusal = "ZK20D0W Device " + G1 + " (amp) is in use at 10.77.0.2:4300";
    const auto refused = [&](std::size_t count) { return WaitUntil([&] { return log.Count(refusal) == count; }); };
    impostor.Send(Claim(G1, stranger, 4300));
    impostor.Send(Claim(G1, stranger, 4300));
    impostor.Send(Claim(G1, stranger, 4301));
    ASSERT_TRUE(refused(2));
    EXPECT_EQ(log.Count("a reply from 10.77.0.3:4300 in its name is refused"), 1u);
    own.Send(Claim(G1, VethPair::AddressB, 4300, R"(,"label":"stage")"));
    ASSERT_TRUE(WaitUntil([&] { return amp->GetDiscoInfo().label == "stage"; }));
    EXPECT_EQ(amp->Endpoint(), real);

    // This node's own dial (nothing listens there) leaves it unreached, for less than the
    // stated time, then for that time.
    amp->Connect(false);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("ZK6612W Socket error is "); }));
    EXPECT_EQ(amp->UnreachedSince(), 1000);
    clock = 1000 + Zelkor::DiscoveryService::MoveWhenUnreachedFor.count() - 1;
    impostor.Send(Claim(G1, stranger, 4300));
    impostor.Send(Claim(G1, stranger, 4302));
    ASSERT_TRUE(refused(3));
    EXPECT_EQ(amp->Endpoint(), real);
    ++clock;
    impostor.Send(Claim(G1, stranger, 4300));
    EXPECT_TRUE(WaitUntil(
        [&] { return amp->Endpoint() == claimed && !amp->HasRemote(real) && amp->HasRemote(claimed); }));
    EXPECT_TRUE(log.Contains("ZK20D1I Device " + G1 + " (amp), unreached at 10.77.0.2:4300, moves to 10.77.0.3:4300"));
}

// A peer that connected here is where it is, whatever it claims; it moves no device in
// use, nor takes its name for its connection. A reply through a router says nothing of
// where the device is: it gives the device no way of its own.
TEST_F(DiscoReply, NoConnectionMovesADeviceInUseAndARoutedReplyGivesNoWay) {
    BSocket own(pair, 4197);
    own.Send(Claim(G2, VethPair::AddressB, 4300));
    ASSERT_TRUE(WaitUntil([&] { return Known(G2); }));
    const auto amp = node->GetDeviceImplByUUID(G2);
    amp->WantsConnections(true);
    node->WantsConnections(G2, true);

    RawPeer peer;
    ASSERT_TRUE(pair.b.Ip("addr add 10.77.0.3/24 dev " + pair.b1));
    ASSERT_TRUE(pair.b.Run([&] {
        peer.Socket().open(boost::asio::ip::tcp::v4());
        peer.Socket().bind({make_address("10.77.0.3"), 0});
    }));
    const auto connection = harness.Connect(peer);
    ASSERT_TRUE(connection && harness.OnLoop([&] { node->AdmitIncomingConnection(connection); }));
    peer.Send(Claim(G2, "10.77.0.3", 4300));
    const auto far = MakeDevice(harness.driver.get(), G3, "far");
    ASSERT_TRUE(harness.OnLoop([&] { node->enterDevice(far, Zelkor::DiscoveryService::AllTables); }));
    peer.Send("[" + node->InstanceName() + "][far&rtr] " + Claim(G3, "10.77.0.3", 4300));
    peer.Send("disco\n");
    EXPECT_EQ(NextLine(peer), "@disco\n");
    EXPECT_EQ(log.Count("ZK20D0W Device " + G2 + " (amp) is in use at 10.77.0.2:4300: a reply from 10.77.0.3:4300"),
              1u);
    EXPECT_EQ(amp->GetDiscoInfo().ip, VethPair::AddressB);
    EXPECT_EQ(node->GetDeviceImplBySocket(connection), nullptr);
    EXPECT_EQ(far->RemoteCount(), 0u);
    EXPECT_EQ(far->GetDiscoInfo().ip, "10.0.0.5");
}

TEST_F(DiscoReply, OtherWordsOverTcpGetTheErrorLineAndRepliesNothing) {
    RawPeer peer;
    const auto connection = Join(peer);
    const std::string own = node->InstanceName();
    const auto offer = [&](bool reply) {
        auto message = std::make_unique<Zelkor::SendDiscoMsg>();
        Zelkor::MessageForwardInfo header;
        header.PullHeader("7 [" + own + "][ctl] senddisco {}");
        message->SetMessageForwardInfo(header);
        message->SetIsReply(reply);
        Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                       std::move(message));
        node->SignalRaised(data);
    };
    ASSERT_TRUE(harness.OnLoop([&] {
        offer(true);
        offer(false);
    }));
    EXPECT_EQ(NextLine(peer), "7 [ctl][" + own + "] @senddisco {\"error\":\"Request not supported over TCP\"}\n");
    EXPECT_EQ(NextLine(peer, 300ms), "");
}

}  // namespace
}  // namespace ZelkorTest
