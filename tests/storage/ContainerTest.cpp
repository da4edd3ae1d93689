// Request containers: request values read from text, the readable and JSON forms of
// requests and replies, and the refusal of peer input that is no request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <json/json.h>

#include "StorageTestSupport.h"
#include "storage/ContainerFormatValue.h"
#include "storage/FormatValuePair.h"
#include "storage/JsonTextIO.h"
#include "storage/ObjectParamContainer.h"
#include "storage/PathAppend.h"

using Zelkor::ContainerFormatValue;
using Zelkor::FormatValuePair;
using Zelkor::ObjectParamContainer;
using ZelkorTest::ParseJson;

namespace {

std::string nestedArrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST(FormatValuePair, ValueTextByFormatThenType) {
    struct Case {
        const char* format;
        const char* type;  // null: the constructor that knows no type
        const char* text;
        const char* expected;  // JSON text; type and value must both match
    };
    const Case cases[] = {
        // Without a type only the number formats convert, and only texts that are numbers.
        {"number", nullptr, "7", "7"},
        {"number", nullptr, "7.5", "7.5"},
        {"number", nullptr, "1e3", "1000"},
        {"number", nullptr, "-2147483648", "-2147483648"},
        {"number", nullptr, "abc", "\"abc\""},
        {"number", nullptr, "1.", "\"1.\""},
        {"number", nullptr, "", "\"\""},
        {"number", nullptr, "+", "0"},
        {"number", nullptr, "1e400", "0"},
        {"number", nullptr, "0x10", "\"0x10\""},
        {"norm", nullptr, ".25", "0.25"},
        {"norm", nullptr, "-0", "0"},
        {"variant", nullptr, "7", "\"7\""},
        {"string", nullptr, "7", "\"7\""},
        // Whole numbers beyond 32 bits are kept rather than refused.
        {"number", nullptr, "3000000000", "3000000000"},
        {"number", nullptr, "-9223372036854775808", "-9223372036854775808"},
        {"number", nullptr, "1e300", "1e300"},
        {"string", "integer", "12", "\"12\""},
        {"variant", "integer", "12abc", "12"},
        {"variant", "integer", "  -5", "-5"},
        {"variant", "integer", "+8", "8"},
        {"variant", "integer", "abc", "0"},
        {"variant", "integer", "99999999999999999999", "9223372036854775807"},
        {"variant", "integer", "-99999999999999999999", "-9223372036854775808"},
        {"variant", "boolean", "true", "true"},
        {"variant", "boolean", "True", "false"},
        {"variant", "float", "2.5", "2.5"},
        {"variant", "float", "2", "2.0"},
        {"variant", "float", "  +2.5x", "2.5"},
        {"variant", "float", "infinity", "0.0"},
        // A "float" value as the storage keeps it, in hexadecimal notation.
        {"variant", "float", "0x1.8p+0", "1.5"},
        {"number", "", "-0x10", "-16"},
        {"variant", "enum", "x", "\"x\""},
        {"number", "string", "12abc", "12"},
        {"number", "", "nan", "0"},
        {"norm", "", "-inf", "0"},
    };
    for (const auto& c : cases) {
        const std::string label = std::string(c.format) + "/" + (c.type ? c.type : "-") + " '" + c.text + "'";
        const FormatValuePair pair = c.type ? FormatValuePair(c.format, c.type, c.text, false)
                                            : FormatValuePair(c.format, c.text, false);
        const Json::Value expected = ParseJson(c.expected);
        EXPECT_EQ(pair.value.type(), expected.type()) << label;
        EXPECT_EQ(pair.value, expected) << label;
    }
}

// A reply in all its forms: every value of a name kept in order, an error given to the
// first value of its format only, a defaulted format left out of the JSON form, an empty
// value left out of it too, and structured values written as compact JSON.
TEST(ObjectParamContainer, ReplyForms) {
    ContainerFormatValue values;
    values.AddContainer("gain", "number", 0, false);
    values.AddContainer("gain", "5", "number", false, false);
    values.AddContainer("gain", std::string("7"), "string", false, false);
    values.AddContainer("gain", Json::Value("x"), nullptr, false, true);
    values.AddContainer("gain", "number", 0, false);
    values.AddContainer("list", ParseJson(R"([1, {"a": 2}])"), "variant", false, false);
    values.AddContainer("list", Json::Value(), "variant", false, false);
    values.AddErrorContainer("mute", "Invalid Path");
    values.AddContainer("empty", "variant", 0, false);
    values.GetContainer("empty")->clear();
    values.SetError("gain", "number", "Path Readonly");
    values.SetError("gain", "norm", "ignored");
    values.SetError("absent", "string", "ignored");
    ObjectParamContainer container;
    container.AddContainers("/a", values);

    EXPECT_EQ(container.ToJsonText(),
              R"([{"error":"Path Readonly","format":"number","path":"/a/gain"},)"
              R"({"format":"number","path":"/a/gain","value":5},)"
              R"({"format":"string","path":"/a/gain","value":"7"},{"path":"/a/gain","value":"x"},)"
              R"({"format":"number","path":"/a/gain","value":""},)"
              R"({"format":"variant","path":"/a/list","value":[1,{"a":2}]},)"
              R"({"format":"variant","path":"/a/list"},)"
              R"({"error":"Invalid Path","path":"/a/mute"}])");
    EXPECT_EQ(container.ToString(),
              "Obj/Param Path: /a"
              "\n\tContainer Path: empty Values: []"
              "\n\tContainer Path: gain Values: [number: err=Path Readonly number: 5 string: 7 "
              "variant: x number: ]"
              "\n\tContainer Path: list Values: [variant: [1,{\"a\":2}] variant: \"\"]"
              "\n\tContainer Path: mute Values: [: err=Invalid Path]");
    EXPECT_EQ(container.ToList(),
              "empty\ngain: error: Path Readonly 5 7 x \nlist: [1,{\"a\":2}] \"\"\nmute: error: Invalid Path\n");
}

TEST(PathAppend, JoinsWithOneSeparatorWhereNeeded) {
    struct Case {
        const char* first;
        const char* second;
        const char* joined;
    };
    const Case cases[] = {
        {"/a/b", "c", "/a/b/c"},
        {"/a/b", "", "/a/b"},
        {"", "c", "c"},
        {"", "", ""},
        {"/", "c", "/c"},
        {"/a/", "c", "/a/c"},
        {"/a", "/c", "/a/c"},
        {"/a/", "/c", "/a//c"},
        {"a", ".size", "a/.size"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Zelkor::AppendPath(c.first, c.second), c.joined) << c.first << " + " << c.second;
    }
}

TEST(ObjectParamContainer, FromJsonSplitsEachPathIntoObjectAndName) {
    struct Case {
        const char* path;
        const char* objectPath;
        const char* name;
        const char* writtenPath;
    };
    const Case cases[] = {
        {"/a/b/c", "/a/b", "c", "/a/b/c"},
        {" /x/y\t", "/x", "y", "/x/y"},
        {"/c", "/", "c", "/c"},
        {"/a/b/", "/a/b", ".", "/a/b/."},
        {"/", "", "/", "/"},
        {"y", "y", "", "y"},
        {"", "", "", ""},
        {"/p/.enums", "/p", ".enums", "/p/.enums"},
    };
    for (const auto& c : cases) {
        ObjectParamContainer container;
        Json::Value entry(Json::objectValue);
        entry["path"] = c.path;
        entry["format"] = "variant";
        ASSERT_TRUE(container.FromJson(entry)) << c.path;
        EXPECT_EQ(container.GetContainerNames(), std::vector<std::string>{c.objectPath}) << c.path;
        const auto* containers = container.GetContainers(c.objectPath);
        ASSERT_NE(containers, nullptr) << c.path;
        EXPECT_EQ(containers->front().GetContainerNames(), std::vector<std::string>{c.name}) << c.path;
        EXPECT_EQ(container.ToJson()[0]["path"].asString(), c.writtenPath) << c.path;
    }
}

TEST(ObjectParamContainer, JsonFormOfRequestsAndReplies) {
    struct Case {
        const char* label;
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"request with format", R"({"path":" /x/y ","format":"variant"})",
         R"([{"format":"variant","path":"/x/y","value":""}])"},
        {"format left out stays left out", R"({"path":"/x/y"})", R"([{"path":"/x/y","value":""}])"},
        {"null format counts as none", R"({"path":"/x/y","format":null,"value":null})",
         R"([{"path":"/x/y","value":""}])"},
        {"value of any type kept", R"([{"path":"/a/n","format":"number","value":3},
                                       {"path":"/a/s","value":"three"},
                                       {"path":"/a/l","value":[1,[2]]},
                                       {"path":"/a/o","value":{"k":true}}])",
         R"([{"format":"number","path":"/a/n","value":3},{"path":"/a/s","value":"three"},)"
         R"({"path":"/a/l","value":[1,[2]]},{"path":"/a/o","value":{"k":true}}])"},
        {"error member is not read", R"({"path":"/a/m","error":"Invalid Path","value":1})",
         R"([{"path":"/a/m","value":1}])"},
        {"scalar format read as text", R"({"path":"/a/m","format":5})",
         R"([{"format":"5","path":"/a/m","value":""}])"},
        {"paths come out in order", R"([{"path":"/b/x"},{"path":"/a/y"},{"path":"/a/x"}])",
         R"([{"path":"/a/y","value":""},{"path":"/a/x","value":""},{"path":"/b/x","value":""}])"},
    };
    for (const auto& c : cases) {
        ObjectParamContainer container;
        EXPECT_TRUE(container.FromJsonText(c.in)) << c.label;
        EXPECT_EQ(container.ToJsonText(), c.out) << c.label;

        ObjectParamContainer again;
        EXPECT_TRUE(again.FromJsonText(container.ToJsonText())) << c.label;
        EXPECT_EQ(again.ToJsonText(), container.ToJsonText()) << c.label << " (round trip)";
    }
}

// A request without entries is accepted and, like any container without a value, writes null.
TEST(ObjectParamContainer, EmptyContainerWritesNull) {
    ObjectParamContainer none;
    EXPECT_TRUE(none.FromJsonText("[]"));
    none.AddContainers("/a", ContainerFormatValue());
    EXPECT_EQ(none.ToJsonText(), "null");
}

TEST(ObjectParamContainer, RefusedInputAddsNothingAfterTheRefusal) {
    struct Case {
        const char* label;
        std::string in;
        const char* kept;
    };
    const Case cases[] = {
        {"no path", R"({"format":"variant"})", "null"},
        {"path not a text", R"({"path":5})", "null"},
        {"format not a scalar", R"({"path":"/a/b","format":["x"]})", "null"},
        {"scalar document", "5", "null"},
        {"text document", R"("path")", "null"},
        {"array stops at a non-object", R"([{"path":"/a/b"},5,{"path":"/a/c"}])",
         R"([{"path":"/a/b","value":""}])"},
        {"array stops at a bad entry", R"([{"path":"/a/b"},{"path":1},{"path":"/a/c"}])",
         R"([{"path":"/a/b","value":""}])"},
        {"not JSON", "{\"path\":", "null"},
        {"nesting too deep", "[{\"path\":\"/a\",\"value\":" + nestedArrays(100000) + "}]", "null"},
    };
    for (const auto& c : cases) {
        ObjectParamContainer container;
        EXPECT_FALSE(container.FromJsonText(c.in)) << c.label;
        EXPECT_EQ(container.ToJsonText(), c.kept) << c.label;
    }
}

TEST(ObjectParamContainer, DeepValueGivenAsJsonIsRefused) {
    Json::Value deep;
    Json::Value* leaf = &deep;
    for (unsigned i = 0; i <= Zelkor::kMaxJsonDepth; ++i) {
        leaf = &leaf->append(Json::Value());
    }
    Json::Value entry(Json::objectValue);
    entry["path"] = "/a/b";
    entry["value"] = deep;

    ObjectParamContainer container;
    EXPECT_FALSE(container.FromJson(entry));
    EXPECT_TRUE(container.ToJson().isNull());

    entry["value"] = deep[0];
    EXPECT_TRUE(container.FromJson(entry));
}
