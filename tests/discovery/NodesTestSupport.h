#pragma once
// Node runners in processes of their own, as the process tests start and drive them: each
// with a working folder of its own and its discovery timer twenty times faster, so that
// each period is a fraction of a second; the event lines they wait for.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/NodeProcess.h"
#include "support/TempDir.h"

namespace ZelkorTest {

inline const char* const kScale = "20";
inline const std::string kAmp = "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13";

// A node runner with a working folder of its own (it keeps its event log there).
struct Node {
    explicit Node(const std::vector<std::string>& arguments, const std::string& netns = "")
        : process(arguments, netns, dir.Path().string()) {}

    TempDir dir;
    NodeProcess process;
};

// `scale`: the timer scale, kScale unless a test needs the bounds as a node runs them.
inline std::vector<std::string> Options(const std::string& role, const std::string& name,
                                        std::vector<std::string> more, const char* scale = kScale) {
    std::vector<std::string> arguments{"--role", role, "--name", name, "--timer-scale", scale};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

inline NodeProcess::Match DeviceLine(const std::string& name, const std::string& state) {
    return [=](const Json::Value& line) {
        return line["event"] == "device" && line["name"] == name && line["state"] == state;
    };
}

// The device answered at least `count` requests on its connection, keep-alives among them.
inline NodeProcess::Match Answered(const std::string& name, unsigned count) {
    return [=](const Json::Value& line) {
        return line["event"] == "alive" && line["name"] == name && line["answered"].asUInt() >= count;
    };
}

inline NodeProcess::Match ConnectionFrom(const std::string& address) {
    return [=](const Json::Value& line) {
        return line["event"] == "connection" && line["connected"] == true &&
               line["peer"].asString().rfind(address + ":", 0) == 0;
    };
}

inline std::string ConnectCommand(const std::string& address, unsigned short port) {
    return R"({"cmd":"connect","address":")" + address + R"(","port":)" + std::to_string(port) + "}";
}

inline void StopCleanly(NodeProcess& node) {
    EXPECT_TRUE(node.Send(R"({"cmd":"stop"})"));
    EXPECT_EQ(node.Wait(), 0);
}

}  // namespace ZelkorTest
