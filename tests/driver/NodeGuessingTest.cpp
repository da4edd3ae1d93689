// Guessing a node's verification code as hostile peers would, beside the well-behaved
// peers that still get in. Node processes in namespace a of a veth pair (root only, else
// skipped); the peers are raw connections of the test in namespace b, each from the
// source address the test binds it to, or a controller node there. Every wait has a
// deadline; no bound depends on the machine's speed (a checked guess is counted against
// the time the guessing took).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "discovery/SecurityTestSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
using ::testing::HasSubstr;

const std::string kFailed = "Authentication Failed";
const std::string kTooMany = "Too many failed attempts";

std::string ProofLine(const std::string& code, const std::string& route = "") {
    return route + R"(authenticate {"code":")" + ProofOf(code, RandomBytes(32)) + "\"}";
}

class NodeGuessing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
    }

    // Adds addresses of 10.77.0.0/24 to the link of namespace `side`, in one batch.
    static bool AddAddresses(const NetNamespace& space, const std::string& link, int first, int count) {
        TempDir folder;
        const std::string batch = (folder.Path() / "addresses").string();
        {
            std::ofstream out(batch);
            for (int host = first; host < first + count; ++host) {
                out << "addr add 10.77.0." << host << "/24 dev " << link << "\n";
            }
        }
        return space.Ip("-batch " + batch);
    }

    // A connection from namespace b, from `source`, to ADDRESS:4197; secured when `tls`.
    std::unique_ptr<RawPeer> Peer(const std::string& source, const std::string& address, bool tls) {
        auto peer = std::make_unique<RawPeer>();
        const bool opened = pair.b.Run([&] {
            peer->Socket().open(tcp::v4());
            peer->Socket().bind({boost::asio::ip::make_address(source), 0});
        });
        if (!opened || !peer->Connect(tcp::endpoint(boost::asio::ip::make_address(address), 4197))) {
            return nullptr;
        }
        if (tls && (Ask(*peer, "starttls") != "@starttls {}\n" || !peer->StartTls())) {
            return nullptr;
        }
        return peer;
    }

    VethPair pair;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
    std::unique_ptr<Node> controller;
};

// A stranger with no code connects to the router and sends it bad proofs for the device
// behind, reconnecting each time the router closes it. The router holds them to the
// stranger's own waits, so it stays slowed however often it reconnects; the device, whose
// connection from the router proved the code, neither closes that connection nor makes
// the router's address wait. A requester at another address proves the device's code
// through the router at once, and its gets go through.
TEST_F(NodeGuessing, AStrangerBehindTheRouterCutsItOffFromNoOne) {
    ASSERT_TRUE(pair.a.Ip("addr add 10.77.0.3/24 dev " + pair.a1));
    ASSERT_TRUE(pair.b.Ip("addr add 10.77.0.4/24 dev " + pair.b1));
    device = std::make_unique<Node>(SampleDeviceOptions(true, "amp1", kAmp, "10.77.0.3:4197"), pair.a.Name());
    router = std::make_unique<Node>(Options("router", "rt1",
                                            {"--listen", "10.77.0.1:4197", "--route", "10.77.0.3,4197", "--tls-level",
                                             "1", "--code", kSharedCode, "--device-state", kDeviceState}),
                                    pair.a.Name());
    ASSERT_FALSE(router->process
                     .Await(
                         [](const Json::Value& line) {
                             return line["event"] == "security" && line["name"] == "amp1" &&
                                    line["authenticated"] == true;
                         },
                         30s)
                     .isNull());
    const std::string get = R"( get {"path":"/audio/gain"})";
    const std::string answer = R"( @get {"path":"/audio/gain","value":0})" "\n";

    // 84 bad proofs, each connection until the router closes it.
    const auto start = std::chrono::steady_clock::now();
    int checked = 0;
    int unchecked = 0;
    int connections = 0;
    std::unique_ptr<RawPeer> stranger;
    for (int proof = 0; proof < 84;) {
        if (!stranger) {
            stranger = Peer(VethPair::AddressB, VethPair::AddressA, false);
            ASSERT_TRUE(stranger);
            ++connections;
        }
        const std::string heard =
            Ask(*stranger, ProofLine("wrong", "[rt1&amp1][e" + std::to_string(proof) + "]"));
        if (heard.empty()) {
            stranger.reset();
            continue;
        }
        const std::string head = "[e" + std::to_string(proof) + "][rt1&amp1] @authenticate";
        checked += heard == ErrorReply(head, kFailed);
        unchecked += heard == ErrorReply(head, kTooMany);
        ++proof;
    }
    EXPECT_EQ(checked + unchecked, 84);
    // Its waits of 1, 2, 4 ... s, kept across its connections: within s seconds, at most
    // 1 + log2(1 + s) proofs checked (one more for slack), however many connections.
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    int most = 2;
    for (long wait = 1; wait <= seconds.count(); wait *= 2) {
        ++most;
    }
    EXPECT_GT(connections, 10);
    EXPECT_LE(checked, most) << "in " << seconds.count() << " s";

    auto requester = Peer("10.77.0.4", VethPair::AddressA, true);
    ASSERT_TRUE(requester);
    EXPECT_EQ(Ask(*requester, ProofLine(kSharedCode)), "@authenticate {}\n");
    EXPECT_EQ(Ask(*requester, ProofLine(kSharedCode, "[rt1&amp1][ctl2]")), "[ctl2][rt1&amp1] @authenticate {}\n");
    for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(Ask(*requester, "[rt1&amp1][ctl2]" + get), "[ctl2][rt1&amp1]" + answer);
    }
}

// One address carries proofs for ever new requesters over four TLS connections, as fast
// as the device answers them. Their failures make that address wait as its own would:
// few are checked, none of its connections is closed, and the node-wide bound stays
// whole, so that peers with the right code from fresh addresses get in all the while.
TEST_F(NodeGuessing, ProofsCarriedByOneAddressLeaveTheNodesBoundToOthers) {
    constexpr int kRounds = 250;
    constexpr int kHonestEvery = 50;
    ASSERT_TRUE(AddAddresses(pair.b, pair.b1, 10, kRounds / kHonestEvery));
    device = std::make_unique<Node>(SampleDeviceOptions(true, "amp1", kAmp, "10.77.0.1:4197"), pair.a.Name());
    ASSERT_FALSE(device->process.Await(LineWith("listenerAdded", "address", VethPair::AddressA)).isNull());
    std::vector<std::unique_ptr<RawPeer>> carriers;
    for (int n = 0; n < 4; ++n) {
        carriers.push_back(Peer(VethPair::AddressB, VethPair::AddressA, true));
        ASSERT_TRUE(carriers.back()) << n;
    }
    const auto route = [](int round, std::size_t n) {
        return "g" + std::to_string(round) + "&x" + std::to_string(n);
    };
    const auto start = std::chrono::steady_clock::now();
    int checked = 0;
    int unchecked = 0;
    int proven = 0;
    for (int round = 0; round < kRounds; ++round) {
        // The honest peer's proof goes in among the carried ones of the round.
        std::unique_ptr<RawPeer> honest;
        if (round % kHonestEvery == kHonestEvery - 1) {
            honest = Peer("10.77.0." + std::to_string(10 + round / kHonestEvery), VethPair::AddressA, true);
            ASSERT_TRUE(honest);
        }
        for (std::size_t n = 0; n < carriers.size(); ++n) {
            carriers[n]->Send(ProofLine("wrong", "[amp1][" + route(round, n) + "]") + "\n");
        }
        if (honest) {
            proven += Ask(*honest, ProofLine(kSharedCode)) == "@authenticate {}\n";
        }
        for (std::size_t n = 0; n < carriers.size(); ++n) {
            const std::string head = "[" + route(round, n) + "][amp1] @authenticate";
            const std::string heard = Next(*carriers[n]);
            ASSERT_FALSE(heard.empty()) << "closed in round " << round;
            checked += heard == ErrorReply(head, kFailed);
            unchecked += heard == ErrorReply(head, kTooMany);
        }
    }
    EXPECT_EQ(checked + unchecked, 4 * kRounds);
    EXPECT_EQ(proven, kRounds / kHonestEvery);
    // The address's waits of 1, 2, 4 ... s: within s seconds, at most 1 + log2(1 + s)
    // checked (one more for slack), however many connections carry them.
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    int most = 2;
    for (long wait = 1; wait <= seconds.count(); wait *= 2) {
        ++most;
    }
    EXPECT_LE(checked, most) << "in " << seconds.count() << " s";
}

// Guesses from ever new source addresses, each its first, sent at once: however many
// addresses, failed proofs are checked ten at once, then one a second, and the rest are
// refused unchecked. A peer that proved the code before gets in at once all the while. A
// controller node that connects while the guessing goes on gets in: refused, it tries
// again by itself (ControllerSecurity follows that step by step).
TEST_F(NodeGuessing, GuessesFromManyAddressesAreCheckedAtTheNodesRate) {
    constexpr int kGuessers = 40;
    ASSERT_TRUE(AddAddresses(pair.b, pair.b1, 100, kGuessers));
    ASSERT_TRUE(AddAddresses(pair.b, pair.b1, 5, 1));
    // Room for every guesser's connection at once (the sample tree allows eight).
    device = std::make_unique<Node>(
        SampleDeviceOptions(true, "amp1", kAmp, "10.77.0.1:4197", {"--max-incoming", "64"}), pair.a.Name());
    ASSERT_FALSE(device->process.Await(LineWith("listenerAdded", "address", VethPair::AddressA)).isNull());
    auto owner = Peer("10.77.0.5", VethPair::AddressA, true);
    ASSERT_TRUE(owner);
    ASSERT_EQ(Ask(*owner, ProofLine(kSharedCode)), "@authenticate {}\n");

    std::vector<std::unique_ptr<RawPeer>> guessers;
    for (int host = 100; host < 100 + kGuessers; ++host) {
        guessers.push_back(Peer("10.77.0." + std::to_string(host), VethPair::AddressA, true));
        ASSERT_TRUE(guessers.back()) << host;
    }
    // One round of guesses, one from each address; the number checked.
    const auto round = [&] {
        for (auto& guesser : guessers) {
            guesser->Send(ProofLine("wrong") + "\n");
        }
        int checked = 0;
        int unchecked = 0;
        for (auto& guesser : guessers) {
            const std::string heard = Next(*guesser);
            checked += heard == ErrorReply("@authenticate", kFailed);
            unchecked += heard == ErrorReply("@authenticate", kTooMany);
        }
        EXPECT_EQ(checked + unchecked, kGuessers);
        return checked;
    };
    const auto start = std::chrono::steady_clock::now();
    const int checked = round();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LE(checked, 11 + static_cast<int>(seconds.count())) << "in " << seconds.count() << " s";

    // The owner, on a new connection, while the bound is spent.
    auto again = Peer("10.77.0.5", VethPair::AddressA, true);
    ASSERT_TRUE(again);
    EXPECT_EQ(Ask(*again, ProofLine(kSharedCode)), "@authenticate {}\n");

    controller = std::make_unique<Node>(
        Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--tls-level", "1", "--code", kSharedCode}),
        pair.b.Name());
    ASSERT_FALSE(controller->process.Await(LineWith("listenerAdded", "address", VethPair::AddressB)).isNull());
    ASSERT_TRUE(controller->process.Send(ConnectCommand(VethPair::AddressA, 4197)));
    round();
    EXPECT_FALSE(controller->process
                     .Await([](const Json::Value& line) { return line["event"] == "security" && line["authenticated"] == true; },
                            60s)
                     .isNull());
}

}  // namespace
}  // namespace ZelkorTest
