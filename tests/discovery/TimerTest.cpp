// The discovery timer on a fake clock, over the real service and real loopback
// connections: devices lost when their replies stop, requests timed out, static routes
// served, stale proxies dropped and the periodic discovery request, with every step
// surviving a failing one. The driver's loop runs on a thread of its own; the test runs
// the steps there, or lets the timer tick by itself.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <future>
#include <stdexcept>
#include <thread>

#include <boost/asio/post.hpp>

#include <boost/asio/ip/tcp.hpp>

#include "core/MessageForwardInfo.h"
#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "driver/Packet.h"
#include "services/ListCommandDiscovered.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"
#include "transport/TcpSocket.h"
#include "transport/UdpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::DeviceImpl;
using Zelkor::DiscoveryService;

const std::string G1 = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
const std::string G2 = "1c4f0e2d-3b5a-4d7f-9e1c-2a3b4c5d6e7f";
const std::string G3 = "2d5a1f3e-4c6b-4e8a-8f2d-3b4c5d6e7f80";
const std::string G4 = "3e6b2a4f-5d7c-4f9b-9a3e-4c5d6e7f8091";
const std::string G5 = "4f7c3b50-6e8d-4fac-8b4f-5d6e7f8091a2";
const std::string R1 = "a1b2c3d4-0000-4000-8000-000000000001";
const std::string R2 = "a1b2c3d4-0000-4000-8000-000000000002";
const std::string R3 = "a1b2c3d4-0000-4000-8000-000000000003";
const char* const kRoutes = "/configuration/network/routes";

// The sample tree plus static routes (set before the node runs); every read of the
// route count is counted and, when asked, throws.
class RouteTree : public Zelkor::JsonModel {
public:
    using JsonModel::GetValueForPath;
    using JsonModel::JsonModel;

    STATUS GetValueForPath(const char* path, const char* format, Json::Value& value) override {
        const std::string at = path ? path : "";
        if (at.rfind(kRoutes, 0) != 0) {
            return JsonModel::GetValueForPath(path, format, value);
        }
        const std::string member = at.substr(std::strlen(kRoutes));
        if (member == "/.size") {
            ++countReads;
            if (throwing) {
                throw std::runtime_error("storage failed");
            }
        }
        const auto found = routes.find(member);
        value = found == routes.end() ? Json::Value() : Json::Value(found->second);
        return found == routes.end() ? InvalidPath : PathOk;
    }

    // Members below the routes ("/.size", "/2/port") and their texts.
    std::map<std::string, std::string> routes;
    bool throwing = false;
    std::atomic<int> countReads{0};
};

class DiscoveryTimer : public ::testing::Test {
protected:
    DiscoveryTimer() {
        ZelkorLog::TheLog().SetLevel(5);
        harness.driver->InitDiscovery(tree);
        service = harness.driver->GetDiscovery();
        service->SetClock([this] { return clock.load(); });
    }

    // Runs the node and waits for the timer's first tick (it reads the route count).
    void Start() {
        harness.Start();
        ASSERT_TRUE(WaitUntil([&] { return tree->countReads > 0; }));
    }
    // The timer's steps once, on the loop, at `seconds` of the service's clock.
    void TickAt(std::int64_t seconds) {
        clock = seconds;
        ASSERT_TRUE(harness.OnLoop([this] { service->OnTimer(); }));
    }
    bool Known(const std::string& guid) { return service->GetDeviceImplByUUID(guid) != nullptr; }
    // The device's discovery reply, as a datagram the driver hands over on the loop.
    void HearUdp(const std::string& guid, const std::string& name) {
        ASSERT_TRUE(harness.OnLoop([&] {
            Zelkor::MessageForwardInfo header;
            header.PullHeader(R"(@disco {"classname":"amplifier","guid":")" + guid + R"(","ip":"10.0.0.5","name":")" + name +
                              R"(","port":4197})" "\n");
            Zelkor::Packet packet;
            packet.handle = Zelkor::ZelkorDriver::HandleOf(udp.get());
            packet.isReply = true;
            packet.header = &header;
            service->HandleDiscoReply(packet);
        }));
    }
    // The device of that GUID (made when unknown) holding the connection of `peer`.
    std::shared_ptr<DeviceImpl> Connected(RawPeer& peer, const std::string& guid, const std::string& name,
                                          std::shared_ptr<Zelkor::TcpSocket>* connection = nullptr) {
        const auto socket = harness.Connect(peer);
        EXPECT_TRUE(socket);
        auto device = service->GetDeviceImplByUUID(guid);
        if (!device) {
            device = MakeDevice(harness.driver.get(), guid, name);
        }
        EXPECT_TRUE(harness.OnLoop([&] {
            device->SetHandle(socket);
            service->enterDevice(device, DiscoveryService::AllTables);
            device->setCurrentState(Zelkor::DeviceNetStateConnected);
        }));
        if (connection) {
            *connection = socket;
        }
        return device;
    }

    LogCapture log;
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    // Before the harness: the loop reads them until the harness has stopped it.
    std::atomic<std::int64_t> clock{1000};
    std::shared_ptr<RouteTree> tree = std::make_shared<RouteTree>(SampleTree());
    DriverHarness harness;
    DiscoveryService* service = nullptr;
    std::shared_ptr<Zelkor::UdpSocket> udp = std::make_shared<Zelkor::UdpSocket>(harness.io, 4197);
};

TEST_F(DiscoveryTimer, DevicesSilentForSixtySecondsAreLostUnlessConnected) {
    Start();
    HearUdp(G1, "quiet");
    HearUdp(G2, "linked");
    HearUdp(G3, "chatty");
    RawPeer peer;
    const auto linked = Connected(peer, G2, "linked");
    clock = 1030;
    HearUdp(G3, "chatty");
    const auto quiet = service->GetDeviceImplByUUID(G1);
    ASSERT_TRUE(quiet);

    TickAt(1059);
    EXPECT_TRUE(Known(G1));
    TickAt(1060);
    EXPECT_FALSE(Known(G1));
    EXPECT_EQ(quiet->GetCurrentState(), Zelkor::DeviceNetStateLost);
    EXPECT_EQ(log.Count("ZK2051I Device lost " + G1 + " (quiet)"), 1u);
    // A later reply keeps a device, whatever its older ones say.
    EXPECT_TRUE(Known(G3));
    EXPECT_TRUE(Known(G2));
    EXPECT_EQ(linked->GetCurrentState(), Zelkor::DeviceNetStateConnected);

    TickAt(1090);
    EXPECT_FALSE(Known(G3));
    EXPECT_TRUE(Known(G2));
    EXPECT_EQ(log.Count("ZK2051I Device lost"), 2u);
}

// The request times are the service's own: the wall time the socket passes, a day off
// either way, neither delays nor hastens a time-out.
TEST_F(DiscoveryTimer, UnansweredRequestsMakeADeviceUnresponsiveThenDisconnectIt) {
    service->SetReplyTimeout(5000);
    Start();
    RawPeer peer;
    std::shared_ptr<Zelkor::TcpSocket> connection;
    const auto device = Connected(peer, G1, "amp", &connection);
    const auto state = [&] { return device->GetCurrentState(); };

    ASSERT_TRUE(harness.OnLoop([&] { harness.driver->SendDataToPeer(connection, "get {\"path\":\"/x\"}\n", true); }));
    std::string request = peer.ReadLine();
    ASSERT_NE(request.find("get "), std::string::npos) << request;
    TickAt(1004);
    EXPECT_EQ(state(), Zelkor::DeviceNetStateConnected);
    TickAt(1005);
    EXPECT_EQ(state(), Zelkor::DeviceNetStateUnresponsive);
    peer.Send(request.replace(request.find("get "), 4, "@get "));
    EXPECT_TRUE(WaitUntil([&] { return state() == Zelkor::DeviceNetStateConnected; }));

    const std::int64_t wall =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    clock = 1010;
    service->SetRequestTime(connection, wall + 86400);
    TickAt(1014);
    EXPECT_EQ(state(), Zelkor::DeviceNetStateConnected);
    TickAt(1015);
    EXPECT_EQ(state(), Zelkor::DeviceNetStateUnresponsive);
    service->ClearRequestTime(connection);
    EXPECT_EQ(state(), Zelkor::DeviceNetStateConnected);
    clock = 1020;
    service->SetRequestTime(connection, wall - 86400);
    TickAt(1020);
    EXPECT_EQ(state(), Zelkor::DeviceNetStateConnected);

    // A request left unanswered for the lock-step time-out closes the device's connection
    // as lost, as the timer ticks, but never while the device runs a script.
    service->SetLockStepTimeout(5000);
    device->IsRunningScript(true);
    ASSERT_TRUE(harness.OnLoop([&] { harness.driver->SendDataToPeer(connection, "get {\"path\":\"/y\"}\n", true); }));
    request = peer.ReadLine();
    ASSERT_NE(request.find("get "), std::string::npos) << request;
    EXPECT_FALSE(peer.WaitClosed(7s));
    device->IsRunningScript(false);
    EXPECT_TRUE(peer.WaitClosed(10s));
    EXPECT_TRUE(WaitUntil([&] { return state() == Zelkor::DeviceNetStateDisconnected; }));
    EXPECT_EQ(log.Count("ZK2043I Device lock-step timeout " + G1 + " (amp)"), 1u);
}

// A test's faster timer shortens the bounds on a peer's silence and handshake, and the
// ages after which a device is lost or a request given up, but never below 10 s, nor one
// already shorter at all: a loaded machine's slow handshake, line or reply is not taken
// for a stalled one. At the scale of one they are as they are.
TEST_F(DiscoveryTimer, TheTimerScaleShortensNoBoundOnAPeerBelowTenSeconds) {
    using namespace std::chrono_literals;
    using Service = Zelkor::DiscoveryService;
    EXPECT_EQ(service->ScaledBound(Service::HandshakeBound), 10s);
    EXPECT_EQ(service->ScaledBound(Service::FirstLineBound), 30s);
    EXPECT_EQ(service->ScaledBound(5s), 5s);
    service->SetTimerScale(2);
    EXPECT_EQ(service->ScaledBound(Service::UnfinishedLineBound), 15s);
    service->SetTimerScale(20);
    for (const auto bound : {Service::HandshakeBound, Service::FirstLineBound, Service::UnfinishedLineBound}) {
        EXPECT_EQ(service->ScaledBound(bound), Service::MinScaledBound) << bound.count();
    }
    EXPECT_EQ(service->ScaledBound(5s), 5s);
    EXPECT_EQ(service->ScaledBound(2000ms), 2000ms);
    // Ages on the timer's clock: 60 s of it last at least 10 s, 5 s of it 5 s; a test's
    // own clock keeps them as they are.
    service->SetClock(nullptr);
    EXPECT_EQ(service->ScaledAge(60), 200);
    EXPECT_EQ(service->ScaledAge(5), 100);
    service->SetTimerScale(1);
    EXPECT_EQ(service->ScaledAge(60), 60);
    service->SetTimerScale(20);
    service->SetClock([] { return std::int64_t{1000}; });
    EXPECT_EQ(service->ScaledAge(60), 60);
}

// A peer that does not answer a request of this node's within the lock-step time-out is
// taken as lost, whatever it sends meanwhile: its connection closes and its device goes
// Disconnected. A request the peer passes on to a node beyond it waits a time-out more. A
// peer whose long answer comes in at the pace is kept, as is one asked nothing, however
// quiet. Before, any byte counted as an answer: a peer that chatted was never lost, and
// one whose answer took work was lost for its silence.
TEST_F(DiscoveryTimer, APeerThatDoesNotAnswerWithinTheBoundIsTakenAsLost) {
    using namespace std::chrono_literals;
    service->SetLockStepTimeout(5000);
    EXPECT_EQ(service->AnswerBound(Zelkor::AnswerWait::Prompt, 0), 5s);
    // Beyond the peer, a router that keeps the default answers for the node behind it.
    EXPECT_EQ(service->AnswerBound(Zelkor::AnswerWait::Prompt, 1), 20s);
    EXPECT_EQ(service->AnswerBound(Zelkor::AnswerWait::Prompt, 0, true), 10s);
    EXPECT_EQ(service->AnswerBound(Zelkor::AnswerWait::Work, 0), 10min);
    Start();
    RawPeer quiet, chatty, silent, relaying, pacing;
    std::shared_ptr<Zelkor::TcpSocket> toChatty, toSilent, toRelaying, toPacing;
    const auto quietDevice = Connected(quiet, G1, "quiet");
    const auto chattyDevice = Connected(chatty, G2, "chatty", &toChatty);
    const auto silentDevice = Connected(silent, G3, "silent", &toSilent);
    Connected(relaying, G4, "relaying", &toRelaying);
    const auto pacingDevice = Connected(pacing, G5, "pacing", &toPacing);
    const auto ask = [&](const std::shared_ptr<Zelkor::TcpSocket>& connection, RawPeer& peer,
                         const std::string& route = "") {
        EXPECT_TRUE(harness.OnLoop([&] {
            harness.driver->SendDataToPeer(connection, route + "get {\"path\":\"/audio/gain\"}\n", true);
        }));
        return peer.ReadLine();
    };
    for (auto* asked : {&toChatty, &toSilent, &toPacing}) {
        RawPeer& peer = asked == &toChatty ? chatty : asked == &toSilent ? silent : pacing;
        ASSERT_NE(ask(*asked, peer).find("get "), std::string::npos);
    }
    ASSERT_NE(ask(toRelaying, relaying, "[relaying&amp][me] ").find("get "), std::string::npos);

    // The chatty peer sends a stray reply every 100 ms, the pacing one its answer at about
    // twice the pace, both for longer than the bound.
    const std::string answer = "@get {\"path\":\"/audio/gain\",\"value\":\"" + std::string(1200 * 1024, '1') + "\"}\n";
    const auto begun = std::chrono::steady_clock::now();
    std::size_t sent = 0;
    while (std::chrono::steady_clock::now() - begun < 8s) {
        chatty.Send("@cd {}\n");
        pacing.Send(answer.substr(sent, 12 * 1024));
        sent += 12 * 1024;
        std::this_thread::sleep_for(100ms);
    }
    pacing.Send(answer.substr(sent));
    for (RawPeer* lost : {&chatty, &silent}) {
        EXPECT_TRUE(lost->WaitClosed(5s));
    }
    EXPECT_FALSE(relaying.WaitClosed(1ms)) << "a request passed on waited no longer than one to its peer";
    EXPECT_TRUE(relaying.WaitClosed(15s));
    for (const auto& device : {chattyDevice, silentDevice}) {
        EXPECT_TRUE(WaitUntil([&] { return device->GetCurrentState() == Zelkor::DeviceNetStateDisconnected; }));
    }
    EXPECT_EQ(log.Count("ZK20F6W Answer not come within its bound, closing the connection as lost"), 3u);
    EXPECT_FALSE(pacing.WaitClosed(100ms));
    EXPECT_FALSE(quiet.WaitClosed(100ms));
    EXPECT_EQ(pacingDevice->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    EXPECT_EQ(quietDevice->GetCurrentState(), Zelkor::DeviceNetStateConnected);
}

TEST_F(DiscoveryTimer, ThrowingStorageReadsStopNeitherTheOtherStepsNorTheTicks) {
    tree->throwing = true;
    service->SetTimerScale(20);
    Start();
    HearUdp(G1, "quiet");
    // From here on the timer ticks by itself.
    clock = 1061;
    EXPECT_TRUE(WaitUntil([&] { return !Known(G1); }));
    const int reads = tree->countReads;
    EXPECT_EQ(reads, 2);
    clock = 1072;
    EXPECT_TRUE(WaitUntil([&] { return tree->countReads > reads; }));
    EXPECT_TRUE(log.Contains("storage failed"));
}

// The resets stop and restart the timer from the application's thread: the restart,
// posted after the stop, must leave it ticking.
TEST_F(DiscoveryTimer, TicksGoOnAfterAResetFromAnotherThread) {
    service->SetTimerScale(20);
    Start();
    // The loop is held while the reset asks for its stop and its start, so both wait on it.
    std::promise<void> release;
    auto held = release.get_future().share();
    boost::asio::post(harness.io, [held] { held.wait(); });
    service->ResetAllExcept(nullptr);
    release.set_value();
    for (const std::int64_t at : {1011, 1022, 1033}) {
        const int reads = tree->countReads;
        clock = at;
        EXPECT_TRUE(WaitUntil([&] { return tree->countReads > reads; })) << at;
    }
}

// An application callback run by the listen-state step throws: the same tick still
// forgets the lost device, and the ticks go on. The node listens in a network namespace
// of the test's own.
TEST_F(DiscoveryTimer, AThrowingListenStepStopsNeitherTheOtherStepsNorTheTicks) {
    NetNamespace space("timer");
    if (!space.Made()) {
        GTEST_SKIP() << "needs root and ip netns";
    }
    service->SetTimerScale(20);
    harness.driver->OnListenerRemoved([](const std::string&, unsigned short) {
        throw std::runtime_error("listener callback failed");
    });
    ASSERT_TRUE(space.Run([&] {
        ASSERT_EQ(harness.driver->AddListener("127.0.0.1", 4197), 0);
        harness.Start();
    }));
    ASSERT_TRUE(WaitUntil([&] { return tree->countReads > 0; }));
    HearUdp(G1, "quiet");
    ASSERT_TRUE(harness.driver->RemoveListener("127.0.0.1", 4197));
    const int reads = tree->countReads;
    clock = 1061;
    EXPECT_TRUE(WaitUntil([&] { return !Known(G1); }));
    EXPECT_EQ(log.Count("ZK20F4E Discovery timer step failed (listen)"), 1u);
    clock = 1072;
    EXPECT_TRUE(WaitUntil([&] { return tree->countReads > reads + 1; }));
}

TEST_F(DiscoveryTimer, StaticRoutesWithAPortAndAnAddressAreConnectedOnce) {
    using boost::asio::ip::tcp;
    boost::asio::io_context io;
    const auto loopback = boost::asio::ip::make_address("127.0.0.1");
    tcp::acceptor first(io, {loopback, 0});
    tcp::acceptor second(io, {loopback, 0});
    const std::string firstPort = std::to_string(first.local_endpoint().port());
    // Route 1 has no port, route 2 an "ip" that its "ipaddress" overrides, route 3 only
    // an "ip", route 4 a port out of range, route 5 no address.
    tree->routes = {{"/.size", "5"},
                    {"/1/ipaddress", "127.0.0.1"},
                    {"/2/ipaddress", "127.0.0.1"},
                    {"/2/ip", "127.0.0.9"},
                    {"/2/port", firstPort},
                    {"/3/ip", "127.0.0.1"},
                    {"/3/port", std::to_string(second.local_endpoint().port())},
                    {"/4/ipaddress", "127.0.0.1"},
                    {"/4/port", "70000"},
                    {"/5/ipaddress", "nowhere"},
                    {"/5/port", firstPort}};
    Start();
    const auto at = [&](tcp::acceptor& listener) {
        return service->GetDeviceImplByIPAndPort(loopback, listener.local_endpoint().port());
    };
    ASSERT_TRUE(WaitUntil([&] { return at(first) && at(second); }));
    const auto byAddress = at(first);
    const auto byIp = at(second);
    EXPECT_EQ(service->TableSizes()["deviceSet"], 2u);
    EXPECT_TRUE(WaitUntil([&] { return byAddress->IsDirectlyConnected() && byIp->IsDirectlyConnected(); }));

    // Served again ten seconds on: the connected route is left alone, the dropped one
    // reconnected.
    ASSERT_TRUE(harness.OnLoop([&] { byIp->Disconnect(false); }));
    ASSERT_TRUE(WaitUntil([&] { return !byIp->IsDirectlyConnected(); }));
    TickAt(1010);
    EXPECT_FALSE(byIp->IsDirectlyConnected());
    TickAt(1011);
    EXPECT_TRUE(WaitUntil([&] { return byIp->IsDirectlyConnected(); }));
    EXPECT_TRUE(byAddress->IsDirectlyConnected());
    EXPECT_EQ(service->TableSizes()["deviceSet"], 2u);
}

std::string Entry(const std::string& guid, const std::string& name) {
    return R"({"classname":"amplifier","guid":")" + guid + R"(","ip":"192.168.7.9","name":")" + name +
           R"(","port":4197})";
}

TEST_F(DiscoveryTimer, ProxiesOfRoutersGoneOrNoLongerRoutingAreDropped) {
    Start();
    const auto router = [&](const std::string& guid, const std::string& name, const std::string& endpoints) {
        const auto connection = std::make_shared<Zelkor::TcpSocket>(harness.io, harness.driver->GetSSLContext(), false);
        auto device = std::make_shared<DeviceImpl>(
            harness.driver.get(), Record(R"({"guid":")" + guid + R"(","name":")" + name +
                                         R"(","ip":"10.0.0.1","port":4197,"classname":"router","mode":"router"})"));
        EXPECT_TRUE(harness.OnLoop([&] {
            device->SetHandle(connection);
            service->enterDevice(device, DiscoveryService::AllTables);
            auto reply = std::make_unique<Zelkor::ListCommandDiscovered>();
            reply->SetIsReply(true);
            std::string error;
            ASSERT_TRUE(reply->FromNetworkFormat(false, "@list {\"endpoints\":[" + endpoints + "]}", error)) << error;
            Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                           std::move(reply));
            service->HandleListDiscoveredReply(data);
        }));
        return device;
    };
    const auto kept = router(R1, "r1", Entry(G1, "a"));
    // Held here, as an application may hold it: a weak proxy does not expire by itself.
    const auto gone = router(R2, "r2", Entry(G2, "b") + "," + Entry(G3, "c"));
    const auto demoted = router(R3, "r3", Entry(G4, "d"));
    ASSERT_EQ(service->TableSizes()["proxiedDevices"], 4u);
    const auto proxyOf = [&](const std::string& guid) { return service->GetDeviceImplByUUID(guid)->Proxy(); };
    ASSERT_EQ(proxyOf(G2), gone);

    ASSERT_TRUE(harness.OnLoop([&] {
        service->EraseDevice(R2);
        Zelkor::MessageForwardInfo header;
        header.PullHeader(R"(@disco {"classname":"router","guid":")" + R3 +
                          R"(","ip":"10.0.0.1","mode":"device","name":"r3","port":4197})" "\n");
        Zelkor::Packet packet;
        packet.header = &header;
        ASSERT_TRUE(demoted->updateFrom(packet, demoted->Endpoint()));
    }));
    TickAt(1011);
    EXPECT_EQ(service->TableSizes()["proxiedDevices"], 1u);
    EXPECT_EQ(proxyOf(G1), kept);
    EXPECT_EQ(proxyOf(G2), nullptr);
    EXPECT_EQ(proxyOf(G3), nullptr);
    EXPECT_EQ(proxyOf(G4), nullptr);
}

// A peer connects and answers as a router, listing devices: one router brings at most
// its bound of them, kept while it is connected, whatever their age; once it has gone they
// count as heard until then, and leave at the loss age from its loss, as devices heard by
// datagram do from their last reply. Before, they left at once, their last list being
// older than the loss age.
TEST_F(DiscoveryTimer, ARoutersDevicesAreBoundedAndLeaveOnceItHasGone) {
    // The router announces an endpoint where nothing listens: reconnects go nowhere else.
    unsigned short closed = 0;
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
        closed = probe.local_endpoint().port();
    }
    service->SetMaxProxiedPerRouter(2);
    Start();
    auto peer = std::make_unique<RawPeer>();
    ASSERT_TRUE(harness.Connect(*peer));
    peer->Send(R"(@disco {"classname":"router","guid":")" + R1 + R"(","ip":"127.0.0.1","mode":"router","name":"r1","port":)" +
               std::to_string(closed) + "}\n");
    std::string line;
    do {
        line = peer->ReadLine();
    } while (line.rfind("disco ", 0) == 0);
    ASSERT_EQ(line, "list {\"command\":\"discovered\"}\n");
    peer->Send("@list {\"endpoints\":[" + Entry(G1, "a") + "," + Entry(G2, "b") + "," + Entry(G3, "c") + "]}\n");
    ASSERT_TRUE(WaitUntil([&] { return Known(G1) && Known(G2); }));
    // The whole answer is taken in one turn of the loop.
    ASSERT_TRUE(harness.OnLoop([] {}));
    EXPECT_FALSE(Known(G3));
    EXPECT_EQ(log.Count("ZK20D8W Router (r1) lists more devices than one router may bring; refused beyond (2)"), 1u);

    TickAt(1100);
    EXPECT_TRUE(Known(G1) && Known(G2));
    const auto router = service->GetDeviceImplByUUID(R1);
    ASSERT_TRUE(router);
    peer.reset();
    ASSERT_TRUE(WaitUntil([&] {
        return !router->IsDirectlyConnected() && router->GetCurrentState() != Zelkor::DeviceNetStateConnected;
    }));
    TickAt(1101);
    EXPECT_TRUE(Known(G1) && Known(G2));
    TickAt(1159);
    EXPECT_TRUE(Known(G1) && Known(G2));
    TickAt(1161);
    EXPECT_FALSE(Known(G1));
    EXPECT_FALSE(Known(G2));
}

TEST_F(DiscoveryTimer, PeriodicDiscoveryGoesOutWhenRepliesComeToAnotherPortEvenAsADevice) {
    ASSERT_FALSE(service->SendDiscos());
    service->SetDiscoReplyPort("4198");
    const auto sent = [&] { return log.Count("ZK2050I UDP disco broadcast(s) sent"); };
    Start();
    ASSERT_TRUE(WaitUntil([&] { return sent() == 1; }));
    TickAt(1023);
    EXPECT_EQ(sent(), 1u);
    TickAt(1024);
    EXPECT_EQ(sent(), 2u);
    service->SetDiscoReplyPort("4197");
    TickAt(1048);
    EXPECT_EQ(sent(), 2u);
}

}  // namespace
}  // namespace ZelkorTest
