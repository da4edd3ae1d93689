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

// A requester's notice waits its turn behind whatever else the router's connection to it
// carries: here a reply of megabytes that the requester leaves unread for longer than the
// router ever let a notice wait. The router awaits nothing of it meanwhile, and the
// publish that waits does not age: its requester, once it reads on and answers at once,
// is not refused as gone, and its subscription stays.
TEST(NodeManyDevices, PublishesWaitingTheirTurnForABusyRequesterAreNotRefused) {
    constexpr std::size_t count = 2;
    // Longer than a notice that waited ever lasted (20 s), and than a peer the router
    // awaits an answer from may stay silent.
    constexpr auto unread = 25s;
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
    ASSERT_TRUE(pair.b.Run([&requester] {
        requester.Socket().open(boost::asio::ip::tcp::v4());
        // A window that stays small: what it leaves unread soon holds up the router's write.
        requester.Socket().set_option(boost::asio::socket_base::receive_buffer_size(16 << 10));
    }));
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
    // The first device echoes 12 MB back, more than the kernel holds on the way: the
    // router is still writing it once its first bytes came, when the other one publishes.
    const std::string body = "{\"values\":[{\"path\":\"/x\"}],\"pad\":\"" + std::string(12 << 20, 'x') + "\"}\n";
    requester.Send("[rt1&" + FakeDevices::Name(0) + "][busy] get " + body);
    ASSERT_TRUE(WaitUntil([&] { return requester.Socket().available() > 0; }, 60s));
    devices.Publish(1, R"({"path":"/x","value":1})");
    // Time that passes, not a wait for anything.
    std::this_thread::sleep_for(unread);

    const std::string reply = requester.ReadLine(60s);
    const std::string head = "[busy][rt1&" + FakeDevices::Name(0) + "] @get ";
    EXPECT_TRUE(reply.size() == head.size() + body.size() && reply.compare(0, head.size(), head) == 0 &&
                reply.compare(head.size(), body.size(), body) == 0)
        << reply.size() << " bytes: " << reply.substr(0, 80);
    for (int n = 1; n <= 2; ++n) {
        const std::string line = requester.ReadLine();
        ASSERT_EQ(line, "[busy][rt1&" + FakeDevices::Name(1) + "] publish {\"path\":\"/x\",\"value\":" +
                            std::to_string(n) + "}\n");
        requester.Send("[rt1&" + FakeDevices::Name(1) + "][busy] @publish {}\n");
        ASSERT_TRUE(WaitUntil([&] { return devices.PublishesAnswered() == static_cast<std::size_t>(n); }));
        EXPECT_EQ(devices.PublishesRefused(), 0u);
        if (n == 1) {
            devices.Publish(1, R"({"path":"/x","value":2})");
        }
    }
}

// But a requester that leaves such a reply unread for good holds the publish behind it,
// and with it its device's connection to the router, for everyone: past the router's grace
// for output left untaken, the publish is refused to its device as if the requester were
// gone, while another requester of the same device, beside it, has its publishes.
TEST(NodeManyDevices, APublishBehindAReplyLeftUnreadIsRefusedToItsDevice) {
    constexpr std::size_t count = 2;
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
    RawPeer stopped, honest;
    ASSERT_TRUE(pair.b.Run([&] {
        stopped.Socket().open(boost::asio::ip::tcp::v4());
        stopped.Socket().set_option(boost::asio::socket_base::receive_buffer_size(16 << 10));
        honest.Socket().open(boost::asio::ip::tcp::v4());
    }));
    const boost::asio::ip::tcp::endpoint to{boost::asio::ip::make_address(VethPair::AddressA), 4197};
    ASSERT_TRUE(stopped.Connect(to));
    ASSERT_TRUE(honest.Connect(to));
    // The device publishes to whoever subscribed last; it is asked again until the
    // router has reached it ("Device not found").
    const auto subscribe = [&](RawPeer& peer, const std::string& name) {
        const std::string line =
            "[rt1&" + FakeDevices::Name(1) + "][" + name + "] subscribe {\"values\":[{\"path\":\"/x\"}]}\n";
        return WaitUntil(
            [&] {
                peer.Send(line);
                if (peer.ReadLine().find(" @subscribe {\"values\"") != std::string::npos) {
                    return true;
                }
                std::this_thread::sleep_for(50ms);
                return false;
            },
            60s);
    };
    ASSERT_TRUE(subscribe(stopped, "stopped"));
    const std::string body = "{\"values\":[{\"path\":\"/x\"}],\"pad\":\"" + std::string(12 << 20, 'x') + "\"}\n";
    stopped.Send("[rt1&" + FakeDevices::Name(0) + "][stopped] get " + body);
    ASSERT_TRUE(WaitUntil([&] { return stopped.Socket().available() > 0; }, 60s));
    devices.Publish(1, R"({"path":"/x","value":1})");

    ASSERT_TRUE(subscribe(honest, "honest"));
    devices.Publish(1, R"({"path":"/x","value":2})");
    EXPECT_EQ(honest.ReadLine(), "[honest][rt1&" + FakeDevices::Name(1) + "] publish {\"path\":\"/x\",\"value\":2}\n");
    honest.Send("[rt1&" + FakeDevices::Name(1) + "][honest] @publish {}\n");
    // The grace, the bound and the timer's turn, with room for a loaded machine.
    ASSERT_TRUE(WaitUntil([&] { return devices.PublishesRefused() == 1; }, 180s));
    EXPECT_TRUE(WaitUntil([&] { return devices.PublishesAnswered() == 2; }, 60s));
}

}  // namespace
}  // namespace ZelkorTest
