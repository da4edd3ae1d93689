#pragma once
// Helpers shared by the storage tests: the sample tree, a model owned as the driver owns
// it, and a subscription service that records what the tree reports.

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include "core/IServiceBaseImpl.h"
#include "core/JsonText.h"
#include "services/ISubscriptionService.h"
#include "storage/JsonModel.h"
#include "support/SampleTree.h"
#include "support/SubscriptionServiceStub.h"
#include "support/TempDir.h"

namespace ZelkorTest {

// Records each report of a value change as "path value kind": the value text as sent (a
// line of JSON) and the kind, the type word or "attribute"; and whether the storage had
// gone by then.
class RecordingSubscriber : public SubscriptionServiceStub {
public:
    using SubscriptionServiceStub::ValueChanged;
    void ValueChanged(const char* path, const char*, const char* value, const char* type, bool,
                      std::weak_ptr<Zelkor::IStorage> storage) override {
        Record(path, value, type, storage);
    }
    void ValueChanged(const char* path, const char*, const char* value, bool,
                      std::weak_ptr<Zelkor::IStorage> storage) override {
        Record(path, value, "attribute", storage);
    }
    void RemoveSubscription(void*) override {}
    std::vector<std::string> reports;
    bool storageGone = false;

private:
    void Record(const char* path, const char* value, const char* kind, const std::weak_ptr<Zelkor::IStorage>& storage) {
        reports.push_back(std::string(path) + " " + value + " " + kind);
        storageGone = storageGone || storage.expired();
    }
};

// A model whose JSON reads and writes (which the text forms go through) and listings first
// call `thrower` with the path, so that a test can make them fail the hard way; they serve
// as usual when it returns.
class ThrowingModel : public Zelkor::JsonModel {
public:
    using JsonModel::GetValueForPath;
    using JsonModel::JsonModel;
    using JsonModel::SetValueForPath;

    STATUS GetValueForPath(const char* path, const char* format, Json::Value& value) override {
        thrower(path);
        return JsonModel::GetValueForPath(path, format, value);
    }
    STATUS SetValueForPath(const char* path, const char* format, Json::Value value,
                           bool enforce) override {
        thrower(path);
        return JsonModel::SetValueForPath(path, format, std::move(value), enforce);
    }
    std::vector<std::string> GetDescriptorForPath(const char* path, unsigned recursive) override {
        thrower(path);
        return JsonModel::GetDescriptorForPath(path, recursive);
    }

    std::function<void(const char* path)> thrower = [](const char*) {};
};

// Every test runs in its own temporary working folder, since the model may write its
// event log next to itself.
class StorageTest : public ::testing::Test {
protected:
    std::shared_ptr<Zelkor::JsonModel> Load(const std::string& text) {
        auto model = std::make_shared<Zelkor::JsonModel>(text);
        model->SetStorageEventHandler(&subscriber);
        return model;
    }
    std::shared_ptr<Zelkor::JsonModel> LoadSample() {
        return Load(SampleTree());
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    RecordingSubscriber subscriber;
};

inline Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::string errors;
    EXPECT_EQ(Zelkor::ReadJson(text, value, errors), Zelkor::JsonReadResult::ok) << errors;
    return value;
}

// The names of the files and folders below a folder, at any depth, in order.
inline std::vector<std::string> FilesBelow(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        names.push_back(entry.path().lexically_relative(folder).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Reads a path into a fresh null value; the status and the answer.
inline std::pair<int, Json::Value> Read(Zelkor::IStorage& storage, const char* path,
                                        const char* format) {
    Json::Value value;
    const int status = storage.GetValueForPath(path, format, value);
    return {status, value};
}

}  // namespace ZelkorTest
