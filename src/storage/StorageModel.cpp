#include "storage/StorageModel.h"

#include <exception>
#include <sstream>
#include <utility>

#include <json/value.h>

namespace {

constexpr unsigned long kTraceLevel = 6;

// A storage already owned by a shared pointer is shared, not adopted a second time.
std::shared_ptr<Zelkor::IStorage> shareOrAdopt(Zelkor::IStorage* storage) {
    if (storage == nullptr) {
        return nullptr;
    }
    if (auto owner = storage->weak_from_this().lock()) {
        return owner;
    }
    return std::shared_ptr<Zelkor::IStorage>(storage);
}

}  // namespace

StorageModel::StorageModel(Zelkor::IStorage* storage)
    : ZelkorLoggable("STOR"), _storage(shareOrAdopt(storage)) {}

StorageModel::StorageModel(std::shared_ptr<Zelkor::IStorage> storage)
    : ZelkorLoggable("STOR"), _storage(std::move(storage)) {}

bool StorageModel::begin(const char* beginText, const char* noStorageText) const {
    Trace(beginText);
    if (_storage) {
        return true;
    }
    Error(noStorageText);
    return false;
}

bool StorageModel::begin(const char* beginText, const char* path, const char* noStorageText) const {
    Trace(beginText, path);
    if (_storage) {
        return true;
    }
    Error(noStorageText);
    return false;
}

template <class Result, class Call>
Result StorageModel::forward(const char* beginText, const char* noStorageText, Result noStorage,
                             Call call) const {
    return begin(beginText, noStorageText) ? call() : noStorage;
}

template <class Result, class Call>
Result StorageModel::guarded(const char* standardText, const char* otherText, Result failed,
                             Call call) const {
    try {
        return call();
    } catch (const std::exception& error) {
        Error(standardText, error.what());
    } catch (...) {
        Error(otherText);
    }
    return failed;
}

std::ostream& StorageModel::Stream(std::ostream& out) {
    if (!begin("ZK5200I Stream begin", "ZK5201E No storage")) {
        return out;
    }
    return _storage->Stream(out);
}

void StorageModel::SetStorageEventHandler(Zelkor::ISubscriptionService* handler) {
    if (!begin("ZK5202I SetStorageEventHandler begin", "ZK5203E No storage")) {
        return;
    }
    _storage->SetStorageEventHandler(handler);
    Trace("ZK5204I SetStorageEventHandler end");
}

Zelkor::IStorage::STATUS StorageModel::GetValueForPath(const char* path, const char* format,
                                                       std::string& value) {
    Json::Value answer;
    const STATUS status = StorageModel::GetValueForPath(path, format, answer);
    if (status != PathOk) {
        return status;
    }
    try {
        value = answer.asString();
    } catch (const std::exception& error) {
        Error("ZK5205E Json::Value.asString exception", error.what());
        return ValueOutOfRange;
    }
    return PathOk;
}

Zelkor::IStorage::STATUS StorageModel::GetValueForPath(const char* path, const char* format,
                                                       Json::Value& value) {
    if (!begin("ZK5206I GetValueForPath(Json::Value) begin", path, "ZK5207E No storage")) {
        return InvalidAccess;
    }
    if (LogLevel() >= kTraceLevel) {
        std::ostringstream address;
        address << "ZK5244I Storage address at GetValueForPath (" << _storage.get() << ")";
        Trace(address.str());
    }
    const STATUS status = guarded("ZK5208E Standard exception from GetValueForPath",
                                  "ZK5209E Non-standard exception from GetValueForPath",
                                  ValueOutOfRange,
                                  [&] { return _storage->GetValueForPath(path, format, value); });
    Trace("ZK5210I GetValueForPath(Json::Value) end");
    return status;
}

bool StorageModel::GetAttributesForPath(const char* path, Json::Value& attributes) {
    return forward("ZK5242I GetAttributesForPath begin", "ZK5243E No storage", false,
                   [&] { return _storage->GetAttributesForPath(path, attributes); });
}

template <class Value>
Zelkor::IStorage::STATUS StorageModel::write(const char* path, const char* format, Value value,
                                             bool enforce) {
    if (!begin("ZK5211I SetValueForPath begin", path, "ZK5212E No storage")) {
        return InvalidAccess;
    }
    const STATUS status = guarded(
        "ZK5213E Standard exception from SetValueForPath",
        "ZK5214E Non-standard exception from SetValueForPath", ValueOutOfRange,
        [&] { return _storage->SetValueForPath(path, format, std::move(value), enforce); });
    Trace("ZK5215I SetValueForPath end");
    return status;
}

Zelkor::IStorage::STATUS StorageModel::SetValueForPath(const char* path, const char* format,
                                                       Json::Value value, bool enforce) {
    return write(path, format, std::move(value), enforce);
}

Zelkor::IStorage::STATUS StorageModel::SetValueForPath(const char* path, const char* format,
                                                       const char* value, bool enforce) {
    return write(path, format, value, enforce);
}

void StorageModel::AddObjectToPath(const char* parentPath, const char* name, std::string& jsonText) {
    if (!begin("ZK5216I AddObjectToPath begin", "ZK5217E No storage")) {
        return;
    }
    _storage->AddObjectToPath(parentPath, name, jsonText);
    Trace("ZK5218I AddObjectToPath end");
}

std::string StorageModel::GetStatusString(STATUS status) {
    return forward("ZK5219I GetStatusString begin", "ZK5220E No storage", std::string(),
                   [&] { return _storage->GetStatusString(status); });
}

bool StorageModel::StorePreset(const std::string& root,
                               const std::map<std::string, std::string>& arguments,
                               std::string& result) {
    return forward("ZK5221I StorePreset begin", "ZK5222I No storage", false,
                   [&] { return _storage->StorePreset(root, arguments, result); });
}

bool StorageModel::RecallPreset(const std::string& root,
                                const std::map<std::string, std::string>& arguments,
                                std::string& result) {
    return forward("ZK5223I RecallPreset begin", "ZK5224E No storage", false,
                   [&] { return _storage->RecallPreset(root, arguments, result); });
}

bool StorageModel::AddPreset(const std::string& root,
                             const std::map<std::string, std::string>& arguments,
                             std::string& result) {
    return forward("ZK5225I AddPreset begin", "ZK5226I No storage", false,
                   [&] { return _storage->AddPreset(root, arguments, result); });
}

void StorageModel::GetObjectsParameters(Zelkor::ObjectParamContainer& request, bool recursive) {
    if (begin("ZK5227I GetObjectsParameters begin", "ZK5228E No storage")) {
        _storage->GetObjectsParameters(request, recursive);
    }
}

void StorageModel::SetObjectsParameters(Zelkor::ObjectParamContainer& request) {
    if (begin("ZK5229I SetObjectsParameters begin", "ZK5230E No storage")) {
        _storage->SetObjectsParameters(request);
    }
}

Zelkor::IStorage::STATUS StorageModel::VerifyPath(const char* path, const char* format) {
    return forward("ZK5231I VerifyPath begin", "ZK5232E No storage", InvalidAccess,
                   [&] { return _storage->VerifyPath(path, format); });
}

std::vector<std::string> StorageModel::GetDescriptorForPath(const char* path, unsigned recursive) {
    if (!begin("ZK5233I GetDescriptorForPath begin", path, "ZK5234E No storage")) {
        return {std::string()};
    }
    auto paths = guarded("ZK5235E Standard exception from GetDescriptorForPath",
                         "ZK5236E Non-standard exception from GetDescriptorForPath",
                         std::vector<std::string>(),
                         [&] { return _storage->GetDescriptorForPath(path, recursive); });
    Trace("ZK5237I GetDescriptorForPath end");
    return paths;
}

bool StorageModel::StoreEvent(const std::string& eventJson) {
    return forward("ZK5238I StoreEvent begin", "ZK5239E No storage", false,
                   [&] { return _storage->StoreEvent(eventJson); });
}

bool StorageModel::RetrieveEvents(long long from, unsigned minimumPriority,
                                  std::vector<std::string>& out) {
    return forward("ZK5240I RetrieveEvents begin", "ZK5241E No storage", false,
                   [&] { return _storage->RetrieveEvents(from, minimumPriority, out); });
}

bool StorageModel::RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                                      std::vector<std::string>& out) {
    return forward("ZK5240I RetrieveEvents begin", "ZK5241E No storage", false,
                   [&] { return _storage->RetrieveEventsUpTo(from, minimumPriority, maxBytes, out); });
}
