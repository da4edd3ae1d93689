#pragma once
// The one interface through which the library reaches a node's parameter and
// configuration tree: values by path and format, descriptors, multi-value requests,
// presets and the event log.
//
// Ownership: implementations are meant to be owned by a std::shared_ptr, so that they can
// hand out weak references to themselves with every value-change notification. The
// registered ISubscriptionService is not owned.
// Threads: an implementation locks only what it shares between the event-loop thread and
// the application (the event log); callers keep tree access on one thread at a time.
//
// Paths are "/"-separated member names ("/configuration/device/name"); runs of "/" count
// as one, a trailing "/" names nothing. Formats are "norm", "number", "string" and
// "variant"; a null format and "default" mean "variant", and reads and writes use only
// the part before the first "(".

#include <cstddef>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

namespace Zelkor {

class ISubscriptionService;
class ObjectParamContainer;

class IStorage : public std::enable_shared_from_this<IStorage> {
public:
    // Result of every path operation. Callers compare with 0 for success; the numbers are
    // part of the protocol's contract and never change.
    enum STATUS : int {
        PathOk = 0,
        PathReadonly = 1,
        PathWriteonly = 2,
        InvalidPath = 3,
        InvalidFormat = 4,
        InvalidFormatSyntax = 5,
        ValueOutOfRange = 6,
        PathLocked = 7,
        PathDisabled = 8,
        PathConstant = 9,
        PathReadWrite = 10,
        InvalidAccess = 11,
        PathNoSubscribe = 12,
        AttributeDisabled = 13,
        // Text read of a storage that holds no tree; has no text.
        NoTree = 14,
    };

    // The display text of a status; empty for a number without one (14 included).
    static std::string StatusText(STATUS status);

    virtual ~IStorage() = default;

    // Writes the whole tree as indented JSON and an end-of-line.
    virtual std::ostream& Stream(std::ostream& out) = 0;
    // Registers the receiver of value-change notifications (not owned; null removes it).
    virtual void SetStorageEventHandler(ISubscriptionService* handler) = 0;
    // Reads a value as text.
    virtual STATUS GetValueForPath(const char* path, const char* format, std::string& value) = 0;
    // Reads a value as a JSON value.
    virtual STATUS GetValueForPath(const char* path, const char* format, Json::Value& value) = 0;
    // Copies the node at the path; true when it is a non-empty object.
    virtual bool GetAttributesForPath(const char* path, Json::Value& attributes) = 0;
    // Writes a value with validation; `enforce` applies the read-only and lock rules.
    virtual STATUS SetValueForPath(const char* path, const char* format, Json::Value value,
                                   bool enforce) = 0;
    // The same with the value given as text.
    virtual STATUS SetValueForPath(const char* path, const char* format, const char* value,
                                   bool enforce) = 0;
    // Adds or replaces the member `name` of the node at `parentPath` with parsed JSON text.
    virtual void AddObjectToPath(const char* parentPath, const char* name,
                                 std::string& jsonText) = 0;
    virtual std::string GetStatusString(STATUS status) = 0;
    virtual bool StorePreset(const std::string& root,
                             const std::map<std::string, std::string>& arguments,
                             std::string& result) = 0;
    virtual bool RecallPreset(const std::string& root,
                              const std::map<std::string, std::string>& arguments,
                              std::string& result) = 0;
    virtual bool AddPreset(const std::string& root,
                           const std::map<std::string, std::string>& arguments,
                           std::string& result) = 0;
    // Fills every pair of a multi-value request in place.
    virtual void GetObjectsParameters(ObjectParamContainer& request, bool recursive) = 0;
    // Writes every pair of a multi-value request and records each outcome in it.
    virtual void SetObjectsParameters(ObjectParamContainer& request) = 0;
    // Checks a path and a format without reading.
    virtual STATUS VerifyPath(const char* path, const char* format) = 0;
    // Full paths of the parameters below a path: one level for 0, every depth otherwise.
    virtual std::vector<std::string> GetDescriptorForPath(const char* path,
                                                          unsigned recursive) = 0;
    // Appends an event given as one compact JSON object.
    virtual bool StoreEvent(const std::string& eventJson) = 0;
    // Copies stored events from a sequence number (or the last |from| when negative).
    virtual bool RetrieveEvents(long long from, unsigned minimumPriority,
                                std::vector<std::string>& out) = 0;
    // The same events, oldest first, appended to `out`, stopping after the text that
    // brings the bytes copied to `maxBytes` or beyond: one who sends only so much copies no
    // more of a long log. The default asks RetrieveEvents for all of them and keeps so many;
    // a log replay asks a window at a time, so a storage with a long log should override it.
    virtual bool RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                                    std::vector<std::string>& out);
};

}  // namespace Zelkor
