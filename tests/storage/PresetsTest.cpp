// Presets: recall with its last-recalled record and change mark, update and new preset
// files, refused names and requests, and the files that must stay untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "support/LogCapture.h"

using Zelkor::JsonModel;
using ZelkorTest::LogCapture;
using ZelkorTest::ParseJson;
using ZelkorTest::ReadFile;
using ZelkorTest::WriteFile;

namespace fs = std::filesystem;

namespace {

const char* kTree = R"({
    "audio": {
        ".kind": "obj",
        "gain": {".kind": "param", ".type": "float", ".min": -60, ".max": 12, ".value": 0},
        "eq": {
            ".kind": "obj",
            "low": {".kind": "param", ".type": "integer", ".min": 0, ".max": 10, ".value": 0},
            "high": {".kind": "param", ".type": "integer", ".min": 0, ".max": 10, ".value": 0}
        },
        "mute": {".kind": "param", ".type": "boolean", ".access": "ro", ".value": false},
        "label": {".kind": "param", ".type": "string", ".value": "Main"}
    },
    "Presets": {".kind": "obj"}
})";

const char* kPreset = R"({
    "comment": "kept as it is",
    "parameters": [
        {"path": "/audio/gain", "value": "3"},
        {"path": "/audio/eq", "format": "number", "value": {"low": "1", "high": "2"}},
        {"path": "/audio/mute", "value": "true"},
        {"path": "/audio/missing", "value": "old"}
    ]
})";

using Arguments = std::map<std::string, std::string>;

std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.push_back(fs::relative(entry.path(), folder).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class PresetsTest : public ZelkorTest::StorageTest {
protected:
    void SetUp() override {
        root = (folder.Path() / "data" / "Presets").string();
        fs::create_directories(fs::path(root) / "Scene" / "G1");
        WriteFile(presetFile("P1"), kPreset);
        model = Load(kTree);
    }

    std::string presetFile(const std::string& name, const std::string& type = "Scene",
                           const std::string& group = "G1") const {
        return (fs::path(root) / type / group / name).string();
    }
    static Arguments scene(const std::string& name = "P1") {
        return {{"preset name", name}, {"preset type", "Scene"}, {"group name", "G1"}};
    }
    static Arguments with(const char* key, std::string text, Arguments arguments = scene()) {
        arguments[key] = std::move(text);
        return arguments;
    }
    // The stored value as it is, and as a read gives it.
    Json::Value value(const std::string& path) { return model->valueForPath(path + "/.value"); }
    Json::Value read(const std::string& path) { return ZelkorTest::Read(*model, path.c_str(), "variant").second; }

    std::string root;
    std::shared_ptr<JsonModel> model;
    std::string result;
};

}  // namespace

TEST_F(PresetsTest, RecallSetsTheValuesAndRecordsTheLastRecalledPreset) {
    ASSERT_TRUE(model->RecallPreset(root, scene(), result));
    EXPECT_EQ(result, "recall-preset success");
    EXPECT_EQ(read("/audio/gain"), Json::Value(3));
    EXPECT_EQ(read("/audio/eq/low").asInt(), 1);
    EXPECT_EQ(read("/audio/eq/high").asInt(), 2);
    // A recall is the owner's write: read-only parameters take their preset value.
    EXPECT_EQ(value("/audio/mute"), Json::Value(true));

    const Json::Value record = model->valueForPath("/Presets/Scene/G1");
    EXPECT_EQ(record["last"], ParseJson(R"({".kind":"param",".type":"string",".access":"ro",
                                             ".name":"Last Recalled",".value":"P1"})"));
    EXPECT_EQ(record["dirty"], ParseJson(R"({".kind":"param",".type":"boolean",".access":"ro",
                                              ".name":"Last recalled changed",".value":"false"})"));

    // Changing another value leaves the mark alone; changing a recalled one sets it.
    ASSERT_EQ(model->SetValueForPath("/audio/label", "variant", Json::Value("Side"), true), 0);
    EXPECT_EQ(value("/Presets/Scene/G1/dirty"), Json::Value("false"));
    ASSERT_EQ(model->SetValueForPath("/audio/eq/low", "variant", Json::Value(4), true), 0);
    EXPECT_EQ(value("/Presets/Scene/G1/dirty"), Json::Value(true));
    // The record is read-only for peers.
    EXPECT_EQ(model->SetValueForPath("/Presets/Scene/G1/last", "variant", Json::Value("X"), true),
              Zelkor::IStorage::PathReadonly);
}

TEST_F(PresetsTest, TheRecordUsesThePresetsOwnType) {
    fs::create_directories(fs::path(root) / "Mix" / "G1");
    WriteFile(presetFile("M1", "Mix"), R"({"parameters": [{"path": "/audio/label", "value": "Mix"}]})");
    const Arguments mix = {{"preset name", "M1"}, {"preset type", "Mix"}, {"group name", "G1"}};

    // Into a tree that already has its records.
    ASSERT_TRUE(model->RecallPreset(root, mix, result));
    EXPECT_EQ(value("/Presets/Mix/G1/last"), Json::Value("M1"));
    EXPECT_FALSE(model->GetRoot()["Presets"].isMember("Scene"));
    ASSERT_EQ(model->SetValueForPath("/audio/label", "variant", Json::Value("Other"), true), 0);
    EXPECT_EQ(value("/Presets/Mix/G1/dirty"), Json::Value(true));

    // Into a tree without any.
    auto bare = Load(R"({"audio": {".kind": "obj",
                          "label": {".kind": "param", ".type": "string", ".value": "Main"}}})");
    ASSERT_TRUE(bare->RecallPreset(root, mix, result));
    const Json::Value presets = bare->GetRoot()["Presets"];
    EXPECT_EQ(presets[".kind"], "obj");
    EXPECT_EQ(presets["Mix"][".kind"], "obj");
    EXPECT_EQ(presets["Mix"]["G1"]["last"][".value"], "M1");
}

TEST_F(PresetsTest, RecallWithoutGroupRecordsNothing) {
    WriteFile((fs::path(root) / "Scene" / "P0").string(), kPreset);
    ASSERT_TRUE(model->RecallPreset(root, {{"preset name", "P0"}, {"preset type", "Scene"}}, result));
    EXPECT_EQ(read("/audio/gain"), Json::Value(3));
    EXPECT_FALSE(model->GetRoot()["Presets"].isMember("Scene"));
}

TEST_F(PresetsTest, AChangeOfAPresetKeptOutsideAPresetsFolderMarksNothing) {
    LogCapture log;
    const std::string other = (folder.Path() / "elsewhere").string();
    fs::create_directories(fs::path(other) / "Scene" / "G1");
    WriteFile((fs::path(other) / "Scene" / "G1" / "P1").string(), kPreset);
    ASSERT_TRUE(model->RecallPreset(other, scene(), result));
    ASSERT_EQ(model->SetValueForPath("/audio/gain", "variant", Json::Value(1), true), 0);
    EXPECT_EQ(read("/audio/gain"), Json::Value(1));
    EXPECT_EQ(value("/Presets/Scene/G1/dirty"), Json::Value("false"));
    EXPECT_FALSE(log.Contains("ZK6100E"));
}

TEST_F(PresetsTest, UpdateStoresTheCurrentValuesIntoThePresetFile) {
    ASSERT_EQ(model->SetValueForPath("/audio/gain", "variant", Json::Value(-6.5), true), 0);
    ASSERT_EQ(model->SetValueForPath("/audio/eq/high", "variant", Json::Value(9), true), 0);
    ASSERT_TRUE(model->StorePreset(root, scene(), result));
    EXPECT_EQ(result, "store preset success");

    const std::string text = ReadFile(presetFile("P1"));
    EXPECT_EQ(text.find("    "), std::string::npos) << "indented with tabs";
    EXPECT_NE(text.find("\n\t\"parameters\""), std::string::npos) << text;
    EXPECT_EQ(ParseJson(text), ParseJson(R"({
        "comment": "kept as it is",
        "parameters": [
            {"path": "/audio/gain", "value": "-6.5"},
            {"path": "/audio/eq", "format": "number", "value": {"low": "0", "high": "9"}},
            {"path": "/audio/mute", "value": "false"},
            {"path": "/audio/missing", "value": "old"}
        ]})"));
    // Only the preset itself is there: no temporary file is left behind.
    EXPECT_EQ(filesBelow(fs::path(root) / "Scene"), (std::vector<std::string>{"G1", "G1/P1"}));
}

TEST_F(PresetsTest, UpdateGivesAValueOnlyWhereOneWasRead) {
    WriteFile(presetFile("P1"), R"({"parameters": [
        {"path": "/audio/label"},
        {"path": "/audio/missing"},
        {"path": "/audio/eq", "value": {"low": "7", "none": "8"}}]})");
    ASSERT_TRUE(model->StorePreset(root, scene(), result));
    EXPECT_EQ(ParseJson(ReadFile(presetFile("P1"))), ParseJson(R"({"parameters": [
        {"path": "/audio/label", "value": "Main"},
        {"path": "/audio/missing"},
        {"path": "/audio/eq", "value": {"low": "0", "none": "8"}}]})"));
}

TEST_F(PresetsTest, NewWritesANewPresetBesideItsSource) {
    ASSERT_EQ(model->SetValueForPath("/audio/label", "variant", Json::Value("New"), true), 0);
    ASSERT_EQ(model->SetValueForPath("/audio/gain", "variant", Json::Value(2), true), 0);
    ASSERT_TRUE(model->AddPreset(root, with("new preset name", "P2"), result));
    EXPECT_EQ(result, "Add preset success");
    EXPECT_EQ(ReadFile(presetFile("P1")), kPreset);
    EXPECT_EQ(ParseJson(ReadFile(presetFile("P2")))["parameters"][0]["value"], "2");
}

TEST_F(PresetsTest, RefusedRequestsTouchNoFile) {
    LogCapture log;
    struct Case {
        const char* label;
        Arguments arguments;
    };
    const Case cases[] = {
        {"no type", {{"preset name", "P1"}, {"group name", "G1"}}},
        {"no name", {{"preset type", "Scene"}, {"group name", "G1"}}},
        {"empty name", with("preset name", "")},
        {"name is the folder", with("preset name", ".")},
        {"name climbs", with("preset name", "../G1/P1")},
        {"name is a path", with("preset name", "G1/P1")},
        {"name is absolute", with("preset name", root + "/Scene/G1/P1")},
        {"type climbs", with("preset type", "..")},
        {"type is absolute", with("preset type", "/etc")},
        {"group climbs", with("group name", "x/../G1")},
        {"name with a zero byte", with("preset name", std::string("P1\0x", 4))},
    };
    const Case newCases[] = {
        {"no new name", scene()},
        {"empty new name", with("new preset name", "")},
        {"new name with a folder", with("new preset name", "sub/P2")},
        {"new name climbs", with("new preset name", "../P2")},
        {"new name is the source", with("new preset name", "P1")},
    };
    const auto before = filesBelow(folder.Path() / "data");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        result.clear();
        EXPECT_FALSE(model->StorePreset(root, c.arguments, result));
        EXPECT_EQ(result, "ProcessPresetParams failed");
        EXPECT_FALSE(model->RecallPreset(root, c.arguments, result));
        EXPECT_EQ(result, "ProcessPresetParams failed");
        EXPECT_FALSE(model->AddPreset(root, with("new preset name", "P2", c.arguments), result));
        EXPECT_EQ(result, "ProcessPresetParams failed");
    }
    for (const auto& c : newCases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(model->AddPreset(root, c.arguments, result));
        EXPECT_EQ(result, "ProcessPresetParams failed");
    }
    EXPECT_EQ(filesBelow(folder.Path() / "data"), before);
    EXPECT_EQ(ReadFile(presetFile("P1")), kPreset);
    EXPECT_EQ(read("/audio/gain"), Json::Value(0));
    EXPECT_TRUE(log.Contains("PRST ZK6112E Preset parameters refused"));
}

TEST_F(PresetsTest, UnreadablePresetFilesFailEveryCommand) {
    LogCapture log;
    WriteFile(presetFile("bad"), "{\"parameters\": [");
    for (const char* name : {"bad", "absent"}) {
        SCOPED_TRACE(name);
        const Arguments arguments = with("new preset name", "P9", scene(name));
        EXPECT_FALSE(model->RecallPreset(root, arguments, result));
        EXPECT_EQ(result, "ProcessPresetParams failed");
        EXPECT_FALSE(model->StorePreset(root, arguments, result));
        EXPECT_FALSE(model->AddPreset(root, arguments, result));
        EXPECT_EQ(result, "ProcessPresetParams failed");
    }
    EXPECT_EQ(log.Count("PRST ZK6111E Json Parser Error : "), 6u);
    EXPECT_FALSE(fs::exists(presetFile("P9")));
}

TEST_F(PresetsTest, AFileWithoutParameterListRecallsNothingAndIsNeverRewritten) {
    LogCapture log;
    const std::string text = R"({"parameters": {"path": "/audio/gain", "value": "3"}})";
    WriteFile(presetFile("P1"), text);
    const Arguments arguments = with("new preset name", "P2");
    EXPECT_FALSE(model->StorePreset(root, arguments, result));
    EXPECT_EQ(result, "StoreAttributesToFile failed");
    EXPECT_FALSE(model->AddPreset(root, arguments, result));
    EXPECT_EQ(result, "StoreAttributesToFile failed");
    EXPECT_TRUE(model->RecallPreset(root, arguments, result));
    EXPECT_EQ(log.Count("PRST ZK6110E parameters is not array"), 1u);
    EXPECT_EQ(read("/audio/gain"), Json::Value(0));
    EXPECT_EQ(ReadFile(presetFile("P1")), text);
    EXPECT_FALSE(fs::exists(presetFile("P2")));
}

TEST_F(PresetsTest, ElementsWithoutTextValuesAreSkipped) {
    WriteFile(presetFile("P1"), R"({"parameters": [
        {"path": "/audio/label", "value": ["not", "text"]},
        {"path": "/audio/eq", "value": {"low": {"deep": 1}, "high": "5"}},
        "not an element",
        {"path": ["/audio/label"], "value": "x"},
        {"path": "/audio/gain", "value": "4"}]})");
    ASSERT_TRUE(model->RecallPreset(root, scene(), result));
    EXPECT_EQ(value("/audio/label"), Json::Value("Main"));
    EXPECT_EQ(read("/audio/eq/low").asInt(), 0);
    EXPECT_EQ(read("/audio/eq/high").asInt(), 5);
    EXPECT_EQ(read("/audio/gain"), Json::Value(4));
    EXPECT_TRUE(model->StorePreset(root, scene(), result));
}

TEST_F(PresetsTest, APresetFileThatCannotBeReplacedIsReportedAndNothingIsLeftBehind) {
    // "P2" is a folder: the new preset cannot take its place.
    fs::create_directory(presetFile("P2"));
    const Arguments arguments = with("new preset name", "P2");
    const auto before = filesBelow(folder.Path() / "data");
    EXPECT_FALSE(model->AddPreset(root, arguments, result));
    EXPECT_EQ(result, "StoreAttributesToFile failed");
    EXPECT_EQ(filesBelow(folder.Path() / "data"), before);
}
