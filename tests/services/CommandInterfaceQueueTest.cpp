// The controller side of "exec": on each connection the replies meet the lines that went
// out in order, exec and raw alike; a line the connection refused holds no place; a lost
// connection answers its exec handlers and leaves nothing to a later connection.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "services/CommandInterfaceTestSupport.h"
#include "storage/RequestBound.h"

namespace ZelkorTest {
namespace {

TEST_F(CommandInterfaceTest, RepliesMeetTheirRequestsInOrderPerConnection) {
    Exec(first, "a", Record("A"), "1");
    Exec(second, "x", Record("X"));
    Exec(first, "b", Record("B"), "2");
    Receive(second, "@exec {\"command\":\"x\",\"path\":\"/p\",\"status\":\"true\"}\n");
    Receive(first, "@exec {\"command\":\"a\",\"path\":\"/p\",\"status\":\"true\",\"requestid\":\"1\"}\n");
    Receive(first, "@exec {\"command\":\"b\",\"path\":\"/p\",\"status\":\"false\",\"requestid\":\"2\"}\n");
    EXPECT_EQ(calls, (std::vector<std::string>{"X:/p|x|ok||", "A:/p|a|ok||1", "B:/p|b|fail||2"}));
    EXPECT_EQ(Texts()[0], "exec {\"command\":\"a\",\"path\":\"/p\",\"requestid\":\"1\"}\n");

    // Nothing waits any more: the default takes it, else it is dropped.
    calls.clear();
    Answer(first, "late");
    service.OnExecResult(Record("D"));
    Answer(first, "late");
    EXPECT_EQ(calls, std::vector<std::string>{OkCall("D", "late")});
    EXPECT_TRUE(log.Contains("ZK5703W Exec reply has no handler"));
    EXPECT_TRUE(log.Contains("ZK5704I Exec reply has default handler"));
}

TEST_F(CommandInterfaceTest, ExecAndRawExecShareOneQueueInSendingOrder) {
    Exec(first, "a", Record("A"));
    service.SendRawExecLine(first, "exec {\"command\":\"r\"}\n", RecordRaw("R"));
    Exec(first, "b", Record("B"));
    Answer(first, "a");
    Receive(first, "@exec {\"command\":\"r\",\"status\":\"true\"}\n");
    Answer(first, "b");
    EXPECT_EQ(calls, (std::vector<std::string>{OkCall("A", "a"), "R:@exec {\"command\":\"r\",\"status\":\"true\"}",
                                               OkCall("B", "b")}));
    EXPECT_EQ(Texts()[1], "exec {\"command\":\"r\"}\n");
    EXPECT_TRUE(log.Contains("ZK5705I Exec reply has raw handler"));
}

TEST_F(CommandInterfaceTest, AnEmptyHandlerHoldsACopyOfTheDefaultTakenAtTheCall) {
    service.OnExecResult(Record("D1"));
    Exec(first, "a", nullptr);
    service.OnExecResult(Record("D2"));
    Exec(first, "b", nullptr);
    service.OnExecResult(nullptr);
    Exec(first, "c", nullptr);
    service.SetRawReplyHandler(first, nullptr);
    Answer(first, "a");
    Answer(first, "b");
    // Empty places: no default now, so the replies go nowhere, but take their places.
    Answer(first, "c");
    Answer(first, "r");
    service.OnExecResult(Record("D3"));
    Exec(first, "d", nullptr);
    Answer(first, "d");
    EXPECT_EQ(calls, (std::vector<std::string>{OkCall("D1", "a"), OkCall("D2", "b"), OkCall("D3", "d")}));
    EXPECT_TRUE(log.Contains("ZK5708W Exec reply has null handler"));
    EXPECT_TRUE(log.Contains("ZK5706W Exec reply has no handler"));
}

TEST_F(CommandInterfaceTest, ALineTheConnectionRefusedHoldsNoPlace) {
    sender.SetAccept([](void*, const std::string& line) { return line.find("\"refused") == std::string::npos; });
    std::vector<bool> rawSent;
    Exec(first, "a", Record("A"));
    Exec(first, "refused-exec", Record("F"));
    service.SendRawExecLine(first, "exec {\"command\":\"refused-raw\"}\n", RecordRaw("G"),
                            [&rawSent](bool taken) { rawSent.push_back(taken); });
    service.SendRawExecLine(first, "exec {\"command\":\"r\"}\n", RecordRaw("R"),
                            [&rawSent](bool taken) { rawSent.push_back(taken); });
    Exec(first, "b", Record("B"));
    // Each refused line hears of it as of a lost connection: the exec as its result, the
    // raw handler as the line's refusal.
    EXPECT_EQ(calls, (std::vector<std::string>{LostCall("F"), "G:@exec {\"error\":\"connection lost\"}"}));
    EXPECT_EQ(rawSent, (std::vector<bool>{false, true}));
    EXPECT_EQ(log.Count("ZK5713W"), 2u);
    calls.clear();
    Answer(first, "a");
    Receive(first, "@exec {\"command\":\"r\"}\n");
    Answer(first, "b");
    EXPECT_EQ(calls, (std::vector<std::string>{OkCall("A", "a"), "R:@exec {\"command\":\"r\"}", OkCall("B", "b")}));
}

TEST_F(CommandInterfaceTest, ALostConnectionAnswersItsExecHandlersAndLeavesNothingToTheNext) {
    service.OnExecResult(Record("D"));
    Exec(first, "a", Record("A"));
    service.SendRawExecLine(first, "exec {\"command\":\"r\"}\n", RecordRaw("R"));
    Exec(first, "b", Record("B"));
    Exec(second, "x", Record("X"));
    sender.Close(first);
    EXPECT_EQ(calls, (std::vector<std::string>{LostCall("A"), "R:@exec {\"error\":\"connection lost\"}",
                                               LostCall("B")}));

    // A new connection at the same address starts afresh: its first request's reply
    // goes to that request, not to anything of the lost one.
    calls.clear();
    Exec(first, "c", Record("C"));
    Answer(first, "c");
    Answer(first, "extra");
    Answer(second, "x");
    EXPECT_EQ(calls, (std::vector<std::string>{OkCall("C", "c"), OkCall("D", "extra"), OkCall("X", "x")}));

    // A connection made is no loss.
    calls.clear();
    Exec(second, "y", Record("Y"));
    Zelkor::ConnectionResult made;
    made.handle = second;
    made.connected = true;
    sender.ConnectionResults().Raise(made);
    EXPECT_TRUE(calls.empty());
}

// At the reply time-out each exec sent by then and still unanswered hears "timeout", a raw
// line its refusal; each keeps its place, so its late reply goes to nobody and the next
// reply to the next exec. A later loss answers only what was not answered yet.
TEST_F(CommandInterfaceTest, AnExecUnansweredAtTheTimeOutHearsItOnceAndItsLateReplyGoesToNobody) {
    service.OnExecResult(Record("D"));
    Exec(first, "a", Record("A"));
    service.SendRawExecLine(first, "exec {\"command\":\"r\"}\n", RecordRaw("R"));
    const auto cutoff = std::chrono::steady_clock::now();
    // What is sent from now on is stamped after the cut-off.
    while (std::chrono::steady_clock::now() <= cutoff) {
    }
    Exec(second, "x", Record("X"));
    service.ExpireRequests(cutoff);
    service.ExpireRequests(cutoff);
    EXPECT_EQ(calls, (std::vector<std::string>{"A:/||fail|timeout|", R"(R:@exec {"error":"timeout"})"}));
    calls.clear();
    Exec(first, "b", Record("B"));
    Answer(first, "a");
    Receive(first, "@exec {\"command\":\"r\"}\n");
    Answer(first, "b");
    Exec(first, "c", Record("C"));
    sender.Close(first);
    sender.Close(second);
    EXPECT_EQ(calls, (std::vector<std::string>{OkCall("B", "b"), LostCall("C"), LostCall("X")}));
}

// A place queued ahead for a line its caller sends itself counts its time from that
// line's send, however long it was queued before.
TEST_F(CommandInterfaceTest, APlaceQueuedAheadTimesOutCountedFromItsLinesSend) {
    service.SetExecReplyHandler(first, Record("Q"));
    const auto queued = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() <= queued) {
    }
    service.ExpireRequests(std::chrono::steady_clock::now());
    EXPECT_TRUE(calls.empty());
    sender.SendRequest(first, "exec {\"command\":\"q\"}\n", nullptr);
    service.ExpireRequests(queued);
    EXPECT_TRUE(calls.empty());
    service.ExpireRequests(std::chrono::steady_clock::now());
    EXPECT_EQ(calls, std::vector<std::string>{"Q:/||fail|timeout|"});
}

TEST_F(CommandInterfaceTest, AHandlerMaySendAgainFromItsCall) {
    Service::ExecResultHandler again = [this](const std::string&, const std::string& command, bool success,
                                              const std::string& result, const std::string&) {
        calls.push_back("first:" + command + "|" + result + "|" + (success ? "ok" : "fail"));
        Exec(first, "second", Record("S"));
    };
    Exec(first, "one", again);
    Answer(first, "one");
    Answer(first, "second");
    EXPECT_EQ(calls, (std::vector<std::string>{"first:one||ok", OkCall("S", "second")}));

    // Also when the connection is lost: the new request queues behind nothing.
    calls.clear();
    Exec(first, "two", again);
    sender.Close(first);
    Answer(first, "second");
    EXPECT_EQ(calls, (std::vector<std::string>{"first:|connection lost|fail", OkCall("S", "second")}));
}

TEST_F(CommandInterfaceTest, AMulticastRequestWaitsForNoReply) {
    service.OnExecResult(Record("D"));
    Exec(nullptr, "m", Record("M"));
    service.SetExecReplyHandler(nullptr, Record("N"));
    service.SetRawReplyHandler(nullptr, RecordRaw("Q"));
    ASSERT_EQ(sender.Count(), 1u);
    EXPECT_EQ(sender.Lines()[0].handle, nullptr);
    Receive(nullptr, "@exec {\"command\":\"m\",\"path\":\"/p\",\"status\":\"true\"}\n");
    EXPECT_EQ(calls, std::vector<std::string>{OkCall("D", "m")});
}

TEST_F(CommandInterfaceTest, AnUnreadableReplyTakesItsPlace) {
    Exec(first, "a", Record("A"));
    service.SendRawExecLine(first, "exec {\"command\":\"r\"}\n", RecordRaw("R"));
    Exec(first, "b", Record("B"));
    Zelkor::SetMaxEntriesPerMessage(1);
    Receive(first, "@exec {\"arguments\":[\"1\",\"2\"]}\n");
    Receive(first, "@exec {\"arguments\":{\"a\":\"1\",\"b\":\"2\"}}\n");
    Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage);
    Answer(first, "b");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], "A:||fail|Too many entries|");
    EXPECT_EQ(calls[1], "R:@exec {\"arguments\":{\"a\":\"1\",\"b\":\"2\"}}");
    EXPECT_EQ(calls[2], OkCall("B", "b"));
    EXPECT_EQ(log.Count("ZK5714W"), 2u);
}

}  // namespace
}  // namespace ZelkorTest
