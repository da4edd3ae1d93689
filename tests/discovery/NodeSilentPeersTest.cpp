// Peers that connect and say nothing, or stall their TLS handshake, hold a device's slots
// only for a while: the timer closes them, and well-behaved peers are served again. The
// device runs in a namespace of the test's own, its timer twenty times faster; the bounds
// on silence then are the shortest the timer's scale gives, 10 s.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "discovery/NodesTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::tcp;

// A sample device alone in a namespace of its own, and raw peers that connect to it there;
// the test skips where no namespace can be made.
class NodeSilentPeers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!space.Made()) {
            GTEST_SKIP() << "no network namespace";
        }
    }
    bool Start(const std::vector<std::string>& more = {}) {
        device = std::make_unique<Node>(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", more),
                                        space.Name());
        return !device->process.AwaitEvent("listenerAdded").isNull();
    }
    bool connect(RawPeer& peer) {
        const tcp::endpoint at(boost::asio::ip::make_address("127.0.0.1"), 4197);
        return space.Run([&] { peer.Socket().open(tcp::v4()); }) && peer.Connect(at);
    }

    NetNamespace space{"silent"};
    std::unique_ptr<Node> device;
};

TEST_F(NodeSilentPeers, SilentConnectionsAndStalledHandshakesGiveTheirSlotsBack) {
    ASSERT_TRUE(Start());

    // The sample tree admits eight: eight silent peers fill it, a ninth is told "busy".
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(std::make_unique<RawPeer>());
        ASSERT_TRUE(connect(*silent.back()));
        ASSERT_FALSE(device->process.Await(ConnectionFrom("127.0.0.1")).isNull());
    }
    RawPeer ninth;
    ASSERT_TRUE(connect(ninth));
    EXPECT_NE(ninth.ReadLine().find("busy"), std::string::npos);

    // A peer that asks for TLS and never shakes hands.
    RawPeer stalling;
    for (auto& peer : silent) {
        EXPECT_TRUE(peer->WaitClosed(std::chrono::seconds(60)));
    }
    ASSERT_TRUE(connect(stalling));
    stalling.Send("starttls\n");
    EXPECT_EQ(stalling.ReadLine(), "@starttls {}\n");
    EXPECT_TRUE(stalling.WaitClosed(std::chrono::seconds(60)));

    // A well-behaved peer is served; one that spoke and fell silent is kept.
    RawPeer good;
    ASSERT_TRUE(connect(good));
    good.Send("get {\"path\":\"/audio/gain\"}\n");
    EXPECT_NE(good.ReadLine().find("@get"), std::string::npos);
    EXPECT_FALSE(good.WaitClosed(std::chrono::seconds(3)));

    // Seven more that each ask once and fall silent fill the slots again, after the good
    // peer subscribed. A newcomer that comes at once is told "busy"; once they have been
    // silent for twice the keep-alive interval, a newcomer takes the place of the one silent
    // longest that holds no subscription: not the good peer's, the first of the seven.
    good.Send("subscribe {\"path\":\"/audio/gain\"}\n");
    EXPECT_NE(good.ReadLine().find("@subscribe"), std::string::npos);
    std::vector<std::unique_ptr<RawPeer>> quiet;
    for (int i = 0; i < 7; ++i) {
        quiet.push_back(std::make_unique<RawPeer>());
        ASSERT_TRUE(connect(*quiet.back()));
        quiet.back()->Send("get {\"path\":\"/audio/gain\"}\n");
        EXPECT_NE(quiet.back()->ReadLine().find("@get"), std::string::npos);
    }
    RawPeer early;
    ASSERT_TRUE(connect(early));
    EXPECT_NE(early.ReadLine().find("busy"), std::string::npos);
    // Twice the keep-alive interval of the node, at its timer's scale, is 10 s: newcomers
    // are told "busy" until then.
    std::unique_ptr<RawPeer> late;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
        late = std::make_unique<RawPeer>();
        ASSERT_TRUE(connect(*late));
        late->Send("get {\"path\":\"/audio/gain\"}\n");
        if (late->ReadLine().find("@get") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(quiet.front()->WaitClosed(std::chrono::seconds(5)));
    EXPECT_FALSE(late->WaitClosed(std::chrono::milliseconds(100)));
    EXPECT_FALSE(good.WaitClosed(std::chrono::milliseconds(500)));
    StopCleanly(device->process);
}

// A peer whose handshake fails after a long line grew its connection's read buffer: the
// device closes the connection at once, rather than keep it, its buffer and a timer that
// looked at it again and again for ever, and goes on serving others.
TEST_F(NodeSilentPeers, AFailedHandshakeClosesTheConnection) {
    ASSERT_TRUE(Start());
    RawPeer failing;
    ASSERT_TRUE(connect(failing));
    failing.Send("get {\"path\":\"/" + std::string(300000, 'x') + "\"}\n");
    EXPECT_FALSE(failing.ReadLine().empty());
    failing.Send("starttls\n");
    EXPECT_EQ(failing.ReadLine(), "@starttls {}\n");
    failing.Send("no client hello\n");
    EXPECT_TRUE(failing.WaitClosed(std::chrono::seconds(30)));

    RawPeer good;
    ASSERT_TRUE(connect(good));
    good.Send("get {\"path\":\"/audio/gain\"}\n");
    EXPECT_NE(good.ReadLine(std::chrono::seconds(30)).find("@get"), std::string::npos);
    StopCleanly(device->process);
}

// Silence is measured by complete lines: a peer in the middle of a long line counts as
// silent since its last one. At the incoming limit (two here) a newcomer then takes the
// place of a peer whose "set" is still coming in, byte after byte, once the line has
// taken longer than twice the keep-alive interval (10 s at the node's timer scale); on a
// slow link a "set" of a few hundred KiB takes that long.
TEST_F(NodeSilentPeers, APeerInTheMiddleOfALongLineKeepsItsSlot) {
    ASSERT_TRUE(Start({"--max-incoming", "2"}));
    RawPeer subscriber;
    ASSERT_TRUE(connect(subscriber));
    subscriber.Send("subscribe {\"path\":\"/audio/gain\"}\n");
    EXPECT_NE(subscriber.ReadLine().find("@subscribe"), std::string::npos);
    RawPeer sender;
    ASSERT_TRUE(connect(sender));
    sender.Send("get {\"path\":\"/audio/gain\"}\n");
    EXPECT_NE(sender.ReadLine().find("@get"), std::string::npos);

    // The peer's pace, not a wait: 1 KiB every 100 ms, for thirteen seconds; the
    // newcomer comes once the line has taken longer than the silence bound.
    sender.Send("set {\"path\":\"/audio/gain\",\"value\":\"");
    RawPeer newcomer;
    std::string told;
    const auto begun = std::chrono::steady_clock::now();
    for (int i = 0; i < 130; ++i) {
        sender.Send(std::string(1024, '1'));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (told.empty() && std::chrono::steady_clock::now() - begun > std::chrono::seconds(11)) {
            ASSERT_TRUE(connect(newcomer));
            told = newcomer.ReadLine(std::chrono::seconds(5));
        }
    }
    sender.Send("\"}\n");
    EXPECT_NE(told.find("busy"), std::string::npos) << told;
    EXPECT_NE(sender.ReadLine().find("@set"), std::string::npos);
    EXPECT_FALSE(sender.WaitClosed(std::chrono::milliseconds(200)));
    StopCleanly(device->process);
}

// A device awaits nothing of a controller that only listens: however long it says
// nothing, its connection stays. Once the device awaits the answer to a notice of its own
// (a publish) and the controller stays silent, the device takes the connection as lost
// after the silence bound, 10 s at the node's timer scale. Before, it waited for ever.
TEST_F(NodeSilentPeers, AQuietControllerIsKeptUntilItLeavesANoticeUnanswered) {
    ASSERT_TRUE(Start());
    RawPeer listener;
    ASSERT_TRUE(connect(listener));
    listener.Send("subscribe {\"path\":\"/audio/gain\"}\n");
    EXPECT_NE(listener.ReadLine().find("@subscribe"), std::string::npos);
    EXPECT_FALSE(listener.WaitClosed(std::chrono::seconds(15)));

    RawPeer setter;
    ASSERT_TRUE(connect(setter));
    setter.Send("set {\"path\":\"/audio/gain\",\"value\":\"3\"}\n");
    EXPECT_NE(setter.ReadLine().find("@set"), std::string::npos);
    EXPECT_NE(listener.ReadLine().find("publish"), std::string::npos);
    EXPECT_TRUE(listener.WaitClosed(std::chrono::seconds(45)));
    setter.Send("get {\"path\":\"/audio/gain\"}\n");
    EXPECT_NE(setter.ReadLine().find("@get"), std::string::npos);
    StopCleanly(device->process);
}

}  // namespace
}  // namespace ZelkorTest
