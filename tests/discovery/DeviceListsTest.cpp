// Lists of discovered devices: the request and the answer on the wire, and a router's
// answer turned into devices reached through that router.

#include <gtest/gtest.h>

#include <json/reader.h>

#include <algorithm>
#include <limits>
#include <sstream>
#include <set>

#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "discovery/GuidText.h"
#include "services/ListCommand.h"
#include "services/ListCommandDiscovered.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::DeviceImpl;
using Zelkor::DiscoveryService;

const char* const kRouter = "a1b2c3d4-0000-4000-8000-000000000001";
const char* const kRouter2 = "a1b2c3d4-0000-4000-8000-000000000002";
const char* const kA = "b1b2c3d4-0000-4000-8000-00000000000a";
const char* const kB = "b1b2c3d4-0000-4000-8000-00000000000b";
const char* const kC = "b1b2c3d4-0000-4000-8000-00000000000c";
const char* const kD = "b1b2c3d4-0000-4000-8000-00000000000d";

std::string entry(const std::string& guid, const std::string& name, const std::string& more = "") {
    return R"({"classname":"amplifier","guid":")" + guid + R"(","ip":"192.168.7.9","name":")" + name +
           R"(","port":4197)" + (more.empty() ? "" : "," + more) + "}";
}

// A device the node reaches over `connection`, known in every table.
std::shared_ptr<DeviceImpl> enterRouter(DiscoveryNode& node, const std::string& guid, const std::string& name,
                                        const std::shared_ptr<Zelkor::TcpSocket>& connection) {
    auto router = std::make_shared<DeviceImpl>(
        node.driver.get(), Record(R"({"guid":")" + guid + R"(","name":")" + name +
                                  R"(","ip":"10.0.0.1","port":4197,"classname":"router","mode":"router"})"));
    router->SetHandle(connection);
    node.service->enterDevice(router, DiscoveryService::AllTables);
    return router;
}

void handleReply(DiscoveryNode& node, const std::shared_ptr<Zelkor::TcpSocket>& connection,
                 const std::string& endpoints) {
    auto reply = std::make_unique<Zelkor::ListCommandDiscovered>();
    reply->SetIsReply(true);
    std::string error;
    ASSERT_TRUE(reply->FromNetworkFormat(false, "@list {\"endpoints\":[" + endpoints + "]}", error)) << error;
    Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                   std::move(reply));
    node.service->HandleListDiscoveredReply(data);
}

// The list reply of `endpoints` handled on the harness's loop, as if it came on `connection`.
void listOnLoop(DriverHarness& harness, DiscoveryService& service, const std::shared_ptr<Zelkor::TcpSocket>& connection,
                const std::string& endpoints) {
    auto reply = std::make_unique<Zelkor::ListCommandDiscovered>();
    reply->SetIsReply(true);
    std::string error;
    EXPECT_TRUE(reply->FromNetworkFormat(false, "@list {\"endpoints\":[" + endpoints + "]}", error)) << error;
    EXPECT_TRUE(harness.OnLoop([&] {
        Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                       std::move(reply));
        service.HandleListDiscoveredReply(data);
    }));
}

// A router this node reaches over `connection`, Connected and known in every table, entered
// on the harness's loop.
std::shared_ptr<DeviceImpl> connectedRouter(DriverHarness& harness, DiscoveryService& service, const std::string& guid,
                                            const std::string& name,
                                            const std::shared_ptr<Zelkor::TcpSocket>& connection) {
    auto router = std::make_shared<DeviceImpl>(
        harness.driver.get(), Record(R"({"guid":")" + guid + R"(","name":")" + name +
                                     R"(","ip":"10.0.0.1","port":4197,"classname":"router","mode":"router"})"));
    EXPECT_TRUE(harness.OnLoop([&] {
        router->SetHandle(connection);
        service.enterDevice(router, DiscoveryService::AllTables);
        router->setCurrentState(Zelkor::DeviceNetStateConnected);
    }));
    return router;
}

std::shared_ptr<DeviceImpl> byGuid(DiscoveryNode& node, const std::string& guid) {
    return node.service->GetDeviceImplByUUID(guid);
}

TEST(DeviceLists, RequestAndAnswerOnTheWire) {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    DiscoveryService& service = *harness.driver->GetDiscovery();
    harness.Start();
    RawPeer peer;
    const auto connection = harness.Connect(peer);
    ASSERT_TRUE(connection);
    void* handle = Zelkor::ZelkorDriver::HandleOf(connection.get());
    const auto answer = [&] {
        ASSERT_TRUE(harness.OnLoop([&] {
            Zelkor::MessageSignalData data(handle, connection, true, std::make_unique<Zelkor::ListCommandDiscovered>());
            service.SendListDiscoveredReply(data);
        }));
    };
    ASSERT_TRUE(harness.OnLoop([&] { service.SendListDiscovered(handle); }));
    EXPECT_EQ(peer.ReadLine(), "list {\"command\":\"discovered\"}\n");
    answer();
    EXPECT_EQ(peer.ReadLine(), "@list {\"endpoints\":[]}\n");

    auto amp = MakeDevice(harness.driver.get(), kA, "amp");
    auto mixer = MakeDevice(harness.driver.get(), kB, "mixer", "10.0.0.6");
    ASSERT_TRUE(harness.OnLoop([&] {
        service.enterDevice(amp, DiscoveryService::AllTables);
        service.enterDevice(mixer, DiscoveryService::AllTables);
    }));
    answer();
    const std::string line = peer.ReadLine();
    const std::string first = "{" + amp->getDiscoInfo().InfoString() + "}";
    const std::string second = "{" + mixer->getDiscoInfo().InfoString() + "}";
    EXPECT_TRUE(line == "@list {\"endpoints\":[" + first + "," + second + "]}\n" ||
                line == "@list {\"endpoints\":[" + second + "," + first + "]}\n")
        << line;
    // Peers read the answer, which has no "command", as "discovered".
    Zelkor::ListCommand list;
    Zelkor::ListCommandDiscovered read;
    std::string error;
    ASSERT_TRUE(list.FromNetworkFormat(false, line, error)) << error;
    ASSERT_TRUE(read.FromNetworkFormat(false, list.GetJson(), error)) << error;
    EXPECT_EQ(read.Endpoints().size(), 2u);

    // A device this node reached and reaches no more is told as gone; the rest of its
    // record is as it was. One never reached yet is listed as it is.
    ASSERT_TRUE(harness.OnLoop([&] {
        mixer->setCurrentState(Zelkor::DeviceNetStateNew);
        mixer->setCurrentState(Zelkor::DeviceNetStateDisconnected);
    }));
    answer();
    const std::string later = peer.ReadLine();
    Zelkor::NewDiscoInfo told = mixer->getDiscoInfo();
    told.getDiscoInfo().devicestate = "Unavailable";
    told.buildInfoStrings();
    EXPECT_NE(later.find("{" + told.InfoString() + "}"), std::string::npos) << later;
    EXPECT_NE(later.find(first), std::string::npos) << later;
    EXPECT_EQ(mixer->GetDiscoInfo().devicestate, "");
}

TEST(DeviceLists, RouterAnswerAddsProxiedDevices) {
    LogCapture log;
    ZelkorLog::TheLog().SetLevel(5);
    DiscoveryNode node;
    DiscoveryService& service = *node.service;
    const auto connection = std::make_shared<Zelkor::TcpSocket>(node.io, node.driver->GetSSLContext(), false);
    const auto router = enterRouter(node, kRouter, "router1", connection);
    auto known = MakeDevice(node.driver.get(), kC, "mixer", "10.0.0.3");
    service.enterDevice(known, DiscoveryService::AllTables);
    // Reached by this node itself at its address: the router's word does not move it.
    known->AddRemoteInfo({"", {boost::asio::ip::make_address("10.0.0.3"), 4197}});
    ASSERT_FALSE(service.GUID().empty());

    handleReply(node, connection,
                entry(kA, "amp.1") + "," + entry(kB, "ctl_2", R"("mode":"controller")") + "," +
                    // This node and the router itself.
                    entry(service.GUID(), "self") + "," + entry(kRouter, "router1", R"("label":"changed")") + "," +
                    // Names a routing header cannot carry.
                    entry(kD, "a/b") + "," + entry(kD, "a@b") + "," + entry(kD, "a\\nb") + "," +
                    // Unavailable and new: nothing.
                    entry("b1b2c3d4-0000-4000-8000-0000000000ee", "gone", R"("devicestate":"Unavailable")") + "," +
                    // The known device, its GUID braced and in upper case.
                    entry("{B1B2C3D4-0000-4000-8000-00000000000C}", "mixer", R"("label":"stage")") + "," +
                    // Incomplete entries.
                    R"({"guid":"b1b2c3d4-0000-4000-8000-0000000000ff","name":"noclass","ip":"10.0.0.9"})" + "," +
                    entry("not-a-guid", "bad"));

    const auto amp = byGuid(node, kA);
    ASSERT_TRUE(amp);
    EXPECT_EQ(amp->Proxy(), router);
    EXPECT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateNew);
    EXPECT_EQ(service.GetDeviceImplByName("amp.1"), amp);
    // Reached by its name through the router, never by the address the router sees.
    EXPECT_EQ(service.GetDeviceByIPAndPort(boost::asio::ip::make_address("192.168.7.9"), 4197), nullptr);
    EXPECT_EQ(amp->lastDiscoReply.load(), 0);
    const auto controller = byGuid(node, kB);
    ASSERT_TRUE(controller);
    EXPECT_EQ(controller->lastDiscoReply.load(), std::numeric_limits<std::int64_t>::max());

    EXPECT_EQ(byGuid(node, kD), nullptr);
    EXPECT_EQ(log.Count("ZK2017I Invalid name characters in disco reply from"), 3u);
    EXPECT_EQ(router->GetDiscoInfo().label, "");
    EXPECT_EQ(known->GetDiscoInfo().label, "stage");
    EXPECT_EQ(known->GetDiscoInfo().ip, "10.0.0.3");
    EXPECT_EQ(amp->GetDiscoInfo().ip, "192.168.7.9");
    EXPECT_EQ(known->Proxy(), router);
    EXPECT_EQ(service.TableSizes()["devicesByGuid"], 4u);
    EXPECT_EQ(service.TableSizes()["proxiedDevices"], 3u);
    EXPECT_GT(service.DeviceListTime(), 0);
}

TEST(DeviceLists, LaterAnswersRebuildEntriesAndMarkUnavailable) {
    DiscoveryNode node;
    DiscoveryService& service = *node.service;
    const auto first = std::make_shared<Zelkor::TcpSocket>(node.io, node.driver->GetSSLContext(), false);
    const auto second = std::make_shared<Zelkor::TcpSocket>(node.io, node.driver->GetSSLContext(), false);
    const auto router = enterRouter(node, kRouter, "router1", first);
    enterRouter(node, kRouter2, "router2", second);
    handleReply(node, first, entry(kA, "amp") + "," + entry(kB, "mixer") + "," + entry(kC, "deck"));
    const auto a = byGuid(node, kA);
    const auto b = byGuid(node, kB);
    const auto c = byGuid(node, kC);
    ASSERT_TRUE(a && b && c);
    c->setCurrentState(Zelkor::DeviceNetStateDisconnected);
    c->WantsConnections(true);
    ASSERT_EQ(service.TableSizes()["proxiedDevices"], 3u);

    // Another router does not take away what this one reaches.
    handleReply(node, second, entry(kB, "mixer", R"("devicestate":"Unavailable")"));
    EXPECT_EQ(b->Proxy(), router);

    handleReply(node, first,
                entry(kA, "amp", R"("devicestate":"Unavailable")") + "," +
                    entry(kC, "deck", R"("devicestate":"Unavailable")") + "," +
                    R"({"classname":"recorder","guid":")" + std::string(kB) +
                    R"(","ip":"192.168.7.9","name":"mixer2","port":4197})" + "," + entry(kD, "new"));
    EXPECT_EQ(a->Proxy(), nullptr);
    EXPECT_EQ(a->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);
    EXPECT_EQ(c->Proxy(), nullptr);
    EXPECT_EQ(c->GetCurrentState(), Zelkor::DeviceNetStateNew);
    // Renamed and reclassed: found by its new name only.
    EXPECT_EQ(service.GetDeviceImplByName("mixer2"), b);
    EXPECT_EQ(service.GetDeviceImplByName("mixer"), nullptr);
    EXPECT_EQ(b->Proxy(), router);
    // The router's entries: what this answer reaches through it, once each.
    EXPECT_EQ(service.TableSizes()["proxiedDevices"], 2u);
    handleReply(node, first, entry(kD, "new") + "," + entry(kD, "new"));
    EXPECT_EQ(service.TableSizes()["proxiedDevices"], 1u);
}

TEST(DeviceLists, RouterAnswersAddNoMoreThanTheCap) {
    DiscoveryNode node;
    DiscoveryService& service = *node.service;
    const auto connection = std::make_shared<Zelkor::TcpSocket>(node.io, node.driver->GetSSLContext(), false);
    enterRouter(node, kRouter, "router1", connection);
    handleReply(node, connection, entry(kA, "amp"));
    // To be kept connected, it is never given up for a newcomer.
    byGuid(node, kA)->WantsConnections(true);
    service.SetMaxDevices(service.TableSizes()["devicesByGuid"] + 1);
    handleReply(node, connection,
                entry(kA, "amp", R"("label":"kept")") + "," + entry(kB, "b") + "," + entry(kC, "c") + "," +
                    entry(kD, "d"));
    EXPECT_EQ(service.TableSizes()["devicesByGuid"], 3u);
    EXPECT_EQ(byGuid(node, kA)->GetDiscoInfo().label, "kept");
    EXPECT_EQ(byGuid(node, kC), nullptr);
}

// A router refuses the list asked where this node proved nothing to it, as on a connection
// the router dialled here. The refusal tells nothing of what the router reaches: before,
// read as an empty list, it took every device reached through the router away.
TEST(DeviceLists, ARefusalOfTheListTakesNothingAway) {
    DiscoveryNode node;
    const auto connection = std::make_shared<Zelkor::TcpSocket>(node.io, node.driver->GetSSLContext(), false);
    const auto router = enterRouter(node, kRouter, "router1", connection);
    handleReply(node, connection, entry(kA, "amp"));
    const auto amp = byGuid(node, kA);
    ASSERT_TRUE(amp);

    // Refused as a list, the reply still reaches the service, as the list router hands it on.
    auto refusal = std::make_unique<Zelkor::ListCommandDiscovered>();
    refusal->SetIsReply(true);
    std::string error;
    EXPECT_FALSE(refusal->FromNetworkFormat(false, R"(@list {"command":"discovered","error":"Not authenticated"})",
                                            error));
    Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                   std::move(refusal));
    node.service->HandleListDiscoveredReply(data);
    EXPECT_EQ(amp->Proxy(), router);
    EXPECT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateNew);
    EXPECT_EQ(node.service->TableSizes()["proxiedDevices"], 1u);
}

// A device connected through its router goes Disconnected when that router loses its
// connection, and Connected again through the router that lists it next; while a router
// has its connection, another does not take what it reaches.
TEST(DeviceLists, ADeviceBehindARouterFollowsTheRoutersConnection) {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    DiscoveryService& service = *harness.driver->GetDiscovery();
    harness.Start();
    RawPeer firstPeer, secondPeer;
    const auto first = harness.Connect(firstPeer);
    const auto second = harness.Connect(secondPeer);
    ASSERT_TRUE(first && second);
    const auto list = [&](const std::shared_ptr<Zelkor::TcpSocket>& connection, const std::string& endpoints) {
        listOnLoop(harness, service, connection, endpoints);
    };
    const auto routerOn = [&](const std::string& guid, const std::string& name,
                              const std::shared_ptr<Zelkor::TcpSocket>& connection) {
        return connectedRouter(harness, service, guid, name, connection);
    };
    const auto router1 = routerOn(kRouter, "router1", first);
    const auto router2 = routerOn(kRouter2, "router2", second);
    list(first, entry(kA, "amp"));
    const auto amp = service.GetDeviceImplByUUID(kA);
    ASSERT_TRUE(amp);
    ASSERT_TRUE(harness.OnLoop([&] { amp->Connect(false); }));
    ASSERT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    list(second, entry(kA, "amp"));
    EXPECT_EQ(amp->Proxy(), router1);

    firstPeer.Close();
    ASSERT_TRUE(WaitUntil([&] { return amp->GetCurrentState() == Zelkor::DeviceNetStateDisconnected; }));
    EXPECT_EQ(router1->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);
    list(second, entry(kA, "amp"));
    EXPECT_EQ(amp->Proxy(), router2);
    EXPECT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    EXPECT_EQ(service.TableSizes()["proxiedDevices"], 1u);

    // Its router keeps its connection but has lost the device: Disconnected (though it is
    // wanted), and so it stays while the router says so; Connected again once named.
    amp->WantsConnections(true);
    list(second, entry(kA, "amp", R"("devicestate":"Unavailable")"));
    EXPECT_EQ(amp->Proxy(), nullptr);
    EXPECT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);
    list(second, entry(kA, "amp", R"("devicestate":"Unavailable")"));
    EXPECT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);
    list(second, entry(kA, "amp"));
    EXPECT_EQ(amp->Proxy(), router2);
    EXPECT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateConnected);
}

// This node as a router in front of two others. A device it reaches through router1 is
// listed in its own state: router2's word that it no longer reaches the device is neither
// stored in the device's record nor passed on (before, it was both, and a controller behind
// this node let the device go though this node reached it). A device this node lost and
// reaches again by the time a requester asks is told as gone in that requester's next list,
// once, so that the requester's transfers with it end; a requester given no list before
// the loss knew of nothing to take back and hears the device as it is.
TEST(DeviceLists, AListTellsOfThisNodesOwnLossesOnlyAndOfEachOnceToEachRequester) {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    DiscoveryService& service = *harness.driver->GetDiscovery();
    harness.Start();
    RawPeer firstPeer, secondPeer, askerPeer, laterPeer;
    const auto first = harness.Connect(firstPeer);
    const auto second = harness.Connect(secondPeer);
    const auto asker = harness.Connect(askerPeer);
    ASSERT_TRUE(first && second && asker);
    const auto list = [&](const std::shared_ptr<Zelkor::TcpSocket>& connection, const std::string& endpoints) {
        listOnLoop(harness, service, connection, endpoints);
    };
    // The state this node's list gives the device of `guid` to the peer on `connection`.
    const auto told = [&](RawPeer& peer, const std::shared_ptr<Zelkor::TcpSocket>& connection,
                          const std::string& guid = kA) {
        EXPECT_TRUE(harness.OnLoop([&] {
            Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                           std::make_unique<Zelkor::ListCommandDiscovered>());
            service.SendListDiscoveredReply(data);
        }));
        const std::string line = peer.ReadLine();
        Json::Value list;
        std::istringstream body(line.substr(std::min(line.find('{'), line.size())));
        std::string error;
        if (!Json::parseFromStream(Json::CharReaderBuilder(), body, &list, &error)) {
            return "unreadable: " + line;
        }
        for (const auto& endpoint : list["endpoints"]) {
            if (endpoint["guid"] == guid) {
                return endpoint["devicestate"].asString();
            }
        }
        return "not listed: " + line;
    };
    const auto routerOn = [&](const std::string& guid, const std::string& name,
                              const std::shared_ptr<Zelkor::TcpSocket>& connection) {
        return connectedRouter(harness, service, guid, name, connection);
    };
    routerOn(kRouter, "router1", first);
    routerOn(kRouter2, "router2", second);
    list(first, entry(kA, "amp", R"("devicestate":"Ready")"));
    const auto amp = service.GetDeviceImplByUUID(kA);
    ASSERT_TRUE(amp);
    ASSERT_TRUE(harness.OnLoop([&] { amp->Connect(false); }));
    ASSERT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    EXPECT_EQ(told(askerPeer, asker), "Ready");

    // A device heard by this node itself, reached through no router.
    const auto mixer = MakeDevice(harness.driver.get(), kB, "mixer", "10.0.0.6");
    ASSERT_TRUE(harness.OnLoop([&] {
        service.enterDevice(mixer, DiscoveryService::AllTables);
        mixer->setCurrentState(Zelkor::DeviceNetStateNew);
    }));
    ASSERT_EQ(mixer->GetCurrentState(), Zelkor::DeviceNetStateNew);

    list(second, entry(kA, "amp", R"("devicestate":"Unavailable")") + "," +
                     entry(kB, "mixer", R"("devicestate":"Unavailable")"));
    EXPECT_EQ(amp->GetDiscoInfo().devicestate, "Ready");
    EXPECT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    EXPECT_EQ(mixer->GetCurrentState(), Zelkor::DeviceNetStateNew);
    EXPECT_EQ(told(askerPeer, asker), "Ready");
    EXPECT_EQ(told(askerPeer, asker, kB), "") << "listed as it is";

    // Lost and reached again between two of the asker's lists.
    ASSERT_TRUE(harness.OnLoop([&] {
        amp->setCurrentState(Zelkor::DeviceNetStateDisconnected);
        amp->Connect(false);
    }));
    ASSERT_EQ(amp->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    const auto later = harness.Connect(laterPeer);
    ASSERT_TRUE(later);
    EXPECT_EQ(told(laterPeer, later), "Ready");
    EXPECT_EQ(told(askerPeer, asker), "Unavailable");
    EXPECT_EQ(told(askerPeer, asker), "Ready");
    EXPECT_EQ(told(laterPeer, later), "Ready");
    EXPECT_EQ(amp->GetDiscoInfo().devicestate, "Ready");
}

// A router's list counts against its connection: at the bound, a device heard from another
// sender takes the place of one the router brought, also of one it listed round after
// round, but not of one connected to through the router.
TEST(DeviceLists, ARoutersDevicesCountAgainstItsConnection) {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    // Outlives the driver, which reads it until it has stopped.
    std::atomic<std::int64_t> clock{1000};
    DriverHarness harness;
    harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    DiscoveryService& service = *harness.driver->GetDiscovery();
    service.SetClock([&clock] { return clock.load(); });
    harness.Start();
    RawPeer peer;
    const auto connection = harness.Connect(peer);
    ASSERT_TRUE(connection);
    auto router = std::make_shared<DeviceImpl>(
        harness.driver.get(), Record(R"({"guid":")" + std::string(kRouter) + R"(","name":"router1","ip":"10.0.0.1",)"
                                     R"("port":4197,"classname":"router","mode":"router"})"));
    const auto list = [&] {
        auto reply = std::make_unique<Zelkor::ListCommandDiscovered>();
        reply->SetIsReply(true);
        std::string error;
        const std::string endpoints = entry(kA, "a") + "," + entry(kB, "b") + "," + entry(kC, "c");
        EXPECT_TRUE(reply->FromNetworkFormat(false, "@list {\"endpoints\":[" + endpoints + "]}", error));
        EXPECT_TRUE(harness.OnLoop([&] {
            Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(connection.get()), connection, true,
                                           std::move(reply));
            service.HandleListDiscoveredReply(data);
        }));
    };
    ASSERT_TRUE(harness.OnLoop([&] {
        router->SetHandle(connection);
        service.enterDevice(router, DiscoveryService::AllTables);
        router->setCurrentState(Zelkor::DeviceNetStateConnected);
    }));
    list();
    clock = 1030;
    ASSERT_TRUE(harness.OnLoop([&] { service.OnTimer(); }));
    list();
    const auto used = service.GetDeviceImplByUUID(kA);
    ASSERT_TRUE(used);
    ASSERT_TRUE(harness.OnLoop([&] { used->Connect(false); }));
    ASSERT_EQ(used->GetCurrentState(), Zelkor::DeviceNetStateConnected);
    service.SetMaxDevices(4);

    auto record = Record(R"({"guid":")" + std::string(kD) +
                         R"(","name":"d","ip":"10.0.0.9","port":4197,"classname":"amplifier"})");
    ASSERT_TRUE(harness.OnLoop([&] {
        service.addDevice(record, Zelkor::DeviceSender::From(boost::asio::ip::make_address("10.0.0.7")));
    }));
    EXPECT_TRUE(service.GetDeviceImplByUUID(kD));
    EXPECT_EQ(service.TableSizes()["deviceSet"], 4u);
    EXPECT_EQ(service.GetDeviceImplByUUID(kA), used);
    EXPECT_NE(service.GetDeviceImplByUUID(kB) == nullptr, service.GetDeviceImplByUUID(kC) == nullptr);
}

}  // namespace
}  // namespace ZelkorTest
