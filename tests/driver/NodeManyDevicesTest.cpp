// A router with many devices behind it, over a veth pair (root only, else skipped): the
// devices (FakeDevices) and the router sit in namespace a, the devices on its loopback
// where only the router reaches them; the controller in b, or a raw requester there,
// reaches them through the router.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/FakeDevices.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

// More than a requester's way back through a router once remembered.
constexpr std::size_t kDevices = 80;

// Every device the controller subscribed to through the router reaches it with its
// publishes, whichever it asked first and in whatever order they publish.
TEST(NodeManyDevices, EveryPublishOfEveryDeviceBehindTheRouterArrives) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    FakeDevices devices(kDevices, &pair.a);
    std::vector<std::string> arguments{"--listen", "10.77.0.1:4197"};
    for (std::size_t i = 0; i < kDevices; ++i) {
        arguments.insert(arguments.end(), {"--route", "127.0.0.1," + std::to_string(devices.Port(i))});
    }
    Node router(Options("router", "rt1", arguments), pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;

    std::set<std::string> listed;
    while (listed.size() < kDevices) {
        const Json::Value line = ctl.Await(
            [](const Json::Value& line) {
                return line["event"] == "device" && line["state"] == "New" && line["proxy"] == "rt1";
            },
            60s);
        ASSERT_FALSE(line.isNull()) << listed.size() << " listed";
        listed.insert(line["guid"].asString());
    }
    for (std::size_t i = 0; i < kDevices; ++i) {
        ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", devices.Port(i))));
        ASSERT_FALSE(ctl.Await(LineAbout("device", FakeDevices::Guid(i),
                                         [](const Json::Value& line) { return line["state"] == "Connected"; }),
                               60s)
                         .isNull())
            << FakeDevices::Name(i);
    }
    for (std::size_t i = 0; i < kDevices; ++i) {
        const std::string guid = FakeDevices::Guid(i);
        ASSERT_TRUE(ctl.Send(DeviceCommand("subscribe", guid, R"("values":[{"path":"/x"}])")));
        ASSERT_FALSE(ctl.Await(LineAbout("subscribe", guid), 60s).isNull()) << FakeDevices::Name(i);
    }
    // The first ones asked publish last.
    for (std::size_t i = kDevices; i-- > 0;) {
        const std::string guid = FakeDevices::Guid(i);
        devices.Publish(i, R"({"path":"/x","value":)" + std::to_string(i) + "}");
        const Json::Value publish = ctl.Await(LineAbout("publish", guid), 60s);
        ASSERT_FALSE(publish.isNull()) << FakeDevices::Name(i);
        EXPECT_EQ(ValueEntries(publish["values"]), "/x=" + std::to_string(i));
    }
}

// A requester that follows many devices hears their publishes one at a time, the
// router's connection to it carrying one request at a time. It takes its time over each,
// well within the bound, while the last publishes wait their turn for longer than the
// router ever lets a notice go unanswered: none is refused to its device, as if the
// requester were gone, for the time it waited behind the others.
TEST(NodeManyDevices, PublishesWaitingTheirTurnForABusyRequesterAreNotRefused) {
    constexpr std::size_t count = 16;
    // Long enough, over all of them, for the last to wait more than 20 s.
    constexpr auto takes = 1500ms;
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    FakeDevices devices(count, &pair.a);
    std::vector<std::string> arguments{"--listen", "10.77.0.1:4197"};
    for (std::size_t i = 0; i < count; ++i) {
        arguments.insert(arguments.end(), {"--route", "127.0.0.1," + std::to_string(devices.Port(i))});
    }
    Node router(Options("router", "rt1", arguments), pair.a.Name());
    ASSERT_FALSE(router.process.AwaitEvent("listenerAdded").isNull());
    RawPeer requester;
    ASSERT_TRUE(pair.b.Run([&requester] { requester.Socket().open(boost::asio::ip::tcp::v4()); }));
    ASSERT_TRUE(requester.Connect({boost::asio::ip::make_address(VethPair::AddressA), 4197}));
    // Each device is asked again until the router has reached it ("Device not found").
    for (std::size_t i = 0; i < count; ++i) {
        const std::string subscribe =
            "[rt1&" + FakeDevices::Name(i) + "][busy] subscribe {\"values\":[{\"path\":\"/x\"}]}\n";
        ASSERT_TRUE(WaitUntil(
            [&] {
                requester.Send(subscribe);
                if (requester.ReadLine().find(" @subscribe {\"values\"") != std::string::npos) {
                    return true;
                }
                std::this_thread::sleep_for(50ms);
                return false;
            },
            60s))
            << FakeDevices::Name(i);
    }
    for (std::size_t i = 0; i < count; ++i) {
        devices.Publish(i, R"({"path":"/x","value":)" + std::to_string(i) + "}");
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::string line = requester.ReadLine();
        const auto split = line.find("][");
        const auto end = line.find("] publish ");
        ASSERT_TRUE(split != std::string::npos && end != std::string::npos) << line;
        // Time it takes, not a wait for anything.
        std::this_thread::sleep_for(takes);
        requester.Send("[" + line.substr(split + 2, end - split - 2) + "][busy] @publish {}\n");
    }
    ASSERT_TRUE(WaitUntil([&] { return devices.PublishesAnswered() == count; }));
    EXPECT_EQ(devices.PublishesRefused(), 0u);
}

}  // namespace
}  // namespace ZelkorTest
