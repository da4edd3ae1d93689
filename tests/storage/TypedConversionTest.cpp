// Typed conversion of written values, and the number rules beneath it.
#include <clocale>
#include <locale>
#include <string>

#include <gtest/gtest.h>

#include "StorageTestSupport.h"
#include "storage/FormatValuePair.h"
#include "storage/NumberRules.h"

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
    "i": {".type": "integer", ".min": -10, ".max": 10},
    "iOpen": {".type": "integer"},
    "s": {".type": "string", ".min": 2, ".max": 4},
    "sTextMin": {".type": "dstring", ".min": "3"},
    "blk": {".type": "block"},
    "blkLong": {".type": "block", ".min": 8, ".max": -1},
    "color": {".type": "color"}
})";

}  // namespace

TEST_F(StorageTest, TypedConversions) {
    struct Case {
        const char* path;
        const char* format;
        const char* value;   // JSON text of the written value
        int status;
        const char* stored;  // JSON text of the stored ".value" (when accepted)
    };
    const Case cases[] = {
        {"/b", "string", R"("yes")", 0, "true"},
        {"/b", "variant", R"("Yes")", 6, nullptr},
        {"/b", "string", R"("1e999")", 6, nullptr},
        {"/b", "variant", "18446744073709551615", 6, nullptr},
        {"/e", "string", R"("On")", 0, "1.0"},
        // "norm" numbers pick an entry by its position, whatever ".max" says.
        {"/e", "norm", "1", 0, "2"},
        {"/e", "norm", R"("0.5")", 0, "1"},
        {"/eNoList", "variant", "1", 3, nullptr},
        {"/eRange", "variant", "9.7", 0, "3"},
        // Texts written to a "float" are kept in hexadecimal notation, exactly; that
        // notation, which its reads give as text, writes back.
        {"/f", "string", R"("0.1")", 0, R"("0x1.999999999999ap-4")"},
        {"/f", "string", R"("0x1.4p+1")", 0, R"("0x1.4p+1")"},
        {"/f", "string", R"("0x1.4")", 6, nullptr},
        {"/f", "norm", R"("0.5")", 0, R"("0x1.4p+2")"},
        {"/f", "norm(0,1)", "0.25", 0, "2.5"},
        {"/f", "Norm", "0.25", 4, nullptr},
        {"/color", "variant", R"("red")", 8, nullptr},
        {"/i", "string", R"("-2.5")", 0, "-3"},
        {"/i", "norm", R"("0.25")", 0, "-5"},
        // Only an overflow refuses a number; an underflow is a plain 0.
        {"/i", "string", R"("1e-999")", 0, "0"},
        // A negative integer within range is accepted in every form; without ".min" the
        // range starts at 0 in every form.
        {"/i", "variant", "-5", 0, "-5"},
        {"/iOpen", "variant", "-5", 6, nullptr},
        {"/iOpen", "variant", "-5.0", 6, nullptr},
        {"/iOpen", "variant", R"("-5")", 6, nullptr},
        {"/e", "variant", "-5", 0, "0"},
        // Whole numbers beyond 32 bits are kept, as text too; beyond 64 they are refused,
        // not thrown.
        {"/iOpen", "variant", R"("3000000000")", 0, "3000000000"},
        {"/iOpen", "variant", "3000000000", 0, "3000000000"},
        {"/iOpen", "variant", "18446744073709551615", 6, nullptr},
        {"/s", "number", R"("1.5")", 0, "1.5"},
        {"/s", "number", R"("3000000000")", 6, nullptr},
        {"/s", "variant", R"({"a": 1})", 6, nullptr},
        {"/sTextMin", "string", R"("ab")", 6, nullptr},
        {"/blk", "variant", R"("QU==")", 0, R"("QU==")"},
        {"/blk", "variant", R"("Q===")", 6, nullptr},
        // A negative upper limit means no limit.
        {"/blkLong", "variant", R"("QUJDQUJDQUJD")", 0, R"("QUJDQUJDQUJD")"},
    };
    auto model = Load(kTree);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.format + " " + c.value);
        model->GetRoot()[std::string(c.path).substr(1)].removeMember(".value");
        EXPECT_EQ(model->SetValueForPath(c.path, c.format, ParseJson(c.value), true), c.status);
        const Json::Value& stored = model->valueForPath(std::string(c.path) + "/.value");
        const Json::Value expected = c.stored ? ParseJson(c.stored) : Json::Value();
        EXPECT_EQ(stored, expected);
    }
}

// The syntax checks scan once: a peer's long value is checked without recursion.
TEST_F(StorageTest, LargeValuesFromPeersAreCheckedWithoutRecursion) {
    auto model = Load(kTree);
    const std::string digits(200 * 1024, '7');
    EXPECT_EQ(model->SetValueForPath("/f", "string", digits.c_str(), true), IStorage::ValueOutOfRange);
    std::string base64;
    for (int i = 0; i < 50 * 1024; ++i) {
        base64 += "QUJD";
    }
    EXPECT_EQ(model->SetValueForPath("/blk", "string", base64.c_str(), true), IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/blk", "string", (base64 + "!").c_str(), true), IStorage::ValueOutOfRange);
}

// Whatever a parameter reads as text writes back to it unchanged: presets store values
// read as text and recall them by writing that text. Twice, since the first writes turn
// numbers given as text into their stored notation.
TEST_F(StorageTest, EveryValueReadAsTextWritesBack) {
    auto model = LoadSample();
    for (int round = 0; round < 2; ++round) {
        for (const auto& path : model->GetDescriptorForPath("/", 1)) {
            std::string text;
            // The root stands for its plain members; a write-only parameter has no text.
            if (path == "/" || model->GetValueForPath(path.c_str(), "string", text) != IStorage::PathOk) {
                continue;
            }
            SCOPED_TRACE(path + " = " + text);
            const Json::Value before = ZelkorTest::Read(*model, path.c_str(), "variant").second;
            const int status = model->SetValueForPath(path.c_str(), "string", Json::Value(text), false);
            EXPECT_TRUE(status == IStorage::PathOk || status == IStorage::PathConstant) << status;
            EXPECT_EQ(ZelkorTest::Read(*model, path.c_str(), "variant").second, before);
        }
    }
}

namespace {

struct DecimalComma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
};

// The application's locale for the life of a test: a C++ locale with a decimal comma,
// built here so that it always exists, and a C locale with one where such a locale is
// installed.
class CommaLocales {
public:
    CommaLocales() : _before(std::locale::global(std::locale(std::locale::classic(), new DecimalComma))) {
        _cLocale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ||
                   std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") != nullptr;
    }
    ~CommaLocales() {
        std::setlocale(LC_NUMERIC, "C");
        std::locale::global(_before);
    }
    bool CLocale() const { return _cLocale; }

private:
    std::locale _before;
    bool _cLocale = false;
};

}  // namespace

// Numbers in stored trees and on the wire carry a decimal point, whatever locale the
// application runs in.
TEST_F(StorageTest, NumbersReadAndWriteTheSameInAnyLocale) {
    auto model = Load(kTree);
    const CommaLocales locales;
    SCOPED_TRACE(locales.CLocale() ? "C and C++ locales" : "C++ locale only");
    EXPECT_EQ(Zelkor::TextToNumber("2,5"), 2.0);
    EXPECT_EQ(Zelkor::WholeTextNumber("0.25"), 0.25);
    EXPECT_EQ(Zelkor::FormatValuePair("number", "1.5", false).value, Json::Value(1.5));
    ASSERT_EQ(model->SetValueForPath("/f", "string", Json::Value("1.5"), true), IStorage::PathOk);
    EXPECT_EQ(model->valueForPath("/f/.value"), Json::Value("0x1.8p+0"));
    EXPECT_EQ(ZelkorTest::Read(*model, "/f", "number").second, Json::Value(1.5));
}
