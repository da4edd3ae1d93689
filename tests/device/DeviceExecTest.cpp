// A controller's device object running exec and raw commands, with a raw peer standing for
// the device on its connection: every request reaches the peer, and each reply the peer
// sends back reaches the callback of the request it answers.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/JsonText.h"
#include "discovery/DiscoveryTestSupport.h"
#include "support/ContainerSummary.h"
#include "support/DriverHarness.h"
#include "support/HeardLines.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using Zelkor::DeviceImpl;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

const char* const kGuid = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";

class DeviceExec : public ::testing::Test {
protected:
    DeviceExec() {
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        harness.driver->InitCommandInterface();
        harness.Start();
        socket = harness.Connect(peer);
        device = MakeDevice(harness.driver.get(), kGuid, "amp-1", "127.0.0.1");
        EXPECT_TRUE(harness.OnLoop([&] { device->SetHandle(socket); }));
    }

    void Heard(const std::string& line) {
        if (loopThread != std::thread::id() && std::this_thread::get_id() != loopThread) {
            heardOffLoop = true;
        }
        _heard.Add(line);
    }
    // What the callbacks heard, once `count` lines are in (and after the loop finished
    // what the peer sent before).
    std::size_t HeardCount() { return _heard.Snapshot().size(); }
    Lines WaitHeard(std::size_t count) {
        _heard.WaitFor(count);
        EXPECT_TRUE(harness.OnLoop([] {}));
        return _heard.Snapshot();
    }
    DeviceImpl::ExecCallback Exec(const std::string& tag) {
        return [this, tag](const std::string& path, const std::string& command, bool ok, const std::string& result,
                           const std::string& requestid) {
            Heard(tag + " " + path + " " + command + (ok ? " ok " : " failed ") + result + " " + requestid);
        };
    }
    DeviceImpl::RawCallback Raw(const std::string& tag) {
        return [this, tag](const std::string& text) { Heard(tag + " " + text); };
    }
    // Counts the device's "subscribe" replies as the subscription callback hears them.
    void CountSubscribeReplies() {
        device->OnSubscribe([this](const Zelkor::ObjectParamContainer&) { ++subscribeReplies; });
    }
    // Answers each request line the peer reads with the next reply (a connection sends
    // its next request once the one before is answered); returns the lines read.
    Lines Answer(const Lines& replies) {
        Lines requests;
        for (const auto& reply : replies) {
            requests.push_back(peer.ReadLine());
            peer.Send(reply + "\n");
        }
        return requests;
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    RawPeer peer;
    std::shared_ptr<Zelkor::TcpSocket> socket;
    std::shared_ptr<DeviceImpl> device;
    std::atomic<int> subscribeReplies{0};
    // Set by a test: a callback heard on another thread sets the flag.
    std::thread::id loopThread;
    std::atomic<bool> heardOffLoop{false};

private:
    HeardLines _heard;
};

// Each argument form writes its own "arguments"; each reply goes to its request's
// callback, an error reply as a failure with its text, and the reply of a request sent
// without a callback to the default handler ("True" is no success). A null command
// sends nothing.
TEST_F(DeviceExec, ExecInEveryFormRepliesToItsOwnCallback) {
    device->OnExecResult(Exec("default"));
    device->SendExecCommand("/p", nullptr, std::string("x"), "0", Exec("never"));
    device->SendExecCommand("/p", "echo", std::vector<std::string>{"a", "b"}, "1", Exec("ordered"));
    device->SendExecCommand("/p", "echo", std::map<std::string, std::string>{{"k", "v"}}, "2", Exec("named"));
    device->SendExecCommand("/p", "echo", std::string("text"), "3", Exec("text"));
    device->SendExecCommand("/p", "echo", std::string(), "", nullptr);
    const Lines requests =
        Answer({R"(@exec {"command":"echo","path":"/p","requestid":"1","result":"a,b","status":"true"})",
                R"(@exec {"command":"echo","path":"/p","requestid":"2","result":{"k":"v"},"status":"true"})",
                R"(@exec {"error":"exec is not implemented"})",
                R"(@exec {"command":"echo","path":"/p","status":"True"})"});
    EXPECT_EQ(requests, (Lines{R"(exec {"arguments":["a","b"],"command":"echo","path":"/p","requestid":"1"})" "\n",
                               R"(exec {"arguments":{"k":"v"},"command":"echo","path":"/p","requestid":"2"})" "\n",
                               R"(exec {"arguments":"text","command":"echo","path":"/p","requestid":"3"})" "\n",
                               R"(exec {"command":"echo","path":"/p"})" "\n"}));
    EXPECT_EQ(WaitHeard(4), (Lines{"ordered /p echo ok a,b 1", R"(named /p echo ok {"k":"v"} 2)",
                                   "text   failed exec is not implemented ", "default /p echo failed  "}));
}

// Raw "exec" and raw "get" between exec and get requests with callbacks, each sent before
// the reply to the one before: every reply reaches the callback of its own request, the
// raw ones as the text that came in, and the raw "get"'s reply also the default handler.
TEST_F(DeviceExec, RawCommandsInterleavedWithExecAndGetEachHearTheirOwnReply) {
    device->OnGetResult([this](const Zelkor::ObjectParamContainer& c) { Heard("default-get " + Summary(c)); });
    device->OnExecResult(Exec("default-exec"));
    const auto get = [this](const std::string& tag) {
        return [this, tag](const Zelkor::ObjectParamContainer& c) { Heard(tag + " " + Summary(c)); };
    };
    Zelkor::ObjectParamContainer first;
    Zelkor::ObjectParamContainer last;
    ASSERT_TRUE(first.FromJsonText(R"({"path":"/b/c"})"));
    ASSERT_TRUE(last.FromJsonText(R"({"path":"/b/d"})"));

    device->GetParameter(first, get("get"), false, "t1");
    device->SendRawCommand(R"(  @get {"path":"/a/b"})", Raw("raw-get"));
    device->SendExecCommand("/p", "one", std::string(), "e1", Exec("exec"));
    device->SendRawCommand(R"(exec {"command":"two","path":"/p"})", Raw("raw-exec"));
    device->GetParameter(last, get("get"), false, "t2");
    device->SendExecCommand("/p", "three", std::string(), "e3", Exec("exec"));
    const Lines requests = Answer({R"(@get {"path":"/b/c","value":2})", R"(@get {"path":"/a/b","value":1})",
                                   R"(@exec {"command":"one","path":"/p","requestid":"e1","status":"true"})",
                                   R"(@exec {"command":"two","path":"/p","status":"true"})",
                                   R"(@get {"path":"/b/d","value":4})",
                                   R"(@exec {"command":"three","path":"/p","requestid":"e3","status":"false"})"});
    EXPECT_EQ(requests[1], "get {\"path\":\"/a/b\"}\n");
    EXPECT_EQ(requests[3], "exec {\"command\":\"two\",\"path\":\"/p\"}\n");
    EXPECT_EQ(WaitHeard(7), (Lines{"get /b|c=2", "default-get /a|b=1", R"(raw-get @get {"path":"/a/b","value":1})",
                                   "exec /p one ok  e1",
                                   R"(raw-exec @exec {"command":"two","path":"/p","status":"true"})", "get /b|d=4",
                                   "exec /p three failed  e3"}));
}

// Two raw commands of one word before the first reply: the replies go to them in sending
// order, and once both are served a further reply of the word reaches no raw callback;
// a later raw command of the word waits anew. A callback may send again.
TEST_F(DeviceExec, RawCommandsOfOneWordAreServedOldestFirstAndOnlyOnce) {
    CountSubscribeReplies();
    device->SendRawCommand(R"(subscribe {"path":"/a/b"})", Raw("first"));
    device->SendRawCommand(R"(subscribe {"path":"/a/c"})", [this](const std::string& text) {
        Heard("second " + text);
        device->SendRawCommand(R"(subscribe {"path":"/a/e"})", Raw("from-callback"));
    });
    Answer({R"(@subscribe {"path":"/a/b"})", R"(@subscribe {"path":"/a/c"})"});
    EXPECT_EQ(WaitHeard(2), (Lines{R"(first @subscribe {"path":"/a/b"})", R"(second @subscribe {"path":"/a/c"})"}));
    EXPECT_EQ(peer.ReadLine(), "subscribe {\"path\":\"/a/e\"}\n");
    peer.Send("@subscribe {\"path\":\"/a/e\"}\n@subscribe {\"path\":\"/a/x\"}\n");
    EXPECT_EQ(WaitHeard(3).back(), R"(from-callback @subscribe {"path":"/a/e"})");
    // The extra reply is handled before the next line waits.
    EXPECT_TRUE(WaitUntil([&] { return subscribeReplies.load() == 4; }));
    device->SendRawCommand(R"(subscribe {"path":"/a/d"})", Raw("third"));
    Answer({R"(@subscribe {"path":"/a/d"})"});
    EXPECT_EQ(WaitHeard(4), (Lines{R"(first @subscribe {"path":"/a/b"})", R"(second @subscribe {"path":"/a/c"})",
                                   R"(from-callback @subscribe {"path":"/a/e"})",
                                   R"(third @subscribe {"path":"/a/d"})"}));
}

// A line that never went out (an unknown word, a body its word's message refuses) leaves
// no callback waiting and answers nothing: the next reply of the word goes to the next
// line that did. A device without connection answers a line on the loop, as a router
// refuses one for a device it cannot reach.
TEST_F(DeviceExec, ALineNotSentLeavesNoCallbackWaiting) {
    auto unconnected = MakeDevice(harness.driver.get(), "7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f", "amp-2", "127.0.0.1");
    unconnected->SendRawCommand(R"(get {"path":"/a/b"})", Raw("unconnected"));
    unconnected->SendRawCommand(R"(subscribe {"path":"/a/b"})", Raw("unconnected"));
    unconnected->SendRawCommand(R"(nosuchword {"path":"/a/b"})", Raw("never"));
    device->SendRawCommand(R"(nosuchword {"path":"/a/b"})", Raw("unknown"));
    device->SendRawCommand(R"(get {"path":7})", Raw("refused"));
    device->SendRawCommand(nullptr, Raw("null"));
    device->SendRawCommand(R"(get {"path":"/a/b"})", nullptr);
    device->SendRawCommand(R"(get {"path":"/a/c"})", Raw("sent"));
    EXPECT_EQ(Answer({R"(@get {"path":"/a/c","value":3})"}), (Lines{"get {\"path\":\"/a/c\"}\n"}));
    EXPECT_EQ(WaitHeard(3), (Lines{R"(unconnected @get {"error":"Device not connected","path":"/a/b"})",
                                   R"(unconnected @subscribe {"error":"Device not connected"})",
                                   R"(sent @get {"path":"/a/c","value":3})"}));
}

// A word whose replies never reach a raw command ("disco": discovery takes its reply; a
// file word, with no file service here) is answered once its line went, not left waiting.
TEST_F(DeviceExec, ARawLineWhoseReplyGoesElsewhereIsAnsweredOnceSent) {
    device->SendRawCommand(R"(disco {"params":["name"]})", Raw("disco"));
    device->SendRawCommand(R"(freespace {"path":"/"})", Raw("freespace"));
    EXPECT_EQ(Answer({R"(@disco {"name":"amp-1"})"}), (Lines{R"(disco {"params":["name"]})" "\n"}));
    EXPECT_EQ(peer.ReadLine(), "freespace {\"path\":\"/\"}\n");
    EXPECT_EQ(WaitHeard(2), (Lines{R"(disco @disco {"error":"reply not delivered"})",
                                   R"(freespace @freespace {"error":"reply not delivered"})"}));
}

// A disconnection of the device's signals answers its waiting raw lines as a lost
// connection would; one the folder modification service holds still hears its own reply.
// The next raw command connects its handler again. A finalized device sends none and
// answers it as one without connection.
TEST_F(DeviceExec, DisconnectSignalsAnswersWaitingRawCallbacks) {
    device->OnGetResult([this](const Zelkor::ObjectParamContainer& c) { Heard("default-get " + Summary(c)); });
    device->SendRawCommand(R"(subscribe {"path":"/a/b"})", Raw("waiting"));
    device->SendRawCommand(R"(get {"path":"/a/b"})", Raw("held-get"));
    EXPECT_EQ(peer.ReadLine(), "subscribe {\"path\":\"/a/b\"}\n");
    ASSERT_TRUE(harness.OnLoop([] {}));
    device->DisconnectSignals();
    EXPECT_EQ(WaitHeard(1), (Lines{R"(waiting @subscribe {"error":"connection lost"})"}));
    CountSubscribeReplies();
    peer.Send("@subscribe {\"path\":\"/a/b\"}\n");
    EXPECT_EQ(Answer({R"(@get {"path":"/a/b","value":1})"}), (Lines{"get {\"path\":\"/a/b\"}\n"}));
    EXPECT_TRUE(WaitUntil([&] { return subscribeReplies.load() == 1; }));
    EXPECT_EQ(WaitHeard(3), (Lines{R"(waiting @subscribe {"error":"connection lost"})", "default-get /a|b=1",
                                   R"(held-get @get {"path":"/a/b","value":1})"}));
    device->SendRawCommand(R"(subscribe {"path":"/a/c"})", Raw("kept"));
    Answer({R"(@subscribe {"path":"/a/c"})"});
    EXPECT_EQ(WaitHeard(4).back(), R"(kept @subscribe {"path":"/a/c"})");
    device->Finalize();
    device->SendRawCommand(R"(subscribe {"path":"/a/d"})", Raw("finalized"));
    EXPECT_EQ(WaitHeard(5).back(), R"(finalized @subscribe {"error":"Device not connected"})");
    EXPECT_EQ(peer.ReadLine(200ms), "");
}

// A raw line answered "@error" hears that line; the replies of its word to the
// subscriptions the device object sent, before it and after it, pass it by, and the raw
// line sent behind the first of them hears its own reply, not that one's.
TEST_F(DeviceExec, AnErrorAnswersItsRawCommandAndOtherRepliesOfTheWordPassItBy) {
    CountSubscribeReplies();
    Zelkor::ObjectParamContainer values;
    ASSERT_TRUE(values.FromJsonText(R"({"path":"/a/s"})"));
    device->Subscribe(values);
    device->SendRawCommand(R"(subscribe {"path":"/a/b"})", Raw("raw"));
    device->SendRawCommand(R"(subscribe {"path":"/a/c"})", Raw("refused"));
    Answer({R"(@subscribe {"path":"/a/s"})", R"(@subscribe {"path":"/a/b"})", R"(@error {"message":"no"})"});
    device->Subscribe(values);
    Answer({R"(@subscribe {"path":"/a/s"})"});
    EXPECT_TRUE(WaitUntil([&] { return subscribeReplies.load() == 3; }));
    EXPECT_EQ(WaitHeard(2), (Lines{R"(raw @subscribe {"path":"/a/b"})", R"(refused @error {"message":"no"})"}));
}

// An "@error" answers the request in flight, whatever its word: an exec callback hears a
// failure with its message, a raw "get" the error line (and the default handler each
// value failed), a get callback each of its values failed; the replies after it go to
// the requests after it.
TEST_F(DeviceExec, AnErrorAnswersTheExecOrGetInFlight) {
    device->OnGetResult([this](const Zelkor::ObjectParamContainer& c) { Heard("default-get " + Summary(c)); });
    const auto get = [this](const std::string& tag) {
        return [this, tag](const Zelkor::ObjectParamContainer& c) { Heard(tag + " " + Summary(c)); };
    };
    Zelkor::ObjectParamContainer paths;
    ASSERT_TRUE(paths.FromJsonText(R"([{"path":"/b/c"},{"path":"/b/d"}])"));
    device->SendExecCommand("/p", "one", std::string(), "e1", Exec("exec"));
    device->SendRawCommand(R"(get {"path":"/a/b"})", Raw("raw-get"));
    device->GetParameter(paths, get("get"), false, "t1");
    device->SendExecCommand("/p", "two", std::string(), "e2", Exec("exec"));
    device->GetParameter(paths, get("get"), false, "t2");
    Answer({R"(@error {"message":"busy"})", R"(@error {"message":"no"})", R"(@error {"message":"gone"})",
            R"(@exec {"command":"two","path":"/p","requestid":"e2","status":"true"})",
            R"(@get [{"path":"/b/c","value":1},{"path":"/b/d","value":2}])"});
    EXPECT_EQ(WaitHeard(6), (Lines{"exec   failed busy ", "default-get /a|b!no", R"(raw-get @error {"message":"no"})",
                                   "get /b|c!gone /b|d!gone", "exec /p two ok  e2", "get /b|c=1 /b|d=2"}));
}

// The connection dies with twenty gets and twenty execs waiting, one on the wire and the
// rest held by the connection: each get callback hears every value failed with
// "connection lost", each exec callback "connection lost", each in sending order. A get
// asked of a device without connection hears every value failed with "Device not
// connected" on the loop; one deferred while a script runs is dropped, as asked.
TEST_F(DeviceExec, AKilledConnectionAnswersEveryPendingGetAndExec) {
    const auto get = [this](const std::string& tag) {
        return [this, tag](const Zelkor::ObjectParamContainer& c) { Heard(tag + " " + Summary(c)); };
    };
    Zelkor::ObjectParamContainer paths;
    ASSERT_TRUE(paths.FromJsonText(R"([{"path":"/b/c"},{"path":"/b/d"}])"));
    auto unconnected = MakeDevice(harness.driver.get(), "7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f", "amp-2", "127.0.0.1");
    unconnected->GetParameter(paths, get("unconnected"), false, "u");
    device->IsRunningScript(true);
    device->GetParameter(paths, get("deferred"), true, "d");
    device->IsRunningScript(false);
    for (int n = 0; n < 20; ++n) {
        device->GetParameter(paths, get("get" + std::to_string(n)), false, "g");
        device->SendExecCommand("/p", "x", std::string(), "", Exec("exec" + std::to_string(n)));
    }
    EXPECT_EQ(peer.ReadLine(), "get [{\"path\":\"/b/c\"},{\"path\":\"/b/d\"}]\n");
    peer.Close();
    Lines gets;
    Lines execs;
    const Lines heard = WaitHeard(41);
    ASSERT_EQ(heard.size(), 41u);
    EXPECT_EQ(heard.front(), "unconnected /b|c!Device not connected /b|d!Device not connected");
    for (auto line = heard.begin() + 1; line != heard.end(); ++line) {
        (line->rfind("get", 0) == 0 ? gets : execs).push_back(*line);
    }
    ASSERT_EQ(gets.size(), 20u);
    ASSERT_EQ(execs.size(), 20u);
    for (std::size_t n = 0; n < 20; ++n) {
        EXPECT_EQ(gets[n], "get" + std::to_string(n) + " /b|c!connection lost /b|d!connection lost");
        EXPECT_EQ(execs[n], "exec" + std::to_string(n) + " /  failed connection lost ");
    }
}

// The connection dies with a raw line of each kind waiting: one the device object waits
// for itself, a "get" and an "exec" their services hold. Each hears the refusal its device
// would have sent, "connection lost".
TEST_F(DeviceExec, AKilledConnectionAnswersItsWaitingRawLines) {
    device->SendRawCommand(R"(subscribe {"path":"/a/b"})", Raw("subscribe"));
    device->SendRawCommand(R"(get {"path":"/a/b"})", Raw("get"));
    device->SendRawCommand(R"(exec {"command":"x","path":"/p"})", Raw("exec"));
    EXPECT_EQ(peer.ReadLine(), "subscribe {\"path\":\"/a/b\"}\n");
    peer.Close();
    Lines heard = WaitHeard(3);
    std::sort(heard.begin(), heard.end());
    EXPECT_EQ(heard, (Lines{R"(exec @exec {"error":"connection lost"})",
                            R"(get @get {"error":"connection lost","path":"/a/b"})",
                            R"(subscribe @subscribe {"error":"connection lost"})"}));
}

// At the reply time-out a raw line still waiting hears its refusal with "timeout"; its late
// reply goes to nobody, and the next line of the word hears its own.
TEST_F(DeviceExec, ARawLineUnansweredAtTheTimeOutHearsItOnce) {
    CountSubscribeReplies();
    device->SendRawCommand(R"(subscribe {"path":"/a/b"})", Raw("late"));
    EXPECT_EQ(peer.ReadLine(), "subscribe {\"path\":\"/a/b\"}\n");
    ASSERT_TRUE(harness.OnLoop([&] { device->ExpireRawCommands(std::chrono::steady_clock::now()); }));
    EXPECT_EQ(WaitHeard(1), (Lines{R"(late @subscribe {"error":"timeout"})"}));
    ASSERT_TRUE(harness.OnLoop([&] { device->ExpireRawCommands(std::chrono::steady_clock::now()); }));
    peer.Send("@subscribe {\"path\":\"/a/b\"}\n");
    EXPECT_TRUE(WaitUntil([&] { return subscribeReplies.load() == 1; }));
    device->SendRawCommand(R"(subscribe {"path":"/a/c"})", Raw("next"));
    Answer({R"(@subscribe {"path":"/a/c"})"});
    EXPECT_EQ(WaitHeard(2), (Lines{R"(late @subscribe {"error":"timeout"})", R"(next @subscribe {"path":"/a/c"})"}));
}

// Every request with a callback made of a device without connection is answered on the
// loop, after the call that made it, even when that call runs on the loop: a device whose
// router is not connected, and a finalized one. Gets hear every value failed, execs a
// failure, raw lines the refusal a router sends for a device it cannot reach; those sent
// without a callback reach the default handlers, value subscriptions and their ends the callbacks
// their replies would reach.
TEST_F(DeviceExec, ARequestWithoutAConnectionIsAnsweredOnTheLoopAfterItsCall) {
    const auto router = std::make_shared<DeviceImpl>(
        harness.driver.get(), Record(R"({"guid":"9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d","name":"rt1",)"
                                     R"("ip":"127.0.0.1","port":4199,"classname":"router","mode":"router"})"));
    const auto routed = MakeDevice(harness.driver.get(), "7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f", "amp-2");
    routed->SetProxy(router);
    ASSERT_TRUE(routed->HasProxy());
    const auto finalized = MakeDevice(harness.driver.get(), "6b5a4c3d-2e1f-4a0b-9c8d-7e6f5a4b3c2d", "amp-3");
    finalized->Finalize();
    device->OnGetResult([this](const Zelkor::ObjectParamContainer& c) { Heard("default-get " + Summary(c)); });
    device->OnExecResult(Exec("default-exec"));
    routed->OnSubscribe([this](const Zelkor::ObjectParamContainer& c) { Heard("subscribe " + Summary(c)); });
    routed->OnUnsubscribe([this](const Zelkor::ObjectParamContainer& c) { Heard("unsubscribe " + Summary(c)); });
    Zelkor::ObjectParamContainer paths;
    ASSERT_TRUE(paths.FromJsonText(R"([{"path":"/b/c"},{"path":"/b/d"}])"));
    bool quietInside = false;
    ASSERT_TRUE(harness.OnLoop([&] {
        loopThread = std::this_thread::get_id();
        routed->GetParameter(
            paths, [this](const Zelkor::ObjectParamContainer& c) { Heard("get " + Summary(c)); }, false, "t");
        routed->GetParameter(paths);
        routed->SendExecCommand("/p", "x", std::string(), "1", Exec("exec"));
        routed->SendExecCommand("/p", "x", std::string(), "2", nullptr);
        routed->SendRawCommand(R"(subscribe {"path":"/a/b"})", Raw("raw"));
        finalized->SendExecCommand("/p", "x", std::string(), "3", Exec("finalized"));
        routed->Subscribe(paths);
        routed->Unsubscribe(paths);
        quietInside = HeardCount() == 0;
    }));
    EXPECT_TRUE(quietInside);
    const std::string failed = "/b|c!Device not connected /b|d!Device not connected";
    EXPECT_EQ(WaitHeard(8), (Lines{"get " + failed, "default-get " + failed, "exec /  failed Device not connected ",
                                   "default-exec /  failed Device not connected ",
                                   R"(raw @subscribe {"error":"Device not connected"})",
                                   "finalized /  failed Device not connected ", "subscribe " + failed,
                                   "unsubscribe " + failed}));
    EXPECT_FALSE(heardOffLoop);
    EXPECT_EQ(peer.ReadLine(200ms), "");
}

// Execs from the test's thread while replies arrive, and one from inside each of their
// callbacks: every callback runs once, on the loop, with the answer to its own line; an
// inner exec goes out after its outer one was answered.
TEST_F(DeviceExec, ExecsFromAnotherThreadAndFromCallbacksReachTheirOwnCallbacksOnTheLoop) {
    std::thread::id loop;
    ASSERT_TRUE(harness.OnLoop([&] { loop = std::this_thread::get_id(); }));
    constexpr int kOuter = 30;
    // Each answer echoes its line's request id and carries its place among the answers.
    std::thread answering([this] {
        for (int answered = 1; answered <= 2 * kOuter; ++answered) {
            const std::string line = peer.ReadLine();
            const auto at = line.find("\"requestid\":\"");
            if (at == std::string::npos) {
                return;
            }
            const std::string id = line.substr(at + 13, line.find('"', at + 13) - at - 13);
            peer.Send(R"(@exec {"command":"echo","path":"/p","requestid":")" + id + R"(","result":")" +
                      std::to_string(answered) + R"(","status":"true"})" "\n");
        }
    });
    std::atomic<bool> offLoop{false};
    const auto heard = [&](const std::string& tag, const std::string& result, const std::string& id) {
        offLoop = offLoop || std::this_thread::get_id() != loop;
        Heard(tag + "=" + id + "@" + result);
    };
    for (int outer = 0; outer < kOuter; ++outer) {
        const std::string id = "o" + std::to_string(outer);
        device->SendExecCommand(
            "/p", "echo", std::string(), id,
            [&, outer](const std::string&, const std::string&, bool, const std::string& result,
                       const std::string& got) {
                heard("o" + std::to_string(outer), result, got);
                const std::string inner = "i" + std::to_string(outer);
                device->SendExecCommand("/p", "echo", std::string(), inner,
                                        [&, inner](const std::string&, const std::string&, bool,
                                                   const std::string& nested, const std::string& got) {
                                            heard(inner, nested, got);
                                        });
            });
    }
    answering.join();
    const Lines lines = WaitHeard(2 * kOuter);
    ASSERT_EQ(lines.size(), 2u * kOuter);
    EXPECT_FALSE(offLoop);
    int outers = 0;
    int inners = 0;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        // Its own answer, in the order of the answers.
        EXPECT_EQ(line.substr(0, line.find('=')), line.substr(line.find('=') + 1, line.find('@') - line.find('=') - 1));
        EXPECT_EQ(line.substr(line.find('@') + 1), std::to_string(n + 1)) << line;
        if (line[0] == 'o') {
            EXPECT_EQ(line.substr(0, line.find('=')), "o" + std::to_string(outers++));
        } else {
            EXPECT_EQ(line.substr(0, line.find('=')), "i" + std::to_string(inners++));
            EXPECT_LE(inners, outers) << "an inner exec answered before its outer one";
        }
    }
    EXPECT_EQ(outers, kOuter);
    EXPECT_EQ(inners, kOuter);
}

// A request made on the loop (from a callback, say) after the peer reset the connection,
// before the loop has read the reset, takes no connection the system knows to be gone.
TEST_F(DeviceExec, ARequestOnTheLoopTakesNoConnectionThePeerReset) {
    bool resetSeen = false;
    std::shared_ptr<Zelkor::TcpSocket> handle;
    ASSERT_TRUE(harness.OnLoop([&] {
        peer.Socket().set_option(boost::asio::socket_base::linger(true, 0));
        peer.Socket().close();
        const int descriptor = socket->GetBasicSocket().native_handle();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!resetSeen && std::chrono::steady_clock::now() < until) {
            sockaddr_storage address{};
            socklen_t length = sizeof(address);
            resetSeen = ::getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0;
            std::this_thread::yield();
        }
        handle = device->GetHandle();
    }));
    ASSERT_TRUE(resetSeen);
    EXPECT_FALSE(handle);
}

}  // namespace
}  // namespace ZelkorTest
