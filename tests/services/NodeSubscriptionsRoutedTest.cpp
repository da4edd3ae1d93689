// Subscriptions between node processes where the way they travel matters: a redundant
// device, whose controller sends every request with a sender hash; a device reached
// through a router, where publishes, rows, events and a publishers list go back by the
// route their subscription came; and a subscription attempted over a datagram, which a
// device must not keep. Each wait is bounded by a deadline; "nothing came" is told by a
// later round trip on the same way.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

std::string Write(const std::string& path, const std::string& value) {
    return NodeCommand("write", R"("path":")" + path + R"(","value":)" + value);
}

// The sample tree with `inclusions` as the device's inclusions, written to `dir`.
std::string SampleTreeWithInclusions(const TempDir& dir, const std::string& inclusions) {
    Json::Value tree;
    std::string errors;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string text = ReadFile(kSampleTreeFile);
    if (!reader->parse(text.data(), text.data() + text.size(), &tree, &errors)) {
        ADD_FAILURE() << "sample tree unreadable: " << errors;
    }
    tree["configuration"]["device"]["inclusions"][".value"] = inclusions;
    const std::string file = dir.File("redundant-tree.json");
    WriteFile(file, CompactJson(tree));
    return file;
}

// A device that lists "redundant" among its inclusions is sent every request with a sender
// hash. Its publishes carry none: the same value published twice is no repeated line to
// the controller's duplicate filter, so A, B, A arrive as three publishes.
TEST(NodeSubscriptionsRedundant, RepeatedValuesArePublishedEachTime) {
    NetNamespace space{"redun"};
    const std::string place = space.Made() ? space.Name() : "";
    TempDir trees;
    Node device(Options("device", "amp1",
                        {"--guid", kAmp, "--tree", SampleTreeWithInclusions(trees, "redundant"), "--listen",
                         "127.0.0.1:4197"}),
                place);
    Node controller(ControllerOptions(false, "ctl1", 4198), place);
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(ConnectTo(controller.process, "127.0.0.1", 4197, kAmp, false));

    ASSERT_TRUE(controller.process.Send(DeviceCommand("subscribe", kAmp, R"("values":[{"path":"/audio/gain"}])")));
    EXPECT_EQ(ValueEntries(controller.process.Await(LineAbout("subscribe", kAmp))["values"]), "/audio/gain=0");
    for (const char* value : {"-3", "-6", "-3"}) {
        ASSERT_TRUE(device.process.Send(Write("/audio/gain", value)));
        EXPECT_EQ(device.process.AwaitEvent("write")["error"], "");
        EXPECT_EQ(ValueEntries(controller.process.Await(LineAbout("publish", kAmp))["values"]),
                  std::string("/audio/gain=") + value);
    }

    StopCleanly(controller.process);
    StopCleanly(device.process);
}

// Three processes: the device serves the loopback of namespace a only, the router in a
// reaches it by a static route and serves the link, the controller in b reaches the
// router by its own route and the device through it. What the controller subscribed to
// comes back the way its request went: the subscribe reply, a publish, a log row, an
// event, and a publishers list that names the device as its source.
TEST(NodeSubscriptionsRouted, EverythingSubscribedReachesTheControllerThroughTheRouter) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197"), pair.a.Name());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    const auto ask = [&ctl](const std::string& command, const std::string& event) {
        return ctl.Send(command) ? ctl.Await(LineAbout(event, kAmp)) : Json::Value();
    };
    const auto tell = [&device](const std::string& command, const std::string& event) {
        return device.process.Send(command) ? device.process.AwaitEvent(event) : Json::Value();
    };

    EXPECT_EQ(ctl.Await(DeviceLine("amp1", "New"))["proxy"], "rt1");
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_EQ(ctl.Await(DeviceLine("amp1", "Connected"))["proxy"], "rt1");

    EXPECT_EQ(ValueEntries(ask(DeviceCommand("subscribe", kAmp, R"("values":[{"path":"/audio/gain"}])"),
                               "subscribe")["values"]),
              "/audio/gain=0");
    EXPECT_EQ(tell(Write("/audio/gain", "-3"), "write")["error"], "");
    EXPECT_EQ(ValueEntries(ctl.Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-3");

    EXPECT_EQ(ask(DeviceCommand("sublog", kAmp, R"("priority":1)"), "sendSubLog")["error"], "");
    EXPECT_EQ(tell(NodeCommand("logevent", R"("priority":2,"category":"audio","text":"clip")"), "logevent")["stored"],
              true);
    const Json::Value row = ctl.Await(LineAbout("log", kAmp));
    EXPECT_EQ(row["text"], "clip");
    EXPECT_EQ(row["priority"], 2);

    EXPECT_EQ(ask(DeviceCommand("subscribeevent", kAmp, R"("name":"/a")"), "subscribeEvent")["name"], "/a");
    EXPECT_EQ(tell(NodeCommand("raise", R"("name":"/a/b","value":"v1")"), "raise")["form"], "value");
    const Json::Value event = ctl.Await(LineAbout("event", kAmp));
    EXPECT_EQ(event["name"], "/a/b");
    EXPECT_EQ(event["value"], "v1");

    ASSERT_TRUE(ctl.Send(DeviceCommand("listpublishers", kAmp)));
    EXPECT_EQ(ctl.Await(LineWith("request", "cmd", "listpublishers"))["sent"], true);
    const Json::Value list = ctl.AwaitEvent("listPublishers");
    EXPECT_EQ(CompactJson(list["publishers"]), R"({"/audio/gain":["variant"]})");
    EXPECT_EQ(list["source"], "amp1");

    StopCleanly(ctl);
    for (const auto& text : ctl.Lines()) {
        EXPECT_EQ(text.find(R"("peer":"127.0.0.1)"), std::string::npos) << text;
    }
    StopCleanly(router.process);
    StopCleanly(device.process);
}

// A UDP socket of the test inside a namespace, on the protocol port of every address
// there: it hears what a device multicasts as well as what it answers to it.
class Datagrams {
public:
    explicit Datagrams(const NetNamespace& space) {
        _made = space.Run([this] {
            boost::system::error_code error;
            _socket.open(boost::asio::ip::udp::v4(), error);
            _socket.set_option(boost::asio::socket_base::reuse_address(true), error);
            _socket.bind({boost::asio::ip::address_v4::any(), 4197}, error);
            _bound = !error;
        });
    }

    bool Ready() const { return _made && _bound; }

    // One line: a datagram without its line end is dropped unread.
    void SendTo(const std::string& address, const std::string& line) {
        boost::system::error_code error;
        _socket.send_to(boost::asio::buffer(line + "\n"), {boost::asio::ip::make_address(address), 4197}, 0, error);
        EXPECT_FALSE(error) << error.message();
    }

    // Every datagram heard until one begins with `last` (kept, last), or the deadline.
    std::vector<std::string> Until(const std::string& last,
                                   std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        std::vector<std::string> heard;
        const auto until = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < until) {
            std::string buffer(65536, '\0');
            bool got = false;
            _socket.async_receive(boost::asio::buffer(buffer),
                                  [&](const boost::system::error_code& error, std::size_t size) {
                                      got = !error;
                                      buffer.resize(size);
                                  });
            _io.restart();
            _io.run_until(until);
            if (!got) {
                _socket.cancel();
                _io.restart();
                _io.run();
                break;
            }
            heard.push_back(buffer);
            if (buffer.rfind(last, 0) == 0) {
                break;
            }
        }
        return heard;
    }

private:
    boost::asio::io_context _io;
    boost::asio::ip::udp::socket _socket{_io};
    bool _made = false;
    bool _bound = false;
};

bool Begins(const std::vector<std::string>& lines, const std::string& start) {
    for (const auto& line : lines) {
        if (line.rfind(start, 0) == 0) {
            return true;
        }
    }
    return false;
}

// Over a veth pair: peer "b" sends the device a "subscribe" datagram. The device keeps no
// subscription for it (no answer, its publishers list stays empty) and later sends "b" no
// "publish" when it writes the value. A discovery request of "b" after each step is
// answered only once the device has handled what came before it.
TEST(NodeSubscriptionsOverUdp, ADatagramSubscribesNobody) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(SampleDeviceOptions(false, "amp1", kAmp, std::string(VethPair::AddressA) + ":4197"), pair.a.Name());
    Datagrams peer(pair.b);
    ASSERT_TRUE(peer.Ready());
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    const std::string disco = R"(disco {"params":["name"]})";

    peer.SendTo(VethPair::AddressA, R"(subscribe {"path":"/audio/gain"})");
    peer.SendTo(VethPair::AddressA, disco);
    const auto first = peer.Until("@disco");
    ASSERT_TRUE(Begins(first, "@disco")) << "no discovery reply";
    EXPECT_FALSE(Begins(first, "@subscribe"));

    Node controller(ControllerOptions(false, "ctl1", 4198), pair.b.Name());
    ASSERT_TRUE(ConnectTo(controller.process, VethPair::AddressA, 4197, kAmp, false));
    ASSERT_TRUE(controller.process.Send(DeviceCommand("listpublishers", kAmp)));
    EXPECT_EQ(CompactJson(controller.process.AwaitEvent("listPublishers")["publishers"]), "{}");

    ASSERT_TRUE(device.process.Send(Write("/audio/gain", "-3")));
    EXPECT_EQ(device.process.AwaitEvent("write")["error"], "");
    peer.SendTo(VethPair::AddressA, disco);
    const auto later = peer.Until("@disco");
    ASSERT_TRUE(Begins(later, "@disco")) << "no discovery reply";
    EXPECT_FALSE(Begins(later, "publish"));

    StopCleanly(controller.process);
    StopCleanly(device.process);
}

}  // namespace
}  // namespace ZelkorTest
