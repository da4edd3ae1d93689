#include "storage/JsonModel.h"

#include <exception>
#include <memory>
#include <ostream>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

namespace Zelkor {

JsonModel::JsonModel(const std::string& jsonText) : ZelkorLoggable("JMOD") {
    std::istringstream in(jsonText);
    load(in, "ZK6000E JsonModel error");
}

JsonModel::JsonModel(std::istream& in) : ZelkorLoggable("JMOD") {
    load(in, "ZK6001E JsonModel error");
}

JsonModel::~JsonModel() {
    // The event log is written here; nothing may escape a destructor.
    try {
        StoreEvents();
    } catch (const std::exception& error) {
        Error("ZK6003 Output event log file not opened", error.what());
    }
}

namespace {

// Parses JSON text with the reader's default settings. The reader throws instead of
// failing for some inputs (nesting beyond its stack limit); both come back as false.
bool parseJson(std::istream& in, Json::Value& value, std::string& errors) {
    Json::CharReaderBuilder builder;
    try {
        return Json::parseFromStream(builder, in, &value, &errors);
    } catch (const Json::Exception& error) {
        errors = error.what();
        return false;
    }
}

}  // namespace

void JsonModel::load(std::istream& in, const char* errorText) {
    std::string errors;
    if (!parseJson(in, _tree, errors)) {
        _tree = Json::Value();
        Error(errorText, errors);
        return;
    }
    CreateJsonTree(_tree);
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
    std::istringstream in(jsonText);
    Json::Value member;
    std::string errors;
    if (!parseJson(in, member, errors)) {
        return;
    }
    Json::Value* parent = findNode(parentPath);
    if (parent == nullptr || !parent->isObject()) {
        return;
    }
    (*parent)[name] = std::move(member);
}

}  // namespace Zelkor
