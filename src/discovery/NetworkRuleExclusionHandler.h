#pragma once
// The network exclusion rules of a node. Disco rules keep a peer out of discovery
// handling (its discovery replies, and what a router reports of it); list rules keep the
// node from asking a peer for its list of discovered devices. The rules live in storage
// under "/configuration/network/rules/exclude/{disco,list}/{classname,name,guid}", arrays
// whose elements hold the value in "name" (an empty one is free), and are loaded once at
// initialisation. The application adds and removes disco rules at run time: an added rule
// is written back to storage and the known devices it names are told goodbye at once.
//
// Matching: a disco rule of class name X excludes every class name that begins with X (X
// not empty); every other rule matches its value exactly. GUIDs match in whatever form
// they are written (hyphens, braces, letter case), as the device tables do.
//
// Ownership: owned by the discovery service, whose storage facade it shares; it holds
// the service by plain pointer (null: no device is told goodbye).
// Threads: any thread, also before the event loop runs. The rules are guarded by one
// mutex, which an add or remove request holds while it reads and writes storage (on the
// caller's thread: the storage's own thread rules apply, see IStorage). The mutex is
// never held while another lock is taken, so the checks may be called under the
// device-list locks; the goodbyes and the reply run after it is released. Each request
// calls its reply exactly once, before it returns.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ZelkorLoggable.h"
#include "discovery/ExcludedDevice.h"

class StorageModel;

namespace Zelkor {

class DiscoveryService;

class NetworkRuleExclusionHandler : public ZelkorLoggable {
public:
    NetworkRuleExclusionHandler(std::shared_ptr<StorageModel> storage, DiscoveryService* discovery);
    NetworkRuleExclusionHandler(const NetworkRuleExclusionHandler&) = delete;
    NetworkRuleExclusionHandler& operator=(const NetworkRuleExclusionHandler&) = delete;

    // Reads the rules from storage. With rules in use, a peer whose class name or name is
    // empty is excluded from discovery too.
    void LoadAllNetworkExclusion();
    // Storage holds the "exclude" arrays.
    bool IsAnyNetworkRuleSet();

    bool IsDeviceExcludedFromDisco(const ExcludedDevice& device) const;
    bool IsDeviceExcludedFromDisco(const std::string& classname, const std::string& name,
                                   const std::string& guid) const;
    bool IsDeviceExcludedFromList(const ExcludedDevice& device) const;
    bool IsDeviceExcludedFromList(const std::string& classname, const std::string& name,
                                  const std::string& guid) const;

    // Disco rules by class name, name and GUID. The lists are changed by the call: what
    // remains is what the request took (GUIDs in their canonical form).
    void AddNetworkRuleExcusion(std::vector<std::string>& classnames, std::vector<std::string>& names,
                                std::vector<std::string>& guids, const RuleReply& reply);
    void RemoveNetworkRuleExcusion(std::vector<std::string>& classnames, std::vector<std::string>& names,
                                   std::vector<std::string>& guids, const RuleReply& reply);

    // Copies of the rules in force, in the order they were added.
    std::vector<ExcludedDevice> DiscoRules() const;
    std::vector<ExcludedDevice> ListRules() const;

private:
    // The three lists of a request, indexed by ExcludedDevice::Type.
    using Lists = std::array<std::vector<std::string>*, 3>;
    // What a request did, reported through its reply.
    struct Outcome {
        RuleDetails details;
        bool error = false;
        void Note(const char* message, const std::string& value) { details[message].push_back(value); }
        void Fail(const char* message, const std::string& value) {
            Note(message, value);
            error = true;
        }
    };

    static bool IsThereAnyParameterToSet(const Lists& lists);
    static bool Matches(const ExcludedDevice& rule, const ExcludedDevice& device, bool byPrefix);
    bool isExcluded(const std::vector<ExcludedDevice>& rules, const ExcludedDevice& device, bool byPrefix) const;
    bool isActiveLocked(ExcludedDevice::Type type, const std::string& value) const;

    std::uint64_t GetMaxElement(const std::string& path);
    std::uint64_t FindNextEmptyElement(const std::string& path, std::uint64_t max);
    // Reads an element's value in the format "variant"; false when the read fails.
    bool readElement(const std::string& elementPath, std::string& value);
    void LoadNetworkExclusions(const std::string& base, std::vector<ExcludedDevice>& rules);
    void LoadNetworkExclusion(const std::string& base, ExcludedDevice::Type type, std::vector<ExcludedDevice>& rules);
    void AddExclusionForEmptyParameters();

    // The request steps; all under the mutex.
    static void VerifyInput(Lists& lists, Outcome& outcome);
    void CheckAndRemoveAlreadyActiveExclusionsFromList(Lists& lists, Outcome& outcome);
    void SetAllExclusions(Lists& lists, Outcome& outcome);
    void InsertAllExclusionsToDatabase(const Lists& lists, Outcome& outcome);
    void InsertToDatabase(const std::string& typePath, const std::vector<std::string>& values, Outcome& outcome);
    void RemoveFromActiveExclusions(const Lists& lists, Outcome& outcome);
    void DeleteAllExclusionsFromDatabase(const Lists& lists, Outcome& outcome);
    void DeleteExclusionsByTypeFromDatabase(const std::string& typePath, ExcludedDevice::Type type,
                                            const std::vector<std::string>& values, Outcome& outcome);
    // Tells goodbye to the known devices the lists name; outside the mutex.
    void DisconnectDevices(const Lists& lists);

    const std::shared_ptr<StorageModel> _storage;
    DiscoveryService* const _discovery;

    mutable std::mutex _mutex;
    std::vector<ExcludedDevice> _discoRules;
    std::vector<ExcludedDevice> _listRules;
};

}  // namespace Zelkor
