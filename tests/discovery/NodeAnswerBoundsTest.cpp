// Answers are awaited for a bound of their kind, not for as long as bytes come. Node
// processes over a veth pair (root only, else skipped), their timers twenty times faster
// (an answer from the tree is awaited 10 s, one that takes work 30 s): a device that
// keeps talking but never answers is lost to the router alone, which answers for it, and
// a device whose answer takes longer than the old silence bound is waited for. Every wait
// has a deadline.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

constexpr const char* kChattyGuid = "5a6b7c8d-9e0f-4a1b-8c2d-3e4f5a6b7c8d";
constexpr unsigned short kChattyPort = 4300;

// How a ChattyDevice talks: `chatter` every second (a bare line feed, as a device whose
// handler hangs while its I/O still runs, or a reply nobody asked for), unless `pacing`:
// then it answers a get with a line that comes at 100 KiB a second, as on a slow link, and
// ends after `answerBytes` of its value (0: never). With a `listingTime`, it answers each
// listing that long after the one before it (a busy disk).
struct Chatter {
    bool pacing = false;
    std::size_t answerBytes = 0;
    std::chrono::milliseconds listingTime{};
    std::string chatter = "\n";
};

// A device of the test's making in namespace b that a router reaches by a static route:
// it answers discovery on the connection and leaves every other request unanswered, but
// as its Chatter says.
class ChattyDevice {
public:
    ChattyDevice(const NetNamespace& space, Chatter ways)
        : _pacing(ways.pacing), _answerBytes(ways.answerBytes), _listingTime(ways.listingTime),
          _chatter(std::move(ways.chatter)) {
        space.Run([this] {
            _acceptor.open(tcp::v4());
            _acceptor.set_option(tcp::acceptor::reuse_address(true));
            _acceptor.bind({boost::asio::ip::make_address(VethPair::AddressB), kChattyPort});
            _acceptor.listen();
        });
        _thread = std::thread([this] { serve(); });
    }
    ~ChattyDevice() {
        _stop = true;
        boost::system::error_code ignored;
        _acceptor.close(ignored);
        _thread.join();
    }

private:
    void serve() {
        _acceptor.non_blocking(true);
        tcp::socket socket(_io);
        boost::system::error_code error;
        for (_acceptor.accept(socket, error); !_stop && error; _acceptor.accept(socket, error)) {
            std::this_thread::sleep_for(50ms);
        }
        socket.non_blocking(true);
        std::string buffer;
        bool answering = false;
        std::size_t sent = 0;
        auto chat = std::chrono::steady_clock::now();
        auto answerStart = chat;
        std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> listings;
        while (!_stop && socket.is_open()) {
            char data[4096];
            const std::size_t count = socket.read_some(boost::asio::buffer(data), error);
            if (error && error != boost::asio::error::would_block) {
                return;
            }
            buffer.append(data, count);
            for (auto end = buffer.find('\n'); end != std::string::npos; end = buffer.find('\n')) {
                const std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                if (line.find("disco") != std::string::npos && line.find("@disco") == std::string::npos) {
                    send(socket, std::string(R"(@disco {"classname":"amplifier","guid":")") + kChattyGuid +
                                     R"(","mode":"device","name":"chatty","port":4300})" "\n");
                } else if (_pacing && line.find(" get ") != std::string::npos && !answering) {
                    answering = true;
                    answerStart = std::chrono::steady_clock::now();
                    send(socket, R"([rt1&ctl1][chatty] @get {"path":"/audio/gain","value":")");
                } else if (_listingTime != 0ms && line.find(" listfiles ") != std::string::npos) {
                    // [chatty][rt1&REQUESTER] listfiles ...: answered the other way round.
                    const auto sources = line.find("][") + 2;
                    const std::string requester = line.substr(sources, line.find(']', sources) - sources);
                    const auto after = listings.empty() ? std::chrono::steady_clock::now() : listings.back().first;
                    listings.emplace_back(after + _listingTime, "[" + requester + R"(][chatty] @listfiles {"path":"/"})" "\n");
                }
            }
            while (!listings.empty() && listings.front().first <= std::chrono::steady_clock::now()) {
                send(socket, listings.front().second);
                listings.pop_front();
            }
            if (answering) {
                // At the pace however late this thread runs: what is due by now.
                const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - answerStart);
                std::size_t due = static_cast<std::size_t>(elapsed.count()) * kPace / 1000;
                if (_answerBytes != 0) {
                    due = std::min(due, _answerBytes);
                }
                send(socket, std::string(due - sent, 'x'));
                sent = due;
                if (_answerBytes != 0 && sent == _answerBytes) {
                    send(socket, "\"}\n");
                    answering = false;
                    chat = std::chrono::steady_clock::time_point::max();
                }
            } else if (std::chrono::steady_clock::now() >= chat) {
                send(socket, _chatter);
                chat = std::chrono::steady_clock::now() + 1s;
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    static void send(tcp::socket& socket, const std::string& text) {
        boost::system::error_code ignored;
        socket.non_blocking(false);
        boost::asio::write(socket, boost::asio::buffer(text), ignored);
        socket.non_blocking(true);
    }

    static constexpr std::size_t kPace = 100 * 1024;
    const bool _pacing;
    const std::size_t _answerBytes;
    const std::chrono::milliseconds _listingTime;
    const std::string _chatter;
    boost::asio::io_context _io;
    tcp::acceptor _acceptor{_io};
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

std::string Get(const std::string& guid, const std::string& tag) {
    return DeviceCommand("get", guid, R"("tag":")" + tag + R"(","values":[{"path":"/audio/gain"}])");
}

// The sample device and a ChattyDevice behind a router, and a controller in namespace b
// that reaches both through it.
struct ChattyBehindARouter {
    explicit ChattyBehindARouter(Chatter ways) {
        if (!pair.Missing().empty()) {
            return;
        }
        chatty = std::make_unique<ChattyDevice>(pair.b, std::move(ways));
        device = std::make_unique<Node>(SampleDeviceOptions(false), pair.a.Name());
        router = std::make_unique<Node>(
            Options("router", "rt1",
                    {"--listen", std::string(VethPair::AddressA) + ":4197", "--route", "127.0.0.1,4197", "--route",
                     std::string(VethPair::AddressB) + "," + std::to_string(kChattyPort)}),
            pair.a.Name());
        controller = RoutedController(pair, "ctl1", 4197);
        listed = Listed(controller->process, "chatty", 60s);
    }
    // No line of the controller's from line `from` on tells of a connection lost.
    void ExpectNoConnectionLost(std::size_t from) const { ExpectNoConnectionLost(controller->process, from); }
    static void ExpectNoConnectionLost(const NodeProcess& controller, std::size_t from) {
        const auto lines = controller.Lines();
        for (std::size_t at = from; at < lines.size(); ++at) {
            EXPECT_EQ(lines[at].find(R"("connected":false)"), std::string::npos) << lines[at].substr(0, 200);
        }
    }

    VethPair pair;
    std::unique_ptr<ChattyDevice> chatty;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
    std::unique_ptr<Node> controller;
    bool listed = false;
};

struct Mute {
    const char* name;
    Chatter ways;
};

class NodeAnswerBounds : public ::testing::TestWithParam<Mute> {};

// Before, the device's line feeds kept the router's connection to it from ever counting
// as lost: the router never answered the held get, and the controller, whose connection
// to the router carries one request at a time, had its gets to the honest device held
// behind it until it gave up its whole connection to the router. An answer that keeps
// coming at the pace, but never ends, held the router past the controller's own bound,
// which cost the controller that connection all the same. Replies nobody asked for,
// passed on, released the controller's lock-step: its gets to the honest device went
// while the held one waited, and the first answer was taken for the held get's.
TEST_P(NodeAnswerBounds, AChattyDeviceThatNeverAnswersIsLostToTheRouterAloneAndOthersAreServed) {
    ChattyBehindARouter net(GetParam().ways);
    if (!net.pair.Missing().empty()) {
        GTEST_SKIP() << net.pair.Missing();
    }
    ASSERT_TRUE(net.listed);
    NodeProcess& ctl = net.controller->process;
    const std::size_t from = ctl.Lines().size();
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(ctl.Send(Get(kChattyGuid, "held")));
    for (const char* tag : {"d1", "d2", "d3"}) {
        ASSERT_TRUE(ctl.Send(Get(kAmp, tag)));
    }
    const Json::Value held = ctl.Await(LineWith("get", "tag", "held"), 40s);
    EXPECT_EQ(ValueEntries(held["values"]), "/audio/gain!connection lost");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 30s);
    for (const char* tag : {"d1", "d2", "d3"}) {
        EXPECT_EQ(ValueEntries(ctl.Await(LineWith("get", "tag", tag), 30s)["values"]), "/audio/gain=0") << tag;
    }
    EXPECT_FALSE(net.router->process.Await(DeviceLine("chatty", "Disconnected"), 10s).isNull());
    net.ExpectNoConnectionLost(from);
}

INSTANTIATE_TEST_SUITE_P(
    Mute, NodeAnswerBounds,
    ::testing::Values(Mute{"LineFeeds", {}}, Mute{"AnswerThatNeverEnds", {true}},
                      Mute{"RepliesNobodyAskedFor", {false, 0, {}, "[rt1&ctl1][chatty] @set {}\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// An answer on a slow link, whole only after longer than the router's own bound and a
// quarter time-out more, arrives whole through the router within its requester's bound.
// Before, the router allowed an answer at the pace only a quarter time-out past its own
// bound: it gave the device up, its connection everyone's, and answered "connection lost".
TEST(NodeAnswerBounds, ALongAnswerAtThePaceArrivesWholeThroughTheRouter) {
    constexpr std::size_t kValueBytes = 1400 * 1024;
    ChattyBehindARouter net({true, kValueBytes});
    if (!net.pair.Missing().empty()) {
        GTEST_SKIP() << net.pair.Missing();
    }
    ASSERT_TRUE(net.listed);
    NodeProcess& ctl = net.controller->process;
    const std::size_t from = ctl.Lines().size();
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(ctl.Send(Get(kChattyGuid, "long")));
    const Json::Value answer = ctl.Await(LineWith("get", "tag", "long"), 40s);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 13s);
    ASSERT_EQ(answer["values"].size(), 1u) << CompactJson(answer).substr(0, 200);
    EXPECT_EQ(answer["values"][0]["value"].asString().size(), kValueBytes)
        << CompactJson(answer["values"][0]["error"]);
    EXPECT_TRUE(LinesOf(net.router->process, DeviceLine("chatty", "Disconnected")).empty());
    net.ExpectNoConnectionLost(from);
}

// Two controllers list a device that takes 25 s over each listing: the one whose listing
// waited at the router behind the other's is answered "timeout" by the router before its
// own bound runs out, and keeps its connection to the router. Before, the router, having
// written it late, awaited its answer for its whole bound from the write: the controller
// gave up first, and with it its connection to the router (a router's, behind a chain).
TEST(NodeAnswerBounds, AListingWrittenLateBehindAnotherIsRefusedBeforeItsRequesterGivesUp) {
    ChattyBehindARouter net({false, 0, 25s});
    if (!net.pair.Missing().empty()) {
        GTEST_SKIP() << net.pair.Missing();
    }
    ASSERT_TRUE(net.listed);
    const auto second = RoutedController(net.pair, "ctl2", 4198);
    ASSERT_TRUE(Listed(second->process, "chatty", 60s));
    std::vector<std::string> outcomes;
    std::vector<std::size_t> from;
    for (NodeProcess* ctl : {&net.controller->process, &second->process}) {
        from.push_back(ctl->Lines().size());
        ASSERT_TRUE(ctl->Send(DeviceCommand("listfiles", kChattyGuid, R"("path":"/")")));
    }
    for (NodeProcess* ctl : {&net.controller->process, &second->process}) {
        outcomes.push_back(ctl->Await(LineAbout("listfiles", kChattyGuid), 90s)["error"].asString());
    }
    std::sort(outcomes.begin(), outcomes.end());
    EXPECT_EQ(outcomes, (std::vector<std::string>{"", "timeout"}));
    ChattyBehindARouter::ExpectNoConnectionLost(net.controller->process, from[0]);
    ChattyBehindARouter::ExpectNoConnectionLost(second->process, from[1]);
}

// A peer that keeps no lock-step sends the router three thousand listings of a device that
// takes a second over each, in one write: only its first waits its turn as long as a
// listing may, the rest as a prompt request does, and a controller's listing behind them
// is answered within seconds. Before, each of them waited as long as a listing may, and
// every other requester's behind them was refused "timeout"; and those past the router's
// bound on what it keeps of one connection were forgotten there, yet written in turn.
TEST(NodeAnswerBounds, ABurstOfListingsFromOneConnectionDoesNotHoldTheDeviceFromOthers) {
    ChattyBehindARouter net({false, 0, 1s});
    if (!net.pair.Missing().empty()) {
        GTEST_SKIP() << net.pair.Missing();
    }
    ASSERT_TRUE(net.listed);
    RawPeer flooder;
    ASSERT_TRUE(net.pair.b.Run([&] { flooder.Socket().open(tcp::v4()); }));
    ASSERT_TRUE(flooder.Connect({boost::asio::ip::make_address(VethPair::AddressA), 4197}));
    std::string burst;
    for (int at = 0; at < 3000; ++at) {
        burst += R"([rt1&chatty][flood] listfiles {"path":"/"})" "\n";
    }
    flooder.Send(burst);
    // The router is reading the burst by the time it answers the first listing of it, or
    // refuses one: the rest of it it reads within the controller's time below.
    ASSERT_NE(flooder.ReadLine(30s).find("@listfiles {"), std::string::npos);
    NodeProcess& ctl = net.controller->process;
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(ctl.Send(DeviceCommand("listfiles", kChattyGuid, R"("path":"/")")));
    const Json::Value listing = ctl.Await(LineAbout("listfiles", kChattyGuid), 60s);
    EXPECT_EQ(listing["success"], true) << CompactJson(listing);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 20s);
}

// Before, the controller's keep-alives waited behind the listing, the device had nothing
// to say while its disk worker digested, and the connection was closed for silence: the
// listing was never answered.
TEST(NodeAnswerBounds, AListingThatTakesLongerThanTheSilenceBoundIsAnsweredAndItsConnectionKept) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root;
    Node device(SampleDeviceOptions(false, "amp1", kAmp, std::string(VethPair::AddressA) + ":4198",
                                    {"--storage-root", root.Path().string()}),
                pair.a.Name());
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    Node controller(Options("controller", "ctl1",
                            {"--listen", std::string(VethPair::AddressB) + ":4197", "--route",
                             std::string(VethPair::AddressA) + ",4198"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    ASSERT_FALSE(ctl.Await(Answered("amp1", 1), 60s).isNull());

    ASSERT_TRUE(device.process.Send(NodeCommand("holddisk", R"("ms":15000)")));
    ASSERT_EQ(device.process.AwaitEvent("holddisk")["held"], true);
    const std::size_t from = ctl.Lines().size();
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(ctl.Send(DeviceCommand("listfiles", kAmp, R"("path":"/")")));
    ASSERT_TRUE(ctl.Send(Get(kAmp, "after")));
    const Json::Value listing = ctl.Await(LineAbout("listfiles", kAmp), 60s);
    EXPECT_EQ(listing["success"], true) << listing;
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 14s);
    EXPECT_EQ(ValueEntries(ctl.Await(LineWith("get", "tag", "after"), 30s)["values"]), "/audio/gain=0");
    const auto lines = ctl.Lines();
    for (std::size_t at = from; at < lines.size(); ++at) {
        EXPECT_EQ(lines[at].find(R"("connected":false)"), std::string::npos) << lines[at];
        EXPECT_EQ(lines[at].find(R"("state":"Disconnected")"), std::string::npos) << lines[at];
    }
}

// The sample device serving `root` as its storage, and a router that reaches it on
// loopback, both in namespace a; `router` is empty when the device did not start.
struct StoredBehindARouter {
    StoredBehindARouter(const VethPair& pair, const TempDir& root)
        : device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", {"--storage-root", root.Path().string()}),
                 pair.a.Name()) {
        if (!device.process.AwaitEvent("listenerAdded").isNull()) {
            router = std::make_unique<Node>(
                Options("router", "rt1",
                        {"--listen", std::string(VethPair::AddressA) + ":4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
        }
    }
    Node device;
    std::unique_ptr<Node> router;
};

// Two controllers list the device's files through the router while its disk worker is
// held: the second listing waits at the router behind the first, as long as its own bound
// allows, and both are answered. Before, the router refused the second "timeout" once it
// had waited a quarter time-out, though its requester awaits a listing far longer.
TEST(NodeAnswerBounds, ListingsQueuedAtARouterBehindAHeldDiskAreBothAnswered) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root;
    StoredBehindARouter net(pair, root);
    ASSERT_TRUE(net.router);
    Node& device = net.device;
    const auto first = RoutedController(pair, "ctl1", 4197);
    const auto second = RoutedController(pair, "ctl2", 4198);

    ASSERT_TRUE(device.process.Send(NodeCommand("holddisk", R"("ms":15000)")));
    ASSERT_EQ(device.process.AwaitEvent("holddisk")["held"], true);
    ASSERT_TRUE(first->process.Send(DeviceCommand("listfiles", kAmp, R"("path":"/")")));
    ASSERT_TRUE(second->process.Send(DeviceCommand("listfiles", kAmp, R"("path":"/")")));
    for (NodeProcess* ctl : {&first->process, &second->process}) {
        const Json::Value listing = ctl->Await(LineAbout("listfiles", kAmp), 60s);
        EXPECT_EQ(listing["success"], true) << CompactJson(listing);
    }
    EXPECT_TRUE(LinesOf(net.router->process, DeviceLine("amp1", "Disconnected")).empty());
}

// Forty connections of one peer each keep a listing of a folder that takes a moment to
// digest queued at the router, and then a get: another requester's gets are answered
// behind at most the listing being answered, and its listing behind the gets. Before,
// a get waited behind every listing queued and was refused "timeout" after a quarter
// time-out; a get that could pass over listings for ever would hold a listing so.
TEST(NodeAnswerBounds, ManyConnectionsWorkQueuedAtARouterHoldsNoOtherRequesterLong) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root;
    for (int file = 0; file < 3; ++file) {
        const auto path = root.Path() / ("f" + std::to_string(file));
        std::ofstream(path).put('x');
        std::filesystem::resize_file(path, 20u << 20);
    }
    StoredBehindARouter net(pair, root);
    ASSERT_TRUE(net.router);
    const auto controller = RoutedController(pair, "ctl1", 4197);
    NodeProcess& ctl = controller->process;

    // From the router's own address, not the controller's; each keeps the lock-step.
    struct Flood {
        ~Flood() {
            stop = true;
            for (auto& peer : peers) {
                peer.join();
            }
        }
        std::atomic<bool> getting{false};
        std::atomic<bool> stop{false};
        std::atomic<int> answers{0};
        std::atomic<int> lost{0};
        std::vector<std::thread> peers;
    } flood;
    for (int k = 0; k < 40; ++k) {
        flood.peers.emplace_back([&pair, &flood, k] {
            RawPeer peer;
            if (!pair.a.Run([&] { peer.Socket().open(tcp::v4()); }) ||
                !peer.Connect({boost::asio::ip::make_address(VethPair::AddressA), 4197})) {
                ++flood.lost;
                return;
            }
            const std::string route = "[rt1&amp1][w" + std::to_string(k) + "] ";
            while (!flood.stop) {
                const bool get = flood.getting;
                peer.Send(route + (get ? R"(get {"path":"/audio/gain"})" : R"(listfiles {"path":"/"})") + "\n");
                std::string line;
                do {
                    line = peer.ReadLine(60s);
                } while (!line.empty() && line.find(get ? "@get " : "@listfiles ") == std::string::npos);
                if (line.empty()) {
                    ++flood.lost;
                    return;
                }
                ++flood.answers;
            }
        });
    }
    const auto answered = [&flood](int more) {
        const int count = flood.answers + more;
        return WaitUntil([&] { return flood.answers >= count; }, 60s);
    };
    ASSERT_TRUE(answered(10));
    for (int at = 0; at < 6; ++at) {
        const std::string tag = "g" + std::to_string(at);
        ASSERT_TRUE(ctl.Send(Get(kAmp, tag)));
        EXPECT_EQ(ValueEntries(ctl.Await(LineWith("get", "tag", tag), 30s)["values"]), "/audio/gain=0");
        std::this_thread::sleep_for(500ms);
    }
    flood.getting = true;
    ASSERT_TRUE(answered(200));
    ASSERT_TRUE(ctl.Send(DeviceCommand("listfiles", kAmp, R"("path":"/")")));
    const Json::Value listing = ctl.Await(LineAbout("listfiles", kAmp), 60s);
    EXPECT_EQ(listing["success"], true) << CompactJson(listing).substr(0, 200);
    EXPECT_EQ(flood.lost, 0);
}

}  // namespace
}  // namespace ZelkorTest
