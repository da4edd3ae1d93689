#include "filetransfer/FileSystemMessages.h"

#include <limits>

#include "filetransfer/BlockSize.h"
#include "storage/RequestBound.h"

namespace Zelkor {

namespace {

const char* const kFilesKey = "files";

// A listing entry's values, in the order the entry holds them.
const Param kEntryParams[] = {Param::name, Param::size, Param::creationdate, Param::modifieddate,
                              Param::checksum, Param::readonly, Param::version};

bool nonEmpty(const char* text) { return text && *text; }

// A count read from a peer: only a non-negative integer counts; a negative one is absent.
bool readCount(const Json::Value& member, std::uint64_t& out) {
    if (member.isUInt64()) {
        out = member.asUInt64();
        return true;
    }
    return false;
}

void takeString(const Json::Value& object, ListFiles& entry, Param p) {
    const Json::Value& member = object[Message::GetStringFromParam(p)];
    if (member.isString()) {
        entry.SetParameter(p, member.asCString());
    }
}

void takeCount(const Json::Value& object, ListFiles& entry, Param p) {
    std::uint64_t value = 0;
    if (readCount(object[Message::GetStringFromParam(p)], value)) {
        entry.SetParameter(p, std::to_string(value).c_str());
    }
}

}  // namespace

// --- deletefile ----------------------------------------------------------------------------

DelFile::DelFile() : Message({Param::path, Param::error}) {}

std::unique_ptr<Message> DelFile::Instantiate() const { return std::make_unique<DelFile>(); }

std::string DelFile::ToNetworkFormat(bool request) const {
    const char* path = GetParameter(Param::path);
    if (request && !path) {
        return std::string();
    }
    Json::Value body(Json::objectValue);
    if (path) {
        putString(body, Param::path, path);
    }
    if (const char* error = GetParameter(Param::error)) {
        putString(body, Param::error, error);
    }
    return WriteLine(request, body);
}

bool DelFile::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    std::string text;
    // The path is kept whole, NUL bytes included: cut at one, it would name another file
    // than the one the path guard is shown.
    if (body.isObject() && GetJsonString(body, Param::path, text) && !text.empty()) {
        SetJsonParameter(Param::path, Json::Value(text));
    } else if (request) {
        error = "Path is required";
        return false;
    }
    if (body.isObject() && GetJsonString(body, Param::error, text)) {
        SetParameter(Param::error, text.c_str());
    }
    return true;
}

// --- listfiles -----------------------------------------------------------------------------

ListFiles::ListFiles()
    : Message({Param::path, Param::name, Param::size, Param::creationdate, Param::modifieddate, Param::checksum,
               Param::readonly, Param::version, Param::error}) {}

ListFiles::ListFiles(const ListFiles& other) : ZelkorLoggable(other), Message(other) {
    _entries.reserve(other._entries.size());
    for (const auto& entry : other._entries) {
        _entries.push_back(std::make_unique<ListFiles>(*entry));
    }
}

ListFiles& ListFiles::operator=(const ListFiles& other) {
    if (this != &other) {
        ListFiles copy(other);
        Message::operator=(copy);
        _entries = std::move(copy._entries);
    }
    return *this;
}

ListFiles::~ListFiles() = default;

std::unique_ptr<Message> ListFiles::Instantiate() const { return std::make_unique<ListFiles>(); }

void ListFiles::AddListFiles(const ListFiles& entry) {
    auto copy = std::make_unique<ListFiles>();
    for (const Param p : kEntryParams) {
        copy->SetParameter(p, entry.GetParameter(p));
    }
    _entries.push_back(std::move(copy));
}

std::string ListFiles::ToNetworkFormat(bool request) const {
    const char* path = GetParameter(Param::path);
    Json::Value body(Json::objectValue);
    if (request) {
        if (!path) {
            return std::string();
        }
        putString(body, Param::path, path);
        return WriteLine(request, body);
    }
    if (path) {
        putString(body, Param::path, path);
    }
    const char* error = GetParameter(Param::error);
    if (!nonEmpty(error) && _entries.size() > MaxEntriesPerMessage()) {
        error = kTooManyEntries;
    }
    if (nonEmpty(error)) {
        putString(body, Param::error, error);
        return WriteLine(request, body);
    }
    Json::Value& files = body[kFilesKey] = Json::Value(Json::arrayValue);
    for (const auto& entry : _entries) {
        Json::Value object(Json::objectValue);
        SetJsonString(object, Param::name, entry->GetParameter(Param::name));
        SetJsonNumber(object, Param::size, entry->GetParameter(Param::size));
        SetJsonNumber(object, Param::creationdate, entry->GetParameter(Param::creationdate));
        SetJsonNumber(object, Param::modifieddate, entry->GetParameter(Param::modifieddate));
        SetJsonString(object, Param::checksum, entry->GetParameter(Param::checksum));
        SetJsonString(object, Param::version, entry->GetParameter(Param::version));
        SetJsonBool(object, Param::readonly, entry->GetParameter(Param::readonly));
        files.append(std::move(object));
    }
    return WriteLine(request, body);
}

bool ListFiles::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    Json::Value body;
    std::string parseError;
    if (!ReadBody(line, body, parseError) || !body.isObject()) {
        error = "Unparseable JSON";
        return false;
    }
    std::string text;
    if (GetJsonString(body, Param::path, text)) {
        SetJsonParameter(Param::path, Json::Value(text));
    } else if (request) {
        error = "Path is required";
        return false;
    }
    if (GetJsonString(body, Param::error, text)) {
        SetParameter(Param::error, text.c_str());
    }
    const Json::Value& files = body[kFilesKey];
    if (!files.isArray()) {
        return true;
    }
    // A listing past the bound is refused whole: part of a folder would pass for all of it.
    std::size_t objects = 0;
    for (const auto& member : files) {
        objects += member.isObject() ? 1 : 0;
    }
    if (objects > MaxEntriesPerMessage()) {
        _entries.clear();
        SetParameter(Param::error, kTooManyEntries);
        return true;
    }
    _entries.reserve(objects);
    for (const auto& member : files) {
        if (!member.isObject()) {
            continue;
        }
        auto entry = std::make_unique<ListFiles>();
        takeString(member, *entry, Param::name);
        takeCount(member, *entry, Param::size);
        takeCount(member, *entry, Param::creationdate);
        takeCount(member, *entry, Param::modifieddate);
        takeString(member, *entry, Param::checksum);
        takeString(member, *entry, Param::version);
        const Json::Value& readonly = member[GetStringFromParam(Param::readonly)];
        if (readonly.isBool()) {
            entry->SetParameter(Param::readonly, readonly.asBool() ? "1" : "0");
        }
        _entries.push_back(std::move(entry));
    }
    return true;
}

void ListFiles::GetListFilesInfo(std::vector<ListFilesItem>& items) const {
    const auto number = [](const char* text) {
        std::uint64_t value = 0;
        ReadUnsigned(text, value);
        return value;
    };
    for (const auto& entry : _entries) {
        ListFilesItem item;
        if (const char* name = entry->GetParameter(Param::name)) {
            item.name = name;
        }
        if (const char* version = entry->GetParameter(Param::version)) {
            item.version = version;
        }
        if (const char* size = entry->GetParameter(Param::size)) {
            item.size = number(size);
        }
        if (const char* checksum = entry->GetParameter(Param::checksum)) {
            item.checksum = checksum;
        }
        if (const char* created = entry->GetParameter(Param::creationdate)) {
            item.creationdate = number(created);
        }
        if (const char* modified = entry->GetParameter(Param::modifieddate)) {
            item.modifieddate = number(modified);
        }
        if (const char* readonly = entry->GetParameter(Param::readonly)) {
            item.readonly = number(readonly) != 0;
        }
        items.push_back(std::move(item));
    }
}

// --- the base-form words -------------------------------------------------------------------

FreeSpace::FreeSpace() : Message({Param::path, Param::size, Param::error}) {}
std::unique_ptr<Message> FreeSpace::Instantiate() const { return std::make_unique<FreeSpace>(); }

MKDIR::MKDIR() : Message({Param::path, Param::error}) {}
std::unique_ptr<Message> MKDIR::Instantiate() const { return std::make_unique<MKDIR>(); }

RMDIR::RMDIR() : Message({Param::path, Param::error}) {}
std::unique_ptr<Message> RMDIR::Instantiate() const { return std::make_unique<RMDIR>(); }

FirmwareUpdateMode::FirmwareUpdateMode() : Message({Param::arguments, Param::error}) {}
std::unique_ptr<Message> FirmwareUpdateMode::Instantiate() const { return std::make_unique<FirmwareUpdateMode>(); }

std::unique_ptr<Message> CreateDelFile() { return std::make_unique<DelFile>(); }
std::unique_ptr<Message> CreateListFiles() { return std::make_unique<ListFiles>(); }
std::unique_ptr<Message> CreateFreeSpace() { return std::make_unique<FreeSpace>(); }
std::unique_ptr<Message> CreateMKDIR() { return std::make_unique<MKDIR>(); }
std::unique_ptr<Message> CreateRMDIR() { return std::make_unique<RMDIR>(); }
std::unique_ptr<Message> CreateFirmwareUpdateMode() { return std::make_unique<FirmwareUpdateMode>(); }

// --- JSON accessors --------------------------------------------------------------------------

void SetJsonString(Json::Value& object, Param p, const char* text) {
    Json::Value& member = object[Message::GetStringFromParam(p)];
    member = text ? Json::Value(text) : Json::Value(Json::nullValue);
}

void SetJsonNumber(Json::Value& object, Param p, const char* text) {
    Json::Value& member = object[Message::GetStringFromParam(p)];
    if (!text) {
        member = Json::Value(Json::nullValue);
        return;
    }
    std::uint64_t value = 0;
    if (!ReadUnsigned(text, value)) {
        value = 0;
    }
    member = Json::Value(static_cast<Json::UInt64>(value));
}

void SetJsonBool(Json::Value& object, Param p, const char* text) {
    Json::Value& member = object[Message::GetStringFromParam(p)];
    member = text ? Json::Value(Message::stoi(text) != 0) : Json::Value(Json::nullValue);
}

bool GetJsonNumber(const Json::Value& object, Param p, std::uint64_t& out) {
    out = 0;
    if (!object.isObject()) {
        return false;
    }
    const Json::Value& member = object[Message::GetStringFromParam(p)];
    if (!member.isIntegral()) {
        return false;
    }
    out = member.isUInt64() ? member.asUInt64() : static_cast<std::uint64_t>(member.asInt64());
    return true;
}

bool GetJsonBool(const Json::Value& object, Param p, bool& out) {
    out = false;
    if (!object.isObject()) {
        return false;
    }
    const Json::Value& member = object[Message::GetStringFromParam(p)];
    if (!member.isBool()) {
        return false;
    }
    out = member.asBool();
    return true;
}

bool GetJsonString(const Json::Value& object, Param p, std::string& out) {
    out.clear();
    if (!object.isObject()) {
        return false;
    }
    const Json::Value& member = object[Message::GetStringFromParam(p)];
    if (!member.isString()) {
        return false;
    }
    out = member.asString();
    return true;
}

}  // namespace Zelkor
