// Another unit answering at an address this node dialled, over real loopback connections:
// the unit was replaced, or its GUID changed. The test's listener plays the units; each
// connect of the node is accepted into a raw peer that answers the node's keep-alive.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "discovery/DiscoveryTestSupport.h"
#include "support/DriverHarness.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

const std::string G1 = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";
const std::string G2 = "1c4f0e2d-3b5a-4d7f-9e1c-2a3b4c5d6e7f";
const std::string G3 = "2d5a1f3e-4c6b-4e8a-8f2d-3b4c5d6e7f80";
const std::string G4 = "3e6b2a4f-5d7c-4f9b-9a3e-4c5d6e7f8091";
const std::string G5 = "4f7c3b5a-6e8d-4a0c-8b4f-5d6e7f809102";
const std::string G6 = "5a8d4c6b-7f9e-4b1d-9c5a-6e7f80910213";

struct ReplacedUnit : ::testing::Test {
    ReplacedUnit() {
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        service = harness.driver->GetDiscovery();
        listening.non_blocking(true);
        harness.Start();
    }

    // The node's next connection to the listener, answered as the unit `guid`.
    std::unique_ptr<RawPeer> Answer(const std::string& guid) {
        auto peer = std::make_unique<RawPeer>();
        boost::system::error_code error;
        EXPECT_TRUE(WaitUntil([&] {
            listening.accept(peer->Socket(), error);
            return !error;
        }));
        EXPECT_EQ(peer->ReadLine().rfind("disco ", 0), 0u);
        peer->Send(R"(@disco {"classname":"router","guid":")" + guid + R"(","ip":"127.0.0.1","name":"rt1","port":)" +
                   std::to_string(port) + "}\n");
        return peer;
    }
    std::shared_ptr<Zelkor::DeviceImpl> Keyed() { return service->GetDeviceImplByIPAndPort(loopback, port); }
    std::shared_ptr<Zelkor::DeviceImpl> Device(const std::string& guid) { return service->GetDeviceImplByUUID(guid); }
    // Left by its unit: its connection is cleaned up, so a connect makes a fresh one.
    bool Left(const std::string& guid) {
        return Device(guid)->GetCurrentState() == Zelkor::DeviceNetStateDisconnected;
    }
    bool Holds(const std::string& guid) {
        const auto device = Device(guid);
        return device && device->IsDirectlyConnected() && device->GetCurrentState() == Zelkor::DeviceNetStateConnected;
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    boost::asio::io_context io;
    const boost::asio::ip::address loopback = boost::asio::ip::make_address("127.0.0.1");
    boost::asio::ip::tcp::acceptor listening{io, {loopback, 0}};
    const unsigned short port = listening.local_endpoint().port();
    DriverHarness harness;
    Zelkor::DiscoveryService* service = nullptr;
};

// The address a device was made for by Connect(address, port) passes to the unit that
// now answers there, with its open connection and the wish to keep it connected, without
// a goodbye; the old record is left Disconnected, not lost, and connects no more there.
// The same holds for a successor already listed, not for one connected elsewhere.
TEST_F(ReplacedUnit, TheAddressPassesToTheGuidThatNowAnswersThere) {
    service->Connect(loopback, port);
    auto unit = Answer(G1);
    ASSERT_TRUE(WaitUntil([&] { return Holds(G1); }));
    const auto first = Device(G1);
    // Connected before its GUID was known, it is kept connected by its GUID now.
    EXPECT_TRUE(WaitUntil([&] { return service->TableSizes()["wantsConnections"] == 1u; }));
    unit->Close();
    ASSERT_TRUE(WaitUntil([&] { return Left(G1); }));

    first->Connect(false);
    unit = Answer(G2);
    ASSERT_TRUE(WaitUntil([&] { return Holds(G2); }));
    EXPECT_EQ(Keyed(), Device(G2));
    EXPECT_TRUE(Device(G2)->WantsConnections());
    EXPECT_FALSE(first->WantsConnections());
    EXPECT_EQ(first->RemoteCount(), 0u);
    EXPECT_EQ(first->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);
    EXPECT_EQ(Device(G1), first);
    // A reply it forwards for a GUID nobody knows adds nothing and ends nothing: through
    // a router, nothing is said of the router. The connection stays and serves: no
    // goodbye came before this answer.
    unit->Send("[" + service->InstanceName() + "][far&rt1] " + R"(@disco {"classname":"amp","guid":")" + G5 +
               R"(","ip":"10.1.1.1","name":"far","port":4197})" + "\n");
    unit->Send("disco {\"params\":[\"protocolversion\"]}\n");
    EXPECT_EQ(unit->ReadLine(), "@disco {\"protocolversion\":\"1.16.1.26\"}\n");
    EXPECT_FALSE(Device(G5));
    // Asked again for the endpoint, the node connects what answers there now.
    const std::size_t listed = service->TableSizes()["deviceSet"];
    service->Connect(loopback, port);
    EXPECT_EQ(service->TableSizes()["deviceSet"], listed);

    // A successor already listed (found by discovery, say) takes the address likewise.
    Zelkor::NewDiscoInfo record =
        Record(R"({"guid":")" + G3 + R"(","name":"rt1","ip":"127.0.0.1","classname":"router","port":)" +
               std::to_string(port) + "}");
    ASSERT_TRUE(harness.OnLoop([&] { service->addDevice(record); }));
    unit->Close();
    ASSERT_TRUE(WaitUntil([&] { return Left(G2); }));
    Device(G2)->Connect(false);
    unit = Answer(G3);
    ASSERT_TRUE(WaitUntil([&] { return Holds(G3); }));
    EXPECT_EQ(Keyed(), Device(G3));
    EXPECT_EQ(Device(G2)->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);

    // One connected elsewhere does not: the connection is told "guidchanged" and closed.
    Zelkor::NewDiscoInfo elsewhere =
        Record(R"({"guid":")" + G4 + R"(","name":"rt4","ip":"127.0.0.1","classname":"router","port":1})");
    std::shared_ptr<Zelkor::DeviceImpl> fourth;
    RawPeer inbound;
    const auto connection = harness.Connect(inbound);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(harness.OnLoop([&] {
        fourth = service->addDevice(elsewhere);
        fourth->SetHandle(connection);
        service->enterDevice(fourth, Zelkor::DiscoveryService::BySocket);
    }));
    unit->Close();
    ASSERT_TRUE(WaitUntil([&] { return Left(G3); }));
    Device(G3)->Connect(false);
    unit = Answer(G4);
    EXPECT_EQ(unit->ReadLine(), "goodbye {\"reason\":\"guidchanged\"}\n");
    EXPECT_TRUE(unit->WaitClosed());
    EXPECT_EQ(Keyed(), Device(G3));
    EXPECT_EQ(fourth->GetHandle(), connection);

    // Nor one known at another address: whatever answers here does not take its record.
    Zelkor::NewDiscoInfo away =
        Record(R"({"guid":")" + G6 + R"(","name":"rt6","ip":"127.0.0.2","classname":"router","port":4197})");
    std::shared_ptr<Zelkor::DeviceImpl> sixth;
    ASSERT_TRUE(harness.OnLoop([&] {
        sixth = service->addDevice(away);
        Zelkor::IDevice::RemoteInfo remote{"", {boost::asio::ip::make_address("127.0.0.2"), 4197}};
        sixth->AddRemoteInfo(remote);
    }));
    ASSERT_TRUE(WaitUntil([&] { return Left(G3); }));
    Device(G3)->Connect(false);
    unit = Answer(G6);
    EXPECT_EQ(unit->ReadLine(), "goodbye {\"reason\":\"guidchanged\"}\n");
    EXPECT_TRUE(unit->WaitClosed());
    EXPECT_EQ(Keyed(), Device(G3));
    EXPECT_FALSE(sixth->IsDirectlyConnected());
}

}  // namespace
}  // namespace ZelkorTest
