// Request containers: request values read from text, the JSON form of requests and
// replies, and the refusal of peer input that is no request.
#include <gtest/gtest.h>

#include <string>

#include <json/json.h>

#include "StorageTestSupport.h"
#include "storage/ContainerFormatValue.h"
#include "storage/FormatValuePair.h"
#include "storage/JsonTextIO.h"
#include "storage/ObjectParamContainer.h"

using Zelkor::ContainerFormatValue;
using Zelkor::FormatValuePair;
using Zelkor::ObjectParamContainer;
using ZelkorTest::ParseJson;

TEST(FormatValuePair, ValueTextByFormatThenType) {
    struct Case {
        const char* format;
        const char* type;  // null: the constructor that knows no type
        const char* text;
        const char* expected;  // JSON text; type and value must both match
    };
    const Case cases[] = {
        // Without a type only the number formats convert, and only texts that are numbers.
        {"number", nullptr, "7.5", "7.5"},
        {"number", nullptr, "1e400", "0"},
        {"variant", nullptr, "7", "\"7\""},
        // Whole numbers beyond 32 bits are kept rather than refused.
        {"number", nullptr, "3000000000", "3000000000"},
        {"variant", "integer", "-99999999999999999999", "-9223372036854775808"},
        // A "float" value as the storage keeps it, in hexadecimal notation.
        {"variant", "float", "0x1.8p+0", "1.5"},
    };
    for (const auto& c : cases) {
        const FormatValuePair pair = c.type ? FormatValuePair(c.format, c.type, c.text, false)
                                            : FormatValuePair(c.format, c.text, false);
        const Json::Value expected = ParseJson(c.expected);
        EXPECT_EQ(pair.value, expected) << c.format << " '" << c.text << "'";
    }
}

// A reply as peers receive it: every value of a name kept in order, an error given to the
// first value of its format only, a defaulted format left out, an empty value left out
// too, and structured values written as they are.
TEST(ObjectParamContainer, ReplyGolden) {
    ContainerFormatValue values;
    values.AddContainer("gain", "number", 0, false);
    values.AddContainer("gain", "5", "number", false, false);
    values.AddContainer("gain", Json::Value("x"), nullptr, false, true);
    values.AddContainer("list", ParseJson(R"([1, {"a": 2}])"), "variant", false, false);
    values.AddContainer("list", Json::Value(), "variant", false, false);
    values.AddErrorContainer("mute", "Invalid Path");
    values.SetError("gain", "number", "Path Readonly");
    values.SetError("absent", "string", "ignored");
    ObjectParamContainer container;
    container.AddContainers("/a", values);
    EXPECT_EQ(container.ToJsonText(),
              R"([{"error":"Path Readonly","format":"number","path":"/a/gain"},)"
              R"({"format":"number","path":"/a/gain","value":5},{"path":"/a/gain","value":"x"},)"
              R"({"format":"variant","path":"/a/list","value":[1,{"a":2}]},)"
              R"({"format":"variant","path":"/a/list"},)"
              R"({"error":"Invalid Path","path":"/a/mute"}])");
}

TEST(ObjectParamContainer, JsonFormOfRequests) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"path":" /x/y\t","format":"variant"})", R"([{"format":"variant","path":"/x/y","value":""}])"},
        {R"({"path":"/x/y","format":null,"value":null})", R"([{"path":"/x/y","value":""}])"},
        {R"({"path":"/a/o","format":5,"value":{"k":[true]}})",
         R"([{"format":"5","path":"/a/o","value":{"k":[true]}}])"},
        {R"({"path":"/a/m","error":"Invalid Path","value":1})", R"([{"path":"/a/m","value":1}])"},
        // A path is split at its last "/" as a file path is, and joined again as it came.
        {R"([{"path":"/b/"},{"path":"y"},{"path":"/"},{"path":"/c"}])",
         R"([{"path":"/","value":""},{"path":"/c","value":""},{"path":"/b/.","value":""},{"path":"y","value":""}])"},
    };
    for (const auto& [in, out] : cases) {
        ObjectParamContainer container;
        EXPECT_TRUE(container.FromJsonText(in)) << in;
        EXPECT_EQ(container.ToJsonText(), out) << in;
        ObjectParamContainer again;
        EXPECT_TRUE(again.FromJsonText(container.ToJsonText())) << in;
        EXPECT_EQ(again.ToJsonText(), out) << in << " (round trip)";
    }
    // A request without entries is accepted and, like any container without a value, writes null.
    ObjectParamContainer none;
    EXPECT_TRUE(none.FromJsonText("[]"));
    EXPECT_EQ(none.ToJsonText(), "null");
}

TEST(ObjectParamContainer, RefusedInputAddsNothingAfterTheRefusal) {
    const std::pair<std::string, const char*> cases[] = {
        {R"({"path":5})", "null"},
        {R"({"path":"/a/b","format":["x"]})", "null"},
        {R"([{"path":"/a/b"},{"path":1},{"path":"/a/c"}])", R"([{"path":"/a/b","value":""}])"},
        {"{\"path\":", "null"},
        {"[{\"path\":\"/a\",\"value\":" + std::string(100000, '[') + std::string(100000, ']') + "}]", "null"},
    };
    for (const auto& [in, kept] : cases) {
        ObjectParamContainer container;
        EXPECT_FALSE(container.FromJsonText(in)) << in.substr(0, 40);
        EXPECT_EQ(container.ToJsonText(), kept) << in.substr(0, 40);
    }
    // A value nested too deep is refused also when it comes as JSON.
    Json::Value entry(Json::objectValue);
    entry["path"] = "/a/b";
    Json::Value* leaf = &entry["value"];
    for (unsigned i = 0; i <= Zelkor::kMaxJsonDepth; ++i) {
        leaf = &leaf->append(Json::Value());
    }
    ObjectParamContainer container;
    EXPECT_FALSE(container.FromJson(entry));
    EXPECT_TRUE(container.ToJson().isNull());
}
