// The controller's queue: what TransferFiles makes of a request, when the timer starts a
// waiting transfer and how it fails one it cannot start, and how active transfers end by
// time-out, lost connection, Stop and Refresh: each caller hears exactly once, and no
// ending but success leaves a temporary or touches a get's destination.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <json/value.h>

#include "filetransfer/TransferServiceFixture.h"

namespace ZelkorTest {
namespace {

namespace fs = std::filesystem;

// What every `done` of a test heard, by name.
struct Dones {
    std::map<std::string, std::vector<std::string>> heard;

    Zelkor::IFileTransferService::Done For(const std::string& name) {
        return [this, name](bool ok, const std::string& text) { heard[name].push_back((ok ? "ok " : "fail ") + text); };
    }
    std::vector<std::string> Of(const std::string& name) const {
        const auto found = heard.find(name);
        return found == heard.end() ? std::vector<std::string>{} : found->second;
    }
};

using Texts = std::vector<std::string>;

std::vector<std::string> NamesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class TransferQueue : public TransferServiceFixture {
protected:
    TransferQueue() {
        service->SetFileTransferInterval(50);
        service->Start();
        source = dir.File("source.bin");
        WriteFile(source, "0123456789");
    }
    // The loop no longer runs: the fixture's Stop need not hop onto it.
    void TearDown() override { io.stop(); }

    std::shared_ptr<Zelkor::TcpSocket> Device(const std::string& id, const std::string& route = "") {
        auto socket = NewSocket();
        devices.Add(id, socket, route, route.empty() ? "" : "ctl");
        return socket;
    }
    bool Put(std::vector<std::string> ids, const std::string& local, const std::string& remote, const std::string& name,
             unsigned long blockSize = 0) {
        Zelkor::IFileTransferService::FilePairs files{{local, remote}};
        return service->SendFiles(ids, files, blockSize, dones.For(name));
    }
    bool Get(std::vector<std::string> ids, const std::string& local, const std::string& remote, const std::string& name,
             unsigned long blockSize = 0) {
        Zelkor::IFileTransferService::FilePairs files{{local, remote}};
        return service->ReceiveFiles(ids, files, blockSize, dones.For(name));
    }
    // Runs the timer until `count` lines went out on the connection.
    bool UntilLinesOn(const std::shared_ptr<Zelkor::TcpSocket>& socket, std::size_t count) {
        return Until([&] { return LinesOn(socket).size() >= count; });
    }
    // Runs `job` on the loop, as the driver's callers do.
    void OnLoop(const std::function<void()>& job) {
        bool ran = false;
        boost::asio::post(io, [&] {
            job();
            ran = true;
        });
        ASSERT_TRUE(Until([&] { return ran; }));
    }
    void Interrupt(const std::shared_ptr<Zelkor::TcpSocket>& socket) {
        OnLoop([&] { service->NotifyInterruption(socket.get()); });
    }
    void Refresh() {
        OnLoop([&] { service->Refresh(); });
    }
    // Runs the timer for a while (every wait a few ticks long).
    void Ticks(int ticks) {
        Until([] { return false; }, std::chrono::milliseconds(50 * ticks + 20));
    }

    Dones dones;
    std::string source;
};

// --- TransferFiles ------------------------------------------------------------------------

TEST_F(TransferQueue, BlockSizeOfTheCallIsHeldTo512UpTo2To28AndNeverAboveTheNodesOwn) {
    struct Case {
        unsigned long given;
        unsigned long own;
        std::uint64_t opened;  // put and get alike
    };
    const Case cases[] = {{0, 65536, 65536},          {1, 65536, 512},
                          {512, 65536, 512},          {513, 65536, 513},
                          {1ul << 30, 65536, 65536},  {1ul << 28, 4096, 4096},
                          {0, 131072, 65536},         {1ul << 30, 1ul << 28, 268435456}};
    int n = 0;
    for (const Case& c : cases) {
        const std::string put = "put" + std::to_string(n), get = "get" + std::to_string(n);
        ++n;
        service->SetBlockSize(c.own);
        const auto putSocket = Device(put), getSocket = Device(get);
        Put({put}, source, "remote", put, c.given);
        Get({get}, dir.File(get), "remote", get, c.given);
        ASSERT_TRUE(UntilLinesOn(putSocket, 1) && UntilLinesOn(getSocket, 1)) << c.given;
        const Json::Value opening = BodyOf(LinesOn(putSocket)[0]);
        EXPECT_EQ(opening["blocksize"].asUInt64(), c.opened) << c.given << " own " << c.own;
        EXPECT_EQ(opening["length"].asUInt64(), 10u) << c.given;
        EXPECT_EQ(opening["state"].asString(), "begin");
        EXPECT_EQ(BodyOf(LinesOn(getSocket)[0])["blocksize"].asUInt64(), c.opened) << c.given << " own " << c.own;
        EXPECT_EQ(LinesOn(getSocket)[0].rfind("getfile {", 0), 0u) << LinesOn(getSocket)[0];
    }
}

TEST_F(TransferQueue, BareLocalNamesAreCompletedWithTheRootInTheCallersVector) {
    std::vector<std::string> ids{"U"};
    const std::string root = dir.Path().string();
    ASSERT_EQ(service->SetStorageRootPath(root), "");
    Zelkor::IFileTransferService::FilePairs files{
        {"report.txt", "r"}, {"dir/report.txt", "r"}, {"dir\\report.txt", "r"}, {"", "r"}, {"/abs/x", "r"}};
    EXPECT_TRUE(service->SendFiles(ids, files, 0, nullptr));
    EXPECT_EQ(files[0].first, root + "/report.txt");
    EXPECT_EQ(files[1].first, "dir/report.txt");
    EXPECT_EQ(files[2].first, "dir\\report.txt");
    EXPECT_EQ(files[3].first, "") << "an empty name fails at its start, it does not name the root";
    EXPECT_EQ(files[4].first, "/abs/x");

    ASSERT_EQ(service->SetStorageRootPath("null"), "");
    Zelkor::IFileTransferService::FilePairs bare{{"report.txt", "r"}};
    service->ReceiveFiles(ids, bare, 0, nullptr);
    EXPECT_EQ(bare[0].first, "report.txt");
}

TEST_F(TransferQueue, ASupersededWaitingTargetHearsOnceAndItsReplacementKeepsThePlace) {
    // U busy with another file: nothing behind it starts while the queue is inspected.
    const auto u = Device("U");
    const std::string other = dir.File("other.bin");
    WriteFile(other, "abc");
    Put({"U"}, other, "busy", "busy");
    ASSERT_TRUE(UntilLinesOn(u, 1));
    Put({"U"}, source, "r", "first", 512);
    Put({"V"}, source, "r", "other", 512);
    Put({"U"}, source, "r", "second", 512);
    ASSERT_TRUE(Until([&] { return !dones.Of("first").empty(); }));
    EXPECT_EQ(dones.Of("first"), Texts{"fail transfer canceled"});
    EXPECT_EQ(service->WaitingCount(), 1u) << "the second joined the first's element";
    // Another block size: a new element; the waiting one loses that target only.
    Put({"U"}, source, "r", "third", 1024);
    EXPECT_EQ(service->WaitingCount(), 2u);
    Put({"V"}, source, "r", "fourth", 1024);
    EXPECT_EQ(service->WaitingCount(), 1u) << "the emptied element is gone";
    ASSERT_TRUE(Until([&] { return !dones.Of("second").empty() && !dones.Of("other").empty(); }));
    EXPECT_EQ(dones.Of("second"), Texts{"fail transfer canceled"});
    EXPECT_EQ(dones.Of("other"), Texts{"fail transfer canceled"});
    EXPECT_TRUE(dones.Of("third").empty());

    Interrupt(u);
    ASSERT_TRUE(UntilLinesOn(u, 2));
    EXPECT_EQ(BodyOf(LinesOn(u)[1])["blocksize"].asUInt64(), 1024u);
    Refresh();
    EXPECT_EQ(dones.Of("busy"), Texts{"fail end-point disconnected"});
    EXPECT_EQ(dones.Of("first"), Texts{"fail transfer canceled"});
    EXPECT_EQ(dones.Of("third"), Texts{"fail transfer canceled"});
    EXPECT_EQ(dones.Of("fourth"), Texts{"fail end-point is unknown"}) << "V is not a known device";
}

// A caller may hold a lock of its own around the call that its callback takes: the
// superseded caller hears on the loop, after the call returned, whether the call was made
// on the loop or off it; and not at all once the service is gone.
TEST_F(TransferQueue, ASupersededCallerHearsOnTheLoopNeverInsideTheCall) {
    const auto u = Device("U");
    const std::string other = dir.File("other.bin");
    WriteFile(other, "abc");
    Put({"U"}, other, "busy", "busy");
    ASSERT_TRUE(UntilLinesOn(u, 1));
    struct Case {
        bool put;
        bool onLoop;
    };
    const Case cases[] = {{true, false}, {true, true}, {false, false}, {false, true}};
    int n = 0;
    for (const Case& c : cases) {
        const std::string remote = "r" + std::to_string(n++);
        std::mutex callerLock;
        std::vector<std::string> heard;
        const auto done = [&](bool ok, const std::string& text) {
            const std::unique_lock<std::mutex> lock(callerLock, std::try_to_lock);
            heard.push_back(std::string(ok ? "ok " : "fail ") + text + (lock.owns_lock() ? "" : " inside the call") +
                            (io.get_executor().running_in_this_thread() ? "" : " off the loop"));
        };
        const auto call = [&](Zelkor::IFileTransferService::Done callback) {
            std::vector<std::string> ids{"U"};
            Zelkor::IFileTransferService::FilePairs files{{c.put ? source : dir.File(remote), remote}};
            const std::lock_guard<std::mutex> lock(callerLock);
            if (c.put) {
                service->SendFiles(ids, files, 0, std::move(callback));
            } else {
                service->ReceiveFiles(ids, files, 0, std::move(callback));
            }
        };
        const auto both = [&] {
            call(done);
            call(nullptr);
        };
        if (c.onLoop) {
            OnLoop(both);
        } else {
            both();
        }
        ASSERT_TRUE(Until([&] { return !heard.empty(); })) << remote;
        EXPECT_EQ(heard, Texts{"fail transfer canceled"}) << remote;
    }

    // Superseded, then the service goes before the loop runs again.
    Put({"U"}, source, "last", "gone");
    Put({"U"}, source, "last", "replacement");
    service.reset();
    Ticks(2);
    EXPECT_TRUE(dones.Of("gone").empty());
}

TEST_F(TransferQueue, AnotherRemotePathMakesItsOwnTransferAndARepeatedIdCountsOnce) {
    const auto u = Device("U");
    Put({"U", "U"}, source, "r1", "one", 512);
    Put({"U"}, source, "r2", "two", 512);
    EXPECT_EQ(service->WaitingCount(), 2u);
    ASSERT_TRUE(UntilLinesOn(u, 1));
    Ticks(3);
    // One opening: the repeated id made one target, and r2 waits for the device.
    ASSERT_EQ(LinesOn(u).size(), 1u);
    EXPECT_EQ(BodyOf(LinesOn(u)[0])["path"].asString(), "r1");
    EXPECT_EQ(service->WaitingCount(), 1u);
    Interrupt(u);
    EXPECT_EQ(dones.Of("one"), Texts{"fail end-point disconnected"});
    ASSERT_TRUE(UntilLinesOn(u, 2));
    EXPECT_EQ(BodyOf(LinesOn(u)[1])["path"].asString(), "r2");
    EXPECT_TRUE(dones.Of("two").empty());
    Refresh();
    EXPECT_EQ(dones.Of("two"), Texts{"fail transfer canceled"});
}

// --- starts -------------------------------------------------------------------------------

TEST_F(TransferQueue, ABusyDeviceHoldsBackTheWholeQueue) {
    const auto u = Device("U"), v = Device("V");
    Put({"U"}, source, "a", "a");
    ASSERT_TRUE(UntilLinesOn(u, 1));
    EXPECT_TRUE(u->Transferring());
    // Another file: a transfer of the same one would take V in.
    const std::string other = dir.File("other.bin");
    WriteFile(other, "abc");
    Put({"U"}, source, "b", "b");
    Put({"V"}, other, "c", "c");
    Ticks(4);
    EXPECT_TRUE(LinesOn(v).empty()) << "V waits behind U's second transfer";
    EXPECT_EQ(service->WaitingCount(), 2u);

    // Read in the same turn of the loop: the timer may start U's next put in the next.
    bool transferringAfter = true;
    OnLoop([&] {
        service->NotifyInterruption(u.get());
        transferringAfter = u->Transferring();
    });
    EXPECT_FALSE(transferringAfter);
    ASSERT_TRUE(UntilLinesOn(u, 2) && UntilLinesOn(v, 1));
    EXPECT_EQ(BodyOf(LinesOn(u)[1])["path"].asString(), "b");
    EXPECT_EQ(service->ActiveCount(), 2u);
    EXPECT_EQ(dones.Of("a"), Texts{"fail end-point disconnected"});
}

TEST_F(TransferQueue, FileTransferCountBoundsActiveTransfersAnsweredOnesToo) {
    const auto u = Device("U"), v = Device("V"), peer = NewSocket();
    service->SetFileTransferCount(1);
    Put({"U"}, source, "a", "a");
    Get({"V"}, dir.File("fetched"), "b", "b");
    ASSERT_TRUE(UntilLinesOn(u, 1));
    Ticks(3);
    EXPECT_TRUE(LinesOn(v).empty());
    // A put answered here takes the place that U's leaves.
    ASSERT_EQ(service->SetStorageRootPath(dir.Path().string()), "");
    OnLoop([&] {
        service->NotifyInterruption(u.get());
        Receive(peer, R"(putfile {"path":"incoming","length":3,"state":"begin"})");
    });
    ASSERT_EQ(service->ActiveCount(), 1u) << "the put answered here is active";
    Ticks(3);
    EXPECT_TRUE(LinesOn(v).empty());
    Interrupt(peer);
    ASSERT_TRUE(UntilLinesOn(v, 1));
}

TEST_F(TransferQueue, TargetsThatCannotStartFailAloneAndTheOthersStart) {
    const auto u = Device("U");
    devices.Add("offline", nullptr);
    Put({"unknown", "offline", "U"}, source, "r", "put");
    ASSERT_TRUE(UntilLinesOn(u, 1));
    EXPECT_EQ(dones.Of("put"), (Texts{"fail end-point is unknown", "fail no connection for transfer"}));
    EXPECT_EQ(service->ActiveCount(), 1u);

    // A missing remote path fails its target when it starts, not when it is queued.
    const auto w = Device("W");
    Get({"W"}, dir.File("x"), "", "noRemote");
    EXPECT_TRUE(dones.Of("noRemote").empty());
    ASSERT_TRUE(Until([&] { return !dones.Of("noRemote").empty(); }));
    EXPECT_EQ(dones.Of("noRemote"), Texts{"fail path parameter missing"});
    EXPECT_TRUE(LinesOn(w).empty());
}

TEST_F(TransferQueue, ATransferThatCannotStartFailsEveryTargetOnce) {
    Device("U");
    Device("V");
    fs::create_directory(dir.File("folder"));
    WriteFile(dir.File("empty"), "");
    struct Case {
        bool put;
        std::string local;
        std::string text;
    };
    const Case cases[] = {
        {true, dir.File("empty"), "local file is empty"},
        {true, dir.File("folder"), "source is a folder"},
        {true, dir.File("missing"), "file is missing"},
        {true, "", "path parameter missing"},
        {false, dir.File("folder"), "source is a folder"},
        {false, "", "path parameter missing"},
        {false, dir.File("no/such/folder/file"), "cannot open file"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "case" + std::to_string(n++);
        if (c.put) {
            Put({"U", "V"}, c.local, "r", name);
        } else {
            Get({"U", "V"}, c.local, "r", name);
        }
        ASSERT_TRUE(Until([&] { return dones.Of(name).size() == 2; })) << c.local;
        EXPECT_EQ(dones.Of(name), (Texts{"fail " + c.text, "fail " + c.text})) << c.local;
    }
    EXPECT_EQ(sender.Count(), 0u);
    EXPECT_EQ(service->ActiveCount(), 0u);

    // No device list: dropped, but every caller hears of it.
    devices.hasDevices = false;
    Put({"U", "V"}, source, "r", "noList");
    ASSERT_TRUE(Until([&] { return dones.Of("noList").size() == 2; }));
    EXPECT_EQ(dones.Of("noList"), (Texts{"fail end-point is unknown", "fail end-point is unknown"}));
}

// --- endings ------------------------------------------------------------------------------

// A reply time-out ends a silent target and closes its connection, unless that is a
// router's: the devices behind it share it, and the target ends alone.
TEST_F(TransferQueue, ASilentTargetTimesOutItsConnectionClosedItsTemporaryGone) {
    const auto u = Device("U"), v = Device("V"), router = Device("W", "rtr&W");
    const std::string destination = dir.File("destination");
    WriteFile(destination, "old content");
    Get({"U"}, destination, "r", "get");
    Put({"V"}, source, "r", "put");
    Put({"W"}, source, "r", "routed");
    ASSERT_TRUE(UntilLinesOn(u, 1) && UntilLinesOn(v, 1) && UntilLinesOn(router, 1));
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 2) << "the get's temporary and the put's source";
    // Within the silence bound nothing times out.
    Ticks(6);
    EXPECT_TRUE(dones.heard.empty());
    EXPECT_EQ(service->ActiveCount(), 2u);

    devices.replyTimeoutMs = 100;
    ASSERT_TRUE(Until([&] { return dones.heard.size() == 3; }));
    EXPECT_EQ(dones.Of("get"), Texts{"fail timeout"});
    EXPECT_EQ(dones.Of("put"), Texts{"fail timeout"});
    EXPECT_EQ(dones.Of("routed"), Texts{"fail timeout"});
    EXPECT_TRUE(u->IsFinalized() && v->IsFinalized()) << "a timed-out target's connection is closed";
    EXPECT_FALSE(router->IsFinalized()) << "a router's connection stays for the other devices behind it";
    EXPECT_FALSE(u->Transferring());
    EXPECT_EQ(service->ActiveCount(), 0u);
    EXPECT_EQ(ReadFile(destination), "old content");
    EXPECT_EQ(ReadFile(source), "0123456789");
    EXPECT_EQ(NamesIn(dir.Path()), (std::vector<std::string>{"destination", "source.bin"}));
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
}

// Without a reply time-out, a put a peer opened here and left silent gives its slot back
// after the silence bound: it ends with "timeout", its temporary gone, its connection
// kept; another peer then takes the slot. This node's own get, never answered, ends at
// the same bound, its connection kept too.
TEST_F(TransferQueue, APeerSilentOnATransferAnsweredHereLosesItAfterTheBound) {
    service->SetAnsweredSilence(std::chrono::milliseconds(300));
    service->SetFileTransferCount(2);
    ASSERT_EQ(service->SetStorageRootPath(dir.Path().string()), "");
    Texts answered;
    service->OnPutFile([&answered](Zelkor::PutFileInfo& info) { answered.push_back(info.error); });
    WriteFile(dir.File("incoming"), "old content");
    const auto u = Device("U");
    Get({"U"}, dir.File("destination"), "r", "own");
    ASSERT_TRUE(UntilLinesOn(u, 1));
    const auto silent = NewSocket(), other = NewSocket();
    Receive(silent, R"(putfile {"path":"incoming","length":6,"state":"begin"})");
    Receive(silent, R"(block {"blockno":1,"data":"YWJj"})");
    Receive(other, R"(putfile {"path":"other","length":3,"state":"begin"})");
    EXPECT_EQ(BodyOf(LinesOn(other).back())["error"], "too many transfers");

    ASSERT_TRUE(Until([&] { return service->ActiveCount() == 0; }));
    EXPECT_EQ(answered, (Texts{"", "timeout"}));
    EXPECT_EQ(dones.Of("own"), Texts{"fail timeout"});
    EXPECT_FALSE(silent->IsFinalized());
    EXPECT_FALSE(u->IsFinalized());
    EXPECT_FALSE(silent->Transferring());
    EXPECT_FALSE(u->Transferring());
    EXPECT_EQ(ReadFile(dir.File("incoming")), "old content");
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);

    Receive(other, R"(putfile {"path":"other","length":3,"state":"begin"})");
    EXPECT_FALSE(BodyOf(LinesOn(other).back()).isMember("error")) << LinesOn(other).back();
    Receive(silent, R"(block {"blockno":2,"data":"ZGVm"})");
    EXPECT_EQ(BodyOf(LinesOn(silent).back())["error"], "Transfer canceled");
}

TEST_F(TransferQueue, ALostConnectionEndsItsTargetsAndRemovesOnlyTheirTemporaries) {
    const auto u = Device("U"), v = Device("V"), inbound = NewSocket();
    devices.AddInbound(v, inbound);
    const std::string destination = dir.File("destination");
    WriteFile(destination, "old content");
    Get({"U", "V"}, destination, "r", "get");
    ASSERT_TRUE(UntilLinesOn(u, 1) && UntilLinesOn(v, 1));
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 2);

    Interrupt(u);
    EXPECT_EQ(dones.Of("get"), Texts{"fail end-point disconnected"});
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 1) << "V's temporary stays";
    EXPECT_FALSE(u->Transferring());
    EXPECT_TRUE(v->Transferring());
    EXPECT_FALSE(u->IsFinalized());

    // A get also ends when the device's inbound connection goes.
    Interrupt(inbound);
    EXPECT_EQ(dones.Of("get"), (Texts{"fail end-point disconnected", "fail end-point disconnected"}));
    EXPECT_EQ(service->ActiveCount(), 0u);
    EXPECT_FALSE(v->Transferring());
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
    EXPECT_EQ(ReadFile(destination), "old content");
    EXPECT_EQ(NamesIn(dir.Path()), (std::vector<std::string>{"destination", "source.bin"}));
}

// A device its router no longer reaches (the router's list says so): the transfers opened
// with it through a router end at once with "end-point disconnected", their temporaries
// gone. The router's connection stays, and so do the transfers with another device behind
// it and with a device reached directly.
TEST_F(TransferQueue, ADeviceGoneBehindItsRouterEndsItsRoutedTransfersAlone) {
    const auto router = Device("U", "rtr&U");
    devices.Add("V", router, "rtr&V", "ctl");
    const auto w = Device("W");
    Get({"U"}, dir.File("fromU"), "r", "u");
    Get({"V"}, dir.File("fromV"), "r", "v");
    Get({"W"}, dir.File("fromW"), "r", "w");
    ASSERT_TRUE(UntilLinesOn(router, 2) && UntilLinesOn(w, 1));
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 3);

    OnLoop([&] {
        service->NotifyDeviceGone("W");
        service->NotifyDeviceGone("X");
    });
    EXPECT_TRUE(dones.heard.empty());
    OnLoop([&] { service->NotifyDeviceGone("U"); });
    EXPECT_EQ(dones.Of("u"), Texts{"fail end-point disconnected"});
    EXPECT_TRUE(dones.Of("v").empty() && dones.Of("w").empty());
    EXPECT_EQ(service->ActiveCount(), 2u);
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 2);
    EXPECT_FALSE(router->IsFinalized());
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"source.bin"});
}

TEST_F(TransferQueue, StopEndsActiveTransfersSilentlyAndKeepsTheWaitingOnes) {
    const auto u = Device("U");
    Get({"U"}, dir.File("destination"), "r", "get");
    ASSERT_TRUE(UntilLinesOn(u, 1));
    Put({"U"}, source, "r", "waiting");
    // Stop called on the loop runs at once; what it left is read before the next tick.
    std::size_t active = 1, waiting = 0;
    int open = -1;
    bool transferring = true;
    OnLoop([&] {
        service->Stop();
        transferring = u->Transferring();
        active = service->ActiveCount();
        waiting = service->WaitingCount();
        open = OpenFilesUnder(dir.Path());
    });
    EXPECT_EQ(active, 0u);
    EXPECT_EQ(waiting, 1u);
    EXPECT_EQ(open, 0);
    EXPECT_FALSE(transferring);
    EXPECT_TRUE(dones.heard.empty());
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"source.bin"});
}

TEST_F(TransferQueue, RefreshTellsEveryTargetOnceActiveOrWaiting) {
    const auto u = Device("U"), v = Device("V");
    Get({"U", "V"}, dir.File("destination"), "r", "active");
    ASSERT_TRUE(UntilLinesOn(u, 1) && UntilLinesOn(v, 1));
    Put({"U", "V"}, source, "r", "waiting");
    Put({"W"}, source, "r", "unknown");
    Refresh();
    EXPECT_EQ(dones.Of("active"), (Texts{"fail transfer canceled", "fail transfer canceled"}));
    EXPECT_EQ(dones.Of("waiting"), (Texts{"fail transfer canceled", "fail transfer canceled"}));
    EXPECT_EQ(dones.Of("unknown"), Texts{"fail transfer canceled"});
    EXPECT_EQ(service->ActiveCount(), 0u);
    EXPECT_EQ(service->WaitingCount(), 0u);
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
    Ticks(3);
    EXPECT_EQ(dones.heard.size(), 3u);
    EXPECT_EQ(dones.Of("active").size(), 2u) << "nothing is heard twice";
}

// Stop from another thread hops onto the running loop and returns once it is done there.
using TransferQueueThreads = TransferQueue;

TEST_F(TransferQueueThreads, RefreshOffTheLoopWaitsForTheLoop) {
    const auto u = Device("U");
    Get({"U"}, dir.File("destination"), "r", "get");
    ASSERT_TRUE(UntilLinesOn(u, 1));
    auto guard = boost::asio::make_work_guard(io);
    std::thread loop([this] { io.run(); });
    service->Refresh();
    std::size_t active = 1;
    boost::asio::post(io, [&] {
        active = service->ActiveCount();
        guard.reset();
        io.stop();
    });
    loop.join();
    EXPECT_EQ(active, 0u);
    EXPECT_EQ(dones.Of("get"), Texts{"fail transfer canceled"});
    EXPECT_EQ(OpenFilesUnder(dir.Path()), 0);
}

}  // namespace
}  // namespace ZelkorTest
