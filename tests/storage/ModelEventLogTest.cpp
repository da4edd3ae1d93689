// The parameter model's event log across the model's life: read when a tree loads,
// written back when the model goes away, and never replaced by a model without tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "storage/LogRow.h"
#include "support/LogCapture.h"

using Zelkor::JsonModel;
using ZelkorTest::ReadFile;
using ZelkorTest::StorageTest;
using ZelkorTest::WriteFile;

namespace {

const char* kTree = R"({"name": {".kind": "param", ".type": "string", ".value": "amp"}})";

std::vector<std::string> allEvents(JsonModel& model) {
    std::vector<std::string> out;
    EXPECT_TRUE(model.RetrieveEvents(-1000, 0, out));
    return out;
}

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
        EXPECT_EQ(allEvents(again).size(), 2u);
        ASSERT_TRUE(again.StoreEvent(R"({"priority":0})"));
    }
    EXPECT_EQ(ReadFile(folder.File("event.log")), written + "{\"priority\":0,\"seqno\":3}\n");
}

TEST_F(StorageTest, AModelWithoutTreeLeavesTheEventLogAlone) {
    ZelkorTest::LogCapture log;
    const std::string kept = "{\"priority\":1,\"seqno\":4}\n";
    WriteFile(folder.File("event.log"), kept);
    {
        JsonModel broken(std::string("{\"name\": "));
        EXPECT_TRUE(allEvents(broken).empty());
        EXPECT_TRUE(broken.StoreEvent(R"({"priority":1})"));
        EXPECT_FALSE(broken.StoreEvents());
    }
    EXPECT_EQ(ReadFile(folder.File("event.log")), kept);
    EXPECT_TRUE(log.Contains("JMOD ZK6000E JsonModel error"));
}
