#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "TestMessages.h"

using Zelkor::MessageForwardInfo;

namespace {

std::string header(MessageForwardInfo& info) {
    std::ostringstream out;
    info.PutMessageForwardHeader(out);
    return out.str();
}

struct RouteCase {
    const char* line;
    const char* pulled;
    const char* targets;
    const char* sources;
    bool hasHash;
    bool isReply;
    const char* self;       // this node's name
    const char* written;    // the parsed header written back at this node
    const char* next;       // next hop after one forwarding step; "" when not forwarded
    const char* forwarded;  // header written after that step
    const char* reply;      // header written after ReversePaths (on a fresh parse)
};

const RouteCase kRoutes[] = {
    {"get {}", "get {}", "", "", false, false, "B", "", "", "", ""},
    {"12-a3f0 [nodeB&nodeC][nodeA] get {}", "get {}", "nodeB&nodeC", "nodeA", true, false, "nodeB",
     "12-a3f0 [nodeB&nodeC][nodeA] ", "nodeC", "12-a3f0 [nodeC][nodeB&nodeA] ", "12-a3f0 [nodeA][nodeB&nodeC] "},
    {"7 @get", "@get", "", "", true, true, "B", "7 ", "", "7 ", "7 "},
    // One hop of forwarding and the reply, as a router and the final node see them.
    {"[B&C][A] get", "get", "B&C", "A", false, false, "B", "[B&C][A] ", "C", "[C][B&A] ", "[A][B&C] "},
    {"[C][B&A] get", "get", "C", "B&A", false, false, "C", "[B&A][C] ", "", "[B&A][C] ", "[B&A][C] "},
    {"[B][A] get", "get", "B", "A", false, false, "B", "[A][B] ", "", "[A][B] ", "[A][B] "},
    {"15 get", "get", "", "", true, false, "B", "15 ", "", "15 ", "15 "},
    {"5get", "get", "", "", true, false, "B", "5 ", "", "5 ", "5 "},
    {"\t[a] \t[b]get", "get", "a", "b", false, false, "B", "[a][b] ", "", "[a][b] ", "[b][a] "},
    {"[][] get", "get", "", "", false, false, "B", "", "", "", ""},
    {"[x][] get", "get", "x", "", false, false, "B", "", "", "", ""},
    {"get\r\n", "get", "", "", false, false, "B", "", "", "", ""},
    {"@ls {\"a\":1}\r", "@ls {\"a\":1}", "", "", false, true, "B", "", "", "", ""},
    {"get 5", "get 5", "", "", false, false, "B", "", "", "", ""},
    {"get [3] items removed", "get [3] items removed", "", "", false, false, "B", "", "", "", ""},
    {"@{}", "@ {}", "", "", false, true, "B", "", "", "", ""},
    {"get {}\nset {}", "get {}", "", "", false, false, "B", "", "", "", ""},
};

}  // namespace

TEST(MessageForwardInfo, RoutesParseWriteForwardAndReply) {
    for (const auto& c : kRoutes) {
        SCOPED_TRACE(c.line);
        MessageForwardInfo info;
        EXPECT_EQ(info.PullHeader(c.line), c.pulled);
        EXPECT_EQ(info.GetTargetPaths(), c.targets);
        EXPECT_EQ(info.GetSourcePaths(), c.sources);
        EXPECT_EQ(info.hasHash, c.hasHash);
        EXPECT_EQ(info.isReply, c.isReply);
        info.SetDeviceName(c.self);
        MessageForwardInfo forwarded(info);
        EXPECT_EQ(header(info), c.written);

        std::string next = "untouched";
        EXPECT_EQ(forwarded.TransitionTargetToSource(next), *c.next != '\0');
        EXPECT_EQ(next, *c.next ? c.next : "untouched");
        EXPECT_EQ(header(forwarded), c.forwarded);

        MessageForwardInfo reply;
        reply.PullHeader(c.line);
        reply.SetDeviceName(c.self);
        reply.ReversePaths();
        EXPECT_EQ(header(reply), c.reply);
    }
}

TEST(MessageForwardInfo, JsonTextIsEverythingAfterTheWordUpToTheLineEnd) {
    MessageForwardInfo info;
    ASSERT_EQ(info.PullHeader("@ls {\"a\":1}\r"), "@ls {\"a\":1}");
    EXPECT_EQ(info.JsonText(), "{\"a\":1}\r");
    EXPECT_EQ(info.JsonBody()["a"].asInt(), 1);
    ASSERT_EQ(info.PullHeader("get [3] items removed\nnext line"), "get [3] items removed");
    EXPECT_EQ(info.JsonText(), "[3] items removed");
    EXPECT_EQ(info.JsonBody().size(), 1u);
    ASSERT_EQ(info.PullHeader("get \t\r\r\n"), "get");
    EXPECT_EQ(info.JsonText(), "");
    EXPECT_TRUE(info.JsonBody().isNull());
}

TEST(MessageForwardInfo, SplitPathsKeepsInnerEmptiesAndDropsTrailingSeparator) {
    const struct {
        const char* text;
        std::vector<std::string> list;
    } cases[] = {
        {"", {}},       {"a", {"a"}},         {" a & b ", {"a", "b"}}, {"a&", {"a"}},
        {"a&&", {"a", ""}}, {"&a", {"", "a"}}, {"a&&b", {"a", "", "b"}},
    };
    for (const auto& c : cases) {
        MessageForwardInfo::PathList list{"stale"};
        MessageForwardInfo::SplitPaths(c.text, list);
        EXPECT_EQ(list, c.list) << c.text;
    }
}

TEST(MessageForwardInfo, RejectedLinesLogOneErrorAndNeverThrow) {
    const std::string deep(2000, '[');
    const struct {
        std::string line;
        const char* code;
    } cases[] = {
        {"[x] get", "ZK5102E Invalid characters after target header"},
        {"Get", "ZK5105E Invalid characters in command"},
        {"   ", "ZK5105E Invalid characters in command"},
        {"12-", "ZK5100E Invalid characters in sender hash"},
        {"12-g get", "ZK5100E Invalid characters in sender hash"},
        {"[a b][c] get", "ZK5103E Invalid characters in target header"},
        {"[a][b c] get", "ZK5101E Invalid characters in source header"},
        {"[a] [b", "ZK5101E Invalid characters in source header"},
        {"get {", "ZK5104E Invalid JSON parameters"},
        {"get x", "ZK5104E Invalid JSON parameters"},
        {"get " + deep, "ZK5104E Invalid JSON parameters"},
        {"get " + deep + std::string(2000, ']'), "ZK5104E Invalid JSON parameters"},
        {std::string("\0get", 4), "ZK5105E Invalid characters in command"},
    };
    // Only lines logged at level Error pass: each rejection must be one of them.
    ZelkorLog::TheLog().SetLevel(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        ZelkorTest::LogCapture log;
        MessageForwardInfo info;
        std::string pulled = "not called";
        EXPECT_NO_THROW(pulled = info.PullHeader(c.line));
        EXPECT_EQ(pulled, "");
        EXPECT_TRUE(info.IsEmpty());
        EXPECT_FALSE(info.hasHash);
        ASSERT_EQ(log.Lines().size(), 1u);
        EXPECT_EQ(log.Lines()[0], std::string("MFWD ") + c.code + " (" + c.line + ")");
    }
    // An empty line carries nothing to complain about, at any level.
    ZelkorLog::TheLog().SetLevel(7);
    ZelkorTest::LogCapture log;
    EXPECT_EQ(MessageForwardInfo().PullHeader(""), "");
    EXPECT_TRUE(log.Lines().empty());
}

TEST(MessageForwardInfo, ReusedInfoKeepsNothingOfThePreviousLine) {
    MessageForwardInfo info;
    info.SetDeviceName("B");
    ASSERT_EQ(info.PullHeader("12-abcd [B&C][Z&A] get {\"x\":1}"), "get {\"x\":1}");
    EXPECT_EQ(info.GetSource(), "A");
    EXPECT_EQ(info.ImmediateDestination(), "B");
    EXPECT_EQ(info.FinalDestination(), "C");
    ASSERT_EQ(info.PullHeader("@set"), "@set");
    EXPECT_TRUE(info.IsEmpty());
    EXPECT_EQ(info.GetCommand(), "set");
    EXPECT_EQ(info.CommandText(), "@set");
    EXPECT_EQ(info.HashText() + info.SequenceText() + info.TargetText() + info.SourceText() + info.JsonText(), "");
    EXPECT_TRUE(info.JsonBody().isNull());
    EXPECT_FALSE(info.hasHash);
    // What belongs to this node, not to a line, stays.
    EXPECT_EQ(info.IdText(), "abcd");
    EXPECT_EQ(info.DeviceName(), "B");
    // A hash flag set by the owner now writes a fresh counter, not the old line's hash.
    info.hasHash = true;
    EXPECT_EQ(header(info), "1-abcd ");
}

TEST(MessageForwardInfo, HashCounterAdvancesOnTheCallersHeaderOnly) {
    ZelkorTest::GetMessage message;
    ASSERT_TRUE(message.SetParameter(Zelkor::Param::path, "/a"));
    MessageForwardInfo device;
    device.hasHash = true;
    EXPECT_EQ(message.Build(device, true), "1 get {\"path\":\"/a\"}\n");
    device.SetHash("node-guid");
    EXPECT_EQ(message.Build(device, true), "2-da14 get {\"path\":\"/a\"}\n");
    EXPECT_EQ(message.Build(device, false), "3-da14 @get {\"path\":\"/a\"}\n");

    // The message's own header is written from a copy: the same line every time.
    message.SetMessageForwardInfo(device);
    EXPECT_EQ(message.Build(true), "4-da14 get {\"path\":\"/a\"}\n");
    EXPECT_EQ(message.Build(true), "4-da14 get {\"path\":\"/a\"}\n");

    std::ostringstream out;
    out << std::hex;
    device.PutHeader(out, false, "set");
    EXPECT_EQ(out.str(), "4-da14 @set ");
}
