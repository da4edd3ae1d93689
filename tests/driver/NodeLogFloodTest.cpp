// A peer that repeats what a node refuses fills no disk with the node's log: the node
// runner in namespace a of a veth pair, its log (standard error) in a file of the test's;
// raw peers from namespace b. The refused lines are logged at their code's rate, the count
// of those left out follows, and a peer beside the flood is answered. Every wait has a
// deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "core/PeerLineLimit.h"
#include "discovery/NodesTestSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
using Zelkor::PeerLineLimit;

// The lines of the log holding `fragment`.
std::size_t LinesWith(const std::string& log, const std::string& fragment) {
    std::istringstream in(ReadFile(log));
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        count += line.find(fragment) != std::string::npos ? 1 : 0;
    }
    return count;
}

// The count of ZK7233E lines left out, summed over the log's notes.
std::uint64_t LeftOut(const std::string& log) {
    std::istringstream in(ReadFile(log));
    std::uint64_t leftOut = 0;
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find("ZLOG ZK8002I ");
        if (at != std::string::npos && line.find(" of ZK7233E left out") != std::string::npos) {
            leftOut += std::stoull(line.substr(at + 13));
        }
    }
    return leftOut;
}

bool Answers(const std::string& heard, const std::string& word) { return heard.rfind("@" + word + " ", 0) == 0; }

TEST(NodeLogFlood, RefusedLinesAreLoggedAtTheirCodesRateWithTheCountLeftOut) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir dir;
    const std::string log = dir.File("node.log");
    NodeProcess node({"--role", "device", "--name", "n1", "--listen", "10.77.0.1:4197"}, pair.a.Name(),
                     dir.Path().string(), log);
    ASSERT_FALSE(node.AwaitEvent("listenerAdded").isNull());
    const auto peer = [&] {
        auto made = std::make_unique<RawPeer>();
        EXPECT_TRUE(pair.b.Run([&] { made->Socket().open(tcp::v4()); }));
        EXPECT_TRUE(made->Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), 4197)));
        return made;
    };

    // 500 lines no header can be read from, each logged twice over before; the request
    // after them is answered once they all were read.
    const auto start = std::chrono::steady_clock::now();
    const auto flooder = peer();
    const int flood = 500;
    std::string lines;
    for (int line = 0; line < flood; ++line) {
        lines += "NOT A LINE " + std::to_string(line) + "\n";
    }
    flooder->Send(lines);
    ASSERT_TRUE(Answers(Ask(*flooder, "getdevicestate"), "getdevicestate"));
    const auto periods = static_cast<std::size_t>((std::chrono::steady_clock::now() - start) / PeerLineLimit::kPeriod);
    // One line more a period of the flood's own time, however slow the machine.
    const std::size_t most = PeerLineLimit::kBurst + periods + 1;
    EXPECT_LE(LinesWith(log, "ZK7233E Invalid message"), most);
    EXPECT_LE(LinesWith(log, "ZK5105E Invalid characters in command"), most);
    EXPECT_GE(LinesWith(log, "ZK7233E Invalid message"), static_cast<std::size_t>(PeerLineLimit::kBurst));

    // A neighbour is served meanwhile.
    EXPECT_TRUE(Answers(Ask(*peer(), "getdevicestate"), "getdevicestate"));

    // Nothing is lost from the record: once the code may pass again, its next line comes
    // after the count of those left out.
    const auto until = std::chrono::steady_clock::now() + 4 * PeerLineLimit::kPeriod;
    while (LinesWith(log, "lines of ZK7233E left out") == 0 && std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(Answers(Ask(*flooder, "NOT A LINE\ngetdevicestate"), "getdevicestate"));
        std::this_thread::sleep_for(200ms);  // the pace of the flood, not a wait for it
    }
    EXPECT_GE(LeftOut(log), static_cast<std::uint64_t>(flood) - most);
    StopCleanly(node);
}

// A flood that stops has its count written without a later line: once the code could
// pass again, or at the latest when the node stops.
TEST(NodeLogFlood, TheCountOfAFloodThatStopsIsWrittenWithoutALaterLine) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir dir;
    const std::string log = dir.File("node.log");
    NodeProcess node({"--role", "device", "--name", "n1", "--listen", "10.77.0.1:4197"}, pair.a.Name(),
                     dir.Path().string(), log);
    ASSERT_FALSE(node.AwaitEvent("listenerAdded").isNull());
    RawPeer flooder;
    ASSERT_TRUE(pair.b.Run([&] { flooder.Socket().open(tcp::v4()); }));
    ASSERT_TRUE(flooder.Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), 4197)));
    const std::uint64_t flood = 100;
    std::string lines;
    for (std::uint64_t line = 0; line < flood; ++line) {
        lines += "NOT A LINE " + std::to_string(line) + "\n";
    }
    // Each line of a flood is either written or counted.
    const auto accounted = [&] { return LeftOut(log) + LinesWith(log, "ZK7233E Invalid message"); };
    const auto floodOnce = [&] {
        flooder.Send(lines);
        EXPECT_TRUE(Answers(Ask(flooder, "getdevicestate"), "getdevicestate"));
    };

    // The node is sent nothing more, and the count comes all the same.
    floodOnce();
    const auto until = std::chrono::steady_clock::now() + 4 * PeerLineLimit::kPeriod;
    while (accounted() < flood && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(accounted(), flood);
    EXPECT_GT(LeftOut(log), 0u);

    // Another flood, at once stopped: its count is not lost.
    floodOnce();
    StopCleanly(node);
    EXPECT_EQ(accounted(), 2 * flood);
}

}  // namespace
}  // namespace ZelkorTest
