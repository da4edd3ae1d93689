// Reading values: every type in every format, the text form, and the answers that must
// neither throw nor divide by zero.
#include <cfloat>

#include <gtest/gtest.h>

#include "StorageTestSupport.h"

using Zelkor::IStorage;
using ZelkorTest::Read;
using ZelkorTest::StorageTest;

namespace {

const char* kTree = R"({
    "f": {".type": "float", ".min": 0, ".max": 10, ".value": 5},
    "fReal": {".type": "float", ".value": 2.5},
    "fWhole": {".type": "float", ".value": 3.0},
    "fHex": {".type": "float", ".min": 0, ".max": 10, ".value": "0x1.4p+1"},
    "fDefault": {".type": "float", ".default": 3},
    "fWide": {".type": "float", ".value": 3000000000},
    "fHuge": {".type": "float", ".value": 1e300},
    "fInf": {".type": "float", ".value": "inf"},
    "fNan": {".type": "float", ".value": "nan"},
    "fList": {".type": "float", ".value": [1, 2]},
    "fPoint": {".type": "float", ".min": 5, ".max": 5, ".value": 5},
    "fInverted": {".type": "float", ".min": 5, ".max": 1, ".value": 7},
    "fTextRange": {".type": "float", ".min": "5", ".max": "15", ".value": 10},
    "fBadRange": {".type": "float", ".min": ["x"], ".max": {"y": 1}, ".value": 0},
    "i": {".type": "integer", ".min": -10, ".max": 10, ".value": 7},
    "iNegative": {".type": "integer", ".min": -10, ".max": 10, ".value": -5},
    "bOff": {".type": "boolean", ".value": "off"},
    "bZero": {".type": "boolean", ".value": 0},
    "bFalseText": {".type": "boolean", ".value": "FALSE"},
    "bList": {".type": "boolean", ".value": [true]},
    "e": {".type": "enum", ".enums": ["A", "B", "C"], ".min": 1, ".value": 2},
    "eOutside": {".type": "enum", ".enums": ["A", "B", "C"], ".min": 1, ".value": 4},
    "eUnset": {".type": "enum", ".enums": ["A", "B", "C"], ".min": 1},
    "eSingle": {".type": "enum", ".enums": ["Only"], ".value": 0},
    "eStoredReal": {".type": "enum", ".enums": ["Off", "On", "Auto"], ".value": 1.0},
    "eTextMin": {".type": "enum", ".enums": ["A", "B"], ".min": "3", ".value": 4},
    "eWide": {".type": "enum", ".enums": ["A"], ".value": 3000000000},
    "s": {".type": "string", ".value": "abc"},
    "sNumeric": {".value": "12"},
    "sObject": {".type": "string", ".value": {"a": 1}},
    "blk": {".type": "block", ".value": "QUJD"},
    "bytes": {".type": "byte_array", ".value": "QUJD"},
    "ds": {".type": "dstring", ".value": "xyz"},
    "color": {".type": "color", ".value": "red"},
    "wo": {".type": "integer", ".access": "wo", ".value": 1},
    "plainText": "Hall B",
    "plainNumber": 5,
    "plainTrue": true,
    "plainList": [1, "two"]
})";

}  // namespace

TEST_F(StorageTest, ReadEveryTypeInEveryFormat) {
    auto model = Load(kTree);
    struct Case {
        const char* path;
        Json::Value variant, number, string, norm;
    };
    const Json::Value refused;  // null: the read is refused as "Invalid Format"
    const Json::Value plainList = ZelkorTest::ParseJson(R"([1, "two"])");
    const Case cases[] = {
        {"/f", 5, 5, "5", 0.5},
        {"/fReal", 2.5, 2.5, "2.5", 2.5 / DBL_MAX},
        {"/fWhole", 3, 3, "3.0", 3.0 / DBL_MAX},
        {"/fHex", 2.5, 2.5, "0x1.4p+1", 0.25},
        {"/fDefault", 3, 3, "3", 3.0 / DBL_MAX},
        {"/fWide", Json::Int64(3000000000), Json::Int64(3000000000), "3000000000",
         3e9 / DBL_MAX},
        {"/fHuge", 1e300, 1e300, "1.0000000000000001e+300", 1e300 / DBL_MAX},
        {"/fPoint", 5, 5, "5", 0},
        {"/fInverted", 7, 7, "7", 0},
        {"/fTextRange", 10, 10, "10", 0.5},
        {"/fBadRange", 0, 0, "0", 0},
        {"/i", 7, 7, "7", 0.85},
        {"/iNegative", -5, -5, "-5", 0.25},
        {"/bOff", true, 1, true, 1},
        {"/bZero", false, 0, false, 0},
        {"/bFalseText", false, 0, false, 0},
        {"/e", 2, 2, "B", 0.5},
        {"/eUnset", "", 1, "", 1},
        {"/eSingle", 0, 0, "Only", 0},
        {"/eStoredReal", 1, 1, "On", 0.5},
        {"/eTextMin", 4, 4, "B", 1},
        {"/s", "abc", 0, "abc", refused},
        {"/sNumeric", "12", 12, "12", refused},
        {"/blk", "QUJD", refused, "QUJD", refused},
        {"/bytes", "QUJD", refused, "QUJD", refused},
        {"/ds", "xyz", refused, "xyz", refused},
        {"/color", "red", 0, "red", refused},
        {"/plainText", "Hall B", 0, "Hall B", refused},
        {"/plainNumber", 5, 5, "5", 5.0 / DBL_MAX},
        {"/plainTrue", true, 1, true, 1},
        // A plain list has no type: it reads whole in every format.
        {"/plainList", plainList, plainList, plainList, plainList},
    };
    for (const auto& c : cases) {
        const std::pair<const char*, const Json::Value*> formats[] = {
            {"variant", &c.variant}, {"number", &c.number}, {"string", &c.string}, {"norm", &c.norm}};
        for (const auto& [format, expected] : formats) {
            SCOPED_TRACE(std::string(c.path) + " as " + format);
            const auto [status, value] = Read(*model, c.path, format);
            if (expected->isNull()) {
                EXPECT_EQ(status, IStorage::InvalidFormat);
                continue;
            }
            ASSERT_EQ(status, IStorage::PathOk);
            EXPECT_EQ(value.type(), expected->type() == Json::uintValue ? Json::intValue
                                                                          : expected->type());
            if (expected->isDouble() && !expected->isIntegral()) {
                EXPECT_DOUBLE_EQ(value.asDouble(), expected->asDouble());
            } else {
                EXPECT_EQ(value, *expected);
            }
        }
    }
}

TEST_F(StorageTest, ReadsThatCannotBeAnsweredAreRefused) {
    auto model = Load(kTree);
    struct Case {
        const char* path;
        const char* format;
        int expected;
    };
    const Case cases[] = {
        {"/fInf", "number", IStorage::ValueOutOfRange},
        {"/fInf", "variant", IStorage::ValueOutOfRange},
        {"/fNan", "number", IStorage::ValueOutOfRange},
        {"/fList", "variant", IStorage::ValueOutOfRange},
        {"/fList", "string", IStorage::ValueOutOfRange},
        {"/bList", "variant", IStorage::ValueOutOfRange},
        {"/sObject", "number", IStorage::ValueOutOfRange},
        {"/eOutside", "string", IStorage::ValueOutOfRange},
        {"/eOutside", "variant", IStorage::ValueOutOfRange},
        {"/eWide", "number", IStorage::ValueOutOfRange},
        {"/wo", "variant", IStorage::PathWriteonly},
        {"/missing", "variant", IStorage::InvalidPath},
        {"/missing", "bogus", IStorage::InvalidFormat},
        {"/f", "Default", IStorage::InvalidFormat},
        {"/f", "", IStorage::InvalidFormat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " as " + c.format);
        Json::Value value("untouched");
        EXPECT_EQ(model->GetValueForPath(c.path, c.format, value), c.expected);
        if (c.expected == IStorage::PathWriteonly || c.expected == IStorage::InvalidPath ||
            c.expected == IStorage::InvalidFormat) {
            EXPECT_EQ(value, Json::Value("untouched"));
        }
    }
    // An enumeration value beyond its entries still reads as its number.
    EXPECT_EQ(Read(*model, "/eOutside", "number"), std::make_pair(0, Json::Value(4)));
}

TEST_F(StorageTest, ReadFormatWords) {
    auto model = Load(kTree);
    EXPECT_EQ(Read(*model, "/fReal", "number(0,1) and more"), std::make_pair(0, Json::Value(2.5)));
    EXPECT_EQ(Read(*model, "/fReal", "default"), std::make_pair(0, Json::Value(2.5)));
    EXPECT_EQ(Read(*model, "/fReal", nullptr), std::make_pair(0, Json::Value(2.5)));
    EXPECT_EQ(Read(*model, "/fReal", "default(x"), std::make_pair(0, Json::Value(2.5)));
}

TEST_F(StorageTest, ReadKeepsCallersValueWithoutStoredValue) {
    auto model = Load(R"({"g": {".kind": "obj", "x": {".kind": "param"}}})");
    Json::Value value("caller");
    EXPECT_EQ(model->GetValueForPath("/g", "variant", value), IStorage::PathOk);
    EXPECT_EQ(value, Json::Value("caller"));
}

TEST_F(StorageTest, TextFormRead) {
    auto model = Load(kTree);
    struct Case {
        const char* path;
        const char* format;
        int status;
        const char* text;  // null: the caller's text stays as it was
    };
    const Case cases[] = {
        {"/fReal", "variant", IStorage::PathOk, "2.5"},
        {"/bOff", "string", IStorage::PathOk, "true"},
        {"/s", "number", IStorage::PathOk, "0"},
        {"/wo", "variant", IStorage::PathWriteonly, ""},
        {"/plainList", "variant", IStorage::ValueOutOfRange, nullptr},
        {"/sObject", "variant", IStorage::ValueOutOfRange, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string text = "untouched";
        EXPECT_EQ(model->GetValueForPath(c.path, c.format, text), c.status);
        EXPECT_EQ(text, c.text ? c.text : "untouched");
    }
}

TEST_F(StorageTest, ReadsNeverChangeTheTree) {
    auto model = LoadSample();
    const Json::Value before = model->GetRoot();
    for (const auto& path : model->GetDescriptorForPath("/", 1)) {
        for (const char* format : {"variant", "number", "string", "norm"}) {
            Read(*model, path.c_str(), format);
            std::string text;
            model->GetValueForPath(path.c_str(), format, text);
        }
    }
    EXPECT_EQ(model->GetRoot(), before);
}

// The list rules also answer for a request value (an entry number asked in "norm", an
// entry text asked in "string"); no read of the tree passes one.
TEST(ValueRead, ListRulesWithARequestValue) {
    using Zelkor::JsonModel;
    const Json::Value enums = ZelkorTest::ParseJson(R"({".enums": ["A", "B", "C"], ".min": 1})");
    const Json::Value flags = ZelkorTest::ParseJson(R"({".flags": ["lock", "poll", "met"], ".min": 5})");
    const Json::Value topMin =
        ZelkorTest::ParseJson(R"({".enums": ["A", "B"], ".min": 9223372036854775807})");
    struct Case {
        const char* label;
        bool flagList;
        const Json::Value* descriptor;
        const char* format;
        Json::Value value;
        Json::Value request;
        int status;
        Json::Value answer;
    };
    const Case cases[] = {
        {"norm request picks by position", false, &enums, "norm", {}, 0.5, 0, 2},
        {"norm request outside 0..1", false, &enums, "norm", {}, 1.5, 6, {}},
        {"string request names an entry", false, &enums, "string", {}, "C", 0, 3},
        {"string request names none", false, &enums, "string", {}, "Z", 6, {}},
        {"entry number past the top", false, &topMin, "string", {}, "B", 6, {}},
        {"flags count from 0", true, &flags, "string", 1, {}, 0, "poll"},
        {"flags norm", true, &flags, "norm", 2, {}, 0, 1},
        {"flags norm request", true, &flags, "norm", {}, 1.0, 0, 2},
        {"no value yet: the first number", true, &flags, "number", {}, {}, 0, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Json::Value value = c.value;
        const int status =
            c.flagList ? JsonModel::ProcessFlagsGet(*c.descriptor, c.format, value, c.request)
                       : JsonModel::ProcessEnumGet(*c.descriptor, c.format, value, c.request);
        EXPECT_EQ(status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(value, c.answer);
        }
    }
}
