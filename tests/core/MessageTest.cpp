#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "core/Conversions.h"
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

std::string arguments(const Message& message) {
    Json::Value object(Json::objectValue);
    message.ToNetworkParms(object);
    return compact(object);
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
            SetJsonParameter(p, body[GetStringFromParam(p)]);
        }
        return true;
    }
};

}  // namespace

TEST(Message, TypedBodiesAreWrittenCompactBehindTheHeader) {
    EXPECT_EQ(TypedSet().Build(true), "set {}\n");

    TypedSet message;
    ASSERT_TRUE(message.SetParameter(Param::path, "/a"));
    ASSERT_TRUE(message.SetParameter(Param::size, "42"));
    ASSERT_TRUE(message.SetParameter(Param::readonly, "TRUE"));
    ASSERT_TRUE(message.SetParameter(Param::value, "{\"b\": {\"c\": \"d\"}, \"a\": [1, 2.5, true, null]}"));
    MessageForwardInfo route("B", "A", "");
    route.hasHash = true;
    message.SetMessageForwardInfo(route);
    const std::string line = message.Build(false);
    EXPECT_EQ(line, R"(1 [B][A] @set {"path":"/a","readonly":true,"size":42,)"
                    R"("value":{"a":[1,2.5,true,null],"b":{"c":"d"}}})"
                    "\n");

    // Read back and written again without the route: the same body, member for member.
    TypedSet received;
    std::string error;
    ASSERT_TRUE(received.FromNetworkFormat(false, line, error)) << error;
    EXPECT_EQ(received.Build(false), line.substr(std::string("1 [B][A] ").size()));
    EXPECT_EQ(jsonOf(received, Param::readonly), "true");
}

// The base body: every value a string, members sorted, escapes and structure kept.
TEST(Message, WireRoundTripKeepsEveryValue) {
    GetMessage sent;
    EXPECT_EQ(sent.Build(true), "get\n");
    EXPECT_EQ(sent.Build(false), "@get\n");
    const std::pair<Param, const char*> values[] = {
        {Param::path, "/configuration/device/name"},
        {Param::value, "{ \"on\" : true, \"list\" : [1, \"two\", {\"three\": 3}] }"},
        {Param::files, "[\"a.bin\",\"b.bin\"]"},
        {Param::size, "18446744073709551615"},
        {Param::readonly, "true"},
        {Param::error, "tab\tquote\" back\\ line\n euro \xe2\x82\xac"},
        {Param::guid, ""},
        {Param::params, "[3] items removed"},
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
    EXPECT_EQ(line, header + R"(@get {"error":"tab\tquote\" back\\ line\n euro \u20ac",)"
                             R"("files":"[\"a.bin\",\"b.bin\"]","guid":"","params":"[3] items removed",)"
                             R"("path":"/configuration/device/name","readonly":"true","size":"18446744073709551615",)"
                             R"("value":"{\"list\":[1,\"two\",{\"three\":3}],\"on\":true}"})"
                             "\n");

    // The receiving road: the socket strips the header, the factory makes the message.
    MessageForwardInfo received;
    const std::string rest = received.PullHeader(line);
    ASSERT_TRUE(received.isReply);
    ASSERT_EQ(received.GetTargetPaths(), "B&C");
    auto message = ZelkorTest::CreateGetMessage();
    std::string error;
    ASSERT_TRUE(message->FromNetworkFormat(!received.isReply, rest, error)) << error;
    EXPECT_EQ(message->Build(false), line.substr(header.size()));
    EXPECT_EQ(jsonOf(*message, Param::value), "{\"list\":[1,\"two\",{\"three\":3}],\"on\":true}");
    EXPECT_EQ(jsonOf(*message, Param::size), "\"18446744073709551615\"");
    // The full line (header included) reads the same.
    GetMessage again;
    ASSERT_TRUE(again.FromNetworkFormat(true, line, error));
    EXPECT_EQ(again.Build(false), line.substr(header.size()));
}

// Anything but one whole array or object stays the text it was, so nothing is lost.
TEST(Message, OnlyAWholeArrayOrObjectTextIsStructured) {
    const struct {
        std::string text;
        const char* json;  // compact form of the stored value
    } cases[] = {
        {"[3]", "[3]"},
        {" { \"a\" : 1 }\n", "{\"a\":1}"},
        {"[3] items removed", R"("[3] items removed")"},
        {R"({"a":1} {"b":2})", R"("{\"a\":1} {\"b\":2}")"},
        {"5", R"("5")"},
        {"true", R"("true")"},
        {R"("q")", R"("\"q\"")"},
        {"", R"("")"},
        {"{", R"("{")"},
        {"[1,]", R"("[1,]")"},
        {"[1] // note", R"("[1] // note")"},
        {R"({"a":1,"a":2})", R"("{\"a\":1,\"a\":2}")"},
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

// Members are stored as their text: numbers, booleans and null included, arrays, objects
// and undeclared names left out. A line the header parser rejects, or whose body cannot
// be read, is a failure with its reason, never an empty success.
TEST(Message, FromJsonOutcomes) {
    const struct {
        const char* line;
        const char* error;  // null: accepted
        const char* stored;  // the message written again
    } cases[] = {
        {"", nullptr, "get"},
        {"get 5", nullptr, "get"},
        {"get [{\"path\":\"p\"}]", nullptr, "get"},
        {R"(get {"PATH":"p","value":5,"size":18446744073709551615,"level":-3,"time":1.5,"readonly":true,)"
         R"("error":null,"files":[1],"params":{"a":1},"unknown":"x","mode":"m"})",
         nullptr,
         R"(get {"error":"","level":"-3","path":"p","readonly":"true","size":"18446744073709551615",)"
         R"("time":"1.5","value":"5"})"},
        // Text the header lets pass is read from its first bracket on.
        {"get 5 {\"path\":\"p\"}", nullptr, "get {\"path\":\"p\"}"},
        {"get {\"path\":", "Invalid message line", "get"},
        {"GET {}", "Invalid message line", "get"},
        {"get 5 {", "Error while parsing json", "get"},
    };
    for (const auto& c : cases) {
        GetMessage message;
        std::string error;
        EXPECT_EQ(message.FromJson(true, c.line, error), c.error == nullptr) << c.line;
        EXPECT_EQ(error, c.error ? c.error : "") << c.line;
        EXPECT_EQ(message.ToJson(true), c.stored) << c.line;
        // Nothing undeclared is stored behind the written form.
        EXPECT_EQ(message.ParameterCount(), message.GetParamEnums().size()) << c.line;
    }
}

TEST(Message, ParameterStorageRules) {
    GetMessage message;
    EXPECT_FALSE(message.SetParameter(Param::unknown, "x"));
    EXPECT_FALSE(message.SetJsonParameter(Param::mode, Json::Value(1)));
    EXPECT_EQ(message.ParameterCount(), 0u);

    // A value that is the parameter's own name reads as no value.
    ASSERT_TRUE(message.SetParameter(Param::guid, "guid"));
    EXPECT_EQ(message.GetParamValue(Param::guid), "");
    EXPECT_EQ(message.GetParamValue(Param::path), "");
    ASSERT_TRUE(message.SetJsonParameter(Param::size, Json::Value(42)));
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
}

TEST(Message, TypedWriters) {
    using Writer = void (*)(Json::Value&, Param, const char*);
    const struct {
        Writer write;
        const char* text;
        const char* json;
    } cases[] = {
        // A number only when the whole text is one in range; the text itself otherwise.
        {Message::putInt, "-42", "-42"},
        {Message::putInt, "+42", "42"},
        {Message::putInt, "9223372036854775807", "9223372036854775807"},
        {Message::putInt, "9223372036854775808", R"("9223372036854775808")"},
        {Message::putInt, "+-1", R"("+-1")"},
        {Message::putInt, "12a", R"("12a")"},
        {Message::putInt, " 1", R"(" 1")"},
        {Message::putUint, "18446744073709551615", "18446744073709551615"},
        {Message::putUint, "-1", "18446744073709551615"},
        {Message::putUint, "+7", "7"},
        {Message::putUint, "-", R"("-")"},
        {Message::putUint, "18446744073709551616", R"("18446744073709551616")"},
        {Message::putBool, "TRUE", "true"},
        {Message::putBool, "yes", "false"},
        // No text, no value.
        {Message::putString, nullptr, "null"}, {Message::putInt, nullptr, "null"},
        {Message::putUint, "", "null"},        {Message::putBool, nullptr, "null"},
    };
    for (const auto& c : cases) {
        Json::Value object(Json::objectValue);
        c.write(object, Param::port, c.text);
        EXPECT_EQ(compact(object["port"]), c.json) << (c.text ? c.text : "(null)");
    }
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
}

TEST(Message, ArgumentsAreWrittenFromTheFirstFormSet) {
    GetMessage named;
    EXPECT_TRUE(named.AddParameter("k", "v"));
    EXPECT_FALSE(named.AddParameter("v2"));
    EXPECT_FALSE(named.AddParameter(nullptr, "v"));
    EXPECT_EQ(arguments(named), "{\"arguments\":{\"k\":\"v\"}}");
    GetMessage ordered;
    EXPECT_TRUE(ordered.AddParameter("a"));
    EXPECT_FALSE(ordered.AddParameter("k", "v"));
    EXPECT_EQ(arguments(ordered), "{\"arguments\":[\"a\"]}");
    EXPECT_EQ(arguments(GetMessage()), "{}");

    // A text is JSON only when it is one value as a whole: words after a value are kept.
    const struct {
        std::string text;
        std::string json;
    } texts[] = {
        {"{\"deep\":[1]}", "{\"deep\":[1]}"},
        {" 42 ", "42"},
        {"plain words", "\"plain words\""},
        {"42 apples", "\"42 apples\""},
        {"[3] items removed", "\"[3] items removed\""},
        {kDeep, "\"" + kDeep + "\""},
    };
    for (const auto& t : texts) {
        GetMessage message;
        EXPECT_NO_THROW(message.SetParms(t.text));
        EXPECT_EQ(arguments(message), "{\"arguments\":" + t.json + "}") << t.text.substr(0, 20);
        // One form only: no JSON value hides behind the string.
        EXPECT_NE(message.GetStrParms().empty(), message.GetJsonParms().isNull()) << t.text.substr(0, 20);
    }
}

TEST(Message, ArgumentsAreReadIntoTheFormThatHoldsThem) {
    const auto read = [](const char* body) {
        Json::Value value;
        std::string errors;
        EXPECT_EQ(Zelkor::ReadJson(body, value, errors), Zelkor::JsonReadResult::ok);
        auto m = std::make_unique<GetMessage>();
        m->FromNetworkParms(value);
        return m;
    };
    // Structure anywhere keeps the whole value reachable as JSON instead of dropping it.
    auto object = read("{\"a\":1,\"b\":[2],\"c\":3}");
    EXPECT_TRUE(object->GetNamedParms().empty());
    EXPECT_EQ(compact(object->GetJsonParms()), "{\"a\":1,\"b\":[2],\"c\":3}");
    auto list = read("[1,\"x\",[2],4]");
    EXPECT_EQ(list->GetOrderedParms(), (Message::OrderedParms{"1", "x"}));
    EXPECT_EQ(compact(list->GetJsonParms()), "[1,\"x\",[2],4]");

    auto scalars = read("{\"a\":1,\"b\":true,\"c\":null}");
    EXPECT_EQ(scalars->GetNamedParms(), (Message::NamedParms{{"a", "1"}, {"b", "true"}, {"c", ""}}));
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
