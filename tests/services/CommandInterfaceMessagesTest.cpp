// The "exec" line both ways: each argument form, the reply members, and what a
// controller's handler hears of each reply (an "error" is a failure).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/ExecMessages.h"
#include "storage/RequestBound.h"
#include "support/FakeServiceSender.h"
#include "services/CommandInterfaceTestSupport.h"

namespace ZelkorTest {
namespace {

using Zelkor::ExecCommand;
using Zelkor::Param;

TEST_F(CommandInterfaceTest, RequestsGoOutInTheFormOfTheirArguments) {
    service.SendExecCommand(first, "/a", "run", std::vector<std::string>{"1", "x y"}, header, "r1", nullptr);
    service.SendExecCommand(first, "/a", "run", std::map<std::string, std::string>{{"k", "v"}, {"n", "2"}}, header, "",
                            nullptr);
    // A text travels as a string even when it reads as JSON.
    service.SendExecCommand(first, "/a", "run", std::string("{\"k\":1}"), header, "", nullptr);
    service.SendExecCommand(first, "", "run", std::string(), header, "", nullptr);
    service.SendExecCommand(first, "/a", "run", std::vector<std::string>{}, header, "", nullptr);
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           "exec {\"arguments\":[\"1\",\"x y\"],\"command\":\"run\",\"path\":\"/a\",\"requestid\":\"r1\"}\n",
                           "exec {\"arguments\":{\"k\":\"v\",\"n\":\"2\"},\"command\":\"run\",\"path\":\"/a\"}\n",
                           "exec {\"arguments\":\"{\\\"k\\\":1}\",\"command\":\"run\",\"path\":\"/a\"}\n",
                           "exec {\"command\":\"run\",\"path\":\"\"}\n",
                           "exec {\"command\":\"run\",\"path\":\"/a\"}\n",
                       }));
}

TEST(ExecCommandWire, ReadsEachArgumentFormAndWritesItBack) {
    struct Row {
        const char* line;
        std::size_t named;
        std::size_t ordered;
        const char* text;
        bool json;
    };
    const Row rows[] = {
        {R"(exec {"arguments":{"a":"1","b":2},"command":"c"})", 2, 0, "", false},
        {R"(exec {"arguments":["1",2,true],"command":"c"})", 0, 3, "", false},
        {R"(exec {"arguments":"plain","command":"c"})", 0, 0, "plain", false},
        {R"(exec {"arguments":{"a":{"b":1}},"command":"c"})", 0, 0, "", true},
        {R"(exec {"arguments":[["x"]],"command":"c"})", 0, 0, "", true},
        {R"(exec {"command":"c"})", 0, 0, "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        ExecCommand message;
        std::string error;
        ASSERT_TRUE(message.FromNetworkFormat(true, row.line, error)) << error;
        EXPECT_EQ(message.GetNamedParms().size(), row.named);
        EXPECT_EQ(message.GetOrderedParms().size(), row.ordered);
        EXPECT_EQ(message.GetStrParms(), row.text);
        EXPECT_EQ(!message.GetJsonParms().isNull(), row.json);
        ExecCommand again;
        ASSERT_TRUE(again.FromNetworkFormat(true, message.ToNetworkFormat(true), error)) << error;
        EXPECT_EQ(again.ToNetworkFormat(true), message.ToNetworkFormat(true));
    }
}

TEST(ExecCommandWire, RepliesCarryStatusResultAndErrorOnlyInReplyForm) {
    ExecCommand message;
    message.SetJsonParameter(Param::command, Json::Value("c"));
    message.SetJsonParameter(Param::status, Json::Value("true"));
    message.SetJsonParameter(Param::requestid, Json::Value("7"));
    struct Row {
        const char* result;
        const char* written;
    };
    const Row rows[] = {
        {"done", R"("result":"done")"},
        {R"({"x":[1,2]})", R"("result":{"x":[1,2]})"},
        {"[1, 2]", R"("result":[1,2])"},
        // Only an object or array travels as JSON.
        {"42", R"("result":"42")"},
        {"{not json", R"("result":"{not json")"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.result);
        message.SetJsonParameter(Param::result, Json::Value(row.result));
        const std::string reply = message.ToNetworkFormat(false);
        EXPECT_EQ(reply.rfind("@exec {", 0), 0u) << reply;
        EXPECT_NE(reply.find(row.written), std::string::npos) << reply;
        EXPECT_NE(reply.find(R"("status":"true")"), std::string::npos) << reply;
        const std::string request = message.ToNetworkFormat(true);
        EXPECT_EQ(request, R"(exec {"command":"c","requestid":"7"})");
    }
}

TEST(ExecCommandWire, ReaderRefusesBadJsonAndTooManyArgumentsButNotOtherShapes) {
    ExecCommand message;
    std::string error;
    EXPECT_FALSE(message.FromNetworkFormat(false, "@exec {\"status\":", error));
    EXPECT_FALSE(error.empty());

    Zelkor::SetMaxEntriesPerMessage(2);
    error.clear();
    ExecCommand many;
    EXPECT_FALSE(many.FromNetworkFormat(true, R"(exec {"command":"c","arguments":["1","2","3"]})", error));
    EXPECT_EQ(error, Zelkor::kTooManyEntries);
    ExecCommand two;
    EXPECT_TRUE(two.FromNetworkFormat(true, R"(exec {"command":"c","arguments":["1","2"]})", error));
    Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage);

    // Members of the wrong type are left out; a body that is no object reads as empty.
    ExecCommand odd;
    ASSERT_TRUE(odd.FromNetworkFormat(false, R"(@exec {"command":5,"status":true,"result":7,"error":null})", error));
    EXPECT_EQ(odd.GetParameter(Param::command), nullptr);
    EXPECT_EQ(odd.GetParameter(Param::status), nullptr);
    EXPECT_EQ(odd.GetParameter(Param::result), nullptr);
    ExecCommand list;
    EXPECT_TRUE(list.FromNetworkFormat(false, "@exec [1]", error));
    EXPECT_EQ(list.ParameterCount(), 0u);
}

TEST_F(CommandInterfaceTest, EachReplyReachesItsHandlerAsTheTableSays) {
    struct Row {
        const char* reply;
        const char* heard;
    };
    const Row rows[] = {
        {R"(@exec {"command":"c","path":"/p","status":"true","result":"r","requestid":"9"})", "h:/p|c|ok|r|9"},
        {R"(@exec {"command":"c","path":"/p","status":"false"})", "h:/p|c|fail||"},
        // Letter case counts.
        {R"(@exec {"command":"c","status":"True"})", "h:|c|fail||"},
        {R"(@exec {"command":"c","status":"true","result":{"a":[1]}})", "h:|c|ok|{\"a\":[1]}|"},
        {R"(@exec {"command":"c","status":"true","result":"[1,2]"})", "h:|c|ok|[1,2]|"},
        // An empty reply is a success; an error never is, its text the result.
        {R"(@exec {})", "h:||ok||"},
        {R"(@exec)", "h:||ok||"},
        {R"(@exec {"error":"exec is not implemented"})", "h:||fail|exec is not implemented|"},
        {R"(@exec {"error":"Not authenticated"})", "h:||fail|Not authenticated|"},
        {R"(@exec {"command":"c","status":"true","result":"r","error":"Device not found","requestid":"3"})",
         "h:|c|fail|Device not found|3"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        calls.clear();
        Exec(first, "c", Record("h"));
        Receive(first, std::string(row.reply) + "\n");
        EXPECT_EQ(calls, std::vector<std::string>{row.heard});
    }
}

TEST_F(CommandInterfaceTest, CancelPutfileRepliesWithAndWithoutError) {
    service.ReplyCancelPutfile(first, "Transfer canceled");
    service.ReplyCancelPutfile(first, nullptr);
    service.ReplyCancelPutfile(first, "");
    service.SendGetPresetInfo(second);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"@cancelputfile {\"error\":\"Transfer canceled\"}\n",
                                                 "@cancelputfile\n", "@cancelputfile\n", "getpresetinfo\n"}));
    EXPECT_FALSE(sender.Lines()[0].request);
    EXPECT_TRUE(sender.Lines()[3].request);
}

}  // namespace
}  // namespace ZelkorTest
