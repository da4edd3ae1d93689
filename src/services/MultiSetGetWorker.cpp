#include "services/MultiSetGetWorker.h"

#include <set>
#include <sstream>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "core/JsonText.h"
#include "storage/PathAppend.h"
#include "storage/RequestBound.h"
#include "storage/StoragePath.h"

namespace Zelkor {

namespace {

const char* const kPath = "path";
const char* const kValue = "value";
const char* const kFormat = "format";
const char* const kError = "error";
const char* const kVariant = "variant";

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

bool isSet(const char* text) { return text && *text; }

std::string textOr(const Message& message, Param p, const char* fallback) {
    const char* text = message.GetParameter(p);
    return isSet(text) ? std::string(text) : std::string(fallback);
}

// A member name the grouped form can carry and the reader give back as the same entry.
bool isPlainName(const char* name) { return isSet(name) && std::string(name) != "/"; }

// The full path of a single-form entry. A name that already is a path under the key is
// taken as it is; otherwise key and name are joined by one "/", so the key "/" and the
// name "x" give "/x".
std::string entryPath(const std::string& key, const std::string& name) {
    if (key.empty()) {
        return name;
    }
    if (name.empty() || name == "/") {
        return key;
    }
    const bool underKey =
        name.compare(0, key.size(), key) == 0 &&
        (name.size() == key.size() || key.back() == '/' || name[key.size()] == '/');
    return underKey ? name : AppendPath(key, name);
}

}  // namespace

MultiSetGetWorker::MultiSetGetWorker(bool flag)
    : Message({Param::path, Param::name, Param::value, Param::isflags, Param::format, Param::type, Param::error,
               Param::writeonly}),
      _flag(flag) {
    SetLogModuleName("MGSW");
}

std::unique_ptr<Message> MultiSetGetWorker::Instantiate() const { return Factory(); }

bool MultiSetGetWorker::CompareStrings(const char* a, const char* b) {
    if (!a || !b) {
        return !a && !b;
    }
    return boost::algorithm::iequals(a, b);
}

bool MultiSetGetWorker::WritesValues(bool request) const {
    const std::string word = CommandName();
    if (word == "unsubscribe" || (GetIsReply() && word == "publish")) {
        return false;
    }
    return !(request && (word == "get" || word == "subscribe"));
}

bool MultiSetGetWorker::PathRequired(bool request) const {
    const std::string word = CommandName();
    return !(word == "unsubscribe" || (!request && word == "publish"));
}

bool MultiSetGetWorker::EmptyBodyAccepted(bool request) const {
    // A reply without entries is what a writer sends for an empty answer: the bare word.
    return !request || std::string(CommandName()) == "unsubscribe";
}

// ---------------------------------------------------------------------------------------
// Adding entries

bool MultiSetGetWorker::AddValue(const char* path, const char* key, const char* name, const Json::Value& value,
                                 const Json::Value& format, const Json::Value& error, bool isflags, bool hasValue) {
    std::string formatText;
    std::string errorText;
    const bool hasFormat = textOf(format, formatText);
    const bool hasError = textOf(error, errorText);
    return AddValue(path, key, name, value, orNull(hasFormat, formatText), "string", orNull(hasError, errorText),
                    isflags, hasValue);
}

bool MultiSetGetWorker::AddValue(const char* path, const char* key, const char* name, const Json::Value& value,
                                 const char* format, const char* type, const char* error, bool isflags,
                                 bool hasValue) {
    if (_entryCount >= MaxEntriesPerMessage()) {
        return false;
    }
    std::unique_ptr<MultiSetGetWorker> entry = Factory();
    // Texts are stored as JSON strings: a text that looks like JSON stays that text.
    const std::pair<Param, const char*> texts[] = {{Param::path, path}, {Param::name, name}};
    for (const auto& [param, text] : texts) {
        if (text) {
            entry->SetJsonParameter(param, Json::Value(text));
        }
    }
    entry->SetJsonParameter(Param::value, value);
    if (isflags) {
        entry->SetJsonParameter(Param::isflags, Json::Value("1"));
    }
    const std::pair<Param, const char*> optional[] = {{Param::format, format}, {Param::type, type}, {Param::error, error}};
    for (const auto& [param, text] : optional) {
        if (isSet(text)) {
            entry->SetJsonParameter(param, Json::Value(text));
        }
    }
    if (!hasValue) {
        entry->SetJsonParameter(Param::writeonly, Json::Value("1"));
    }
    _entries[key ? key : ""].push_back(std::move(entry));
    ++_entryCount;
    return true;
}

bool MultiSetGetWorker::AddValue(const char* path, const char* value, const char* format, const char* error,
                                 bool isflags) {
    return AddValue(path, value, format, "string", error, isflags);
}

bool MultiSetGetWorker::AddValue(const char* path, const char* value, const char* format, const char* type,
                                 const char* error, bool isflags) {
    const std::string pathText = path ? path : "";
    std::string key = "/";
    std::string name;
    if (pathText == "/") {
        Debug("ZK5600I Addvalue root path");
    } else {
        std::tie(key, name) = SplitParameterPath(pathText);
        Debug("ZK5601I Addvalue dir path", key);
        if (LogLevel() >= 7) {
            Debug("ZK5602I Addvalue name " + name);
        }
    }
    const Json::Value json = value ? Json::Value(value) : Json::Value();
    return AddValue(pathText.c_str(), key.c_str(), name.c_str(), json, format, type, error, isflags, true);
}

// ---------------------------------------------------------------------------------------
// Writing

std::string MultiSetGetWorker::ToNetworkFormat(bool request, bool grouped) const {
    std::ostringstream out;
    MessageForwardInfo header(GetMessageForwardInfo());
    if (!header.PutHeader(out, request, CommandName())) {
        return std::string();
    }
    const bool values = WritesValues(request);
    Json::Value objects(Json::arrayValue);
    for (const auto& [key, entries] : _entries) {
        if (grouped && values && entries.size() >= 2 && writeGrouped(key, entries, objects)) {
            continue;
        }
        for (const auto& entry : entries) {
            writeSingle(key, *entry, values, objects);
        }
    }
    std::string line = out.str();
    if (objects.empty()) {
        boost::algorithm::trim(line);
        return line;
    }
    line += WriteCompactJson(objects.size() == 1 ? objects[0] : objects);
    return line;
}

bool MultiSetGetWorker::writeGrouped(const std::string& key, const EntryList& entries, Json::Value& objects) const {
    // The grouped form names members only: each entry needs a name of its own that the
    // reader turns back into the same path, and something to show (a member left out
    // would be lost to the reader).
    const std::string format = textOr(*entries.front(), Param::format, kVariant);
    bool ownFormat = false;
    std::set<std::string> names;
    for (const auto& entry : entries) {
        const char* name = entry->GetParameter(Param::name);
        if (!isPlainName(name) || !names.insert(name).second) {
            return false;
        }
        const bool hasError = isSet(entry->GetParameter(Param::error));
        if (!hasError && CompareStrings(entry->GetParameter(Param::writeonly), "1")) {
            return false;
        }
        if (textOr(*entry, Param::format, kVariant) != format) {
            return false;
        }
        ownFormat = ownFormat || isSet(entry->GetParameter(Param::format));
    }
    Json::Value object(Json::objectValue);
    if (ownFormat) {
        object[kFormat] = format;
    }
    object[kPath] = key;
    Json::Value& members = object[kValue] = Json::Value(Json::objectValue);
    for (const auto& entry : entries) {
        const std::string name = entry->GetParameter(Param::name);
        const char* error = entry->GetParameter(Param::error);
        if (isSet(error)) {
            members[name][kError] = error;
        } else {
            entry->GetJsonParameter(members[name], Param::value);
        }
    }
    objects.append(std::move(object));
    return true;
}

void MultiSetGetWorker::writeSingle(const std::string& key, const MultiSetGetWorker& entry, bool values,
                                    Json::Value& objects) {
    const char* nameText = entry.GetParameter(Param::name);
    if (!nameText) {
        return;
    }
    const std::string name = nameText;
    Json::Value object(Json::objectValue);
    const std::string error = textOr(entry, Param::error, "");
    if (!error.empty()) {
        object[kError] = error;
    }
    const std::string path = entryPath(key, name);
    if (!path.empty()) {
        object[kPath] = path;
    }
    const char* format = entry.GetParameter(Param::format);
    if (isSet(format)) {
        object[kFormat] = format;
    }
    const bool writeonly = CompareStrings(entry.GetParameter(Param::writeonly), "1");
    // An attribute such as ".size" shows its value even where paths travel alone.
    if (error.empty() && ((values && !writeonly) || (!name.empty() && name.front() == '.'))) {
        object[kValue] = ReadParamValue(entry);
    }
    if (!object.empty()) {
        objects.append(std::move(object));
    }
}

// ---------------------------------------------------------------------------------------
// Reading

bool MultiSetGetWorker::FromNetworkFormat(bool request, const std::string& line, std::string& error) {
    const MessageForwardInfo* received = ReceivedHeader(line);
    std::string command;
    if (received) {
        command = received->GetCommand();
    }
    Json::Value body;
    if (!ReadBody(line, body, error)) {
        return false;
    }
    if (!received) {
        MessageForwardInfo header(GetMessageForwardInfo());
        header.ReadReceived(line, false);
        command = header.GetCommand();
    }
    if (command.empty()) {
        error = "No command found";
        return false;
    }
    // One bound for the whole read, whatever the setting does meanwhile.
    const std::size_t bound = MaxEntriesPerMessage();
    const bool pathRequired = PathRequired(request);
    if (body.isArray()) {
        for (const auto& element : body) {
            if (!element.isObject()) {
                error = "Array must contain objects";
                return false;
            }
            if (!readObject(element, pathRequired, bound, error)) {
                return false;
            }
        }
        return true;
    }
    if (!body.isObject() || body.empty()) {
        if (EmptyBodyAccepted(request)) {
            return true;
        }
        error = "Path required";
        return false;
    }
    if (request && body.isMember(kError)) {
        error = "Request contained an error parameter";
        return false;
    }
    return readObject(body, pathRequired, bound, error);
}

bool MultiSetGetWorker::readObject(const Json::Value& object, bool pathRequired, std::size_t bound,
                                   std::string& error) {
    const Json::Value& path = object[kPath];
    const Json::Value& entryError = object[kError];
    const Json::Value& value = object[kValue];
    const Json::Value& format = object[kFormat];
    const bool hasError = !entryError.isNull();

    std::string pathText;
    std::string key;
    std::string name;
    const bool pathAbsent = path.isNull() || ((path.isArray() || path.isObject()) && path.empty());
    if (pathAbsent) {
        if (pathRequired && !hasError) {
            error = "Path is required if no error";
            return false;
        }
    } else if (!path.isString()) {
        error = "Path must be a string";
        return false;
    } else {
        pathText = path.asString();
        std::tie(key, name) =
            SplitParameterPath(!pathText.empty() && pathText.front() == '/' ? pathText : "/" + pathText);
    }

    if (hasError) {
        if (!entryError.isString()) {
            error = "Error must be a string";
            return false;
        }
        error = entryError.asString();
        return addRead(pathText, key, name, value, format, entryError, !value.isNull(), bound, error);
    }
    if (!value.isObject()) {
        return addRead(pathText, key, name, value, format, Json::Value(), !value.isNull(), bound, error);
    }
    // Members name the entries of the object path as it came; a member that is itself an
    // object is a record of that name and carries only its error.
    for (auto member = value.begin(); member != value.end(); ++member) {
        const std::string memberName = member.name();
        if (!member->isObject()) {
            if (!addRead(pathText, pathText, memberName, *member, format, Json::Value(), true, bound, error)) {
                return false;
            }
            continue;
        }
        const Json::Value& recordError = (*member)[kError];
        if (!recordError.isNull() && !recordError.isString()) {
            error = "Error must be a string";
            return false;
        }
        if (!addRead(pathText, pathText, memberName, Json::Value(), format, recordError, false, bound, error)) {
            return false;
        }
    }
    return true;
}

bool MultiSetGetWorker::addRead(const std::string& path, const std::string& key, const std::string& name,
                                const Json::Value& value, const Json::Value& format, const Json::Value& error,
                                bool hasValue, std::size_t bound, std::string& failure) {
    if (_entryCount >= bound ||
        !AddValue(path.c_str(), key.c_str(), name.c_str(), value, format, error, false, hasValue)) {
        failure = kTooManyEntries;
        return false;
    }
    return true;
}

}  // namespace Zelkor
