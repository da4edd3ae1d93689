// Subscriptions between node processes where the way they travel matters: a redundant
// device, whose controller sends every request with a sender hash; a device reached
// through a router, where publishes, rows, events and a publishers list go back by the
// route their subscription came, and where each controller behind the router keeps its
// own; and a subscription attempted over a datagram, which a device must not keep. Each wait is bounded by a deadline; "nothing came" is told by a
// later round trip on the same way.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::Not;

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

    EXPECT_EQ(ask(DeviceCommand("sublog", kAmp, R"("priority":1)"), "sublog")["error"], "");
    EXPECT_EQ(tell(NodeCommand("logevent", R"("priority":2,"category":"audio","text":"clip")"), "logevent")["stored"],
              true);
    const Json::Value row = ctl.Await(LineAbout("log", kAmp));
    EXPECT_EQ(row["text"], "clip");
    EXPECT_EQ(row["priority"], 2);

    EXPECT_EQ(ask(DeviceCommand("subscribeevent", kAmp, R"("name":"/a")"), "subscribeevent")["name"], "/a");
    EXPECT_EQ(tell(NodeCommand("raise", R"("name":"/a/b","value":"v1")"), "raise")["form"], "value");
    const Json::Value event = ctl.Await(LineAbout("event", kAmp));
    EXPECT_EQ(event["name"], "/a/b");
    EXPECT_EQ(event["value"], "v1");

    ASSERT_TRUE(ctl.Send(DeviceCommand("listpublishers", kAmp)));
    EXPECT_EQ(ctl.Await(LineWith("request", "cmd", "listpublishers"))["sent"], true);
    const Json::Value list = ctl.AwaitEvent("listpublishers");
    EXPECT_EQ(CompactJson(list["publishers"]), R"({"/audio/gain":["variant"]})");
    EXPECT_EQ(list["source"], "amp1");

    StopCleanly(ctl);
    for (const auto& text : ctl.Lines()) {
        EXPECT_EQ(text.find(R"("peer":"127.0.0.1)"), std::string::npos) << text;
    }
    StopCleanly(router.process);
    StopCleanly(device.process);
}

// Two controllers behind one router share its one connection to the device. Each keeps
// its own value, polled, log and event subscriptions: both are published the value they
// both subscribed, a poll reads the poller's own list, a row reaches the one whose
// priority admits it, an event the one that asked for it, and one's empty "unsubscribe"
// leaves the other's. A controller that dies loses what it held on the device: once the
// router answers the device's notices for it that it is gone, the device's publishers
// list no longer names its path, and a controller of the same name that comes later is
// sent nothing it did not ask for.
TEST(NodeSubscriptionsRouted, EachControllerBehindARouterHasItsOwnAndLosesThemWhenItDies) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197"), pair.a.Name());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    std::unique_ptr<Node> first = RoutedController(pair, "ctl1", 4197);
    std::unique_ptr<Node> second = RoutedController(pair, "ctl2", 4198);
    NodeProcess& one = first->process;
    const auto ask = [](NodeProcess& node, const std::string& command, const std::string& event) {
        return node.Send(command) ? node.Await(LineAbout(event, kAmp)) : Json::Value();
    };
    const auto tell = [&device](const std::string& command, const std::string& event) {
        return device.process.Send(command) ? device.process.AwaitEvent(event) : Json::Value();
    };
    const auto values = [](const std::string& paths) { return R"("values":[)" + paths + "]"; };
    const std::string gain = values(R"({"path":"/audio/gain"})");

    for (NodeProcess* node : {&one, &second->process}) {
        EXPECT_EQ(ValueEntries(ask(*node, DeviceCommand("subscribe", kAmp, gain), "subscribe")["values"]),
                  "/audio/gain=0");
    }
    EXPECT_EQ(tell(Write("/audio/gain", "-3"), "write")["error"], "");
    for (NodeProcess* node : {&one, &second->process}) {
        EXPECT_EQ(ValueEntries(node->Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-3");
    }
    ask(one, DeviceCommand("subscribepoll", kAmp, R"("name":"p","paths":["/audio/gain"])"), "subscribepoll");
    ask(second->process, DeviceCommand("subscribepoll", kAmp, R"("name":"p","paths":["/audio/mute"])"),
        "subscribepoll");
    EXPECT_EQ(CompactJson(ask(one, DeviceCommand("poll", kAmp, R"("name":"p")"), "poll")["targets"]), "[-3]");
    EXPECT_EQ(ask(one, DeviceCommand("sublog", kAmp, R"("priority":1)"), "sublog")["error"], "");
    EXPECT_EQ(ask(second->process, DeviceCommand("sublog", kAmp, R"("priority":4)"), "sublog")["error"], "");
    EXPECT_EQ(tell(NodeCommand("logevent", R"("priority":2,"category":"audio","text":"clip")"), "logevent")["stored"],
              true);
    EXPECT_EQ(one.Await(LineAbout("log", kAmp))["text"], "clip");
    EXPECT_EQ(ask(one, DeviceCommand("subscribeevent", kAmp, R"("name":"/a")"), "subscribeevent")["name"], "/a");
    EXPECT_EQ(ask(second->process, DeviceCommand("subscribeevent", kAmp, R"("name":"/b")"), "subscribeevent")["name"],
              "/b");
    EXPECT_EQ(tell(NodeCommand("raise", R"("name":"/b","value":"v1")"), "raise")["form"], "value");
    EXPECT_EQ(second->process.Await(LineAbout("event", kAmp))["name"], "/b");
    EXPECT_EQ(tell(NodeCommand("raise", R"("name":"/a/x","value":"v2")"), "raise")["form"], "value");
    // Its first event: the second's went to the second alone.
    EXPECT_EQ(one.Await(LineAbout("event", kAmp))["name"], "/a/x");

    // The second's empty unsubscribe takes only what it held.
    EXPECT_EQ(ask(second->process, DeviceCommand("unsubscribe", kAmp), "unsubscribe")["values"].size(), 0u);
    EXPECT_EQ(tell(Write("/audio/gain", "-6"), "write")["error"], "");
    EXPECT_EQ(ValueEntries(one.Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-6");
    EXPECT_EQ(CompactJson(ask(one, DeviceCommand("poll", kAmp, R"("name":"p")"), "poll")["targets"]), "[-6]");

    // The second subscribes again, then dies without a word. The device's next publish, row
    // and event for it are answered by the router that it is gone.
    ask(second->process, DeviceCommand("subscribe", kAmp, values(R"({"path":"/audio/mute"})")), "subscribe");
    EXPECT_EQ(ask(second->process, DeviceCommand("sublog", kAmp, R"("priority":0)"), "sublog")["error"], "");
    // What the router said so far is passed over: its next closed connection is this one.
    router.process.Await([](const Json::Value&) { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(second->process.Signal(SIGKILL));
    EXPECT_EQ(second->process.Wait(), 128 + SIGKILL);
    second.reset();
    // Notices that reach the router before it has seen the connection end go nowhere and
    // are answered by nothing.
    EXPECT_FALSE(router.process
                     .Await([](const Json::Value& line) {
                         return line["event"] == "connection" && line["connected"] == false &&
                                line["outgoing"] == false;
                     })
                     .isNull());
    EXPECT_EQ(tell(NodeCommand("raise", R"("name":"/b","value":"v3")"), "raise")["form"], "value");
    EXPECT_EQ(tell(NodeCommand("logevent", R"("priority":3,"category":"audio","text":"late")"), "logevent")["stored"],
              true);
    EXPECT_EQ(tell(Write("/audio/mute", "true"), "write")["error"], "");
    std::string publishers;
    for (int attempt = 0; attempt < 50 && publishers != R"({"/audio/gain":["variant"]})"; ++attempt) {
        if (!one.Send(DeviceCommand("listpublishers", kAmp))) {
            break;
        }
        publishers = CompactJson(one.AwaitEvent("listpublishers")["publishers"]);
    }
    EXPECT_EQ(publishers, R"({"/audio/gain":["variant"]})");

    // A controller of the same name, once the router carries its requests, hears nothing
    // of what the one before it subscribed to.
    second = RoutedController(pair, "ctl2", 4198);
    NodeProcess& later = second->process;
    EXPECT_THAT(EventsUntilRoundTrip(later, kAmp, later.Lines().size(), "first"), Contains("request"));
    const std::size_t from = later.Lines().size();
    EXPECT_EQ(tell(Write("/audio/mute", "false"), "write")["error"], "");
    EXPECT_EQ(tell(NodeCommand("raise", R"("name":"/b","value":"v4")"), "raise")["form"], "value");
    EXPECT_EQ(tell(NodeCommand("logevent", R"("priority":3,"category":"audio","text":"later")"), "logevent")["stored"],
              true);
    EXPECT_THAT(EventsUntilRoundTrip(later, kAmp, from, "after"),
                AllOf(Contains("request"), Not(Contains("publish")), Not(Contains("event")), Not(Contains("log"))));

    // A controller that leaves with a goodbye through the router takes only its own: the
    // router's connection, and the first controller's subscriptions on it, stay.
    StopCleanly(later);
    EXPECT_EQ(tell(Write("/audio/gain", "-9"), "write")["error"], "");
    EXPECT_EQ(ValueEntries(one.Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-9");
    StopCleanly(one);
    StopCleanly(router.process);
    StopCleanly(device.process);
}

// A controller speaking through the router on a connection of its own in namespace b,
// line by line, so that the test decides when it answers the rows it is sent.
class RawController {
public:
    RawController(const VethPair& pair, const std::string& name) : _name(name) {
        _opened = pair.b.Run([this] { _peer.Socket().open(boost::asio::ip::tcp::v4()); }) &&
                  _peer.Connect({boost::asio::ip::make_address(VethPair::AddressA), 4197});
    }

    bool Opened() const { return _opened; }

    // A request to "amp1" through "rt1"; its reply line.
    std::string Ask(const std::string& request) {
        _peer.Send(_to + request + "\n");
        return _peer.ReadLine();
    }

    // The seqno of each row read, every row answered (`pause` after it came), until row
    // `last` or nothing more came; a line that is no row ends it too.
    std::vector<int> RowsUntil(int last, std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
        std::vector<int> seqnos;
        while (seqnos.empty() || seqnos.back() != last) {
            const std::string line = _peer.ReadLine();
            const std::string head = "[" + _name + "][rt1&amp1] log ";
            if (line.rfind(head, 0) != 0) {
                ADD_FAILURE() << _name << " read: " << line;
                break;
            }
            Json::Value row;
            std::string errors;
            Json::CharReaderBuilder builder;
            const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            const char* body = line.data() + head.size();
            if (!reader->parse(body, line.data() + line.size(), &row, &errors)) {
                ADD_FAILURE() << _name << " read: " << line;
                break;
            }
            seqnos.push_back(std::stoi(row["seqno"].asString()));
            std::this_thread::sleep_for(pause);
            _peer.Send(_to + "@log {}\n");
        }
        return seqnos;
    }

private:
    std::string _name;
    // The header of its lines to the device behind "rt1".
    std::string _to = "[rt1&amp1][" + _name + "] ";
    RawPeer _peer;
    bool _opened = false;
};

// A device holding 1,200 rows, reached through a router by two controllers. The first
// replays all of them and holds its first row unanswered (the device's connection to the
// router then carries nothing more: its requests go one at a time) until the device has
// logged three more rows; the second asked for the last row only. Each receives every row
// once, in number order: the first the three new rows after the whole history.
TEST(NodeLogReplay, RowsLoggedDuringAReplayFollowTheHistoryThroughARouter) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    constexpr int kRows = 1200;
    TempDir folder;
    std::string log;
    for (int seqno = 1; seqno <= kRows; ++seqno) {
        log += R"({"category":"c","event":")" + std::string(100, 'e') + R"(","priority":1,"seqno":)" +
               std::to_string(seqno) + R"(,"time":1})" + "\n";
    }
    WriteFile(folder.File("event.log"), log);
    NodeProcess device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197"), pair.a.Name(),
                       folder.Path().string());
    ASSERT_FALSE(device.AwaitEvent("listenerAdded").isNull());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    ASSERT_FALSE(router.process.Await(LineWith("security", "name", "amp1")).isNull());

    RawController replaying(pair, "ctl1");
    RawController following(pair, "ctl2");
    ASSERT_TRUE(replaying.Opened() && following.Opened());
    ASSERT_EQ(replaying.Ask(R"(sublog {"mark":1})"), "[ctl1][rt1&amp1] @sublog {}\n");
    ASSERT_EQ(following.Ask(R"(sublog {"mark":-1})"), "[ctl2][rt1&amp1] @sublog {}\n");
    for (int added = 1; added <= 3; ++added) {
        ASSERT_TRUE(device.Send(NodeCommand("logevent", R"("priority":1,"category":"c","text":"new")")));
        ASSERT_EQ(device.AwaitEvent("logevent")["seqno"], kRows + added);
    }

    // Each answers its rows as they come: the device's connection waits on both.
    std::vector<int> followed;
    std::thread second([&] { followed = following.RowsUntil(kRows + 3); });
    const std::vector<int> replayed = replaying.RowsUntil(kRows + 3);
    second.join();
    std::vector<int> expected(kRows + 3);
    for (int seqno = 1; seqno <= kRows + 3; ++seqno) {
        expected[static_cast<std::size_t>(seqno - 1)] = seqno;
    }
    EXPECT_EQ(replayed, expected);
    EXPECT_EQ(followed, (std::vector<int>{kRows, kRows + 1, kRows + 2, kRows + 3}));

    StopCleanly(router.process);
    StopCleanly(device);
}

// Strangers that come to the router one after another, each asking the device once under a
// name of its own and going, while the device's rows queue for a controller that answers
// each after a while. The router tells the device of each name's end by refusing a notice
// of it; that answers none of the rows the device awaits answers for. Before, each such
// word let the device write one more row while the earlier ones were unanswered, and at
// 64 it closed its connection to the router: every requester behind it lost its
// subscriptions, the controller most of its rows.
TEST(NodeLogReplay, StrangersComingAndGoingCostASlowSubscriberNoRow) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    constexpr int kRows = 200;
    constexpr int kStrangers = 100;
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197"), pair.a.Name());
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    ASSERT_FALSE(router.process.Await(LineWith("security", "name", "amp1")).isNull());
    RawController slow(pair, "ctl1");
    ASSERT_TRUE(slow.Opened());
    ASSERT_EQ(slow.Ask(R"(sublog {"mark":0})"), "[ctl1][rt1&amp1] @sublog {}\n");
    for (int row = 1; row <= kRows; ++row) {
        ASSERT_TRUE(device.process.Send(NodeCommand("logevent", R"("priority":1,"category":"c","text":"r")")));
    }
    // Every row logged, most of them still queued behind the first.
    ASSERT_FALSE(device.process.Await(LineWith("logevent", "seqno", kRows), std::chrono::seconds(60)).isNull());
    std::thread strangers([&pair] {
        for (int i = 0; i < kStrangers; ++i) {
            RawPeer stranger;
            if (!pair.b.Run([&] { stranger.Socket().open(boost::asio::ip::tcp::v4()); }) ||
                !stranger.Connect({boost::asio::ip::make_address(VethPair::AddressA), 4197})) {
                ADD_FAILURE() << "stranger " << i << " could not connect";
                return;
            }
            stranger.Send("[rt1&amp1][S" + std::to_string(i) + R"(] get {"path":"/audio/gain"})" + "\n");
            stranger.Close();
        }
    });
    const std::vector<int> rows = slow.RowsUntil(kRows, std::chrono::milliseconds(50));
    strangers.join();
    std::vector<int> expected(kRows);
    for (int seqno = 1; seqno <= kRows; ++seqno) {
        expected[static_cast<std::size_t>(seqno - 1)] = seqno;
    }
    EXPECT_EQ(rows, expected);
    EXPECT_TRUE(LinesOf(device.process, LineWith("connection", "connected", false)).empty())
        << "the device lost its connection to the router";
    EXPECT_TRUE(LinesOf(router.process, DeviceLine("amp1", "Disconnected")).empty());

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
    EXPECT_EQ(CompactJson(controller.process.AwaitEvent("listpublishers")["publishers"]), "{}");

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
