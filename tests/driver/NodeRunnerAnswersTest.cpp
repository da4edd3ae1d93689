// Every request line the runner writes is followed by its answer, or by an "error" line
// that says why none will come: for a device it reaches through a router without ever
// connecting it, for a device it has only heard by discovery, for requests still in
// flight when it is told to stop, and for requests held by a connection that is lost.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "discovery/NodesTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"
#include "support/NodeProcess.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

// The lines the node wrote that hold `text`.
std::vector<std::string> LinesWith(const NodeProcess& node, const std::string& text) {
    std::vector<std::string> found;
    for (const auto& line : node.Lines()) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

// One request of a situation and the line that answers it.
struct Asked {
    std::string command;
    std::string event;
};

// The requests the issue of a silent runner was seen with, one of each.
std::vector<Asked> EveryKindOfRequest() {
    return {
        {DeviceCommand("subscribe", kAmp, R"("values":[{"path":"/audio/gain"}])"), "subscribe"},
        {DeviceCommand("subscribeevent", kAmp, R"("name":"/a")"), "subscribeevent"},
        {DeviceCommand("sublog", kAmp, R"("priority":1)"), "sublog"},
        {DeviceCommand("subscribepoll", kAmp, R"("name":"p","paths":["/audio/gain"])"), "subscribepoll"},
        {DeviceCommand("mkdir", kAmp, R"("path":"made")"), "mkdir"},
        {DeviceCommand("listfiles", kAmp, R"("path":"/")"), "listfiles"},
        {DeviceCommand("freespace", kAmp, R"("path":"/")"), "freespace"},
        {DeviceCommand("rmdir", kAmp, R"("path":"made")"), "rmdir"},
        {DeviceCommand("fwupdate", kAmp, R"("arguments":"v2")"), "fwupdate"},
    };
}

// The first "error" line after the request line of `cmd`, which says it was not sent.
Json::Value ErrorAfterRequest(NodeProcess& node, const std::string& cmd) {
    const Json::Value request = node.Await(LineWith("request", "cmd", cmd));
    EXPECT_EQ(request["sent"], false) << cmd;
    return node.AwaitEvent("error");
}

TEST(NodeRunnerAnswers, ADeviceReachedThroughARouterAnswersEveryRequestAndShowsWhatItSends) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir storage;
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197",
                                    {"--storage-root", storage.Path().string(), "--fwupdate-error", "Battery low"}),
                pair.a.Name());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    NodeProcess& dev = device.process;
    // Listed by the router, never connected: no "connect" is sent.
    ASSERT_EQ(ctl.Await(DeviceLine("amp1", "New"))["proxy"], "rt1");

    for (const auto& asked : EveryKindOfRequest()) {
        ASSERT_TRUE(ctl.Send(asked.command));
        const Json::Value answer = ctl.Await(LineAbout(asked.event, kAmp));
        ASSERT_FALSE(answer.isNull()) << asked.command;
        if (asked.event == "mkdir") {
            EXPECT_EQ(answer["success"], true) << answer["error"];
            EXPECT_TRUE(std::filesystem::is_directory(storage.Path() / "made"));
        }
        if (asked.event == "listfiles") {
            EXPECT_EQ(answer["entries"][0]["name"], "made");
        }
        if (asked.event == "fwupdate") {
            EXPECT_EQ(answer["error"], "Battery low");
        }
    }
    // What the device sends of itself reaches the controller through the router too.
    ASSERT_TRUE(dev.Send(NodeCommand("write", R"("path":"/audio/gain","value":-3)")));
    EXPECT_EQ(ValueEntries(ctl.Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-3");
    ASSERT_TRUE(dev.Send(NodeCommand("logevent", R"("priority":2,"category":"audio","text":"clip")")));
    EXPECT_EQ(ctl.Await(LineAbout("log", kAmp))["text"], "clip");
    ASSERT_TRUE(dev.Send(NodeCommand("raise", R"("name":"/a/b","value":"v1")")));
    EXPECT_EQ(ctl.Await(LineAbout("event", kAmp))["value"], "v1");
    // The folder words go on a device's own connection only: said, not left unanswered.
    ASSERT_TRUE(ctl.Send(DeviceCommand("ls", kAmp, R"("path":"/")")));
    EXPECT_NE(ErrorAfterRequest(ctl, "ls")["message"].asString().find("own connection"), std::string::npos);
    // A path the device object would refuse unanswered is refused at once.
    ASSERT_TRUE(ctl.Send(DeviceCommand("mkdir", kAmp)));
    EXPECT_EQ(ctl.AwaitEvent("error")["message"], R"(bad arguments for mkdir: "path": expected a text that is not empty)");

    StopCleanly(ctl);
    StopCleanly(router.process);
    StopCleanly(dev);
}

TEST(NodeRunnerAnswers, ADeviceOnlyHeardByDiscoveryAnswersOrIsSaidNotToBeConnected) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "10.77.0.1:4197"), pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197"}), pair.b.Name());
    NodeProcess& ctl = controller.process;
    const Json::Value heard = ctl.Await(DeviceLine("amp1", "New"));
    ASSERT_FALSE(heard.isNull());
    ASSERT_FALSE(heard.isMember("proxy"));

    for (const auto& asked : EveryKindOfRequest()) {
        SCOPED_TRACE(asked.command);
        ASSERT_TRUE(ctl.Send(asked.command));
        if (asked.event == "subscribe") {
            // The device object answers it itself, each value failed.
            EXPECT_EQ(ValueEntries(ctl.Await(LineAbout("subscribe", kAmp))["values"]),
                      "/audio/gain!Device not connected");
            continue;
        }
        const Json::Value error = ErrorAfterRequest(ctl, asked.event);
        EXPECT_NE(error["message"].asString().find("not sent"), std::string::npos) << error;
        EXPECT_NE(error["message"].asString().find("\"connect\""), std::string::npos) << error;
    }
    // A cancel of a put, answered by the put's own line: with no connection to ask on, and
    // then with no put to cancel, the node says none will come.
    const std::string cancel = NodeCommand("cancelsend", R"("device":")" + kAmp + "\"");
    ASSERT_TRUE(ctl.Send(cancel));
    EXPECT_NE(ErrorAfterRequest(ctl, "cancelsend")["message"].asString().find("not sent"), std::string::npos);
    // Told the device needs "connect", the script connects it and is answered.
    ASSERT_TRUE(ConnectTo(ctl, "10.77.0.1", 4197, kAmp, false));
    ASSERT_TRUE(ctl.Send(DeviceCommand("sublog", kAmp, R"("priority":1)")));
    EXPECT_EQ(ctl.Await(LineAbout("sublog", kAmp))["error"], "");
    ASSERT_TRUE(ctl.Send(cancel));
    EXPECT_EQ(ctl.Await(LineWith("error", "message",
                                 "cancelsend to " + kAmp +
                                     " cancels nothing, no answer will come: this node has no put to the device in "
                                     "flight"))
                  .isNull(),
              false);

    StopCleanly(ctl);
    StopCleanly(device.process);
}

TEST(NodeRunnerAnswers, AStopAwaitsTheAnswersInFlightAndNamesThoseItGivesUpOn) {
    NetNamespace space("stopwait");
    const std::string place = space.Made() ? space.Name() : "";
    TempDir storage;
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", {"--storage-root", storage.Path().string()}),
                place);
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    const auto session = [&](const std::string& name) {
        auto node = std::make_unique<Node>(Options("controller", name, {"--reply-timeout", "1000"}), place);
        EXPECT_TRUE(ConnectTo(node->process, "127.0.0.1", 4197, kAmp, false));
        return node;
    };
    const std::vector<std::string> asked = {
        DeviceCommand("mkdir", kAmp, R"("path":"made")"),
        DeviceCommand("listfiles", kAmp, R"("path":"/")"),
        DeviceCommand("sublog", kAmp, R"("priority":1)"),
        DeviceCommand("get", kAmp, R"("values":[{"path":"/audio/gain"}])"),
    };
    const auto sendThenStop = [&asked](NodeProcess& ctl) {
        for (const auto& command : asked) {
            EXPECT_TRUE(ctl.Send(command));
        }
        EXPECT_TRUE(ctl.Send(NodeCommand("stop")));
        EXPECT_TRUE(ctl.Send(NodeCommand("hascode")));
        EXPECT_EQ(ctl.Wait(), 0);
    };
    // Answered: every answer comes before the node stops, and the command after the stop
    // is not run, but said so.
    {
        const auto ctl = session("ctl1");
        sendThenStop(ctl->process);
        for (const char* event : {"mkdir", "listfiles", "sublog", "get"}) {
            EXPECT_FALSE(ctl->process.AwaitEvent(event, 0ms).isNull()) << event;
        }
        EXPECT_EQ(LinesWith(ctl->process, R"("event":"error")"),
                  std::vector<std::string>{R"({"event":"error","message":"not run, the node is stopping: hascode"})"});
        EXPECT_TRUE(LinesWith(ctl->process, R"("event":"hascode")").empty());
    }
    // A device that never answers: the stop ends the wait after the quiet bound, with a
    // line for each request it gave up on (the get, answered "timeout" at about that
    // time, may be either).
    {
        const auto ctl = session("ctl2");
        ASSERT_TRUE(device.process.Signal(SIGSTOP));
        sendThenStop(ctl->process);
        ASSERT_TRUE(device.process.Signal(SIGCONT));
        EXPECT_LE(LinesWith(ctl->process, "no answer to ").size(), 4u);
        for (const char* cmd : {"mkdir", "listfiles", "sublog"}) {
            EXPECT_EQ(LinesWith(ctl->process, std::string("no answer to ") + cmd + " to " + kAmp).size(), 1u) << cmd;
        }
    }
    // One device never answers, another does: the reply a raw "get" brings from the live one
    // is not taken for the frozen one's get, and a put to the live one, not waited for, is
    // either answered or said to go unanswered, never both.
    {
        const std::string live = "6a1d4b63-9f2e-4c8b-8d75-3e2f8a0b1c24";
        TempDir liveRoot;
        Node other(SampleDeviceOptions(false, "amp2", live, "127.0.0.1:4198",
                                       {"--storage-root", liveRoot.Path().string(), "--setip-result", "fail"}),
                   place);
        ASSERT_FALSE(other.process.AwaitEvent("listenerAdded").isNull());
        const auto ctl = session("ctl3");
        ASSERT_TRUE(ConnectTo(ctl->process, "127.0.0.1", 4198, live, false));
        TempDir local;
        const std::string file = local.File("put.bin");
        WriteFile(file, std::string(64 * 1024, 'z'));
        ASSERT_TRUE(device.process.Signal(SIGSTOP));
        // The mkdir keeps the stop waiting while the put runs.
        EXPECT_TRUE(ctl->process.Send(DeviceCommand("mkdir", kAmp, R"("path":"kept")")));
        EXPECT_TRUE(ctl->process.Send(DeviceCommand("get", kAmp, R"("values":[{"path":"/audio/gain"}])")));
        EXPECT_TRUE(ctl->process.Send(DeviceCommand("raw", live, R"("tag":"r","line":"get {\"path\":\"/audio/gain\"}")")));
        EXPECT_FALSE(ctl->process.Await(LineWith("raw", "tag", "r")).isNull());
        // A setip is answered twice, the first time by a line that names no device.
        EXPECT_TRUE(ctl->process.Send(NodeCommand("listinterfaces")));
        const std::string mac = ctl->process.AwaitEvent("listinterfaces")["interfaces"][0]["mac"].asString();
        for (const auto& guid : {kAmp, live}) {
            EXPECT_TRUE(ctl->process.Send(DeviceCommand("setip", guid, R"("mac":")" + mac + R"(","ip":"10.1.2.3")")));
        }
        EXPECT_FALSE(ctl->process.Await(LineAbout("setip", live)).isNull());
        EXPECT_TRUE(ctl->process.Send(NodeCommand(
            "sendfile", R"("device":")" + live + R"(","local":")" + file + R"(","remote":"put.bin","tag":"put")")));
        EXPECT_TRUE(ctl->process.Send(NodeCommand("stop")));
        EXPECT_EQ(ctl->process.Wait(), 0);
        ASSERT_TRUE(device.process.Signal(SIGCONT));
        const bool answered = !LinesWith(ctl->process, R"("event":"get","guid":")" + kAmp).empty();
        const bool givenUp = !LinesWith(ctl->process, "no answer to get to " + kAmp).empty();
        EXPECT_TRUE(answered != givenUp) << "the get to the frozen device: answered " << answered;
        const auto setips = LinesWith(ctl->process, R"("event":"setip")");
        const bool setAnswered = std::any_of(setips.begin(), setips.end(), [](const std::string& line) {
            return line.find(R"("guid":")" + kAmp) != std::string::npos;
        });
        const bool setGivenUp = !LinesWith(ctl->process, "no answer to setip to " + kAmp).empty();
        EXPECT_TRUE(setAnswered != setGivenUp) << "the setip to the frozen device: answered " << setAnswered;
        const bool put = !LinesWith(ctl->process, R"("event":"sendfile")").empty();
        const bool putGivenUp = !LinesWith(ctl->process, "no answer to sendfile to " + live).empty();
        EXPECT_TRUE(put != putGivenUp) << "the put: answered " << put;
        StopCleanly(other.process);
    }
    StopCleanly(device.process);
}

// An answer that names no device settles a request sent on its own connection only: the
// live device's answers leave the frozen one's requests awaited, and the stop names those.
// A raw line the library will not send is said not to be sent, with why.
TEST(NodeRunnerAnswers, AnAnswerSettlesARequestOfItsConnectionAndARawLineNotSentIsSaidSo) {
    NetNamespace space("byconn");
    const std::string place = space.Made() ? space.Name() : "";
    const std::string live = "6a1d4b63-9f2e-4c8b-8d75-3e2f8a0b1c24";
    TempDir frozenRoot;
    TempDir liveRoot;
    Node frozen(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", {"--storage-root", frozenRoot.Path().string()}),
                place);
    Node other(SampleDeviceOptions(false, "amp2", live, "127.0.0.1:4198", {"--storage-root", liveRoot.Path().string()}),
               place);
    ASSERT_FALSE(frozen.process.AwaitEvent("listenerAdded").isNull());
    ASSERT_FALSE(other.process.AwaitEvent("listenerAdded").isNull());
    Node ctl(Options("controller", "ctl1", {"--reply-timeout", "1000"}), place);
    ASSERT_TRUE(ConnectTo(ctl.process, "127.0.0.1", 4197, kAmp, false));
    ASSERT_TRUE(ConnectTo(ctl.process, "127.0.0.1", 4198, live, false));

    ASSERT_TRUE(frozen.process.Signal(SIGSTOP));
    for (const auto& guid : {kAmp, live}) {
        EXPECT_TRUE(ctl.process.Send(DeviceCommand("getdevicestate", guid)));
        EXPECT_TRUE(ctl.process.Send(DeviceCommand("listfiles", guid, R"("path":"/")")));
    }
    EXPECT_FALSE(ctl.process.AwaitEvent("getdevicestate").isNull());
    EXPECT_FALSE(ctl.process.Await(LineAbout("listfiles", live)).isNull());

    for (const char* line : {"frobnicate {}", "get notjson", ""}) {
        EXPECT_TRUE(ctl.process.Send(DeviceCommand("raw", live, std::string(R"("line":")") + line + "\"")));
        const Json::Value error = ErrorAfterRequest(ctl.process, "raw");
        EXPECT_NE(error["message"].asString().find("raw to " + live + " not sent"), std::string::npos) << line;
    }

    EXPECT_TRUE(ctl.process.Send(NodeCommand("stop")));
    EXPECT_EQ(ctl.process.Wait(), 0);
    ASSERT_TRUE(frozen.process.Signal(SIGCONT));
    for (const char* cmd : {"getdevicestate", "listfiles"}) {
        EXPECT_EQ(LinesWith(ctl.process, std::string("no answer to ") + cmd + " to " + kAmp).size(), 1u) << cmd;
        EXPECT_TRUE(LinesWith(ctl.process, std::string("no answer to ") + cmd + " to " + live).empty()) << cmd;
    }
    EXPECT_TRUE(LinesWith(ctl.process, "no answer to raw").empty());
    StopCleanly(other.process);
    StopCleanly(frozen.process);
}

// One request a device holds unanswered, and which of the lines the runner writes answer
// it: most name the device; those of the requests answered by connection name none, and
// a locate is answered by the discovery's line as well as by the device's own.
struct Held {
    std::string command;
    NodeProcess::Match answer;
};

// "values" of `count` paths, each its own.
std::string ManyValues(int count) {
    std::string values = R"("values":[)";
    for (int n = 0; n < count; ++n) {
        values += (n == 0 ? "" : ",") + std::string(R"({"path":"/audio/unknown/)") + std::to_string(n) + "\"}";
    }
    return values + "]";
}

std::vector<Held> RequestsOfEveryKind(bool direct) {
    const auto any = [](const std::string& event) { return LineWith(event, "event", event); };
    std::vector<Held> held = {
        // First: through a router, the one in flight when the device goes.
        {DeviceCommand("listpublishers", kAmp), any("listpublishers")},
        // Longer than a lost request is kept whole: answered by its word and route alone.
        {DeviceCommand("subscribe", kAmp, ManyValues(800)), LineAbout("subscribe", kAmp)},
        {DeviceCommand("subscribepoll", kAmp, R"("name":"p","paths":["/audio/gain"])"),
         LineAbout("subscribepoll", kAmp)},
        {DeviceCommand("poll", kAmp, R"("name":"p")"), LineAbout("poll", kAmp)},
        {DeviceCommand("sublog", kAmp, R"("priority":1)"), LineAbout("sublog", kAmp)},
        {DeviceCommand("subscribeevent", kAmp, R"("name":"/a")"), LineAbout("subscribeevent", kAmp)},
        {DeviceCommand("listfiles", kAmp, R"("path":"/")"), LineAbout("listfiles", kAmp)},
        {DeviceCommand("mkdir", kAmp, R"("path":"made")"), LineAbout("mkdir", kAmp)},
        {DeviceCommand("getdevicestate", kAmp), any("getdevicestate")},
        {DeviceCommand("listpresets", kAmp), any("listpresets")},
        {DeviceCommand("setip", kAmp, R"("mac":"02:00:00:00:00:99","ip":"10.1.2.3")"), LineAbout("setip", kAmp)},
        {DeviceCommand("fwupdate", kAmp, R"("arguments":"v2")"), LineAbout("fwupdate", kAmp)},
        {DeviceCommand("exec", kAmp, R"("tag":"x","command":"mute","path":"/audio")"), LineWith("exec", "tag", "x")},
        {DeviceCommand("raw", kAmp, R"("tag":"r","line":"getpresetinfo {}")"), LineWith("raw", "tag", "r")},
        {DeviceCommand("locate", kAmp, R"("timeout":3)"), LineWith("locate", "device", kAmp)},
        {DeviceCommand("identify", kAmp), any("identify")},
        {DeviceCommand("reboot", kAmp, R"("mac":"02:00:00:00:00:99")"), LineAbout("reboot", kAmp)},
        {DeviceCommand("get", kAmp, R"("tag":"g","values":[{"path":"/audio/gain"}])"), LineWith("get", "tag", "g")},
    };
    if (direct) {
        held.push_back({DeviceCommand("ls", kAmp, R"("path":"/")"), any("ls")});
    }
    return held;
}

bool Says(const Json::Value& line, const std::string& text) {
    return CompactJson(line).find(text) != std::string::npos;
}

// Sends a request of every kind to the frozen device, kills it and awaits the answers with
// stdin open, then stops the controller: each request is answered by one line, before
// the stop, which names none. Directly each says the connection was lost; through a
// router the one in flight does, and those that reach the router after it say the device
// is not connected.
void KillWithEveryKindHeld(NodeProcess& ctl, NodeProcess& dev, bool direct) {
    ASSERT_TRUE(dev.Signal(SIGSTOP));
    const auto held = RequestsOfEveryKind(direct);
    for (const auto& request : held) {
        ASSERT_TRUE(ctl.Send(request.command));
        ASSERT_NE(ctl.Await(LineWith("request", "guid", kAmp))["sent"], false) << request.command;
    }
    ASSERT_TRUE(dev.Signal(SIGKILL));
    const auto until = std::chrono::steady_clock::now() + 20s;
    for (const auto& request : held) {
        // One deadline for all the answers: each wait has what is left of it.
        const auto left = until - std::chrono::steady_clock::now();
        Wrote(ctl, request.answer, std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(left)));
        EXPECT_FALSE(LinesOf(ctl, request.answer).empty()) << "not answered before the stop: " << request.command;
    }
    StopCleanly(ctl);
    EXPECT_TRUE(LinesWith(ctl, "no answer to").empty());
    for (const auto& request : held) {
        const auto answers = LinesOf(ctl, request.answer);
        ASSERT_EQ(answers.size(), 1u) << request.command;
        const bool lost = Says(answers.front(), "connection lost");
        const bool refused = !direct && &request != &held.front() && Says(answers.front(), "Device not connected");
        EXPECT_TRUE(lost || refused) << answers.front();
    }
}

// A device killed while requests of every kind wait on its connection: each is answered
// once, "connection lost", as the loss comes, while the runner keeps reading its input; a
// stop then names none. Before, only the get, exec and raw lines were answered.
TEST(NodeRunnerAnswers, EveryRequestWaitingOnALostConnectionIsAnsweredConnectionLost) {
    NetNamespace space("lostall");
    const std::string place = space.Made() ? space.Name() : "";
    TempDir storage;
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", {"--storage-root", storage.Path().string()}),
                place);
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    Node controller(Options("controller", "ctl1", {}), place);
    ASSERT_TRUE(ConnectTo(controller.process, "127.0.0.1", 4197, kAmp, false));
    KillWithEveryKindHeld(controller.process, device.process, true);
}

// The answers of the get, set and exec a lost connection held come before the line that
// tells of its end, as the library gives them: a script that stops reading at that line
// has them all. The runner heard the connection's end before the services answered.
TEST(NodeRunnerAnswers, ALostConnectionsAnswersComeBeforeItsConnectionLine) {
    NetNamespace space("lostorder");
    const std::string place = space.Made() ? space.Name() : "";
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197"), place);
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    Node controller(Options("controller", "ctl1", {}), place);
    NodeProcess& ctl = controller.process;
    ASSERT_TRUE(ConnectTo(ctl, "127.0.0.1", 4197, kAmp, false));
    ASSERT_TRUE(device.process.Signal(SIGSTOP));
    const std::vector<Asked> held = {
        {DeviceCommand("get", kAmp, R"("tag":"g","values":[{"path":"/audio/gain"}])"), "get"},
        {DeviceCommand("set", kAmp, R"("tag":"s","values":[{"path":"/audio/gain","value":1}])"), "set"},
        {DeviceCommand("exec", kAmp, R"("tag":"e","command":"echo")"), "exec"},
    };
    for (const auto& request : held) {
        ASSERT_TRUE(ctl.Send(request.command));
        ASSERT_FALSE(ctl.Await(LineWith("request", "cmd", request.event)).isNull()) << request.event;
    }
    ASSERT_TRUE(device.process.Signal(SIGKILL));
    const auto ended = LineWith("connection", "connected", false);
    ASSERT_FALSE(ctl.Await(ended).isNull());
    const auto before = EventsBetween(ctl, 0, ended);
    for (const auto& request : held) {
        EXPECT_EQ(std::count(before.begin(), before.end(), request.event), 1) << request.event;
        const auto answers = LinesOf(ctl, LineWith(request.event, "guid", kAmp));
        ASSERT_EQ(answers.size(), 1u) << request.event;
        EXPECT_TRUE(Says(answers.front(), "connection lost")) << answers.front();
    }
    StopCleanly(ctl);
}

// Through a router, the router answers for the device it lost, each request once and by
// the line its kind is answered with: a list refused by the router still finds its list.
TEST(NodeRunnerAnswers, EveryRequestToADeviceARouterLostIsAnsweredByTheRouter) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir storage;
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", {"--storage-root", storage.Path().string()}),
                pair.a.Name());
    Node router(Options("router", "rt1", {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197"}),
                pair.a.Name());
    const auto controller = RoutedController(pair, "ctl1", 4197);
    KillWithEveryKindHeld(controller->process, device.process, false);
    StopCleanly(router.process);
}

}  // namespace
}  // namespace ZelkorTest
