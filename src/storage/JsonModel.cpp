#include "storage/JsonModel.h"

#include <exception>
#include <iterator>
#include <memory>
#include <ostream>

#include <json/writer.h>

#include "core/JsonText.h"
#include "storage/PresetsImpl.h"

namespace Zelkor {

JsonModel::JsonModel(const std::string& jsonText) : ZelkorLoggable("JMOD") {
    load(jsonText, "ZK6000E JsonModel error");
}

JsonModel::JsonModel(std::istream& in) : ZelkorLoggable("JMOD") {
    load(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
         "ZK6001E JsonModel error");
}

JsonModel::~JsonModel() {
    // The event log is written here; nothing may escape a destructor.
    try {
        StoreEvents();
    } catch (const std::exception& error) {
        Error("ZK6003 Output event log file not opened", error.what());
    }
}

void JsonModel::load(const std::string& text, const char* errorText) {
    std::string errors;
    Json::Value tree;
    if (ReadJson(text, tree, errors) != JsonReadResult::ok) {
        Error(errorText, errors);
        return;
    }
    _tree.swap(tree);
    CreateJsonTree(_tree);
    _presets = std::make_shared<PresetsImpl>(_tree, this);
    LoadEvents();
}

std::ostream& JsonModel::Stream(std::ostream& out) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "    ";
    const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
    writer->write(_tree, &out);
    out << std::endl;
    return out;
}

void JsonModel::SetStorageEventHandler(ISubscriptionService* handler) {
    _subscriptionService = handler;
}

std::string JsonModel::GetStatusString(STATUS status) { return StatusText(status); }

bool JsonModel::GetAttributesForPath(const char* path, Json::Value& attributes) {
    if (path == nullptr) {
        return false;
    }
    const Json::Value* node = findNode(path);
    attributes = node ? *node : Json::Value();
    return attributes.isObject() && !attributes.empty();
}

void JsonModel::AddObjectToPath(const char* parentPath, const char* name, std::string& jsonText) {
    if (parentPath == nullptr || name == nullptr) {
        return;
    }
    Json::Value member;
    std::string errors;
    if (ReadJson(jsonText, member, errors) != JsonReadResult::ok) {
        return;
    }
    Json::Value* parent = findNode(parentPath);
    if (parent == nullptr || !parent->isObject()) {
        return;
    }
    (*parent)[name] = std::move(member);
}

// --- Presets ---

namespace {

// A model whose tree did not load has no preset store to forward to.
bool noPresetStore(const ZelkorLoggable& log, std::string& result) {
    log.Error("ZK60A3E No preset store: the parameter tree did not load");
    result = "ProcessPresetParams failed";
    return false;
}

}  // namespace

bool JsonModel::StorePreset(const std::string& root,
                            const std::map<std::string, std::string>& arguments,
                            std::string& result) {
    return _presets ? _presets->StorePreset(root, arguments, result) : noPresetStore(*this, result);
}

bool JsonModel::RecallPreset(const std::string& root,
                             const std::map<std::string, std::string>& arguments,
                             std::string& result) {
    return _presets ? _presets->RecallPreset(root, arguments, result) : noPresetStore(*this, result);
}

bool JsonModel::AddPreset(const std::string& root,
                          const std::map<std::string, std::string>& arguments,
                          std::string& result) {
    return _presets ? _presets->AddPreset(root, arguments, result) : noPresetStore(*this, result);
}

void JsonModel::notifyPresetStore(const char* path, const std::string& format) {
    if (_presets) {
        _presets->ValueChanged(path, format.c_str());
    }
}

// --- Event log ---

bool JsonModel::LoadEvents() { return _events.Load(); }

bool JsonModel::StoreEvents() {
    // The log is read when the tree loads (and the preset store is made); a model without
    // a tree never read it and must not replace it.
    if (!_presets) {
        Warning("ZK60A0W Event log not written: the parameter tree did not load",
                _events.FilePath().string());
        return false;
    }
    return _events.Save();
}

bool JsonModel::StoreEvent(const std::string& eventJson) { return _events.StoreEvent(eventJson); }

bool JsonModel::StoreEvent(LOGROW& row) { return _events.StoreEvent(row); }

bool JsonModel::RetrieveEvents(long long from, unsigned minimumPriority,
                               std::vector<std::string>& out) {
    return _events.RetrieveEvents(from, minimumPriority, out);
}

bool JsonModel::RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                                   std::vector<std::string>& out) {
    return _events.RetrieveEventsUpTo(from, minimumPriority, maxBytes, out);
}

}  // namespace Zelkor
