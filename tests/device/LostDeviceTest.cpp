// A device the application holds longer than the device list or the driver: once lost it
// connects no more, and neither it nor its connections touch the library's loop after
// DeleteDriver freed it (ASan tells).

#include <gtest/gtest.h>

#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include "discovery/DiscoveryTestSupport.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

// The library's own driver and loop, run on a thread, and a device connected to a
// listener that the kernel completes connects to without an accept.
class LostDevice : public ::testing::Test {
protected:
    LostDevice() {
        driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        device->AddRemoteInfo({"", {peer.local_endpoint().address(), peer.local_endpoint().port()}});
        driver->GetDiscovery()->enterDevice(device, Zelkor::DiscoveryService::AllTables);
        device->setCurrentState(Zelkor::DeviceNetStateNew);
        loop = std::thread([this] {
            try {
                driver->Run();
            } catch (int) {
            }
        });
        device->Connect(false);
        EXPECT_TRUE(WaitUntil([&] { return device->IsDirectlyConnected(); }));
    }
    ~LostDevice() override {
        if (loop.joinable()) {
            Zelkor::DestroyDriver();
            loop.join();
            Zelkor::DeleteDriver();
        }
    }
    // The driver goes while the test still holds the device; the device goes last.
    void DeleteDriverThenDevice() {
        loop.join();
        Zelkor::DeleteDriver();
        EXPECT_FALSE(device->HasConnectionHandle());
        device.reset();
    }

    LogCapture log;
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    boost::asio::io_context peerIo;
    boost::asio::ip::tcp::acceptor peer{peerIo, {boost::asio::ip::make_address("127.0.0.1"), 0}};
    Zelkor::ZelkorDriver* driver = static_cast<Zelkor::ZelkorDriver*>(Zelkor::CreateDriver());
    std::shared_ptr<Zelkor::DeviceImpl> device =
        MakeDevice(driver, "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a", "amp", "127.0.0.1");
    std::thread loop;
};

TEST_F(LostDevice, ConnectsNoMoreAfterTheListsResetAndOutlivesTheLoop) {
    driver->Refresh();
    ASSERT_TRUE(WaitUntil([&] { return device->GetCurrentState() == Zelkor::DeviceNetStateLost; }));
    EXPECT_TRUE(WaitUntil([&] { return device->IsFinalized(); }));
    device->Connect(false);
    const std::string refused = "ZK66E0W Connect refused: the device is lost (amp)";
    EXPECT_TRUE(WaitUntil([&] { return log.Contains(refused) || device->IsConnected(); }));
    EXPECT_EQ(log.Count(refused), 1u);
    EXPECT_FALSE(device->IsConnected());
    EXPECT_EQ(driver->GetDiscovery()->GetDeviceByUUID(device->GuidKey()), nullptr);
    Zelkor::DestroyDriver();
    DeleteDriverThenDevice();
}

// Run ended by an exception it let through: the driver is deleted without a stop.
TEST_F(LostDevice, ConnectionsOfAnUnstoppedDriverGoBeforeItsLoop) {
    boost::asio::post(driver->GetIoContext(), [] { throw 42; });
    DeleteDriverThenDevice();
}

}  // namespace
}  // namespace ZelkorTest
