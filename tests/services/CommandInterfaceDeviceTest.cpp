// The device side of "exec": the handler the request's arguments choose, and the answer
// to every request, including one without handler or command and one whose handler
// throws.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "services/CommandInterfaceTestSupport.h"

namespace ZelkorTest {
namespace {

// Registers the handler kinds named in `kinds` ("N", "O", "T" plain, "n", "o", "t" with
// the connection); each records its kind and what it got and fills "r-" and its kind.
struct Handlers {
    std::vector<std::string> heard;

    static std::string Text(const std::string& args) { return args; }
    static std::string Text(const std::vector<std::string>& args) {
        std::string out;
        for (const auto& arg : args) {
            out += arg + ",";
        }
        return out;
    }
    static std::string Text(const std::map<std::string, std::string>& args) {
        std::string out;
        for (const auto& [name, value] : args) {
            out += name + "=" + value + ",";
        }
        return out;
    }

    void Register(Zelkor::CommandInterfaceService& service, const std::string& kinds, void* expected) {
        for (const char kind : kinds) {
            const std::string k(1, kind);
            const auto plain = [this, k](const std::string& p, const std::string& c, const auto& a, std::string& r) {
                heard.push_back(k + " " + p + " " + c + " " + Text(a));
                r = "r-" + k;
                return true;
            };
            const auto withConn = [plain, expected](void* conn, const std::string& p, const std::string& c,
                                                    const auto& a, std::string& r) {
                EXPECT_EQ(conn, expected);
                return plain(p, c, a, r);
            };
            switch (kind) {
                case 'N': service.OnExecNamedParams(plain); break;
                case 'O': service.OnExecOrderedParams(plain); break;
                case 'T': service.OnExecStrParams(plain); break;
                case 'n': service.OnExecNamedConnParams(withConn); break;
                case 'o': service.OnExecOrderedConnParams(withConn); break;
                case 't': service.OnExecStrConnParams(withConn); break;
            }
        }
    }
};

TEST_F(CommandInterfaceTest, TheArgumentsFormChoosesTheHandlerAndAFormWithoutOneFails) {
    struct Row {
        const char* kinds;
        const char* arguments;
        const char* heard;  // "" when no handler runs
    };
    const Row rows[] = {
        {"NOTnot", R"({"a":"1"})", "n /p c a=1,"},
        {"NOT", R"({"a":"1"})", "N /p c a=1,"},
        {"NOTnot", R"(["1","2"])", "o /p c 1,2,"},
        {"NOT", R"(["1","2"])", "O /p c 1,2,"},
        {"NOTnot", R"("x y")", "t /p c x y"},
        {"NOT", R"("x y")", "T /p c x y"},
        // Nested JSON goes to a text handler, written compactly.
        {"NOt", R"({ "a" : { "b" : 1 } })", "t /p c {\"a\":{\"b\":1}}"},
        {"NOT", R"([["x"], 2])", "T /p c [[\"x\"],2]"},
        // No arguments: the first set of n, N, o, O, t, T, with empty arguments.
        {"NOTnot", nullptr, "n /p c "},
        {"NOT", nullptr, "N /p c "},
        {"ot", nullptr, "o /p c "},
        {"T", nullptr, "T /p c "},
        // The form's handlers are missing: another form's is not tried.
        {"T", R"({"a":"1"})", ""},
        {"Nn", R"(["1"])", ""},
        {"O", R"("x")", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.kinds) + " " + (row.arguments ? row.arguments : "-"));
        Zelkor::CommandInterfaceService device(&sender);
        Handlers handlers;
        handlers.Register(device, row.kinds, first);
        const std::size_t before = sender.Count();
        std::string line = R"(exec {"command":"c","path":"/p","requestid":"q")";
        if (row.arguments) {
            line += std::string(",\"arguments\":") + row.arguments;
        }
        line += "}";
        auto message = Zelkor::CreateExecCommand();
        std::string error;
        ASSERT_TRUE(message->FromNetworkFormat(true, line, error)) << error;
        Zelkor::MessageSignalData data(first, nullptr, true, std::move(message));
        device.ExecSignal().Raise(data);
        ASSERT_EQ(sender.Count(), before + 1);
        const std::string heard = row.heard;
        if (heard.empty()) {
            EXPECT_TRUE(handlers.heard.empty());
            EXPECT_EQ(sender.Last(), "@exec {\"command\":\"c\",\"path\":\"/p\",\"requestid\":\"q\",\"status\":\"false\"}\n");
        } else {
            EXPECT_EQ(handlers.heard, std::vector<std::string>{heard});
            const std::string result = "r-" + heard.substr(0, 1);
            EXPECT_EQ(sender.Last(), "@exec {\"command\":\"c\",\"path\":\"/p\",\"requestid\":\"q\",\"result\":\"" + result +
                                         "\",\"status\":\"true\"}\n");
        }
    }
}

TEST_F(CommandInterfaceTest, RequestsWithoutHandlerOrCommandAreAnsweredWithTheRequestsHeader) {
    Receive(first, "5-ab12 [dev][ctl] exec {\"command\":\"c\",\"requestid\":\"1\"}\n");
    service.OnExecStrParams([](const std::string&, const std::string&, const std::string&, std::string& result) {
        result = "{\"k\":[1]}";
        return false;
    });
    Receive(first, "6 [dev][ctl] exec {\"path\":\"/p\",\"requestid\":\"2\"}\n");
    Receive(first, "7 [dev][ctl] exec {\"command\":\"c\"}\n");
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           "5-ab12 [ctl][dev] @exec {\"error\":\"exec is not implemented\"}\n",
                           "6 [ctl][dev] @exec {\"error\":\"Missing command\"}\n",
                           // Echoed even when empty; a JSON result travels as JSON.
                           "7 [ctl][dev] @exec {\"command\":\"c\",\"path\":\"\",\"requestid\":\"\",\"result\":{\"k\":[1]},"
                           "\"status\":\"false\"}\n",
                       }));
    for (const auto& line : sender.Lines()) {
        EXPECT_FALSE(line.request);
    }
}

TEST_F(CommandInterfaceTest, AThrowingHandlerIsAnsweredAsOneThatReturnedFalse) {
    int runs = 0;
    service.OnExecNamedParams([&runs](const std::string&, const std::string& command,
                                      const std::map<std::string, std::string>&, std::string& result) -> bool {
        ++runs;
        result = "half";
        if (command == "throw") {
            throw std::runtime_error("handler broke");
        }
        if (command == "throw-other") {
            throw 7;
        }
        return true;
    });
    Receive(first, "[dev][ctl] exec {\"command\":\"throw\",\"arguments\":{\"a\":\"1\"}}\n");
    Receive(first, "[dev][ctl] exec {\"command\":\"throw-other\",\"arguments\":{\"a\":\"1\"}}\n");
    Receive(first, "[dev][ctl] exec {\"command\":\"fine\",\"arguments\":{\"a\":\"1\"}}\n");
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           "[ctl][dev] @exec {\"command\":\"throw\",\"path\":\"\",\"requestid\":\"\",\"status\":\"false\"}\n",
                           "[ctl][dev] @exec {\"command\":\"throw-other\",\"path\":\"\",\"requestid\":\"\",\"status\":\"false\"}\n",
                           "[ctl][dev] @exec {\"command\":\"fine\",\"path\":\"\",\"requestid\":\"\",\"result\":\"half\","
                           "\"status\":\"true\"}\n",
                       }));
    EXPECT_EQ(log.Count("ZK5712E"), 2u);
    EXPECT_TRUE(log.Contains("handler broke"));
}

TEST_F(CommandInterfaceTest, AHandlerMayReplaceHandlersWhileItRuns) {
    service.OnExecStrParams([this](const std::string&, const std::string&, const std::string&, std::string&) {
        service.OnExecStrParams(nullptr);
        service.OnExecOrderedParams(
            [](const std::string&, const std::string&, const std::vector<std::string>&, std::string&) { return true; });
        return true;
    });
    Receive(first, "exec {\"command\":\"c\",\"arguments\":\"x\"}\n");
    Receive(first, "exec {\"command\":\"c\",\"arguments\":\"x\"}\n");
    Receive(first, "exec {\"command\":\"c\",\"arguments\":[\"x\"]}\n");
    const auto lines = Texts();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("\"status\":\"true\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"status\":\"false\""), std::string::npos);
    EXPECT_NE(lines[2].find("\"status\":\"true\""), std::string::npos);
}

}  // namespace
}  // namespace ZelkorTest
