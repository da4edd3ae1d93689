// Node processes asking each other through the runner's commands: verification codes
// proven, changed and removed over TLS; folders browsed over a plain connection that no
// code may cross; locate, identify, reboot and goodbye across a veth pair (root only,
// else skipped). Each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <string>

#include "discovery/NodesTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

// The next line of that event whose `field` holds `value`.
NodeProcess::Match Line(const std::string& event, const std::string& field, const Json::Value& value) {
    return [=](const Json::Value& line) { return line["event"] == event && line[field] == value; };
}

std::string Command(const std::string& name, const std::string& more) {
    return R"({"cmd":")" + name + R"(","guid":")" + kAmp + "\"" + more + "}";
}

std::string SetCode(const std::string& current, const std::string& next) {
    return Command("setcode", R"(,"current":")" + current + R"(","new":")" + next + "\"");
}

std::string Folder(const std::string& word, const std::string& path) {
    return Command(word, R"(,"path":")" + path + "\"");
}

bool HasCode(NodeProcess& node) {
    node.Send(R"({"cmd":"hascode"})");
    return node.AwaitEvent("hascode")["result"].asBool();
}

// The device holds the code, the controller proves it with the prefix on its first
// connection. A change with a wrong current code is refused and the right one stored; the
// controller, without a reply callback, proves the new code once it connects again.
// Removing the code ends it; any TLS peer may then set a first one, which the controller
// proves next time, while one that still holds an old code fails. Inside a namespace of
// its own when the test may make one.
TEST(NodeCodes, ProvenChangedRemovedAndSetAgainOverTls) {
    NetNamespace space("codes");
    const std::string place = space.Made() ? space.Name() : "";
    Node device(Options("device", "amp1", {"--guid", kAmp, "--listen", "127.0.0.1:4197", "--tls-level", "1",
                                           "--code", "alpha"}),
                place);
    Node controller(Options("controller", "ctl1", {"--listen", "127.0.0.1:4198", "--reply-port", "4198", "--tls-level",
                                                   "1", "--code", "alpha", "--no-callback", "setverificationcode"}),
                    place);
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(controller.process.Send(ConnectCommand("127.0.0.1", 4197)));
    // The device made for the endpoint may be authenticated before its GUID comes (a
    // "security" line with an empty one): the line that counts names the device.
    const Json::Value security = controller.process.Await([](const Json::Value& line) {
        return line["event"] == "security" && line["authenticated"] == true && line["guid"] == kAmp;
    });
    ASSERT_FALSE(security.isNull());
    EXPECT_EQ(security["secured"], true);
    EXPECT_EQ(security["kasdor"], true);

    ASSERT_TRUE(controller.process.Send(SetCode("wrong", "beta")));
    ASSERT_TRUE(controller.process.Send(SetCode("alpha", "beta")));
    for (int request = 0; request < 2; ++request) {
        EXPECT_EQ(controller.process.Await(Line("request", "cmd", "setcode"))["sent"], true);
    }
    EXPECT_EQ(device.process.AwaitEvent("verificationCode")["code"], true);
    // A reply on the same connection after the change's: the change's reply was handled.
    ASSERT_TRUE(controller.process.Send(Command("identify", "")));
    ASSERT_FALSE(controller.process.Await(Line("identify", "reply", true)).isNull());
    const auto reconnect = [&] {
        ASSERT_TRUE(controller.process.Send(Command("goodbye", "")));
        ASSERT_FALSE(controller.process.Await(DeviceLine("amp1", "Disconnected")).isNull());
        ASSERT_TRUE(controller.process.Send(ConnectCommand("127.0.0.1", 4197)));
    };
    reconnect();
    EXPECT_EQ(controller.process.AwaitEvent("authenticate")["error"], "");

    ASSERT_TRUE(controller.process.Send(SetCode("beta", "")));
    EXPECT_EQ(device.process.AwaitEvent("verificationCode")["code"], false);
    EXPECT_FALSE(HasCode(device.process));
    ASSERT_TRUE(controller.process.Send(SetCode("", "gamma")));
    EXPECT_EQ(device.process.AwaitEvent("verificationCode")["code"], true);
    EXPECT_TRUE(HasCode(device.process));
    ASSERT_TRUE(controller.process.Send(Command("identify", "")));
    ASSERT_FALSE(controller.process.Await(Line("identify", "reply", true)).isNull());
    reconnect();
    EXPECT_EQ(controller.process.AwaitEvent("authenticate")["error"], "");
    // Last, since its address is the controller's: after a failure the address waits
    // before its next proof is checked.
    {
        Node stale(Options("controller", "ctl2", {"--listen", "127.0.0.1:4199", "--reply-port", "4199",
                                                  "--tls-level", "1", "--code", "alpha"}),
                   place);
        ASSERT_TRUE(stale.process.Send(ConnectCommand("127.0.0.1", 4197)));
        EXPECT_EQ(stale.process.AwaitEvent("authenticate")["error"], "Authentication Failed");
        StopCleanly(stale.process);
    }

    StopCleanly(controller.process);
    StopCleanly(device.process);
    // Exactly the two changes, the removal and the first code were stored.
    int stores = 0;
    for (const auto& text : device.process.Lines()) {
        stores += text.find(R"("event":"verificationCode")") != std::string::npos;
    }
    EXPECT_EQ(stores, 3);
}

// Over a plain connection the controller's code stays home (no reply can tell of it), and
// the device's working folder moves with "cd", lists relative to it, and stays where it
// was when a path is unknown.
TEST(NodeFolders, BrowsedOverAPlainConnectionThatNoCodeCrosses) {
    NetNamespace space("folders");
    const std::string place = space.Made() ? space.Name() : "";
    Node device(Options("device", "amp1", {"--guid", kAmp, "--listen", "127.0.0.1:4197", "--tls-level", "1",
                                           "--code", "alpha"}),
                place);
    Node controller(Options("controller", "ctl1", {"--listen", "127.0.0.1:4198", "--reply-port", "4198", "--code",
                                                   "alpha"}),
                    place);
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(controller.process.Send(ConnectCommand("127.0.0.1", 4197)));
    const Json::Value security = controller.process.Await(Line("security", "guid", kAmp));
    EXPECT_EQ(security["secured"], false);
    EXPECT_EQ(security["authenticated"], false);

    ASSERT_TRUE(controller.process.Send(SetCode("alpha", "beta")));
    EXPECT_EQ(controller.process.Await(Line("request", "cmd", "setcode"))["sent"], false);
    const auto reply = [&](const std::string& word, const std::string& path) {
        controller.process.Send(Folder(word, path));
        return controller.process.AwaitEvent(word)["line"].asString();
    };
    EXPECT_EQ(reply("cd", "configuration"), R"(@cd {"path":"/configuration"})");
    const std::string listing = reply("ls", "device");
    EXPECT_NE(listing.find(R"({"path":"/configuration/device/name","value":"amp1"})"), std::string::npos) << listing;
    EXPECT_EQ(reply("cd", "nowhere"), R"(@cd {"error":"Path not found"})");
    EXPECT_EQ(reply("ls", "device"), listing);
    EXPECT_EQ(reply("cd", ".."), R"(@cd {"path":"/"})");

    for (const auto& text : controller.process.Lines()) {
        EXPECT_EQ(text.find(R"("event":"setcode")"), std::string::npos) << text;
    }
    EXPECT_TRUE(HasCode(device.process));
    StopCleanly(controller.process);
    StopCleanly(device.process);
    for (const auto& text : device.process.Lines()) {
        EXPECT_EQ(text.find("verificationCode"), std::string::npos) << text;
    }
}

// Across the link, over TLS with the device's code proven with the prefix: locate through
// the connection and by name to every node, identify to every node, reboot refused for
// another MAC and reaching the device's callback for its own, and goodbye closing the
// connection.
TEST(NodesOverVeth, LocateIdentifyRebootAndGoodbyeBetweenNodes) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(Options("device", "amp1", {"--guid", kAmp, "--listen", "10.77.0.1:4197", "--tls-level", "1",
                                           "--code", "alpha"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--tls-level", "1", "--code",
                                                   "alpha"}),
                    pair.b.Name());
    ASSERT_FALSE(controller.process.Await(DeviceLine("amp1", "New")).isNull());
    ASSERT_TRUE(controller.process.Send(ConnectCommand("10.77.0.1", 4197)));
    EXPECT_EQ(controller.process.Await(Line("security", "authenticated", true))["kasdor"], true);

    ASSERT_TRUE(controller.process.Send(Command("locate", R"(,"timeout":5)")));
    const Json::Value located = controller.process.Await(Line("locate", "reply", true));
    EXPECT_EQ(located["guid"], kAmp);
    EXPECT_EQ(located["ip"], VethPair::AddressA);
    EXPECT_EQ(located["port"], 4197);
    const std::string mac = located["mac"].asString();
    EXPECT_EQ(mac.size(), 17u);
    const Json::Value asked = device.process.Await(Line("locate", "reply", false));
    EXPECT_EQ(asked["timeout"], "5");
    EXPECT_EQ(asked["ip"], VethPair::AddressB);

    ASSERT_TRUE(controller.process.Send(R"({"cmd":"locate","name":"amp1"})"));
    EXPECT_EQ(controller.process.Await(Line("request", "cmd", "locate"))["to"], "all");
    EXPECT_EQ(controller.process.Await(Line("locate", "reply", true))["mac"], mac);
    ASSERT_TRUE(controller.process.Send(R"({"cmd":"identify"})"));
    const Json::Value identified = controller.process.Await(Line("identify", "reply", true));
    EXPECT_EQ(identified["guid"], kAmp);
    EXPECT_EQ(identified["mac"], mac);

    ASSERT_TRUE(controller.process.Send(Command("reboot", R"(,"mac":"02:00:00:00:00:99")")));
    EXPECT_EQ(controller.process.Await(Line("reboot", "reply", true))["error"], "Unmatched MAC");
    ASSERT_TRUE(controller.process.Send(Command("reboot", R"(,"mac":")" + mac + "\"")));
    const Json::Value rebooted = controller.process.Await(Line("reboot", "reply", true));
    EXPECT_EQ(rebooted["error"], "");
    EXPECT_EQ(rebooted["mac"], mac);
    EXPECT_EQ(device.process.Await(Line("reboot", "reply", false))["mac"], mac);

    ASSERT_TRUE(controller.process.Send(Command("goodbye", "")));
    EXPECT_FALSE(controller.process.Await(DeviceLine("amp1", "Disconnected")).isNull());
    EXPECT_FALSE(device.process.Await(Line("connection", "connected", false)).isNull());
    StopCleanly(controller.process);
    StopCleanly(device.process);
    // The refused reboot never reached the device's callback.
    int reboots = 0;
    for (const auto& text : device.process.Lines()) {
        reboots += text.find(R"("event":"reboot")") != std::string::npos;
    }
    EXPECT_EQ(reboots, 1);
}

}  // namespace
}  // namespace ZelkorTest
