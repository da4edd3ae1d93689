// Typed conversion of written values, and the number and syntax rules beneath it.
#include <climits>
#include <clocale>

#include <gtest/gtest.h>

#include "StorageTestSupport.h"
#include "storage/FormatValuePair.h"
#include "storage/NumberRules.h"
#include "storage/ValueSyntax.h"

using Zelkor::IStorage;
using ZelkorTest::ParseJson;
using ZelkorTest::StorageTest;

namespace {

// Descriptors without a stored value, so that every accepted write stores something.
const char* kTree = R"({
    "b": {".type": "boolean"},
    "e": {".type": "enum", ".enums": ["Off", "On", "Auto"]},
    "eNoList": {".type": "enum"},
    "eRange": {".type": "enum", ".enums": ["A", "B", "C"], ".min": 1, ".max": 3},
    "f": {".type": "float", ".min": 0, ".max": 10},
    "fNegative": {".type": "float", ".min": -10, ".max": 10},
    "fOpen": {".type": "float"},
    "i": {".type": "integer", ".min": -10, ".max": 10},
    "iOpen": {".type": "integer"},
    "s": {".type": "string", ".min": 2, ".max": 4},
    "sMinOnly": {".type": "string", ".min": 2},
    "sTextMin": {".type": "dstring", ".min": "3"},
    "blk": {".type": "block"},
    "blkShort": {".type": "byte_array", ".max": 4},
    "blkLong": {".type": "block", ".min": 8, ".max": -1}
})";

struct Case {
    const char* path;
    const char* format;
    const char* value;   // JSON text of the written value
    int status;
    const char* stored;  // JSON text of the stored ".value" (when accepted)
};

void RunCases(const std::shared_ptr<Zelkor::JsonModel>& model, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.format + " " + c.value);
        model->GetRoot()[std::string(c.path).substr(1)].removeMember(".value");
        EXPECT_EQ(model->SetValueForPath(c.path, c.format, ParseJson(c.value), true), c.status);
        const Json::Value& stored = model->valueForPath(std::string(c.path) + "/.value");
        if (c.status == IStorage::PathOk) {
            const Json::Value expected = ParseJson(c.stored);
            EXPECT_EQ(stored.type(), expected.type());
            EXPECT_EQ(stored, expected);
        } else {
            EXPECT_TRUE(stored.isNull());
        }
    }
}

}  // namespace

TEST_F(StorageTest, TypedConversions) {
    RunCases(Load(kTree), {
        {"/b", "string", R"("yes")", 0, "true"},
        {"/b", "string", R"("off")", 0, "false"},
        {"/b", "variant", R"("Yes")", 6, nullptr},
        {"/b", "string", R"("2")", 0, "true"},
        {"/b", "string", R"("0.0")", 0, "false"},
        {"/b", "string", R"("abc")", 6, nullptr},
        {"/b", "string", R"("1e999")", 6, nullptr},
        {"/b", "norm", R"("0.5")", 0, "true"},
        {"/b", "norm", R"("0.49")", 0, "false"},
        {"/b", "norm", R"("1.5")", 6, nullptr},
        {"/b", "number", R"("yes")", 6, nullptr},
        {"/b", "number", R"("-3")", 0, "true"},
        {"/b", "variant", "7", 0, "true"},
        {"/b", "variant", "-1", 6, nullptr},
        {"/b", "variant", "18446744073709551615", 6, nullptr},
        {"/b", "variant", "0.0", 0, "false"},
        {"/b", "norm", "0.7", 0, "true"},
        {"/b", "norm", "1.2", 6, nullptr},
        {"/b", "variant", "true", 0, "true"},
        {"/b", "variant", "null", 6, nullptr},
        {"/b", "variant", "[1]", 6, nullptr},
        {"/e", "string", R"("On")", 0, "1.0"},
        {"/e", "variant", R"("2")", 0, "2"},
        {"/e", "variant", R"("3")", 6, nullptr},
        {"/e", "variant", R"("Auto")", 0, "2.0"},
        {"/e", "number", R"("Auto")", 6, nullptr},
        {"/e", "number", R"("1.6")", 0, "2"},
        {"/e", "norm", R"("0.5")", 0, "1"},
        {"/e", "norm", R"("2")", 6, nullptr},
        {"/e", "string", R"("Purple")", 6, nullptr},
        {"/e", "string", R"("on")", 6, nullptr},
        {"/e", "variant", "5", 0, "5"},
        // "norm" numbers pick an entry by its position, whatever ".max" says.
        {"/e", "norm", "1", 0, "2"},
        {"/e", "norm", "0", 0, "0"},
        {"/e", "norm", "0.5", 0, "1"},
        {"/e", "norm", "2", 6, nullptr},
        {"/e", "variant", "-3.0", 0, "0"},
        {"/e", "variant", "true", 6, nullptr},
        {"/e", "variant", "18446744073709551615", 6, nullptr},
        {"/eNoList", "string", R"("anything")", 0, R"("anything")"},
        {"/eNoList", "variant", "1", 3, nullptr},
        {"/eNoList", "variant", "1.5", 3, nullptr},
        {"/eRange", "variant", "0", 0, "1"},
        {"/eRange", "variant", "9", 0, "3"},
        {"/eRange", "norm", "1", 0, "3"},
        {"/eRange", "norm", "2", 6, nullptr},
        {"/eRange", "variant", "9.7", 0, "3"},
        {"/eRange", "norm", "0.5", 0, "2"},
        {"/eRange", "string", R"("C")", 0, "3.0"},
        {"/eRange", "variant", R"("0")", 6, nullptr},
        {"/f", "string", R"("12")", 6, nullptr},
        {"/f", "string", R"("2.5")", 0, R"("0x1.4p+1")"},
        {"/f", "string", R"("0.1")", 0, R"("0x1.999999999999ap-4")"},
        {"/f", "string", R"("0")", 0, R"("0x0p+0")"},
        {"/f", "norm", R"("0.5")", 0, R"("0x1.4p+2")"},
        {"/f", "string", R"("abc")", 6, nullptr},
        {"/f", "string", R"("1e999")", 6, nullptr},
        {"/f", "string", R"(" 1")", 6, nullptr},
        {"/f", "variant", "3", 0, "3"},
        {"/f", "norm", "0.25", 0, "2.5"},
        {"/f", "norm", "1.25", 6, nullptr},
        {"/f", "variant", "10.5", 6, nullptr},
        {"/f", "variant", "false", 6, nullptr},
        {"/fNegative", "string", R"("-2")", 0, R"("-0x1p+1")"},
        {"/fOpen", "variant", "1e300", 0, "1e300"},
        {"/fOpen", "variant", "-1.0", 6, nullptr},
        {"/i", "string", R"("2.5")", 0, "3"},
        {"/i", "string", R"("-2.5")", 0, "-3"},
        {"/i", "string", R"("11")", 6, nullptr},
        {"/i", "norm", R"("0.75")", 0, "5"},
        {"/i", "variant", "2.7", 0, "2.7"},
        {"/i", "variant", "11", 6, nullptr},
        {"/i", "norm", "1", 0, "10"},
        {"/i", "norm", "0", 0, "-10"},
        {"/i", "norm", "0.5", 0, "0"},
        // A negative integer within range is accepted in every form.
        {"/i", "variant", "-5", 0, "-5"},
        {"/i", "variant", R"("-5")", 0, "-5"},
        {"/i", "variant", "-5.0", 0, "-5.0"},
        {"/i", "variant", "-11", 6, nullptr},
        // Numbers beyond what the stored form holds are refused, not thrown.
        {"/iOpen", "variant", R"("3000000000")", 6, nullptr},
        {"/iOpen", "variant", "3000000000", 0, "3000000000"},
        {"/iOpen", "variant", "18446744073709551615", 6, nullptr},
        {"/iOpen", "norm", "1.0", 6, nullptr},
        {"/iOpen", "variant", "[1]", 6, nullptr},
        {"/s", "string", R"("a")", 6, nullptr},
        {"/s", "string", R"("abcde")", 6, nullptr},
        {"/s", "string", R"("abc")", 0, R"("abc")"},
        {"/s", "variant", "123", 0, "123"},
        {"/s", "norm", R"("abc")", 4, nullptr},
        {"/s", "number", R"("12")", 0, "12"},
        {"/s", "number", R"("1.5")", 0, "1.5"},
        {"/s", "number", R"("abc")", 0, "0"},
        {"/s", "number", R"("3000000000")", 6, nullptr},
        {"/s", "number", R"("inf")", 6, nullptr},
        {"/s", "variant", R"(["ab"])", 6, nullptr},
        {"/s", "variant", R"({"a": 1})", 6, nullptr},
        {"/sMinOnly", "string", R"("abcdefgh")", 0, R"("abcdefgh")"},
        {"/sTextMin", "string", R"("ab")", 6, nullptr},
        {"/blk", "string", R"("QUJD")", 0, R"("QUJD")"},
        {"/blk", "variant", R"("QU==")", 0, R"("QU==")"},
        {"/blk", "variant", R"("")", 0, R"("")"},
        // The Base64 language itself is tabled with the syntax checks below.
        {"/blk", "variant", R"("QUJD!AAA")", 6, nullptr},
        {"/blk", "number", R"("QUJD")", 4, nullptr},
        {"/blk", "norm", R"("QUJD")", 4, nullptr},
        {"/blkShort", "variant", R"("QUJDRA==")", 6, nullptr},
        {"/blkLong", "variant", R"("QUJD")", 6, nullptr},
        {"/blkLong", "variant", R"("QUJDQUJDQUJD")", 0, R"("QUJDQUJDQUJD")"},
    });
}

TEST_F(StorageTest, LargeValuesFromPeersAreCheckedWithoutRecursion) {
    auto model = Load(kTree);
    const std::string digits(200 * 1024, '7');
    EXPECT_EQ(model->SetValueForPath("/f", "string", digits.c_str(), true),
              IStorage::ValueOutOfRange);
    std::string base64;
    for (int i = 0; i < 50 * 1024; ++i) {
        base64 += "QUJD";
    }
    EXPECT_EQ(model->SetValueForPath("/blk", "string", base64.c_str(), true), IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/blk", "string", (base64 + "!").c_str(), true),
              IStorage::ValueOutOfRange);
}

TEST(ValueSyntax, NumberText) {
    const std::pair<const char*, bool> cases[] = {
        {"12", true},  {"-0.5", true}, {".5", true},   {"1e5", true},    {"+", true},
        {"-", true},   {"e5", true},   {"1E-7", true}, {"+3.25e+10", true},
        {"", false},   {"1.", false},  {" 1", false},  {"0x10", false},  {"1e", false},
        {"1e+", false}, {"--1", false}, {"1.2.3", false}, {".", false},  {"1 ", false},
        {"inf", false}, {"nan", false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Zelkor::IsNumberText(text), expected) << "'" << text << "'";
    }
    EXPECT_TRUE(Zelkor::IsNumberText(std::string(300000, '9') + ".5e7"));
}

TEST(ValueSyntax, Base64Text) {
    const std::pair<const char*, bool> cases[] = {
        {"", true},          {"QUJD", true},      {"QU==", true},     {"QUI=", true},
        {"ab+/", true},      {"QUJDQU==", true},  {"QUJ", false},     {"Q===", false},
        {"====", false},     {"QU=D", false},     {"QU==QUJD", false}, {"QUJD ", false},
        {"QUJ-", false},     {"QUJDQ", false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Zelkor::IsBase64Text(text), expected) << "'" << text << "'";
    }
}

// Only an overflow refuses a number; an underflow is a plain 0.
TEST(NumberRules, TextConversions) {
    bool overflowed = false;
    EXPECT_EQ(Zelkor::TextToNumber("1e999", &overflowed), 0.0);
    EXPECT_TRUE(overflowed);
    EXPECT_EQ(Zelkor::TextToNumber("1e-999", &overflowed), 0.0);
    EXPECT_FALSE(overflowed);

    // Range attributes given as text: the whole text must be a finite number.
    EXPECT_EQ(Zelkor::WholeTextNumber(" 2.5"), 2.5);
    EXPECT_EQ(Zelkor::WholeTextNumber("0x10"), 16.0);
    for (const char* refused : {"", "2.5 ", "2.5x", "inf", "nan", "1e999", "x"}) {
        EXPECT_FALSE(Zelkor::WholeTextNumber(refused)) << "'" << refused << "'";
    }
}

// Numbers in stored trees and on the wire carry a decimal point, whatever locale the
// application runs in.
TEST(NumberRules, TextsReadTheSameInAnyLocale) {
    const char* commaLocale = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) {
            commaLocale = name;
            break;
        }
    }
    if (commaLocale == nullptr) {
        GTEST_SKIP() << "no locale with a decimal comma is installed";
    }
    EXPECT_EQ(Zelkor::TextToNumber("2.5"), 2.5) << commaLocale;
    EXPECT_EQ(Zelkor::TextToNumber("2,5"), 2.0) << commaLocale;
    EXPECT_EQ(Zelkor::WholeTextNumber("0.25"), 0.25) << commaLocale;
    EXPECT_EQ(Zelkor::FormatValuePair("number", "1.5", false).value, Json::Value(1.5));
    std::setlocale(LC_NUMERIC, "C");
}

TEST(NumberRules, RoundingRefusesWhatTheTargetCannotHold) {
    using Zelkor::RoundToInt32;
    EXPECT_EQ(RoundToInt32(2147483647.4), INT_MAX);
    EXPECT_EQ(RoundToInt32(-2147483648.0), INT_MIN);
    EXPECT_FALSE(RoundToInt32(2147483647.5));
    EXPECT_FALSE(RoundToInt32(1.0 / 0.0));
    EXPECT_FALSE(RoundToInt32(0.0 / 0.0));
    EXPECT_FALSE(Zelkor::RoundToInt64(9.3e18));
    EXPECT_EQ(Zelkor::RoundToInt64(-9.2e18), -9200000000000000000LL);
}

TEST_F(StorageTest, NormWritesAndReadsAreInverse) {
    auto model = Load(R"({
        "gain": {".type": "float", ".min": -60, ".max": 12},
        "open": {".type": "float"},
        "trim": {".type": "integer", ".min": -10, ".max": 10},
        "mode": {".type": "enum", ".enums": ["a", "b", "c", "d", "e"]}
    })");
    struct Case {
        const char* path;
        Json::Value written;
        double read;
    };
    const Case cases[] = {
        {"/gain", 0.25, 0.25},   {"/gain", "0.75", 0.75}, {"/gain", 0, 0},  {"/gain", 1, 1},
        {"/open", 0.5, 0.5},     {"/open", "0.125", 0.125},
        {"/trim", 0.25, 0.25},   {"/trim", "0.8", 0.8},   {"/trim", 1, 1},
        {"/mode", "0.75", 0.75}, {"/mode", 0.5, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.written.toStyledString());
        ASSERT_EQ(model->SetValueForPath(c.path, "norm", c.written, false), IStorage::PathOk);
        const auto [status, value] = ZelkorTest::Read(*model, c.path, "norm");
        ASSERT_EQ(status, IStorage::PathOk);
        EXPECT_NEAR(value.asDouble(), c.read, 1e-12);
    }
}

// The list steps with an index value, as writes addressed to a list use them: only a
// dynamic descriptor written without enforce takes one.
TEST(TypedConversion, ListStepsWithAnIndexValue) {
    using Zelkor::JsonModel;
    const Json::Value dynamicFlags = ParseJson(R"({".flags": ["lock", "poll"], ".dynamic": true})");
    const Json::Value fixedFlags = ParseJson(R"({".flags": ["lock", "poll"]})");
    const Json::Value emptyFlags = ParseJson(R"({".flags": [], ".dynamic": true})");
    const Json::Value dynamicEnums = ParseJson(R"({".enums": ["A", "B", "C"], ".min": 1, ".dynamic": true})");
    struct Case {
        const char* label;
        bool flagList;
        const Json::Value* node;
        const char* format;
        Json::Value index;
        bool refuseDynamic;
        int status;
        const char* stored;  // JSON text
    };
    const Case cases[] = {
        {"entry text", true, &dynamicFlags, "string", "poll", false, 0, "1.0"},
        {"entry number", true, &dynamicFlags, "number", 1, false, 0, "1"},
        {"entry number outside", true, &dynamicFlags, "number", 2, false, 6, nullptr},
        {"refused with enforce", true, &dynamicFlags, "string", "poll", true, 13, nullptr},
        {"refused when not dynamic", true, &fixedFlags, "string", "poll", false, 13, nullptr},
        {"an empty list", true, &emptyFlags, "string", "poll", false, 3, nullptr},
        {"without a list the text stays", true, &dynamicEnums, "string", "x", false, 0, R"("given")"},
        {"enum entries start at .min", false, &dynamicEnums, "variant", "3", false, 0, "3"},
        {"enum entry below .min", false, &dynamicEnums, "variant", "0", false, 6, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Json::Value value("given");
        const int status =
            c.flagList ? JsonModel::ProcessFlagsSet(*c.node, c.format, value, c.index, c.refuseDynamic)
                       : JsonModel::ProcessEnumSet(*c.node, c.format, value, c.index, c.refuseDynamic);
        EXPECT_EQ(status, c.status);
        if (c.status == 0) {
            const Json::Value expected = ParseJson(c.stored);
            EXPECT_EQ(value, expected);
            EXPECT_EQ(value.type(), expected.type());
        }
    }
}
