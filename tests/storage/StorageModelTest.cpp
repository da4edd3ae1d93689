// The storage facade: answers without storage, forwarding and the lines it traces,
// exceptions kept from its callers, and ownership of the wrapped storage, which must
// never be deleted twice.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "StorageTestSupport.h"
#include "core/ZelkorLog.h"
#include "storage/ObjectParamContainer.h"
#include "storage/StorageModel.h"
#include "support/LogCapture.h"

using Zelkor::IStorage;
using Zelkor::JsonModel;
using ZelkorTest::LogCapture;
using ZelkorTest::StorageTest;

namespace {

const char* kTree = R"({
    "name": {".kind": "param", ".type": "string", ".value": "amp"},
    "gain": {".kind": "param", ".type": "float", ".min": 0, ".max": 10, ".value": 5},
    "locked": {".kind": "param", ".type": "float", ".flags": ["lock"], ".value": 1},
    "tags": ["front", "upper"]
})";

}  // namespace

TEST(StorageModel, WithoutStorageEveryOperationAnswersNoStorage) {
    LogCapture log;
    ZelkorLog::TheLog().SetLevel(1);  // every "No storage" line is an error-level line
    StorageModel facade(static_cast<IStorage*>(nullptr));
    EXPECT_EQ(facade.GetStorage(), nullptr);

    std::string text = "kept";
    Json::Value value = "kept";
    std::string result = "kept";
    std::vector<std::string> events;
    std::ostringstream stream;
    std::string json = "{}";
    Zelkor::ObjectParamContainer request;
    request.FromJsonText(R"({"path":"/name"})");
    const std::string requestBefore = request.ToJsonText();

    EXPECT_EQ(&facade.Stream(stream), &stream);
    EXPECT_TRUE(stream.str().empty());
    facade.SetStorageEventHandler(nullptr);
    EXPECT_EQ(facade.GetValueForPath("/name", "variant", text), IStorage::InvalidAccess);
    EXPECT_EQ(facade.GetValueForPath("/name", "variant", value), IStorage::InvalidAccess);
    EXPECT_FALSE(facade.GetAttributesForPath("/name", value));
    EXPECT_EQ(facade.SetValueForPath("/name", "variant", Json::Value("x"), true), IStorage::InvalidAccess);
    EXPECT_EQ(facade.SetValueForPath("/name", "variant", "x", true), IStorage::InvalidAccess);
    facade.AddObjectToPath("/", "x", json);
    EXPECT_EQ(facade.GetStatusString(IStorage::PathOk), "");
    EXPECT_FALSE(facade.StorePreset("/p", {}, result));
    EXPECT_FALSE(facade.RecallPreset("/p", {}, result));
    EXPECT_FALSE(facade.AddPreset("/p", {}, result));
    facade.GetObjectsParameters(request, true);
    facade.SetObjectsParameters(request);
    EXPECT_EQ(facade.VerifyPath("/name", "variant"), IStorage::InvalidAccess);
    EXPECT_EQ(facade.GetDescriptorForPath("/", 1), std::vector<std::string>{""});
    EXPECT_FALSE(facade.StoreEvent(R"({"priority":1})"));
    EXPECT_FALSE(facade.RetrieveEvents(-1, 0, events));

    EXPECT_EQ(text, "kept");
    EXPECT_EQ(value, Json::Value("kept"));
    EXPECT_EQ(request.ToJsonText(), requestBefore);
    EXPECT_TRUE(events.empty());
    for (const char* line :
         {"ZK5201E No storage", "ZK5203E No storage", "ZK5207E No storage", "ZK5243E No storage",
          "ZK5212E No storage", "ZK5217E No storage", "ZK5220E No storage", "ZK5222I No storage",
          "ZK5224E No storage", "ZK5226I No storage", "ZK5228E No storage", "ZK5230E No storage",
          "ZK5232E No storage", "ZK5234E No storage", "ZK5239E No storage", "ZK5241E No storage"}) {
        EXPECT_TRUE(log.Contains(std::string("STOR ") + line)) << line;
    }
    // Both reads and both writes pass the same line each.
    EXPECT_EQ(log.Count("ZK5207E No storage"), 2u);
    EXPECT_EQ(log.Count("ZK5212E No storage"), 2u);
}

TEST_F(StorageTest, FacadeForwardsToTheStorageItTookOver) {
    auto owned = std::make_unique<JsonModel>(std::string(kTree));
    JsonModel* model = owned.get();
    auto facade = std::make_shared<StorageModel>(owned.release());
    ASSERT_EQ(facade->GetStorage().get(), model);
    // The model can hand out references to itself: the facade's ownership is its own.
    EXPECT_EQ(model->weak_from_this().lock().get(), model);

    facade->SetStorageEventHandler(&subscriber);
    EXPECT_EQ(facade->SetValueForPath("/gain", "variant", Json::Value(7), true), IStorage::PathOk);
    // The text write is forwarded too, under the model's own rules for text.
    EXPECT_EQ(facade->SetValueForPath("/name", "string", "rack", false), IStorage::PathOk);
    EXPECT_EQ(facade->SetValueForPath("/locked", "variant", "3", false), IStorage::PathLocked);
    ASSERT_EQ(subscriber.reports.size(), 2u);
    EXPECT_TRUE(subscriber.reports[0].storageAlive);

    std::string text;
    EXPECT_EQ(facade->GetValueForPath("/name", "variant", text), IStorage::PathOk);
    EXPECT_EQ(text, "rack");
    EXPECT_EQ(facade->GetValueForPath("/none", "variant", text), IStorage::InvalidPath);
    EXPECT_EQ(text, "rack");
    // A list has no text form: the facade's own conversion refuses it and says why.
    LogCapture log;
    EXPECT_EQ(facade->GetValueForPath("/tags", "variant", text), IStorage::ValueOutOfRange);
    EXPECT_EQ(text, "rack");
    EXPECT_EQ(log.Count("STOR ZK5205E Json::Value.asString exception ("), 1u);
    EXPECT_TRUE(facade->StoreEvent(R"({"priority":2,"event":"e"})"));
    std::vector<std::string> events;
    EXPECT_TRUE(facade->RetrieveEvents(1, 0, events));
    EXPECT_EQ(events, std::vector<std::string>{R"({"event":"e","priority":2,"seqno":1})"});

    // The last owner takes the model with it.
    const std::weak_ptr<IStorage> watch = facade->GetStorage();
    facade.reset();
    EXPECT_TRUE(watch.expired());
}

TEST_F(StorageTest, FacadeJoinsTheOwnershipOfAStorageAlreadyShared) {
    auto model = Load(kTree);
    {
        StorageModel byPointer(model.get());
        EXPECT_EQ(byPointer.GetStorage(), model);
        EXPECT_EQ(model.use_count(), 2);
        StorageModel byShare(model);
        EXPECT_EQ(byShare.GetStorage(), model);
    }
    // Still alive and usable: no facade deleted it behind its owner's back.
    EXPECT_EQ(model.use_count(), 1);
    EXPECT_EQ(model->SetValueForPath("/gain", "variant", Json::Value(1), true), IStorage::PathOk);
}

TEST_F(StorageTest, FacadeTracesAJsonReadInOrder) {
    LogCapture log;
    ZelkorLog::TheLog().SetLevel(6);
    auto model = Load(kTree);
    StorageModel facade(model);
    Json::Value value;
    ASSERT_EQ(facade.GetValueForPath("/gain", "variant", value), IStorage::PathOk);

    std::ostringstream address;
    address << "STOR ZK5244I Storage address at GetValueForPath (" << static_cast<IStorage*>(model.get())
            << ")";
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"STOR ZK5206I GetValueForPath(Json::Value) begin (/gain)",
                                                     address.str(),
                                                     "STOR ZK5210I GetValueForPath(Json::Value) end"}));
    ZelkorLog::TheLog().SetLevel(5);
    log.Clear();
    ASSERT_EQ(facade.GetValueForPath("/gain", "variant", value), IStorage::PathOk);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(StorageTest, FacadeKeepsExceptionsOfReadsWritesAndListingsFromItsCaller) {
    LogCapture log;
    auto model = std::make_shared<ZelkorTest::ThrowingModel>(std::string(kTree));
    StorageModel facade(model);
    struct Case {
        const char* label;
        std::function<void(const char*)> thrower;
        const char* readLine;
        const char* writeLine;
        const char* listLine;
    };
    const Case cases[] = {
        {"standard", [](const char*) { throw std::out_of_range("below a plain value"); },
         "STOR ZK5208E Standard exception from GetValueForPath (below a plain value)",
         "STOR ZK5213E Standard exception from SetValueForPath (below a plain value)",
         "STOR ZK5235E Standard exception from GetDescriptorForPath (below a plain value)"},
        {"other", [](const char*) { throw 42; }, "STOR ZK5209E Non-standard exception from GetValueForPath",
         "STOR ZK5214E Non-standard exception from SetValueForPath",
         "STOR ZK5236E Non-standard exception from GetDescriptorForPath"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        log.Clear();
        model->thrower = c.thrower;
        Json::Value value;
        std::string text;
        EXPECT_EQ(facade.GetValueForPath("/gain", "variant", value), IStorage::ValueOutOfRange);
        EXPECT_EQ(facade.GetValueForPath("/gain", "variant", text), IStorage::ValueOutOfRange);
        EXPECT_EQ(facade.SetValueForPath("/gain", "variant", Json::Value(1), true),
                  IStorage::ValueOutOfRange);
        EXPECT_EQ(facade.SetValueForPath("/gain", "variant", "1", true), IStorage::ValueOutOfRange);
        EXPECT_TRUE(facade.GetDescriptorForPath("/", 1).empty());
        EXPECT_EQ(log.Count(c.readLine), 2u);
        EXPECT_EQ(log.Count(c.writeLine), 2u);
        EXPECT_EQ(log.Count(c.listLine), 1u);
    }
}
