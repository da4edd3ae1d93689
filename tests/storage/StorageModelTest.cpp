// The storage facade: answers without storage, forwarding, exceptions kept from its
// callers, and ownership of the wrapped storage, which must never be deleted twice.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "StorageTestSupport.h"
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
    "tags": ["front", "upper"]
})";

}  // namespace

TEST(StorageModel, WithoutStorageEveryOperationAnswersNoStorage) {
    const LogCapture quiet;  // every operation says "No storage"
    StorageModel facade(static_cast<IStorage*>(nullptr));
    std::string text = "kept";
    std::vector<std::string> events;
    Zelkor::ObjectParamContainer request;
    request.FromJsonText(R"({"path":"/name"})");

    EXPECT_EQ(facade.GetValueForPath("/name", "variant", text), IStorage::InvalidAccess);
    EXPECT_EQ(facade.SetValueForPath("/name", "variant", Json::Value("x"), true), IStorage::InvalidAccess);
    EXPECT_FALSE(facade.RecallPreset("/p", {}, text));
    EXPECT_FALSE(facade.RetrieveEvents(-1, 0, events));
    EXPECT_EQ(facade.GetDescriptorForPath("/", 1), std::vector<std::string>{""});
    facade.GetObjectsParameters(request, true);
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(request.ToJsonText(), R"([{"path":"/name","value":""}])");
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
    EXPECT_EQ(facade->SetValueForPath("/name", "string", "rack", false), IStorage::PathOk);
    EXPECT_EQ(subscriber.reports.size(), 2u);
    EXPECT_FALSE(subscriber.storageGone);

    // A list has no text form: the facade's own conversion refuses it.
    std::string text = "kept";
    EXPECT_EQ(facade->GetValueForPath("/tags", "variant", text), IStorage::ValueOutOfRange);
    EXPECT_EQ(text, "kept");

    // The last owner takes the model with it.
    const std::weak_ptr<IStorage> watch = facade->GetStorage();
    facade.reset();
    EXPECT_TRUE(watch.expired());
}

// A facade given a storage already shared joins its ownership: none deletes it behind its
// owner's back. What the storage throws from reads, writes and listings is kept from the
// facade's caller.
TEST_F(StorageTest, FacadeJoinsASharedStorageAndKeepsItsExceptionsFromItsCaller) {
    const LogCapture quiet;  // the errors are expected: off the console
    auto model = std::make_shared<ZelkorTest::ThrowingModel>(std::string(kTree));
    {
        StorageModel byPointer(model.get());
        EXPECT_EQ(byPointer.GetStorage(), model);
        StorageModel facade(model);
        EXPECT_EQ(model.use_count(), 3);
        model->thrower = [](const char*) { throw std::out_of_range("below a plain value"); };
        std::string text;
        EXPECT_EQ(facade.GetValueForPath("/gain", "variant", text), IStorage::ValueOutOfRange);
        EXPECT_EQ(facade.SetValueForPath("/gain", "variant", "1", true), IStorage::ValueOutOfRange);
        EXPECT_TRUE(facade.GetDescriptorForPath("/", 1).empty());
        model->thrower = [](const char*) { throw 42; };
        EXPECT_EQ(byPointer.SetValueForPath("/gain", "variant", Json::Value(1), true), IStorage::ValueOutOfRange);
        model->thrower = [](const char*) {};
    }
    EXPECT_EQ(model.use_count(), 1);
    EXPECT_EQ(model->SetValueForPath("/gain", "variant", Json::Value(1), true), IStorage::PathOk);
}
