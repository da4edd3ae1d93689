// A peer that stops in the middle of a line gives its connection, and the memory the line
// took, back: the node runner closes a connection whose unfinished line has received
// nothing for 30 s (10 s at the timer scale of ten the test runs it with: no scale shortens
// it further), while a peer whose long line keeps coming, however slowly, is answered. Started without a tree, the
// runner admits its default of 64 peers. The node runs in namespace a of a veth pair; the
// peers are raw connections from namespace b.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "discovery/NodesTestSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

// The reply of `word`, with a body or without.
bool Answers(const std::string& heard, const std::string& word) {
    return heard.rfind("@" + word + " ", 0) == 0 || heard == "@" + word + "\n";
}

TEST(NodeSlowLines, ALineThatStopsComingClosesItsConnectionAndOneThatComesSlowlyIsAnswered) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node node({"--role", "device", "--name", "n1", "--timer-scale", "10", "--listen", "10.77.0.1:4197"}, pair.a.Name());
    ASSERT_FALSE(node.process.AwaitEvent("listenerAdded").isNull());
    const auto peer = [&] {
        auto made = std::make_unique<RawPeer>();
        EXPECT_TRUE(pair.b.Run([&] { made->Socket().open(tcp::v4()); }));
        EXPECT_TRUE(made->Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), 4197)));
        return made;
    };

    // Subscribed, on a node without a code, no peer gives its slot up for silence.
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int n = 0; n < 64; ++n) {
        peers.push_back(peer());
        ASSERT_TRUE(Answers(Ask(*peers.back(), R"(subscribe {"path":"/configuration/device/name"})"), "subscribe"));
    }
    EXPECT_EQ(Ask(*peer(), "getdevicestate"), "goodbye {\"reason\":\"busy\"}\n");

    // Eight stop in the middle of a line; one sends a long "set", a KiB at a time, for
    // longer than the bound (80 pieces, 150 ms apart: twelve seconds).
    for (int n = 0; n < 8; ++n) {
        peers[n]->Send("get {\"path\":\"" + std::string(65000, 'x'));
    }
    RawPeer& slow = *peers.back();
    slow.Send(R"(set {"path":"/configuration/device/name","value":")");
    for (int piece = 0; piece < 80; ++piece) {
        slow.Send(std::string(1024, 'v'));
        std::this_thread::sleep_for(150ms);
    }
    slow.Send("\"}\n");
    EXPECT_TRUE(Answers(Next(slow), "set"));
    for (int n = 0; n < 8; ++n) {
        EXPECT_TRUE(peers[n]->WaitClosed(60s)) << n;
    }
    EXPECT_TRUE(Answers(Ask(*peer(), "getdevicestate"), "getdevicestate"));
    EXPECT_TRUE(Answers(Ask(slow, R"(get {"path":"/configuration/device/name"})"), "get"));
    StopCleanly(node.process);
}

}  // namespace
}  // namespace ZelkorTest
