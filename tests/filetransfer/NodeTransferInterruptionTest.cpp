// Transfers between node processes that end before their time: a side killed, stopped by
// a signal until the other's reply time-out, stopped by its own "stop" command, a put
// cancelled, a disk that fills. Whatever ends them, the old file stays whole, no
// temporary is left in either folder, the caller hears why, and the next transfer is
// served. Each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "filetransfer/NodeTransferTestSupport.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kOld = "the old content, whole";

// A "progress" line of the transfer of `path` at `percent` or beyond.
NodeProcess::Match ProgressOf(const std::string& path, double percent) {
    return [=](const Json::Value& line) {
        return line["event"] == "progress" && line["path"] == path && line["percent"].asDouble() >= percent;
    };
}

// A "transfer" line of that kind that tells of a failure.
NodeProcess::Match FailedTransfer(const std::string& kind) {
    return [=](const Json::Value& line) {
        return line["event"] == "transfer" && line["kind"] == kind && !line["error"].asString().empty();
    };
}

// The folder holds only `names` and the process nothing open in it, within a short while
// (the side that was cut may still be cleaning up).
::testing::AssertionResult OnlyAndNothingOpen(pid_t pid, const TempDir& folder, std::vector<std::string> names) {
    const std::string path = folder.Path().string();
    const bool settled = WaitUntil([&] { return FolderNames(path) == names && OpenUnder(pid, path).empty(); }, 5s);
    if (settled) {
        return ::testing::AssertionSuccess();
    }
    std::string held;
    for (const auto& name : FolderNames(path)) {
        held += " " + name;
    }
    for (const auto& name : OpenUnder(pid, path)) {
        held += " open:" + name;
    }
    return ::testing::AssertionFailure() << "the folder holds" << held;
}

// Both sides hold "old.bin"; the controller a 6 MB "source.bin" (random from `seed`), the
// device a 6 MB "served.bin" (from `seed` + 1). Then a put of the source over the device's
// "old.bin", or a get of "served.bin" into the local "old.bin", in 4096-byte blocks and
// tagged "t", has passed 3%.
::testing::AssertionResult StartedPastThreePercent(TransferNodes& nodes, bool put, std::uint32_t seed) {
    NodeProcess& ctl = nodes.Controller();
    WriteRandomFile(nodes.LocalFile("source.bin"), 6'000'000, seed);
    WriteRandomFile(nodes.DeviceFile("served.bin"), 6'000'000, seed + 1);
    WriteFile(nodes.DeviceFile("old.bin"), kOld);
    WriteFile(nodes.LocalFile("old.bin"), kOld);
    const std::string watched = nodes.LocalFile(put ? "source.bin" : "old.bin");
    if (!ctl.Send(put ? TransferCommand("sendfile", {kAmp}, watched, "old.bin", "t", 4096)
                      : TransferCommand("recvfile", {kAmp}, watched, "served.bin", "t", 4096))) {
        return ::testing::AssertionFailure() << "the transfer command was not sent";
    }
    if (ctl.Await(ProgressOf(watched, 3), 60s).isNull()) {
        return ::testing::AssertionFailure() << "no progress past 3% of " << watched;
    }
    return ::testing::AssertionSuccess();
}

// The device killed at a tenth of a 50 MB put: the controller hears "end-point
// disconnected", the old file is whole and alone. Started again, the device takes the put.
TEST(NodeTransferInterruption, AKilledDeviceKeepsItsOldFileAndTakesThePutOnceBack) {
    TransferNodes nodes("kill");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    const std::string source = nodes.LocalFile("large.bin");
    WriteRandomFile(source, 50'000'000, 21);
    WriteFile(nodes.DeviceFile("large.bin"), kOld);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, source, "large.bin", "put")));
    ASSERT_FALSE(ctl.Await(ProgressOf(source, 10), 60s).isNull());
    ASSERT_TRUE(nodes.Device().Signal(SIGKILL));
    EXPECT_EQ(nodes.Device().Wait(), 128 + SIGKILL);
    const Json::Value done = ctl.Await(DoneLine("put"), 20s);
    EXPECT_EQ(done["success"], false);
    EXPECT_EQ(done["text"], "end-point disconnected");
    EXPECT_EQ(ReadFile(nodes.DeviceFile("large.bin")), kOld);
    EXPECT_EQ(FolderNames(nodes.deviceRoot.Path().string()), std::vector<std::string>{"large.bin"});

    nodes.RestartDevice();
    ASSERT_TRUE(nodes.Connect());
    WriteRandomFile(nodes.LocalFile("small.bin"), 200'000, 22);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, nodes.LocalFile("small.bin"), "large.bin", "again")));
    const Json::Value again = ctl.Await(DoneLine("again"), 30s);
    EXPECT_EQ(again["success"], true) << again["text"];
    EXPECT_EQ(Md5Sum(nodes.DeviceFile("large.bin")), Md5Sum(nodes.LocalFile("small.bin")));
    StopCleanly(ctl);
    StopCleanly(nodes.Device());
}

// The controller killed mid-put and mid-get: the device ends its side with an error and
// neither folder keeps anything but the old files.
TEST(NodeTransferInterruption, AKilledControllerLeavesNoTemporaryOnEitherSide) {
    for (const bool put : {true, false}) {
        SCOPED_TRACE(put ? "put" : "get");
        TransferNodes nodes(put ? "cput" : "cget");
        ASSERT_TRUE(nodes.Connect());
        NodeProcess& ctl = nodes.Controller();
        ASSERT_TRUE(StartedPastThreePercent(nodes, put, 31));
        ASSERT_TRUE(ctl.Signal(SIGKILL));
        EXPECT_EQ(ctl.Wait(), 128 + SIGKILL);
        EXPECT_FALSE(nodes.Device().Await(FailedTransfer(put ? "put" : "get"), 20s).isNull());
        EXPECT_TRUE(OnlyAndNothingOpen(nodes.Device().Pid(), nodes.deviceRoot, {"old.bin", "served.bin"}));
        EXPECT_EQ(ReadFile(nodes.DeviceFile("old.bin")), kOld);
        EXPECT_EQ(ReadFile(nodes.LocalFile("old.bin")), kOld);
        EXPECT_EQ(FolderNames(nodes.local.Path().string()), (std::vector<std::string>{"old.bin", "source.bin"}));
        StopCleanly(nodes.Device());
    }
}

// One side stopped by SIGSTOP mid-transfer while the other has a reply time-out of
// 1000 ms: the other ends the transfer with "timeout" within a few seconds and closes the
// connection. Let go again, the stopped side finds its connection gone and cleans up.
TEST(NodeTransferInterruption, ASilentPeerTimesOut) {
    for (const bool stopDevice : {true, false}) {
        SCOPED_TRACE(stopDevice ? "device stopped mid-put" : "controller stopped mid-get");
        const std::vector<std::string> timeout{"--reply-timeout", "1000"};
        TransferNodes nodes(stopDevice ? "sdev" : "sctl", stopDevice ? std::vector<std::string>{} : timeout,
                            stopDevice ? timeout : std::vector<std::string>{});
        ASSERT_TRUE(nodes.Connect());
        NodeProcess& ctl = nodes.Controller();
        NodeProcess& dev = nodes.Device();
        ASSERT_TRUE(StartedPastThreePercent(nodes, stopDevice, 41));
        NodeProcess& silent = stopDevice ? dev : ctl;
        NodeProcess& waiting = stopDevice ? ctl : dev;
        ASSERT_TRUE(silent.Signal(SIGSTOP));
        const auto stopped = Clock::now();
        const Json::Value timedOut = stopDevice ? ctl.Await(DoneLine("t"), 10s) : dev.Await(FailedTransfer("get"), 10s);
        const auto waited = Clock::now() - stopped;
        EXPECT_EQ(stopDevice ? timedOut["text"] : timedOut["error"], "timeout") << timedOut;
        EXPECT_LT(waited, 6s);
        EXPECT_FALSE(waiting.Await(LineWith("connection", "connected", false), 5s).isNull());
        ASSERT_TRUE(silent.Signal(SIGCONT));

        if (stopDevice) {
            EXPECT_FALSE(dev.Await(FailedTransfer("put"), 10s).isNull());
        } else {
            const Json::Value done = ctl.Await(DoneLine("t"), 10s);
            EXPECT_EQ(done["success"], false);
        }
        EXPECT_TRUE(OnlyAndNothingOpen(dev.Pid(), nodes.deviceRoot, {"old.bin", "served.bin"}));
        EXPECT_TRUE(OnlyAndNothingOpen(ctl.Pid(), nodes.local, {"old.bin", "source.bin"}));
        EXPECT_EQ(ReadFile(nodes.DeviceFile("old.bin")), kOld);
        EXPECT_EQ(ReadFile(nodes.LocalFile("old.bin")), kOld);
        StopCleanly(ctl);
        StopCleanly(dev);
    }
}

// "stop" mid-transfer: the node stops with 0, calls no done, and leaves no temporary, as
// the controller mid-get and as the device mid-put.
TEST(NodeTransferInterruption, StoppingMidTransferLeavesNoTemporary) {
    for (const bool stopDevice : {true, false}) {
        SCOPED_TRACE(stopDevice ? "device stopped mid-put" : "controller stopped mid-get");
        TransferNodes nodes(stopDevice ? "xdev" : "xctl");
        ASSERT_TRUE(nodes.Connect());
        NodeProcess& ctl = nodes.Controller();
        NodeProcess& dev = nodes.Device();
        ASSERT_TRUE(StartedPastThreePercent(nodes, stopDevice, 51));
        NodeProcess& stopped = stopDevice ? dev : ctl;
        StopCleanly(stopped);
        if (stopDevice) {
            const Json::Value done = ctl.Await(DoneLine("t"), 10s);
            EXPECT_EQ(done["text"], "end-point disconnected");
            EXPECT_TRUE(OnlyAndNothingOpen(ctl.Pid(), nodes.local, {"old.bin", "source.bin"}));
        } else {
            EXPECT_TRUE(DoneLines(ctl).empty());
            EXPECT_FALSE(dev.Await(FailedTransfer("get"), 10s).isNull());
            EXPECT_TRUE(OnlyAndNothingOpen(dev.Pid(), nodes.deviceRoot, {"old.bin", "served.bin"}));
        }
        EXPECT_EQ(FolderNames(nodes.deviceRoot.Path().string()), (std::vector<std::string>{"old.bin", "served.bin"}));
        EXPECT_EQ(FolderNames(nodes.local.Path().string()), (std::vector<std::string>{"old.bin", "source.bin"}));
        EXPECT_EQ(ReadFile(nodes.DeviceFile("old.bin")), kOld);
        EXPECT_EQ(ReadFile(nodes.LocalFile("old.bin")), kOld);
        StopCleanly(stopDevice ? ctl : dev);
    }
}

// "cancelput" mid-put: "transfer canceled" on both sides, the old file whole; the next
// put is served.
TEST(NodeTransferInterruption, ACancelledPutEndsOnBothSidesAndKeepsTheOldFile) {
    TransferNodes nodes("cancel");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    NodeProcess& dev = nodes.Device();
    const std::string source = nodes.LocalFile("source.bin");
    WriteRandomFile(source, 6'000'000, 61);
    WriteFile(nodes.DeviceFile("old.bin"), kOld);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, source, "old.bin", "t", 4096)));
    ASSERT_FALSE(ctl.Await(ProgressOf(source, 3), 60s).isNull());
    ASSERT_TRUE(ctl.Send(NodeCommand("cancelput", R"("device":")" + kAmp + R"(","remote":"old.bin")")));
    EXPECT_EQ(ctl.AwaitEvent("cancelput")["remote"], "old.bin");
    const Json::Value done = ctl.Await(DoneLine("t"), 10s);
    EXPECT_EQ(done["success"], false);
    EXPECT_EQ(done["text"], "transfer canceled");
    EXPECT_EQ(dev.Await(FailedTransfer("put"), 10s)["error"], "transfer canceled");
    EXPECT_TRUE(OnlyAndNothingOpen(dev.Pid(), nodes.deviceRoot, {"old.bin"}));
    EXPECT_EQ(ReadFile(nodes.DeviceFile("old.bin")), kOld);

    WriteRandomFile(nodes.LocalFile("small.bin"), 10'000, 62);
    ASSERT_TRUE(ctl.Send(TransferCommand("sendfile", {kAmp}, nodes.LocalFile("small.bin"), "old.bin", "next")));
    EXPECT_EQ(ctl.Await(DoneLine("next"), 20s)["success"], true);
    EXPECT_EQ(Md5Sum(nodes.DeviceFile("old.bin")), Md5Sum(nodes.LocalFile("small.bin")));
    StopCleanly(ctl);
    StopCleanly(dev);
}

// A tmpfs of 1 MiB mounted on a temporary folder (root only), unmounted again.
class SmallDisk {
public:
    SmallDisk() {
        _mounted = ::mount("tmpfs", _dir.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") == 0;
    }
    ~SmallDisk() {
        if (_mounted) {
            ::umount2(_dir.Path().c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool Mounted() const { return _mounted; }
    const TempDir& Dir() const { return _dir; }

private:
    TempDir _dir;
    bool _mounted = false;
};

// A put of 4 MiB onto a 1 MiB disk holding an old file fails with the system's text, the
// old file whole and alone; a small put then succeeds. A get into such a disk likewise.
TEST(NodeTransferInterruption, AFullDiskFailsTheTransferAndKeepsTheOldFile) {
    for (const bool put : {true, false}) {
        SCOPED_TRACE(put ? "put" : "get");
        SmallDisk disk;
        if (!disk.Mounted()) {
            GTEST_SKIP() << "no tmpfs can be mounted here";
        }
        const std::string folder = disk.Dir().Path().string();
        // A put writes under the device's root, a get where the controller asks.
        TransferNodes nodes(put ? "fullput" : "fullget",
                            put ? std::vector<std::string>{"--storage-root", folder} : std::vector<std::string>{});
        ASSERT_TRUE(nodes.Connect());
        NodeProcess& ctl = nodes.Controller();
        const std::string old = RandomBytes(300'000, 71);
        WriteFile(disk.Dir().File("old.bin"), old);
        const std::string sources = put ? nodes.local.Path().string() : nodes.deviceRoot.Path().string();
        WriteRandomFile(sources + "/large.bin", 4 << 20, 72);
        WriteRandomFile(sources + "/small.bin", 100'000, 73);
        const auto command = [&](const std::string& name, const std::string& tag) {
            return put ? TransferCommand("sendfile", {kAmp}, sources + "/" + name, "old.bin", tag)
                       : TransferCommand("recvfile", {kAmp}, disk.Dir().File("old.bin"), name, tag);
        };
        ASSERT_TRUE(ctl.Send(command("large.bin", "large")));
        const Json::Value failed = ctl.Await(DoneLine("large"), 30s);
        EXPECT_EQ(failed["success"], false);
        EXPECT_NE(failed["text"].asString().find(std::strerror(ENOSPC)), std::string::npos) << failed["text"];
        EXPECT_EQ(ReadFile(disk.Dir().File("old.bin")), old);
        NodeProcess& writer = put ? nodes.Device() : ctl;
        EXPECT_TRUE(OnlyAndNothingOpen(writer.Pid(), disk.Dir(), {"old.bin"}));

        ASSERT_TRUE(ctl.Send(command("small.bin", "small")));
        const Json::Value served = ctl.Await(DoneLine("small"), 30s);
        EXPECT_EQ(served["success"], true) << served["text"];
        EXPECT_EQ(Md5Sum(disk.Dir().File("old.bin")), Md5Sum(sources + "/small.bin"));
        EXPECT_TRUE(OnlyAndNothingOpen(writer.Pid(), disk.Dir(), {"old.bin"}));
        StopCleanly(ctl);
        StopCleanly(nodes.Device());
    }
}

}  // namespace
}  // namespace ZelkorTest
