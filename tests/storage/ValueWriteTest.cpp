// Writing values: access, lock and constant rules with and without enforce, what is
// reported to the subscription service, unchanged writes, formats and attribute writes.
#include <gtest/gtest.h>

#include "StorageTestSupport.h"
#include "support/LogCapture.h"

using Zelkor::IStorage;
using Zelkor::JsonModel;
using ZelkorTest::LogCapture;
using ZelkorTest::ParseJson;
using ZelkorTest::Read;
using ZelkorTest::StorageTest;

namespace {

const char* kAccessTree = R"({
    "rw": {".type": "integer", ".value": 1},
    "ro": {".type": "integer", ".access": "ro", ".value": 1},
    "c": {".type": "integer", ".access": "c", ".value": 1},
    "wo": {".type": "integer", ".access": "wo", ".value": 1},
    "locked": {".type": "integer", ".flags": ["lock"], ".value": 1},
    "roLocked": {".type": "integer", ".access": "ro", ".flags": ["lock"], ".value": 1},
    "nsub": {".type": "integer", ".flags": ["nsub"], ".value": 1}
})";

const char* kAttributeTree = R"({
    "p": {".type": "float", ".dynamic": true, ".min": 0, ".max": 10, ".value": 1,
          ".enums": ["a", "b"], ".flags": ["poll"]},
    "fixed": {".type": "float", ".min": 0, ".enums": ["a"], ".value": 1},
    "textDynamic": {".type": "float", ".dynamic": "true", ".min": 0},
    "wordList": {".type": "enum", ".dynamic": true, ".enums": "a"}
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
        {"/rw", false, IStorage::PathOk, true, true},
        {"/ro", true, IStorage::PathReadonly, false, false},
        {"/ro", false, IStorage::PathOk, true, true},
        {"/c", true, IStorage::PathConstant, false, false},
        {"/c", false, IStorage::PathConstant, false, false},
        {"/wo", true, IStorage::PathOk, true, false},
        {"/wo", false, IStorage::PathOk, true, false},
        {"/locked", true, IStorage::PathLocked, false, false},
        {"/locked", false, IStorage::PathOk, true, false},
        {"/roLocked", true, IStorage::PathReadonly, false, false},
        {"/roLocked", false, IStorage::PathOk, true, false},
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
            ASSERT_EQ(subscriber.reports.size(), c.reported ? 1u : 0u);
            if (c.reported) {
                const auto& report = subscriber.reports.front();
                EXPECT_EQ(report.path, c.path);
                EXPECT_EQ(report.format, "variant");
                EXPECT_EQ(report.value, "2\n");
                EXPECT_EQ(report.type, "integer");
                EXPECT_FALSE(report.attribute);
                EXPECT_TRUE(report.storageAlive);
            }
        }
    }
    auto model = Load(kAccessTree);
    EXPECT_EQ(model->SetValueForPath("/rw", "string", static_cast<const char*>(nullptr), false),
              IStorage::ValueOutOfRange);
    EXPECT_EQ(model->SetValueForPath(nullptr, "string", "2", false), IStorage::InvalidPath);
}

TEST_F(StorageTest, UnchangedWritesReportNothing) {
    auto model = Load(R"({
        "i": {".type": "integer", ".value": 5},
        "d": {".type": "integer", ".default": 5},
        "s": {".type": "string", ".value": "5"}
    })");
    EXPECT_EQ(model->SetValueForPath("/i", "variant", Json::Value(5), true), IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/i", "variant", Json::Value(5u), true), IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/i", "string", "5", true), IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/d", "variant", Json::Value(5), true), IStorage::PathOk);
    EXPECT_FALSE(model->valueForPath("/d").isMember(".value"));
    EXPECT_TRUE(subscriber.reports.empty());

    // The real 5.0 is another value than the integer 5, and so is the integer 5 for the text "5".
    EXPECT_EQ(model->SetValueForPath("/i", "variant", Json::Value(5.0), true), IStorage::PathOk);
    EXPECT_EQ(model->valueForPath("/i/.value").type(), Json::realValue);
    EXPECT_EQ(model->SetValueForPath("/s", "variant", Json::Value(5), true), IStorage::PathOk);
    ASSERT_EQ(subscriber.reports.size(), 2u);
    EXPECT_EQ(subscriber.reports[0].value, "5.0\n");
    EXPECT_EQ(subscriber.reports[1].value, "5\n");
}

TEST_F(StorageTest, WriteFormatsAndTypes) {
    auto model = Load(R"({
        "f": {".type": "float", ".min": 0, ".max": 10, ".value": 0},
        "color": {".type": "color", ".value": "red"},
        "untyped": {".max": 4, ".value": "x"},
        "empty": {}
    })");
    struct Case {
        const char* path;
        const char* format;
        Json::Value value;
        int status;
    };
    const Case cases[] = {
        {"/f", "norm(0,1)", 0.5, IStorage::PathOk},
        {"/f", "Norm", 0.5, IStorage::InvalidFormat},
        {"/f", "default", 1, IStorage::InvalidFormat},
        {"/f", nullptr, 3, IStorage::PathOk},
        {"/color", "variant", "blue", IStorage::PathDisabled},
        {"/untyped", "variant", "text", IStorage::PathOk},
        {"/untyped", "variant", "longer", IStorage::ValueOutOfRange},
        {"/empty", "variant", "x", IStorage::InvalidPath},
        {"/missing", "variant", "x", IStorage::InvalidPath},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + (c.format ? c.format : "null"));
        EXPECT_EQ(model->SetValueForPath(c.path, c.format, c.value, true), c.status);
    }
    EXPECT_EQ(model->valueForPath("/f/.value"), Json::Value(3));
    EXPECT_EQ(model->valueForPath("/untyped/.value"), Json::Value("text"));
    ASSERT_EQ(subscriber.reports.size(), 3u);
    EXPECT_EQ(subscriber.reports[0].format, "norm");
    EXPECT_EQ(subscriber.reports[0].value, "5.0\n");
    EXPECT_EQ(subscriber.reports[0].type, "float");
    EXPECT_EQ(subscriber.reports[2].value, "text");
    EXPECT_EQ(subscriber.reports[2].type, "string");
}

TEST_F(StorageTest, ModelWithoutSharedOwnerStillReports) {
    JsonModel model(kAccessTree);
    model.SetStorageEventHandler(&subscriber);
    EXPECT_EQ(model.SetValueForPath("/rw", "variant", Json::Value(3), true), IStorage::PathOk);
    ASSERT_EQ(subscriber.reports.size(), 1u);
    EXPECT_FALSE(subscriber.reports[0].storageAlive);
    model.SetStorageEventHandler(nullptr);
    EXPECT_EQ(model.SetValueForPath("/rw", "variant", Json::Value(4), true), IStorage::PathOk);
    EXPECT_EQ(subscriber.reports.size(), 1u);
}

TEST_F(StorageTest, SampleTreeWrites) {
    auto model = LoadSample();
    // The library's own start-up write of a read-only value goes without enforce.
    EXPECT_EQ(model->SetValueForPath("/configuration/device/protocolversion", "variant",
                                     Json::Value("1.2"), false),
              IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/audio/channels/2/sends/3", "norm", "0.25", true),
              IStorage::PathOk);
    EXPECT_EQ(Read(*model, "/audio/channels/2/sends/3", "number"),
              std::make_pair(0, Json::Value(0.25)));
    EXPECT_EQ(model->SetValueForPath("/rack/slot", "variant", Json::Value(4), false),
              IStorage::InvalidPath);  // plain values are not parameters
    ASSERT_EQ(subscriber.reports.size(), 2u);
    EXPECT_EQ(subscriber.reports[0].path, "/configuration/device/protocolversion");
    EXPECT_EQ(subscriber.reports[0].value, "1.2");
    EXPECT_EQ(subscriber.reports[1].path, "/audio/channels/2/sends/3");
}

// Writes to a descriptor's attributes (dynamic descriptors, without enforce) store the
// value as given and report it as an attribute; writes to its ".enums" or ".flags" replace
// the whole list and report it under the list's name.
TEST_F(StorageTest, AttributeAndListWrites) {
    struct Case {
        const char* path;
        const char* value;   // JSON text
        bool enforce;
        int status;
        const char* report;  // the reported value text, or null when nothing is reported
    };
    const Case cases[] = {
        {"/p/.min", "2", true, IStorage::AttributeDisabled, nullptr},
        {"/p/.min", "2", false, IStorage::PathOk, "2\n"},
        {"/p/.dynamic", "false", false, IStorage::AttributeDisabled, nullptr},
        {"/fixed/.min", "2", false, IStorage::AttributeDisabled, nullptr},
        {"/textDynamic/.min", "2", false, IStorage::AttributeDisabled, nullptr},
        {"/p/.missing", "2", false, IStorage::InvalidPath, nullptr},
        {"/p/.value", R"("anything")", false, IStorage::PathOk, "anything"},
        {"/p/.value", R"({"a": 1, "b": ["x"]})", false, IStorage::PathOk, "{\"a\":1,\"b\":[\"x\"]}\n"},
        {"/p/.enums", R"(["x", "y", "z"])", false, IStorage::PathOk, "[\"x\",\"y\",\"z\"]\n"},
        {"/p/.enums", R"(["a", "b"])", false, IStorage::PathOk, nullptr},  // unchanged
        {"/p/.enums", R"(["x"])", true, IStorage::AttributeDisabled, nullptr},
        {"/fixed/.enums", R"(["x"])", false, IStorage::AttributeDisabled, nullptr},
        {"/p/.enums", R"("x")", false, IStorage::ValueOutOfRange, nullptr},
        {"/p/.enums", R"([])", false, IStorage::ValueOutOfRange, nullptr},
        {"/p/.enums", R"(["x", 2])", false, IStorage::ValueOutOfRange, nullptr},
        {"/p/.flags", R"(["lock", "poll"])", false, IStorage::PathOk, "[\"lock\",\"poll\"]\n"},
        {"/p/.flags", R"(["sparkle"])", false, IStorage::ValueOutOfRange, nullptr},
        {"/wordList/.enums", R"(["x"])", false, IStorage::InvalidPath, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.value + (c.enforce ? " enforced" : ""));
        subscriber.reports.clear();
        auto model = Load(kAttributeTree);
        const Json::Value value = ParseJson(c.value);
        const Json::Value before = model->valueForPath(c.path);
        EXPECT_EQ(model->SetValueForPath(c.path, "variant", value, c.enforce), c.status);
        EXPECT_EQ(model->valueForPath(c.path), c.status == IStorage::PathOk ? value : before);
        ASSERT_EQ(subscriber.reports.size(), c.report ? 1u : 0u);
        if (c.report) {
            const std::string path = c.path;
            const std::string attribute = path.substr(path.rfind('/') + 1);
            const bool list = attribute == ".enums" || attribute == ".flags";
            EXPECT_EQ(subscriber.reports[0].path, c.path);
            EXPECT_EQ(subscriber.reports[0].value, c.report);
            EXPECT_EQ(subscriber.reports[0].attribute, !list);
            EXPECT_EQ(subscriber.reports[0].type, list ? attribute : "");
        }
    }
    auto model = Load(kAttributeTree);
    EXPECT_EQ(model->SetValueForPath("/p/.min", "string", "2", false), IStorage::AttributeDisabled);
    EXPECT_EQ(model->ProcessAttribute("/p/min", "variant", Json::Value(1), false),
              IStorage::InvalidPath);
    EXPECT_EQ(model->ProcessAttribute("/p/.name", "variant", Json::Value("Gain"), false),
              IStorage::PathOk);
    EXPECT_EQ(model->ProcessAttribute("/none/.name", "variant", Json::Value("x"), false),
              IStorage::InvalidPath);
}

TEST_F(StorageTest, WriteLogLines) {
    ZelkorLog::TheLog().SetLevel(5);
    LogCapture log;
    auto model = Load(kAttributeTree);
    model->SetValueForPath("/p", "variant", Json::Value(2), true);
    EXPECT_TRUE(log.Contains("JMOD ZK6010I SetValueForPath _subscriptionService->ValueChanged Path (/p)"));
    EXPECT_TRUE(log.Contains("JMOD ZK6011I SetValueForPath _subscriptionService->ValueChanged newval (2)"));
    model->SetValueForPath("/p/.max", "variant", Json::Value(20), false);
    EXPECT_TRUE(log.Contains("JMOD ZK6012I SetValueForPath arrayName (p)"));
    EXPECT_TRUE(log.Contains("JMOD ZK6013I SetValueForPath indexName (.max)"));
    EXPECT_TRUE(log.Contains("JMOD ZK6014I SetValueForPath parentPath (/)"));
    EXPECT_TRUE(log.Contains("JMOD ZK6006I ProcessAttribute fullPath (/p/.max)"));
    EXPECT_TRUE(log.Contains("JMOD ZK6007I ProcessAttribute parentPath (/p)"));
    EXPECT_TRUE(log.Contains("JMOD ZK6008I ProcessAttribute attribute (.max)"));
    EXPECT_TRUE(log.Contains("JMOD ZK6009I ProcessAttribute _subscriptionService->ValueChanged"));
    Json::Value list;
    list.append("q");
    model->SetValueForPath("/p/.enums", "variant", list, false);
    EXPECT_TRUE(log.Contains("JMOD ZK6015I SetValueForPath _subscriptionService->ValueChanged Path (/p/.enums)"));
    EXPECT_TRUE(log.Contains(R"(JMOD ZK6016I SetValueForPath _subscriptionService->ValueChanged value (["q"]))"));
}
