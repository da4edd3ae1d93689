// The parameter model's event log across the model's life: read when a tree loads and
// written back when the model goes away (a model without tree is in the tree tests).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "storage/LogRow.h"

using Zelkor::JsonModel;
using ZelkorTest::ReadFile;
using ZelkorTest::StorageTest;

namespace {

const char* kTree = R"({"name": {".kind": "param", ".type": "string", ".value": "amp"}})";

}  // namespace

TEST_F(StorageTest, EventsSurviveTheModelInEventLog) {
    {
        auto model = Load(kTree);
        EXPECT_TRUE(model->StoreEvent(R"({"category":"net","event":"up","priority":3,"seqno":7})"));
        LOGROW row{0, 1700000000, 1, "audio", "clip"};
        EXPECT_TRUE(model->StoreEvent(row));
    }
    const std::string written = ReadFile(folder.File("event.log"));
    EXPECT_EQ(written,
              "{\"category\":\"net\",\"event\":\"up\",\"priority\":3,\"seqno\":1}\n"
              "{\"category\":\"audio\",\"event\":\"clip\",\"priority\":1,\"seqno\":2,\"time\":1700000000}\n");

    // A model built from a stream reads the log as well, and numbers go on from the largest.
    std::istringstream in(kTree);
    {
        JsonModel again(in);
        std::vector<std::string> events;
        EXPECT_TRUE(again.RetrieveEvents(-10, 0, events));
        EXPECT_EQ(events.size(), 2u);
        ASSERT_TRUE(again.StoreEvent(R"({"priority":0})"));
    }
    EXPECT_EQ(ReadFile(folder.File("event.log")), written + "{\"priority\":0,\"seqno\":3}\n");
}
