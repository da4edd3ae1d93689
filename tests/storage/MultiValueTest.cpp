// Multi-value requests: what every pair of a mixed get or set receives (value, type word,
// array mark, error text, accessible mark), the recursive expansion of groups, and
// containment of a failure to its own pair.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "core/JsonText.h"
#include "storage/ObjectParamContainer.h"
#include "storage/RequestBound.h"
#include "support/LogCapture.h"

using Zelkor::ObjectParamContainer;
using ZelkorTest::StorageTest;

namespace {

const char* kTree = R"({"a": {".kind": "obj",
    "b": {".kind": "obj",
        "c": {".kind": "param", ".type": "integer", ".min": 0, ".max": 10, ".value": 3},
        "d": {".kind": "param", ".type": "string", ".value": "x"}},
    "ro": {".kind": "param", ".type": "integer", ".access": "ro", ".value": 1},
    "wo": {".kind": "param", ".type": "integer", ".access": "wo", ".value": 1},
    "locked": {".kind": "param", ".type": "float", ".flags": ["lock"], ".value": 2.5},
    "lockList": ["lock"],
    "frac": {".kind": "param", ".type": "integer", ".value": 2.7},
    "flag": {".kind": "param", ".type": "boolean", ".value": true},
    "whole": {".kind": "param", ".type": "float", ".value": 3.0},
    "big": {".kind": "param", ".type": "float", ".value": 1099511627776},
    "e": {".kind": "param", ".type": "enum", ".enums": ["Off", "On"], ".value": 1, ".scale": [0, 1]},
    "dyn": {".kind": "param", ".type": "float", ".dynamic": true, ".min": 0, ".value": 1},
    "odd": {".kind": "param", ".enums": {"k": [1, 2]}}}})";

ObjectParamContainer request(const std::string& jsonText) {
    ObjectParamContainer container;
    EXPECT_TRUE(container.FromJsonText(jsonText)) << jsonText;
    return container;
}

// What each pair holds, in the order the storage serves them: the value and its type word
// or the error text, then "hidden" for a pair not to be shown and "list" for an array.
std::vector<std::string> outcomes(const ObjectParamContainer& served) {
    std::vector<std::string> out;
    for (const auto& objectPath : served.GetContainerNames()) {
        for (const auto& container : *served.GetContainers(objectPath)) {
            for (const auto& name : container.GetContainerNames()) {
                for (const auto& pair : *container.GetContainer(name)) {
                    std::string text =
                        pair.error.empty() ? Zelkor::WriteCompactJson(pair.value) : "error " + pair.error;
                    text += (pair.type.empty() ? "" : " " + pair.type) + (pair.accessible ? "" : " hidden") +
                            (pair.isArray ? " list" : "");
                    out.push_back(text);
                }
            }
        }
    }
    return out;
}

}  // namespace

TEST_F(StorageTest, MultiValueReadFillsEveryPairOfAMixedRequest) {
    auto model = Load(kTree);
    auto get = request(R"([
        {"path": "/a/flag"}, {"path": "/a/whole"}, {"path": "/a/big"},
        {"path": "/a/missing"}, {"path": "/a/wo"}, {"path": "/a/locked"}, {"path": "/a/lockList"},
        {"path": "/a/frac"},
        {"path": "/a/b/c", "format": "variant"}, {"path": "/a/b/c", "format": "string"},
        {"path": "/a/b/c", "format": ""},
        {"path": "/a/e/.enums"}, {"path": "/a/e/.scale"}, {"path": "/a/odd/.enums/k"}])");
    model->GetObjectsParameters(get, false);
    EXPECT_EQ(outcomes(get), (std::vector<std::string>{
                                 "true boolean", "3 integer", "1099511627776 float",
                                 "error Invalid Path",
                                 // Write-only: nothing shown and nothing said.
                                 "\"\" hidden",
                                 // Locked, by its flags or as a list of flag words: read, but
                                 // marked as not to be shown.
                                 "2.5 float hidden", "[\"lock\"] string hidden list",
                                 // An integer reads as one, whatever fraction it was given.
                                 "3 integer",
                                 "3 integer", "\"3\" string", "error Invalid Format",
                                 // A ".scale" list and entries below a list attribute are no lists.
                                 "[\"Off\",\"On\"] string list", "[0,1] string", "[1,2] string"}));
    EXPECT_TRUE(subscriber.reports.empty());
}

// A name with a NUL inside is read as far as the NUL goes; the marks its pair gets come
// from that same parameter, so a locked one is not shown.
TEST_F(StorageTest, MultiValueReadMarksThePairOfTheParameterItRead) {
    auto model = Load(kTree);
    ObjectParamContainer get;
    Zelkor::ContainerFormatValue names;
    names.AddContainer(std::string("locked\0x", 8), nullptr, 0, true);
    names.AddContainer(std::string("lockList\0", 9), nullptr, 0, true);
    get.AddContainers("/a", names);
    model->GetObjectsParameters(get, false);
    EXPECT_EQ(outcomes(get), (std::vector<std::string>{"[\"lock\"] string hidden list", "2.5 float hidden"}));
}

TEST_F(StorageTest, MultiValueWriteRecordsEachOutcomeAndReadsAcceptedValuesBack) {
    auto model = Load(kTree);
    auto set = request(R"([{"path": "/", "value": 1}, {"path": "", "value": 1},
        {"path": "/a/e", "format": "string", "value": "Off"},
        {"path": "/a/ro", "value": 5}, {"path": "/a/locked", "value": -1}, {"path": "/a/wo", "value": 5},
        {"path": "/a/b/c", "value": 7}, {"path": "/a/b/d", "format": "number", "value": 11},
        {"path": "/a/dyn/.min", "value": 5}])");
    model->SetObjectsParameters(set);
    EXPECT_EQ(outcomes(set), (std::vector<std::string>{
                                 // The whole tree is no value to write, however named.
                                 "error Invalid Path", "error Invalid Path",
                                 // Read back in the pair's own format.
                                 "\"Off\" string", "error Path Readonly",
                                 // A locked parameter refuses the write and says so.
                                 "error Path Locked hidden",
                                 // Write-only: stored, then not shown.
                                 "5 hidden",
                                 "7 integer", "11 integer", "error Attribute Disabled"}));
    EXPECT_EQ(model->valueForPath("/a/wo/.value"), Json::Value(5));
    EXPECT_EQ(model->valueForPath("/a/locked/.value"), Json::Value(2.5));
    EXPECT_FALSE(model->GetRoot().isMember(".value"));
    EXPECT_EQ(subscriber.reports,
              (std::vector<std::string>{"/a/e 0.0\n enum", "/a/b/c 7\n integer", "/a/b/d 11\n string"}));
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

// A get serves at most its bound of pairs, however its names expand: a name that would
// expand past it, and every pair after the bound, are answered "Too many entries" (logged
// once). A parameter that an earlier name already brought in is not brought in again.
TEST_F(StorageTest, MultiValueGetIsBounded) {
    const ZelkorTest::LogCapture log;
    auto model = Load(kTree);
    std::string repeated = "[";
    for (int i = 0; i < 200; ++i) {
        repeated += R"({"path": "/"}, {"path": "/a"}, )";
    }
    auto whole = request(repeated + R"({"path": "/a/b"}])");
    model->GetObjectsParameters(whole, true);
    // Each parameter once, beside the 200 whole-tree entries, which keep their places.
    EXPECT_EQ(whole.ToJson().size(), 200 + model->GetDescriptorForPath("/", 1).size());

    // The bound is the process's one setting: given back for the tests after this one.
    struct Bound {
        ~Bound() { Zelkor::SetMaxEntriesPerMessage(Zelkor::kDefaultMaxEntriesPerMessage); }
    } restore;
    Zelkor::SetMaxEntriesPerMessage(2);
    auto get = request(R"([{"path": "/a/b/c"}, {"path": "/a/b/d"}, {"path": "/a/flag"}, {"path": "/a"}])");
    model->GetObjectsParameters(get, true);
    EXPECT_EQ(get.ToJsonText(), R"([{"error":"Too many entries","path":"/a"},{"path":"/a/flag","value":true},)"
                                R"({"path":"/a/b/c","value":3},{"error":"Too many entries","path":"/a/b/d"}])");
    EXPECT_EQ(log.Count("ZK60A5W"), 1u);
}

TEST_F(StorageTest, AFailingPairGetsAnErrorAndTheOthersAreStillServed) {
    const ZelkorTest::LogCapture quiet;  // the error is expected: off the console
    auto model = std::make_shared<ZelkorTest::ThrowingModel>(std::string(kTree));
    model->thrower = [](const char* path) {
        if (std::string(path) == "/a/b/c") {
            throw std::runtime_error("conversion failed");
        }
    };
    auto get = request(R"([{"path": "/a/b/c"}, {"path": "/a/b/d"}])");
    model->GetObjectsParameters(get, false);
    EXPECT_EQ(outcomes(get), (std::vector<std::string>{"error Value Out Of Range/Invalid Value", "\"x\" string"}));

    auto set = request(R"([{"path": "/a/b/c", "value": 4}, {"path": "/a/b/d", "value": "z"}])");
    model->SetObjectsParameters(set);
    EXPECT_EQ(outcomes(set), (std::vector<std::string>{"error Value Out Of Range/Invalid Value", "\"z\" string"}));
    EXPECT_EQ(model->valueForPath("/a/b/d/.value"), Json::Value("z"));
}
