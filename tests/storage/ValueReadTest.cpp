// Reading values: every type in the formats, the answers that must neither throw nor
// divide by zero, and path verification.
#include <cfloat>

#include <gtest/gtest.h>

#include "StorageTestSupport.h"

using Zelkor::IStorage;
using ZelkorTest::Read;
using ZelkorTest::StorageTest;

namespace {

const char* kTree = R"({
    "f": {".type": "float", ".min": 0, ".max": 10, ".value": 5},
    "fWhole": {".type": "float", ".value": 3.0},
    "fHex": {".type": "float", ".min": 0, ".max": 10, ".value": "0x1.4p+1"},
    "fWide": {".type": "float", ".value": 3000000000},
    "fInf": {".type": "float", ".value": "inf"},
    "fList": {".type": "float", ".value": [1, 2]},
    "fPoint": {".type": "float", ".min": 5, ".max": 5, ".value": 5},
    "fHigh": {".type": "float", ".min": 5, ".max": 8, ".value": 6.5},
    "i": {".type": "integer", ".min": -10, ".max": 10, ".value": 7},
    "iFrac": {".type": "integer", ".min": 0, ".max": 10, ".value": 2.7},
    "bOff": {".type": "boolean", ".value": "off"},
    "e": {".type": "enum", ".enums": ["A", "B", "C"], ".min": 1, ".value": 2},
    "eOutside": {".type": "enum", ".enums": ["A", "B", "C"], ".min": 1, ".value": 4},
    "eUnset": {".type": "enum", ".enums": ["A", "B", "C"], ".min": 1},
    "eSingle": {".type": "enum", ".enums": ["Only"], ".value": 0},
    "eWide": {".type": "enum", ".enums": ["A"], ".value": 3000000000},
    "sObject": {".type": "string", ".value": {"a": 1}},
    "blk": {".type": "block", ".value": "QUJD"},
    "color": {".type": "color", ".value": "red"},
    "wo": {".type": "integer", ".access": "wo", ".value": 1},
    "plainList": [1, "two"]
})";

}  // namespace

// No read changes the tree, not even one that is refused.
TEST_F(StorageTest, ReadEveryTypeInEveryFormat) {
    auto model = Load(kTree);
    const Json::Value before = model->GetRoot();
    struct Case {
        const char* path;
        Json::Value variant, number, string, norm;
    };
    const Json::Value refused;  // null: the read is refused as "Invalid Format"
    const Json::Value plainList = ZelkorTest::ParseJson(R"([1, "two"])");
    const Case cases[] = {
        {"/f", 5, 5, "5", 0.5},
        {"/fWhole", 3, 3, "3.0", 3.0 / DBL_MAX},
        // The stored form of a "float" written as text.
        {"/fHex", 2.5, 2.5, "0x1.4p+1", 0.25},
        // Whole numbers beyond 32 bits keep their value.
        {"/fWide", Json::Int64(3000000000), Json::Int64(3000000000), "3000000000", 3e9 / DBL_MAX},
        // An empty range has no span to divide by.
        {"/fPoint", 5, 5, "5", 0},
        // "norm" divides by the span of the range, also when it starts above 0.
        {"/fHigh", 6.5, 6.5, "6.5", 0.5},
        {"/i", 7, 7, "7", 0.85},
        // A real written to an integer keeps its fraction, which numbers round away.
        {"/iFrac", 3, 3, "2.7000000000000002", 0.27},
        {"/bOff", true, 1, true, 1},
        {"/e", 2, 2, "B", 0.5},
        {"/eUnset", "", 1, "", 1},
        {"/eSingle", 0, 0, "Only", 0},
        {"/blk", "QUJD", refused, "QUJD", refused},
        {"/color", "red", 0, "red", refused},
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
            EXPECT_EQ(value.type(), expected->type() == Json::uintValue ? Json::intValue : expected->type());
            if (expected->isDouble() && !expected->isIntegral()) {
                EXPECT_DOUBLE_EQ(value.asDouble(), expected->asDouble());
            } else {
                EXPECT_EQ(value, *expected);
            }
        }
    }
    EXPECT_EQ(model->GetRoot(), before);
}

// Answers without a JSON form, or outside what the answer type holds, are refused rather
// than thrown; refused formats and paths leave the caller's value alone.
TEST_F(StorageTest, ReadsThatCannotBeAnsweredAreRefused) {
    auto model = Load(kTree);
    struct Case {
        const char* path;
        const char* format;
        int expected;
    };
    const Case cases[] = {
        {"/fInf", "number", IStorage::ValueOutOfRange},
        {"/fList", "variant", IStorage::ValueOutOfRange},
        {"/sObject", "number", IStorage::ValueOutOfRange},
        {"/eOutside", "string", IStorage::ValueOutOfRange},
        {"/eWide", "number", IStorage::ValueOutOfRange},
        {"/wo", "variant", IStorage::PathWriteonly},
        {"/missing", "bogus", IStorage::InvalidFormat},
        {"/f", "Default", IStorage::InvalidFormat},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " as " + c.format);
        Json::Value value("untouched");
        EXPECT_EQ(model->GetValueForPath(c.path, c.format, value), c.expected);
        if (c.expected != IStorage::ValueOutOfRange) {
            EXPECT_EQ(value, Json::Value("untouched"));
        }
    }
    EXPECT_EQ(Read(*model, "/fHex", "default"), std::make_pair(0, Json::Value(2.5)));
    // The text form of a list has no text: refused, the caller's text kept.
    std::string text = "untouched";
    EXPECT_EQ(model->GetValueForPath("/plainList", "variant", text), IStorage::ValueOutOfRange);
    EXPECT_EQ(text, "untouched");
}

// No read of the tree passes a request value; the list rules still answer one, and an
// entry number past the top of the range is refused, not overflowed.
TEST(ValueRead, ListRulesWithARequestValue) {
    const Json::Value topMin = ZelkorTest::ParseJson(R"({".enums": ["A", "B"], ".min": 9223372036854775807})");
    Json::Value value;
    EXPECT_EQ(Zelkor::JsonModel::ProcessEnumGet(topMin, "string", value, "B"), IStorage::ValueOutOfRange);
    EXPECT_EQ(Zelkor::JsonModel::ProcessEnumGet(topMin, "string", value, "A"), IStorage::PathOk);
    EXPECT_EQ(value, Json::Value(Json::Int64(9223372036854775807LL)));
}

TEST_F(StorageTest, StatusTexts) {
    auto model = Load("{}");
    const std::pair<int, const char*> cases[] = {
        {0, "Path OK"}, {6, "Value Out Of Range/Invalid Value"}, {13, "Attribute Disabled"},
        // Numbers without a text, the tree's own 14 among them.
        {14, ""}, {-1, ""}, {1000, ""},
    };
    for (const auto& [status, text] : cases) {
        EXPECT_EQ(model->GetStatusString(static_cast<IStorage::STATUS>(status)), text) << status;
    }
}

TEST_F(StorageTest, VerifyPathPrecedence) {
    auto model = Load(R"({
        "constLocked": {".access": "c", ".flags": ["lock"]},
        "roNsubLocked": {".access": "ro", ".flags": ["nsub", "lock"]},
        "odd": {".access": "rx"},
        "number": 5
    })");
    EXPECT_EQ(model->VerifyPath("/constLocked", "variant"), IStorage::PathConstant);
    EXPECT_EQ(model->VerifyPath("/roNsubLocked", "variant"), IStorage::PathNoSubscribe);
    EXPECT_EQ(model->VerifyPath("/odd", "variant"), IStorage::InvalidAccess);
    EXPECT_EQ(model->VerifyPath("/number", "DEFAULT"), IStorage::PathReadWrite);
    EXPECT_EQ(model->VerifyPath("/number/below", "variant"), IStorage::InvalidPath);
    // The format is not cut, and it is judged before the path.
    EXPECT_EQ(model->VerifyPath("/number", "number(0,1)"), IStorage::InvalidFormat);
    EXPECT_EQ(model->VerifyPath("/missing", "Norm"), IStorage::InvalidFormat);
}
