// Node processes reading and writing each other's values through the runner's "get" and
// "set": a device node serving the sample tree and a controller node, over a plain
// connection and over TLS with the device's code proven. Replies reach the callbacks of
// their own requests, in order, the default handler those sent without one; a device
// killed while a request waits takes that callback with it, and the first request after
// reconnecting is answered to its own. Each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <json/writer.h>

#include "discovery/NodesTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

const std::string kTree = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";

std::vector<std::string> Secured(bool tls, std::vector<std::string> arguments) {
    if (tls) {
        arguments.insert(arguments.end(), {"--tls-level", "1", "--code", "alpha"});
    }
    return arguments;
}

std::vector<std::string> DeviceOptions(bool tls) {
    return Options("device", "amp1",
                   Secured(tls, {"--guid", kAmp, "--tree", kTree, "--listen", "127.0.0.1:4197"}));
}

// A "get" or "set" of the paths (and values) of `values`, a container's JSON form; with a
// tag the reply goes to a callback of its own, without one to the default handler.
std::string Request(const std::string& word, const std::string& values, const std::string& tag = "") {
    return R"({"cmd":")" + word + R"(","guid":")" + kAmp + R"(","values":)" + values +
           (tag.empty() ? "" : R"(,"tag":")" + tag + "\"") + "}";
}

// A reply's entries, each as PATH=VALUE (compact JSON) or PATH!ERROR, in the order given.
std::string Entries(const Json::Value& line) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::string text;
    for (const auto& entry : line["values"]) {
        text += (text.empty() ? "" : " ") + entry["path"].asString();
        text += entry.isMember("error") ? "!" + entry["error"].asString()
                                        : "=" + Json::writeString(writer, entry["value"]);
    }
    return text;
}

// A device node and a controller node in a namespace of their own when the test may make
// one, the controller connected to the device (and, over TLS, authenticated).
struct ValuesTest : ::testing::TestWithParam<bool> {
    bool Tls() const { return GetParam(); }

    // Connected once the controller's connection can carry a request: the device's GUID
    // known on it and, over TLS, the code proven (a request made while the handshake runs
    // finds no connection to take).
    bool Connect() {
        if (Device().AwaitEvent("listenerAdded").isNull() ||
            !controller.process.Send(ConnectCommand("127.0.0.1", 4197))) {
            return false;
        }
        return !controller.process
                    .Await([this](const Json::Value& line) {
                        return line["event"] == "security" && line["guid"] == kAmp && line["authenticated"] == Tls();
                    })
                    .isNull();
    }

    Json::Value Reply(const std::string& word) { return controller.process.AwaitEvent(word); }

    int LinesWith(const std::string& text) {
        int count = 0;
        for (const auto& line : controller.process.Lines()) {
            count += line.find(text) != std::string::npos;
        }
        return count;
    }

    // The device node of the moment: a test may kill it and start another.
    NodeProcess& Device() { return device->process; }

    NetNamespace space{"values"};
    std::string place = space.Made() ? space.Name() : "";
    std::unique_ptr<Node> device{std::make_unique<Node>(DeviceOptions(Tls()), place)};
    // The controller's discovery timer keeps its own pace: scaled, it would forget a device
    // silent for three seconds (frozen, killed and started again under load), also while
    // the new connection to it is being made, which then closes. Nothing here waits on it.
    Node controller{Secured(Tls(), {"--role", "controller", "--name", "ctl1", "--listen", "127.0.0.1:4198",
                                    "--reply-port", "4198"}),
                    place};
};

// Values that are no container's JSON form, and a device the node does not list, are
// error lines. A get of several paths, one missing, each with its own outcome and the
// library's protocol version; a set whose read-only and locked paths are refused and the others
// written, as a get then reads them back; two callbacks answered in the order they were
// sent, and a request without one answered to the default handler.
TEST_P(ValuesTest, GetSetAndReadBackReachTheirCallbacksInOrder) {
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(controller.process.Send(Request("set", R"([{"value":1}])", "pathless")));
    EXPECT_EQ(controller.process.AwaitEvent("error")["message"],
              R"(bad arguments for set: "values": expected a list of entries, each with a "path" text)");
    ASSERT_TRUE(controller.process.Send(R"({"cmd":"get","guid":"6f9619ff-8b86-d011-b42d-00cf4fc964ff",)"
                                        R"("values":{"path":"/audio/gain"}})"));
    EXPECT_EQ(controller.process.AwaitEvent("error")["message"],
              "no device 6f9619ff-8b86-d011-b42d-00cf4fc964ff for get");
    ASSERT_TRUE(controller.process.Send(Request("get",
                                                R"([{"path":"/configuration/device/name"},{"path":"/audio/gain"},)"
                                                R"({"path":"/audio/nothing"},)"
                                                R"({"path":"/configuration/device/protocolversion"}])",
                                                "read")));
    const Json::Value read = Reply("get");
    EXPECT_EQ(read["tag"], "read");
    EXPECT_EQ(read["default"], false);
    EXPECT_EQ(Entries(read), R"(/audio/gain=0 /audio/nothing!Invalid Path /configuration/device/name="amp1" )"
                             R"(/configuration/device/protocolversion="1.16.1.26")");

    const std::string writes = R"([{"path":"/audio/gain","value":-6},{"path":"/audio/level","value":1},)"
                               R"({"path":"/audio/limiter","value":-1},{"path":"/audio/label","value":"Side"}])";
    ASSERT_TRUE(controller.process.Send(Request("set", writes, "write")));
    const Json::Value written = Reply("set");
    EXPECT_EQ(written["tag"], "write");
    EXPECT_EQ(Entries(written),
              R"(/audio/gain=-6 /audio/label="Side" /audio/level!Path Readonly /audio/limiter!Path Locked)");

    ASSERT_TRUE(
        controller.process.Send(Request("get", R"([{"path":"/audio/gain"},{"path":"/audio/level"}])", "first")));
    ASSERT_TRUE(controller.process.Send(Request("get", R"({"path":"/audio/label"})", "second")));
    ASSERT_TRUE(controller.process.Send(Request("set", R"({"path":"/audio/trim","value":3})")));
    const Json::Value first = Reply("get");
    const Json::Value second = Reply("get");
    EXPECT_EQ(first["tag"], "first");
    EXPECT_EQ(Entries(first), "/audio/gain=-6 /audio/level=-42.5");
    EXPECT_EQ(second["tag"], "second");
    EXPECT_EQ(Entries(second), R"(/audio/label="Side")");
    const Json::Value unclaimed = Reply("set");
    EXPECT_EQ(unclaimed["default"], true);
    EXPECT_EQ(unclaimed["tag"], "");
    EXPECT_EQ(Entries(unclaimed), "/audio/trim=3");

    StopCleanly(controller.process);
    StopCleanly(Device());
    EXPECT_EQ(LinesWith(R"("event":"get")"), 3);
    EXPECT_EQ(LinesWith(R"("event":"set")"), 2);
}

// The device is frozen, asked, and killed before it could answer: the request's callback
// hears its value failed with "connection lost". Restarted and connected again, the
// device answers the next request, which reaches its own callback, not the lost one's.
// The new connection is awaited as the first one was: its "Connected" line comes before
// the TLS handshake, during which the request would find no connection.
TEST_P(ValuesTest, AKilledDevicesCallbackHearsTheLossAndTheNextReplyFindsItsOwn) {
    ASSERT_TRUE(Connect());
    // Returns once the device has stopped: it cannot answer the request sent next.
    ASSERT_TRUE(Device().Signal(SIGSTOP));
    ASSERT_TRUE(controller.process.Send(Request("get", R"({"path":"/audio/gain"})", "lost")));
    ASSERT_FALSE(controller.process.AwaitEvent("request").isNull());
    ASSERT_TRUE(Device().Signal(SIGKILL));
    EXPECT_EQ(Device().Wait(), 128 + SIGKILL);
    // Answered before the line that tells of the connection's end.
    const Json::Value lost = Reply("get");
    EXPECT_EQ(lost["tag"], "lost");
    EXPECT_EQ(Entries(lost), "/audio/gain!connection lost");
    ASSERT_FALSE(controller.process
                     .Await([](const Json::Value& line) {
                         return line["event"] == "connection" && line["connected"] == false;
                     })
                     .isNull());

    device = std::make_unique<Node>(DeviceOptions(Tls()), place);
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(controller.process.Send(Request("get", R"({"path":"/configuration/device/name"})", "next")));
    const Json::Value next = Reply("get");
    EXPECT_EQ(next["tag"], "next");
    EXPECT_EQ(Entries(next), R"(/configuration/device/name="amp1")");

    StopCleanly(controller.process);
    StopCleanly(Device());
    EXPECT_EQ(LinesWith(R"("event":"get")"), 2);
}

// A request of more values than a peer may send, in a line of several megabytes, is
// answered with its word's error from its header alone, whatever its word: a get "Too
// many entries" in the form a multi-value reply takes, another word likewise. The same
// connection is served on.
TEST(NodeValuesBound, ARequestOverTheValueBoundIsAnsweredFromItsHeader) {
    NetNamespace space{"bound"};
    Node device(DeviceOptions(false), space.Made() ? space.Name() : "");
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    RawPeer peer;
    if (space.Made()) {
        ASSERT_TRUE(space.Run([&peer] { peer.Socket().open(boost::asio::ip::tcp::v4()); }));
    }
    ASSERT_TRUE(peer.Connect({boost::asio::ip::make_address("127.0.0.1"), 4197}));
    std::string entries;
    for (int entry = 0; entry < 260'000; ++entry) {
        entries += R"({"path":"/a"},)";
    }
    entries.pop_back();
    peer.Send("7-ab12 [amp1][raw1] get [" + entries + "]\n");
    EXPECT_EQ(peer.ReadLine(30s), "7-ab12 [raw1][amp1] @get {\"error\":\"Too many entries\"}\n");
    std::string values;
    for (int value = 0; value < 510'000; ++value) {
        values += "1,";
    }
    values.pop_back();
    peer.Send("exec {\"arguments\":[" + values + "]}\n");
    EXPECT_EQ(peer.ReadLine(30s), "@exec {\"error\":\"Too many entries\"}\n");
    peer.Send("get {\"path\":\"/audio/gain\"}\n");
    EXPECT_EQ(peer.ReadLine(30s), "@get {\"path\":\"/audio/gain\",\"value\":0}\n");
}

INSTANTIATE_TEST_SUITE_P(NodeValues, ValuesTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Tls" : "Plain"; });

}  // namespace
}  // namespace ZelkorTest
