// The example tree of docs/parameter-tree.md: it loads, holds what a node must hold, and
// behaves as the page says it does.
#include <gtest/gtest.h>

#include "StorageTestSupport.h"

using Zelkor::IStorage;
using ZelkorTest::Read;
using ZelkorTest::ReadFile;
using ZelkorTest::StorageTest;

namespace {

const std::string kExampleTree = std::string(ZELKOR_SOURCE_DIR) + "/docs/example-tree.json";

}  // namespace

TEST_F(StorageTest, ExampleTreeHoldsWhatANodeNeeds) {
    auto model = Load(ReadFile(kExampleTree));
    ASSERT_TRUE(model->GetRoot().isObject());
    for (const char* path : {"/configuration/device/name", "/configuration/device/classname",
                             "/configuration/device/guid", "/configuration/device/protocolversion",
                             "/configuration/network/rules/security/allowparentpaths", "/version"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Read(*model, path, "variant").first, IStorage::PathOk);
    }
    EXPECT_EQ(Read(*model, "/lamp/zones/.size", "variant").second, Json::Value(2));
    EXPECT_EQ(Read(*model, "/lamp/zones/2/level", "variant").second, Json::Value(128));
}

TEST_F(StorageTest, ExampleTreeAnswersPeersAsDocumented) {
    auto model = Load(ReadFile(kExampleTree));
    struct Case {
        const char* path;
        Json::Value value;
        int status;  // of a peer's write
    };
    const Case cases[] = {
        {"/lamp/power", "on", IStorage::PathOk},
        {"/lamp/steps", "11", IStorage::ValueOutOfRange},
        {"/lamp/temperature", "20", IStorage::PathReadonly},
        {"/lamp/limit", "50", IStorage::PathLocked},
        {"/lamp/calibration", "1", IStorage::PathConstant},
        {"/lamp/pin", "1234", IStorage::PathOk},
        {"/lamp/fade/.max", "20", IStorage::AttributeDisabled},
        {"/lamp/curve", "not base64", IStorage::ValueOutOfRange},
        // The enum's ".max" keeps a number past its list out of it.
        {"/lamp/colour", 7, IStorage::PathOk},
        {"/configuration/network/rules/security/allowparentpaths", true, IStorage::PathReadonly},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(model->SetValueForPath(c.path, "variant", c.value, true), c.status);
    }
    EXPECT_EQ(Read(*model, "/lamp/colour", "string").second, Json::Value("cold"));
    EXPECT_EQ(Read(*model, "/lamp/pin", "variant").first, IStorage::PathWriteonly);
    EXPECT_EQ(model->VerifyPath("/lamp/temperature", "variant"), IStorage::PathNoSubscribe);
    // The application may rewrite the attributes of the dynamic parameter only.
    EXPECT_EQ(model->SetValueForPath("/lamp/fade/.max", "variant", Json::Value(20), false), IStorage::PathOk);
    EXPECT_EQ(model->SetValueForPath("/lamp/steps/.max", "variant", Json::Value(20), false),
              IStorage::AttributeDisabled);
    // What is read-only to peers the application still writes.
    EXPECT_EQ(model->SetValueForPath("/configuration/network/rules/security/allowparentpaths", "variant",
                                     Json::Value(true), false),
              IStorage::PathOk);
}
