// The node runner seen from outside, as scripts and the multi-node tests use it: its
// event lines, its exit codes and the ways it is stopped.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <json/reader.h>

#include "discovery/NodesTestSupport.h"
#include "discovery/SecurityTestSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "support/NetNamespace.h"
#include "support/NodeProcess.h"
#include "support/QuietPort.h"
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
        std::string exclude;  // the "exclude" line, when one is due
    };
    const std::string tree = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";
    // The adapter options name what the host of the test lacks: only --listen is served. The
    // routes lead to loopback's discard port, where nothing answers.
    const std::vector<Row> rows = {
        {{"--role", "router", "--name", "n1", "--guid", "{6F9619FF-8B86-D011-B42D-00CF4FC964FF}", "--listen",
          "127.0.0.1:4396", "--tls-level", "1", "--code", "1234", "--require-tls",
          "--log-level", "2", "--network", "zk-none,4002", "--interface", "zk-none,4003", "--mac", "02:00:00:00:0A:01,4004",
          "--ipv6", "--dump", "--max-incoming", "0", "--route", "127.0.0.1,9", "--route", "[::1],9",
          "--timer-scale", "10", "--no-callback", "starttls", "--no-callback", "reboot", "--no-callback",
          "exectext", "--device-state", "{\"power\":\"on\"}", "--preset-info", "", "--setip-result", "fail",
          "--host-fs-words"},
         R"({"role":"router","name":"n1","guid":"6f9619ff-8b86-d011-b42d-00cf4fc964ff","tree":"",
             "listen":["127.0.0.1:4396"],"tls-level":1,"require-tls":true,"code":true,"log-level":2,
             "disco-interval":0,"reply-port":"","send-disco":"","network":["zk-none,4002"],
             "interface":["zk-none,4003"],"mac":["02:00:00:00:0a:01,4004"],"all":[],"ipv6":true,
             "cert":"","key":"","dh":"","dump":true,"stay":false,
             "exclude":[],"max-incoming":0,"route":["127.0.0.1,9","[::1],9"],"timer-scale":10,
             "no-callback":["exectext","reboot","starttls"],"device-state":"{\"power\":\"on\"}",
             "preset-info":"","setip-result":"fail","fwupdate-error":null,"storage-root":"","host-fs-words":true,
             "block-size":null,"transfer-count":null,
             "transfer-interval":null,"reply-timeout":null})",
         ""},
        // The name comes from the tree; a tree without a GUID gets a new one.
        // Disco rules go through the discovery service, list rules into the tree.
        {{"--tree", tree, "--stay", "--exclude", "disco,classname,amp", "--exclude",
          "list,guid,{6F9619FF-8B86-D011-B42D-00CF4FC964FF}"},
         R"({"role":"device","name":"stage-left-amp","guid":null,"tree":")" + tree +
             R"(","listen":[],"tls-level":0,"require-tls":false,"code":false,"log-level":3,
             "disco-interval":0,"reply-port":"","send-disco":"","network":[],"interface":[],"mac":[],"all":[],
             "ipv6":false,"cert":"","key":"","dh":"","dump":false,"stay":true,
             "exclude":["disco,classname,amp","list,guid,6f9619ff-8b86-d011-b42d-00cf4fc964ff"],
             "max-incoming":null,"route":[],"timer-scale":1,"no-callback":[],"device-state":"","preset-info":"",
             "setip-result":"ok","fwupdate-error":null,"storage-root":"","host-fs-words":false,"block-size":null,
             "transfer-count":null,"transfer-interval":null,
             "reply-timeout":null})",
         R"({"event":"exclude","message":"No error occurred","ok":true,
             "details":{"Added to active exclusion list":["amp"],"Added to storage":["amp"]}})"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        NodeProcess node(row.arguments, "", dir.Path().string());
        ASSERT_TRUE(node.Started());
        Json::Value start = node.AwaitEvent("start");
        Json::Value expected = parse(R"({"event":"start","version":"1.16.1.26","options":)" + row.options + "}");
        expected["pid"] = node.Pid();
        // Without --storage-root, the folder the node made where it runs.
        const std::string made = (std::filesystem::canonical(dir.Path()) / "node-files").string();
        EXPECT_TRUE(std::filesystem::is_directory(made));
        expected["options"]["storage-root"] = made;
        if (expected["options"]["guid"].isNull()) {
            EXPECT_EQ(start["options"]["guid"].asString().size(), 36u);
            expected["options"]["guid"] = start["options"]["guid"];
        }
        EXPECT_EQ(start, expected) << start.toStyledString();
        if (!row.exclude.empty()) {
            EXPECT_EQ(node.AwaitEvent("exclude"), parse(row.exclude));
        }
        StopCleanly(node);
        expectOnlyEvents(node);
    }
}

TEST(NodeRunner, ABadOptionIsAnErrorLineAndExitTwo) {
    TempDir trees;
    const std::string malformed = (trees.Path() / "malformed.json").string();
    std::ofstream(malformed) << "{\n  \"a\": 1 \"b\": 2}\n";
    struct Row {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Row> rows = {
        {{"--role", "king"}, "invalid value for --role: king (device, controller or router)"},
        {{"--name", "a b"}, "invalid value for --name: a b"},
        {{"--guid", "6f9619ff-8b86"}, "invalid value for --guid: 6f9619ff-8b86"},
        {{"--listen", "127.0.0.1"}, "invalid value for --listen: 127.0.0.1"},
        {{"--listen", "127.0.0.1:0"}, "invalid value for --listen: 127.0.0.1:0"},
        {{"--listen", "host:4000"}, "invalid value for --listen: host:4000"},
        {{"--tls-level", "-1"}, "invalid value for --tls-level: -1"},
        {{"--log-level", "8"}, "invalid value for --log-level: 8"},
        {{"--disco-interval", "0"}, "invalid value for --disco-interval: 0"},
        {{"--reply-port", "70000"}, "invalid value for --reply-port: 70000"},
        {{"--send-disco", "[::1:4197"}, "invalid value for --send-disco: [::1:4197"},
        {{"--send-disco", "10.0.0.1:x"}, "invalid value for --send-disco: 10.0.0.1:x"},
        {{"--mac", "02:00:00:00:00:01:4197"}, "invalid value for --mac: 02:00:00:00:00:01:4197"},
        {{"--mac", "02:00:00:00:01,4197"}, "invalid value for --mac: 02:00:00:00:01,4197"},
        {{"--network", ",4197"}, "invalid value for --network: ,4197"},
        {{"--interface", "eth0,0"}, "invalid value for --interface: eth0,0"},
        {{"--all", "65536"}, "invalid value for --all: 65536"},
        {{"--exclude", "disco,colour,x"}, "invalid value for --exclude: disco,colour,x"},
        {{"--exclude", "list,guid,12"}, "invalid value for --exclude: list,guid,12"},
        {{"--exclude", "list,name,x"},
         "Database not prepared for network rules: no array /configuration/network/rules/exclude/list/name in the "
         "tree for --exclude list,name,x"},
        // The sample tree's arrays hold eight rules each.
        {{"--tree", std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json", "--exclude", "list,name,1",
          "--exclude", "list,name,2", "--exclude", "list,name,3", "--exclude", "list,name,4", "--exclude",
          "list,name,5", "--exclude", "list,name,6", "--exclude", "list,name,7", "--exclude", "list,name,8",
          "--exclude", "list,name,9"},
         "no free element in the tree for --exclude list,name,9"},
        {{"--max-incoming", "-1"}, "invalid value for --max-incoming: -1"},
        {{"--route", "10.0.0.1:4197"}, "invalid value for --route: 10.0.0.1:4197"},
        {{"--route", "fd00::1,4197"}, "invalid value for --route: fd00::1,4197 (an IPv6 address goes in brackets)"},
        {{"--listen", "fd00::1:4197"}, "invalid value for --listen: fd00::1:4197 (an IPv6 address goes in brackets)"},
        {{"--send-disco", "::1:4197"}, "invalid value for --send-disco: ::1:4197 (an IPv6 address goes in brackets)"},
        {{"--route", "[10.0.0.1],4197"}, "invalid value for --route: [10.0.0.1],4197"},
        {{"--route", "10.0.0.1,65536"}, "invalid value for --route: 10.0.0.1,65536"},
        {{"--timer-scale", "0"}, "invalid value for --timer-scale: 0"},
        {{"--timer-scale", "1001"}, "invalid value for --timer-scale: 1001"},
        {{"--no-callback", "ls"}, "invalid value for --no-callback: ls"},
        {{"--no-callback", "locate", "--no-callback", "locate"}, "invalid value for --no-callback: locate"},
        {{"--setip-result", "maybe"}, "invalid value for --setip-result: maybe"},
        {{"--device-state", "a", "--device-state", "b"}, "--device-state given twice"},
        {{"--ipv6", "--ipv6"}, "--ipv6 given twice"},
        {{"--timer-scale", "2", "--timer-scale", "3"}, "--timer-scale given twice"},
        {{"--name", "n1", "--name", "n2"}, "--name given twice"},
        {{"--code"}, "--code needs a value"},
        {{"--verbose"}, "unknown option --verbose"},
        {{"--tree", "/nonexistent/tree.json"}, "cannot read the tree /nonexistent/tree.json: No such file or directory"},
        // Where the text stops being JSON, as the reader tells it.
        {{"--tree", malformed}, "cannot read the tree " + malformed + ": not JSON: Line 2, Column 10: Missing ',' or '}' "
                                                                        "in object declaration"},
        // A folder opens as a file would; its read fails later, inside the tree's reader.
        {{"--tree", std::string(ZELKOR_SOURCE_DIR) + "/examples"},
         "cannot read the tree " + std::string(ZELKOR_SOURCE_DIR) + "/examples: it is a folder"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        NodeProcess node(row.arguments, "", dir.Path().string());
        EXPECT_EQ(node.Wait(), 2) << row.message;
        const Json::Value error = node.AwaitEvent("error");
        EXPECT_EQ(error["message"], row.message);
        EXPECT_EQ(node.Lines().size(), 1u) << row.message;
    }
    // Routes go into the tree's route array: a tree without one cannot take them.
    TempDir dir;
    const std::string tree = (dir.Path() / "tree.json").string();
    std::ofstream(tree) << R"({"configuration": {".kind": "obj", "device": {".kind": "obj",
        "guid": {".kind": "param", ".type": "string", ".value": ""}}}})";
    NodeProcess node({"--tree", tree, "--route", "10.0.0.1,4197"}, "", dir.Path().string());
    EXPECT_EQ(node.Wait(), 2);
    EXPECT_EQ(node.AwaitEvent("error")["message"],
              R"(no route array with "ipaddress" and "port" at /configuration/network/routes in the tree)");
}

// What the options ask and the node cannot do ends it with an "error" line saying what
// and why, and exit code 2: never a node that runs without serving what it was told to,
// nor one that shows a generated certificate in the place of the one it was given.
TEST(NodeRunner, WhatCannotBeServedOrReadIsAnErrorLineAndExitTwo) {
    TempDir dir;
    const std::string garbage = (dir.Path() / "garbage.pem").string();
    std::ofstream(garbage) << "not a PEM file\n";
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor holder(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const std::string held = "127.0.0.1:" + std::to_string(holder.local_endpoint().port());
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"--listen", held}, "--listen " + held + " not served: TCP bind: Address already in use"},
        {{"--listen", "192.0.2.1:4000"}, "--listen 192.0.2.1:4000 not served: no interface of the host holds the address"},
        {{"--listen", "[::1]:4397"}, "--listen [::1]:4397 not served: an IPv6 address needs --ipv6"},
        {{"--cert", "/nonexistent/c.pem", "--key", garbage},
         "cannot read --cert /nonexistent/c.pem: No such file or directory"},
        {{"--cert", dir.Path().string(), "--key", garbage}, "cannot read --cert " + dir.Path().string() + ": Is a directory"},
        {{"--cert", garbage, "--key", garbage}, "--cert " + garbage + " holds no PEM certificate"},
        {{"--cert", garbage}, "--cert needs --key"},
        {{"--dh", garbage}, "--dh " + garbage + " holds no PEM Diffie-Hellman parameters"},
    };
    for (const auto& [arguments, message] : rows) {
        NodeProcess node(arguments, "", dir.Path().string());
        EXPECT_EQ(node.AwaitEvent("error")["message"], message);
        EXPECT_EQ(node.Wait(), 2) << message;
        expectOnlyEvents(node);
    }
}

// A held port ends the node before it reads a command, naming the socket whose bind failed:
// a script's background job, its input ended from the start, is told as a user is.
TEST(NodeRunner, AHeldTcpOrUdpPortIsAnErrorLineAndExitTwoWhateverTheInput) {
    const auto loopback = boost::asio::ip::make_address("127.0.0.1");
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor tcpHolder(io);
    const unsigned short tcpPort = QuietPort([&](unsigned short port) {
        boost::system::error_code error;
        tcpHolder.open(boost::asio::ip::tcp::v4(), error);
        tcpHolder.bind({loopback, port}, error);
        tcpHolder.listen(1, error);
        if (error) {
            tcpHolder.close(error);
            return false;
        }
        return true;
    });
    // A UDP port held whose TCP port is free.
    boost::asio::ip::udp::socket udpHolder(io);
    const unsigned short udpPort = QuietPort([&](unsigned short port) {
        boost::system::error_code error;
        boost::asio::ip::tcp::acceptor probe(io);
        probe.open(boost::asio::ip::tcp::v4(), error);
        probe.bind({loopback, port}, error);
        if (error) {
            return false;
        }
        probe.close();
        udpHolder.open(boost::asio::ip::udp::v4(), error);
        udpHolder.bind({loopback, port}, error);
        if (error) {
            udpHolder.close(error);
            return false;
        }
        return true;
    });
    ASSERT_NE(tcpPort, 0);
    ASSERT_NE(udpPort, 0);
    const std::vector<std::pair<unsigned short, std::string>> rows = {
        {tcpPort, "TCP bind: Address already in use"},
        {udpPort, "UDP bind: Address already in use"},
    };
    for (const auto& [port, reason] : rows) {
        const std::string held = "127.0.0.1:" + std::to_string(port);
        TempDir dir;
        NodeProcess node({"--listen", held}, "", dir.Path().string());
        node.CloseInput();
        EXPECT_EQ(node.Wait(std::chrono::seconds(60)), 2) << reason;
        EXPECT_EQ(node.AwaitEvent("listenerFailed")["reason"], reason);
        EXPECT_EQ(node.AwaitEvent("error")["message"], "--listen " + held + " not served: " + reason);
        expectOnlyEvents(node);
    }
}

// A command with a wrong or missing argument is refused naming that argument and what it
// should be.
TEST(NodeRunner, ABadArgumentOfACommandIsNamed) {
    TempDir dir;
    NodeProcess node({"--role", "controller"}, "", dir.Path().string());
    const std::string guid = R"("guid":"6f9619ff-8b86-d011-b42d-00cf4fc964ff")";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {R"({"cmd":"get","values":[{"path":"/a"}]})", R"(bad arguments for get: "guid": expected a GUID)"},
        {R"({"cmd":"get",)" + guid + R"(,"values":7})",
         R"(bad arguments for get: "values": expected a list of entries, each with a "path" text)"},
        {R"({"cmd":"set",)" + guid + R"(,"values":[{"path":"/a","value":1}],"tag":3})",
         R"(bad arguments for set: "tag": expected a text)"},
        {R"({"cmd":"ls",)" + guid + R"(,"path":5})", R"(bad arguments for ls: "path": expected a text)"},
        {R"({"cmd":"locate","timeout":[1]})", R"(bad arguments for locate: "timeout": expected a text or a whole number)"},
        {R"({"cmd":"identify","address":"nowhere"})", R"(bad arguments for identify: "address": expected an IP address)"},
    };
    for (const auto& [command, message] : rows) {
        ASSERT_TRUE(node.Send(command));
        EXPECT_EQ(node.AwaitEvent("error")["message"], message) << command;
    }
    StopCleanly(node);
}

// A connect that fails says where it went and why.
TEST(NodeRunner, AFailedConnectSaysWhy) {
    TempDir dir;
    boost::asio::io_context io;
    // A port just given up: nothing serves it.
    unsigned short port = 0;
    {
        boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
        port = probe.local_endpoint().port();
    }
    NodeProcess node({"--role", "controller"}, "", dir.Path().string());
    ASSERT_TRUE(node.Send(ConnectCommand("127.0.0.1", port)));
    const Json::Value line = node.AwaitEvent("connection");
    EXPECT_EQ(line["connected"], false);
    EXPECT_EQ(line["outgoing"], true);
    EXPECT_EQ(line["peer"], "127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(line["error"], "refused");
    StopCleanly(node);
}

// A script pipes a list of commands in and closes the input: a controller connects,
// holds the get back until the device is connected, and prints its answer before it
// stops; a device started with --stay serves on once its own input has ended.
TEST(NodeRunner, APipedCommandListIsAnsweredBeforeTheNodeStops) {
    NetNamespace space("piped");
    const std::string place = space.Made() ? space.Name() : "";
    const std::string guid = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";
    const std::string tree = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";
    TempDir deviceDir;
    NodeProcess device({"--tree", tree, "--guid", guid, "--listen", "127.0.0.1:4197", "--stay"}, place,
                       deviceDir.Path().string());
    ASSERT_FALSE(device.AwaitEvent("listenerAdded").isNull());
    device.CloseInput();
    TempDir controllerDir;
    NodeProcess controller({"--role", "controller"}, place, controllerDir.Path().string());
    ASSERT_TRUE(controller.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_TRUE(controller.Send(R"({"cmd":"get","guid":")" + guid +
                                R"(","tag":"t","values":[{"path":"/configuration/device/name"}]})"));
    ASSERT_TRUE(controller.Send(R"({"cmd":"exec","guid":")" + guid + R"(","tag":"e","command":"echo","arguments":"hi"})"));
    controller.CloseInput();
    EXPECT_EQ(controller.Wait(), 0);
    const Json::Value answer = controller.AwaitEvent("get");
    EXPECT_EQ(answer["values"][0]["value"], "stage-left-amp") << answer.toStyledString();
    const Json::Value echoed = controller.AwaitEvent("exec");
    EXPECT_EQ(echoed["result"], "hi") << echoed.toStyledString();
    EXPECT_EQ(echoed["reply"], true);
    EXPECT_FALSE(controller.AwaitEvent("stop").isNull());
    for (const auto& line : controller.Lines()) {
        EXPECT_EQ(line.find(R"("event":"error")"), std::string::npos) << line;
    }
    EXPECT_FALSE(device.Wait(std::chrono::milliseconds(0)).has_value());
    EXPECT_EQ(device.Stop(), 0);
    expectOnlyEvents(controller);
}

// --send-disco: the one "senddisco" a device sends at start makes the controller there
// ask it by a discovery request, and so find it, though it serves no port the
// controller's own discovery reaches.
TEST(NodeRunner, ADeviceIsFoundByTheControllerItsSendDiscoNames) {
    NetNamespace space("senddisco");
    const std::string place = space.Made() ? space.Name() : "";
    TempDir controllerDir;
    NodeProcess controller({"--role", "controller", "--listen", "127.0.0.1:4598", "--reply-port", "4598"}, place,
                           controllerDir.Path().string());
    ASSERT_FALSE(controller.AwaitEvent("listenerAdded").isNull());
    TempDir deviceDir;
    NodeProcess device({"--name", "far-amp", "--listen", "127.0.0.1:4597", "--reply-port", "4597", "--send-disco",
                        "127.0.0.1:4598"},
                       place, deviceDir.Path().string());
    const Json::Value found = controller.Await(DeviceLine("far-amp", "New"), std::chrono::seconds(60));
    EXPECT_EQ(found["port"], 4597) << found;
    StopCleanly(device);
    StopCleanly(controller);
}

// A piped session whose --code the device refuses: the device reached by connect alone
// never gives its GUID, and the commands naming it are refused saying so.
TEST(NodeRunner, APipedSessionWithAWrongCodeSaysWhyItsDeviceIsNotThere) {
    NetNamespace space("wrongcode");
    const std::string place = space.Made() ? space.Name() : "";
    const std::string guid = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";
    const std::string tree = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";
    TempDir deviceDir;
    NodeProcess device({"--tree", tree, "--guid", guid, "--listen", "127.0.0.1:4197", "--code", "1234", "--stay"},
                       place, deviceDir.Path().string());
    ASSERT_FALSE(device.AwaitEvent("listenerAdded").isNull());
    device.CloseInput();
    TempDir controllerDir;
    NodeProcess controller({"--role", "controller", "--tls-level", "1", "--code", "9999"}, place,
                           controllerDir.Path().string());
    ASSERT_TRUE(controller.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_TRUE(controller.Send(R"({"cmd":"get","guid":")" + guid + R"(","values":[{"path":"/audio/gain"}]})"));
    ASSERT_TRUE(controller.Send(R"({"cmd":"set","guid":")" + guid +
                                R"(","values":[{"path":"/audio/gain","value":-3}]})"));
    controller.CloseInput();
    EXPECT_EQ(controller.Wait(std::chrono::seconds(60)), 0);
    EXPECT_EQ(controller.AwaitEvent("authenticate")["error"], "Authentication Failed");
    const std::string why = " refused this node's proof of its code (Authentication Failed), so it never gave its GUID";
    for (const char* word : {"get", "set"}) {
        EXPECT_EQ(controller.AwaitEvent("error")["message"],
                  "no device " + guid + " for " + word + ": the device at 127.0.0.1:4197" + why);
    }
    EXPECT_EQ(device.Stop(), 0);
    expectOnlyEvents(controller);
}

// A device that refuses this node's proof unchecked ("Too many failed attempts": proofs
// from the same address failed just before) never gives its GUID while it does: the
// commands that waited for it are told so, not only that no such device is listed.
TEST(NodeRunner, AProofRefusedUncheckedIsNamedWhenTheDeviceDoesNotCome) {
    NetNamespace space("unchecked");
    const std::string place = space.Made() ? space.Name() : "";
    const std::string guid = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";
    const std::string tree = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";
    TempDir deviceDir;
    NodeProcess device({"--tree", tree, "--guid", guid, "--listen", "127.0.0.1:4197", "--code", "1234", "--stay"},
                       place, deviceDir.Path().string());
    ASSERT_FALSE(device.AwaitEvent("listenerAdded").isNull());
    device.CloseInput();
    // Wrong proofs from the controller's address, each on a connection of its own, until
    // five were checked: the address then waits 16 s before another is checked.
    const auto guess = [&] {
        RawPeer peer;
        const auto open = [&] { peer.Socket().open(boost::asio::ip::tcp::v4()); };
        if (!(place.empty() ? (open(), true) : space.Run(open)) ||
            !peer.Connect({boost::asio::ip::make_address("127.0.0.1"), 4197}) ||
            Ask(peer, "starttls") != "@starttls {}\n" || !peer.StartTls()) {
            return std::string();
        }
        return Ask(peer, R"(authenticate {"code":")" + ProofOf("wrong", RandomBytes(32)) + "\"}");
    };
    int checked = 0;
    for (int attempt = 0; checked < 5 && attempt < 400; ++attempt) {
        const std::string heard = guess();
        ASSERT_FALSE(heard.empty());
        if (heard == ErrorReply("@authenticate", "Authentication Failed")) {
            ++checked;
        } else {
            ASSERT_EQ(heard, ErrorReply("@authenticate", "Too many failed attempts"));
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_EQ(checked, 5);
    TempDir controllerDir;
    NodeProcess controller({"--role", "controller", "--tls-level", "1", "--code", "1234"}, place,
                           controllerDir.Path().string());
    ASSERT_TRUE(controller.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_TRUE(controller.Send(R"({"cmd":"get","guid":")" + guid + R"(","values":[{"path":"/audio/gain"}]})"));
    controller.CloseInput();
    EXPECT_EQ(controller.Wait(std::chrono::seconds(60)), 0);
    EXPECT_EQ(controller.AwaitEvent("authenticate")["error"], "Too many failed attempts");
    EXPECT_EQ(controller.AwaitEvent("error")["message"],
              "no device " + guid +
                  " for get: the device at 127.0.0.1:4197 refused this node's proof of its code unchecked (Too many "
                  "failed attempts: proofs from this address failed before, and the device waits before it checks "
                  "another), so it has not given its GUID yet; this node proves it again later");
    EXPECT_EQ(device.Stop(), 0);
}

// One vocabulary: every command word in lower case, its answer line named after it, a
// device named by "guid"; the older words and "device" stay accepted and answer alike.
TEST(NodeRunner, RenamedCommandsAnswerAlikeUnderTheirOldAndNewNames) {
    const std::string unknown = "6f9619ff-8b86-d011-b42d-00cf4fc964ff";
    struct Row {
        std::string old;
        std::string current;
        std::string answer;  // the event of the answer line
        std::string member = "";  // one the answer line holds
    };
    const std::vector<Row> rows = {
        {R"({"cmd":"listMulticast"})", R"({"cmd":"listmulticast"})", "listmulticast"},
        {R"({"cmd":"listInterfaces"})", R"({"cmd":"listinterfaces"})", "listinterfaces"},
        {R"({"cmd":"getEndPoints"})", R"({"cmd":"getendpoints"})", "getendpoints"},
        {R"({"cmd":"getEndPointInterfaces"})", R"({"cmd":"getendpointinterfaces"})", "getendpointinterfaces"},
        {R"({"cmd":"addListener","address":"127.0.0.1","port":4398})",
         R"({"cmd":"addlistener","address":"127.0.0.1","port":4398})", "addlistener"},
        {R"({"cmd":"removeListener","address":"127.0.0.1","port":4398})",
         R"({"cmd":"removelistener","address":"127.0.0.1","port":4398})", "removelistener"},
        {R"({"cmd":"removeAllListeners","port":4399})", R"({"cmd":"removealllisteners","port":4399})",
         "removealllisteners"},
        {R"({"cmd":"removeAllListeners"})", R"({"cmd":"removealllisteners"})", "removealllisteners"},
        {R"({"cmd":"cancelput","device":")" + unknown + R"(","remote":"b"})",
         R"({"cmd":"cancelput","guid":")" + unknown + R"(","remote":"b"})", "cancelput", "guid"},
        {R"({"cmd":"get","device":")" + unknown + R"(","values":[]})",
         R"({"cmd":"get","guid":")" + unknown + R"(","values":[]})", "error"},
        {R"({"cmd":"sendfile","device":")" + unknown + R"(","local":"a","remote":"b"})",
         R"({"cmd":"sendfile","guid":")" + unknown + R"(","local":"a","remote":"b"})", "error"},
        {R"({"cmd":"addListener","address":"127.0.0.1","port":0})",
         R"({"cmd":"addlistener","address":"127.0.0.1","port":"4197"})", "error"},
    };
    TempDir dir;
    NodeProcess node({}, "", dir.Path().string());
    for (const auto& row : rows) {
        ASSERT_TRUE(node.Send(row.old));
        const Json::Value before = node.AwaitEvent(row.answer);
        ASSERT_TRUE(node.Send(row.current));
        EXPECT_EQ(node.AwaitEvent(row.answer), before) << row.current;
        EXPECT_FALSE(before.isNull()) << row.old;
        EXPECT_TRUE(row.member.empty() || before.isMember(row.member)) << row.old;
    }
    StopCleanly(node);
    // Each listener is told of once while it is served.
    std::set<std::string> served;
    for (const auto& text : node.Lines()) {
        const Json::Value line = parse(text);
        const std::string message = line["message"].asString();
        EXPECT_TRUE(message.find("expected") == std::string::npos ||
                    message.find(R"("port": expected a number 1-65535)") != std::string::npos)
            << text;
        const std::string endpoint = line["address"].asString() + ":" + line["port"].asString();
        if (line["event"] == "listenerAdded") {
            EXPECT_TRUE(served.insert(endpoint).second) << text;
        } else if (line["event"] == "listenerRemoved") {
            EXPECT_EQ(served.erase(endpoint), 1u) << text;
        }
    }
}

// The node sets up its discovery from the options and shows its own values; a command
// with a bad argument is an error line; a "stop" command ends it with exit 0, in the host
// as inside a namespace (where the runner is the process `ip netns exec` became).
TEST(NodeRunner, TheNodeShowsItsDiscoveryValuesAndStopsOnCommand) {
    NetNamespace space("node");
    std::vector<std::string> places{""};
    if (space.Made()) {
        places.push_back(space.Name());
    }
    for (const auto& place : places) {
        TempDir dir;
        NodeProcess node({"--role", "controller", "--name", "n1", "--guid", "6f9619ff-8b86-d011-b42d-00cf4fc964ff",
                          "--reply-port", "5000", "--send-disco", "[::1]:4197", "--disco-interval", "5"},
                         place, dir.Path().string());
        EXPECT_EQ(node.AwaitEvent("start")["pid"], node.Pid()) << place;
        const Json::Value discovery = node.AwaitEvent("discovery");
        EXPECT_EQ(discovery, parse(R"({"event":"discovery","replyPort":5000,"values":{"guid":
            "6f9619ff-8b86-d011-b42d-00cf4fc964ff","mode":"controller","name":"n1","protocolversion":"1.16.1.26",
            "classname":"node","model":"zelkor_node"}})"))
            << place;
        EXPECT_TRUE(node.Send(R"({"cmd":"connect","address":"nowhere","port":4197})"));
        EXPECT_EQ(node.AwaitEvent("error")["message"], R"(bad arguments for connect: "address": expected an IP address)")
            << place;
        EXPECT_TRUE(node.Send(R"({"cmd":"stop"})"));
        EXPECT_EQ(node.AwaitEvent("stop")["exitCode"], 0) << place;
        EXPECT_EQ(node.Wait(), 0) << place;
        expectOnlyEvents(node);
    }
}

// A stop from outside never kills the node: it ends with a "stop" line and exit 0.
TEST(NodeRunner, SigtermOrTheEndOfInputStopsTheNodeCleanly) {
    for (const char* how : {"SIGTERM", "SIGINT", "end of input"}) {
        TempDir dir;
        NodeProcess node({}, "", dir.Path().string());
        ASSERT_FALSE(node.AwaitEvent("discovery").isNull()) << how;
        if (std::string(how) == "end of input") {
            node.CloseInput();
        } else {
            node.Signal(std::string(how) == "SIGTERM" ? SIGTERM : SIGINT);
        }
        EXPECT_EQ(node.Wait(), 0) << how;
        EXPECT_EQ(node.AwaitEvent("stop")["exitCode"], 0) << how;
        expectOnlyEvents(node);
    }
}

// In namespace "a" the node serves A1 and says so; a peer in "b" that connects is shown
// with its address; the listener commands answer and a removal shows at the next add.
TEST(NodeRunner, InANamespaceTheNodeServesItsNetworkAndShowsItsPeer) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir dir;
    NodeProcess node({"--network", pair.a1 + ",4197"}, pair.a.Name(), dir.Path().string());
    EXPECT_EQ(node.AwaitEvent("listenerAdded"),
              parse(R"({"event":"listenerAdded","address":"10.77.0.1","port":4197})"));
    ASSERT_TRUE(pair.b.Run([&] {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket peer(io);
        boost::system::error_code error;
        peer.connect({boost::asio::ip::make_address(VethPair::AddressA), 4197}, error);
        ASSERT_FALSE(error) << error.message();
        const Json::Value connection = node.AwaitEvent("connection");
        EXPECT_EQ(connection["peer"], "10.77.0.2:" + std::to_string(peer.local_endpoint().port()));
        EXPECT_EQ(connection["connected"], true);
    }));
    node.Send(R"({"cmd":"getendpoints"})");
    EXPECT_EQ(node.AwaitEvent("getendpoints")["endpoints"], parse(R"([{"address":"10.77.0.1","port":4197}])"));
    node.Send(R"({"cmd":"removenetwork","name":")" + pair.a1 + R"(","port":4197})");
    node.Send(R"({"cmd":"addlistener","address":"10.77.0.1","port":4198})");
    EXPECT_EQ(node.AwaitEvent("listenerRemoved"),
              parse(R"({"event":"listenerRemoved","address":"10.77.0.1","port":4197})"));
    EXPECT_EQ(node.AwaitEvent("listenerAdded")["port"], 4198);
    EXPECT_EQ(node.AwaitEvent("addlistener")["result"], 0);
    node.Send(R"({"cmd":"addnetwork","name":7})");
    EXPECT_EQ(node.AwaitEvent("error")["message"], "bad arguments for addnetwork");
    EXPECT_TRUE(node.Send(R"({"cmd":"stop"})"));
    EXPECT_EQ(node.Wait(), 0);
    expectOnlyEvents(node);
}

// A node that serves nothing yet lists its adapters from its first command on, as a
// --network names them: it listed none until its timer's first listen step.
TEST(NodeRunner, ANodeThatServesNothingYetListsItsAdapters) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    TempDir dir;
    NodeProcess node({}, pair.a.Name(), dir.Path().string());
    ASSERT_TRUE(node.Send(R"({"cmd":"listinterfaces"})"));
    const Json::Value interfaces = node.AwaitEvent("listinterfaces")["interfaces"];
    const auto a1 = std::find_if(interfaces.begin(), interfaces.end(),
                                 [&](const Json::Value& entry) { return entry["name"] == pair.a1; });
    ASSERT_NE(a1, interfaces.end()) << interfaces.toStyledString();
    EXPECT_EQ((*a1)["ipv4"], VethPair::AddressA);
    StopCleanly(node);
}

// --help prints the usage on stdout and starts nothing.
TEST(NodeRunner, HelpPrintsTheUsageAndExitsZero) {
    TempDir dir;
    NodeProcess node({"--help"}, "", dir.Path().string());
    EXPECT_TRUE(node.Await([](const Json::Value&) { return false; }, std::chrono::seconds(5)).isNull());
    EXPECT_EQ(node.Wait(), 0);
    ASSERT_FALSE(node.Lines().empty());
    EXPECT_EQ(node.Lines().front(), "Usage: zelkor_node [OPTION]...");
    std::string all;
    for (const auto& line : node.Lines()) {
        all += line + "\n";
    }
    for (const char* option : {"--listen", "--tree", "--route", "--code", "--timer-scale", "--help", "--version"}) {
        EXPECT_NE(all.find(option), std::string::npos) << option;
    }
}

// --version prints the library's version, the one the start line shows, and starts
// nothing; whatever follows it is not read.
TEST(NodeRunner, VersionPrintsTheLibrarysVersionAndExitsZero) {
    TempDir dir;
    NodeProcess node({"--version", "--verbose"}, "", dir.Path().string());
    // Until its output has ended: every line of it read.
    EXPECT_TRUE(node.Await([](const Json::Value&) { return false; }).isNull());
    EXPECT_EQ(node.Wait(), 0);
    ASSERT_EQ(node.Lines().size(), 1u);
    EXPECT_EQ(node.Lines().front().rfind("zelkor_node 1.16.1.26 (package ", 0), 0u) << node.Lines().front();
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "node-files"));
}

// An IPv6 peer is shown as [ADDRESS]:PORT, as options take it.
TEST(NodeRunner, AnIPv6PeerIsShownInBrackets) {
    NetNamespace space("v6peer");
    const std::string place = space.Made() ? space.Name() : "";
    TempDir dir;
    NodeProcess node({"--ipv6", "--listen", "[::1]:4391"}, place, dir.Path().string());
    const Json::Value added = node.AwaitEvent("listenerAdded");
    if (added["address"] != "[::1]") {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    const auto connectOnce = [&] {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket peer(io);
        boost::system::error_code error;
        peer.connect({boost::asio::ip::make_address("::1"), 4391}, error);
        ASSERT_FALSE(error) << error.message();
        const Json::Value connection = node.AwaitEvent("connection");
        EXPECT_EQ(connection["peer"], "[::1]:" + std::to_string(peer.local_endpoint().port()));
    };
    if (space.Made()) {
        ASSERT_TRUE(space.Run(connectOnce));
    } else {
        connectOnce();
    }
    StopCleanly(node);
}

// The first two nodes a new user starts, as examples/node/README.md starts them (the
// timer made faster): the sample tree holds no GUID and the controller's own tree none at
// all, yet the controller finds the device and the two connect.
TEST(NodeRunner, TwoNodesStartedAsTheReadmeSaysFindAndConnectToEachOther) {
    NetNamespace space("first");
    const std::string place = space.Made() ? space.Name() : "";
    const std::string tree = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";
    Node device({"--tree", tree, "--listen", "127.0.0.1:4197", "--timer-scale", kScale}, place);
    Node controller({"--role", "controller", "--listen", "127.0.0.1:4198", "--reply-port", "4198", "--timer-scale",
                     kScale},
                    place);
    const std::string guid = device.process.AwaitEvent("start")["options"]["guid"].asString();
    ASSERT_EQ(guid.size(), 36u);
    const std::string other = controller.process.AwaitEvent("start")["options"]["guid"].asString();
    EXPECT_EQ(other.size(), 36u);
    EXPECT_NE(other, guid);
    ASSERT_FALSE(controller.process
                     .Await([&](const Json::Value& line) {
                         return line["event"] == "device" && line["guid"] == guid && line["state"] == "New";
                     })
                     .isNull());
    ASSERT_TRUE(controller.process.Send(ConnectCommand("127.0.0.1", 4197)));
    EXPECT_FALSE(controller.process
                     .Await([&](const Json::Value& line) {
                         return line["event"] == "security" && line["guid"] == guid;
                     })
                     .isNull());
    EXPECT_FALSE(device.process.Await(ConnectionFrom("127.0.0.1")).isNull());
    StopCleanly(controller.process);
    StopCleanly(device.process);
}

}  // namespace
}  // namespace ZelkorTest
