// Presets: recall with its last-recalled record and change mark, update and new preset
// files, refused names and requests, and the files that must stay untouched.
#include <gtest/gtest.h>

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
    "audio": {".kind": "obj",
        "gain": {".kind": "param", ".type": "float", ".min": -60, ".max": 12, ".value": 0},
        "eq": {".kind": "obj",
            "low": {".kind": "param", ".type": "integer", ".min": 0, ".max": 10, ".value": 0},
            "high": {".kind": "param", ".type": "integer", ".min": 0, ".max": 10, ".value": 0}},
        "mute": {".kind": "param", ".type": "boolean", ".access": "ro", ".value": false},
        "label": {".kind": "param", ".type": "string", ".value": "Main"}},
    "Presets": {".kind": "obj"}
})";

const char* kPreset = R"({
    "comment": "kept as it is",
    "parameters": [
        {"path": "/audio/gain", "value": "3"},
        {"path": "/audio/eq", "format": "number", "value": {"low": "1", "high": "2"}},
        {"path": "/audio/mute", "value": "true"}
    ]
})";

using Arguments = std::map<std::string, std::string>;

const Arguments kScene = {{"preset name", "P1"}, {"preset type", "Scene"}, {"group name", "G1"}};

class PresetsTest : public ZelkorTest::StorageTest {
protected:
    void SetUp() override {
        root = (folder.Path() / "data" / "Presets").string();
        fs::create_directories(fs::path(root) / "Scene" / "G1");
        WriteFile(presetFile("P1"), kPreset);
        model = Load(kTree);
    }

    std::string presetFile(const std::string& name, const std::string& type = "Scene") const {
        return (fs::path(root) / type / "G1" / name).string();
    }
    static Arguments with(const char* key, std::string text, Arguments arguments = kScene) {
        arguments[key] = std::move(text);
        return arguments;
    }
    // The stored value as it is, and as a read gives it ("float" texts are kept in hexadecimal).
    Json::Value value(const std::string& path) { return model->valueForPath(path + "/.value"); }
    Json::Value read(const std::string& path) { return ZelkorTest::Read(*model, path.c_str(), "variant").second; }

    std::string root;
    std::shared_ptr<JsonModel> model;
    std::string result;
};

}  // namespace

TEST_F(PresetsTest, RecallSetsTheValuesAndRecordsTheLastRecalledPreset) {
    ASSERT_TRUE(model->RecallPreset(root, kScene, result));
    EXPECT_EQ(result, "recall-preset success");
    EXPECT_EQ(read("/audio/gain"), Json::Value(3));
    EXPECT_EQ(value("/audio/eq/low"), Json::Value(1));
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
}

// The record goes under the preset's own type (where its change mark looks), also in a
// tree without records; a preset kept outside a "Presets" folder has no mark to set.
TEST_F(PresetsTest, TheRecordUsesThePresetsOwnType) {
    fs::create_directories(fs::path(root) / "Mix" / "G1");
    WriteFile(presetFile("M1", "Mix"), R"({"parameters": [{"path": "/audio/label", "value": "Mix"}]})");
    const Arguments mix = {{"preset name", "M1"}, {"preset type", "Mix"}, {"group name", "G1"}};
    auto bare = Load(R"({"audio": {".kind": "obj",
                          "label": {".kind": "param", ".type": "string", ".value": "Main"}}})");
    for (auto* tree : {bare.get(), model.get()}) {
        ASSERT_TRUE(tree->RecallPreset(root, mix, result));
        EXPECT_EQ(tree->valueForPath("/Presets/Mix/G1/last/.value"), Json::Value("M1"));
        ASSERT_EQ(tree->SetValueForPath("/audio/label", "variant", Json::Value("Other"), true), 0);
        EXPECT_EQ(tree->valueForPath("/Presets/Mix/G1/dirty/.value"), Json::Value(true));
    }
    EXPECT_FALSE(model->GetRoot()["Presets"].isMember("Scene"));

    const std::string other = (folder.Path() / "elsewhere").string();
    fs::create_directories(fs::path(other) / "Scene" / "G1");
    WriteFile((fs::path(other) / "Scene" / "G1" / "P1").string(), kPreset);
    ASSERT_TRUE(model->RecallPreset(other, kScene, result));
    ASSERT_EQ(model->SetValueForPath("/audio/gain", "variant", Json::Value(1), true), 0);
    EXPECT_EQ(value("/Presets/Scene/G1/dirty"), Json::Value("false"));
}

// A value is given only where one was read; the rest of the file is kept. A float is
// stored, and read as text, in hexadecimal notation: the preset keeps that text and
// recalls it exactly.
TEST_F(PresetsTest, UpdateStoresTheCurrentValuesIntoThePresetFile) {
    WriteFile(presetFile("P1"), R"({"comment": "kept as it is", "parameters": [
        {"path": "/audio/gain", "format": "string", "value": "3"},
        {"path": "/audio/eq", "format": "number", "value": {"low": "7", "none": "8"}},
        {"path": "/audio/label"},
        {"path": "/audio/missing"}]})");
    ASSERT_EQ(model->SetValueForPath("/audio/gain", "string", Json::Value("-6.5"), true), 0);
    ASSERT_TRUE(model->StorePreset(root, kScene, result));
    EXPECT_EQ(result, "store preset success");
    const std::string text = ReadFile(presetFile("P1"));
    EXPECT_NE(text.find("\n\t\"parameters\""), std::string::npos) << "indented with tabs: " << text;
    EXPECT_EQ(ParseJson(text), ParseJson(R"({"comment": "kept as it is", "parameters": [
        {"path": "/audio/gain", "format": "string", "value": "-0x1.ap+2"},
        {"path": "/audio/eq", "format": "number", "value": {"low": "0", "none": "8"}},
        {"path": "/audio/label", "value": "Main"},
        {"path": "/audio/missing"}]})"));

    ASSERT_EQ(model->SetValueForPath("/audio/gain", "variant", Json::Value(1), true), 0);
    model->RecallPreset(root, kScene, result);  // incomplete: "/audio/eq/none" is refused
    EXPECT_EQ(read("/audio/gain"), Json::Value(-6.5));
}

TEST_F(PresetsTest, NewWritesANewPresetBesideItsSource) {
    ASSERT_EQ(model->SetValueForPath("/audio/gain", "variant", Json::Value(2), true), 0);
    ASSERT_TRUE(model->AddPreset(root, with("new preset name", "P2"), result));
    EXPECT_EQ(result, "Add preset success");
    EXPECT_EQ(ReadFile(presetFile("P1")), kPreset);
    EXPECT_EQ(ParseJson(ReadFile(presetFile("P2")))["parameters"][0]["value"], "2");

    // A new preset that cannot take its place is reported, and nothing is left behind.
    fs::create_directory(presetFile("P3"));
    const auto before = ZelkorTest::FilesBelow(folder.Path() / "data");
    EXPECT_FALSE(model->AddPreset(root, with("new preset name", "P3"), result));
    EXPECT_EQ(result, "StoreAttributesToFile failed");
    EXPECT_EQ(ZelkorTest::FilesBelow(folder.Path() / "data"), before);
}

// Names from a request stay one level below their folder, and a new preset never
// overwrites its source.
TEST_F(PresetsTest, RefusedRequestsTouchNoFile) {
    const Arguments cases[] = {
        {{"preset name", "P1"}, {"group name", "G1"}},
        with("preset name", "../G1/P1"),
        with("preset type", ".."),
        with("group name", "x/../G1"),
        with("preset name", std::string("P1\0x", 4)),
    };
    const Arguments newCases[] = {kScene, with("new preset name", "sub/P2"), with("new preset name", "P1")};
    const auto before = ZelkorTest::FilesBelow(folder.Path() / "data");
    for (const auto& arguments : cases) {
        EXPECT_FALSE(model->StorePreset(root, arguments, result));
        EXPECT_FALSE(model->RecallPreset(root, arguments, result));
        EXPECT_FALSE(model->AddPreset(root, with("new preset name", "P2", arguments), result));
        EXPECT_EQ(result, "ProcessPresetParams failed");
    }
    for (const auto& arguments : newCases) {
        EXPECT_FALSE(model->AddPreset(root, arguments, result));
        EXPECT_EQ(result, "ProcessPresetParams failed");
    }
    EXPECT_EQ(ZelkorTest::FilesBelow(folder.Path() / "data"), before);
    EXPECT_EQ(ReadFile(presetFile("P1")), kPreset);
    EXPECT_EQ(value("/audio/gain"), Json::Value(0));
}

// A link in the presets folder would lead reads and writes to a file outside it.
TEST_F(PresetsTest, PresetFilesThatAreLinksAreRefused) {
    const LogCapture quiet;  // the refusals are expected: off the console
    const std::string outside = folder.File("outside.json");
    WriteFile(outside, kPreset);
    fs::create_symlink(outside, presetFile("L1"));
    fs::create_symlink(outside, presetFile("P2"));
    EXPECT_FALSE(model->StorePreset(root, with("preset name", "L1"), result));
    EXPECT_FALSE(model->RecallPreset(root, with("preset name", "L1"), result));
    EXPECT_EQ(result, "ProcessPresetParams failed");
    EXPECT_FALSE(model->AddPreset(root, with("new preset name", "P2"), result));
    EXPECT_EQ(result, "StoreAttributesToFile failed");
    EXPECT_EQ(ReadFile(outside), kPreset);
    EXPECT_TRUE(fs::is_symlink(presetFile("P2")));
    EXPECT_EQ(value("/audio/gain"), Json::Value(0));
}

TEST_F(PresetsTest, UnusablePresetFiles) {
    const LogCapture quiet;  // the parse errors are expected: off the console
    WriteFile(presetFile("bad"), "{\"parameters\": [");
    EXPECT_FALSE(model->RecallPreset(root, with("preset name", "bad"), result));
    EXPECT_EQ(result, "ProcessPresetParams failed");
    EXPECT_FALSE(model->StorePreset(root, with("preset name", "absent"), result));

    // Elements without a text value, and values the tree refuses, are skipped; the others
    // are recalled, and the recall says it is incomplete.
    WriteFile(presetFile("P1"), R"({"parameters": [
        {"path": "/audio/label", "value": ["not", "text"]},
        {"path": "/audio/eq", "value": {"low": {"deep": 1}, "high": "5"}},
        "not an element",
        {"path": ["/audio/label"], "value": "x"},
        {"path": "/audio/mute", "value": "maybe"},
        {"path": "/audio/gain", "value": "4"}]})");
    EXPECT_FALSE(model->RecallPreset(root, kScene, result));
    EXPECT_EQ(result, "recall-preset incomplete");
    EXPECT_EQ(model->valueForPath("/Presets/Scene/G1/last/.value"), Json::Value("P1"));
    EXPECT_EQ(value("/audio/label"), Json::Value("Main"));
    EXPECT_EQ(value("/audio/eq/high"), Json::Value(5));
    EXPECT_EQ(read("/audio/gain"), Json::Value(4));
    EXPECT_TRUE(model->StorePreset(root, kScene, result));
}
