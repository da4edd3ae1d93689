// The tree itself: loading (with the event log read and written beside it), array
// expansion, path lookup, listings and added members.
#include <sstream>

#include <gtest/gtest.h>

#include "StorageTestSupport.h"
#include "storage/LogRow.h"
#include "storage/PathAppend.h"
#include "storage/StoragePath.h"
#include "support/LogCapture.h"

using Zelkor::IStorage;
using Zelkor::JsonModel;
using ZelkorTest::LogCapture;
using ZelkorTest::ReadFile;
using ZelkorTest::Read;
using ZelkorTest::StorageTest;
using ZelkorTest::WriteFile;

TEST_F(StorageTest, ArrayExpansionFromPrototype) {
    struct Case {
        const char* array;  // the members of "/a" besides ".kind" and ".prototype"
        std::vector<std::string> elements;
        const char* keptElement;  // an element that must keep its own "x", or null
    };
    const Case cases[] = {
        {R"(".size": 3, ".static": true, "2": {"x": 7})", {"1", "2", "3"}, "2"},
        {R"(".size": 2, ".static": false, "2": {"x": 7}, "5": {"x": 7})", {"1", "2", "5"}, "5"},
        // A size that is no count leaves the array as written.
        {R"(".size": {"n": 2})", {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.array);
        auto model = Load(std::string(R"({"a": {".kind": "array", ".prototype": {"x": 1}, )") +
                          c.array + "}}");
        const Json::Value& array = model->valueForPath("/a");
        std::vector<std::string> elements;
        for (const auto& name : array.getMemberNames()) {
            if (name[0] != '.') {
                elements.push_back(name);
                EXPECT_EQ(array[name]["x"].asInt(), c.keptElement && name == c.keptElement ? 7 : 1);
            }
        }
        EXPECT_EQ(elements, c.elements);
    }
    // Arrays nested in the prototype expand in every element, not in the prototype. An
    // array without ".static" gets it, as null.
    auto sample = LoadSample();
    EXPECT_EQ(sample->valueForPath("/audio/channels/2/sends/3/.value").asDouble(), 0.5);
    EXPECT_TRUE(sample->valueForPath("/audio/channels/.prototype/sends/1").isNull());
    EXPECT_TRUE(sample->valueForPath("/audio/channels").isMember(".static"));
    EXPECT_TRUE(sample->valueForPath("/audio/channels/.static").isNull());
}

TEST_F(StorageTest, PathSyntax) {
    auto model = LoadSample();
    const std::pair<const char*, bool> cases[] = {
        {"configuration//device///name", true},
        {"/configuration/device/name/", false},
        {"//configuration/device/name", false},  // a network root name
        {"/rack/tags/0", false},  // JSON arrays are not indexed
        // Below plain values: a miss, never an exception.
        {"/location/x", false},
        {"/audio/mode/.enums/1", false},
    };
    for (const auto& [path, found] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(!model->valueForPath(path).isNull(), found);
        if (!found) {
            Json::Value value;
            EXPECT_EQ(model->GetValueForPath(path, "variant", value), IStorage::InvalidPath);
            EXPECT_EQ(model->SetValueForPath(path, "variant", Json::Value(1), false), IStorage::InvalidPath);
            EXPECT_FALSE(model->GetAttributesForPath(path, value));
            EXPECT_TRUE(model->GetDescriptorForPath(path, 1).empty());
        }
    }
    Json::Value untouched(7);
    EXPECT_EQ(model->GetValueForPath(nullptr, "variant", untouched), IStorage::InvalidPath);
    EXPECT_EQ(untouched, Json::Value(7));
}

// A full path taken apart into object path and name, and joined again, names what it named,
// by the same rules as every lookup; the object path keeps the text it was given.
TEST_F(StorageTest, ParameterPathsSplitByThePathRules) {
    auto model = LoadSample();
    struct Case {
        const char* path;
        const char* objectPath;
        const char* name;
    };
    const Case cases[] = {
        {"/audio/gain", "/audio", "gain"},      {"/location", "/", "location"},
        {"/audio//gain", "/audio", "gain"},     {"audio/gain", "audio", "gain"},
        {"location", "location", ""},           {"///location", "/", "location"},
        {"/", "", "/"},
        // Paths that name nothing still do.
        {"/audio/gain/", "/audio/gain", "."},   {"//audio", "//audio", ""},
        {"//audio/gain", "//audio", "gain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto [objectPath, name] = Zelkor::SplitParameterPath(c.path);
        EXPECT_EQ(objectPath, c.objectPath);
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(&model->valueForPath(Zelkor::AppendPath(objectPath, name)), &model->valueForPath(c.path));
    }
}

TEST_F(StorageTest, ChildrenListings) {
    auto model = Load(R"({"n": {".kind": "obj",
        "p": {".kind": "param"},
        "g": {".kind": "obj", "c": {".kind": "param"}, "d": {".kind": "param"}},
        "s": "plain",
        "": {".kind": "param"},
        "a/b": {".kind": "param"},
        "z": 5}})");
    // Members that no path reaches (an empty name, a name holding "/") are not listed.
    EXPECT_EQ(model->GetDescriptorForPath("/n", 1),
              (std::vector<std::string>{"/n/g/c", "/n/g/d", "/n/p", "/n"}));
    EXPECT_EQ(model->GetDescriptorForPath("/n", 0), (std::vector<std::string>{"/n/g", "/n/p"}));
}

TEST_F(StorageTest, AddObjectToPath) {
    auto model = LoadSample();
    std::string member = R"({".kind": "array", ".size": 2, ".prototype": {"v": 1}})";
    model->AddObjectToPath("/rack", "fans", member);
    EXPECT_TRUE(model->valueForPath("/rack/fans/.prototype/v").isInt());
    EXPECT_TRUE(model->valueForPath("/rack/fans/1").isNull()) << "added members are not expanded";

    // Text that does not parse, and parents that are missing or no object, add nothing.
    const Json::Value before = model->GetRoot();
    std::string broken = R"({"open": )";
    std::string good = R"({"x": 1})";
    model->AddObjectToPath("/rack", "broken", broken);
    model->AddObjectToPath("/nowhere", "x", good);
    model->AddObjectToPath("/location", "x", good);
    EXPECT_EQ(model->GetRoot(), before);
    // The shared miss value was not written into.
    EXPECT_TRUE(model->valueForPath("/nowhere/x").isNull());
}

// The model reads its event log when a tree loads and writes it back, whole, when it goes
// away: loaded lines as they were, numbers going on from the largest.
TEST_F(StorageTest, EventsSurviveTheModelInEventLog) {
    const std::string loaded = "{\"seqno\":41,\"priority\":2,\"zeta\":true,\"alpha\":null}\n"
                               "{ \"priority\" : 0, \"seqno\" : 3 }\n";
    WriteFile(folder.File("event.log"), loaded);
    const char* tree = R"({"name": {".kind": "param", ".type": "string", ".value": "amp"}})";
    {
        auto model = Load(tree);
        EXPECT_TRUE(model->StoreEvent(R"({"category":"net","event":"up","priority":3,"seqno":7})"));
        LOGROW row{0, 1700000000, 1, "audio", "clip"};
        EXPECT_TRUE(model->StoreEvent(row));
        EXPECT_EQ(row.seqno, 43u);
    }
    const std::string written =
        loaded + "{\"category\":\"net\",\"event\":\"up\",\"priority\":3,\"seqno\":42}\n" +
        R"({"category":"audio","event":"clip","priority":1,"seqno":43,"time":1700000000})" + "\n";
    EXPECT_EQ(ReadFile(folder.File("event.log")), written);

    // A model built from a stream reads the log as well.
    std::istringstream in(tree);
    {
        JsonModel again(in);
        ASSERT_TRUE(again.StoreEvent(R"({"priority":0})"));
    }
    EXPECT_EQ(ReadFile(folder.File("event.log")), written + "{\"priority\":0,\"seqno\":44}\n");
}

// Text that does not parse, or nests too deep, leaves a model without tree: every lookup
// misses, presets are refused, and the event log is neither read nor replaced.
TEST_F(StorageTest, UnparsableTextLeavesAModelWithoutTree) {
    const LogCapture quiet;  // the parse errors are expected: off the console
    const std::string kept = "{\"priority\":1,\"seqno\":4}\n";
    WriteFile(folder.File("event.log"), kept);
    {
        auto fromText = Load(R"({"a": )");
        std::istringstream in("not json");
        JsonModel fromStream(in);
        auto tooDeep = Load(std::string(5000, '[') + std::string(5000, ']'));
        for (JsonModel* model : {fromText.get(), &fromStream, tooDeep.get()}) {
            std::string text = "untouched";
            EXPECT_EQ(model->GetValueForPath("/a", "variant", text), IStorage::NoTree);
            EXPECT_EQ(Read(*model, "/a", "variant").first, IStorage::InvalidPath);
            EXPECT_FALSE(model->RecallPreset(folder.Path().string(),
                                             {{"preset name", "P"}, {"preset type", "T"}}, text));
            EXPECT_EQ(text, "ProcessPresetParams failed");
            EXPECT_TRUE(model->StoreEvent(R"({"priority":1})"));
        }
    }
    EXPECT_EQ(ReadFile(folder.File("event.log")), kept);
}
