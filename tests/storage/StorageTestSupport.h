#pragma once
// Helpers shared by the storage tests: the sample tree, a model owned as the driver owns
// it, and a subscription service that records what the tree reports.

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include "core/IServiceBaseImpl.h"
#include "services/ISubscriptionService.h"
#include "storage/JsonModel.h"
#include "support/TempDir.h"

namespace ZelkorTest {

inline std::string SampleTreeText() {
    return ReadFile(std::string(ZELKOR_SOURCE_DIR) + "/examples/device-tree.json");
}

// One report of a value change, as the subscription service received it.
struct Report {
    std::string path;
    std::string format;
    std::string value;
    std::string type;  // empty for attribute reports
    bool attribute = false;
    bool storageAlive = false;
};

class RecordingSubscriber : public Zelkor::IServiceBaseImpl<Zelkor::ISubscriptionService> {
public:
    void ValueChanged(const char* path, const char* format, const char* value, const char* type,
                      bool, std::weak_ptr<Zelkor::IStorage> storage) override {
        reports.push_back({path, format, value, type, false, !storage.expired()});
    }
    void ValueChanged(const char* path, const char* format, const char* value, bool,
                      std::weak_ptr<Zelkor::IStorage> storage) override {
        reports.push_back({path, format, value, "", true, !storage.expired()});
    }
    std::vector<Report> reports;
};

// A model whose reads, writes and listings first call `thrower` with the path, so that a
// test can make them fail the hard way; they serve as usual when it returns.
class ThrowingModel : public Zelkor::JsonModel {
public:
    using JsonModel::JsonModel;

    STATUS GetValueForPath(const char* path, const char* format, std::string& value) override {
        return JsonModel::GetValueForPath(path, format, value);
    }
    STATUS GetValueForPath(const char* path, const char* format, Json::Value& value) override {
        thrower(path);
        return JsonModel::GetValueForPath(path, format, value);
    }
    STATUS SetValueForPath(const char* path, const char* format, Json::Value value,
                           bool enforce) override {
        thrower(path);
        return JsonModel::SetValueForPath(path, format, std::move(value), enforce);
    }
    STATUS SetValueForPath(const char* path, const char* format, const char* value,
                           bool enforce) override {
        thrower(path);
        return JsonModel::SetValueForPath(path, format, value, enforce);
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
    std::shared_ptr<Zelkor::JsonModel> LoadSample() { return Load(SampleTreeText()); }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    RecordingSubscriber subscriber;
};

inline Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::istringstream in(text);
    Json::CharReaderBuilder builder;
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors;
    return value;
}

// Reads a path into a fresh null value; the status and the answer.
inline std::pair<int, Json::Value> Read(Zelkor::IStorage& storage, const char* path,
                                        const char* format) {
    Json::Value value;
    const int status = storage.GetValueForPath(path, format, value);
    return {status, value};
}

}  // namespace ZelkorTest
