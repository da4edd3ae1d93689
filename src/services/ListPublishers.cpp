#include "services/ListPublishers.h"

#include <algorithm>
#include <utility>

#include "core/JsonText.h"
#include "storage/RequestBound.h"

namespace Zelkor {

namespace {

const char* const kCommand = "command";
// A list cut at the bound says so: without it a shortened list reads as complete.
const char* const kError = "error";
const char* const kVariant = "variant";

// Strings as they are, other scalars in their JSON text, structures in their compact
// form (asString would throw on them).
std::string textOf(const Json::Value& value) {
    return value.isArray() || value.isObject() ? WriteCompactJson(value) : value.asString();
}

// What a path holds of the bound: its formats, at least one.
std::size_t cost(const std::vector<std::string>& formats) { return std::max<std::size_t>(1, formats.size()); }

}  // namespace

ListPublishers::ListPublishers() : Message({Param::command, Param::path, Param::format, Param::error}) {}

std::unique_ptr<Message> ListPublishers::Instantiate() const { return std::make_unique<ListPublishers>(); }

std::string ListPublishers::ToNetworkFormat(bool request) const {
    Json::Value body(Json::objectValue);
    for (const auto& [path, formats] : _publishers) {
        if (path == kCommand || path == kError) {
            continue;
        }
        Json::Value& member = body[path];
        if (formats.empty()) {
            member = kVariant;
        } else if (formats.size() == 1) {
            member = formats.front();
        } else {
            member = Json::Value(Json::arrayValue);
            for (const auto& format : formats) {
                member.append(format);
            }
        }
    }
    body[kCommand] = Option;
    if (const char* error = GetParameter(Param::error)) {
        body[kError] = error;
    }
    return WriteLine(request, body);
}

bool ListPublishers::FromNetworkFormat(bool /*request*/, const std::string& line, std::string& error) {
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    if (!body.isObject()) {
        body = Json::Value(Json::objectValue);
    }
    const Json::Value& members = body;
    const Json::Value& command = members[kCommand];
    if (!command.isString() || command.asString() != Option) {
        error = "Missing list command name: publishers";
        return false;
    }
    SetParameter(Param::command, Option);
    // One bound for the whole read, whatever the setting does meanwhile.
    const std::size_t bound = MaxEntriesPerMessage();
    for (auto member = members.begin(); member != members.end(); ++member) {
        const std::string path = member.name();
        if (path == kCommand) {
            continue;
        }
        if (path == kError) {
            if (member->isString()) {
                SetParameter(Param::error, member->asCString());
            }
            continue;
        }
        const Json::Value& value = *member;
        std::vector<std::string> formats;
        if (value.isArray()) {
            // Checked before the copy: a peer's array never grows the table past the bound.
            if (value.size() > bound) {
                error = kTooManyEntries;
                return false;
            }
            formats.reserve(value.size());
            for (const auto& element : value) {
                formats.push_back(textOf(element));
            }
        } else {
            formats.push_back(value.isNull() ? std::string(kVariant) : textOf(value));
        }
        const auto found = _publishers.find(path);
        const std::size_t held = found == _publishers.end() ? 0 : cost(found->second);
        if (_entryCount - held + cost(formats) > bound) {
            error = kTooManyEntries;
            return false;
        }
        _entryCount = _entryCount - held + cost(formats);
        _publishers[path] = std::move(formats);
    }
    return true;
}

bool ListPublishers::AddPublisher(const char* path, const char* format) {
    if (!path) {
        return false;
    }
    // A path read without formats already holds its one entry.
    const auto found = _publishers.find(path);
    const std::size_t added = found != _publishers.end() && found->second.empty() ? 0 : 1;
    if (_entryCount + added > MaxEntriesPerMessage()) {
        return false;
    }
    _publishers[path].emplace_back(format && *format ? format : kVariant);
    _entryCount += added;
    return true;
}

std::unique_ptr<Message> CreateListPublishers() { return std::make_unique<ListPublishers>(); }

}  // namespace Zelkor
