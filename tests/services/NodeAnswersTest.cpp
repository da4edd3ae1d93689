// Requests asked of a device across outages, between node processes: while the device or
// the router that reaches it is frozen and then killed, while it is down, and once it is
// back. Each get, exec and raw line the controller's runner tells in a "request" line is
// answered by exactly one line, with a value or with why not ("connection lost", "Device
// not connected", a router's refusal), and a router's refusal names the paths that were
// asked, never an entry without path. Each wait is bounded by a deadline.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>

#include "discovery/NodesTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;

const std::string kTree = std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json";
const std::set<std::string> kPaths{"/audio/gain", "/configuration/device/name"};

Json::Value Parse(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    return value;
}

// The controller's requests of every kind that a callback answers, each with a tag of its
// own, and the lines that answer them.
class Asked {
public:
    explicit Asked(NodeProcess& controller) : _controller(controller) {}

    // One get of two paths, one exec and one raw get.
    void Round() {
        const std::string n = std::to_string(_rounds++);
        const std::string guid = R"("guid":")" + kAmp + R"(")";
        _controller.Send(R"({"cmd":"get",)" + guid + R"(,"tag":"g)" + n +
                         R"(","values":[{"path":"/audio/gain"},{"path":"/configuration/device/name"}]})");
        _controller.Send(R"({"cmd":"exec",)" + guid + R"(,"tag":"e)" + n + R"(","path":"/x","command":"echo",)"
                         R"("arguments":"hi"})");
        _controller.Send(R"({"cmd":"raw",)" + guid + R"(,"tag":"r)" + n +
                         R"(","line":"get {\"path\":\"/audio/gain\"}"})");
    }

    // What the controller's lines tell so far: the tags told in "request" lines, the
    // requests refused for a device no longer listed (error lines), the answers by tag.
    struct Seen {
        std::set<std::string> told;
        std::size_t refused = 0;
        std::map<std::string, std::vector<Json::Value>> answers;

        std::set<std::string> Unanswered() const {
            std::set<std::string> left = told;
            for (const auto& answer : answers) {
                left.erase(answer.first);
            }
            return left;
        }
    };
    Seen Scan() const {
        Seen seen;
        for (const auto& text : _controller.Lines()) {
            const Json::Value line = Parse(text);
            const std::string event = line["event"].asString();
            const std::string tag = line["tag"].asString();
            if (event == "request" && !tag.empty() && std::string("ger").find(tag[0]) != std::string::npos) {
                seen.told.insert(tag);
            } else if (event == "error" && line["message"].asString().rfind("no device ", 0) == 0) {
                ++seen.refused;
            } else if ((event == "get" && tag[0] == 'g') || (event == "exec" && line["reply"] == true && tag[0] == 'e') ||
                       (event == "raw" && tag[0] == 'r')) {
                seen.answers[tag].push_back(line);
            }
        }
        return seen;
    }

    // Waits until every request sent is told (a command waits a while for a connect in
    // progress) and, with `answered`, every one told has an answer; false at the deadline.
    bool AllAnswered(std::chrono::milliseconds deadline = 30s, bool answered = true) {
        const auto until = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            const Seen seen = Scan();
            const bool allTold = seen.told.size() + seen.refused == 3u * _rounds;
            if (allTold && (!answered || seen.Unanswered().empty())) {
                return true;
            }
            if (std::chrono::steady_clock::now() > until) {
                std::string left;
                for (const auto& tag : seen.Unanswered()) {
                    left += " " + tag;
                }
                ADD_FAILURE() << "told " << seen.told.size() + seen.refused << " of " << 3 * _rounds
                              << ", unanswered:" << left;
                return false;
            }
            // Reading on: the wait takes the lines as they come, whatever they are.
            _controller.Await([](const Json::Value&) { return true; }, 200ms);
        }
    }
    bool AllTold() { return AllAnswered(30s, false); }

    // The answer of the latest round's get, once every request is answered.
    Json::Value LastGet() const {
        const Seen seen = Scan();
        const auto found = seen.answers.find("g" + std::to_string(_rounds - 1));
        return found == seen.answers.end() ? Json::Value() : found->second.front();
    }
    std::map<std::string, std::vector<Json::Value>> Answers() const { return Scan().answers; }

    // Every tag told was answered once and nothing else was, and each get answered the
    // paths it asked for, each with a value or an error.
    void ExpectEachAnsweredOnce() const {
        const Seen seen = Scan();
        EXPECT_TRUE(seen.Unanswered().empty());
        for (const auto& [tag, lines] : seen.answers) {
            EXPECT_EQ(seen.told.count(tag), 1u) << tag << " answered, never asked";
            EXPECT_EQ(lines.size(), 1u) << tag << " answered " << lines.size() << " times";
            if (tag[0] != 'g') {
                continue;
            }
            std::set<std::string> paths;
            for (const auto& entry : lines.front()["values"]) {
                paths.insert(entry["path"].asString());
                EXPECT_TRUE(entry.isMember("value") || entry.isMember("error")) << entry;
            }
            EXPECT_EQ(paths, kPaths) << tag << ": " << lines.front();
        }
    }

    int Rounds() const { return _rounds; }

private:
    NodeProcess& _controller;
    int _rounds = 0;
};

// The error every entry of a get answer carries ("" when one has a value).
std::set<std::string> Errors(const Json::Value& get) {
    std::set<std::string> errors;
    for (const auto& entry : get["values"]) {
        errors.insert(entry["error"].asString());
    }
    return errors;
}

bool Served(const Json::Value& get) { return Errors(get) == std::set<std::string>{""}; }

// Rounds of requests until a get is served, each round answered before the next; false
// at the deadline.
bool AskUntilServed(Asked& asked, std::chrono::milliseconds deadline = 60s) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        asked.Round();
        if (!asked.AllAnswered()) {
            return false;
        }
        if (Served(asked.LastGet())) {
            return true;
        }
        // Paced, not waited on: a refused round is answered at once.
        std::this_thread::sleep_for(250ms);
    }
    return false;
}

// A connection that was made closed (a connect that failed is told with "outgoing" true).
NodeProcess::Match ConnectionClosed() {
    return [](const Json::Value& line) {
        return line["event"] == "connection" && line["connected"] == false && line["outgoing"] == false;
    };
}

// A device and a controller on one host, the controller connected to it. The device is
// frozen with requests waiting and killed: each hears "connection lost". Requests made
// while it is gone hear "Device not connected" at once, a transfer "no connection for
// transfer". Started again and connected, it serves the next requests.
TEST(NodeAnswers, RequestsAcrossADirectDisconnectAreEachAnsweredOnce) {
    NetNamespace space{"answers"};
    const std::string place = space.Made() ? space.Name() : "";
    const auto deviceOptions = Options("device", "amp1", {"--guid", kAmp, "--tree", kTree, "--listen", "127.0.0.1:4197"});
    auto device = std::make_unique<Node>(deviceOptions, place);
    // Unscaled: the device stays listed while it is gone.
    Node controller({"--role", "controller", "--name", "ctl1", "--listen", "127.0.0.1:4198", "--reply-port", "4198"},
                    place);
    NodeProcess& ctl = controller.process;
    ASSERT_FALSE(device->process.AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_FALSE(ctl.Await(Answered("amp1", 1), 20s).isNull());
    Asked asked(ctl);
    asked.Round();
    ASSERT_TRUE(asked.AllAnswered());
    EXPECT_TRUE(Served(asked.LastGet())) << asked.LastGet();

    ASSERT_TRUE(device->process.Signal(SIGSTOP));
    asked.Round();
    asked.Round();
    // Sent on the connection before it ends: the controller takes its commands in turn.
    ASSERT_TRUE(asked.AllTold());
    ASSERT_TRUE(device->process.Signal(SIGKILL));
    ASSERT_FALSE(ctl.Await(ConnectionClosed(), 20s).isNull());
    ASSERT_TRUE(asked.AllAnswered());
    EXPECT_EQ(Errors(asked.LastGet()), std::set<std::string>{"connection lost"}) << asked.LastGet();
    const auto lost = asked.Answers();
    EXPECT_EQ(lost.at("e2")[0]["result"], "connection lost");
    EXPECT_EQ(lost.at("r2")[0]["text"], R"(@get {"error":"connection lost","path":"/audio/gain"})");

    asked.Round();
    ASSERT_TRUE(ctl.Send(R"({"cmd":"recvfile","guid":")" + kAmp + R"(","local":")" + controller.dir.File("got") +
                         R"(","remote":"none","tag":"down"})"));
    ASSERT_TRUE(asked.AllAnswered());
    EXPECT_EQ(Errors(asked.LastGet()), std::set<std::string>{"Device not connected"}) << asked.LastGet();
    const auto down = asked.Answers();
    EXPECT_EQ(down.at("e3")[0]["result"], "Device not connected");
    EXPECT_EQ(down.at("e3")[0]["success"], false);
    EXPECT_EQ(down.at("r3")[0]["text"], R"(@get {"error":"Device not connected","path":"/audio/gain"})");
    EXPECT_EQ(ctl.AwaitEvent("recvfile", 20s)["text"], "no connection for transfer");

    device = std::make_unique<Node>(deviceOptions, place);
    ASSERT_FALSE(device->process.AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    EXPECT_TRUE(AskUntilServed(asked));
    StopCleanly(ctl);
    asked.ExpectEachAnsweredOnce();
    StopCleanly(device->process);
}

// With a reply time-out, requests to a device that froze are answered "timeout" while its
// connection stays; thawed, it answers them late, to nobody, and serves the next ones.
TEST(NodeAnswers, RequestsToAFrozenDeviceAreAnsweredAtTheReplyTimeOut) {
    NetNamespace space{"timeout"};
    const std::string place = space.Made() ? space.Name() : "";
    Node device(Options("device", "amp1", {"--guid", kAmp, "--tree", kTree, "--listen", "127.0.0.1:4197"}), place);
    Node controller({"--role", "controller", "--name", "ctl1", "--listen", "127.0.0.1:4198", "--reply-port", "4198",
                     "--reply-timeout", "1000"},
                    place);
    NodeProcess& ctl = controller.process;
    ASSERT_FALSE(device.process.AwaitEvent("listenerAdded").isNull());
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_FALSE(ctl.Await(Answered("amp1", 1), 20s).isNull());
    Asked asked(ctl);
    asked.Round();
    ASSERT_TRUE(asked.AllAnswered());

    ASSERT_TRUE(device.process.Signal(SIGSTOP));
    asked.Round();
    ASSERT_TRUE(asked.AllAnswered());
    EXPECT_EQ(Errors(asked.LastGet()), std::set<std::string>{"timeout"}) << asked.LastGet();
    const auto answers = asked.Answers();
    EXPECT_EQ(answers.at("e1")[0]["result"], "timeout");
    EXPECT_EQ(answers.at("r1")[0]["text"], R"(@get {"error":"timeout","path":"/audio/gain"})");

    ASSERT_TRUE(device.process.Signal(SIGCONT));
    EXPECT_TRUE(AskUntilServed(asked));
    StopCleanly(ctl);
    asked.ExpectEachAnsweredOnce();
    for (const auto& text : ctl.Lines()) {
        EXPECT_EQ(text.find(R"("connected":false)"), std::string::npos) << text;
    }
    StopCleanly(device.process);
}

// Three processes as a routed controller meets them: the device serves the loopback of
// namespace a, the router there reaches it by a static route, the controller in b reaches
// the router by its own. Each is started with its GUID fixed, as a unit keeps it.
struct Routed {
    Routed() {
        if (!pair.Missing().empty()) {
            return;
        }
        StartDevice();
        StartRouter();
    }
    void StartDevice() { device = std::make_unique<Node>(DeviceOptions(), pair.a.Name()); }
    void StartRouter() { router = std::make_unique<Node>(RouterOptions(), pair.a.Name()); }
    static std::vector<std::string> DeviceOptions() {
        return Options("device", "amp1", {"--guid", kAmp, "--tree", kTree, "--listen", "127.0.0.1:4197"});
    }
    static std::vector<std::string> RouterOptions() {
        return Options("router", "rt1",
                       {"--guid", "3d2c1b0a-9f8e-4d7c-8b6a-5f4e3d2c1b0a", "--listen", "10.77.0.1:4197", "--route",
                        "127.0.0.1,4197"});
    }
    // Until the controller serves a get of the device through the router.
    bool Reached(Asked& asked) {
        return !controller->process.Await(DeviceLine("amp1", "New"), 30s).isNull() &&
               controller->process.Send(ConnectCommand("127.0.0.1", 4197)) && AskUntilServed(asked);
    }

    VethPair pair;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
    // Unscaled, so that the device stays listed while its router is gone; its static
    // route brings the router back.
    std::unique_ptr<Node> controller = pair.Missing().empty()
                                           ? std::make_unique<Node>(std::vector<std::string>{"--role", "controller",
                                                                                             "--name", "ctl1",
                                                                                             "--listen",
                                                                                             "10.77.0.2:4197",
                                                                                             "--route",
                                                                                             "10.77.0.1,4197"},
                                                                    pair.b.Name())
                                           : nullptr;
};

// The device behind the router freezes with a request passed on to it, and is killed:
// the router answers that request "connection lost" (or, should it come after the router
// saw the device go, refuses it), and refuses what the controller asks after. A refusal
// reaches the controller as the error of every path it asked for, of its exec and of its
// raw line. Started again, the device is served again.
TEST(NodeAnswersRouted, ADeviceGoneBehindTheRouterIsAnsweredOnEveryPathAsked) {
    Routed nodes;
    if (!nodes.pair.Missing().empty()) {
        GTEST_SKIP() << nodes.pair.Missing();
    }
    Asked asked(nodes.controller->process);
    ASSERT_TRUE(nodes.Reached(asked));

    ASSERT_TRUE(nodes.device->process.Signal(SIGSTOP));
    asked.Round();
    ASSERT_TRUE(asked.AllTold());
    ASSERT_TRUE(nodes.device->process.Signal(SIGKILL));
    ASSERT_TRUE(asked.AllAnswered());
    const std::set<std::string> gone{"connection lost", "Device not connected", "Device not found"};
    const std::set<std::string> lost = Errors(asked.LastGet());
    ASSERT_EQ(lost.size(), 1u) << asked.LastGet();
    EXPECT_EQ(gone.count(*lost.begin()), 1u) << asked.LastGet();

    // Asked once the router knows: what it refuses, not what it passed on before.
    ASSERT_FALSE(nodes.router->process.Await(DeviceLine("amp1", "Disconnected"), 20s).isNull());
    asked.Round();
    ASSERT_TRUE(asked.AllAnswered());
    const std::string n = std::to_string(asked.Rounds() - 1);
    const auto answers = asked.Answers();
    const std::set<std::string> refusal = Errors(asked.LastGet());
    ASSERT_EQ(refusal.size(), 1u) << asked.LastGet();
    EXPECT_TRUE(*refusal.begin() == "Device not connected" || *refusal.begin() == "Device not found")
        << asked.LastGet();
    EXPECT_EQ(answers.at("e" + n)[0]["success"], false);
    EXPECT_EQ(answers.at("e" + n)[0]["result"], *refusal.begin());
    EXPECT_NE(answers.at("r" + n)[0]["text"].asString().find(*refusal.begin()), std::string::npos);

    nodes.StartDevice();
    EXPECT_TRUE(AskUntilServed(asked));
    StopCleanly(nodes.controller->process);
    asked.ExpectEachAnsweredOnce();
}

// The router is frozen with requests waiting and killed, then started again: the waiting
// requests hear "connection lost", those made while it is gone "Device not connected", and
// once the controller's static route has brought it back the device is served again.
TEST(NodeAnswersRouted, RequestsAcrossARouterRestartAreEachAnsweredOnce) {
    Routed nodes;
    if (!nodes.pair.Missing().empty()) {
        GTEST_SKIP() << nodes.pair.Missing();
    }
    NodeProcess& ctl = nodes.controller->process;
    Asked asked(ctl);
    ASSERT_TRUE(nodes.Reached(asked));

    ASSERT_TRUE(nodes.router->process.Signal(SIGSTOP));
    asked.Round();
    asked.Round();
    ASSERT_TRUE(asked.AllTold());
    ASSERT_TRUE(nodes.router->process.Signal(SIGKILL));
    ASSERT_FALSE(ctl.Await(ConnectionClosed(), 20s).isNull());
    ASSERT_TRUE(asked.AllAnswered());
    EXPECT_EQ(Errors(asked.LastGet()), std::set<std::string>{"connection lost"}) << asked.LastGet();

    asked.Round();
    ASSERT_TRUE(asked.AllAnswered());
    EXPECT_EQ(Errors(asked.LastGet()), std::set<std::string>{"Device not connected"}) << asked.LastGet();

    nodes.StartRouter();
    EXPECT_TRUE(AskUntilServed(asked, 90s));
    StopCleanly(ctl);
    asked.ExpectEachAnsweredOnce();
}

}  // namespace
}  // namespace ZelkorTest
