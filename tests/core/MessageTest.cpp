#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include <json/value.h>

#include "core/Conversions.h"
#include "core/JsonText.h"
#include "core/Message.h"
#include "core/MessageForwardInfo.h"
#include "support/LogCapture.h"
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

const std::string kDeep(2000, '[');

// A class with a typed body, written and read through the helpers the services use.
class TypedSet : public Message {
public:
    TypedSet() : Message({Param::path, Param::size, Param::readonly, Param::value}) {}
    const char* CommandName() const override { return "set"; }
    std::unique_ptr<Message> Instantiate() const override { return std::make_unique<TypedSet>(); }

    std::string ToNetworkFormat(bool request) const override {
        Json::Value body(Json::objectValue);
        if (GetParameter(Param::path)) {
            putString(body, Param::path, GetParameter(Param::path));
            putUint(body, Param::size, GetParameter(Param::size));
            putBool(body, Param::readonly, GetParameter(Param::readonly));
            GetJsonParameter(body[GetStringFromParam(Param::value)], Param::value);
        }
        return WriteLine(request, body);
    }
    bool FromNetworkFormat(bool, const std::string& line, std::string& error) override {
        Json::Value body;
        if (!ReadBody(line, body, error)) {
            return false;
        }
        for (Param p : AllParameterNames()) {
            if (body.isObject() && body.isMember(GetStringFromParam(p))) {
                SetJsonParameter(p, body[GetStringFromParam(p)]);
            }
        }
        return true;
    }
};

}  // namespace

TEST(Message, TypedBodiesAreWrittenCompactBehindTheHeader) {
    TypedSet empty;
    EXPECT_EQ(empty.Build(true), "set {}\n");

    TypedSet message;
    ASSERT_TRUE(message.SetParameter(Param::path, "/a"));
    ASSERT_TRUE(message.SetParameter(Param::size, "42"));
    ASSERT_TRUE(message.SetParameter(Param::readonly, "TRUE"));
    ASSERT_TRUE(message.SetParameter(Param::value, "{\"b\": {\"c\": \"d\"}, \"a\": [1, 2.5, true, null]}"));
    MessageForwardInfo route("B", "A", "");
    route.hasHash = true;
    message.SetMessageForwardInfo(route);
    const std::string line = message.Build(false);
    EXPECT_EQ(line,
              "1 [B][A] @set {\"path\":\"/a\",\"readonly\":true,\"size\":42,"
              "\"value\":{\"a\":[1,2.5,true,null],\"b\":{\"c\":\"d\"}}}\n");

    TypedSet received;
    std::string error;
    ASSERT_TRUE(received.FromNetworkFormat(false, line, error)) << error;
    // Read back and written again without the route: the same body, member for member.
    EXPECT_EQ(received.Build(false), line.substr(std::string("1 [B][A] ").size()));
    EXPECT_STREQ(received.GetParameter(Param::size), "42");
    EXPECT_EQ(jsonOf(received, Param::readonly), "true");

    ZelkorTest::LogCapture log;
    EXPECT_FALSE(received.FromNetworkFormat(true, "set {\"path\":", error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(log.Count("ZK5104E"), 1u);
}

TEST(Message, WritesTheCompactSortedBodyOfStrings) {
    GetMessage message;
    EXPECT_EQ(message.Build(true), "get\n");
    EXPECT_EQ(message.Build(false), "@get\n");

    ASSERT_TRUE(message.SetParameter(Param::value, "{ \"b\" : [1, 2.5], \"a\" : null }"));
    ASSERT_TRUE(message.SetParameter(Param::path, "/x y"));
    ASSERT_TRUE(message.SetParameter(Param::size, "5"));
    ASSERT_TRUE(message.SetParameter(Param::error, "quote \" back \\ line\n caf\xc3\xa9"));
    ASSERT_TRUE(message.SetParameter(Param::guid, ""));
    EXPECT_EQ(message.Build(false),
              "@get {\"error\":\"quote \\\" back \\\\ line\\n caf\\u00e9\",\"guid\":\"\",\"path\":\"/x y\","
              "\"size\":\"5\",\"value\":\"{\\\"a\\\":null,\\\"b\\\":[1,2.5]}\"}\n");
}

TEST(Message, WireRoundTripKeepsEveryValue) {
    GetMessage sent;
    const struct {
        Param p;
        const char* text;
    } values[] = {
        {Param::path, "/configuration/device/name"},
        {Param::value, "{\"list\":[1,\"two\",{\"three\":3}],\"on\":true}"},
        {Param::files, "[\"a.bin\",\"b.bin\"]"},
        {Param::size, "18446744073709551615"},
        {Param::readonly, "true"},
        {Param::error, "tab\tquote\" unicode \xe2\x82\xac"},
        {Param::guid, ""},
        {Param::params, "[3] items removed"},
    };
    for (const auto& v : values) {
        ASSERT_TRUE(sent.SetParameter(v.p, v.text));
    }
    MessageForwardInfo route("B&C", "A", "A");
    route.hasHash = true;
    route.SetHash("node-guid");
    sent.SetMessageForwardInfo(route);
    const std::string line = sent.Build(false);
    ASSERT_EQ(line.find("1-da14 [B&C][A] @get {"), 0u) << line;

    // The receiving road: the socket strips the header, the factory makes the message.
    MessageForwardInfo received;
    const std::string rest = received.PullHeader(line);
    ASSERT_TRUE(received.isReply);
    ASSERT_EQ(received.GetTargetPaths(), "B&C");
    auto message = ZelkorTest::CreateGetMessage();
    std::string error;
    ASSERT_TRUE(message->FromNetworkFormat(!received.isReply, rest, error)) << error;
    for (const auto& v : values) {
        EXPECT_STREQ(message->GetParameter(v.p), v.text) << Message::GetStringFromParam(v.p);
    }
    EXPECT_EQ(jsonOf(*message, Param::value), "{\"list\":[1,\"two\",{\"three\":3}],\"on\":true}");
    EXPECT_EQ(jsonOf(*message, Param::files), "[\"a.bin\",\"b.bin\"]");
    EXPECT_EQ(jsonOf(*message, Param::size), "\"18446744073709551615\"");
    EXPECT_EQ(jsonOf(*message, Param::params), "\"[3] items removed\"");
    // The full line (header included) reads the same.
    GetMessage again;
    ASSERT_TRUE(again.FromNetworkFormat(true, line, error));
    EXPECT_EQ(again.ToJson(false), message->ToJson(false));
}

TEST(Message, ReadsEveryKindOfJsonMemberAsText) {
    GetMessage message;
    std::string error;
    ASSERT_TRUE(message.FromNetworkFormat(
        true,
        "get {\"PATH\":\"p\",\"value\":5,\"size\":18446744073709551615,\"level\":-3,\"time\":1.5,"
        "\"readonly\":true,\"error\":null,\"files\":[1],\"params\":{\"a\":1},\"unknown\":\"x\",\"mode\":\"m\"}",
        error));
    EXPECT_STREQ(message.GetParameter(Param::path), "p");
    EXPECT_STREQ(message.GetParameter(Param::value), "5");
    EXPECT_STREQ(message.GetParameter(Param::size), "18446744073709551615");
    EXPECT_STREQ(message.GetParameter(Param::level), "-3");
    EXPECT_STREQ(message.GetParameter(Param::time), "1.5");
    EXPECT_STREQ(message.GetParameter(Param::readonly), "true");
    EXPECT_STREQ(message.GetParameter(Param::error), "");
    EXPECT_EQ(message.GetParameter(Param::files), nullptr);
    EXPECT_EQ(message.GetParameter(Param::params), nullptr);
    EXPECT_EQ(message.GetParameter(Param::mode), nullptr);
    EXPECT_EQ(message.ParameterCount(), 7u);
    std::string errorText;
    EXPECT_TRUE(message.GetIsError(errorText));
}

TEST(Message, OnlyAWholeArrayOrObjectTextIsStructured) {
    const struct {
        std::string text;
        const char* json;  // compact form of the stored value
    } cases[] = {
        {"[3]", "[3]"},
        {" { \"a\" : 1 }\n", "{\"a\":1}"},
        {"[3] items removed", "\"[3] items removed\""},
        {"{\"a\":1} {\"b\":2}", "\"{\\\"a\\\":1} {\\\"b\\\":2}\""},
        {"5", "\"5\""},
        {"true", "\"true\""},
        {"\"q\"", "\"\\\"q\\\"\""},
        {"", "\"\""},
        {"{", "\"{\""},
        {"{\"a\":1,\"a\":2}", "\"{\\\"a\\\":1,\\\"a\\\":2}\""},
        {"[1] // note", "\"[1] // note\""},
        {"[1,]", "\"[1,]\""},
    };
    for (const auto& c : cases) {
        GetMessage message;
        ASSERT_TRUE(message.SetParameter(Param::value, c.text.c_str()));
        EXPECT_EQ(jsonOf(message, Param::value), c.json) << c.text;
    }
}

TEST(Message, DeeplyNestedTextsStayPlainStrings) {
    for (const std::string& text : {kDeep, kDeep + std::string(2000, ']')}) {
        GetMessage message;
        EXPECT_NO_THROW(EXPECT_TRUE(message.SetParameter(Param::value, text.c_str())));
        EXPECT_EQ(message.GetParameter(Param::value), text);

        // The same text arriving from a peer inside a string member.
        GetMessage received;
        Json::Value body(Json::objectValue);
        body["value"] = text;
        std::string error;
        EXPECT_NO_THROW(EXPECT_TRUE(received.FromNetworkFormat(true, "get " + compact(body), error)));
        EXPECT_EQ(received.GetParameter(Param::value), text);

        // As the body itself it is refused with the reader's reason.
        Json::Value out;
        EXPECT_FALSE(received.ParseJson(text, out, error));
        EXPECT_FALSE(error.empty());

        // The reader that gave up reads the next text from a clean start.
        EXPECT_TRUE(received.ParseJson("{\"a\":[1,{\"b\":2}]}", out, error));
        EXPECT_EQ(compact(out), "{\"a\":[1,{\"b\":2}]}");
    }
}

TEST(Message, ParseJsonStartsAtTheFirstBracket) {
    GetMessage message;
    Json::Value out;
    std::string error;
    EXPECT_TRUE(message.ParseJson("garbage {\"a\":1}", out, error));
    EXPECT_EQ(compact(out), "{\"a\":1}");
    EXPECT_TRUE(message.ParseJson("no brackets", out, error));
    EXPECT_EQ(compact(out), "{}");
    EXPECT_TRUE(message.ParseJson("", out, error));
    EXPECT_FALSE(message.ParseJson("x {\"a\":", out, error));
    EXPECT_EQ(error, "Error while parsing json");
}

TEST(Message, FromJsonOutcomes) {
    std::string error;
    GetMessage array;
    EXPECT_TRUE(array.FromJson(true, "get [{\"path\":\"p\"}]", error));
    EXPECT_EQ(array.ParameterCount(), 0u);

    GetMessage empty;
    EXPECT_TRUE(empty.FromJson(true, "", error));

    // A line the header parser rejects is a failure, not an empty success.
    ZelkorTest::LogCapture log;
    GetMessage rejected;
    error.clear();
    EXPECT_FALSE(rejected.FromJson(true, "get {\"path\":", error));
    EXPECT_EQ(error, "Invalid message line");
    EXPECT_EQ(log.Count("ZK5104E"), 1u);
    EXPECT_FALSE(rejected.FromJson(true, "GET {}", error));
    EXPECT_EQ(rejected.ParameterCount(), 0u);

    // Accepted by the header (text after the value), refused by the body reader.
    EXPECT_FALSE(rejected.FromJson(true, "get 5 {", error));
    EXPECT_EQ(error, "Error while parsing json");
}

TEST(Message, ParameterStorageRules) {
    GetMessage message;
    EXPECT_FALSE(message.SetParameter(Param::mode, "x"));
    EXPECT_FALSE(message.SetParameter(Param::unknown, "x"));
    EXPECT_FALSE(message.SetJsonParameter(Param::mode, Json::Value(1)));
    EXPECT_EQ(message.ParameterCount(), 0u);

    ASSERT_TRUE(message.SetParameter(Param::guid, "guid"));
    EXPECT_STREQ(message.GetParameter(Param::guid), "guid");
    EXPECT_EQ(message.GetParamValue(Param::guid), "");
    EXPECT_EQ(message.GetParamValue(Param::path), "");

    ASSERT_TRUE(message.SetJsonParameter(Param::size, Json::Value(42)));
    EXPECT_STREQ(message.GetParameter(Param::size), "42");
    EXPECT_EQ(message.GetParamValue(Param::size), "42");
    ASSERT_TRUE(message.SetParameter(Param::path, "/p"));
    // Declaration order, not the order of setting.
    EXPECT_EQ(message.GetParamEnums(), (std::vector<Param>{Param::path, Param::size, Param::guid}));

    EXPECT_TRUE(message.SetParameter(Param::size, nullptr));
    EXPECT_TRUE(message.SetJsonParameter(Param::guid, Json::Value()));
    EXPECT_EQ(message.GetParamEnums(), (std::vector<Param>{Param::path}));

    Json::Value out("untouched");
    message.GetJsonParameter(out, Param::value);
    EXPECT_TRUE(out.isNull());
    message.SetParameterDirect(Param::mode, nullptr);
    out = "untouched";
    message.GetJsonParameter(out, Param::mode);
    EXPECT_EQ(out.asString(), "untouched");
    EXPECT_STREQ(message.GetParameter(Param::mode), "");
    // Undeclared parameters stored directly are not written.
    EXPECT_EQ(message.ToJson(true), "get {\"path\":\"/p\"}");

    GetMessage copy(message);
    copy.SetParameter(Param::path, "/q");
    copy.SetIsReply(true);
    EXPECT_STREQ(message.GetParameter(Param::path), "/p");
    EXPECT_FALSE(message.GetIsReply());
    std::string error;
    EXPECT_FALSE(message.GetIsError(error));
}

TEST(Message, TypedWriters) {
    using Writer = void (*)(Json::Value&, Param, const char*);
    const struct {
        Writer write;
        const char* text;
        const char* json;
    } cases[] = {
        {Message::putString, "x", "\"x\""},
        {Message::putString, "", "\"\""},
        {Message::putString, nullptr, "null"},
        {Message::putInt, "-42", "-42"},
        {Message::putInt, "+42", "42"},
        {Message::putInt, "9223372036854775807", "9223372036854775807"},
        {Message::putInt, "9223372036854775808", "\"9223372036854775808\""},
        {Message::putInt, "+-1", "\"+-1\""},
        {Message::putInt, "12a", "\"12a\""},
        {Message::putInt, " 1", "\" 1\""},
        {Message::putInt, "", "null"},
        {Message::putInt, nullptr, "null"},
        {Message::putUint, "18446744073709551615", "18446744073709551615"},
        {Message::putUint, "-1", "18446744073709551615"},
        {Message::putUint, "+7", "7"},
        {Message::putUint, "-", "\"-\""},
        {Message::putUint, "18446744073709551616", "\"18446744073709551616\""},
        {Message::putUint, "", "null"},
        {Message::putBool, "TRUE", "true"},
        {Message::putBool, "yes", "false"},
        {Message::putBool, "", "false"},
        {Message::putBool, nullptr, "null"},
    };
    for (const auto& c : cases) {
        Json::Value object(Json::objectValue);
        c.write(object, Param::port, c.text);
        EXPECT_EQ(compact(object["port"]), c.json) << (c.text ? c.text : "(null)");
    }
    Json::Value object(Json::objectValue);
    Message::putNul(object, Param::port);
    EXPECT_EQ(compact(object), "{\"port\":null}");
}

TEST(Message, NumberConversionsNeverThrow) {
    EXPECT_EQ(Message::stoi(" 42abc"), 42);
    EXPECT_EQ(Message::stoi("-7"), -7);
    EXPECT_EQ(Message::stoi("abc"), 0);
    EXPECT_EQ(Message::stoi("99999999999"), 0);
    EXPECT_EQ(Message::stoi(static_cast<const char*>(nullptr)), 0);
    EXPECT_DOUBLE_EQ(Message::stod("2.5x"), 2.5);
    EXPECT_DOUBLE_EQ(Message::stod("x"), 0.0);
    EXPECT_DOUBLE_EQ(Message::stod("1e999"), 0.0);

    using namespace Zelkor::Conversions;
    EXPECT_EQ(StringToNumber<unsigned long long>("18446744073709551615"), 18446744073709551615ull);
    EXPECT_EQ(StringToNumber<long>(" -12 rest"), -12);
    EXPECT_EQ(StringToNumber<unsigned int>("x"), 0u);
    EXPECT_EQ(StringToNumber<long long>(nullptr), 0);
    EXPECT_EQ(StringToNumber<unsigned long>("99999999999999999999"), 0ul);
    EXPECT_EQ(NumberToString<long long>(-9223372036854775807LL - 1), "-9223372036854775808");
    EXPECT_EQ(NumberToString<unsigned int>(7u), "7");
}

TEST(Message, ArgumentsPayloadForms) {
    GetMessage named;
    EXPECT_TRUE(named.AddParameter("k", "v"));
    EXPECT_FALSE(named.AddParameter("v2"));
    EXPECT_FALSE(named.AddParameter(nullptr, "v"));
    GetMessage ordered;
    EXPECT_TRUE(ordered.AddParameter("a"));
    EXPECT_FALSE(ordered.AddParameter("k", "v"));

    const auto written = [](const Message& m) {
        Json::Value object(Json::objectValue);
        m.ToNetworkParms(object);
        return compact(object);
    };
    EXPECT_EQ(written(named), "{\"arguments\":{\"k\":\"v\"}}");
    EXPECT_EQ(written(ordered), "{\"arguments\":[\"a\"]}");
    GetMessage text;
    text.SetParms(std::string("plain words"));
    EXPECT_EQ(written(text), "{\"arguments\":\"plain words\"}");
    GetMessage json;
    json.SetParms(std::string("{\"deep\":[1]}"));
    EXPECT_EQ(written(json), "{\"arguments\":{\"deep\":[1]}}");
    GetMessage number;
    number.SetParms(std::string(" 42 "));
    EXPECT_EQ(written(number), "{\"arguments\":42}");
    // Words after a value are not dropped: the whole text stays the string arguments.
    for (const std::string& words : {std::string("42 apples"), std::string("[3] items removed"), kDeep}) {
        GetMessage message;
        EXPECT_NO_THROW(message.SetParms(words));
        EXPECT_EQ(message.GetStrParms(), words);
        EXPECT_TRUE(message.GetJsonParms().isNull());
    }
    EXPECT_EQ(written(GetMessage()), "{}");

    const auto read = [](const char* body) {
        Json::Value value;
        std::string errors;
        EXPECT_EQ(Zelkor::ReadJson(body, value, errors), Zelkor::JsonReadResult::ok);
        auto m = std::make_unique<GetMessage>();
        m->FromNetworkParms(value);
        return m;
    };
    auto object = read("{\"a\":1,\"b\":[2],\"c\":3}");
    EXPECT_TRUE(object->GetNamedParms().empty());
    EXPECT_EQ(compact(object->GetJsonParms()), "{\"a\":1,\"b\":[2],\"c\":3}");
    auto scalars = read("{\"a\":1,\"b\":true,\"c\":null}");
    EXPECT_EQ(scalars->GetNamedParms(), (Message::NamedParms{{"a", "1"}, {"b", "true"}, {"c", ""}}));
    auto list = read("[1,\"x\",[2],4]");
    EXPECT_EQ(list->GetOrderedParms(), (Message::OrderedParms{"1", "x"}));
    EXPECT_EQ(compact(list->GetJsonParms()), "[1,\"x\",[2],4]");
    auto scalar = read("12");
    EXPECT_EQ(scalar->GetStrParms(), "12");
    scalar->FromNetworkParms(Json::Value());
    EXPECT_EQ(scalar->GetStrParms(), "12");
    // Arrays append to what is there.
    Json::Value more(Json::arrayValue);
    more.append("y");
    list->FromNetworkParms(more);
    EXPECT_EQ(list->GetOrderedParms(), (Message::OrderedParms{"1", "x", "y"}));
}
