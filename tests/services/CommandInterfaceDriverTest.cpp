// The command interface inside the driver: made once however often it is asked for,
// answering "exec" over a real connection, and keeping the order of exec and raw exec
// requests the driver sends on one, until the connection goes.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "services/CommandInterfaceService.h"
#include "support/DriverHarness.h"
#include "storage/RequestBound.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

// Calls arrive on the loop; the test thread reads them.
struct Heard {
    void Add(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        texts.push_back(text);
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex);
        return texts;
    }
    std::size_t Count() { return Texts().size(); }

    std::mutex mutex;
    std::vector<std::string> texts;
};

TEST(CommandInterfaceDriver, ASecondInitReturnsTheFirstWhoseWordStillWorks) {
    DriverHarness harness;
    EXPECT_EQ(harness.driver->GetCommandInterfaceService(), nullptr);
    Zelkor::ICommandInterfaceService* service = harness.driver->InitCommandInterface();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(harness.driver->InitCommandInterface(), service);
    EXPECT_EQ(harness.driver->GetCommandInterfaceService(), service);
    service->OnExecOrderedParams([](const std::string&, const std::string&, const std::vector<std::string>& args,
                                    std::string& result) {
        for (const auto& arg : args) {
            result += arg;
        }
        return true;
    });
    harness.Start();
    EXPECT_EQ(harness.driver->InitCommandInterface(), service);

    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    peer.Send("exec {\"command\":\"echo\",\"arguments\":[\"a\",\"b\"],\"requestid\":\"1\"}\n");
    EXPECT_EQ(peer.ReadLine(),
              "@exec {\"command\":\"echo\",\"path\":\"\",\"requestid\":\"1\",\"result\":\"ab\",\"status\":\"true\"}\n");
}

TEST(CommandInterfaceDriver, RawAndPlainExecOnAConnectionMeetTheirRepliesUntilItCloses) {
    DriverHarness harness;
    Zelkor::ICommandInterfaceService* service = harness.driver->InitCommandInterface();
    harness.Start();
    RawPeer peer;
    const auto socket = harness.Connect(peer);
    ASSERT_TRUE(socket);
    void* const handle = Zelkor::ZelkorDriver::HandleOf(socket.get());

    Heard heard;
    const auto record = [&heard](const std::string& name) {
        return [&heard, name](const std::string& path, const std::string& command, bool success,
                              const std::string& result, const std::string&) {
            heard.Add(name + ":" + path + "|" + command + "|" + (success ? "ok" : "fail") + "|" + result);
        };
    };
    Zelkor::MessageForwardInfo header;
    service->SendExecCommand(handle, "/p", "a", std::string(), header, "", record("A"));
    harness.driver->SendRawCommand(
        handle, "  exec {\"command\":\"r\"}", header, [&heard](const std::string& text) { heard.Add("R:" + text); },
        [&heard](bool taken) { heard.Add(taken ? "sent" : "not sent"); });
    service->SendExecCommand(handle, "/p", "b", std::string(), header, "", record("B"));
    // The connection holds each request until the one before it is answered.
    EXPECT_EQ(peer.ReadLine(), "exec {\"command\":\"a\",\"path\":\"/p\"}\n");
    peer.Send("@exec {\"command\":\"a\",\"status\":\"true\"}\n");
    EXPECT_EQ(peer.ReadLine(), "exec {\"command\":\"r\"}\n");
    peer.Send("@exec {\"command\":\"r\",\"status\":\"true\"}\n");
    EXPECT_EQ(peer.ReadLine(), "exec {\"command\":\"b\",\"path\":\"/p\"}\n");
    peer.Send("@exec {\"error\":\"Device not found\"}\n");
    ASSERT_TRUE(WaitUntil([&heard] { return heard.Count() >= 4; }));
    EXPECT_EQ(heard.Texts(), (std::vector<std::string>{"sent", "A:|a|ok|", "R:@exec {\"command\":\"r\",\"status\":\"true\"}",
                                                       "B:||fail|Device not found"}));

    // A reply the reader refuses still answers its request.
    Zelkor::SetMaxEntriesPerMessage(1);
    service->SendExecCommand(handle, "/p", "e", std::string(), header, "", record("E"));
    EXPECT_EQ(peer.ReadLine(), "exec {\"command\":\"e\",\"path\":\"/p\"}\n");
    peer.Send("@exec {\"arguments\":[\"1\",\"2\"]}\n");
    ASSERT_TRUE(WaitUntil([&heard] { return heard.Count() >= 5; }));
    Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage);
    EXPECT_EQ(heard.Texts()[4], "E:||fail|Too many entries");

    // Two waiting when the connection goes, one on the wire and one held by the
    // connection: both hear of it.
    service->SendExecCommand(handle, "/p", "c", std::string(), header, "", record("C"));
    service->SendExecCommand(handle, "/p", "d", std::string(), header, "", record("D"));
    EXPECT_EQ(peer.ReadLine(), "exec {\"command\":\"c\",\"path\":\"/p\"}\n");
    harness.OnLoop([&socket] { socket->Close(); });
    ASSERT_TRUE(WaitUntil([&heard] { return heard.Count() >= 7; }));
    const auto texts = heard.Texts();
    EXPECT_EQ(texts[5], "C:/||fail|connection lost");
    EXPECT_EQ(texts[6], "D:/||fail|connection lost");

    // A raw exec line on the closed connection is not sent, and says so.
    harness.driver->SendRawCommand(handle, "exec {\"command\":\"late\"}", header, nullptr,
                                   [&heard](bool taken) { heard.Add(taken ? "sent" : "not sent"); });
    ASSERT_TRUE(WaitUntil([&heard] { return heard.Count() >= 8; }));
    EXPECT_EQ(heard.Texts()[7], "not sent");
}

}  // namespace
}  // namespace ZelkorTest
