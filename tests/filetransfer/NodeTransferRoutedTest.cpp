// Transfers through a router process (root only: two network namespaces joined by a veth
// pair). Two devices serve the loopback of namespace a, the router there reaches both by
// static routes, and the controller in namespace b reaches them through it: a put to one
// and a get from the other share the router's connection with the keep-alives. A
// "cancelputfile" from another peer on the device's host, and one routed from another
// peer through the router, leave the put running; the controller's own "cancelput" ends
// it on both sides. Each wait is bounded by a deadline.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filetransfer/NodeTransferTestSupport.h"
#include "support/DriverHarness.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

const std::string kOld = "the old content, whole";

NodeProcess::Match ProgressOf(const std::string& path, double percent) {
    return [=](const Json::Value& line) {
        return line["event"] == "progress" && line["path"] == path && line["percent"].asDouble() >= percent;
    };
}

// Awaits a "device" line in `state` for each of `names`, in any order.
bool AwaitDevices(NodeProcess& node, const std::set<std::string>& names, const std::string& state,
                  std::chrono::milliseconds deadline = 20s) {
    std::set<std::string> seen;
    return !node
                .Await(
                    [&](const Json::Value& line) {
                        if (line["event"] == "device" && line["state"] == state && line["proxy"] == "rt1" &&
                            names.count(line["name"].asString())) {
                            seen.insert(line["name"].asString());
                        }
                        return seen == names;
                    },
                    deadline)
                .isNull();
}

// Whether a "device" line of the node ever took `name` out of Connected ("Changed" tells of
// a new record and leaves the state as it is).
bool EverLeftConnected(const NodeProcess& node, const std::string& name) {
    for (const auto& line : LinesOf(node, "device")) {
        if (line["name"] == name && line["old"] == "Connected" && line["state"] != "Connected" &&
            line["state"] != "Changed") {
            return true;
        }
    }
    return false;
}

// The most requests the node has told `name` answered so far.
unsigned AnsweredSoFar(const NodeProcess& node, const std::string& name) {
    unsigned most = 0;
    for (const auto& line : LinesOf(node, "alive")) {
        if (line["name"] == name) {
            most = std::max(most, line["answered"].asUInt());
        }
    }
    return most;
}

// A raw peer in `space` connected to ADDRESS:4197 that sends `line` and reads lines until
// one holds "@cancelputfile"; that line, or "" when none came.
std::string CancelFrom(const NetNamespace& space, const std::string& address, const std::string& line) {
    RawPeer peer;
    if (!space.Run([&peer] { peer.Socket().open(tcp::v4()); }) ||
        !peer.Connect(tcp::endpoint(boost::asio::ip::make_address(address), 4197))) {
        return "";
    }
    peer.Send(line);
    for (std::string reply = peer.ReadLine(); !reply.empty(); reply = peer.ReadLine()) {
        if (reply.find("@cancelputfile") != std::string::npos) {
            return reply;
        }
    }
    return "";
}

TEST(NodeTransferRouted, PutsGetsAndCancellationsThroughARouter) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root1;
    TempDir root2;
    TempDir local;
    Node device1(StoringDeviceOptions("amp1", kAmp, 4197, root1.Path().string()), pair.a.Name());
    Node device2(StoringDeviceOptions("amp2", kAmp2, 4199, root2.Path().string()), pair.a.Name());
    Node router(Options("router", "rt1",
                        {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197", "--route", "127.0.0.1,4199"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1",
                            {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197", "--transfer-interval", "50"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    NodeProcess& dev1 = device1.process;
    ASSERT_TRUE(AwaitDevices(ctl, {"amp1", "amp2"}, "New"));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4199)));
    ASSERT_TRUE(AwaitDevices(ctl, {"amp1", "amp2"}, "Connected"));

    const std::string put = local.File("put.bin");
    WriteRandomFile(put, 3'000'000, 81);
    WriteFile(root1.File("put.bin"), kOld);
    WriteRandomFile(root2.File("get.bin"), 3'000'000, 82);
    WriteFile(local.File("got.bin"), kOld);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, put, "put.bin", "put", 4096)));
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp2}, local.File("got.bin"), "get.bin", "get", 4096)));
    ASSERT_FALSE(ctl.Await(ProgressOf(put, 3), 60s).isNull());
    // Another peer on the device's host, and another behind the router: each is answered,
    // and neither cancels the controller's put.
    EXPECT_EQ(CancelFrom(pair.a, "127.0.0.1", "cancelputfile\n"), "@cancelputfile\n");
    EXPECT_NE(CancelFrom(pair.b, VethPair::AddressA, "[rt1&amp1][raw1] cancelputfile\n"), "");
    auto dones = AwaitDones(ctl, 2, 60s);
    ASSERT_EQ(dones["put"].size(), 1u);
    ASSERT_EQ(dones["get"].size(), 1u);
    EXPECT_EQ(dones["put"][0]["success"], true) << dones["put"][0]["text"];
    EXPECT_EQ(dones["get"][0]["success"], true) << dones["get"][0]["text"];
    EXPECT_EQ(Md5Sum(root1.File("put.bin")), Md5Sum(put));
    EXPECT_EQ(Md5Sum(local.File("got.bin")), Md5Sum(root2.File("get.bin")));

    WriteFile(root1.File("old.bin"), kOld);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, put, "old.bin", "cancelled", 4096)));
    // The first put's later progress lines may not all have been taken yet: this one's
    // begin below the mark.
    const auto starting = [&, any = ProgressOf(put, 0)](const Json::Value& line) {
        return any(line) && line["percent"].asDouble() < 3;
    };
    ASSERT_FALSE(ctl.Await(starting, 60s).isNull());
    ASSERT_FALSE(ctl.Await(ProgressOf(put, 3), 60s).isNull());
    ASSERT_TRUE(ctl.Send(NodeCommand("cancelput", R"("device":")" + kAmp + R"(","remote":"old.bin")")));
    const Json::Value done = ctl.Await(DoneLine("cancelled"), 20s);
    EXPECT_EQ(done["success"], false);
    EXPECT_EQ(done["text"], "transfer canceled");
    const Json::Value ended = dev1.Await(
        [](const Json::Value& line) {
            return line["event"] == "transfer" && line["kind"] == "put" && !line["error"].asString().empty();
        },
        20s);
    EXPECT_EQ(ended["error"], "transfer canceled");
    EXPECT_EQ(ReadFile(root1.File("old.bin")), kOld);
    EXPECT_EQ(FolderNames(root1.Path().string()), (std::vector<std::string>{"old.bin", "put.bin"}));
    EXPECT_EQ(FolderNames(root2.Path().string()), std::vector<std::string>{"get.bin"});
    EXPECT_EQ(FolderNames(local.Path().string()), (std::vector<std::string>{"got.bin", "put.bin"}));

    StopCleanly(ctl);
    StopCleanly(router.process);
    StopCleanly(dev1);
    StopCleanly(device2.process);
}

// A get the device serves to a requester behind the router ends at once when that
// requester says goodbye amid it. A controller killed amid a get and started again under
// its name is the same requester to the device, on the same router connection: its put,
// sent as soon as it sees the device again, is taken at once, the dead get having been
// silent past the reopen quiet (or the router having said its requester is gone), rather
// than holding the device for the 60 s silence bound. The device runs its timers at a
// scale of 2: its silence bound is 30 s, its reopen quiet 2.5 s, until which the put is
// held back.
TEST(NodeTransferRouted, AControllerGoneOrRestartedUnderItsNameLeavesNoGetBehind) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root;
    TempDir local;
    Node device({"--role", "device", "--name", "amp1", "--timer-scale", "2", "--guid", kAmp, "--listen",
                 "127.0.0.1:4197", "--storage-root", root.Path().string()},
                pair.a.Name());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    const std::vector<std::string> controllerOptions =
        Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"});
    const auto startController = [&] {
        auto node = std::make_unique<Node>(controllerOptions, pair.b.Name());
        const bool ready = AwaitDevices(node->process, {"amp1"}, "New") &&
                           node->process.Send(ConnectCommand("127.0.0.1", 4197)) &&
                           AwaitDevices(node->process, {"amp1"}, "Connected");
        return ready ? std::move(node) : nullptr;
    };
    const auto endedGet = [&device] {
        return device.process.Await(
            [](const Json::Value& line) {
                return line["event"] == "transfer" && line["kind"] == "get" && !line["error"].asString().empty();
            },
            20s);
    };
    auto controller = startController();
    ASSERT_TRUE(controller);
    WriteRandomFile(root.File("served.bin"), 8'000'000, 91);
    {
        RawPeer peer;
        ASSERT_TRUE(pair.b.Run([&peer] { peer.Socket().open(tcp::v4()); }));
        ASSERT_TRUE(peer.Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), 4197)));
        peer.Send(R"([rt1&amp1][raw1] getfile {"path":"served.bin","state":"begin","blocksize":4096})" "\n");
        EXPECT_NE(peer.ReadLine().find("@getfile"), std::string::npos);
        const std::string block = peer.ReadLine();
        EXPECT_NE(block.find(" block {\"blockno\":1,"), std::string::npos) << block.substr(0, 80);
        peer.Send("[rt1&amp1][raw1] goodbye\n");
        EXPECT_EQ(endedGet()["error"], "end-point disconnected");
    }

    const std::string got = local.File("got.bin");
    ASSERT_TRUE(controller->process.Send(TransferCommand("recvfile", {kAmp}, got, "served.bin", "get", 4096)));
    ASSERT_FALSE(controller->process.Await(ProgressOf(got, 50), 60s).isNull());
    ASSERT_TRUE(controller->process.Signal(SIGKILL));
    EXPECT_EQ(controller->process.Wait(), 128 + SIGKILL);
    controller.reset();

    // At once: the router tells the device that the block in flight found its requester
    // gone, and the device ends the get.
    controller = startController();
    ASSERT_TRUE(controller);
    const std::string put = local.File("put.bin");
    WriteRandomFile(put, 300'000, 92);
    ASSERT_TRUE(controller->process.Send(TransferCommand("sendfile", {kAmp}, put, "put.bin", "put", 4096)));
    const Json::Value done = controller->process.Await(DoneLine("put"), 20s);
    EXPECT_EQ(done["success"], true) << done["text"];
    EXPECT_EQ(Md5Sum(root.File("put.bin")), Md5Sum(put));
    // The dead get ended on the device as its requester's end.
    EXPECT_EQ(endedGet()["error"], "end-point disconnected");

    StopCleanly(controller->process);
    StopCleanly(router.process);
    StopCleanly(device.process);
}

// A device killed behind the router amid a get, and amid a put once it is back: each
// transfer is answered at once with "end-point disconnected" (for the get the router's
// list says the device is gone, for the put the router refuses its next line; the silence
// bound would answer "timeout" only after 10 s), the device goes Disconnected and comes
// back Connected through the router's list, and the router and the other device behind it
// stay Connected throughout.
TEST(NodeTransferRouted, ADeviceKilledBehindTheRouterEndsItsTransferAtOnce) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root1;
    TempDir root2;
    TempDir local;
    const std::vector<std::string> device1Options = StoringDeviceOptions("amp1", kAmp, 4197, root1.Path().string());
    auto device1 = std::make_unique<Node>(device1Options, pair.a.Name());
    Node device2(StoringDeviceOptions("amp2", kAmp2, 4199, root2.Path().string()), pair.a.Name());
    Node router(Options("router", "rt1",
                        {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197", "--route", "127.0.0.1,4199"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1",
                            {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197", "--transfer-interval", "50"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    ASSERT_TRUE(AwaitDevices(ctl, {"amp1", "amp2"}, "New"));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4199)));
    ASSERT_TRUE(AwaitDevices(ctl, {"amp1", "amp2"}, "Connected"));

    WriteRandomFile(root1.File("served.bin"), 8'000'000, 101);
    const std::string put = local.File("put.bin");
    WriteRandomFile(put, 8'000'000, 102);
    // The transfer past 3%, its device killed: its answer.
    const auto killedAmid = [&](const std::string& command, const std::string& watched, const std::string& remote,
                                const std::string& tag) {
        if (!ctl.Send(TransferCommand(command, {kAmp}, watched, remote, tag, 4096)) ||
            ctl.Await(ProgressOf(watched, 3), 60s).isNull() || !device1->process.Signal(SIGKILL)) {
            return Json::Value();
        }
        EXPECT_EQ(device1->process.Wait(), 128 + SIGKILL);
        return ctl.Await(DoneLine(tag), 30s);
    };

    const Json::Value got = killedAmid("recvfile", local.File("got.bin"), "served.bin", "get");
    EXPECT_EQ(got["success"], false);
    EXPECT_EQ(got["text"], "end-point disconnected");
    EXPECT_FALSE(ctl.Await(DeviceLine("amp1", "Disconnected"), 20s).isNull());
    EXPECT_EQ(FolderNames(local.Path().string()), std::vector<std::string>{"put.bin"});

    device1 = std::make_unique<Node>(device1Options, pair.a.Name());
    ASSERT_FALSE(ctl.Await(DeviceLine("amp1", "Connected"), 30s).isNull());
    const Json::Value sent = killedAmid("sendfile", put, "put.bin", "put");
    EXPECT_EQ(sent["success"], false);
    EXPECT_EQ(sent["text"], "end-point disconnected");
    EXPECT_FALSE(ctl.Await(DeviceLine("amp1", "Disconnected"), 20s).isNull());

    EXPECT_FALSE(EverLeftConnected(ctl, "rt1"));
    EXPECT_FALSE(EverLeftConnected(ctl, "amp2"));
    StopCleanly(ctl);
    StopCleanly(router.process);
    StopCleanly(device2.process);
}

// A device killed behind the router amid a get and started again at once under its GUID:
// the router, its timers fifty times faster, is connected to it again within a fraction
// of a second, before the controller (at the default timers) next asks for its list. The
// router's next list to the controller still says the device was lost, and the get ends
// with "end-point disconnected" then, not with "timeout" at the 60 s silence bound; the
// device is Connected again by the list after, and serves the next get. Before, the
// router's list never showed the device gone, and the get waited for the bound.
TEST(NodeTransferRouted, ADeviceRestartedAtOnceBehindTheRouterEndsItsGetAtOnce) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root;
    TempDir local;
    const std::vector<std::string> deviceOptions = StoringDeviceOptions("amp1", kAmp, 4197, root.Path().string());
    auto device = std::make_unique<Node>(deviceOptions, pair.a.Name());
    Node router({"--role", "router", "--name", "rt1", "--timer-scale", "50", "--listen", "10.77.0.1:4197", "--route",
                 "127.0.0.1,4197"},
                pair.a.Name());
    Node controller({"--role", "controller", "--name", "ctl1", "--listen", "10.77.0.2:4197", "--route",
                     "10.77.0.1,4197", "--transfer-interval", "50"},
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    ASSERT_TRUE(AwaitDevices(ctl, {"amp1"}, "New"));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_TRUE(AwaitDevices(ctl, {"amp1"}, "Connected"));

    WriteRandomFile(root.File("served.bin"), 8'000'000, 121);
    const std::string got = local.File("got.bin");
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, got, "served.bin", "get", 4096)));
    ASSERT_FALSE(ctl.Await(ProgressOf(got, 3), 60s).isNull());
    ASSERT_TRUE(device->process.Signal(SIGKILL));
    EXPECT_EQ(device->process.Wait(), 128 + SIGKILL);
    device = std::make_unique<Node>(deviceOptions, pair.a.Name());
    const auto restarted = Clock::now();

    // Well before the bound, with room for a loaded machine: the list comes within a
    // keep-alive interval (10 s).
    const Json::Value done = ctl.Await(DoneLine("get"), 45s);
    EXPECT_EQ(done["text"], "end-point disconnected") << done;
    EXPECT_LT(Clock::now() - restarted, 50s);
    EXPECT_EQ(FolderNames(local.Path().string()), std::vector<std::string>{});

    ASSERT_FALSE(ctl.Await(DeviceLine("amp1", "Connected"), 30s).isNull());
    WriteRandomFile(root.File("small.bin"), 200'000, 122);
    ASSERT_TRUE(ctl.Send(TransferCommand("recvfile", {kAmp}, local.File("small.bin"), "small.bin", "small")));
    const Json::Value small = ctl.Await(DoneLine("small"), 30s);
    EXPECT_EQ(small["success"], true) << small["text"];
    EXPECT_EQ(Md5Sum(local.File("small.bin")), Md5Sum(root.File("small.bin")));
    EXPECT_FALSE(EverLeftConnected(ctl, "rt1"));
    StopCleanly(ctl);
    StopCleanly(router.process);
    StopCleanly(device->process);
}

// A device frozen (SIGSTOP) amid a put through the router, all three nodes at the default
// timers: the router refuses the put's block "Device not connected" once the device has
// left it unanswered for twice the keep-alive interval (20 s), before it takes the device
// for lost (30 s), and the put ends with "end-point disconnected". The controller cancels
// the put at the device through the router, and the device, woken, takes the controller's
// next put at once. Before, the device woke holding the first put and refused the next one
// "unexpected reply received" until its own 60 s silence bound.
TEST(NodeTransferRouted, APutTheRouterGaveUpOnIsCancelledAtTheDevice) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root;
    TempDir local;
    Node device({"--role", "device", "--name", "amp1", "--guid", kAmp, "--listen", "127.0.0.1:4197",
                 "--storage-root", root.Path().string()},
                pair.a.Name());
    Node router({"--role", "router", "--name", "rt1", "--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"},
                pair.a.Name());
    Node controller({"--role", "controller", "--name", "ctl1", "--listen", "10.77.0.2:4197", "--route",
                     "10.77.0.1,4197", "--transfer-interval", "50"},
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    // The router lists the device once it has reached it, a keep-alive interval on.
    ASSERT_TRUE(AwaitDevices(ctl, {"amp1"}, "New", 60s));
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_TRUE(AwaitDevices(ctl, {"amp1"}, "Connected"));

    const std::string put = local.File("put.bin");
    WriteRandomFile(put, 8'000'000, 131);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, put, "put.bin", "put", 4096)));
    ASSERT_FALSE(ctl.Await(ProgressOf(put, 3), 60s).isNull());
    ASSERT_TRUE(device.process.Signal(SIGSTOP));
    const Json::Value refused = ctl.Await(DoneLine("put"), 40s);
    EXPECT_EQ(refused["text"], "end-point disconnected") << refused;
    ASSERT_TRUE(device.process.Signal(SIGCONT));

    const std::string next = local.File("next.bin");
    WriteRandomFile(next, 200'000, 132);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, next, "next.bin", "next", 4096)));
    const Json::Value done = ctl.Await(DoneLine("next"), 30s);
    EXPECT_EQ(done["success"], true) << done["text"];
    EXPECT_EQ(Md5Sum(root.File("next.bin")), Md5Sum(next));
    const Json::Value ended = device.process.Await(
        [](const Json::Value& line) {
            return line["event"] == "transfer" && line["kind"] == "put" && line["state"] == "end" &&
                   !line["error"].asString().empty();
        },
        10s);
    EXPECT_EQ(ended["error"], "transfer canceled") << ended;
    EXPECT_EQ(FolderNames(root.Path().string()), std::vector<std::string>{"next.bin"});
    StopCleanly(ctl);
    StopCleanly(router.process);
    StopCleanly(device.process);
}

// A device frozen (SIGSTOP) behind the router amid gets of two controllers. The one with a
// reply time-out of 3 s ends its get with "timeout" then; the other, with the defaults,
// once the device has sent it nothing for the 60 s silence bound (10 s at its timer
// scale). Neither closes its connection to the router: the router and the devices behind
// it stay Connected, and serve the next get at once. The router, at the default timers,
// judges the device by its keep-alives, each awaited 10 s, as long as that silence
// bound: the device is frozen as the router hears an answer, so that the next keep-alive
// goes out a keep-alive interval later. Before, frozen with one unanswered (asked a moment
// before, or while the loaded device lagged), it was given up by the router first, and
// the get ended "end-point disconnected".
TEST(NodeTransferRouted, AFrozenDevicesTransferTimesOutAloneOnTheRoutersConnection) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir root1;
    TempDir root2;
    TempDir local;
    Node device1(StoringDeviceOptions("amp1", kAmp, 4197, root1.Path().string()), pair.a.Name());
    Node device2(StoringDeviceOptions("amp2", kAmp2, 4199, root2.Path().string()), pair.a.Name());
    Node router({"--role", "router", "--name", "rt1", "--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197",
                 "--route", "127.0.0.1,4199"},
                pair.a.Name());
    const auto controllerOn = [&](const std::string& name, const std::string& listen,
                                  std::vector<std::string> more) {
        more.insert(more.end(), {"--listen", listen, "--route", "10.77.0.1,4197", "--transfer-interval", "50"});
        return std::make_unique<Node>(Options("controller", name, std::move(more)), pair.b.Name());
    };
    const auto timed = controllerOn("ctl1", "10.77.0.2:4197", {"--reply-timeout", "3000"});
    const auto plain = controllerOn("ctl2", "10.77.0.2:4198", {});
    for (NodeProcess* ctl : {&timed->process, &plain->process}) {
        ASSERT_TRUE(AwaitDevices(*ctl, {"amp1", "amp2"}, "New"));
        ASSERT_TRUE(ctl->Send(ConnectCommand("127.0.0.1", 4197)));
        ASSERT_TRUE(ctl->Send(ConnectCommand("127.0.0.1", 4199)));
        ASSERT_TRUE(AwaitDevices(*ctl, {"amp1", "amp2"}, "Connected"));
    }

    // Large enough to be under way still a keep-alive interval after 3%.
    WriteRandomFile(root1.File("served.bin"), 40'000'000, 111);
    const std::string timedGot = local.File("timed.bin");
    const std::string plainGot = local.File("plain.bin");
    ASSERT_TRUE(timed->process.Send(TransferCommand("recvfile", {kAmp}, timedGot, "served.bin", "get", 4096)));
    ASSERT_TRUE(plain->process.Send(TransferCommand("recvfile", {kAmp}, plainGot, "served.bin", "get", 4096)));
    ASSERT_FALSE(timed->process.Await(ProgressOf(timedGot, 3), 60s).isNull());
    ASSERT_FALSE(plain->process.Await(ProgressOf(plainGot, 3), 60s).isNull());
    // Amid the transfers the router asks the device nothing but its keep-alives.
    ASSERT_FALSE(router.process.Await(Answered("amp1", AnsweredSoFar(router.process, "amp1") + 1), 30s).isNull());
    ASSERT_TRUE(device1.process.Signal(SIGSTOP));
    const auto stopped = Clock::now();

    const Json::Value timedOut = timed->process.Await(DoneLine("get"), 30s);
    EXPECT_EQ(timedOut["text"], "timeout") << timedOut;
    const Json::Value boundOut = plain->process.Await(DoneLine("get"), 60s);
    EXPECT_EQ(boundOut["text"], "timeout") << boundOut;
    // Its last block came at most a little before the stop.
    EXPECT_GE(Clock::now() - stopped, 8s);
    EXPECT_EQ(FolderNames(local.Path().string()), std::vector<std::string>{});

    WriteRandomFile(root2.File("small.bin"), 200'000, 112);
    for (NodeProcess* ctl : {&timed->process, &plain->process}) {
        for (const char* name : {"rt1", "amp1", "amp2"}) {
            EXPECT_FALSE(EverLeftConnected(*ctl, name)) << name;
        }
        const std::string small = local.File("small-" + std::to_string(ctl->Pid()) + ".bin");
        ASSERT_TRUE(ctl->Send(TransferCommand("recvfile", {kAmp2}, small, "small.bin", "small")));
        const Json::Value done = ctl->Await(DoneLine("small"), 30s);
        EXPECT_EQ(done["success"], true) << done["text"];
        EXPECT_EQ(Md5Sum(small), Md5Sum(root2.File("small.bin")));
    }
    ASSERT_TRUE(device1.process.Signal(SIGCONT));
    StopCleanly(timed->process);
    StopCleanly(plain->process);
    StopCleanly(router.process);
    StopCleanly(device1.process);
    StopCleanly(device2.process);
}

}  // namespace
}  // namespace ZelkorTest
