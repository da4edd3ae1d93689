// The driver's device-state service: made once by InitFileTransfer, before or after Run,
// answering through the receive road with the request's header, its hashed copies from
// the reply cache, and presets lists through the list router; and a device object behind
// a router sending it its "setip" and "reboot".

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include <boost/asio/io_context.hpp>

#include "core/ZelkorLog.h"
#include "device/DeviceImpl.h"
#include "device/IDeviceState.h"
#include "discovery/DiscoveryTestSupport.h"
#include "services/IDeviceStateService.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

class QuietDeviceState final : public Zelkor::IDeviceState {
public:
    std::string GetDeviceStateText() override { return "idle"; }
    std::string GetPresetInfo() override { return "p1"; }
    bool ApplyNetworkSettings(const std::string&, const std::string&, const std::string&, const std::string&,
                              bool&) override {
        return false;
    }
    bool UpdateFirmware(std::string&, std::string) override { return false; }
};

TEST(DeviceStateDriver, InitFileTransferMakesTheServiceOnceAndRefusesASecond) {
    LogCapture log;
    boost::asio::io_context io;
    auto driver = std::make_shared<Zelkor::ZelkorDriver>(io);
    QuietDeviceState first, second;
    driver->InitFileTransfer(nullptr);
    EXPECT_EQ(driver->GetDeviceStateService(), nullptr);
    driver->InitFileTransfer(&first);
    Zelkor::IDeviceStateService* made = driver->GetDeviceStateService();
    ASSERT_NE(made, nullptr);
    driver->InitFileTransfer(&second);
    EXPECT_EQ(driver->GetDeviceStateService(), made);
    EXPECT_TRUE(log.Contains("ZK78F1E File transfer already initialized"));
    // The words the driver's map holds are still the first service's.
    int heard = 0;
    auto connection = driver->AddHandler2("setip", [&](Zelkor::MessageSignalData&) { ++heard; });
    EXPECT_TRUE(connection.connected());
    EXPECT_TRUE(made->AddHandler2("getdevicestate", [](Zelkor::MessageSignalData&) {}).connected());
}

TEST(DeviceStateDriver, AnsweredOverTheWireWithHeaderHashedCopiesAndPresets) {
    ZelkorLog::TheLog().SetLevel(3);
    DriverHarness harness;
    harness.Start();
    // After Run: the presets route is added on the loop.
    QuietDeviceState state;
    harness.driver->InitFileTransfer(&state);
    RawPeer first, second;
    ASSERT_TRUE(harness.Connect(first));
    ASSERT_TRUE(harness.Connect(second));

    first.Send("7 [R][C] list {\"command\":\"presets\"}\n");
    EXPECT_EQ(first.ReadLine(), "7 [C][R] @list {\"command\":\"presets\"}\n");
    first.Send("[R][C] getpresetinfo\n");
    EXPECT_EQ(first.ReadLine(), "[C][R] @getpresetinfo {\"isdirty\":\"false\",\"path\":\"p1\"}\n");

    // A hashed request and its copy over another connection: both answered.
    const std::string reply = "5-ab12 [C][R] @getdevicestate {\"devicestate\":\"idle\"}\n";
    first.Send("5-ab12 [R][C] getdevicestate\n");
    EXPECT_EQ(first.ReadLine(), reply);
    second.Send("5-ab12 [R][C] getdevicestate\n");
    EXPECT_EQ(second.ReadLine(), reply);

    // No MAC of this host: refused, and the next request still goes through.
    first.Send("6 [R][C] setip {\"mac\":\"02:00:00:00:00:01\",\"dhcp\":true}\n");
    EXPECT_EQ(first.ReadLine(),
              "6 [C][R] @setip {\"dhcp\":true,\"error\":\"Unknown MAC address\",\"mac\":\"02:00:00:00:00:01\"}\n");
    first.Send("getdevicestate\n");
    EXPECT_EQ(first.ReadLine(), "@getdevicestate {\"devicestate\":\"idle\"}\n");
    harness.Stop();
}

// Through a router the requests name the device, so that the device, not the router,
// applies the settings or restarts; the device's "setip" replies reach its callback.
TEST(DeviceStateDriver, ADeviceBehindARouterIsSentSetIPAndRebootWithItsHeader) {
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
    QuietDeviceState state;
    harness.driver->InitFileTransfer(&state);
    harness.Start();
    RawPeer routerPeer;
    const auto socket = harness.Connect(routerPeer);
    ASSERT_TRUE(socket);
    auto router = std::make_shared<Zelkor::DeviceImpl>(
        harness.driver.get(),
        Record(R"({"guid":"7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f","name":"router-1","ip":"127.0.0.1","port":4197,)"
               R"("mode":"router"})"));
    auto device = MakeDevice(harness.driver.get(), "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a", "amp-3");
    ASSERT_TRUE(harness.OnLoop([&] {
        router->SetHandle(socket);
        device->SetProxy(router);
    }));
    std::atomic<int> heard{0};
    std::atomic<int> heardByDiscovery{0};
    std::string heardMac;
    // The discovery service's callback hears every "setip" reply.
    harness.driver->GetDiscovery()->OnSetIP([&](Zelkor::SETIP_SETTINGS&) { ++heardByDiscovery; });
    device->OnSetIP([&](Zelkor::SETIP_SETTINGS& settings) {
        heardMac = settings.mac;
        ++heard;
    });

    Zelkor::SETIP_SETTINGS settings;
    settings.mac = "02:00:00:00:00:03";
    settings.ip = "10.0.0.3";
    device->SetIP(settings);
    EXPECT_EQ(routerPeer.ReadLine(),
              "[router-1&amp-3][stage-left-amp] setip {\"dhcp\":false,\"ipv4\":\"10.0.0.3\",\"mac\":\"02:00:00:00:00:03\"}\n");
    // Another device's reply is not this one's.
    routerPeer.Send("[stage-left-amp][router-1&amp-4] @setip {\"mac\":\"02:00:00:00:00:04\",\"dhcp\":false}\n");
    routerPeer.Send("[stage-left-amp][router-1&amp-3] @setip {\"mac\":\"02:00:00:00:00:03\",\"dhcp\":false}\n");
    ASSERT_TRUE(WaitUntil([&] { return heard.load() == 1 && heardByDiscovery.load() == 2; }));
    EXPECT_EQ(heardMac, "02:00:00:00:00:03");

    device->SendReboot("");
    EXPECT_EQ(routerPeer.ReadLine(), "[router-1&amp-3][stage-left-amp] reboot {\"mac\":\"\"}\n");
    device->Finalize();
    router->Finalize();
    harness.Stop();
}

}  // namespace
}  // namespace ZelkorTest
