#pragma once
// Node processes that subscribe, poll, log and raise events through the runner: the options
// of a device node serving the sample tree and of controller nodes, over plain connections
// or over TLS with the code they share; command lines; matchers of the callback lines; and
// the lines a node wrote between two points, to tell that nothing came.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include "discovery/NodesTestSupport.h"
#include "support/NetNamespace.h"
#include "support/NodeProcess.h"

namespace ZelkorTest {

inline const std::string kSampleTreeFile = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";
inline const char* const kSharedCode = "alpha";

// With `tls`, the node asks for TLS on the connections it makes and holds the shared code.
inline std::vector<std::string> WithTls(bool tls, std::vector<std::string> arguments) {
    if (tls) {
        arguments.insert(arguments.end(), {"--tls-level", "1", "--code", kSharedCode});
    }
    return arguments;
}

// A device node serving the sample tree on `listen`.
inline std::vector<std::string> SampleDeviceOptions(bool tls, const std::string& name = "amp1",
                                                    const std::string& guid = kAmp,
                                                    const std::string& listen = "127.0.0.1:4197",
                                                    std::vector<std::string> more = {}) {
    std::vector<std::string> arguments{"--guid", guid, "--tree", kSampleTreeFile, "--listen", listen};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Options("device", name, WithTls(tls, std::move(arguments)));
}

// A controller node serving 127.0.0.1:PORT, where its discovery requests are answered.
inline std::vector<std::string> ControllerOptions(bool tls, const std::string& name, unsigned short port,
                                                  std::vector<std::string> more = {}) {
    const std::string number = std::to_string(port);
    std::vector<std::string> arguments{"--listen", "127.0.0.1:" + number, "--reply-port", number};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Options("controller", name, WithTls(tls, std::move(arguments)));
}

// {"cmd":CMD[,MEMBERS]}, MEMBERS the members of a JSON object as text.
inline std::string NodeCommand(const std::string& cmd, const std::string& members = "") {
    return R"({"cmd":")" + cmd + "\"" + (members.empty() ? "" : "," + members) + "}";
}

// {"cmd":CMD,"guid":GUID[,MEMBERS]}: a request to a listed device.
inline std::string DeviceCommand(const std::string& cmd, const std::string& guid, const std::string& members = "") {
    return NodeCommand(cmd, R"("guid":")" + guid + "\"" + (members.empty() ? "" : "," + members));
}

// A line `event` about the device `guid` (a callback line) that `also` accepts too.
inline NodeProcess::Match LineAbout(const std::string& event, const std::string& guid,
                                    std::function<bool(const Json::Value&)> also = {}) {
    return [=](const Json::Value& line) {
        return line["event"] == event && line["guid"] == guid && (!also || also(line));
    };
}

// A line `event` whose `member` is `value`.
inline NodeProcess::Match LineWith(const std::string& event, const std::string& member, const Json::Value& value) {
    return [=](const Json::Value& line) { return line["event"] == event && line[member] == value; };
}

inline std::string CompactJson(const Json::Value& value) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, value);
}

// A "values" list, each entry PATH=VALUE (compact JSON) or PATH!ERROR, with "(FORMAT)"
// after the path for a format other than "variant", in the order given.
inline std::string ValueEntries(const Json::Value& values) {
    std::string text;
    for (const auto& entry : values) {
        text += (text.empty() ? "" : " ") + entry["path"].asString();
        if (entry.isMember("format") && entry["format"] != "variant") {
            text += "(" + entry["format"].asString() + ")";
        }
        text += entry.isMember("error") ? "!" + entry["error"].asString() : "=" + CompactJson(entry["value"]);
    }
    return text;
}

// Connects the controller to the device at ADDRESS:PORT; true once its "security" line
// names the device (authenticated over TLS).
inline bool ConnectTo(NodeProcess& controller, const std::string& address, unsigned short port,
                      const std::string& guid, bool tls) {
    if (!controller.Send(ConnectCommand(address, port))) {
        return false;
    }
    return !controller
                .Await([&](const Json::Value& line) {
                    return line["event"] == "security" && line["guid"] == guid && line["authenticated"] == tls;
                })
                .isNull();
}

// A controller in namespace b of `pair` that reaches the device "amp1" (served on
// 127.0.0.1:4197 in namespace a) through the router "rt1" on AddressA:4197; `port` is the
// one it serves and is answered discovery on; `more`, further options of its own;
// `scale`, its timer scale.
inline std::unique_ptr<Node> RoutedController(const VethPair& pair, const std::string& name, unsigned short port,
                                              std::vector<std::string> more = {}, const char* scale = kScale) {
    const std::string number = std::to_string(port);
    std::vector<std::string> arguments{"--listen", std::string(VethPair::AddressB) + ":" + number, "--reply-port",
                                       number, "--route", std::string(VethPair::AddressA) + ",4197"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    auto node = std::make_unique<Node>(Options("controller", name, std::move(arguments), scale), pair.b.Name());
    NodeProcess& process = node->process;
    // The device is known only once the router has connected to it and listed it: under
    // load that takes longer than a single wait's default.
    EXPECT_EQ(process.Await(DeviceLine("amp1", "New"), std::chrono::seconds(30))["proxy"], "rt1") << name;
    EXPECT_TRUE(process.Send(ConnectCommand("127.0.0.1", 4197)));
    EXPECT_EQ(process.Await(DeviceLine("amp1", "Connected"), std::chrono::seconds(30))["proxy"], "rt1") << name;
    return node;
}

// Whether `node` has listed the device `name` by the deadline, whichever lines it awaited.
inline bool Listed(const NodeProcess& node, const std::string& name,
                   std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    const std::string named = "\"name\":\"" + name + "\"";
    while (std::chrono::steady_clock::now() < until) {
        for (const auto& line : node.Lines()) {
            if (line.find("\"event\":\"device\"") != std::string::npos && line.find(named) != std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// The "event" names of the lines the node wrote from line `from` on (an index into
// Lines()), up to and without the first line that `end` accepts.
inline std::vector<std::string> EventsBetween(const NodeProcess& node, std::size_t from,
                                              const NodeProcess::Match& end) {
    std::vector<std::string> events;
    const auto& lines = node.Lines();
    for (std::size_t index = from; index < lines.size(); ++index) {
        Json::Value line;
        std::string errors;
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        const std::string& text = lines[index];
        if (!reader->parse(text.data(), text.data() + text.size(), &line, &errors)) {
            continue;
        }
        if (end(line)) {
            break;
        }
        events.push_back(line["event"].asString());
    }
    return events;
}

// The lines `node` wrote from line `from` on (an index into Lines()) that `match`
// accepts, as it has written them so far.
inline std::vector<Json::Value> LinesOf(const NodeProcess& node, const NodeProcess::Match& match,
                                        std::size_t from = 0) {
    std::vector<Json::Value> found;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const auto lines = node.Lines();
    for (std::size_t index = from; index < lines.size(); ++index) {
        Json::Value line;
        std::string errors;
        const std::string& text = lines[index];
        if (reader->parse(text.data(), text.data() + text.size(), &line, &errors) && match(line)) {
            found.push_back(std::move(line));
        }
    }
    return found;
}

// Until `node` has written a line that `match` accepts, whatever it writes between;
// false at the deadline.
inline bool Wrote(NodeProcess& node, const NodeProcess::Match& match, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (LinesOf(node, match).empty()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        node.Await([](const Json::Value&) { return true; }, std::chrono::milliseconds(200));
    }
    return true;
}

// The command to the node, and its answer line `event` about the device; null when none came.
inline Json::Value Ask(NodeProcess& node, const std::string& command, const std::string& event) {
    return node.Send(command) ? node.Await(LineAbout(event, kAmp)) : Json::Value();
}

// A "write" of `value` (JSON text) to `path` on a device node.
inline std::string Write(const std::string& path, const std::string& value) {
    return NodeCommand("write", R"("path":")" + path + R"(","value":)" + value);
}

// A round trip to the device: a tagged "get" of one path, its reply awaited. Every line the
// device sent before the reply has then been read, so the events from line `from` on up
// to it are all the device sent until then. Empty when the reply does not come: the
// caller's check then fails.
inline std::vector<std::string> EventsUntilRoundTrip(NodeProcess& controller, const std::string& guid,
                                                     std::size_t from, const std::string& tag) {
    const auto reply = LineWith("get", "tag", tag);
    if (!controller.Send(DeviceCommand("get", guid, R"("tag":")" + tag + R"(","values":[{"path":"/audio/gain"}])")) ||
        controller.Await(reply).isNull()) {
        return {"no reply to " + tag};
    }
    return EventsBetween(controller, from, reply);
}

}  // namespace ZelkorTest
