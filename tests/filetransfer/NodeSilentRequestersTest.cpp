// A requester behind a router that leaves a device's file blocks unanswered, beside an
// honest one (root only: two network namespaces joined by a veth pair). The device serves
// the loopback of namespace a, where the router reaches it by a static route; in namespace
// b, on one address, a controller fetches a file through the router while a raw peer
// opens gets of another file, again and again, and never answers a block. Every block
// the device sends, to either, goes on the device's one connection to the router, which
// carries one request at a time. Each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "filetransfer/NodeTransferTestSupport.h"
#include "support/DriverHarness.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

// Awaits the controller's "device" line in `state` for the device behind the router.
bool AwaitDevice(NodeProcess& controller, const std::string& state) {
    return !controller
                .Await(
                    [&](const Json::Value& line) {
                        return line["event"] == "device" && line["guid"] == kAmp && line["state"] == state &&
                               line["proxy"] == "rt1";
                    },
                    30s)
                .isNull();
}

bool ConnectFromB(const VethPair& pair, RawPeer& peer) {
    return pair.b.Run([&peer] { peer.Socket().open(tcp::v4()); }) &&
           peer.Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), 4197));
}

std::string GetLine(const std::string& path) {
    return R"([rt1&amp1][silent] getfile {"path":")" + path + R"(","state":"begin","blocksize":4096})" "\n";
}

// The silent requester's first block holds the device's connection to the router for the
// bound; after that its blocks are refused at once, however often it opens a get, and the
// honest controller's get of 133 blocks goes through (today's 20 s a block would take it
// 45 minutes). The silent one cannot escape by coming back on a new connection under its
// name either. Its neighbour on the same address pays nothing for it.
TEST(NodeSilentRequesters, OneThatLeavesBlocksUnansweredHoldsTheDeviceOnceNotAgainAndAgain) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root;
    TempDir local;
    Node device(StoringDeviceOptions("amp1", kAmp, 4197, root.Path().string()), pair.a.Name());
    // The router at its own timer's pace: its requesters are refused for the full minute.
    Node router({"--role", "router", "--name", "rt1", "--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"},
                pair.a.Name());
    Node controller(Options("controller", "ctl1",
                            {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197", "--transfer-interval", "50"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    ASSERT_TRUE(AwaitDevice(ctl, "New"));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_TRUE(AwaitDevice(ctl, "Connected"));
    WriteRandomFile(root.File("served.bin"), 400'000, 95);
    WriteRandomFile(root.File("bait.bin"), 400'000, 96);
    WriteRandomFile(root.File("again.bin"), 400'000, 97);

    RawPeer silent;
    ASSERT_TRUE(ConnectFromB(pair, silent));
    silent.Send(GetLine("bait.bin"));
    ASSERT_NE(silent.ReadLine().find("@getfile"), std::string::npos);
    ASSERT_NE(silent.ReadLine().find(" block {\"blockno\":1,"), std::string::npos);
    std::atomic<bool> done{false};
    std::atomic<int> blocks{1};
    std::thread reopening([&] {
        for (int round = 0; round < 400 && !done; ++round) {
            silent.Send(GetLine("bait.bin"));
            for (std::string line = silent.ReadLine(250ms); !line.empty(); line = silent.ReadLine(250ms)) {
                blocks += line.find(" block ") != std::string::npos ? 1 : 0;
            }
        }
    });

    const std::string got = local.File("got.bin");
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, got, "served.bin", "get", 4096)));
    const Json::Value finished = ctl.Await(DoneLine("get"), 90s);
    done = true;
    reopening.join();
    ASSERT_FALSE(finished.isNull());
    EXPECT_EQ(finished["success"], true) << finished["text"];
    EXPECT_EQ(Md5Sum(got), Md5Sum(root.File("served.bin")));
    EXPECT_EQ(blocks, 1);

    // Back on a new connection under its name: the device ends the get at once, its first
    // block refused before it reached the requester.
    silent.Close();
    RawPeer back;
    ASSERT_TRUE(ConnectFromB(pair, back));
    back.Send(GetLine("again.bin"));
    const Json::Value ended = device.process.Await(
        [](const Json::Value& line) {
            return line["event"] == "transfer" && line["path"].asString().find("again.bin") != std::string::npos &&
                   line["state"] == "end";
        },
        20s);
    EXPECT_EQ(ended["error"], "end-point disconnected");
    ASSERT_NE(back.ReadLine().find("@getfile"), std::string::npos);
    // Whatever the router passed on came before the device heard of the refusal.
    for (std::string line = back.ReadLine(1s); !line.empty(); line = back.ReadLine(1s)) {
        EXPECT_EQ(line.find(" block "), std::string::npos) << line.substr(0, 80);
    }

    StopCleanly(ctl);
    StopCleanly(router.process);
    StopCleanly(device.process);
}

}  // namespace
}  // namespace ZelkorTest
