// A device the application still holds after the device list forgot it: it stays lost,
// connects no more, and outlives the driver and the library's loop without touching them.

#include <gtest/gtest.h>

#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include "discovery/DiscoveryTestSupport.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using Zelkor::DeviceNetState;

const char* const kGuid = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";

TEST(LostDevice, ConnectsNoMoreAndOutlivesTheLibrarysLoop) {
    LogCapture log;
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    // The kernel completes connects to it without an accept.
    boost::asio::io_context peerIo;
    boost::asio::ip::tcp::acceptor peer(peerIo, {boost::asio::ip::make_address("127.0.0.1"), 0});

    auto* driver = static_cast<Zelkor::ZelkorDriver*>(Zelkor::CreateDriver());
    driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    Zelkor::DiscoveryService* service = driver->GetDiscovery();
    auto device = MakeDevice(driver, kGuid, "amp", "127.0.0.1");
    device->AddRemoteInfo({"", {peer.local_endpoint().address(), peer.local_endpoint().port()}});
    service->enterDevice(device, Zelkor::DiscoveryService::AllTables);
    device->setCurrentState(Zelkor::DeviceNetStateNew);
    std::thread loop([driver] { driver->Run(); });
    device->Connect(false);
    ASSERT_TRUE(WaitUntil([&] { return device->IsDirectlyConnected(); }));

    driver->Refresh();
    ASSERT_TRUE(WaitUntil([&] { return device->GetCurrentState() == Zelkor::DeviceNetStateLost; }));
    EXPECT_TRUE(WaitUntil([&] { return device->IsFinalized(); }));
    device->Connect(false);
    EXPECT_EQ(log.Count("ZK66E0W Connect refused: the device is lost (amp)"), 1u);
    EXPECT_FALSE(device->HasConnectionHandle());
    EXPECT_EQ(service->GetDeviceByUUID(kGuid), nullptr);

    Zelkor::DestroyDriver();
    loop.join();
    Zelkor::DeleteDriver();
    // Its last owner lets go after the loop is gone: under ASan nothing is touched.
    device.reset();
    EXPECT_EQ(device, nullptr);
}

// Run ended by an exception it let through, the driver is deleted without a stop: the
// devices still listed let their connections go with the list, while the loop exists.
TEST(LostDevice, ConnectionsOfAnUnstoppedDriverGoBeforeItsLoop) {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    boost::asio::io_context peerIo;
    boost::asio::ip::tcp::acceptor peer(peerIo, {boost::asio::ip::make_address("127.0.0.1"), 0});
    auto* driver = static_cast<Zelkor::ZelkorDriver*>(Zelkor::CreateDriver());
    driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    auto device = MakeDevice(driver, kGuid, "amp", "127.0.0.1");
    device->AddRemoteInfo({"", {peer.local_endpoint().address(), peer.local_endpoint().port()}});
    driver->GetDiscovery()->enterDevice(device, Zelkor::DiscoveryService::AllTables);
    std::thread loop([driver] {
        try {
            driver->Run();
        } catch (int) {
        }
    });
    device->Connect(false);
    ASSERT_TRUE(WaitUntil([&] { return device->IsDirectlyConnected(); }));
    boost::asio::post(driver->GetIoContext(), [] { throw 42; });
    loop.join();
    Zelkor::DeleteDriver();
    EXPECT_FALSE(device->HasConnectionHandle());
    device.reset();
    EXPECT_EQ(device, nullptr);
}

}  // namespace
}  // namespace ZelkorTest
