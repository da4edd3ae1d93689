#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <json/value.h>
#include <json/writer.h>

#include "core/JsonText.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "TestMessages.h"

using Zelkor::Message;
using Zelkor::MessageForwardInfo;
using Zelkor::Param;
using ZelkorTest::GetMessage;

namespace {

std::string compact(const Json::Value& value) { return Zelkor::WriteCompactJson(value); }

std::string jsonOf(const Message& message, Param p) {
    Json::Value value;
    message.GetJsonParameter(value, p);
    return compact(value);
}

}  // namespace

// Each compact write starts afresh on its thread, after a large value and after one that
// left nothing behind, and threads writing at once never see each other's text.
TEST(JsonWriterThreads, EachWriteStartsAfresh) {
    Json::Value large(Json::objectValue);
    large["text"] = std::string(100 * 1024, 'x');
    Json::Value small(Json::objectValue);
    small["path"] = "/a";
    const std::string smallText = R"({"path":"/a"})";
    EXPECT_EQ(compact(large).size(), 100 * 1024 + std::string(R"({"text":""})").size());
    EXPECT_EQ(compact(small), smallText);
    EXPECT_EQ(compact(Json::Value()), "null");
    EXPECT_EQ(compact(Json::Value(Json::arrayValue)), "[]");
    EXPECT_EQ(compact(small), smallText);

    const auto writeMany = [](const std::string& name, bool& same) {
        Json::Value value(Json::objectValue);
        value[name] = name;
        const std::string expected = "{\"" + name + "\":\"" + name + "\"}";
        same = true;
        for (int round = 0; round < 2000 && same; ++round) {
            same = compact(value) == expected;
        }
    };
    bool sameA = false;
    bool sameB = false;
    std::thread a(writeMany, "a", std::ref(sameA));
    std::thread b(writeMany, "bb", std::ref(sameB));
    a.join();
    b.join();
    EXPECT_TRUE(sameA);
    EXPECT_TRUE(sameB);
}

// Scalars are written without the library's stream writer: their text must be the
// writer's, character for character, as peers and stored lines hold it.
TEST(JsonWriterThreads, ScalarsWriteAsTheLibraryWriterDoes) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["commentStyle"] = "None";
    const std::vector<Json::Value> values{
        Json::Value(), Json::Value(true), Json::Value(false), Json::Value(0), Json::Value(-17),
        Json::Value(Json::Int64(-9223372036854775807LL - 1)), Json::Value(Json::UInt64(18446744073709551615ULL)),
        Json::Value(0.1), Json::Value(-2.5e-300), Json::Value(1e300), Json::Value(3.0), Json::Value(1.0 / 3.0),
        Json::Value(std::numeric_limits<double>::quiet_NaN()), Json::Value(std::numeric_limits<double>::infinity()),
        Json::Value(""), Json::Value("plain"), Json::Value("quote \" slash \\ / tab \t line \n bell \x07"),
        Json::Value("\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5"), Json::Value("bad \xff\xfe utf-8"),
        Json::Value(std::string("nul\0inside", 10))};
    for (const auto& value : values) {
        Json::Value inside(Json::objectValue);
        inside["v"] = value;
        EXPECT_EQ("{\"v\":" + compact(value) + "}", Json::writeString(builder, inside)) << compact(value);
        std::string appended = "x";
        Zelkor::AppendCompactJson(appended, value);
        EXPECT_EQ(appended, "x" + Json::writeString(builder, value));
    }
}

// The base body: every value a string, members sorted, escapes and structure kept.
TEST(Message, WireRoundTripKeepsEveryValue) {
    EXPECT_EQ(GetMessage().Build(false), "@get\n");
    GetMessage sent;
    const std::pair<Param, const char*> values[] = {
        {Param::path, "/configuration/device/name"},
        {Param::value, "{ \"on\" : true, \"list\" : [1, \"two\", {\"three\": 3}] }"},
        {Param::error, "tab\tquote\" back\\ line\n euro \xe2\x82\xac"},
        {Param::guid, ""},
    };
    for (const auto& [p, text] : values) {
        ASSERT_TRUE(sent.SetParameter(p, text));
    }
    MessageForwardInfo route("B&C", "A", "A");
    route.hasHash = true;
    route.SetHash("node-guid");
    sent.SetMessageForwardInfo(route);
    const std::string line = sent.Build(false);
    const std::string header = "1-da14 [B&C][A] ";
    EXPECT_EQ(line, header + R"(@get {"error":"tab\tquote\" back\\ line\n euro \u20ac","guid":"",)"
                             R"("path":"/configuration/device/name","value":"{\"list\":[1,\"two\",{\"three\":3}],\"on\":true}"})"
                             "\n");

    // The receiving road: the socket strips the header, the factory makes the message.
    MessageForwardInfo received;
    const std::string rest = received.PullHeader(line);
    auto message = ZelkorTest::CreateGetMessage();
    std::string error;
    ASSERT_TRUE(message->FromNetworkFormat(!received.isReply, rest, error)) << error;
    EXPECT_EQ(message->Build(false), line.substr(header.size()));
    EXPECT_EQ(jsonOf(*message, Param::value), "{\"list\":[1,\"two\",{\"three\":3}],\"on\":true}");
}

// Typed bodies are compact (members sorted, no blanks, no line feed); a number is written
// only when the whole text is one in range, the text itself otherwise.
TEST(Message, TypedWritersAndTheCompactBody) {
    Json::Value body(Json::objectValue);
    Message::putString(body, Param::path, "/a");
    Message::putInt(body, Param::size, "+42");
    Message::putInt(body, Param::length, "9223372036854775808");
    Message::putInt(body, Param::level, "12a");
    Message::putUint(body, Param::port, "-1");
    Message::putUint(body, Param::timeout, "");
    Message::putBool(body, Param::readonly, "TRUE");
    ASSERT_TRUE(Zelkor::ReadStructuredJson("{\"b\": {\"c\": \"d\"}, \"a\": [1, 2.5, true, null]}", body["value"]));
    EXPECT_EQ(compact(body), R"({"length":"9223372036854775808","level":"12a","path":"/a","port":18446744073709551615,)"
                             R"("readonly":true,"size":42,"timeout":null,"value":{"a":[1,2.5,true,null],"b":{"c":"d"}}})");
}

// Only one whole array or object becomes structure: reading the value at the front of a
// text once dropped what followed it, and deep nesting threw out of the reader.
TEST(Message, OnlyAWholeArrayOrObjectTextIsStructured) {
    const std::string deep = std::string(2000, '[') + std::string(2000, ']');
    const struct {
        std::string text;
        std::string json;  // compact form of the stored value
    } cases[] = {
        {deep, compact(Json::Value(deep))},
        {" { \"a\" : 1 }\n", "{\"a\":1}"},
        {"[3] items removed", R"("[3] items removed")"},
        {R"({"a":1} {"b":2})", R"("{\"a\":1} {\"b\":2}")"},
        {"5", R"("5")"},
        {R"({"a":1,"a":2})", R"("{\"a\":1,\"a\":2}")"},
    };
    for (const auto& c : cases) {
        GetMessage message;
        EXPECT_NO_THROW(EXPECT_TRUE(message.SetParameter(Param::value, c.text.c_str())));
        EXPECT_EQ(jsonOf(message, Param::value), c.json) << c.text.substr(0, 20);
    }
}

// Members are stored as their text; arrays, objects and undeclared names are left out. A
// line the header parser rejects once read as an empty success.
TEST(Message, FromJsonOutcomes) {
    const struct {
        const char* line;
        const char* error;   // null: accepted
        const char* stored;  // the message written again
    } cases[] = {
        {"", nullptr, "get"},
        {"get [{\"path\":\"p\"}]", nullptr, "get"},
        {R"(get {"PATH":"p","size":18446744073709551615,"level":-3,"readonly":true,)"
         R"("error":null,"files":[1],"params":{"a":1},"mode":"m"})",
         nullptr, R"(get {"error":"","level":"-3","path":"p","readonly":"true","size":"18446744073709551615"})"},
        {"get 5 {\"path\":\"p\"}", nullptr, "get {\"path\":\"p\"}"},
        {"GET {}", "Invalid message line", "get"},
        {"get 5 {", "Error while parsing json", "get"},
    };
    for (const auto& c : cases) {
        GetMessage message;
        std::string error;
        EXPECT_EQ(message.FromJson(true, c.line, error), c.error == nullptr) << c.line;
        EXPECT_EQ(error, c.error ? c.error : "") << c.line;
        EXPECT_EQ(message.ToJson(true), c.stored) << c.line;
    }
}

// What arrives goes out again whole: an array holding structure once went out as its
// leading scalars alone.
TEST(Message, ArgumentsKeepWhatTheyWereGiven) {
    const struct {
        const char* received;
        const char* sent;
    } cases[] = {
        {R"(["a",{"b":1},"c"])", R"(["a",{"b":1},"c"])"},
        {R"([[1],"x"])", R"([[1],"x"])"},
        {R"({"a":1,"b":[2]})", R"({"a":1,"b":[2]})"},
        {R"([1,"x",true])", R"(["1","x","true"])"},
        {R"({"n":2})", R"({"n":"2"})"},
        {R"("words")", R"("words")"},
    };
    for (const auto& c : cases) {
        Json::Value received;
        ASSERT_TRUE(Zelkor::ReadWholeJson(c.received, received));
        GetMessage message;
        message.FromNetworkParms(received);
        Json::Value sent(Json::objectValue);
        message.ToNetworkParms(sent);
        EXPECT_EQ(compact(sent["arguments"]), c.sent) << c.received;
        const int forms = !message.GetOrderedParms().empty() + !message.GetNamedParms().empty() +
                          !message.GetStrParms().empty() + !message.GetJsonParms().isNull();
        EXPECT_EQ(forms, 1) << c.received;
    }
}

// The first form that holds something is sent: named, ordered, string, then JSON. A text
// is JSON only when it is one value as a whole: "42 apples" once became 42.
TEST(Message, ArgumentsGoOutInTheirOrderOfPrecedence) {
    GetMessage message;
    Json::Value sent(Json::objectValue);
    message.ToNetworkParms(sent);
    EXPECT_FALSE(sent.isMember("arguments"));
    const std::pair<std::function<void()>, const char*> steps[] = {
        {[&] { message.SetParms(std::string("[1]")); }, "[1]"},
        {[&] { message.SetParms(std::string("42 apples")); }, R"("42 apples")"},
        {[&] { message.SetParms(Message::OrderedParms{"o"}); }, R"(["o"])"},
        {[&] { message.SetParms(Message::NamedParms{{"n", "v"}}); }, R"({"n":"v"})"},
    };
    for (const auto& [fill, expected] : steps) {
        fill();
        message.ToNetworkParms(sent);
        EXPECT_EQ(compact(sent["arguments"]), expected);
    }
}

// A value that is the parameter's own name reads as empty from GetParamValue alone.
TEST(Message, ParamValueOfItsOwnNameIsEmpty) {
    GetMessage message;
    EXPECT_EQ(message.GetParamValue(Param::guid), "");
    const std::pair<const char*, const char*> values[] = {{"guid", ""}, {"GUID", "GUID"}, {"guid ", "guid "}, {"g", "g"}};
    for (const auto& [text, read] : values) {
        ASSERT_TRUE(message.SetParameter(Param::guid, text));
        EXPECT_EQ(message.GetParamValue(Param::guid), read) << text;
        EXPECT_STREQ(message.GetParameter(Param::guid), text);
    }
    ASSERT_TRUE(message.SetParameter(Param::path, "guid"));
    EXPECT_EQ(message.GetParamValue(Param::path), "guid");
}

// A parameter stays where it is while others come and go, so its text read earlier is
// still there; removed ones leave room, and more than a few are kept as well.
TEST(Message, ParametersComeAndGoAroundOneHeldText) {
    GetMessage message;
    ASSERT_TRUE(message.SetParameter(Param::value, "1"));
    ASSERT_TRUE(message.SetParameter(Param::path, "/a"));
    const char* path = message.GetParameter(Param::path);
    const std::pair<Param, const char*> changes[] = {
        {Param::value, nullptr}, {Param::error, "e"}, {Param::size, "3"}, {Param::level, "4"},
        {Param::error, nullptr}, {Param::size, "5"}, {Param::time, "6"},
    };
    for (const auto& [p, text] : changes) {
        ASSERT_TRUE(message.SetParameter(p, text));
        EXPECT_STREQ(path, "/a");
    }
    EXPECT_EQ(message.ParameterCount(), 4u);
    EXPECT_EQ(message.ToJson(true), R"(get {"level":"4","path":"/a","size":"5","time":"6"})");
}

// A received message's text is its header's word and JSON text as they came, and stays so
// when the message is given another header or copied.
TEST(Message, RawTextTakenFromTheHeaderOutlivesIt) {
    MessageForwardInfo header;
    ASSERT_TRUE(header.ReadReceived("7-ab12 [C][R] @get {\"path\":\"/a\"} \n"));
    GetMessage message;
    message.SetMessageForwardInfo(std::move(header));
    message.SetRawTextFromHeader();
    const GetMessage copy = message;
    message.SetMessageForwardInfo(MessageForwardInfo());
    EXPECT_EQ(message.GetRawText(), "@get {\"path\":\"/a\"} ");
    EXPECT_EQ(copy.GetRawText(), message.GetRawText());
    message.SetRawText("get");
    EXPECT_EQ(message.GetRawText(), "get");
}
