// Writing values: access, lock and constant rules with and without enforce, what is
// reported to the subscription service, unchanged writes and attribute writes.
#include <gtest/gtest.h>

#include "StorageTestSupport.h"

using Zelkor::IStorage;
using ZelkorTest::ParseJson;
using ZelkorTest::StorageTest;
using Texts = std::vector<std::string>;

namespace {

const char* kAccessTree = R"({
    "rw": {".type": "integer", ".value": 1},
    "ro": {".type": "integer", ".access": "ro", ".value": 1},
    "c": {".type": "integer", ".access": "c", ".value": 1},
    "wo": {".type": "integer", ".access": "wo", ".value": 1},
    "locked": {".type": "integer", ".flags": ["lock"], ".value": 1},
    "nsub": {".type": "integer", ".flags": ["nsub"], ".value": 1}
})";

}  // namespace

TEST_F(StorageTest, AccessMatrix) {
    struct Case {
        const char* path;
        bool enforce;
        int status;
        bool stored;
        bool reported;
    };
    const Case cases[] = {
        {"/rw", true, IStorage::PathOk, true, true},
        {"/ro", true, IStorage::PathReadonly, false, false},
        {"/ro", false, IStorage::PathOk, true, true},
        {"/c", false, IStorage::PathConstant, false, false},
        {"/wo", true, IStorage::PathOk, true, false},
        {"/locked", true, IStorage::PathLocked, false, false},
        {"/locked", false, IStorage::PathOk, true, false},
        {"/nsub", true, IStorage::PathOk, true, true},
    };
    for (const auto& c : cases) {
        // Text comes from peers: it keeps the rules whatever `enforce` says, so it must be
        // answered as the enforced write is.
        for (const bool text : {false, true}) {
            if (text && !c.enforce) {
                continue;
            }
            SCOPED_TRACE(std::string(c.path) + (c.enforce ? " enforced" : " not enforced") +
                         (text ? " as text" : ""));
            subscriber.reports.clear();
            auto model = Load(kAccessTree);
            EXPECT_EQ(text ? model->SetValueForPath(c.path, "variant", "2", false)
                           : model->SetValueForPath(c.path, "variant", Json::Value(2), c.enforce),
                      c.status);
            EXPECT_EQ(model->valueForPath(std::string(c.path) + "/.value"), Json::Value(c.stored ? 2 : 1));
            EXPECT_EQ(subscriber.reports, c.reported ? Texts{std::string(c.path) + " 2\n integer"} : Texts{});
        }
    }
    auto model = Load(kAccessTree);
    EXPECT_EQ(model->SetValueForPath("/rw", "string", static_cast<const char*>(nullptr), false),
              IStorage::ValueOutOfRange);
}

TEST_F(StorageTest, UnchangedWritesReportNothing) {
    auto model = Load(R"({
        "i": {".type": "integer", ".value": 5},
        "d": {".type": "integer", ".default": 5},
        "s": {".type": "string", ".value": "5"}
    })");
    // A signed and an unsigned 5 are one stored value.
    EXPECT_EQ(model->SetValueForPath("/i", "variant", Json::Value(5u), true), IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/d", "variant", Json::Value(5), true), IStorage::PathOk);
    EXPECT_FALSE(model->valueForPath("/d").isMember(".value"));
    EXPECT_TRUE(subscriber.reports.empty());

    // The real 5.0 is another value than the integer 5, and so is the integer 5 for the text "5".
    EXPECT_EQ(model->SetValueForPath("/i", "variant", Json::Value(5.0), true), IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/s", "variant", Json::Value(5), true), IStorage::PathOk);
    EXPECT_EQ(subscriber.reports, (Texts{"/i 5.0\n integer", "/s 5\n string"}));
}

// Writes to a descriptor's attributes (dynamic descriptors, without enforce) store the
// value as given and report it as an attribute; writes to its ".enums" or ".flags" replace
// the whole list with a list of words and report it under the list's name.
TEST_F(StorageTest, AttributeAndListWrites) {
    struct Case {
        const char* path;
        const char* value;  // JSON text
        bool enforce;
        int status;
        const char* report;  // the report, or null when nothing is reported
    };
    const Case cases[] = {
        {"/p/.min", "2", true, IStorage::AttributeDisabled, nullptr},
        {"/p/.min", "2", false, IStorage::PathOk, "/p/.min 2\n attribute"},
        {"/p/.dynamic", "false", false, IStorage::AttributeDisabled, nullptr},
        {"/textDynamic/.min", "2", false, IStorage::AttributeDisabled, nullptr},
        {"/p/.enums", R"(["x", "y", "z"])", false, IStorage::PathOk, "/p/.enums [\"x\",\"y\",\"z\"]\n .enums"},
        {"/p/.enums", R"(["x", 2])", false, IStorage::ValueOutOfRange, nullptr},
        {"/p/.flags", R"(["sparkle"])", false, IStorage::ValueOutOfRange, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.value + (c.enforce ? " enforced" : ""));
        subscriber.reports.clear();
        auto model = Load(R"({
            "p": {".type": "float", ".dynamic": true, ".min": 0, ".enums": ["a", "b"], ".flags": ["poll"]},
            "textDynamic": {".type": "float", ".dynamic": "true", ".min": 0}
        })");
        const Json::Value value = ParseJson(c.value);
        const Json::Value before = model->valueForPath(c.path);
        EXPECT_EQ(model->SetValueForPath(c.path, "variant", value, c.enforce), c.status);
        EXPECT_EQ(model->valueForPath(c.path), c.status == IStorage::PathOk ? value : before);
        EXPECT_EQ(subscriber.reports, c.report ? Texts{c.report} : Texts{});
    }
}
