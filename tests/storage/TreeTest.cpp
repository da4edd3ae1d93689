// The tree itself: loading (with the event log read and written beside it), array
// expansion, path lookup, kinds and flags, listings, attribute copies, added members and
// streaming.
#include <sstream>

#include <gtest/gtest.h>

#include "StorageTestSupport.h"
#include "storage/LogRow.h"
#include "support/LogCapture.h"

using Zelkor::IStorage;
using Zelkor::JsonModel;
using ZelkorTest::LogCapture;
using ZelkorTest::ParseJson;
using ZelkorTest::ReadFile;
using ZelkorTest::Read;
using ZelkorTest::StorageTest;
using ZelkorTest::WriteFile;

TEST_F(StorageTest, ArrayExpansionFromPrototype) {
    struct Case {
        const char* name;
        const char* array;  // the members of "/a" besides ".kind" and ".prototype"
        std::vector<std::string> elements;
        const char* keptElement;  // an element that must keep its own "x", or null
    };
    const Case cases[] = {
        {"three from prototype", R"(".size": 3)", {"1", "2", "3"}, nullptr},
        {"static keeps existing", R"(".size": 3, ".static": true, "2": {"x": 7})", {"1", "2", "3"}, "2"},
        {"non-static replaces", R"(".size": 3, ".static": false, "2": {"x": 7})", {"1", "2", "3"}, nullptr},
        {"size zero", R"(".size": 0)", {}, nullptr},
        {"negative size", R"(".size": -4)", {}, nullptr},
        {"beyond size kept", R"(".size": 2, "5": {"x": 7})", {"1", "2", "5"}, "5"},
        {"size as text", R"(".size": "2")", {"1", "2"}, nullptr},
        {"fractional size", R"(".size": 2.9)", {"1", "2"}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = Load(std::string(R"({"a": {".kind": "array", ".prototype": {"x": 1}, )") +
                          c.array + "}}");
        const Json::Value& array = model->valueForPath("/a");
        std::vector<std::string> elements;
        for (const auto& name : array.getMemberNames()) {
            if (name[0] != '.') {
                elements.push_back(name);
            }
        }
        EXPECT_EQ(elements, c.elements);
        for (const auto& element : elements) {
            const int expected = c.keptElement && element == c.keptElement ? 7 : 1;
            EXPECT_EQ(array[element]["x"].asInt(), expected) << element;
        }
    }
}

TEST_F(StorageTest, NestedArraysExpandInEveryElementButNotInThePrototype) {
    auto model = LoadSample();
    EXPECT_EQ(model->valueForPath("/audio/channels/2/sends/3/.value").asDouble(), 0.5);
    EXPECT_FALSE(model->valueForPath("/audio/channels/1/sends/3").isNull());
    EXPECT_TRUE(model->valueForPath("/audio/channels/.prototype/sends/1").isNull());
    // The static routes array keeps the route written in the file and adds the second.
    EXPECT_EQ(model->valueForPath("/configuration/network/routes/1/port/.value").asInt(), 4198);
    EXPECT_EQ(model->valueForPath("/configuration/network/routes/2/port/.value").asInt(), 4197);
}

TEST_F(StorageTest, ArrayWithoutUsableSizeIsReportedAndLeftAlone) {
    for (const char* size : {"", R"(".size": {"n": 2}, )", R"(".size": 1e300, )"}) {
        SCOPED_TRACE(size);
        LogCapture log;
        auto model = Load(std::string(R"({"a": {".kind": "array", )") + size +
                          R"(".prototype": {"x": 1}}, "b": {".kind": "param", ".value": 3}})");
        EXPECT_EQ(log.Count("ZK6004W Missing .prototype or .size member"), 1u);
        EXPECT_TRUE(model->valueForPath("/a/1").isNull());
        EXPECT_EQ(Read(*model, "/b", "number"), std::make_pair(0, Json::Value(3)));
    }
}

TEST_F(StorageTest, PathSyntax) {
    auto model = LoadSample();
    struct Case {
        const char* path;
        bool found;
    };
    const Case cases[] = {
        {"/configuration/device/name", true},
        {"configuration/device/name", true},
        {"/configuration//device///name", true},
        {"///configuration/device/name", true},
        {"/configuration/device/name/", false},
        {"//configuration/device/name", false},  // a network root name
        {"//net", false},
        {"/Configuration/device/name", false},
        {"/configuration/network/routes/2/port", true},
        {"/configuration/network/routes/.size", true},
        {"/configuration/device/name/.max", true},
        {"/rack/tags/0", false},  // JSON arrays are not indexed
        // Below plain values: a miss, never an exception.
        {"/location/x", false},
        {"/configuration/device/name/.value/x", false},
        {"/rack/slot/deeper/still", false},
        {"/audio/mode/.enums/1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(!model->valueForPath(c.path).isNull(), c.found);
        Json::Value value;
        std::string text;
        if (!c.found) {
            EXPECT_EQ(model->GetValueForPath(c.path, "variant", value), IStorage::InvalidPath);
            EXPECT_EQ(model->GetValueForPath(c.path, "variant", text), IStorage::InvalidPath);
            EXPECT_EQ(model->SetValueForPath(c.path, "variant", Json::Value(1), false),
                      IStorage::InvalidPath);
            EXPECT_EQ(model->VerifyPath(c.path, "variant"), IStorage::InvalidPath);
            EXPECT_FALSE(model->GetAttributesForPath(c.path, value));
            EXPECT_TRUE(model->GetDescriptorForPath(c.path, 1).empty());
        }
    }
    EXPECT_TRUE(model->valueForPath("").isObject());
    EXPECT_TRUE(model->valueForPath("/").isObject());
    Json::Value untouched(7);
    EXPECT_EQ(model->GetValueForPath(nullptr, "variant", untouched), IStorage::InvalidPath);
    EXPECT_EQ(untouched, Json::Value(7));
}

TEST_F(StorageTest, KindsAndFlags) {
    auto model = LoadSample();
    EXPECT_EQ(JsonModel::getKind(Json::Value(5)), JsonModel::KindNone);
    EXPECT_EQ(JsonModel::getKind(Json::Value("text")), JsonModel::KindString);
    EXPECT_EQ(JsonModel::getKind(ParseJson(R"({"x": 1})")), JsonModel::KindNone);
    EXPECT_EQ(JsonModel::getKind(ParseJson(R"({".kind": ["obj"]})")), JsonModel::KindNone);
    EXPECT_EQ(JsonModel::getKind(model->valueForPath("/audio")), JsonModel::KindObject);
    EXPECT_EQ(JsonModel::getKind(model->valueForPath("/audio/gain")), JsonModel::KindParam);
    EXPECT_EQ(JsonModel::getKind(model->valueForPath("/audio/channels")), JsonModel::KindArray);

    LogCapture log;
    EXPECT_EQ(model->GetFlagInt(ParseJson(R"({".flags": ["lock", "nsub", "sparkle"]})")), 0x201u);
    EXPECT_EQ(log.Count("ZK6005E .flags: unknown flag:"), 1u);
    EXPECT_EQ(model->GetFlagInt(ParseJson(R"(["poll", "met"])")), 0x440u);
    // Entries of the wrong type are unknown words; a ".flags" that is no list has none.
    EXPECT_EQ(model->GetFlagInt(ParseJson(R"({".flags": [{"a": 1}, 3, "dis"]})")), 0x80u);
    EXPECT_EQ(model->GetFlagInt(ParseJson(R"({".flags": "lock"})")), 0u);
    EXPECT_TRUE(model->isNoSub(model->valueForPath("/audio/level")));
    EXPECT_FALSE(model->isNoSub(model->valueForPath("/audio/mute")));
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
    EXPECT_EQ(model->GetChildren("/n"),
              (std::vector<std::string>{"/n/g/c", "/n/g/d", "/n/p", "/n"}));
    EXPECT_EQ(model->GetDescriptorForPath("/n", 1), model->GetChildren("/n"));
    EXPECT_EQ(model->GetDescriptorForPath("/n", 0), (std::vector<std::string>{"/n/g", "/n/p"}));
    EXPECT_EQ(model->GetDescriptorForPath("/n/", 0), std::vector<std::string>{});
    EXPECT_EQ(model->GetChildren("/n/p"), std::vector<std::string>{});
    EXPECT_TRUE(model->GetDescriptorForPath(nullptr, 1).empty());

    auto sample = LoadSample();
    const auto routes = sample->GetDescriptorForPath("/configuration/network/routes", 1);
    EXPECT_EQ(routes, (std::vector<std::string>{
                          "/configuration/network/routes/1/address",
                          "/configuration/network/routes/1/port",
                          "/configuration/network/routes/2/address",
                          "/configuration/network/routes/2/port",
                      }));
}

TEST_F(StorageTest, AttributeCopies) {
    auto model = LoadSample();
    Json::Value attributes;
    EXPECT_TRUE(model->GetAttributesForPath("/audio/mode", attributes));
    EXPECT_EQ(attributes[".enums"][2].asString(), "Auto");
    EXPECT_FALSE(model->GetAttributesForPath("/location", attributes));
    EXPECT_EQ(attributes, Json::Value("Hall B"));
    EXPECT_FALSE(model->GetAttributesForPath("/nowhere", attributes));
    EXPECT_TRUE(attributes.isNull());
    attributes = 42;
    EXPECT_FALSE(model->GetAttributesForPath(nullptr, attributes));
    EXPECT_EQ(attributes, Json::Value(42));
}

TEST_F(StorageTest, AddObjectToPath) {
    auto model = LoadSample();
    std::string member = R"({".kind": "array", ".size": 2, ".prototype": {"v": 1}})";
    model->AddObjectToPath("/rack", "fans", member);
    EXPECT_EQ(model->valueForPath("/rack/fans/.size").asInt(), 2);
    EXPECT_TRUE(model->valueForPath("/rack/fans/1").isNull()) << "added members are not expanded";
    std::string replacement = "17";
    model->AddObjectToPath("/rack", "fans", replacement);
    EXPECT_EQ(model->valueForPath("/rack/fans"), Json::Value(17));

    const Json::Value before = model->GetRoot();
    std::string broken = R"({"open": )";
    std::string deep = std::string(5000, '[') + std::string(5000, ']');
    model->AddObjectToPath("/rack", "deep", deep);
    std::string good = R"({"x": 1})";
    model->AddObjectToPath("/rack", "broken", broken);
    model->AddObjectToPath("/nowhere", "x", good);
    model->AddObjectToPath("/location", "x", good);
    model->AddObjectToPath("/location/deeper", "x", good);
    model->AddObjectToPath(nullptr, "x", good);
    model->AddObjectToPath("/rack", nullptr, good);
    EXPECT_EQ(model->GetRoot(), before);
    // The shared miss value was not written into.
    EXPECT_TRUE(model->valueForPath("/nowhere").isNull());
    EXPECT_TRUE(model->valueForPath("/nowhere/x").isNull());
}

TEST_F(StorageTest, StreamWritesIndentedJsonThatLoadsAgain) {
    auto model = LoadSample();
    std::ostringstream out;
    EXPECT_EQ(&model->Stream(out), &out);
    const std::string text = out.str();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("\n    \"Presets\""), std::string::npos);
    EXPECT_NE(text.find("\n        \".kind\""), std::string::npos);
    auto again = Load(text);
    EXPECT_EQ(again->GetRoot(), model->GetRoot());
}

// The model reads its event log when a tree loads and writes it back when it goes away.
TEST_F(StorageTest, EventsSurviveTheModelInEventLog) {
    const char* tree = R"({"name": {".kind": "param", ".type": "string", ".value": "amp"}})";
    {
        auto model = Load(tree);
        EXPECT_TRUE(model->StoreEvent(R"({"category":"net","event":"up","priority":3,"seqno":7})"));
        LOGROW row{0, 1700000000, 1, "audio", "clip"};
        EXPECT_TRUE(model->StoreEvent(row));
    }
    const std::string written = ReadFile(folder.File("event.log"));
    EXPECT_EQ(written,
              "{\"category\":\"net\",\"event\":\"up\",\"priority\":3,\"seqno\":1}\n"
              "{\"category\":\"audio\",\"event\":\"clip\",\"priority\":1,\"seqno\":2,\"time\":1700000000}\n");

    // A model built from a stream reads the log as well, and numbers go on from the largest.
    std::istringstream in(tree);
    {
        JsonModel again(in);
        std::vector<std::string> events;
        EXPECT_TRUE(again.RetrieveEvents(-10, 0, events));
        EXPECT_EQ(events.size(), 2u);
        ASSERT_TRUE(again.StoreEvent(R"({"priority":0})"));
    }
    EXPECT_EQ(ReadFile(folder.File("event.log")), written + "{\"priority\":0,\"seqno\":3}\n");
}

// Text that does not parse, or nests too deep, leaves a model without tree: every lookup
// misses, nothing is added, presets are refused, and the event log is neither read nor
// replaced.
TEST_F(StorageTest, UnparsableTextLeavesAModelWithoutTree) {
    LogCapture log;
    const std::string kept = "{\"priority\":1,\"seqno\":4}\n";
    WriteFile(folder.File("event.log"), kept);
    {
        auto fromText = Load(R"({"a": )");
        EXPECT_EQ(log.Count("JMOD ZK6000E JsonModel error ("), 1u);
        std::istringstream in("not json");
        JsonModel fromStream(in);
        EXPECT_EQ(log.Count("JMOD ZK6001E JsonModel error ("), 1u);
        auto tooDeep = Load(std::string(5000, '[') + std::string(5000, ']'));
        EXPECT_EQ(log.Count("JMOD ZK6000E JsonModel error ("), 2u);
        for (JsonModel* model : {fromText.get(), &fromStream, tooDeep.get()}) {
            std::string text = "untouched";
            EXPECT_EQ(model->GetValueForPath("/a", "variant", text), IStorage::NoTree);
            EXPECT_EQ(text, "untouched");
            EXPECT_EQ(Read(*model, "/a", "variant").first, IStorage::InvalidPath);
            EXPECT_EQ(model->SetValueForPath("/a", "variant", Json::Value(1), false),
                      IStorage::InvalidPath);
            std::string member = "{}";
            model->AddObjectToPath("/", "a", member);
            EXPECT_TRUE(model->GetRoot().isNull());
            EXPECT_FALSE(model->RecallPreset(folder.Path().string(),
                                             {{"preset name", "P"}, {"preset type", "T"}}, text));
            EXPECT_EQ(text, "ProcessPresetParams failed");
            std::vector<std::string> events;
            EXPECT_TRUE(model->RetrieveEvents(-10, 0, events));
            EXPECT_TRUE(events.empty());
            EXPECT_TRUE(model->StoreEvent(R"({"priority":1})"));
            EXPECT_FALSE(model->StoreEvents());
        }
        EXPECT_EQ(log.Count("JMOD ZK60A3E No preset store: the parameter tree did not load"), 3u);
    }
    EXPECT_EQ(ReadFile(folder.File("event.log")), kept);
    // Refused once by the explicit call and once at destruction, for each model.
    EXPECT_EQ(log.Count("JMOD ZK60A0W Event log not written: the parameter tree did not load"), 6u);
}

TEST_F(StorageTest, StatusTexts) {
    auto model = LoadSample();
    const char* texts[] = {"Path OK", "Path Readonly", "Path Writeonly", "Invalid Path", "Invalid Format",
                           "Invalid Format syntax", "Value Out Of Range/Invalid Value", "Path Locked",
                           "Path Disabled", "Path Constant", "Path Read/Write", "Invalid Access",
                           "Path No Subscribe", "Attribute Disabled"};
    for (int i = 0; i < 14; ++i) {
        EXPECT_EQ(model->GetStatusString(static_cast<IStorage::STATUS>(i)), texts[i]);
    }
    for (int outside : {-1, 14, 15, 1000}) {
        EXPECT_EQ(model->GetStatusString(static_cast<IStorage::STATUS>(outside)), "");
    }
}
