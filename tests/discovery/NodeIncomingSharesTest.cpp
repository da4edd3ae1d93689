// One source of peers (an IPv4 address, or an IPv6 /64) cannot hold every slot of a
// device's incoming limit, however it keeps them: a newcomer from another source takes the
// place of that source's quietest connection. A connection that proved the code or runs a
// transfer keeps its slot, and so does a subscription while its source holds at most half
// of the slots; on a node with a code a subscription counts only for a peer that proved
// the code. The device (the sample tree: eight slots; a code unless the test says
// otherwise) runs in namespace a of a veth pair serving 10.77.0.1 and fd00:77::1, its timer
// twenty times faster; the peers are raw connections from namespace b, each from an
// address of its own that the test adds there.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "discovery/NodesTestSupport.h"
#include "discovery/SecurityTestSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

const std::string kBusy = "goodbye {\"reason\":\"busy\"}\n";
const std::string kGet = R"(get {"path":"/audio/gain"})";

// fd00:77::N, one of the /64 of namespace b.
std::string Six(int n) { return "fd00:77::" + std::to_string(n); }

class NodeIncomingShares : public ::testing::Test {
public:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
        for (int n = 10; n <= 19; ++n) {
            ASSERT_TRUE(pair.b.Ip("addr add " + Six(n) + "/64 dev " + pair.b1 + " nodad"));
        }
    }

    // With `code`, the device holds the shared code and asks for TLS.
    void StartDevice(std::vector<std::string> more = {}, bool code = true) {
        more.insert(more.end(), {"--ipv6", "--listen", "[fd00:77::1]:4197"});
        device = std::make_unique<Node>(SampleDeviceOptions(code, "amp1", kAmp, "10.77.0.1:4197", std::move(more)),
                                        pair.a.Name());
        ASSERT_FALSE(device->process.AwaitEvent("listenerAdded").isNull());
        ASSERT_FALSE(device->process.AwaitEvent("listenerAdded").isNull());
    }

    // A peer from `from`, connected to the device's address of the same family.
    std::unique_ptr<RawPeer> Peer(const std::string& from) {
        const auto source = boost::asio::ip::make_address(from);
        const auto to = boost::asio::ip::make_address(source.is_v6() ? "fd00:77::1" : VethPair::AddressA);
        auto peer = std::make_unique<RawPeer>();
        EXPECT_TRUE(pair.b.Run([&] {
            peer->Socket().open(source.is_v6() ? tcp::v6() : tcp::v4());
            peer->Socket().bind(tcp::endpoint(source, 0));
        }));
        EXPECT_TRUE(peer->Connect(tcp::endpoint(to, 4197)));
        return peer;
    }

    // A peer that proves the code over TLS, as a well-behaved controller does.
    std::unique_ptr<RawPeer> ProvenPeer(const std::string& from) {
        auto peer = Peer(from);
        EXPECT_EQ(Ask(*peer, "starttls"), "@starttls {}\n");
        EXPECT_TRUE(peer->StartTls());
        EXPECT_EQ(Ask(*peer, R"(authenticate {"code":")" + ProofOf(kSharedCode, RandomBytes(32)) + "\"}"),
                  "@authenticate {}\n");
        return peer;
    }

    VethPair pair;
    std::unique_ptr<Node> device;
};

// The reply of `word`, with a body or without.
bool Answers(const std::string& heard, const std::string& word) {
    return heard.rfind("@" + word + " ", 0) == 0 || heard == "@" + word + "\n";
}

// Eight connections of one /64, seven of them subscribed on plain connections and quiet,
// hold every slot. A newcomer from an IPv4 address takes the quietest one's place at once;
// a peer that proved the code keeps its own. A newcomer from the same /64 gets no share
// of its own, but the subscriptions of peers that never proved the code keep no slot from
// it once they have been quiet for twice the keep-alive interval.
TEST_F(NodeIncomingShares, ASourceHoldingEverySlotGivesOneUpToANewcomerFromAnother) {
    ASSERT_NO_FATAL_FAILURE(StartDevice());
    auto proven = ProvenPeer(Six(10));
    ASSERT_TRUE(Answers(Ask(*proven, R"(subscribe {"path":"/audio/gain"})"), "subscribe"));
    const std::vector<std::string> words = {R"(subscribe {"path":"/audio/gain"})", R"(subscribeevent {"path":"/a"})",
                                            R"(sublog {"priority":1})"};
    std::vector<std::unique_ptr<RawPeer>> quiet;
    for (int n = 0; n < 7; ++n) {
        quiet.push_back(Peer(Six(11 + n)));
        const std::string& word = words[n % words.size()];
        ASSERT_TRUE(Answers(Ask(*quiet.back(), word), word.substr(0, word.find(' '))));
    }

    auto other = ProvenPeer(VethPair::AddressB);
    ASSERT_TRUE(Answers(Ask(*other, R"(subscribe {"path":"/audio/gain"})"), "subscribe"));
    EXPECT_TRUE(quiet.front()->WaitClosed(10s));
    EXPECT_TRUE(Answers(Ask(*proven, kGet), "get"));

    // The /64 holds seven, the newcomer's eighth would be its share: only silence frees
    // a slot for it, and a subscription without a proof does not keep one.
    std::unique_ptr<RawPeer> same;
    std::string heard;
    for (const auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until;) {
        same = Peer(Six(19));
        heard = Ask(*same, kGet);
        if (heard != kBusy) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(Answers(heard, "get")) << heard;
    EXPECT_TRUE(quiet[1]->WaitClosed(10s));
    EXPECT_TRUE(Answers(Ask(*proven, kGet), "get"));
    EXPECT_TRUE(Answers(Ask(*other, kGet), "get"));
}

// Two controllers of one host connect and subscribe (on a device with a code, having
// proved it), two strangers from two other addresses connect and say nothing, and a third
// stranger connects, at a limit of four. No controller's slot goes to it, by share or for
// silence: it is told "busy", or, should the strangers have been silent past the bound by
// then, it takes one of theirs. The controllers are served throughout.
void ANewcomerClosesNoControllerOfOneHost(NodeIncomingShares& test, bool code) {
    for (int host = 3; host <= 5; ++host) {
        ASSERT_TRUE(test.pair.b.Ip("addr add 10.77.0." + std::to_string(host) + "/24 dev " + test.pair.b1));
    }
    ASSERT_NO_FATAL_FAILURE(test.StartDevice({"--max-incoming", "4"}, code));
    std::vector<std::unique_ptr<RawPeer>> controllers;
    for (int n = 0; n < 2; ++n) {
        controllers.push_back(code ? test.ProvenPeer(VethPair::AddressB) : test.Peer(VethPair::AddressB));
        ASSERT_TRUE(Answers(Ask(*controllers.back(), R"(subscribe {"path":"/audio/gain"})"), "subscribe"));
    }
    std::vector<std::unique_ptr<RawPeer>> strangers;
    strangers.push_back(test.Peer("10.77.0.3"));
    strangers.push_back(test.Peer("10.77.0.4"));
    for (auto& controller : controllers) {
        ASSERT_TRUE(Answers(Ask(*controller, kGet), "get"));
    }

    auto newcomer = test.Peer("10.77.0.5");
    const std::string heard = Ask(*newcomer, kGet);
    if (heard != kBusy) {
        EXPECT_TRUE(Answers(heard, "get")) << heard;
        EXPECT_TRUE(strangers[0]->WaitClosed(10s) || strangers[1]->WaitClosed(10s));
    }
    for (auto& controller : controllers) {
        EXPECT_TRUE(Answers(Ask(*controller, kGet), "get"));
    }
}

TEST_F(NodeIncomingShares, ANewcomerClosesNoSubscribedControllerOfOneHostOnANodeWithoutACode) {
    ANewcomerClosesNoControllerOfOneHost(*this, false);
}

TEST_F(NodeIncomingShares, ANewcomerClosesNoControllerThatProvedTheCode) {
    ANewcomerClosesNoControllerOfOneHost(*this, true);
}

// On a node without a code anyone may subscribe: one address subscribed on every slot
// keeps only half of them. Newcomers from two other addresses each take one of its slots
// and are served; the next finds the rest kept and is told "busy" (or, should the two
// have been silent past the bound by then, takes one of theirs).
TEST_F(NodeIncomingShares, SubscriptionsKeepASourceNoMoreThanHalfTheSlots) {
    for (int host = 3; host <= 5; ++host) {
        ASSERT_TRUE(pair.b.Ip("addr add 10.77.0." + std::to_string(host) + "/24 dev " + pair.b1));
    }
    ASSERT_NO_FATAL_FAILURE(StartDevice({"--max-incoming", "4"}, false));
    std::vector<std::unique_ptr<RawPeer>> holders;
    for (int n = 0; n < 4; ++n) {
        holders.push_back(Peer(VethPair::AddressB));
        ASSERT_TRUE(Answers(Ask(*holders.back(), R"(subscribeevent {"path":"/a"})"), "subscribeevent"));
    }
    std::vector<std::unique_ptr<RawPeer>> newcomers;
    for (int host = 3; host <= 4; ++host) {
        newcomers.push_back(Peer("10.77.0." + std::to_string(host)));
        EXPECT_TRUE(Answers(Ask(*newcomers.back(), kGet), "get"));
    }
    // The two quietest went, and the rest are served.
    EXPECT_TRUE(holders[0]->WaitClosed(10s));
    EXPECT_TRUE(holders[1]->WaitClosed(10s));
    auto last = Peer("10.77.0.5");
    const std::string heard = Ask(*last, kGet);
    if (heard != kBusy) {
        EXPECT_TRUE(Answers(heard, "get")) << heard;
        EXPECT_TRUE(newcomers[0]->WaitClosed(10s) || newcomers[1]->WaitClosed(10s));
    }
    for (std::size_t n = 2; n < holders.size(); ++n) {
        EXPECT_TRUE(Answers(Ask(*holders[n], kGet), "get")) << n;
    }
}

// Under --require-tls a plain connection may still say "disco", so eight connections of
// one /64 that keep asking it are never silent: a newcomer from an IPv4 address still takes
// a slot, proves the code and is served.
TEST_F(NodeIncomingShares, KeepAlivesKeepNoSourceAboveItsShare) {
    ASSERT_NO_FATAL_FAILURE(StartDevice({"--require-tls"}));
    std::vector<std::unique_ptr<RawPeer>> chatty;
    for (int n = 0; n < 8; ++n) {
        chatty.push_back(Peer(Six(11 + n)));
    }
    // The first stays out of the last round: it is the quietest.
    for (std::size_t round = 0; round < 3; ++round) {
        for (std::size_t n = round == 2 ? 1 : 0; n < chatty.size(); ++n) {
            chatty[n]->Send("disco\n");
        }
        for (std::size_t n = round == 2 ? 1 : 0; n < chatty.size(); ++n) {
            const std::string heard = chatty[n]->ReadLine();
            ASSERT_TRUE(Answers(heard, "disco")) << heard;
        }
    }
    auto newcomer = ProvenPeer(VethPair::AddressB);
    EXPECT_TRUE(Answers(Ask(*newcomer, kGet), "get"));
    EXPECT_TRUE(chatty.front()->WaitClosed(10s));
    for (std::size_t n = 1; n < chatty.size(); ++n) {
        EXPECT_FALSE(chatty[n]->WaitClosed(0ms)) << n;
    }
}

}  // namespace
}  // namespace ZelkorTest
