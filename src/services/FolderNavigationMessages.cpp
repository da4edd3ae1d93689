#include "services/FolderNavigationMessages.h"

#include <sstream>
#include <utility>

#include <boost/filesystem/path.hpp>

#include "core/JsonText.h"
#include "storage/RequestBound.h"

namespace Zelkor {

namespace {

const char* const kPath = "path";
const char* const kValue = "value";
const char* const kFormat = "format";
const char* const kError = "error";

// A JSON member as text: none for null, a string as it is, anything else in its compact
// form (asString would throw on an array or object from a peer).
bool textOf(const Json::Value& value, std::string& text) {
    if (value.isNull()) {
        return false;
    }
    text = value.isArray() || value.isObject() ? WriteCompactJson(value) : value.asString();
    return true;
}

const char* orNull(bool present, const std::string& text) { return present ? text.c_str() : nullptr; }

// The parent path and the last element, as the file-system path type splits them.
void splitPath(const std::string& path, std::string& key, std::string& name) {
    const boost::filesystem::path whole(path);
    key = whole.parent_path().string();
    name = whole.filename().string();
}

// A reply keeps its body as it came: the text the receive road parsed, else the text
// after the word of the line (read a second time only off the receive road).
std::string bodyText(const Message& message, const MessageForwardInfo* received, const std::string& line) {
    if (received) {
        return std::string(received->JsonText());
    }
    MessageForwardInfo header(message.GetMessageForwardInfo());
    header.PullHeader(line);
    return std::string(header.JsonText());
}

// The writer the three classes share (see FolderListing::ToNetworkFormat).
std::string writeLine(const Message& message, bool request, const std::string& replyText) {
    std::string error;
    if (request || message.GetIsError(error)) {
        return message.Message::ToNetworkFormat(request);
    }
    std::ostringstream out;
    MessageForwardInfo header(message.GetMessageForwardInfo());
    if (!header.PutHeader(out, false, message.CommandName())) {
        return std::string();
    }
    out << replyText;
    return out.str();
}

}  // namespace

FolderListing::FolderListing() : Message({Param::path, Param::value, Param::error}) {}

std::string FolderListing::ToNetworkFormat(bool request) const { return writeLine(*this, request, _replyText); }

bool FolderListing::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    // The received text survives the read, which only takes the parsed body.
    const MessageForwardInfo* received = ReceivedHeader(line);
    if (!ReadBody(line, body, error)) {
        return false;
    }
    _replyText = bodyText(*this, received, line);
    if (body.isArray()) {
        for (const auto& element : body) {
            if (!element.isObject()) {
                error = "Array must contain objects";
                return false;
            }
            if (!readObject(element, error)) {
                return false;
            }
        }
        return true;
    }
    if (!readObject(body, error)) {
        return false;
    }
    const Json::Value& path = std::as_const(body)[kPath];
    SetJsonParameter(Param::path, Json::Value(path.isString() ? path.asString() : std::string("/")));
    if (keepsOwnError() && !error.empty()) {
        SetJsonParameter(Param::error, Json::Value(error));
    }
    return true;
}

bool FolderListing::readObject(const Json::Value& object, std::string& error) {
    if (!object.isObject()) {
        error = "Objects must contain a path or error";
        return false;
    }
    const Json::Value& path = object[kPath];
    const Json::Value& entryError = object[kError];
    std::string pathText;
    std::string key;
    std::string name;
    if (path.isString()) {
        pathText = path.asString();
        const std::string full = !pathText.empty() && pathText.front() == '/' ? pathText : "/" + pathText;
        if (full == "/") {
            name = "/";
        } else {
            splitPath(full, key, name);
        }
    } else if (entryError.isString()) {
        error = entryError.asString();
    } else {
        error = "Objects must contain a path or error";
        return false;
    }
    const Json::Value& value = object[kValue];
    const Json::Value& format = object[kFormat];
    if (!value.isObject()) {
        if (!AddValue(pathText.c_str(), key.c_str(), name.c_str(), value, format, entryError, false,
                      !value.isNull())) {
            error = kTooManyEntries;
            return false;
        }
        return true;
    }
    // A value object names its entries by member; a member that is itself an object has
    // no value of its own to list.
    for (auto member = value.begin(); member != value.end(); ++member) {
        if (member->isObject()) {
            continue;
        }
        if (!AddValue(pathText.c_str(), pathText.c_str(), member.name().c_str(), *member, format, entryError, false,
                      true)) {
            error = kTooManyEntries;
            return false;
        }
    }
    return true;
}

bool FolderListing::AddValue(const char* path, const char* key, const char* name, const Json::Value& value,
                             const Json::Value& format, const Json::Value& error, bool isflags, bool hasValue) {
    std::string formatText;
    std::string errorText;
    const bool hasFormat = textOf(format, formatText);
    const bool hasError = textOf(error, errorText);
    return AddValue(path, key, name, value, orNull(hasFormat, formatText), nullptr, orNull(hasError, errorText),
                    isflags, hasValue);
}

bool FolderListing::AddValue(const char* path, const char* key, const char* /*name*/, const Json::Value& value,
                             const char* /*format*/, const char* /*type*/, const char* error, bool /*isflags*/,
                             bool /*hasValue*/) {
    if (_entryCount >= MaxEntriesPerMessage()) {
        return false;
    }
    std::unique_ptr<FolderListing> entry = newEntry();
    entry->SetJsonParameter(Param::path, Json::Value(path ? path : ""));
    entry->SetJsonParameter(Param::value, value);
    if (error && *error) {
        entry->SetJsonParameter(Param::error, Json::Value(error));
    }
    _entries[key ? key : ""].push_back(std::move(entry));
    ++_entryCount;
    return true;
}

bool FolderListing::AddValue(const char* path, const char* value, const char* format, const char* error,
                             bool isflags) {
    return AddValue(path, value, format, "string", error, isflags);
}

bool FolderListing::AddValue(const char* path, const char* value, const char* format, const char* type,
                             const char* error, bool isflags) {
    const std::string pathText = path ? path : "";
    std::string key = "/";
    std::string name;
    if (pathText != "/") {
        splitPath(pathText, key, name);
    }
    const Json::Value json = value ? Json::Value(value) : Json::Value();
    return AddValue(pathText.c_str(), key.c_str(), name.c_str(), json, format, type, error, isflags, value != nullptr);
}

std::unique_ptr<Message> ListFolder::Instantiate() const { return std::make_unique<ListFolder>(); }
std::unique_ptr<FolderListing> ListFolder::newEntry() const { return std::make_unique<ListFolder>(); }

std::unique_ptr<Message> RecurseFolder::Instantiate() const { return std::make_unique<RecurseFolder>(); }
std::unique_ptr<FolderListing> RecurseFolder::newEntry() const { return std::make_unique<RecurseFolder>(); }

NavigateFolder::NavigateFolder() : Message({Param::path, Param::error}) {}

std::unique_ptr<Message> NavigateFolder::Instantiate() const { return std::make_unique<NavigateFolder>(); }

std::string NavigateFolder::ToNetworkFormat(bool request) const { return writeLine(*this, request, _replyText); }

bool NavigateFolder::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    // The received text survives the read, which only takes the parsed body.
    const MessageForwardInfo* received = ReceivedHeader(line);
    if (!ReadBody(line, body, error)) {
        return false;
    }
    _replyText = bodyText(*this, received, line);
    if (!body.isObject()) {
        return true;
    }
    const std::pair<Param, const char*> members[] = {{Param::path, kPath}, {Param::error, kError}};
    for (const auto& [param, member] : members) {
        const Json::Value& text = std::as_const(body)[member];
        if (text.isString() && !text.asString().empty()) {
            SetJsonParameter(param, text);
        }
    }
    return true;
}

bool NavigateFolder::SetParams(NavigateFolderInfo& info) {
    if (!info.error.empty()) {
        SetJsonParameter(Param::error, Json::Value(info.error));
    }
    return SetJsonParameter(Param::path, Json::Value(info.path));
}

}  // namespace Zelkor
