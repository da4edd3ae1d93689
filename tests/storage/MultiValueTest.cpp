// Multi-value requests: what every pair of a mixed get or set receives (value, type word,
// array mark, error text, accessible mark), the recursive expansion of groups, and
// containment of a failure to its own pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "storage/ObjectParamContainer.h"
#include "storage/PathAppend.h"
#include "support/LogCapture.h"

using Zelkor::FormatValuePair;
using Zelkor::ObjectParamContainer;
using ZelkorTest::LogCapture;
using ZelkorTest::ParseJson;
using ZelkorTest::StorageTest;

namespace {

const char* kTree = R"({
    "a": {
        ".kind": "obj",
        "b": {
            ".kind": "obj",
            "c": {".kind": "param", ".type": "integer", ".min": 0, ".max": 10, ".value": 3},
            "d": {".kind": "param", ".type": "string", ".value": "x"}
        },
        "ro": {".kind": "param", ".type": "integer", ".access": "ro", ".value": 1},
        "wo": {".kind": "param", ".type": "integer", ".access": "wo", ".value": 1},
        "const": {".kind": "param", ".type": "integer", ".access": "c", ".value": 1},
        "locked": {".kind": "param", ".type": "float", ".flags": ["lock"], ".value": 2.5},
        "flag": {".kind": "param", ".type": "boolean", ".value": true},
        "whole": {".kind": "param", ".type": "float", ".value": 3.0},
        "half": {".kind": "param", ".type": "float", ".value": 3.5},
        "big": {".kind": "param", ".type": "float", ".value": 1099511627776},
        "e": {".kind": "param", ".type": "enum", ".enums": ["Off", "On"], ".value": 1,
              ".scale": [0, 1]},
        "dyn": {".kind": "param", ".type": "float", ".dynamic": true, ".min": 0, ".value": 1},
        "odd": {".kind": "param", ".enums": {"k": [1, 2]}},
        "list": ["x", "y"]
    }
})";

struct Served {
    std::string path;
    FormatValuePair pair;
};

// Every pair of a request with its full path, in the order the storage serves them.
std::vector<Served> servedPairs(const ObjectParamContainer& request) {
    std::vector<Served> out;
    for (const auto& objectPath : request.GetContainerNames()) {
        for (const auto& container : *request.GetContainers(objectPath)) {
            for (const auto& name : container.GetContainerNames()) {
                for (const auto& pair : *container.GetContainer(name)) {
                    out.push_back({Zelkor::AppendPath(objectPath, name), pair});
                }
            }
        }
    }
    return out;
}

const FormatValuePair& pairAt(const std::vector<Served>& served, const std::string& path,
                              const std::string& format) {
    for (const auto& s : served) {
        if (s.path == path && s.pair.format == format) {
            return s.pair;
        }
    }
    throw std::runtime_error("no pair for " + path + " in " + format);
}

ObjectParamContainer request(const std::string& jsonText) {
    ObjectParamContainer container;
    EXPECT_TRUE(container.FromJsonText(jsonText)) << jsonText;
    return container;
}

// What one pair must hold after the storage served it.
struct Expected {
    const char* path;
    const char* format;
    Json::Value value;  // not compared when an error is expected
    const char* type;
    const char* error;
    bool accessible;
    bool isArray;
};

void expectServed(const std::vector<Served>& served, const Expected& e) {
    SCOPED_TRACE(std::string(e.path) + " in \"" + e.format + "\"");
    const FormatValuePair& pair = pairAt(served, e.path, e.format);
    EXPECT_EQ(pair.error, e.error);
    if (std::string(e.error).empty()) {
        EXPECT_EQ(pair.value, e.value);
        EXPECT_EQ(pair.value.type(), e.value.type());
    }
    EXPECT_EQ(pair.type, e.type);
    EXPECT_EQ(pair.accessible, e.accessible);
    EXPECT_EQ(pair.isArray, e.isArray);
}

}  // namespace

TEST_F(StorageTest, MultiValueReadFillsEveryPairOfAMixedRequest) {
    auto model = Load(kTree);
    auto get = request(R"([
        {"path": "/a/b/c", "format": "variant"}, {"path": "/a/b/c", "format": "string"},
        {"path": "/a/b/c", "format": ""}, {"path": "/a/missing", "format": "variant"},
        {"path": "/a/wo", "format": "variant"}, {"path": "/a/locked", "format": "variant"},
        {"path": "/a/flag", "format": "variant"}, {"path": "/a/whole", "format": "variant"},
        {"path": "/a/half", "format": "variant"}, {"path": "/a/big", "format": "variant"},
        {"path": "/a/b/d", "format": "variant"}, {"path": "/a/b/d", "format": "norm"},
        {"path": "/a/list", "format": "variant"}, {"path": "/a/e/.enums", "format": "variant"},
        {"path": "/a/e/.scale", "format": "variant"}, {"path": "/a/odd/.enums/k", "format": "variant"},
        {"path": "/a/e", "format": "string"}])");
    model->GetObjectsParameters(get, false);
    const auto served = servedPairs(get);

    const Expected cases[] = {
        {"/a/b/c", "variant", 3, "integer", "", true, false},
        {"/a/b/c", "string", "3", "string", "", true, false},
        {"/a/b/c", "", {}, "", "Invalid Format", true, false},
        {"/a/missing", "variant", {}, "", "Invalid Path", true, false},
        // Write-only: nothing shown and nothing said.
        {"/a/wo", "variant", "", "", "", false, false},
        // Locked: the value is read but marked as not to be shown.
        {"/a/locked", "variant", 2.5, "float", "", false, false},
        {"/a/flag", "variant", true, "boolean", "", true, false},
        {"/a/whole", "variant", 3, "integer", "", true, false},
        {"/a/half", "variant", 3.5, "float", "", true, false},
        {"/a/big", "variant", Json::Int64(1099511627776LL), "float", "", true, false},
        {"/a/b/d", "variant", "x", "string", "", true, false},
        {"/a/b/d", "norm", {}, "", "Invalid Format", true, false},
        {"/a/list", "variant", ParseJson(R"(["x","y"])"), "string", "", true, true},
        {"/a/e/.enums", "variant", ParseJson(R"(["Off","On"])"), "string", "", true, true},
        // A ".scale" list and the entries below a list attribute are not marked as lists.
        {"/a/e/.scale", "variant", ParseJson("[0,1]"), "string", "", true, false},
        {"/a/odd/.enums/k", "variant", ParseJson("[1,2]"), "string", "", true, false},
        {"/a/e", "string", "On", "string", "", true, false},
    };
    for (const auto& c : cases) {
        expectServed(served, c);
    }
    EXPECT_TRUE(subscriber.reports.empty());
}

TEST_F(StorageTest, MultiValueWriteRecordsEachOutcomeAndReadsAcceptedValuesBack) {
    auto model = Load(kTree);
    auto set = request(R"([
        {"path": "/a/b/c", "format": "variant", "value": 7},
        {"path": "/a/b/d", "format": "string", "value": "y"},
        {"path": "/a/e", "format": "string", "value": "Off"},
        {"path": "/a/b/c", "format": "number", "value": 11},
        {"path": "/a/ro", "format": "variant", "value": 5},
        {"path": "/a/const", "format": "variant", "value": 5},
        {"path": "/a/locked", "format": "variant", "value": -1},
        {"path": "/a/wo", "format": "variant", "value": 5},
        {"path": "/a/dyn/.min", "format": "variant", "value": 5},
        {"path": "/a/missing", "format": "variant", "value": 5},
        {"path": "/a/whole", "format": "", "value": 5}])");
    model->SetObjectsParameters(set);
    const auto served = servedPairs(set);

    const Expected cases[] = {
        {"/a/b/c", "variant", 7, "integer", "", true, false},
        {"/a/b/d", "string", "y", "string", "", true, false},
        // Read back in the pair's own format.
        {"/a/e", "string", "Off", "string", "", true, false},
        {"/a/b/c", "number", {}, "", "Value Out Of Range/Invalid Value", true, false},
        {"/a/ro", "variant", {}, "", "Path Readonly", true, false},
        {"/a/const", "variant", {}, "", "Path Constant", true, false},
        // A locked parameter refuses the write and says so.
        {"/a/locked", "variant", {}, "", "Path Locked", false, false},
        // Write-only: stored, then not shown.
        {"/a/wo", "variant", 5, "", "", false, false},
        {"/a/dyn/.min", "variant", {}, "", "Attribute Disabled", true, false},
        {"/a/missing", "variant", {}, "", "Invalid Path", true, false},
        {"/a/whole", "", {}, "", "Invalid Format", true, false},
    };
    for (const auto& c : cases) {
        expectServed(served, c);
    }

    EXPECT_EQ(model->valueForPath("/a/b/c/.value"), Json::Value(7));
    EXPECT_EQ(model->valueForPath("/a/e/.value").asDouble(), 0.0);
    EXPECT_EQ(model->valueForPath("/a/wo/.value"), Json::Value(5));
    EXPECT_EQ(model->valueForPath("/a/locked/.value"), Json::Value(2.5));
    EXPECT_EQ(model->valueForPath("/a/ro/.value"), Json::Value(1));
    EXPECT_EQ(model->valueForPath("/a/dyn/.min"), Json::Value(0));
    std::vector<std::string> reported;
    for (const auto& report : subscriber.reports) {
        reported.push_back(report.path);
    }
    EXPECT_EQ(reported, (std::vector<std::string>{"/a/e", "/a/b/c", "/a/b/d"}));
}

TEST_F(StorageTest, MultiValueWriteNeverExpandsAWholeTreeName) {
    auto model = Load(kTree);
    ObjectParamContainer set;
    Zelkor::ContainerFormatValue entry;
    entry.AddContainer("/", Json::Value(1), "variant", false, false);
    set.AddContainers("/a", entry);
    model->SetObjectsParameters(set);
    EXPECT_EQ(servedPairs(set).at(0).pair.error, "Invalid Path");
    EXPECT_TRUE(subscriber.reports.empty());
}

TEST_F(StorageTest, RecursiveReadExpandsGroupsIntoTheirParameters) {
    auto model = Load(kTree);
    ObjectParamContainer get;
    Zelkor::ContainerFormatValue entry;
    entry.AddContainer("b", "string", 0, false);
    entry.AddContainer("flag", "variant", 0, true);
    get.AddContainers("/a", entry);

    model->GetObjectsParameters(get, true);

    // The group leaves its entry and comes back as one entry per parameter, in the group's
    // format and marked as an object; the parameter beside it is read where it was asked.
    for (const auto& container : *get.GetContainers("/a/b")) {
        EXPECT_TRUE(container.IsObject());
    }
    EXPECT_EQ(get.ToJsonText(),
              R"([{"path":"/a/flag","value":true},)"
              R"({"format":"string","path":"/a/b/c","value":"3"},)"
              R"({"format":"string","path":"/a/b/d","value":"x"}])");
}

TEST_F(StorageTest, RecursiveReadOfTheWholeTreeKeepsItsOwnEntryUnread) {
    auto model = LoadSample();
    ObjectParamContainer get;
    Zelkor::ContainerFormatValue entry;
    entry.AddContainer("/", "variant", 0, false);
    get.AddContainers("/", entry);

    model->GetObjectsParameters(get, true);
    const auto served = servedPairs(get);

    const auto everyParameter = model->GetChildren("/");
    for (const auto& s : served) {
        // Besides the parameters: the request's own entry ("/" below "/"), and the root's
        // plain text member, which stands for the root itself.
        if (s.path != "//" && s.path != "/") {
            EXPECT_NE(std::find(everyParameter.begin(), everyParameter.end(), s.path),
                      everyParameter.end())
                << s.path;
        }
    }
    EXPECT_EQ(pairAt(served, "/configuration/device/name", "variant").value, "stage-left-amp");
    EXPECT_EQ(pairAt(served, "/audio/channels/2/sends/3", "variant").value, 0.5);
    EXPECT_FALSE(pairAt(served, "/configuration/device/authenticate", "variant").accessible);
    EXPECT_FALSE(pairAt(served, "/audio/limiter", "variant").accessible);
    EXPECT_EQ(pairAt(served, "//", "variant").error, "");
}

TEST_F(StorageTest, AFailingPairGetsAnErrorAndTheOthersAreStillServed) {
    LogCapture log;
    auto model = std::make_shared<ZelkorTest::ThrowingModel>(std::string(kTree));
    model->thrower = [](const char* path) {
        if (std::string(path) == "/a/b/c") {
            throw std::runtime_error("conversion failed");
        }
    };

    auto get = request(R"([{"path": "/a/b/c"}, {"path": "/a/b/d"}, {"path": "/a/flag"}])");
    model->GetObjectsParameters(get, false);
    auto served = servedPairs(get);
    EXPECT_EQ(pairAt(served, "/a/b/c", "variant").error, "Value Out Of Range/Invalid Value");
    EXPECT_EQ(pairAt(served, "/a/b/d", "variant").value, "x");
    EXPECT_EQ(pairAt(served, "/a/flag", "variant").value, true);
    EXPECT_EQ(log.Count("ZK60A4E Multi-value request failed for /a/b/c (conversion failed)"), 1u);

    auto set = request(R"([{"path": "/a/b/c", "value": 4}, {"path": "/a/b/d", "value": "z"}])");
    model->SetObjectsParameters(set);
    served = servedPairs(set);
    EXPECT_EQ(pairAt(served, "/a/b/c", "variant").error, "Value Out Of Range/Invalid Value");
    EXPECT_EQ(pairAt(served, "/a/b/d", "variant").value, "z");
    EXPECT_EQ(model->valueForPath("/a/b/d/.value"), Json::Value("z"));
}
