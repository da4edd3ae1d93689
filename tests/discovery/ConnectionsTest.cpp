// Connections a peer makes and their ends, over real loopback connections: the
// incoming-connection rule, and what a closed connection leaves behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "driver/Packet.h"
#include "support/DriverHarness.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

struct ConnectionsTest : ::testing::Test {
    ConnectionsTest() {
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        service = harness.driver->GetDiscovery();
    }

    std::size_t Admitted() { return service->GetIncomingConnectionCount(); }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    Zelkor::DiscoveryService* service = nullptr;
};

TEST_F(ConnectionsTest, TheLimitAndTheCallbackRefuseWithBusyAndAFreedSlotAdmits) {
    service->SetMaxIncomingConnections(2);
    harness.Start();
    auto first = std::make_unique<RawPeer>();
    RawPeer second, third, fourth, fifth;
    ASSERT_TRUE(harness.Connect(*first));
    ASSERT_TRUE(harness.Connect(second));
    ASSERT_TRUE(WaitUntil([&] { return Admitted() == 2; }));
    ASSERT_TRUE(harness.Connect(third));
    EXPECT_EQ(third.ReadLine(), "goodbye {\"reason\":\"busy\"}\n");
    EXPECT_TRUE(third.WaitClosed());

    first.reset();
    ASSERT_TRUE(WaitUntil([&] { return Admitted() == 1; }));
    ASSERT_TRUE(harness.Connect(fourth));
    ASSERT_TRUE(WaitUntil([&] { return Admitted() == 2; }));
    EXPECT_FALSE(fourth.WaitClosed(200ms));

    // Below the limit the application may still refuse, and the peer reads the same.
    service->SetMaxIncomingConnections(0);
    std::atomic<int> asked{0};
    service->OnIncomingConnection([&](std::string& address, std::uint16_t port) {
        ++asked;
        return address != "127.0.0.1" || port == 0;
    });
    ASSERT_TRUE(harness.Connect(fifth));
    EXPECT_EQ(fifth.ReadLine(), "goodbye {\"reason\":\"busy\"}\n");
    EXPECT_TRUE(fifth.WaitClosed());
    EXPECT_EQ(asked.load(), 1);
    EXPECT_EQ(Admitted(), 2u);

    // A callback that throws refuses too, and the node goes on.
    service->OnIncomingConnection([](std::string&, std::uint16_t) -> bool { throw std::runtime_error("no"); });
    RawPeer sixth;
    ASSERT_TRUE(harness.Connect(sixth));
    EXPECT_EQ(sixth.ReadLine(), "goodbye {\"reason\":\"busy\"}\n");
    EXPECT_TRUE(sixth.WaitClosed());
    EXPECT_EQ(Admitted(), 2u);

    // At the limit, with both admitted peers silent long enough to give way (twice the
    // keep-alive interval, made short here, and waited out): a newcomer the application
    // refuses costs neither its place; one it admits takes the place of the one silent
    // longest.
    service->SetMaxIncomingConnections(2);
    service->SetKeepAliveDiscoInterval(1000);
    std::this_thread::sleep_for(2s);
    RawPeer seventh, eighth;
    ASSERT_TRUE(harness.Connect(seventh));
    EXPECT_EQ(seventh.ReadLine(), "goodbye {\"reason\":\"busy\"}\n");
    EXPECT_FALSE(second.WaitClosed(200ms));
    EXPECT_FALSE(fourth.WaitClosed(0ms));
    service->OnIncomingConnection([](std::string&, std::uint16_t) { return true; });
    ASSERT_TRUE(harness.Connect(eighth));
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_FALSE(eighth.WaitClosed(200ms));
    EXPECT_FALSE(fourth.WaitClosed(0ms));
}

// A goodbye with a reason outside the seven known ones goes without any.
TEST_F(ConnectionsTest, AGoodbyeWithoutAKnownReasonCarriesNone) {
    harness.Start();
    RawPeer peer;
    const auto connection = harness.Connect(peer);
    ASSERT_TRUE(connection);
    Zelkor::MessageForwardInfo none;
    service->SendGoodbye(connection, static_cast<Zelkor::GOODBYE_REASON>(0), none);
    service->SendGoodbye(connection, static_cast<Zelkor::GOODBYE_REASON>(8), none);
    service->SendGoodbye(connection, Zelkor::GoodbyeIpChange, none);
    EXPECT_EQ(peer.ReadLine(), "goodbye\n");
    EXPECT_EQ(peer.ReadLine(), "goodbye\n");
    EXPECT_EQ(peer.ReadLine(), "goodbye {\"reason\":\"ipchange\"}\n");
}

// Each device connection that closes leaves no entry: the tables keep their size over
// many reconnects and the closed connections' handles are no longer valid.
TEST_F(ConnectionsTest, ClosedConnectionsLeaveNothingBehind) {
    harness.Start();
    const auto device = MakeDevice(harness.driver.get(), "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13", "amp");
    ASSERT_TRUE(harness.OnLoop([&] { service->enterDevice(device, Zelkor::DiscoveryService::AllTables); }));
    for (int cycle = 0; cycle < 20; ++cycle) {
        auto peer = std::make_unique<RawPeer>();
        auto connection = harness.Connect(*peer);
        ASSERT_TRUE(connection);
        void* handle = Zelkor::ZelkorDriver::HandleOf(connection.get());
        ASSERT_TRUE(harness.OnLoop([&] {
            device->SetHandle(connection);
            service->enterDevice(device, Zelkor::DiscoveryService::BySocket);
        }));
        ASSERT_EQ(service->TableSizes()["guidBySocket"], 1u);
        ASSERT_TRUE(service->IsValidConnection(handle));
        connection.reset();
        peer.reset();
        ASSERT_TRUE(WaitUntil([&] { return service->TableSizes()["guidBySocket"] == 0 && Admitted() == 0; }));
        EXPECT_FALSE(service->IsValidConnection(handle));
    }
    EXPECT_EQ(service->TableSizes()["devicesByGuid"], 1u);
}

// Connecting to the endpoint that a discovered device announces connects that device: a
// second device for the endpoint would hold the connection while the replies on it, found
// by their GUID, went to the first, so no keep-alive would follow.
TEST_F(ConnectionsTest, ConnectToTheEndpointOfADiscoveredDeviceConnectsThatDevice) {
    boost::asio::io_context io;
    const auto loopback = boost::asio::ip::make_address("127.0.0.1");
    boost::asio::ip::tcp::acceptor listening(io, {loopback, 0});
    const unsigned short port = listening.local_endpoint().port();
    harness.Start();
    Zelkor::NewDiscoInfo record = Record(R"({"guid":"5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13","name":"amp",)"
                                         R"("ip":"127.0.0.1","classname":"amplifier","port":)" +
                                         std::to_string(port) + "}");
    std::shared_ptr<Zelkor::DeviceImpl> found;
    ASSERT_TRUE(harness.OnLoop([&] {
        found = service->addDevice(record);
        found->AddRemoteInfo({"", {loopback, port}});
    }));
    ASSERT_TRUE(found);
    service->Connect(loopback, port);
    EXPECT_TRUE(WaitUntil([&] { return found->IsDirectlyConnected(); }));
    EXPECT_EQ(service->TableSizes()["deviceSet"], 1u);
}

// A device made for an endpoint whose connection closes before any reply came over it
// (no table keys that connection to it yet) is told so: it leaves Connected.
TEST_F(ConnectionsTest, ADeviceMadeForAnEndpointLearnsItsConnectionClosedBeforeAnyReply) {
    boost::asio::io_context io;
    const auto loopback = boost::asio::ip::make_address("127.0.0.1");
    boost::asio::ip::tcp::acceptor listening(io, {loopback, 0});
    const unsigned short port = listening.local_endpoint().port();
    // Shared with the handler, which the loop may still call after the test's body.
    struct States {
        std::mutex mutex;
        std::vector<Zelkor::DeviceNetState> list;
    };
    const auto states = std::make_shared<States>();
    service->OnListChange([states](std::shared_ptr<Zelkor::IDevice>, Zelkor::DeviceNetState state) {
        std::lock_guard<std::mutex> lock(states->mutex);
        states->list.push_back(state);
    });
    const auto seen = [states](Zelkor::DeviceNetState state) {
        std::lock_guard<std::mutex> lock(states->mutex);
        return std::find(states->list.begin(), states->list.end(), state) != states->list.end();
    };
    harness.Start();
    service->Connect(loopback, port);
    boost::asio::ip::tcp::socket accepted(io);
    listening.non_blocking(true);
    boost::system::error_code error;
    ASSERT_TRUE(WaitUntil([&] {
        listening.accept(accepted, error);
        return !error;
    }));
    ASSERT_TRUE(WaitUntil([&] { return seen(Zelkor::DeviceNetStateConnected); }));
    const auto device = service->GetDeviceImplByIPAndPort(loopback, port);
    ASSERT_TRUE(device);
    EXPECT_EQ(service->TableSizes()["guidBySocket"], 0u);
    accepted.close();
    EXPECT_TRUE(WaitUntil([&] { return seen(Zelkor::DeviceNetStateDisconnected); }));
    EXPECT_FALSE(device->IsDirectlyConnected());
}

// An application's log callback that calls back into the library while a line is written:
// no line of the connection check or of a device's record update is written under a lock
// the callback then takes.
TEST(LogCallbacks, MayCallBackIntoTheLibrary) {
    DiscoveryNode node;
    const auto device = MakeDevice(node.driver.get(), "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13", "amp");
    node.service->enterDevice(device, Zelkor::DiscoveryService::AllTables);
    std::atomic<int> calls{0};
    ZelkorLog::TheLog().RegisterExternalLogger([&](std::string&) {
        ++calls;
        node.service->GetIncomingConnectionCount();
        node.service->GetDeviceImplByUUID("5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13");
        device->GetDiscoInfo();
    });
    ZelkorLog::TheLog().SetLevel(7);
    auto work = std::async(std::launch::async, [&] {
        node.service->IsValidConnection(device.get());
        // A reply whose GUID is no UUID is refused with a line.
        Zelkor::MessageForwardInfo header;
        header.PullHeader(R"(@disco {"guid":"x","name":"amp","classname":"amplifier","port":1})" "\n");
        Zelkor::Packet packet;
        packet.isReply = true;
        packet.header = &header;
        device->updateFrom(packet, device->Endpoint());
    });
    EXPECT_EQ(work.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_GT(calls.load(), 0);
}

}  // namespace
}  // namespace ZelkorTest
