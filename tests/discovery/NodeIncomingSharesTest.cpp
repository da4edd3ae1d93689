// One source of peers (an IPv4 address, or an IPv6 /64) cannot hold every slot of a
// device's incoming limit, however it keeps them: a newcomer from another source takes the
// place of that source's quietest connection. A connection that proved the code keeps its
// slot, and so does a subscription or a transfer while its source holds at most half of
// the slots; on a node with a code those count only for a peer that proved the code. The device (the sample tree: eight slots; a code unless the test says
// otherwise) runs in namespace a of a veth pair serving 10.77.0.1 and fd00:77::1, its timer
// twenty times faster; the peers are raw connections from namespace b, each from an
// address of its own that the test adds there.

#include <gtest/gtest.h>

#include <atomic>
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
#include "support/TempDir.h"

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

// Connections from one address, each fetching a file in 512-byte blocks and answering one
// block a round, so that none is ever silent. The rounds run on a thread of their own,
// which alone reads and writes these peers.
class TricklingPeers {
public:
    explicit TricklingPeers(std::vector<std::unique_ptr<RawPeer>> peers)
        : _peers(std::move(peers)), _closed(_peers.size()), _thread([this] { run(); }) {}
    ~TricklingPeers() {
        _done = true;
        _thread.join();
    }
    TricklingPeers(const TricklingPeers&) = delete;
    TricklingPeers& operator=(const TricklingPeers&) = delete;

    // Waits until `count` of them were closed by the device; true then.
    bool AwaitClosed(std::size_t count, std::chrono::milliseconds deadline) const {
        for (const auto until = std::chrono::steady_clock::now() + deadline;; std::this_thread::sleep_for(50ms)) {
            if (Closed() >= count) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
        }
    }
    std::size_t Closed() const {
        std::size_t closed = 0;
        for (const auto& one : _closed) {
            closed += one.load() ? 1 : 0;
        }
        return closed;
    }
    // Blocks answered on connections still open, since the rounds began.
    unsigned Answered() const { return _answered.load(); }

private:
    void run() {
        while (!_done) {
            for (std::size_t at = 0; at < _peers.size(); ++at) {
                if (_closed[at]) {
                    continue;
                }
                RawPeer& peer = *_peers[at];
                const std::string line = peer.ReadLine(100ms);
                const std::size_t number = line.rfind("block {\"blockno\":", 0) == 0 ? line.find(':') + 1 : 0;
                if (number != 0) {
                    peer.Send("@block {\"blockno\":" + line.substr(number, line.find_first_of(",}", number) - number) +
                              "}\n");
                    ++_answered;
                } else if (peer.WaitClosed(0ms)) {
                    _closed[at] = true;
                }
            }
            std::this_thread::sleep_for(200ms);  // the trickle's pace
        }
    }

    std::vector<std::unique_ptr<RawPeer>> _peers;
    std::vector<std::atomic<bool>> _closed;
    std::atomic<unsigned> _answered{0};
    std::atomic<bool> _done{false};
    std::thread _thread;
};

// One address fills every slot with gets of a file it trickles, a block a round, and on a
// node without a code proves the empty code on each besides: neither a transfer nor a proof
// of nothing keeps it more than half of the slots. Newcomers from two other addresses
// each take one of its slots and are served; on a node without a code the two left keep
// theirs (the next newcomer is told "busy", or takes a silent stranger's), while with a
// code, where a stranger's transfer counts for nothing, the next takes a third.
void TricklingTransfersKeepNoMoreThanHalfTheSlots(NodeIncomingShares& test, bool code) {
    for (int host = 3; host <= 5; ++host) {
        ASSERT_TRUE(test.pair.b.Ip("addr add 10.77.0." + std::to_string(host) + "/24 dev " + test.pair.b1));
    }
    ASSERT_NO_FATAL_FAILURE(test.StartDevice({"--max-incoming", "4"}, code));
    WriteFile(test.device->dir.File("node-files/trickle.bin"), std::string(512 * 400, 't'));
    std::vector<std::unique_ptr<RawPeer>> attackers;
    for (int n = 0; n < 4; ++n) {
        attackers.push_back(test.Peer(VethPair::AddressB));
        RawPeer& attacker = *attackers.back();
        if (!code) {
            ASSERT_EQ(Ask(attacker, R"(authenticate {"code":")" + ProofOf("", RandomBytes(32)) + "\"}"),
                      "@authenticate {}\n");
        }
        attacker.Send(R"(getfile {"path":"trickle.bin","state":"begin","blocksize":512})" "\n");
        ASSERT_TRUE(Answers(attacker.ReadLine(), "getfile"));
        ASSERT_EQ(attacker.ReadLine().rfind("block {\"blockno\":1,", 0), 0u);
        attacker.Send("@block {\"blockno\":1}\n");
    }
    TricklingPeers trickling(std::move(attackers));

    std::vector<std::unique_ptr<RawPeer>> newcomers;
    for (int host = 3; host <= 4; ++host) {
        newcomers.push_back(test.Peer("10.77.0." + std::to_string(host)));
        const std::string heard = Ask(*newcomers.back(), kGet);
        EXPECT_TRUE(Answers(heard, "get")) << heard;
    }
    EXPECT_TRUE(trickling.AwaitClosed(2, 10s));

    auto last = test.Peer("10.77.0.5");
    const std::string heard = Ask(*last, kGet);
    if (code) {
        EXPECT_TRUE(Answers(heard, "get")) << heard;
        EXPECT_TRUE(trickling.AwaitClosed(3, 10s));
    } else if (heard != kBusy) {
        EXPECT_TRUE(Answers(heard, "get")) << heard;
        EXPECT_TRUE(newcomers[0]->WaitClosed(10s) || newcomers[1]->WaitClosed(10s));
    }
    // The transfers left go on.
    const unsigned answered = trickling.Answered();
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         trickling.Answered() < answered + 4 && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GE(trickling.Answered(), answered + 4);
    EXPECT_EQ(trickling.Closed(), code ? 3u : 2u);
}

TEST_F(NodeIncomingShares, TricklingTransfersOfOneAddressKeepNoMoreThanHalfTheSlotsOnANodeWithoutACode) {
    TricklingTransfersKeepNoMoreThanHalfTheSlots(*this, false);
}

TEST_F(NodeIncomingShares, AStrangersTricklingTransfersKeepNoSlotOnANodeWithACode) {
    TricklingTransfersKeepNoMoreThanHalfTheSlots(*this, true);
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
