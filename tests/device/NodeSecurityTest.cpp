// Peer security between nodes in processes of their own over a veth pair (root only, else
// skipped), where a device with a code authorises by it: what a controller with a wrong
// code hears.

#include <gtest/gtest.h>

#include <string>

#include "discovery/NodesTestSupport.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

NodeProcess::Match Tagged(const std::string& event, const std::string& tag) {
    return [=](const Json::Value& line) { return line["event"] == event && line["tag"] == tag; };
}

// A controller with a wrong code hears of it in the answer to each request it sends once
// the proof failed, as it does for those the connection held for the proof: nothing waits
// for ever.
TEST(NodeSecurityOverVeth, EachRequestOfAControllerWithAWrongCodeHearsThatItFailed) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    Node device(Options("device", "amp1", {"--guid", kAmp, "--listen", "10.77.0.1:4197", "--code", "1234"}),
                pair.a.Name());
    Node controller(Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--tls-level", "1", "--code", "9999"}),
                    pair.b.Name());
    ASSERT_FALSE(controller.process.Await(DeviceLine("amp1", "New")).isNull());
    ASSERT_TRUE(controller.process.Send(ConnectCommand("10.77.0.1", 4197)));
    // As a user would: told of the failure, then asking.
    EXPECT_EQ(controller.process.AwaitEvent("authenticate")["error"], "Authentication Failed");
    const std::string guid = R"(","guid":")" + kAmp + R"(",)";
    ASSERT_TRUE(controller.process.Send(R"({"cmd":"get","tag":"g)" + guid +
                                        R"("values":[{"path":"/configuration/device/name"}]})"));
    ASSERT_TRUE(controller.process.Send(R"({"cmd":"set","tag":"s)" + guid +
                                        R"("values":[{"path":"/configuration/device/location","value":"Hall C"}]})"));
    ASSERT_TRUE(controller.process.Send(R"({"cmd":"exec","tag":"e)" + guid + R"("path":"/x","command":"echo"})"));

    const Json::Value get = controller.process.Await(Tagged("get", "g"));
    ASSERT_EQ(get["values"].size(), 1u) << get;
    EXPECT_EQ(get["values"][0]["path"], "/configuration/device/name");
    EXPECT_EQ(get["values"][0]["error"], "Authentication Failed");
    EXPECT_FALSE(get["values"][0].isMember("value"));
    EXPECT_EQ(controller.process.Await(Tagged("set", "s"))["values"][0]["error"], "Authentication Failed");
    const Json::Value exec = controller.process.Await(Tagged("exec", "e"));
    EXPECT_EQ(exec["success"], false);
    EXPECT_EQ(exec["result"], "Authentication Failed");
    StopCleanly(controller.process);
    StopCleanly(device.process);
}

}  // namespace
}  // namespace ZelkorTest
