#include "services/MultiSetGetWorker.h"

#include <cstring>
#include <set>
#include <string_view>
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

std::string textOr(const char* text, const char* fallback) { return isSet(text) ? std::string(text) : fallback; }

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
    return add(key ? key : "", MultiValueEntry(path, name, value, format, type, error, isflags, hasValue),
               {MaxEntriesPerMessage(), MaxEntryBytesPerMessage()});
}

bool MultiSetGetWorker::add(const std::string& key, MultiValueEntry entry, const Bounds& bounds) {
    const std::size_t bytes = entry.HeldBytes();
    if (_entryCount >= bounds.entries || bytes > bounds.bytes || _entryBytes > bounds.bytes - bytes) {
        return false;
    }
    // A new key's list is made in its place: a list moved in would leave one behind to
    // make and free again.
    _entries.try_emplace(key).first->second.push_back(std::move(entry));
    ++_entryCount;
    _entryBytes += bytes;
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

// The body goes straight into the line, one object at a time: as JSON values the whole
// body would take many times the memory of its text. One object is the body as it is;
// several are an array.
class MultiSetGetWorker::BodyWriter {
public:
    explicit BodyWriter(std::string& line) : _line(line), _start(line.size()) {}

    void Add(const Json::Value& object) { AppendCompactJson(Next(), object); }

    // The line, ready for the next object's text.
    std::string& Next() {
        if (_count > 0) {
            _line += ',';
        }
        ++_count;
        return _line;
    }

    // Closes the body; false when it holds no object.
    bool Finish() {
        if (_count > 1) {
            _line.insert(_start, 1, '[');
            _line += ']';
        }
        return _count > 0;
    }

private:
    std::string& _line;
    std::size_t _start;
    std::size_t _count = 0;
};

std::string MultiSetGetWorker::ToNetworkFormat(bool request, bool grouped) const {
    std::string line;
    MessageForwardInfo header(GetMessageForwardInfo());
    if (!header.AppendHeader(line, request, CommandName())) {
        return std::string();
    }
    const bool values = WritesValues(request);
    BodyWriter body(line);
    for (const auto& [key, entries] : _entries) {
        if (grouped && values && entries.size() >= 2 && writeGrouped(key, entries, body)) {
            continue;
        }
        for (const auto& entry : entries) {
            writeSingle(key, entry, values, body);
        }
    }
    if (!body.Finish()) {
        boost::algorithm::trim(line);
    }
    return line;
}

bool MultiSetGetWorker::writeGrouped(const std::string& key, const EntryList& entries, BodyWriter& body) const {
    // The grouped form names members only: each entry needs a name of its own that the
    // reader turns back into the same path, and something to show (a member left out
    // would be lost to the reader).
    const std::string format = textOr(entries.front().Format(), kVariant);
    bool ownFormat = false;
    std::set<std::string_view> names;
    for (const auto& entry : entries) {
        const char* name = entry.Name();
        if (!isPlainName(name) || !names.insert(name).second) {
            return false;
        }
        if (!isSet(entry.Error()) && entry.WriteOnly()) {
            return false;
        }
        if (textOr(entry.Format(), kVariant) != format) {
            return false;
        }
        ownFormat = ownFormat || isSet(entry.Format());
    }
    Json::Value object(Json::objectValue);
    if (ownFormat) {
        object[kFormat] = format;
    }
    object[kPath] = key;
    Json::Value& members = object[kValue] = Json::Value(Json::objectValue);
    for (const auto& entry : entries) {
        Json::Value& member = members[entry.Name()];
        if (isSet(entry.Error())) {
            member[kError] = entry.Error();
        } else {
            member = entry.Value();
        }
    }
    body.Add(object);
    return true;
}

void MultiSetGetWorker::writeSingle(const std::string& key, const MultiValueEntry& entry, bool values,
                                    BodyWriter& body) {
    const char* nameText = entry.Name();
    if (!nameText) {
        return;
    }
    const std::string name = nameText;
    const char* error = entry.Error();
    const char* format = entry.Format();
    const std::string path = entryPath(key, name);
    // An attribute such as ".size" shows its value even where paths travel alone.
    const bool showsValue =
        !isSet(error) && ((values && !entry.WriteOnly()) || (!name.empty() && name.front() == '.'));
    if (!isSet(error) && !isSet(format) && path.empty() && !showsValue) {
        return;
    }
    // The object is written member by member, in the byte order of the names as the JSON
    // library writes an object's, with no JSON object built first: every value served
    // passes here. The path joins a key read from a peer, which may hold a NUL.
    std::string& line = body.Next();
    char separator = '{';
    const auto member = [&line, &separator](const char* memberName) -> std::string& {
        line += separator;
        line += '"';
        line += memberName;
        line += "\":";
        separator = ',';
        return line;
    };
    if (isSet(error)) {
        AppendQuotedJson(member(kError), error, std::strlen(error));
    }
    if (isSet(format)) {
        AppendQuotedJson(member(kFormat), format, std::strlen(format));
    }
    if (!path.empty()) {
        AppendQuotedJson(member(kPath), path.c_str(), path.size());
    }
    if (showsValue) {
        AppendCompactJson(member(kValue), ReadParamValue(entry));
    }
    line += '}';
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
    // One pair of bounds for the whole read, whatever the settings do meanwhile.
    const Bounds bound{MaxEntriesPerMessage(), MaxEntryBytesPerMessage()};
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

bool MultiSetGetWorker::readObject(const Json::Value& object, bool pathRequired, const Bounds& bound,
                                   std::string& error) {
    // One walk over the members instead of a lookup of each name: an object of an entry
    // holds two or three.
    const Json::Value* members[4] = {};
    const char* const names[4] = {kPath, kError, kValue, kFormat};
    for (auto member = object.begin(); member != object.end(); ++member) {
        const char* end = nullptr;
        const char* begin = member.memberName(&end);
        const std::string_view name(begin, static_cast<std::size_t>(end - begin));
        for (std::size_t i = 0; i < 4; ++i) {
            if (name == names[i]) {
                members[i] = &*member;
            }
        }
    }
    const auto memberOr = [](const Json::Value* member) -> const Json::Value& {
        return member ? *member : Json::Value::nullSingleton();
    };
    const Json::Value& path = memberOr(members[0]);
    const Json::Value& entryError = memberOr(members[1]);
    const Json::Value& value = memberOr(members[2]);
    const Json::Value& format = memberOr(members[3]);
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
                                bool hasValue, const Bounds& bounds, std::string& failure) {
    std::string formatText;
    std::string errorText;
    const bool hasFormat = textOf(format, formatText);
    const bool hasError = textOf(error, errorText);
    // A full store refuses before the entry is made: a peer's long line stops at the bound
    // rather than after one more copy of a large value.
    if (_entryCount >= bounds.entries ||
        !add(key, MultiValueEntry(path.c_str(), name.c_str(), value, orNull(hasFormat, formatText), "string",
                                  orNull(hasError, errorText), false, hasValue),
             bounds)) {
        failure = kTooManyEntries;
        return false;
    }
    return true;
}

}  // namespace Zelkor
