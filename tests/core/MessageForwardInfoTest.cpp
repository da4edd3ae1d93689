#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include <json/value.h>

#include "core/JsonText.h"
#include "core/LoggedLine.h"
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
    {"12-a3f0 [nodeB&nodeC][nodeA] get {}", "get {}", "nodeB&nodeC", "nodeA", true, false, "nodeB",
     "12-a3f0 [nodeB&nodeC][nodeA] ", "nodeC", "12-a3f0 [nodeC][nodeB&nodeA] ", "12-a3f0 [nodeA][nodeB&nodeC] "},
    {"7 @get", "@get", "", "", true, true, "B", "7 ", "", "7 ", "7 "},
    // One hop of forwarding and the reply, as a router and the final node see them.
    {"[B&C][A] get", "get", "B&C", "A", false, false, "B", "[B&C][A] ", "C", "[C][B&A] ", "[A][B&C] "},
    {"[C][B&A] get", "get", "C", "B&A", false, false, "C", "[B&A][C] ", "", "[B&A][C] ", "[B&A][C] "},
    {"\t[a] \t[b]get", "get", "a", "b", false, false, "B", "[a][b] ", "", "[a][b] ", "[b][a] "},
    // Inner empty names are kept, a trailing separator adds none.
    {"[a&b&&][c] get", "get", "a&b&", "c", false, false, "B", "[a&b&][c] ", "b", "[b&][a&c] ", "[c][a&b&] "},
    {"[x][] get", "get", "x", "", false, false, "B", "", "", "", ""},
    {"@ls {\"a\":1}\r", "@ls {\"a\":1}", "", "", false, true, "B", "", "", "", ""},
    {"get [3] items removed", "get [3] items removed", "", "", false, false, "B", "", "", "", ""},
    {"get {}\nset {}", "get {}", "", "", false, false, "B", "", "", "", ""},
};

}  // namespace

TEST(MessageForwardInfo, RoutesParseWriteForwardAndReply) {
    // One object parses every line, as a socket may: a reused forward info once carried
    // the previous line's hash, paths and body into the next.
    MessageForwardInfo info;
    for (const auto& c : kRoutes) {
        SCOPED_TRACE(c.line);
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

TEST(MessageForwardInfo, AHeaderWithoutBodyWritesAsTheWholeOne) {
    for (const auto& c : kRoutes) {
        SCOPED_TRACE(c.line);
        MessageForwardInfo whole;
        whole.PullHeader(c.line);
        whole.SetDeviceName(c.self);
        MessageForwardInfo bare = whole.WithoutBody();
        EXPECT_TRUE(bare.JsonText().empty());
        EXPECT_EQ(bare.ParsedJsonBody(), nullptr);
        EXPECT_EQ(bare.hasHash, whole.hasHash);
        EXPECT_EQ(bare.isReply, whole.isReply);
        EXPECT_EQ(bare.CommandText(), whole.CommandText());
        EXPECT_EQ(header(bare), header(whole));
        whole.ReversePaths();
        bare.ReversePaths();
        EXPECT_EQ(header(bare), header(whole));
    }
}

// Peer input: each rejection is one Error line naming the line, an empty result and no
// exception, deeply nested brackets included.
TEST(MessageForwardInfo, RejectedLinesLogOneErrorAndNeverThrow) {
    const std::string deep(2000, '[');
    const struct {
        std::string line;
        const char* code;
    } cases[] = {
        {"[x] get", "ZK5102E Invalid characters after target header"},
        {"Get", "ZK5105E Invalid characters in command"},
        {std::string("\0get", 4), "ZK5105E Invalid characters in command"},
        {"12-g get", "ZK5100E Invalid characters in sender hash"},
        {"[a b][c] get", "ZK5103E Invalid characters in target header"},
        {"[a][b c] get", "ZK5101E Invalid characters in source header"},
        {"get {", "ZK5104E Invalid JSON parameters"},
        {"get " + deep + std::string(2000, ']'), "ZK5104E Invalid JSON parameters"},
    };
    ZelkorLog::TheLog().SetLevel(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        ZelkorTest::LogCapture log;
        MessageForwardInfo info;
        std::string pulled = "not called";
        EXPECT_NO_THROW(pulled = info.PullHeader(c.line));
        EXPECT_EQ(pulled, "");
        EXPECT_TRUE(info.IsEmpty());
        ASSERT_EQ(log.Lines().size(), 1u);
        // A long line is quoted cut short.
        EXPECT_EQ(log.Lines()[0], std::string("MFWD ") + c.code + " (" + Zelkor::LoggedLine(c.line) + ")");
    }
}

// What the JSON library would make of a line is bounded before it is read: a full entries
// bound of paths, formats and values reads, a line of more tiny objects does not.
TEST(MessageForwardInfo, APeerBodyOfTooManyValuesIsRefusedUnread) {
    const auto body = [](std::size_t count, const std::string& entry) {
        std::string line = "set [";
        for (std::size_t i = 0; i < count; ++i) {
            line += (i ? "," : "") + entry;
        }
        return line + "]";
    };
    ZelkorLog::TheLog().SetLevel(1);
    ZelkorTest::LogCapture log;
    MessageForwardInfo full;
    EXPECT_NE(full.PullHeader(body(100000, R"({"path":"/a/b","format":"number","value":1})")), "");
    EXPECT_EQ(log.Lines().size(), 0u);

    MessageForwardInfo tiny;
    EXPECT_EQ(tiny.PullHeader(body(Zelkor::kPeerJsonValueLimit / 2 + 1, "{}")), "");
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].rfind("MFWD ZK5107E JSON parameters hold too many values", 0), 0u);
    EXPECT_LT(log.Lines()[0].size(), 2 * Zelkor::kLoggedLineLimit);
    Json::Value out;
    std::string errors;
    EXPECT_EQ(Zelkor::ReadPeerJson("[" + std::string(Zelkor::kPeerJsonValueLimit, ',') + "]", out, errors),
              Zelkor::JsonReadResult::tooLarge);
}

TEST(MessageForwardInfo, HashCounterAdvancesOnTheCallersHeaderOnly) {
    ZelkorTest::GetMessage message;
    ASSERT_TRUE(message.SetParameter(Zelkor::Param::path, "/a"));
    MessageForwardInfo device;
    device.hasHash = true;
    EXPECT_EQ(message.Build(device, true), "1 get {\"path\":\"/a\"}\n");
    device.SetHash("node-guid");
    EXPECT_EQ(message.Build(device, false), "2-da14 @get {\"path\":\"/a\"}\n");

    // The message's own header is written from a copy: the same line every time.
    message.SetMessageForwardInfo(device);
    EXPECT_EQ(message.Build(true), "3-da14 get {\"path\":\"/a\"}\n");
    EXPECT_EQ(message.Build(true), "3-da14 get {\"path\":\"/a\"}\n");
}

namespace {

// A body of its own, written through the header's PutHeader as typed messages do.
class TypedGet : public ZelkorTest::GetMessage {
public:
    std::string ToNetworkFormat(bool request) const override {
        return WriteLine(request, Json::Value(Json::objectValue));
    }
};

}  // namespace

// A name from a peer once went into the line as it stood ("dev\nset" wrote a second line),
// and a line whose list was dropped would have gone out without its route, to be answered
// by the first node it reached. A refused name now holds back every line of that header.
TEST(MessageForwardInfo, NamesOutsideThePathAlphabetHoldTheLineBack) {
    const struct {
        std::string text;
        const char* list;  // null: refused
    } cases[] = {
        {"dev\nset {\"path\":\"/\"}", nullptr},
        {"a][b", nullptr},
        {"[a]", nullptr},
        {"node b", nullptr},
        {"a&b c", nullptr},  // one bad name refuses the whole list
        {"caf\xc3\xa9", nullptr},
        {std::string("a\0b", 3), nullptr},
        {" a & b\n", "a&b"},  // "&" always separates; blanks around a name are trimmed
        {"n-1.x_Y&&", "n-1.x_Y&"},
    };
    ZelkorLog::TheLog().SetLevel(1);
    ZelkorTest::LogCapture log;
    std::size_t refused = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        MessageForwardInfo info;
        info.hasHash = true;
        EXPECT_TRUE(info.SetSourcePaths("A"));
        EXPECT_EQ(info.SetTargetPaths(c.text), c.list != nullptr);
        EXPECT_EQ(info.GetTargetPaths(), c.list ? c.list : "");
        refused += c.list ? 0 : 1;
        EXPECT_EQ(header(info).empty(), c.list == nullptr);
        // Every writer: typed and base bodies, the own header and the caller's.
        TypedGet typed;
        ZelkorTest::GetMessage base;
        typed.SetMessageForwardInfo(info);
        base.SetMessageForwardInfo(info);
        MessageForwardInfo none;
        for (const std::string& line : {typed.Build(true), typed.Build(none, false), base.Build(false),
                                        ZelkorTest::GetMessage().Build(info, true)}) {
            EXPECT_EQ(line.empty(), c.list == nullptr) << line;
        }
        EXPECT_EQ(info.Counter(), c.list ? 2u : 0u);
    }
    ASSERT_EQ(log.Count("MFWD ZK5106E Invalid characters in path name"), refused);
    EXPECT_EQ(log.Lines()[0], "MFWD ZK5106E Invalid characters in path name (\"dev\\nset {\\\"path\\\":\\\"/\\\"}\")");

    // The refusal follows its list and ends when that list is replaced.
    MessageForwardInfo route("B", "bad name", "");
    EXPECT_TRUE(route.HasRefusedPath());
    route.ReversePaths();
    ZelkorTest::GetMessage message;
    EXPECT_EQ(message.Build(route, true), "");
    EXPECT_TRUE(route.SetTargetPaths("C"));
    EXPECT_EQ(message.Build(route, true), "[C][B] get\n");
    route.SetSourcePaths("x y");
    EXPECT_EQ(route.PullHeader("[D][E] get"), "get");
    EXPECT_EQ(header(route), "[D][E] ");
}

// A block body in its fixed form is read without the general reader and must come out as
// that reader makes it; any other block body, and the same text under another word, still
// goes through the general reader.
TEST(MessageForwardInfo, ABlockBodyReadsAsTheJsonReaderReadsIt) {
    const std::string data(5000, 'A');
    for (const std::string& body :
         {std::string("{\"blockno\":7,\"data\":\"") + data + "\"}", std::string("{}"),
          std::string("{\"blockno\":18446744073709551615,\"data\":\"QQ==\"}"),
          std::string("{\"blockno\":3,\"data\":\"QQ==\",\"error\":\"x\"}"),
          std::string("{ \"blockno\" : 3 , \"data\" : \"QQ==\" }"), std::string("{\"blockno\":007,\"data\":\"\"}")}) {
        for (const std::string word : {"block", "@block", "set"}) {
            MessageForwardInfo header;
            const bool parsed = header.Parse(word + " " + body + "\r\n");
            Json::Value expected;
            std::string errors;
            const bool valid = Zelkor::ReadJson(body, expected, errors) == Zelkor::JsonReadResult::ok;
            ASSERT_EQ(parsed, valid) << word << " " << body;
            if (valid) {
                EXPECT_EQ(header.JsonBody(), expected) << word << " " << body;
                EXPECT_EQ(header.JsonBody().toStyledString(), expected.toStyledString()) << word << " " << body;
            }
        }
    }
}

// A received line the header takes reads as a copied one does; the line's buffer goes to
// the header (a block is not copied) unless it is a short line in a large buffer, and
// the body stays readable through copies and moves of the header.
TEST(MessageForwardInfo, ATakenLineReadsAsACopiedOneAndKeepsItsBodyThroughMoves) {
    const std::string data(70000, 'A');
    const std::string block = "17-ab12 [dev][ctl] block {\"blockno\":3,\"data\":\"" + data + "\"}\n";
    MessageForwardInfo copied;
    ASSERT_TRUE(copied.ReadReceived(block));
    std::string line = block;
    const char* buffer = line.data();
    MessageForwardInfo taken;
    ASSERT_TRUE(taken.TakeReceived(line));
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(taken.Text().data(), buffer) << "the block's buffer itself";
    EXPECT_EQ(taken.Text(), block);
    EXPECT_EQ(taken.JsonText(), copied.JsonText());
    EXPECT_EQ(taken.HashText(), "17-ab12");
    EXPECT_EQ(taken.TargetText(), "dev");
    EXPECT_EQ(taken.CommandText(), "block");
    EXPECT_EQ(taken.JsonBody()["data"].asString(), data);

    MessageForwardInfo copy(taken);
    MessageForwardInfo moved(std::move(taken));
    EXPECT_EQ(copy.JsonText(), copied.JsonText());
    EXPECT_EQ(moved.JsonText(), copied.JsonText());

    std::string small;
    small.reserve(1 << 20);
    small = "@getvalue {\"a\":1}\n";
    MessageForwardInfo fromSmall;
    ASSERT_TRUE(fromSmall.TakeReceived(small));
    EXPECT_EQ(fromSmall.JsonText(), "{\"a\":1}");
    EXPECT_TRUE(small.empty());
    EXPECT_GE(small.capacity(), std::size_t{1} << 20) << "a large buffer stays with its reader";
    EXPECT_LT(fromSmall.Text().capacity(), std::size_t{4096});

    ZelkorTest::LogCapture log;
    std::string bad = "block {\"blockno\":\n";
    MessageForwardInfo refused;
    EXPECT_FALSE(refused.TakeReceived(bad));
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0], "MFWD ZK5104E Invalid JSON parameters (block {\"blockno\":\n)");
}
