// The node runner seen from outside, as scripts and the multi-node tests use it: its
// event lines, its exit codes and the ways it is stopped.

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include <json/reader.h>

#include "support/NetNamespace.h"
#include "support/NodeProcess.h"
#include "support/TempDir.h"

namespace ZelkorTest {
namespace {

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::string errors;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader>(builder.newCharReader())
        ->parse(text.data(), text.data() + text.size(), &value, &errors);
    return value;
}

// Every stdout line is one JSON object naming its event.
void expectOnlyEvents(const NodeProcess& node) {
    for (const auto& line : node.Lines()) {
        EXPECT_TRUE(parse(line)["event"].isString()) << line;
    }
}

TEST(NodeRunner, StartLineCarriesVersionPidAndTheOptionsInForce) {
    struct Row {
        std::vector<std::string> arguments;
        std::string options;  // "guid" is checked for its form only when null here
    };
    const std::string tree = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";
    const std::vector<Row> rows = {
        {{"--role", "router", "--name", "n1", "--guid", "{6F9619FF-8B86-D011-B42D-00CF4FC964FF}", "--listen",
          "127.0.0.1:4000", "--listen", "[::1]:4001", "--tls-level", "1", "--code", "1234", "--log-level", "2"},
         R"({"role":"router","name":"n1","guid":"6f9619ff-8b86-d011-b42d-00cf4fc964ff","tree":"",
             "listen":["127.0.0.1:4000","[::1]:4001"],"tls-level":1,"code":true,"log-level":2})"},
        // The name comes from the tree; a tree without a GUID gets a new one.
        {{"--tree", tree},
         R"({"role":"device","name":"stage-left-amp","guid":null,"tree":")" + tree +
             R"(","listen":[],"tls-level":0,"code":false,"log-level":3})"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        NodeProcess node(row.arguments, "", dir.Path().string());
        ASSERT_TRUE(node.Started());
        Json::Value start = node.AwaitEvent("start");
        Json::Value expected = parse(R"({"event":"start","version":"1.16.1.26","options":)" + row.options + "}");
        expected["pid"] = node.Pid();
        if (expected["options"]["guid"].isNull()) {
            EXPECT_EQ(start["options"]["guid"].asString().size(), 36u);
            expected["options"]["guid"] = start["options"]["guid"];
        }
        EXPECT_EQ(start, expected) << start.toStyledString();
        node.Wait();
        expectOnlyEvents(node);
    }
}

TEST(NodeRunner, ABadOptionIsAnErrorLineAndExitTwo) {
    struct Row {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Row> rows = {
        {{"--role", "king"}, "invalid value for --role: king"},
        {{"--name", "a b"}, "invalid value for --name: a b"},
        {{"--guid", "6f9619ff-8b86"}, "invalid value for --guid: 6f9619ff-8b86"},
        {{"--listen", "127.0.0.1"}, "invalid value for --listen: 127.0.0.1"},
        {{"--listen", "127.0.0.1:0"}, "invalid value for --listen: 127.0.0.1:0"},
        {{"--listen", "host:4000"}, "invalid value for --listen: host:4000"},
        {{"--tls-level", "-1"}, "invalid value for --tls-level: -1"},
        {{"--log-level", "8"}, "invalid value for --log-level: 8"},
        {{"--name", "n1", "--name", "n2"}, "--name given twice"},
        {{"--code"}, "--code needs a value"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"--tree", "/nonexistent/tree.json"}, "cannot read the tree /nonexistent/tree.json"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        NodeProcess node(row.arguments, "", dir.Path().string());
        EXPECT_EQ(node.Wait(), 2) << row.message;
        const Json::Value error = node.AwaitEvent("error");
        EXPECT_EQ(error["message"], row.message);
        EXPECT_EQ(node.Lines().size(), 1u) << row.message;
    }
}

// Without a discovery service the driver cannot run: the node says so and exits 1, in the
// host as inside a namespace (where the runner is the process `ip netns exec` became).
TEST(NodeRunner, WithoutDiscoveryTheNodeStopsWithExitOne) {
    NetNamespace space("node");
    std::vector<std::string> places{""};
    if (space.Made()) {
        places.push_back(space.Name());
    }
    for (const auto& place : places) {
        TempDir dir;
        NodeProcess node({"--name", "n1"}, place, dir.Path().string());
        EXPECT_EQ(node.AwaitEvent("start")["pid"], node.Pid()) << place;
        EXPECT_EQ(node.AwaitEvent("stop")["exitCode"], 1) << place;
        EXPECT_EQ(node.Wait(), 1) << place;
        expectOnlyEvents(node);
    }
}

// A stop from outside never kills the node: it ends with a "stop" line and the exit code
// that line gives, 0 when the stop found it running. While the driver cannot run, the
// node may stop by itself first (exit 1).
TEST(NodeRunner, SigtermOrTheEndOfInputStopsTheNodeCleanly) {
    for (const char* how : {"SIGTERM", "SIGINT", "end of input"}) {
        TempDir dir;
        NodeProcess node({}, "", dir.Path().string());
        ASSERT_FALSE(node.AwaitEvent("start").isNull()) << how;
        if (std::string(how) == "end of input") {
            node.CloseInput();
        } else {
            node.Signal(std::string(how) == "SIGTERM" ? SIGTERM : SIGINT);
        }
        const auto code = node.Wait();
        ASSERT_TRUE(code) << how;
        EXPECT_TRUE(*code == 0 || *code == 1) << how << " " << *code;
        EXPECT_EQ(node.AwaitEvent("stop")["exitCode"], *code) << how;
        expectOnlyEvents(node);
    }
}

}  // namespace
}  // namespace ZelkorTest
