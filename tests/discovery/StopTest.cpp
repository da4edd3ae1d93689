// The orderly stop over real connections: a device connected through a peer's connection
// is told goodbye and heard lost, every device is finalized, the incoming connections
// close, and no notification follows.

#include <gtest/gtest.h>

#include <mutex>

#include "discovery/DiscoveryTestSupport.h"
#include "support/DriverHarness.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

TEST(DiscoveryStop, GoodbyesOutHandlersHearLostDevicesFinalized) {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    Zelkor::DiscoveryService& service = *harness.driver->GetDiscovery();
    std::mutex mutex;
    std::vector<std::string> heard;
    service.OnListChange([&](std::shared_ptr<Zelkor::IDevice> device, Zelkor::DeviceNetState state,
                             Zelkor::DeviceNetState old) {
        std::lock_guard<std::mutex> lock(mutex);
        heard.push_back(device->GetDiscoInfo().name + ":" + std::to_string(old) + ">" + std::to_string(state));
    });
    harness.Start();

    RawPeer devicePeer;
    RawPeer otherPeer;
    const auto connection = harness.Connect(devicePeer);
    const auto incoming = harness.Connect(otherPeer);
    ASSERT_TRUE(connection && incoming);
    auto connected = MakeDevice(harness.driver.get(), "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13", "amp");
    auto idle = MakeDevice(harness.driver.get(), "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a", "mixer", "10.0.0.6");
    connected->SetHandle(connection);
    ASSERT_TRUE(harness.OnLoop([&] {
        service.enterDevice(connected, Zelkor::DiscoveryService::AllTables);
        service.enterDevice(idle, Zelkor::DiscoveryService::AllTables);
        service.AdmitIncomingConnection(incoming);
        connected->setCurrentState(Zelkor::DeviceNetStateConnected);
    }));
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return heard.size() == 1;
    }));
    EXPECT_TRUE(service.IsValidConnection(Zelkor::ZelkorDriver::HandleOf(connection.get())));
    EXPECT_TRUE(service.IsValidConnection(Zelkor::ZelkorDriver::HandleOf(incoming.get())));
    std::vector<std::shared_ptr<Zelkor::TcpSocket>> inbound;
    service.GetInboundConnection(connection, inbound);
    // Both peers' connections were admitted as they came, from the same address.
    EXPECT_EQ(inbound, (std::vector<std::shared_ptr<Zelkor::TcpSocket>>{connection, incoming}));

    harness.Stop();
    EXPECT_EQ(devicePeer.ReadLine(), "goodbye {\"reason\":\"shutdown\"}\n");
    EXPECT_TRUE(devicePeer.WaitClosed());
    EXPECT_TRUE(otherPeer.WaitClosed());
    // Heard directly by Stop, with the state the goodbye left; nothing posted after.
    EXPECT_EQ(heard, (std::vector<std::string>{"amp:0>3", "amp:5>6"}));
    EXPECT_TRUE(connected->IsFinalized());
    EXPECT_TRUE(idle->IsFinalized());
    EXPECT_FALSE(connected->HasConnectionHandle());
    EXPECT_EQ(service.GetIncomingConnectionCount(), 0u);
    EXPECT_TRUE(service.IsStopped());
}

}  // namespace
}  // namespace ZelkorTest
