#pragma once
// The library's storage: a node's whole parameter and configuration tree held as one JSON
// document, with descriptor attributes (".type", ".access", ".min", ".enums", ...) that
// govern how each value is read, validated and written.
//
// Ownership: built by the application from JSON text and handed to the driver in shared
// ownership (value-change notifications carry a weak reference taken from it). The
// registered ISubscriptionService is not owned and must outlive its registration.
// Threads: the tree and the preset store take no lock. Callers keep all tree access
// (reads, writes, presets, GetRoot) on one thread at a time; notifications run
// synchronously on the writing thread. The event log locks itself and may be used from
// any thread.
//
// Files: the event log "event.log" in the working folder at construction is read when a
// tree loads and written back, whole, by the destructor; a model whose tree did not load
// never writes it. Preset files live under the root the caller names.

#include <cstddef>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

#include "core/ZelkorLoggable.h"
#include "storage/EventStore.h"
#include "storage/IStorage.h"
#include "storage/LogRow.h"
#include "storage/RequestBound.h"

namespace Zelkor {

class ContainerFormatValue;
class FormatValuePair;
class PresetsImpl;

class JsonModel : public IStorage, public ZelkorLoggable {
public:
    // Kinds of tree nodes (getKind).
    enum Kind : int {
        KindNone = 0,    // numbers, booleans, null, JSON arrays, objects of no known kind
        KindObject = 1,  // ".kind" "obj": a group
        KindParam = 2,   // ".kind" "param": a parameter
        KindString = 3,  // a plain string value
        KindArray = 4,   // ".kind" "array": elements built from ".prototype"
    };

    // Builds the tree from JSON text (the text itself, not a file name). Text that does
    // not parse is logged and leaves a model without a tree, on which every lookup misses.
    explicit JsonModel(const std::string& jsonText);
    explicit JsonModel(std::istream& in);
    ~JsonModel() override;

    JsonModel(const JsonModel&) = delete;
    JsonModel& operator=(const JsonModel&) = delete;

    // --- IStorage ---
    std::ostream& Stream(std::ostream& out) override;
    void SetStorageEventHandler(ISubscriptionService* handler) override;
    STATUS GetValueForPath(const char* path, const char* format, std::string& value) override;
    STATUS GetValueForPath(const char* path, const char* format, Json::Value& value) override;
    bool GetAttributesForPath(const char* path, Json::Value& attributes) override;
    STATUS SetValueForPath(const char* path, const char* format, Json::Value value,
                           bool enforce) override;
    // Always enforces the read-only and lock rules, whatever `enforce` says.
    STATUS SetValueForPath(const char* path, const char* format, const char* value,
                           bool enforce) override;
    // Unparsable text, a missing parent or a parent that is no object change nothing.
    void AddObjectToPath(const char* parentPath, const char* name, std::string& jsonText) override;
    std::string GetStatusString(STATUS status) override;
    bool StorePreset(const std::string& root, const std::map<std::string, std::string>& arguments,
                     std::string& result) override;
    bool RecallPreset(const std::string& root, const std::map<std::string, std::string>& arguments,
                      std::string& result) override;
    bool AddPreset(const std::string& root, const std::map<std::string, std::string>& arguments,
                   std::string& result) override;
    // Fills every pair of the request; with `recursive`, a requested group is first
    // replaced by its parameters (FillRecursively). Each pair's outcome is in the pair; a
    // failure of one pair never stops the others. At most MaxEntriesPerMessage() pairs
    // are served; the rest get the error kTooManyEntries ("storage/RequestBound.h").
    void GetObjectsParameters(ObjectParamContainer& request, bool recursive) override;
    // Writes every pair with the access and lock rules enforced and reads each accepted
    // value back into its pair in the pair's format. A name "/" (the whole tree) is no
    // value: it gets "Invalid Path" and nothing is written.
    void SetObjectsParameters(ObjectParamContainer& request) override;
    STATUS VerifyPath(const char* path, const char* format) override;
    std::vector<std::string> GetDescriptorForPath(const char* path, unsigned recursive) override;
    bool StoreEvent(const std::string& eventJson) override;
    bool RetrieveEvents(long long from, unsigned minimumPriority,
                        std::vector<std::string>& out) override;
    bool RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                            std::vector<std::string>& out) override;

    // --- Event log (the application's side) ---
    // Stores a record and writes the number it got into row.seqno. Always true.
    bool StoreEvent(LOGROW& row);

    // --- Multi-value requests ---
    // Replaces each requested name by one request per parameter below it, grouped under
    // the parameters' object paths; a name with nothing below it stays as it is. A
    // parameter that an earlier name of the request already brought in, in the same form,
    // is not brought in again; a name whose parameters would take the request past
    // MaxEntriesPerMessage() stays unexpanded with the error kTooManyEntries.
    void FillRecursively(ObjectParamContainer& request);

    // --- Tree ---
    // Expands every array descriptor below `node` from its prototype; false when an array
    // descriptor lacks a usable ".size" (the rest of that node is then left alone).
    bool CreateJsonTree(Json::Value& node);
    // The node at a path, or a null value for a miss. Never hand the miss value anything:
    // it is reset at every lookup.
    Json::Value& valueForPath(const std::string& path);
    static int getKind(const Json::Value& node);
    // The flag bits of a descriptor, or of a JSON array of flag words.
    unsigned GetFlagInt(const Json::Value& node) const;
    bool isNoSub(const Json::Value& node) const;
    // Parameter paths below a path, depth first, in member-name order.
    std::vector<std::string> GetChildren(const std::string& path);
    // Paths of groups, parameters and arrays one level below a path.
    std::vector<std::string> GetImmediateChildren(const std::string& path);
    // The live root; the caller keeps to the tree's thread rules.
    Json::Value& GetRoot() { return _tree; }
    // Reads "event.log" (true when the whole file was read) and writes it back (true
    // when the new file is in place; never for a model whose tree did not load); the
    // destructor calls StoreEvents.
    bool LoadEvents();
    bool StoreEvents();

    // --- Reads ---
    // The text-form read: 14 when no tree was loaded; 6 when the answer has no text form.
    STATUS GetStringForPath(const char* path, const char* format, std::string& value);
    // The number of a text: the standard conversion of its leading number, 0 when none.
    static double stod(const std::string& text);
    // Per-type read rules: each converts `value` in place into `format`.
    static STATUS ProcessBooleanGet(const std::string& format, Json::Value& value);
    static STATUS ProcessEnumGet(const Json::Value& descriptor, const std::string& format,
                                 Json::Value& value, const Json::Value& requestValue);
    static STATUS ProcessFlagsGet(const Json::Value& descriptor, const std::string& format,
                                  Json::Value& value, const Json::Value& requestValue);
    static STATUS ProcessFloatGet(const Json::Value& descriptor, const std::string& format,
                                  Json::Value& value);
    static STATUS ProcessIntegerGet(const Json::Value& descriptor, const std::string& format,
                                    Json::Value& value);
    static STATUS ProcessStringGet(const std::string& format, Json::Value& value);
    static STATUS ProcessDStringGet(const std::string& format, Json::Value& value);
    static STATUS ProcessBlockGet(const std::string& format, Json::Value& value);

    // --- Writes ---
    // Writes one attribute of a dynamic descriptor (writes without enforce only).
    STATUS ProcessAttribute(const char* path, const char* format, Json::Value value, bool enforce);
    // The value text handed to the subscription service: a string's own text, anything
    // else as compact JSON and a line feed.
    static std::string ConvertJsonValueToString(const Json::Value& value);

    // Per-type write rules: each validates `value` for the descriptor `node` and converts
    // it in place into the stored form. `format` is one of the four format words.
    static STATUS ProcessBooleanSet(const std::string& format, Json::Value& value);
    static STATUS ProcessBooleanSetAsDouble(const std::string& format, Json::Value& value);
    static STATUS ProcessBooleanSetAsInteger(Json::Value& value);
    static STATUS ProcessEnumSet(const Json::Value& node, const std::string& format,
                                 Json::Value& value, const Json::Value& indexValue,
                                 bool refuseDynamic);
    static STATUS ProcessEnumSetAsDouble(const Json::Value& node, const std::string& format,
                                         Json::Value& value, const Json::Value& indexValue,
                                         bool refuseDynamic);
    static STATUS ProcessEnumSetAsInteger(const Json::Value& node, const std::string& format,
                                          Json::Value& value, const Json::Value& indexValue,
                                          bool refuseDynamic);
    static STATUS ProcessFlagsSet(const Json::Value& node, const std::string& format,
                                  Json::Value& value, const Json::Value& indexValue,
                                  bool refuseDynamic);
    static STATUS ProcessFloatSet(const Json::Value& node, const std::string& format,
                                  Json::Value& value);
    static STATUS ProcessFloatSetAsDouble(const Json::Value& node, const std::string& format,
                                          Json::Value& value);
    static STATUS ProcessIntegerSet(const Json::Value& node, const std::string& format,
                                    Json::Value& value);
    static STATUS ProcessIntegerSetAsDouble(const Json::Value& node, const std::string& format,
                                            Json::Value& value);
    static STATUS ProcessIntegerSetAsInteger(const Json::Value& node, const std::string& format,
                                             Json::Value& value);
    static STATUS ProcessStringSet(const Json::Value& node, const std::string& format,
                                   Json::Value& value);
    static STATUS ProcessBlockSet(const Json::Value& node, const std::string& format,
                                  Json::Value& value);

private:
    void load(const std::string& text, const char* errorText);
    bool expandArray(Json::Value& node);
    // The node at a path (or at its first `count` names); null for a miss.
    Json::Value* findNode(const char* path);
    Json::Value* findNode(const std::vector<std::string>& names, std::size_t count);
    static Json::Value* member(Json::Value& node, std::string_view name);
    // The same, where an empty node (null, or an object or list without members) is a miss.
    Json::Value* findValue(const char* path);
    void collectChildren(const Json::Value& node, const std::string& path, bool recursive,
                         std::vector<std::string>& out);
    STATUS readDescriptor(const Json::Value& node, const std::string& format, Json::Value& value);
    STATUS convertForType(const Json::Value& node, const std::string& type,
                          const std::string& format, Json::Value& value);
    STATUS writeAttribute(const char* path, const std::string& format, Json::Value value,
                          bool enforce);
    STATUS writeList(const char* path, const std::vector<std::string>& names,
                     const std::string& format, const Json::Value& value, bool enforce);

    // Tells the preset store of a stored change (before the subscription service).
    void notifyPresetStore(const char* path, const std::string& format);
    // Serves one pair of a multi-value request at its full path and records the outcome
    // in it; no failure leaves the call.
    enum class PairAccess { Read, Write };
    void servePair(PairAccess access, const std::string& path, const std::string& name,
                   FormatValuePair& pair);
    STATUS writeAndReadBack(const std::string& path, FormatValuePair& pair);
    void recordOutcome(PairAccess access, STATUS status, const std::string& path,
                       const std::string& name, FormatValuePair& pair);

    Json::Value _missValue;
    Json::Value _tree;
    std::shared_ptr<PresetsImpl> _presets;
    ISubscriptionService* _subscriptionService = nullptr;
    EventStore _events;
};

}  // namespace Zelkor
