// Node processes running commands on each other through the runner: a device node serving
// the sample tree and a controller node. Exec requests in each argument form reach the
// handler of their form and each reply its own callback, raw lines theirs, a lost
// connection calls the waiting exec callbacks; the device's state, preset information and
// presets list are read and its network settings sent; locate, identify and reboot go
// through the device object. Through a router (three processes, root only) the device and
// not the router answers. Each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "services/NodeSubscriptionsTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

// A device node with the options given and a controller node, in a namespace of their
// own when the test may make one.
struct Nodes {
    explicit Nodes(const std::string& tag, std::vector<std::string> deviceOptions = {})
        : space(tag),
          place(space.Made() ? space.Name() : ""),
          device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", std::move(deviceOptions)), place),
          controller(ControllerOptions(false, "ctl1", 4198), place) {}

    bool Connect() {
        return !Device().AwaitEvent("listenerAdded").isNull() && ConnectTo(Controller(), "127.0.0.1", 4197, kAmp, false);
    }

    NodeProcess& Device() { return device.process; }
    NodeProcess& Controller() { return controller.process; }

    NetNamespace space;
    std::string place;
    Node device;
    Node controller;
};

std::string Exec(const std::string& tag, const std::string& members) {
    return DeviceCommand("exec", kAmp, (tag.empty() ? "" : R"("tag":")" + tag + R"(",)") + members);
}

std::string Raw(const std::string& tag, const std::string& line) {
    return DeviceCommand("raw", kAmp, R"("tag":")" + tag + R"(","line":)" + CompactJson(Json::Value(line)));
}

// The first MAC address the node lists among its interfaces; "" when it lists none.
std::string FirstMac(NodeProcess& node) {
    if (!node.Send(NodeCommand("listinterfaces"))) {
        return "";
    }
    const Json::Value interfaces = node.AwaitEvent("listinterfaces")["interfaces"];
    return interfaces.empty() ? "" : interfaces[0]["mac"].asString();
}

std::string SetIP(const std::string& mac, const std::string& ip) {
    return DeviceCommand("setip", kAmp, R"("mac":")" + mac + R"(","ip":")" + ip + R"(","subnetmask":"255.255.255.0")");
}

// How many of the node's lines, read so far, are `event` lines.
int Count(const NodeProcess& node, const std::string& event) {
    const std::string text = R"("event":")" + event + "\"";
    const auto lines = node.Lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

// Malformed commands are error lines. Each argument form reaches the handler of its form
// (no arguments: the first form set) with the connection it came by; "echo" answers its
// arguments, an object or an array as JSON, "fail" and a throwing handler fail, an unknown
// command fails with its text. Sent together, each reply reaches its own callback with
// its request id; a request without callback reaches the default handler.
TEST(NodeExec, EachFormRunsItsHandlerAndEachReplyMeetsItsCallback) {
    Nodes nodes("exec");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    NodeProcess& dev = nodes.Device();
    const std::string unknown = "6f9619ff-8b86-d011-b42d-00cf4fc964ff";
    const std::vector<std::pair<std::string, std::string>> refused{
        {Exec("", R"("path":"/x")"), "bad arguments for exec"},
        {Exec("", R"("command":"echo","arguments":5)"), "bad arguments for exec"},
        {Exec("", R"("command":"echo","requestid":7)"), "bad arguments for exec"},
        {DeviceCommand("exec", unknown, R"("command":"echo")"), "no device " + unknown + " for exec"},
        {DeviceCommand("raw", kAmp), "bad arguments for raw"},
        {DeviceCommand("getdevicestate", "not-a-guid"), R"(bad arguments for getdevicestate: "guid": expected a GUID)"},
        {DeviceCommand("listpresets", unknown), "no device " + unknown + " for listpresets"},
        {DeviceCommand("setip", kAmp, R"("dhcp":"yes")"), "bad arguments for setip"},
        {NodeCommand("reboot"), "bad arguments for reboot"},
    };
    for (const auto& [command, message] : refused) {
        ASSERT_TRUE(ctl.Send(command));
        EXPECT_EQ(ctl.AwaitEvent("error")["message"], message) << command;
    }

    struct Row {
        std::string tag;
        std::string members;
        std::string form;       // of the handler the device ran
        std::string arguments;  // as it wrote them, compact JSON
        bool success;
        std::string result;
        std::string requestid;
    };
    const std::vector<Row> rows{
        {"named", R"("path":"/a","command":"echo","arguments":{"gain":"-6","count":3},"requestid":"r1")", "named",
         R"({"count":"3","gain":"-6"})", true, R"({"count":"3","gain":"-6"})", "r1"},
        {"ordered", R"("path":"/b","command":"echo","arguments":["x",1])", "ordered", R"(["x","1"])", true,
         R"(["x","1"])", ""},
        {"text", R"("path":"/c","command":"echo","arguments":"hello world","requestid":"r3")", "text",
         R"("hello world")", true, "hello world", "r3"},
        {"none", R"("path":"/d","command":"echo")", "named", "{}", true, "{}", ""},
        {"fail", R"("path":"/e","command":"fail","arguments":["x"])", "ordered", R"(["x"])", false, "failed as asked",
         ""},
        {"throw", R"("path":"/f","command":"throw","arguments":"now")", "text", R"("now")", false, "", ""},
        {"unknown", R"("command":"nosuch","arguments":{"a":"b"})", "named", R"({"a":"b"})", false,
         "unknown command nosuch", ""},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(ctl.Send(Exec(row.tag, row.members)));
    }
    ASSERT_TRUE(ctl.Send(Exec("", R"("path":"/g","command":"echo","arguments":["by default"],"requestid":"d1")")));
    std::string connectionTag;
    for (const auto& row : rows) {
        const Json::Value ran = dev.AwaitEvent("exec");
        EXPECT_EQ(ran["form"], row.form) << row.tag;
        EXPECT_EQ(CompactJson(ran["arguments"]), row.arguments) << row.tag;
        connectionTag = connectionTag.empty() ? ran["tag"].asString() : connectionTag;
        EXPECT_EQ(ran["tag"], connectionTag) << row.tag;

        const Json::Value reply = ctl.Await(LineWith("exec", "tag", row.tag));
        EXPECT_EQ(reply["default"], false) << row.tag;
        EXPECT_EQ(reply["guid"], kAmp) << row.tag;
        EXPECT_EQ(reply["command"], ran["command"]) << row.tag;
        EXPECT_EQ(reply["path"], ran["path"]) << row.tag;
        EXPECT_EQ(reply["success"], row.success) << row.tag;
        EXPECT_EQ(reply["result"], row.result) << row.tag;
        EXPECT_EQ(reply["requestid"], row.requestid) << row.tag;
    }
    const Json::Value byDefault = ctl.Await(LineWith("exec", "requestid", "d1"));
    EXPECT_EQ(byDefault["default"], true);
    EXPECT_FALSE(byDefault.isMember("guid"));
    EXPECT_EQ(byDefault["path"], "/g");
    EXPECT_EQ(byDefault["result"], R"(["by default"])");
    EXPECT_EQ(Count(ctl, "exec"), static_cast<int>(rows.size()) + 1);

    StopCleanly(ctl);
    StopCleanly(dev);
}

// Exec requests, raw "exec" lines and raw "get" lines sent in turn on one connection:
// each reply reaches the callback of its own request, the raw ones as the text came in;
// a raw "get" reply also reaches the default get handler.
TEST(NodeExec, ExecAndRawLinesInTurnEachMeetTheirOwnReply) {
    Nodes nodes("raw");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    ASSERT_TRUE(ctl.Send(Exec("e1", R"("path":"/p","command":"echo","arguments":["one"])")));
    ASSERT_TRUE(ctl.Send(Raw("r1", R"(exec {"path":"/p","command":"echo","arguments":["two"]})")));
    ASSERT_TRUE(ctl.Send(Exec("e2", R"("path":"/p","command":"echo","arguments":["three"])")));
    ASSERT_TRUE(ctl.Send(Raw("r2", R"(get {"path":"/audio/gain"})")));
    ASSERT_TRUE(ctl.Send(Raw("r3", R"(@exec {"path":"/p","command":"fail"})")));
    ASSERT_TRUE(ctl.Send(Raw("r4", R"(  get {"path":"/audio/label"})")));
    ASSERT_TRUE(ctl.Send(Exec("e3", R"("path":"/p","command":"echo","arguments":["four"])")));

    EXPECT_EQ(ctl.Await(LineWith("exec", "tag", "e1"))["result"], R"(["one"])");
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "r1"))["text"],
              R"(@exec {"command":"echo","path":"/p","requestid":"","result":["two"],"status":"true"})");
    EXPECT_EQ(ctl.Await(LineWith("exec", "tag", "e2"))["result"], R"(["three"])");
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "r2"))["text"], R"(@get {"path":"/audio/gain","value":0})");
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "r3"))["text"],
              R"(@exec {"command":"fail","path":"/p","requestid":"","result":"failed as asked","status":"false"})");
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "r4"))["text"], R"(@get {"path":"/audio/label","value":"Main"})");
    EXPECT_EQ(ctl.Await(LineWith("exec", "tag", "e3"))["result"], R"(["four"])");
    StopCleanly(ctl);
    EXPECT_EQ(Count(ctl, "raw"), 4);
    EXPECT_EQ(Count(ctl, "exec"), 3);
    std::vector<std::string> defaults;
    for (const auto& line : ctl.Lines()) {
        if (line.find(R"("event":"get")") != std::string::npos) {
            defaults.push_back(line);
        }
    }
    EXPECT_EQ(defaults, (std::vector<std::string>{
                            R"({"default":true,"event":"get","guid":")" + kAmp +
                                R"(","tag":"","values":[{"path":"/audio/gain","value":0}]})",
                            R"({"default":true,"event":"get","guid":")" + kAmp +
                                R"(","tag":"","values":[{"path":"/audio/label","value":"Main"}]})"}));
    StopCleanly(nodes.Device());
}

// A raw line sent after a request of the same word that is still unanswered: the earlier
// request's reply is not the raw line's.
TEST(NodeExec, ARawLineAfterAnUnansweredRequestOfItsWordGetsItsOwnReply) {
    Nodes nodes("rawget");
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    ASSERT_TRUE(ctl.Send(DeviceCommand("get", kAmp, R"("tag":"g1","values":[{"path":"/audio/label"}])")));
    ASSERT_TRUE(ctl.Send(Raw("r1", R"(get {"path":"/audio/mute"})")));
    EXPECT_EQ(ValueEntries(ctl.Await(LineWith("get", "tag", "g1"))["values"]), R"(/audio/label="Main")");
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "r1"))["text"], R"(@get {"path":"/audio/mute","value":false})");
    StopCleanly(ctl);
    StopCleanly(nodes.Device());
}

// The device leaves a form without handler (its requests fail, no handler runs) and
// refuses network settings. Stopped, it takes two exec requests and a get and is killed:
// the get hears every value failed with "connection lost", the exec callbacks that text,
// in the order they were sent.
TEST(NodeExec, AFormWithoutHandlerFailsAndALostConnectionAnswersEveryWaitingCallback) {
    Nodes nodes("lost", {"--no-callback", "exectext", "--setip-result", "fail"});
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    NodeProcess& dev = nodes.Device();
    ASSERT_TRUE(ctl.Send(Exec("text", R"("path":"/p","command":"echo","arguments":"hi","requestid":"t")")));
    ASSERT_TRUE(ctl.Send(Exec("list", R"("path":"/p","command":"echo","arguments":["hi"])")));
    const Json::Value text = ctl.Await(LineWith("exec", "tag", "text"));
    EXPECT_EQ(text["success"], false);
    EXPECT_EQ(text["result"], "");
    EXPECT_EQ(text["command"], "echo");
    EXPECT_EQ(text["requestid"], "t");
    EXPECT_EQ(ctl.Await(LineWith("exec", "tag", "list"))["success"], true);
    EXPECT_EQ(dev.AwaitEvent("exec")["form"], "ordered");

    const std::string mac = FirstMac(dev);
    ASSERT_FALSE(mac.empty());
    ASSERT_TRUE(ctl.Send(SetIP(mac, "10.1.2.3")));
    EXPECT_EQ(dev.AwaitEvent("applyNetworkSettings")["result"], false);
    const Json::Value refused = ctl.Await(LineAbout("setip", kAmp));
    EXPECT_EQ(refused["result"], false);
    EXPECT_EQ(refused["error"], "Unable to update network settings");

    ASSERT_TRUE(dev.Signal(SIGSTOP));
    ASSERT_TRUE(ctl.Send(Exec("w1", R"("path":"/p","command":"echo","arguments":["1"],"requestid":"q1")")));
    ASSERT_TRUE(ctl.Send(Exec("w2", R"("path":"/p","command":"echo","arguments":["2"],"requestid":"q2")")));
    ASSERT_TRUE(ctl.Send(DeviceCommand("get", kAmp, R"("tag":"g","values":[{"path":"/audio/gain"},{"path":"/audio/mute"}])")));
    EXPECT_FALSE(ctl.Await(LineWith("request", "tag", "g")).isNull());
    ASSERT_TRUE(dev.Signal(SIGKILL));
    EXPECT_EQ(dev.Wait(), 128 + SIGKILL);
    const Json::Value values = ctl.Await(LineWith("get", "tag", "g"))["values"];
    ASSERT_EQ(values.size(), 2u);
    for (const auto& value : values) {
        EXPECT_EQ(value["error"], "connection lost") << value["path"];
    }
    for (const char* tag : {"w1", "w2"}) {
        const Json::Value lost = ctl.Await(LineWith("exec", "tag", tag));
        EXPECT_EQ(lost["success"], false) << tag;
        EXPECT_EQ(lost["result"], "connection lost") << tag;
        EXPECT_EQ(lost["path"], "/") << tag;
        EXPECT_EQ(lost["command"], "") << tag;
        EXPECT_EQ(lost["requestid"], "") << tag;
    }
    StopCleanly(ctl);
    EXPECT_EQ(Count(dev, "exec"), 1);
}

// The state text and preset information as the device's options give them, its presets
// list, and raw "getdevicestate". Network settings for a MAC the device lists are applied
// and answered each time they are sent, also twice alike; another MAC is answered
// "Unknown MAC address" and not applied. An unknown list option is an error reply.
TEST(NodeExec, StatePresetsAndNetworkSettingsAreAnsweredEveryTime) {
    Nodes nodes("state", {"--device-state", R"({"power":"on"})", "--preset-info", "scene 4"});
    ASSERT_TRUE(nodes.Connect());
    NodeProcess& ctl = nodes.Controller();
    NodeProcess& dev = nodes.Device();

    ASSERT_TRUE(ctl.Send(DeviceCommand("getdevicestate", kAmp)));
    EXPECT_EQ(ctl.Await(LineWith("request", "cmd", "getdevicestate"))["sent"], true);
    const Json::Value state = ctl.AwaitEvent("getdevicestate");
    EXPECT_EQ(state["devicestate"], R"({"power":"on"})");
    EXPECT_EQ(state["error"], "");
    EXPECT_EQ(state["source"], "");
    EXPECT_EQ(dev.AwaitEvent("getDeviceStateText")["text"], R"({"power":"on"})");
    ASSERT_TRUE(ctl.Send(DeviceCommand("getpresetinfo", kAmp)));
    const Json::Value preset = ctl.AwaitEvent("getpresetinfo");
    EXPECT_EQ(preset["path"], "scene 4");
    EXPECT_EQ(preset["isdirty"], "false");
    EXPECT_EQ(preset["tag"], state["tag"]);
    ASSERT_TRUE(ctl.Send(DeviceCommand("listpresets", kAmp)));
    const Json::Value presets = ctl.AwaitEvent("listpresets");
    EXPECT_EQ(presets["command"], "presets");
    EXPECT_EQ(presets["error"], "");
    ASSERT_TRUE(ctl.Send(Raw("state", "getdevicestate {}")));
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "state"))["text"], R"(@getdevicestate {"devicestate":"{\"power\":\"on\"}"})");
    ASSERT_TRUE(ctl.Send(Raw("list", R"(list {"command":"nosuch"})")));
    const Json::Value error = ctl.AwaitEvent("errorReply");
    EXPECT_EQ(error["message"], "Unrecognized list option.");
    EXPECT_EQ(error["tag"], state["tag"]);
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "list"))["text"], R"(@error {"message":"Unrecognized list option."})");

    const std::string mac = FirstMac(dev);
    ASSERT_FALSE(mac.empty());
    for (int time = 0; time < 2; ++time) {
        ASSERT_TRUE(ctl.Send(SetIP(mac, "10.1.2.3")));
        const Json::Value applied = dev.AwaitEvent("applyNetworkSettings");
        EXPECT_EQ(applied["mac"], mac);
        EXPECT_EQ(applied["ip"], "10.1.2.3");
        EXPECT_EQ(applied["subnetmask"], "255.255.255.0");
        const Json::Value answered = ctl.Await(LineAbout("setip", kAmp));
        EXPECT_EQ(answered["result"], true) << time;
        EXPECT_EQ(answered["ip"], "10.1.2.3") << time;
        EXPECT_EQ(answered["error"], "") << time;
    }
    ASSERT_TRUE(ctl.Send(SetIP("02:00:00:00:00:99", "10.1.2.4")));
    const Json::Value unknown = ctl.Await(LineAbout("setip", kAmp));
    EXPECT_EQ(unknown["result"], false);
    EXPECT_EQ(unknown["error"], "Unknown MAC address");

    StopCleanly(ctl);
    StopCleanly(dev);
    EXPECT_EQ(Count(dev, "applyNetworkSettings"), 2);
    // The discovery service's callback heard each reply too.
    EXPECT_EQ(Count(ctl, "setip"), 6);
}

// Locate through the device object before it is connected (a datagram to its address) and
// once connected, each reply reaching the device's own callback; identify; reboot refused
// for another MAC and accepted for the device's own (empty: the node asked).
TEST(NodeExec, LocateIdentifyAndRebootGoThroughTheDeviceObject) {
    Nodes nodes("locate");
    NodeProcess& ctl = nodes.Controller();
    NodeProcess& dev = nodes.Device();
    ASSERT_FALSE(ctl.Await(DeviceLine("amp1", "New")).isNull());
    const auto located = [&ctl] {
        return ctl.Await([](const Json::Value& line) { return line["event"] == "locate" && line["device"] == kAmp; });
    };
    ASSERT_TRUE(ctl.Send(DeviceCommand("locate", kAmp, R"("timeout":3)")));
    const Json::Value unconnected = located();
    EXPECT_EQ(unconnected["reply"], true);
    EXPECT_EQ(unconnected["guid"], kAmp);
    EXPECT_EQ(unconnected["timeout"], "3");
    ASSERT_TRUE(ConnectTo(ctl, "127.0.0.1", 4197, kAmp, false));
    ASSERT_TRUE(ctl.Send(DeviceCommand("locate", kAmp, R"("timeout":"4")")));
    EXPECT_EQ(located()["timeout"], "4");
    EXPECT_EQ(dev.Await(LineWith("locate", "timeout", "4"))["reply"], false);

    ASSERT_TRUE(ctl.Send(DeviceCommand("identify", kAmp)));
    EXPECT_EQ(ctl.Await(LineWith("identify", "reply", true))["guid"], kAmp);
    ASSERT_TRUE(ctl.Send(DeviceCommand("reboot", kAmp, R"("mac":"02:00:00:00:00:99")")));
    EXPECT_EQ(ctl.Await(LineWith("reboot", "reply", true))["error"], "Unmatched MAC");
    ASSERT_TRUE(ctl.Send(DeviceCommand("reboot", kAmp, R"("mac":"")")));
    EXPECT_EQ(ctl.Await(LineWith("reboot", "reply", true))["error"], "");
    EXPECT_EQ(dev.Await(LineWith("reboot", "reply", false))["mac"], "");

    StopCleanly(ctl);
    StopCleanly(dev);
    EXPECT_EQ(Count(dev, "reboot"), 1);
}

// Three processes: the device serves the loopback of namespace a only, the router in a
// reaches it by a static route, the controller in b reaches the device through the router.
// Exec, "getdevicestate" (raw and the service's), network settings and a reboot for "this node" are the
// device's to answer: the router runs no command, tells no state, applies nothing and is
// not rebooted. An unknown list option's error reply comes back from the device.
TEST(NodeExecRouted, TheDeviceAndNotTheRouterAnswers) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", {"--device-state", "amp state"}),
                pair.a.Name());
    Node router(Options("router", "rt1",
                        {"--listen", "10.77.0.1:4197", "--route", "127.0.0.1,4197", "--device-state", "router state"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"}),
                    pair.b.Name());
    NodeProcess& ctl = controller.process;
    NodeProcess& dev = device.process;
    EXPECT_EQ(ctl.Await(DeviceLine("amp1", "New"))["proxy"], "rt1");
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_EQ(ctl.Await(DeviceLine("amp1", "Connected"))["proxy"], "rt1");

    ASSERT_TRUE(ctl.Send(Exec("e1", R"("path":"/p","command":"echo","arguments":{"via":"router"})")));
    EXPECT_EQ(ctl.Await(LineWith("exec", "tag", "e1"))["result"], R"({"via":"router"})");
    EXPECT_EQ(dev.AwaitEvent("exec")["command"], "echo");
    ASSERT_TRUE(ctl.Send(Raw("state", "getdevicestate {}")));
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "state"))["text"], R"(@getdevicestate {"devicestate":"amp state"})");
    // The service's own request carries the device's route as well.
    ASSERT_TRUE(ctl.Send(DeviceCommand("getdevicestate", kAmp)));
    const Json::Value state = ctl.AwaitEvent("getdevicestate");
    EXPECT_EQ(state["devicestate"], "amp state");
    EXPECT_EQ(state["source"], "amp1");

    const std::string mac = FirstMac(dev);
    ASSERT_FALSE(mac.empty());
    ASSERT_TRUE(ctl.Send(SetIP(mac, "10.1.2.3")));
    EXPECT_EQ(dev.AwaitEvent("applyNetworkSettings")["ip"], "10.1.2.3");
    EXPECT_EQ(ctl.Await(LineAbout("setip", kAmp))["result"], true);

    ASSERT_TRUE(ctl.Send(DeviceCommand("reboot", kAmp, R"("mac":"")")));
    EXPECT_EQ(ctl.Await(LineWith("reboot", "reply", true))["error"], "");
    EXPECT_EQ(dev.Await(LineWith("reboot", "reply", false))["mac"], "");

    ASSERT_TRUE(ctl.Send(Raw("list", R"(list {"command":"nosuch"})")));
    const Json::Value error = ctl.AwaitEvent("errorReply");
    EXPECT_EQ(error["message"], "Unrecognized list option.");
    EXPECT_EQ(error["source"], "amp1");
    EXPECT_EQ(ctl.Await(LineWith("raw", "tag", "list"))["text"], R"(@error {"message":"Unrecognized list option."})");

    StopCleanly(ctl);
    StopCleanly(router.process);
    StopCleanly(dev);
    for (const char* event : {"exec", "getDeviceStateText", "applyNetworkSettings", "reboot"}) {
        EXPECT_EQ(Count(router.process, event), 0) << event;
    }
}

}  // namespace
}  // namespace ZelkorTest
