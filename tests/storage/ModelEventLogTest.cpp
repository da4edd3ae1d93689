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
        EXPECT_FALSE(model->LoadEvents());  // a first start has no file
        EXPECT_TRUE(model->StoreEvent(R"({"category":"net","event":"up","priority":3,"seqno":7})"));
        LOGROW row;
        row.time = 1700000000;
        row.priority = 1;
        row.category = "audio";
        row.event = "clip";
        EXPECT_TRUE(model->StoreEvent(row));
        EXPECT_EQ(row.seqno, 2u);
        EXPECT_FALSE(model->StoreEvent("not json"));
    }
    const std::string written = ReadFile(folder.File("event.log"));
    EXPECT_EQ(written,
              "{\"category\":\"net\",\"event\":\"up\",\"priority\":3,\"seqno\":1}\n"
              "{\"category\":\"audio\",\"event\":\"clip\",\"priority\":1,\"seqno\":2,\"time\":1700000000}\n");

    auto again = Load(kTree);
    EXPECT_EQ(allEvents(*again).size(), 2u);
    std::vector<std::string> important;
    EXPECT_TRUE(again->RetrieveEvents(1, 2, important));
    EXPECT_EQ(important, std::vector<std::string>{"{\"category\":\"net\",\"event\":\"up\",\"priority\":3,\"seqno\":1}"});
    // Numbers go on from the largest one read.
    ASSERT_TRUE(again->StoreEvent(R"({"priority":0})"));
    EXPECT_EQ(allEvents(*again).back(), R"({"priority":0,"seqno":3})");
    again.reset();
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

TEST_F(StorageTest, AModelBuiltFromAStreamReadsItsLogToo) {
    WriteFile(folder.File("event.log"), "{\"priority\":1,\"seqno\":4}\n");
    std::istringstream in(kTree);
    JsonModel model(in);
    EXPECT_EQ(allEvents(model), std::vector<std::string>{"{\"priority\":1,\"seqno\":4}"});
}
