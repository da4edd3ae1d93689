#pragma once
// The folder navigation words: "ls" (ListFolder) lists the entries one level below a
// path, "rls" (RecurseFolder) every entry below it, "cd" (NavigateFolder) moves the
// answering node's working folder. A request carries {"path": folder}; an "@ls"/"@rls"
// reply is a JSON array of objects, each with a "path" and its "value" (or an "error"),
// which the listing reader turns into entries, grouped by their parent path; an "@cd"
// reply is {"path": folder} or {"error": text}.
//
// A listing becomes at most MaxEntriesPerMessage() entries ("storage/RequestBound.h"):
// past that the read fails with "Too many entries". A reply read keeps its body as the
// reply text, so that a router forwards it unchanged; the entry store is never written.
//
// Ownership: a message owns its entries. Threads: as for every Message. The readers never
// throw on peer text.

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/Message.h"

namespace Zelkor {

// What "ls" and "rls" have in common: the reply text, the entry store and the reader.
class FolderListing : public Message {
public:
    using EntryList = std::vector<std::unique_ptr<FolderListing>>;
    // Parent path (the key) to its entries in the order they were added.
    using Entries = std::map<std::string, EntryList>;

    // Request: the base form ({"path": ...}). Reply with an "error": the base reply form.
    // Any other reply: the routing header, "@", the word, a blank and the reply text.
    std::string ToNetworkFormat(bool request) const override;
    // An array of objects, each an entry object; or one entry object, whose "path" (else
    // "/") becomes the message's own. An entry object needs a string "path" (a missing
    // leading "/" is assumed) or a string "error" ("Objects must contain a path or
    // error"); a "value" that is an object gives one entry per member that is no object.
    // Other failures: "Array must contain objects", "Too many entries", the JSON
    // reader's text. Entries read before a failure stay.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    // Each AddValue adds one entry of the message's own class and returns false, adding
    // nothing, once the store holds MaxEntriesPerMessage() entries.
    // JSON form: format and error null for none, any other value taken as its text.
    virtual bool AddValue(const char* path, const char* key, const char* name, const Json::Value& value,
                          const Json::Value& format, const Json::Value& error, bool isflags, bool hasValue);
    // Storing form: the entry's "path", its "value" (JSON; null sets none) and its "error"
    // when not empty, appended under `key`. Name, format, type and flags are not kept.
    virtual bool AddValue(const char* path, const char* key, const char* name, const Json::Value& value,
                          const char* format, const char* type, const char* error, bool isflags, bool hasValue);
    // Text form: the typed text form with the type "string".
    virtual bool AddValue(const char* path, const char* value, const char* format, const char* error, bool isflags);
    // Typed text form: the value becomes a JSON string (null: none); the key is the
    // path's parent, "/" for the root path itself.
    virtual bool AddValue(const char* path, const char* value, const char* format, const char* type,
                          const char* error, bool isflags);

    const Entries& GetEntries() const { return _entries; }
    std::size_t EntryCount() const { return _entryCount; }
    const std::string& GetReplyText() const { return _replyText; }
    void SetReplyText(std::string text) { _replyText = std::move(text); }

protected:
    FolderListing();
    // A new entry of the message's own class.
    virtual std::unique_ptr<FolderListing> newEntry() const = 0;
    // Whether a single entry object's error text becomes the message's own "error".
    virtual bool keepsOwnError() const = 0;

private:
    bool readObject(const Json::Value& object, std::string& error);

    std::string _replyText;
    Entries _entries;
    std::size_t _entryCount = 0;
};

class ListFolder : public FolderListing {
public:
    const char* CommandName() const override { return "ls"; }
    std::unique_ptr<Message> Instantiate() const override;

protected:
    std::unique_ptr<FolderListing> newEntry() const override;
    bool keepsOwnError() const override { return true; }
};

class RecurseFolder : public FolderListing {
public:
    const char* CommandName() const override { return "rls"; }
    std::unique_ptr<Message> Instantiate() const override;

protected:
    std::unique_ptr<FolderListing> newEntry() const override;
    bool keepsOwnError() const override { return false; }
};

struct NavigateFolderInfo {
    std::string path;
    std::string error;
};

class NavigateFolder : public Message {
public:
    NavigateFolder();

    const char* CommandName() const override { return "cd"; }
    std::unique_ptr<Message> Instantiate() const override;
    // As FolderListing writes.
    std::string ToNetworkFormat(bool request) const override;
    // Takes "path" and "error" when each is a non-empty string; fails only on bad JSON.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;
    // "error" when the record's is not empty, then "path"; the result of setting "path".
    bool SetParams(NavigateFolderInfo& info);

    const std::string& GetReplyText() const { return _replyText; }
    void SetReplyText(std::string text) { _replyText = std::move(text); }

private:
    std::string _replyText;
};

}  // namespace Zelkor
