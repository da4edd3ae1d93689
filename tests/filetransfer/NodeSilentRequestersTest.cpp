// A requester behind a router that leaves a device's file blocks unanswered, beside an
// honest one (root only: two network namespaces joined by a veth pair). The device serves
// the loopback of namespace a, where the router reaches it by a static route; in namespace
// b, on one address, a controller fetches a file through the router while a raw peer
// opens gets of another file, again and again, and never answers a block. Every block
// the device sends, to either, goes on the device's one connection to the router, which
// carries one request at a time. Each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filetransfer/NodeTransferTestSupport.h"
#include "support/DriverHarness.h"
#include "support/RunUntil.h"

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

// A requester with gets open on several devices, that answers each block it is sent
// just within the bound: its blocks queue up on the router's connection to it, one per
// device, and each waits for its answers to those ahead. Were each block's age counted
// alone, every device would be held for all of them, block after block (4 x 4.5 s: the
// honest get beside it, from the last device, would wait past its peer's silence bound
// for each block). Counted over its queued blocks together, the requester is refused as
// soon as they pass the bound, and the honest get, from the same address, goes through.
TEST(NodeSilentRequesters, OneThatAnswersItsQueuedBlocksSlowlyIsRefusedNotWaitedFor) {
    constexpr std::size_t count = 4;
    constexpr auto takes = 4500ms;
    const std::array<std::string, count> guids{kAmp, kAmp2, "8d4f2a61-0c3e-4b97-a5d8-6e1f3b7c9a20",
                                               "e2a9c7b4-51d6-4f83-9b0e-7c4d2f8a6e15"};
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    std::array<TempDir, count> roots;
    std::vector<std::unique_ptr<Node>> devices;
    std::vector<std::string> routes{"--listen", "10.77.0.1:4197"};
    for (std::size_t i = 0; i < count; ++i) {
        const auto port = static_cast<unsigned short>(4201 + i);
        devices.push_back(std::make_unique<Node>(
            StoringDeviceOptions("amp" + std::to_string(i + 1), guids[i], port, roots[i].Path().string()),
            pair.a.Name()));
        routes.insert(routes.end(), {"--route", "127.0.0.1," + std::to_string(port)});
        WriteRandomFile(roots[i].File("bait.bin"), 400'000, static_cast<std::uint32_t>(100 + i));
    }
    // The router's timer at the test's pace: it judges the notices' ages often.
    Node router(Options("router", "rt1", routes), pair.a.Name());
    Node controller(Options("controller", "ctl1",
                            {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197", "--transfer-interval", "50"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    const std::string& last = guids.back();
    const auto listed = [&](const std::string& state) {
        return !ctl.Await(
                       [&](const Json::Value& line) {
                           return line["event"] == "device" && line["guid"] == last && line["state"] == state &&
                                  line["proxy"] == "rt1";
                       },
                       60s)
                    .isNull();
    };
    ASSERT_TRUE(listed("New"));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4201 + count - 1)));
    ASSERT_TRUE(listed("Connected"));
    // 14 blocks.
    WriteRandomFile(roots.back().File("served.bin"), 40'000, 95);

    // Opens a get on each device, again until the device's first block comes (one the
    // router has not reached yet is refused), and answers each block `takes` after it came.
    RawPeer slow;
    ASSERT_TRUE(ConnectFromB(pair, slow));
    std::atomic<std::size_t> reached{0};
    std::atomic<bool> done{false};
    std::thread requester([&] {
        using Clock = std::chrono::steady_clock;
        std::array<bool, count> sending{};
        std::array<Clock::time_point, count> retry{};
        std::deque<std::pair<Clock::time_point, std::string>> due;
        while (!done) {
            for (std::size_t i = 0; i < count; ++i) {
                if (!sending[i] && Clock::now() >= retry[i]) {
                    slow.Send("[rt1&amp" + std::to_string(i + 1) +
                              R"(][slow] getfile {"path":"bait.bin","state":"begin","blocksize":4096})" "\n");
                    retry[i] = Clock::now() + 2s;
                }
            }
            const std::string line = slow.ReadLine(50ms);
            const auto device = line.find("][rt1&amp");
            const auto number = line.find(R"("blockno":)");
            if (line.find("] block {") != std::string::npos && device != std::string::npos &&
                number != std::string::npos) {
                const std::size_t index = std::stoul(line.substr(device + 9)) - 1;
                if (index < count && !sending[index]) {
                    sending[index] = true;
                    ++reached;
                }
                due.emplace_back(Clock::now() + takes, "[rt1&amp" + std::to_string(index + 1) +
                                                           R"(][slow] @block {"blockno":)" +
                                                           std::to_string(std::stoul(line.substr(number + 10))) + "}\n");
            }
            while (!due.empty() && due.front().first <= Clock::now()) {
                slow.Send(due.front().second);
                due.pop_front();
            }
        }
    });
    const bool allSending = WaitUntil([&] { return reached == count; }, 60s);
    if (!allSending) {
        done = true;
        requester.join();
        FAIL() << reached << " devices sent the slow requester a block";
    }

    const std::string got = controller.dir.File("got.bin");
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {last}, got, "served.bin", "get", 4096)));
    const Json::Value finished = ctl.Await(DoneLine("get"), 120s);
    const Json::Value ended = devices.back()->process.Await(
        [](const Json::Value& line) {
            return line["event"] == "transfer" && line["path"].asString().find("bait.bin") != std::string::npos &&
                   line["state"] == "end";
        },
        30s);
    done = true;
    requester.join();
    ASSERT_FALSE(finished.isNull()) << "the honest get waited for the slow requester's answers";
    EXPECT_EQ(finished["success"], true) << finished["text"];
    EXPECT_EQ(Md5Sum(got), Md5Sum(roots.back().File("served.bin")));
    EXPECT_EQ(ended["error"], "end-point disconnected");

    StopCleanly(ctl);
    StopCleanly(router.process);
    for (auto& device : devices) {
        StopCleanly(device->process);
    }
}

}  // namespace
}  // namespace ZelkorTest
