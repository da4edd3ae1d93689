// The device list: one key per device whatever form its GUID came in, removal that leaves
// nothing behind (and takes nothing of another device), the resets, the walk beside the
// request-time bookkeeping, and the list-change notifications.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include <boost/asio/post.hpp>

#include "discovery/DiscoveryTestSupport.h"
#include "services/ISubscriptionService.h"
#include "support/SubscriptionServiceStub.h"
#include "support/RunUntil.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::DeviceNetState;
using Zelkor::DiscoveryService;

const char* const kGuidA = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";
const char* const kGuidB = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";

void expectEmptyTables(const DiscoveryService& service) {
    for (const auto& [table, size] : service.TableSizes()) {
        EXPECT_EQ(size, 0u) << table;
    }
}

std::shared_ptr<Zelkor::TcpSocket> connectionOf(DiscoveryNode& node) {
    return std::make_shared<Zelkor::TcpSocket>(node.io, node.driver->GetSSLContext(), false);
}

TEST(DeviceList, OneDeviceWhateverTheGuidFormAndErasedWithoutTrace) {
    DiscoveryNode node;
    DiscoveryService& list = *node.service;
    auto a = MakeDevice(node.driver.get(), "{5F0C3A52-8E1D-4B7A-9C64-2D1E7F9A0B13}", "amp");
    list.enterDevice(a, DiscoveryService::AllTables);
    for (const char* form : {kGuidA, "5F0C3A528E1D4B7A9C642D1E7F9A0B13", "{5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13}",
                             "5F0C3A52-8E1D-4B7A-9C64-2D1E7F9A0B13"}) {
        EXPECT_EQ(list.GetDeviceByUUID(form), a) << form;
    }
    EXPECT_EQ(list.GetDeviceByUUID(a->getDiscoInfo().Guid()), a);
    list.WantsConnections("5F0C3A528E1D4B7A9C642D1E7F9A0B13", true);
    list.WantsDescriptor("{5F0C3A52-8E1D-4B7A-9C64-2D1E7F9A0B13}", true);
    EXPECT_EQ(list.TableSizes()["wantsConnections"], 1u);
    EXPECT_EQ(list.TableSizes()["wantsDescriptor"], 1u);

    // Another device takes the endpoint and the name, a newer object of the same device
    // takes the GUID: erasing the old object keeps what now names the others.
    auto b = MakeDevice(node.driver.get(), kGuidB, "amp");
    auto again = MakeDevice(node.driver.get(), kGuidA, "amp-2", "10.0.0.7");
    list.enterDevice(b, DiscoveryService::AllTables);
    list.enterDevice(again, DiscoveryService::AllTables);
    list.EraseDevice(a);
    EXPECT_TRUE(a->IsFinalized());
    EXPECT_EQ(list.GetDeviceByUUID(kGuidA), again);
    EXPECT_EQ(list.GetDeviceByName("amp-2"), again);
    EXPECT_EQ(list.GetDeviceByName("amp"), b);
    EXPECT_EQ(list.GetDeviceByIPAndPort(boost::asio::ip::make_address("10.0.0.5"), 4197), b);
    EXPECT_EQ(list.TableSizes()["wantsConnections"], 1u);

    list.EraseDevice("5F0C3A528E1D4B7A9C642D1E7F9A0B13");
    EXPECT_TRUE(again->IsFinalized());
    EXPECT_EQ(list.GetDeviceByUUID(kGuidA), nullptr);
    EXPECT_EQ(list.TableSizes()["wantsConnections"], 0u);
    list.EraseDevice(std::string(kGuidB));
    expectEmptyTables(list);
}

// The application may hold a device longer than the driver lives.
TEST(DeviceList, ADeviceOutlivesItsDriver) {
    auto node = std::make_unique<DiscoveryNode>();
    auto device = MakeDevice(node->driver.get(), kGuidA, "amp");
    node->service->enterDevice(device, DiscoveryService::AllTables);
    device->setCurrentState(Zelkor::DeviceNetStateNew);
    node.reset();
    device->WantsDescriptor(true);
    device->Goodbye();
    EXPECT_EQ(device->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);
}

TEST(DeviceList, ResetDeviceListEmptiesEveryTable) {
    DiscoveryNode node;
    DiscoveryService& list = *node.service;
    std::vector<std::pair<std::string, DeviceNetState>> heard;
    list.OnListChange([&heard](std::shared_ptr<Zelkor::IDevice> device, DeviceNetState state) {
        heard.emplace_back(device->GetDiscoInfo().name, state);
    });
    auto a = MakeDevice(node.driver.get(), kGuidA, "amp");
    auto b = MakeDevice(node.driver.get(), kGuidB, "mixer", "10.0.0.6");
    a->SetHandle(connectionOf(node));
    for (const auto& device : {a, b}) {
        list.enterDevice(device, DiscoveryService::AllTables);
        device->setCurrentState(Zelkor::DeviceNetStateNew);
    }
    list.WantsConnections(kGuidA, true);
    list.SetRequestTime(a->Connections().front(), 100);
    ASSERT_EQ(list.TableSizes()["guidBySocket"], 1u);
    ASSERT_EQ(list.TableSizes()["requestTimes"], 1u);

    list.ResetDeviceList();
    expectEmptyTables(list);
    // A static route's look-up by endpoint finds nothing to reconnect.
    EXPECT_EQ(list.GetDeviceByIPAndPort(boost::asio::ip::make_address("10.0.0.5"), 4197), nullptr);
    ASSERT_TRUE(RunUntil(node.io, [&] { return heard.size() == 6; }));
    EXPECT_EQ(a->GetCurrentState(), Zelkor::DeviceNetStateLost);
    EXPECT_EQ(b->GetCurrentState(), Zelkor::DeviceNetStateLost);
}

class RecordingSubscriptions : public SubscriptionServiceStub {
public:
    void RemoveSubscription(void* handle) override { removed.push_back(handle); }
    std::vector<void*> removed;
};

TEST(DeviceList, ResetAllExceptDropsTheSubscriptionsOfWhatItDrops) {
    DiscoveryNode node;
    auto subscriptions = std::make_shared<RecordingSubscriptions>();
    node.driver->UseSubscriptionService(subscriptions);
    DiscoveryService& list = *node.service;
    auto kept = MakeDevice(node.driver.get(), kGuidA, "amp");
    auto dropped = MakeDevice(node.driver.get(), kGuidB, "mixer", "10.0.0.6");
    kept->SetHandle(connectionOf(node));
    dropped->SetHandle(connectionOf(node));
    list.enterDevice(kept, DiscoveryService::AllTables);
    list.enterDevice(dropped, DiscoveryService::AllTables);
    void* keptHandle = Zelkor::ZelkorDriver::HandleOf(kept->Connections().front().get());
    void* droppedHandle = Zelkor::ZelkorDriver::HandleOf(dropped->Connections().front().get());

    node.driver->DisconnectAllExcept(keptHandle);
    EXPECT_EQ(subscriptions->removed, std::vector<void*>{droppedHandle});
    EXPECT_EQ(list.GetDeviceByUUID(kGuidA), kept);
    EXPECT_EQ(list.GetDeviceBySocket(kept->Connections().front()), kept);
    EXPECT_EQ(list.GetDeviceByUUID(kGuidB), nullptr);
    EXPECT_TRUE(list.IsValidConnection(keptHandle));
    EXPECT_FALSE(list.IsValidConnection(droppedHandle));
    EXPECT_FALSE(list.TimerStopped());
}

// The walk calls its function outside the device set's lock, so a look-up inside it
// cannot meet ClearRequestTime, which takes the tables' lock and then the set's.
TEST(DeviceList, ForEachWithLookupsBesideClearRequestTime) {
    DiscoveryNode node;
    DiscoveryService& list = *node.service;
    auto a = MakeDevice(node.driver.get(), kGuidA, "amp");
    a->SetHandle(connectionOf(node));
    list.enterDevice(a, DiscoveryService::AllTables);
    const auto connection = a->Connections().front();
    constexpr int rounds = 2000;
    std::atomic<int> found{0};
    auto walker = std::async(std::launch::async, [&] {
        for (int i = 0; i < rounds; ++i) {
            list.forEach([&](std::shared_ptr<Zelkor::IDevice>) { found += list.GetDeviceByName("amp") ? 1 : 0; });
        }
    });
    auto clearer = std::async(std::launch::async, [&] {
        for (int i = 0; i < rounds; ++i) {
            list.SetRequestTime(connection, i);
            list.ClearRequestTime(connection);
        }
    });
    const auto deadline = std::chrono::seconds(30);
    if (walker.wait_for(deadline) != std::future_status::ready || clearer.wait_for(deadline) != std::future_status::ready) {
        ADD_FAILURE() << "forEach and ClearRequestTime deadlocked";
        std::_Exit(1);
    }
    EXPECT_EQ(found.load(), rounds);
}

TEST(DeviceList, NotificationsArePostedInOrderAndEndWithStop) {
    DiscoveryNode node;
    DiscoveryService& list = *node.service;
    std::vector<std::string> heard;
    list.OnListChange([&heard](std::shared_ptr<Zelkor::IDevice> device, DeviceNetState state) {
        heard.push_back(device->GetDiscoInfo().name + ":" + std::to_string(state));
    });
    // Keyed by GUID, in any of its forms: this device only, with the old state.
    list.OnListChange("5F0C3A528E1D4B7A9C642D1E7F9A0B13",
                      [&heard](std::shared_ptr<Zelkor::IDevice>, DeviceNetState state, DeviceNetState old) {
                          heard.push_back("a:" + std::to_string(old) + ">" + std::to_string(state));
                      });
    auto a = MakeDevice(node.driver.get(), kGuidA, "amp");
    auto b = MakeDevice(node.driver.get(), kGuidB, "mixer", "10.0.0.6");
    list.enterDevice(a, DiscoveryService::AllTables);
    list.enterDevice(b, DiscoveryService::AllTables);
    a->setCurrentState(Zelkor::DeviceNetStateConnecting);
    b->setCurrentState(Zelkor::DeviceNetStateNew);
    a->setCurrentState(Zelkor::DeviceNetStateConnected);
    a->setCurrentState(Zelkor::DeviceNetStateConnecting);  // refused: no notification
    a->setCurrentState(Zelkor::DeviceNetStateChanged);
    EXPECT_TRUE(heard.empty());
    // On the loop thread too, a handler never runs inside the change.
    std::size_t inside = 99;
    boost::asio::post(node.io, [&] {
        a->setCurrentState(Zelkor::DeviceNetStateUnresponsive);
        inside = heard.size();
    });
    ASSERT_TRUE(RunUntil(node.io, [&] { return heard.size() == 9; }));
    EXPECT_EQ(inside, 7u);
    EXPECT_EQ(heard, (std::vector<std::string>{"amp:8", "a:0>8", "mixer:1", "amp:3", "a:8>3", "amp:2", "a:3>2",
                                               "amp:7", "a:3>7"}));

    list.RemoveOnListChangeHandler(kGuidA);
    b->setCurrentState(Zelkor::DeviceNetStateConnecting);
    list.Stop();
    b->setCurrentState(Zelkor::DeviceNetStateConnected);
    node.io.restart();
    node.io.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(heard.size(), 9u);
    EXPECT_TRUE(a->IsFinalized());
    EXPECT_TRUE(b->IsFinalized());
}

}  // namespace
}  // namespace ZelkorTest
