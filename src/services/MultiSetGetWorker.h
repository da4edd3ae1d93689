#pragma once
// The message that carries many values in one line: a store of entries, each naming one
// storage path with an optional format word, value and error text. Base of "get" and
// "set" (MultiGetValue, MultiSetValue) and of the subscription messages, which differ only
// in their word; the word decides whether values travel and whether paths are required.
//
// Wire body: one entry object {"path", "format", "value", "error"}, or an array of them.
// With values, entries of one key that share a format word travel grouped as
// {"path": key, "format", "value": {name: value | {"error": text}, ...}}.
//
// A message holds at most MaxEntriesPerMessage() entries, holding at most
// MaxEntryBytesPerMessage() bytes together ("storage/RequestBound.h"): an AddValue past
// either adds nothing and returns false, and the reader fails with "Too many entries", so a
// peer's line never becomes more than that. Entries are compact records (MultiValueEntry),
// and the writer builds the line object by object, never the whole body as JSON values.
//
// Ownership: a message owns its entries. Threads: as for every Message. Neither the reader
// nor the writer throws on peer text.

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "core/Message.h"
#include "services/MultiValueEntry.h"

namespace Zelkor {

class MultiSetGetWorker : public Message {
public:
    // A deque: a store of many entries grows without moving them and without room kept
    // spare for as many again.
    using EntryList = std::deque<MultiValueEntry>;
    // Key (the object path that groups entries, byte order) to its entries in the order
    // they were added.
    using Entries = std::map<std::string, EntryList>;

    // The flag is kept with the message; nothing here reads it.
    explicit MultiSetGetWorker(bool flag);
    MultiSetGetWorker(const MultiSetGetWorker&) = delete;
    MultiSetGetWorker& operator=(const MultiSetGetWorker&) = delete;

    std::unique_ptr<Message> Instantiate() const override;
    std::string ToNetworkFormat(bool request) const override { return ToNetworkFormat(request, true); }
    // Reads one entry object or an array of them; `request` is false for a received reply.
    // An empty body ("", null, {}) is no entries in any reply and for "unsubscribe", and
    // "Path required" for any other request. A request may not be one object carrying
    // "error" ("Request contained an error parameter"). An entry needs a string "path"
    // unless it carries an "error" or the word needs none; the error text of such an entry
    // comes back in `error` with success. Other failures: "No command found", "Array must
    // contain objects", "Path is required if no error", "Path must be a string", "Error
    // must be a string", "Too many entries", the JSON reader's text. Entries read before a
    // failure stay.
    bool FromNetworkFormat(bool request, const std::string& line, std::string& error) override;

    // The line without its "\n": routing header, "@" for a reply, the word and, when any
    // entry is written, a blank and one object or an array of them. With `grouped`, a key
    // whose entries all carry values, plain distinct names and one format word is written
    // as one grouped object. Empty when the header cannot be written.
    virtual std::string ToNetworkFormat(bool request, bool grouped) const;

    // JSON form: the format and error as JSON (null for none, any other value as its text),
    // the type "string".
    virtual bool AddValue(const char* path, const char* key, const char* name, const Json::Value& value,
                          const Json::Value& format, const Json::Value& error, bool isflags, bool hasValue);
    // Storing form: one entry under `key` with "path" and "name" (when not null), "value"
    // (when not null), "isflags" "1" for a value written as held, "format", "type" and
    // "error" when not empty, "writeonly" "1" without a value. False, adding nothing, when
    // the entry would pass either bound of the store.
    virtual bool AddValue(const char* path, const char* key, const char* name, const Json::Value& value,
                          const char* format, const char* type, const char* error, bool isflags, bool hasValue);
    // Text form: the typed text form with the type "string".
    virtual bool AddValue(const char* path, const char* value, const char* format, const char* error,
                          bool isflags);
    // Typed text form: the value as a JSON string (null: none, yet still a value); the key
    // is the path's parent and the name its last element, the root "/" being key "/" with
    // an empty name.
    virtual bool AddValue(const char* path, const char* value, const char* format, const char* type,
                          const char* error, bool isflags);

    // A new, empty message of the concrete class.
    virtual std::unique_ptr<MultiSetGetWorker> Factory() const = 0;

    const Entries& GetValues() const { return _entries; }
    std::size_t EntryCount() const { return _entryCount; }
    // What the entries hold, as the bytes bound counts it.
    std::size_t EntryBytes() const { return _entryBytes; }
    bool GetFlag() const { return _flag; }

    // True when both are null, false when one is, else equal ignoring letter case.
    static bool CompareStrings(const char* a, const char* b);

protected:
    // Whether the writer carries values or paths only: paths only for "unsubscribe", a
    // "publish" reply, and "get" and "subscribe" requests.
    virtual bool WritesValues(bool request) const;
    // Whether every entry read needs a path (unless it carries an error): all but
    // "unsubscribe" and a "publish" reply.
    virtual bool PathRequired(bool request) const;
    // Whether a body without entries is accepted: in every reply, and for "unsubscribe".
    virtual bool EmptyBodyAccepted(bool request) const;

    // The value of an entry as written in the single form: held as is when "isflags" is
    // "1" or it is an array or object, else converted by its format word and type.
    static Json::Value ReadParamValue(const MultiValueEntry& entry);

private:
    // The bounds one read keeps to.
    struct Bounds {
        std::size_t entries;
        std::size_t bytes;
    };
    // One object of a line's body as written, and how many there are.
    class BodyWriter;

    bool add(const std::string& key, MultiValueEntry entry, const Bounds& bounds);
    bool readObject(const Json::Value& object, bool pathRequired, const Bounds& bounds, std::string& error);
    bool addRead(const std::string& path, const std::string& key, const std::string& name, const Json::Value& value,
                 const Json::Value& format, const Json::Value& error, bool hasValue, const Bounds& bounds,
                 std::string& failure);
    bool writeGrouped(const std::string& key, const EntryList& entries, BodyWriter& body) const;
    static void writeSingle(const std::string& key, const MultiValueEntry& entry, bool values, BodyWriter& body);

    bool _flag;
    Entries _entries;
    std::size_t _entryCount = 0;
    std::size_t _entryBytes = 0;
};

}  // namespace Zelkor
