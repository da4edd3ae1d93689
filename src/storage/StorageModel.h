#pragma once
// The storage facade every service holds: it wraps the application's storage (a
// JsonModel or the application's own IStorage), forwards each operation to it, traces the
// calls, answers for a missing storage, and keeps exceptions of the reads, the writes and
// the descriptor listing from unwinding into the network code.
//
// Ownership: the facade shares ownership of the wrapped storage. Given a plain pointer it
// takes ownership, unless the storage is already owned by a std::shared_ptr, whose
// ownership it then joins (so the storage is never deleted twice). The storage goes with
// its last owner. The registered ISubscriptionService is forwarded, not owned.
// Threads: the facade adds no lock and relies on the wrapped storage's own rules.

#include <memory>

#include "core/ZelkorLoggable.h"
#include "storage/IStorage.h"

class StorageModel : public Zelkor::IStorage, public ZelkorLoggable {
public:
    // A null storage gives a facade that answers every call as "No storage".
    explicit StorageModel(Zelkor::IStorage* storage);
    explicit StorageModel(std::shared_ptr<Zelkor::IStorage> storage);
    ~StorageModel() override = default;
    StorageModel(const StorageModel&) = delete;
    StorageModel& operator=(const StorageModel&) = delete;

    // The wrapped storage; null when there is none.
    std::shared_ptr<Zelkor::IStorage> GetStorage() const { return _storage; }

    std::ostream& Stream(std::ostream& out) override;
    void SetStorageEventHandler(Zelkor::ISubscriptionService* handler) override;
    // Reads through the JSON read; an answer without a text form (a list) is status 6.
    STATUS GetValueForPath(const char* path, const char* format, std::string& value) override;
    // A caught exception is logged and answered with status 6.
    STATUS GetValueForPath(const char* path, const char* format, Json::Value& value) override;
    bool GetAttributesForPath(const char* path, Json::Value& attributes) override;
    // Both writes: a caught exception is logged and answered with status 6.
    STATUS SetValueForPath(const char* path, const char* format, Json::Value value,
                           bool enforce) override;
    STATUS SetValueForPath(const char* path, const char* format, const char* value,
                           bool enforce) override;
    void AddObjectToPath(const char* parentPath, const char* name, std::string& jsonText) override;
    std::string GetStatusString(STATUS status) override;
    bool StorePreset(const std::string& root, const std::map<std::string, std::string>& arguments,
                     std::string& result) override;
    bool RecallPreset(const std::string& root, const std::map<std::string, std::string>& arguments,
                      std::string& result) override;
    bool AddPreset(const std::string& root, const std::map<std::string, std::string>& arguments,
                   std::string& result) override;
    void GetObjectsParameters(Zelkor::ObjectParamContainer& request, bool recursive) override;
    void SetObjectsParameters(Zelkor::ObjectParamContainer& request) override;
    STATUS VerifyPath(const char* path, const char* format) override;
    // A caught exception is logged and answered with an empty list.
    std::vector<std::string> GetDescriptorForPath(const char* path, unsigned recursive) override;
    bool StoreEvent(const std::string& eventJson) override;
    bool RetrieveEvents(long long from, unsigned minimumPriority,
                        std::vector<std::string>& out) override;
    bool RetrieveEventsUpTo(long long from, unsigned minimumPriority, std::size_t maxBytes,
                            std::vector<std::string>& out) override;

private:
    // Writes the operation's begin line; without storage also its "No storage" line, and
    // false.
    bool begin(const char* beginText, const char* noStorageText) const;
    bool begin(const char* beginText, const char* path, const char* noStorageText) const;
    // The begin line, then the forwarded call, or `noStorage` without storage.
    template <class Result, class Call>
    Result forward(const char* beginText, const char* noStorageText, Result noStorage,
                   Call call) const;
    // Runs a forwarded call; an exception is logged with the operation's two texts and
    // `failed` is the answer.
    template <class Result, class Call>
    Result guarded(const char* standardText, const char* otherText, Result failed,
                   Call call) const;
    template <class Value>
    STATUS write(const char* path, const char* format, Value value, bool enforce);

    std::shared_ptr<Zelkor::IStorage> _storage;
};
