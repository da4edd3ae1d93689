#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <json/json.h>

#include "core/JsonText.h"
#include "storage/ContainerFormatValue.h"
#include "storage/FormatValuePair.h"
#include "storage/JsonTextIO.h"
#include "storage/ObjectParamContainer.h"
#include "storage/PathAppend.h"

using Zelkor::ContainerFormatValue;
using Zelkor::FormatValuePair;
using Zelkor::ObjectParamContainer;

namespace {

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::string error;
    EXPECT_TRUE(Zelkor::ParseJsonText(text, value, error)) << text << ": " << error;
    return value;
}

// Same JSON type and value (an integer 7 differs from the real 7.0 and the text "7").
void expectJson(const Json::Value& actual, const std::string& expectedJson, const std::string& label) {
    const Json::Value expected = parse(expectedJson);
    EXPECT_EQ(actual.type(), expected.type()) << label << ": got " << Zelkor::WriteCompactJson(actual);
    EXPECT_EQ(actual, expected) << label << ": got " << Zelkor::WriteCompactJson(actual);
}

std::string nestedArrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST(FormatValuePair, ValueTextUnderEachFormat) {
    struct Case {
        const char* format;
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"number", "7", "7"},
        {"number", "7.5", "7.5"},
        {"number", "1e3", "1000"},
        {"number", "-2147483648", "-2147483648"},
        {"number", "abc", "\"abc\""},
        {"number", "1.", "\"1.\""},
        {"number", " 7", "\" 7\""},
        {"number", "", "\"\""},
        {"number", "+", "0"},
        {"number", "e5", "0"},
        {"number", "1e400", "0"},
        {"number", "0x10", "\"0x10\""},
        {"norm", ".25", "0.25"},
        {"norm", "-0", "0"},
        {"variant", "7", "\"7\""},
        {"string", "7", "\"7\""},
        // Whole numbers beyond 32 bits are kept rather than refused.
        {"number", "3000000000", "3000000000"},
        {"number", "-9223372036854775808", "-9223372036854775808"},
        {"number", "1e300", "1e300"},
    };
    for (const auto& c : cases) {
        const FormatValuePair pair(c.format, c.text, false);
        expectJson(pair.value, c.expected, std::string(c.format) + " '" + c.text + "'");
        EXPECT_TRUE(pair.type.empty());
        EXPECT_TRUE(pair.accessible);
        EXPECT_FALSE(pair.formatDefaulted);
        EXPECT_TRUE(pair.error.empty());
    }
}

TEST(FormatValuePair, ValueTextByFormatThenType) {
    struct Case {
        const char* format;
        const char* type;
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
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
        // A "float" value as the storage keeps it, in hexadecimal notation.
        {"variant", "float", "0x1.8p+0", "1.5"},
        {"number", "", "-0x10", "-16"},
        {"variant", "enum", "x", "\"x\""},
        {"number", "string", "12abc", "12"},
        {"number", "", "nan", "0"},
        {"norm", "", "-inf", "0"},
    };
    for (const auto& c : cases) {
        const FormatValuePair pair(c.format, c.type, c.text, true);
        const std::string label = std::string(c.format) + "/" + c.type + " '" + c.text + "'";
        expectJson(pair.value, c.expected, label);
        EXPECT_EQ(pair.type, c.type) << label;
        EXPECT_TRUE(pair.isArray) << label;
    }
}

TEST(FormatValuePair, StodReadsTheLeadingNumberWhateverTheLocale) {
    const FormatValuePair pair("variant", "", false);
    EXPECT_DOUBLE_EQ(pair.stod("  +2.5x"), 2.5);
    EXPECT_DOUBLE_EQ(pair.stod("1,5"), 1.0);
    EXPECT_DOUBLE_EQ(pair.stod("-1e-3"), -0.001);
    EXPECT_DOUBLE_EQ(pair.stod("x"), 0.0);
    EXPECT_DOUBLE_EQ(pair.stod("+-1"), 0.0);
    EXPECT_DOUBLE_EQ(pair.stod("1e999"), 0.0);
    EXPECT_DOUBLE_EQ(pair.stod("infinity"), 0.0);
}

TEST(FormatValuePair, JsonValueIsKeptAsGiven) {
    const FormatValuePair pair("number", "float", Json::Value("12"), false);
    expectJson(pair.value, "\"12\"", "json value");
}

TEST(FormatValuePair, ReadableForms) {
    struct Case {
        Json::Value value;
        const char* error;
        const char* text;
        const char* list;
    };
    const Case cases[] = {
        {Json::Value(3), "", "number: 3", "3"},
        {Json::Value("abc"), "", "number: abc", "abc"},
        {Json::Value(""), "", "number: ", ""},
        {Json::Value(true), "", "number: true", "true"},
        {Json::Value(), "", "number: \"\"", "\"\""},
        {Json::Value(Json::arrayValue), "", "number: \"\"", "\"\""},
        {parse("[1,{\"a\":2}]"), "", "number: [1,{\"a\":2}]", "[1,{\"a\":2}]"},
        {Json::Value(3), "Invalid Path", "number: err=Invalid Path", "error: Invalid Path"},
    };
    for (const auto& c : cases) {
        FormatValuePair pair("number", "", c.value, false);
        pair.error = c.error;
        EXPECT_EQ(pair.ToString(), c.text);
        EXPECT_EQ(pair.ToList(), c.list);
    }
}

TEST(ContainerFormatValue, AddKeepsEveryValueOfANameInOrder) {
    ContainerFormatValue c;
    c.AddContainer("gain", "number", 0, false);
    c.AddContainer("gain", "5", "number", false, false);
    c.AddContainer("gain", Json::Value("x"), nullptr, true, true);
    c.AddContainer("gain", std::string("7"), "number", false, false);
    c.AddContainer("alpha", nullptr, 1, true);

    EXPECT_EQ(c.GetContainerNames(), (std::vector<std::string>{"alpha", "gain"}));
    const auto* alpha = c.GetContainer("alpha");
    ASSERT_NE(alpha, nullptr);
    ASSERT_EQ(alpha->size(), 1u);
    EXPECT_EQ(alpha->front().format, "variant");
    EXPECT_TRUE(alpha->front().isArray);
    EXPECT_TRUE(alpha->front().formatDefaulted);
    expectJson(alpha->front().value, "\"\"", "request without value");

    const auto* gain = c.GetContainer("gain");
    ASSERT_NE(gain, nullptr);
    std::vector<std::string> values;
    for (const auto& pair : *gain) {
        values.push_back(Zelkor::WriteCompactJson(pair.value) + "/" + pair.format);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"\"\"/number", "5/number", "\"x\"/variant", "7/number"}));
    EXPECT_EQ(c.GetContainer("absent"), nullptr);
}

TEST(ContainerFormatValue, SetErrorMarksOnlyTheFirstPairOfThatFormat) {
    ContainerFormatValue c;
    c.AddContainer("gain", "number", 0, false);
    c.AddContainer("gain", "string", 0, false);
    c.AddContainer("gain", "string", 0, false);
    c.SetError("gain", "string", "Path Readonly");
    c.SetError("gain", "norm", "ignored");
    c.SetError("absent", "string", "ignored");

    std::vector<std::string> errors;
    for (const auto& pair : *c.GetContainer("gain")) {
        errors.push_back(pair.error);
    }
    EXPECT_EQ(errors, (std::vector<std::string>{"", "Path Readonly", ""}));
    EXPECT_EQ(c.GetContainerNames().size(), 1u);
}

TEST(ContainerFormatValue, ErrorRemoveAndObjectMark) {
    ContainerFormatValue c;
    EXPECT_FALSE(c.IsObject());
    c.SetObject(true);
    EXPECT_TRUE(c.IsObject());

    c.AddErrorContainer("mute", "Invalid Path");
    const auto& pair = c.GetContainer("mute")->front();
    EXPECT_EQ(pair.format, "");
    EXPECT_EQ(pair.error, "Invalid Path");
    EXPECT_TRUE(pair.formatDefaulted);
    expectJson(pair.value, "\"\"", "error pair");

    c.RemoveContainer("mute");
    c.RemoveContainer("absent");
    EXPECT_EQ(c.GetContainer("mute"), nullptr);
    EXPECT_TRUE(c.GetContainerNames().empty());
}

TEST(ContainerFormatValue, ReadableForms) {
    ContainerFormatValue c;
    c.AddContainer("gain", "3", "number", false, false);
    c.AddContainer("gain", "x", "string", false, false);
    c.AddErrorContainer("mute", "Invalid Path");
    c.AddContainer("empty", "variant", 0, false);
    c.GetContainer("empty")->clear();

    EXPECT_EQ(c.ToString(),
              "\n\tContainer Path: empty Values: []"
              "\n\tContainer Path: gain Values: [number: 3 string: x]"
              "\n\tContainer Path: mute Values: [: err=Invalid Path]");
    EXPECT_EQ(c.ToList(), "empty\ngain: 3 x\nmute: error: Invalid Path\n");
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
        {"/presets", "user", "/presets/user"},
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

TEST(ObjectParamContainer, EmptyValuesAreNotWritten) {
    ObjectParamContainer container;
    EXPECT_TRUE(container.FromJsonText(R"([{"path":"/a/l","value":[]},{"path":"/a/o","value":{}}])"));
    EXPECT_EQ(container.ToJsonText(), R"([{"path":"/a/l"},{"path":"/a/o"}])");

    ObjectParamContainer none;
    EXPECT_TRUE(none.FromJsonText("[]"));
    EXPECT_EQ(none.ToJsonText(), "null");
}

TEST(ObjectParamContainer, ReplyValuesErrorsAndDefaultedFormats) {
    ContainerFormatValue values;
    values.AddContainer("gain", Json::Value(3), "number", false, false);
    values.AddErrorContainer("mute", "Invalid Path");
    values.AddContainer("name", Json::Value("box"), "variant", false, true);
    ObjectParamContainer container;
    container.AddContainers("/a", values);

    EXPECT_EQ(container.ToJsonText(),
              R"([{"format":"number","path":"/a/gain","value":3},)"
              R"({"error":"Invalid Path","path":"/a/mute"},{"path":"/a/name","value":"box"}])");
    EXPECT_EQ(container.ToString(),
              "Obj/Param Path: /a"
              "\n\tContainer Path: gain Values: [number: 3]"
              "\n\tContainer Path: mute Values: [: err=Invalid Path]"
              "\n\tContainer Path: name Values: [variant: box]");
    EXPECT_EQ(container.ToList(), "gain: 3\nmute: error: Invalid Path\nname: box\n");
}

TEST(ObjectParamContainer, EmptyContainerWritesNull) {
    ObjectParamContainer container;
    EXPECT_TRUE(container.ToJson().isNull());
    container.AddContainers("/a", ContainerFormatValue());
    EXPECT_TRUE(container.ToJson().isNull());
    EXPECT_EQ(container.ToJsonText(), "null");
    EXPECT_EQ(container.GetContainers("/a")->size(), 1u);
    EXPECT_EQ(container.GetContainers("/b"), nullptr);
}

TEST(ObjectParamContainer, AddContainersCopiesTheObjectMark) {
    ContainerFormatValue folder;
    folder.SetObject(true);
    folder.AddContainer("c", "variant", 0, false);
    ObjectParamContainer container;
    container.AddContainers("/a/b", folder);
    container.AddContainers("/a/b", ContainerFormatValue());
    folder.AddContainer("later", "variant", 0, false);

    const auto& stored = *container.GetContainers("/a/b");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_TRUE(stored.front().IsObject());
    EXPECT_FALSE(stored.back().IsObject());
    EXPECT_EQ(stored.front().GetContainerNames(), std::vector<std::string>{"c"});
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
