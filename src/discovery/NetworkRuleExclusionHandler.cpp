#include "discovery/NetworkRuleExclusionHandler.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include <boost/algorithm/string/predicate.hpp>

#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"
#include "storage/ContainerFormatValue.h"
#include "storage/ObjectParamContainer.h"
#include "storage/StorageModel.h"

namespace Zelkor {

namespace {

using Type = ExcludedDevice::Type;

const char* const kRulesPath = "/configuration/network/rules";
const char* const kExcludePath = "/configuration/network/rules/exclude";
const char* const kDiscoPath = "/configuration/network/rules/exclude/disco";
const char* const kListPath = "/configuration/network/rules/exclude/list";
// The element count assumed when an array does not say.
constexpr std::uint64_t kDefaultElements = 32;
constexpr Type kTypes[] = {ExcludedDevice::ClassName, ExcludedDevice::Name, ExcludedDevice::Guid};

const char* const kNoParameter = "No parameter to set";
const char* const kNotPrepared = "Database not prepared for network rules";
const char* const kAlreadyActive = "Network rule already active";

std::string typePath(const std::string& base, Type type) { return base + "/" + ExcludedDevice::GetTypeName(type); }

std::string elementPath(const std::string& typePath, std::uint64_t element) {
    return typePath + "/" + std::to_string(element) + "/name";
}

// A GUID rule names one device whatever form its GUID is written in, so GUIDs are kept
// and compared in the canonical form; a text that is no GUID stays as it was written.
std::string normalised(Type type, const std::string& value) {
    if (type != ExcludedDevice::Guid) {
        return value;
    }
    std::string canonical = CanonicalGuid(value);
    return canonical.empty() ? value : canonical;
}

bool contains(const std::vector<std::string>& values, const std::string& value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

const char* ExcludedDevice::GetTypeName(Type type) {
    switch (type) {
        case ClassName: return "classname";
        case Name: return "name";
        case Guid: return "guid";
    }
    return "unknown";
}

NetworkRuleExclusionHandler::NetworkRuleExclusionHandler(std::shared_ptr<StorageModel> storage,
                                                         DiscoveryService* discovery)
    : ZelkorLoggable("RULE"), _storage(std::move(storage)), _discovery(discovery) {}

// --- loading ---------------------------------------------------------------------------

void NetworkRuleExclusionHandler::LoadAllNetworkExclusion() {
    Trace("ZK5300I NetworkRuleExclusionHandler::LoadAllNetworkExclusion begin");
    std::lock_guard<std::mutex> lock(_mutex);
    _discoRules.clear();
    _listRules.clear();
    if (!IsAnyNetworkRuleSet()) {
        Debug("ZK5301I No network rules set found");
        return;
    }
    AddExclusionForEmptyParameters();
    LoadNetworkExclusions(kDiscoPath, _discoRules);
    LoadNetworkExclusions(kListPath, _listRules);
    Trace("ZK5302I NetworkRuleExclusionHandler::LoadAllNetworkExclusion end");
}

bool NetworkRuleExclusionHandler::IsAnyNetworkRuleSet() {
    Trace("ZK5303I NetworkRuleExclusionHandler::IsAnyNetworkRuleSet begin");
    ObjectParamContainer request;
    ContainerFormatValue exclude;
    exclude.AddContainer("exclude", "variant", 0, false);
    request.AddContainers(kRulesPath, exclude);
    _storage->GetObjectsParameters(request, true);
    const auto names = request.GetContainerNames();
    const auto count = std::count_if(names.begin(), names.end(), [](const std::string& name) {
        return boost::algorithm::starts_with(name, kExcludePath);
    });
    Info("ZK5304I Exclude rule categories found", count);
    return count >= 1;
}

void NetworkRuleExclusionHandler::AddExclusionForEmptyParameters() {
    Trace("ZK5321I NetworkRuleExclusionHandler::AddExclusionForEmptyParameters begin");
    _discoRules.push_back({ExcludedDevice::ClassName, ""});
    _discoRules.push_back({ExcludedDevice::Name, ""});
    Trace("ZK5322I NetworkRuleExclusionHandler::AddExclusionForEmptyParameters end");
}

void NetworkRuleExclusionHandler::LoadNetworkExclusions(const std::string& base, std::vector<ExcludedDevice>& rules) {
    Trace("ZK5306I NetworkRuleExclusionHandler::LoadNetworkExclusions begin");
    for (const Type type : kTypes) {
        LoadNetworkExclusion(base, type, rules);
    }
    Trace("ZK5307I NetworkRuleExclusionHandler::LoadNetworkExclusions end");
}

void NetworkRuleExclusionHandler::LoadNetworkExclusion(const std::string& base, Type type,
                                                       std::vector<ExcludedDevice>& rules) {
    Trace("ZK5308I NetworkRuleExclusionHandler::LoadNetworkExclusion begin");
    const std::string path = typePath(base, type);
    const std::uint64_t max = GetMaxElement(path);
    Debug("ZK5309I GetMaxElement returned", max);
    for (std::uint64_t element = 1; element <= max; ++element) {
        const std::string at = elementPath(path, element);
        std::string value;
        if (_storage->GetValueForPath(at.c_str(), "string", value) != IStorage::PathOk) {
            Summary("ZK5312I Path not found in storage", at);
            return;
        }
        Detail("ZK5310I Path " + at + " value: (" + value + ")");
        if (!value.empty()) {
            rules.push_back({type, normalised(type, value)});
            Summary("ZK5311I Exclusion added for", value);
        }
    }
    Trace("ZK5313I NetworkRuleExclusionHandler::LoadNetworkExclusion end");
}

// --- storage arrays ----------------------------------------------------------------------

std::uint64_t NetworkRuleExclusionHandler::GetMaxElement(const std::string& path) {
    Trace("ZK5314I NetworkRuleExclusionHandler::GetMaxElement begin");
    const std::string sizePath = path + "/.size";
    std::string text;
    const auto status = _storage->GetValueForPath(sizePath.c_str(), "variant", text);
    Debug("ZK5315I GetValueForPath(" + sizePath + ") returned " +
          (status == IStorage::PathOk ? text : "error " + std::to_string(status)));
    std::uint64_t max = kDefaultElements;
    std::uint64_t number = 0;
    if (status != IStorage::PathOk) {
        Warning("ZK5316W Could not find the path in storage: ", sizePath);
    } else if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front())) ||
               std::from_chars(text.data(), text.data() + text.size(), number).ec != std::errc()) {
        Error("ZK5317E Invalid parameter in storage: ", text);
    } else {
        if (number == 0) {
            Debug("ZK5318I Size parameter is 0, path: ", path);
        }
        max = number;
    }
    Trace("ZK5319I NetworkRuleExclusionHandler::GetMaxElement end");
    return max;
}

bool NetworkRuleExclusionHandler::readElement(const std::string& elementPath, std::string& value) {
    return _storage->GetValueForPath(elementPath.c_str(), "variant", value) == IStorage::PathOk;
}

std::uint64_t NetworkRuleExclusionHandler::FindNextEmptyElement(const std::string& path, std::uint64_t max) {
    for (std::uint64_t element = 1; element <= max; ++element) {
        std::string value;
        if (!readElement(elementPath(path, element), value) || value.empty()) {
            return element;
        }
    }
    return 0;
}

// --- checks ------------------------------------------------------------------------------

bool NetworkRuleExclusionHandler::Matches(const ExcludedDevice& rule, const ExcludedDevice& device, bool byPrefix) {
    if (rule.type != device.type) {
        return false;
    }
    return rule.value == device.value || (byPrefix && rule.type == ExcludedDevice::ClassName &&
                                          !rule.value.empty() && boost::algorithm::starts_with(device.value, rule.value));
}

bool NetworkRuleExclusionHandler::isExcluded(const std::vector<ExcludedDevice>& rules, const ExcludedDevice& device,
                                             bool byPrefix) const {
    const ExcludedDevice asked{device.type, normalised(device.type, device.value)};
    std::lock_guard<std::mutex> lock(_mutex);
    return std::any_of(rules.begin(), rules.end(),
                       [&](const ExcludedDevice& rule) { return Matches(rule, asked, byPrefix); });
}

bool NetworkRuleExclusionHandler::IsDeviceExcludedFromDisco(const ExcludedDevice& device) const {
    return isExcluded(_discoRules, device, true);
}

bool NetworkRuleExclusionHandler::IsDeviceExcludedFromDisco(const std::string& classname, const std::string& name,
                                                            const std::string& guid) const {
    return IsDeviceExcludedFromDisco({ExcludedDevice::ClassName, classname}) ||
           IsDeviceExcludedFromDisco({ExcludedDevice::Name, name}) ||
           IsDeviceExcludedFromDisco({ExcludedDevice::Guid, guid});
}

bool NetworkRuleExclusionHandler::IsDeviceExcludedFromList(const ExcludedDevice& device) const {
    return isExcluded(_listRules, device, false);
}

bool NetworkRuleExclusionHandler::IsDeviceExcludedFromList(const std::string& classname, const std::string& name,
                                                           const std::string& guid) const {
    return IsDeviceExcludedFromList({ExcludedDevice::ClassName, classname}) ||
           IsDeviceExcludedFromList({ExcludedDevice::Name, name}) ||
           IsDeviceExcludedFromList({ExcludedDevice::Guid, guid});
}

bool NetworkRuleExclusionHandler::isActiveLocked(Type type, const std::string& value) const {
    return std::find(_discoRules.begin(), _discoRules.end(), ExcludedDevice{type, value}) != _discoRules.end();
}

std::vector<ExcludedDevice> NetworkRuleExclusionHandler::DiscoRules() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _discoRules;
}

std::vector<ExcludedDevice> NetworkRuleExclusionHandler::ListRules() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _listRules;
}

// --- adding ------------------------------------------------------------------------------

bool NetworkRuleExclusionHandler::IsThereAnyParameterToSet(const Lists& lists) {
    return std::any_of(lists.begin(), lists.end(), [](const std::vector<std::string>* list) { return !list->empty(); });
}

void NetworkRuleExclusionHandler::VerifyInput(Lists& lists, Outcome& outcome) {
    for (auto* list : lists) {
        list->erase(std::unique(list->begin(), list->end()), list->end());
    }
    auto& guids = *lists[ExcludedDevice::Guid];
    std::vector<std::string> valid;
    for (const auto& guid : guids) {
        std::string canonical = CanonicalGuid(guid);
        if (canonical.empty()) {
            outcome.Fail("Guid not valid", guid);
        } else {
            valid.push_back(std::move(canonical));
        }
    }
    guids.swap(valid);
}

void NetworkRuleExclusionHandler::CheckAndRemoveAlreadyActiveExclusionsFromList(Lists& lists, Outcome& outcome) {
    for (const Type type : kTypes) {
        auto& list = *lists[type];
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const std::string& value) {
                                      if (!isActiveLocked(type, value)) {
                                          return false;
                                      }
                                      outcome.Fail(kAlreadyActive, value);
                                      return true;
                                  }),
                   list.end());
    }
}

void NetworkRuleExclusionHandler::SetAllExclusions(Lists& lists, Outcome& outcome) {
    // A value the request repeats further on is active by then: it is taken, stored and
    // told goodbye once.
    for (const Type type : kTypes) {
        auto& list = *lists[type];
        std::vector<std::string> taken;
        for (const auto& value : list) {
            if (isActiveLocked(type, value)) {
                outcome.Fail(kAlreadyActive, value);
                continue;
            }
            _discoRules.push_back({type, value});
            outcome.Note("Added to active exclusion list", value);
            taken.push_back(value);
        }
        list.swap(taken);
    }
}

void NetworkRuleExclusionHandler::InsertAllExclusionsToDatabase(const Lists& lists, Outcome& outcome) {
    for (const Type type : kTypes) {
        if (!lists[type]->empty()) {
            InsertToDatabase(typePath(kDiscoPath, type), *lists[type], outcome);
        }
    }
}

void NetworkRuleExclusionHandler::InsertToDatabase(const std::string& typePath, const std::vector<std::string>& values,
                                                   Outcome& outcome) {
    const std::uint64_t max = GetMaxElement(typePath);
    std::uint64_t element = FindNextEmptyElement(typePath, max);
    if (element == 0) {
        for (const auto& value : values) {
            outcome.Fail("Database full", value);
        }
        return;
    }
    const auto taken = [&](std::uint64_t at) {
        std::string held;
        return readElement(elementPath(typePath, at), held) && !held.empty();
    };
    for (const auto& value : values) {
        while (element <= max && taken(element)) {
            ++element;
        }
        if (element > max) {
            outcome.Fail("Database full", value);
            continue;
        }
        const std::string at = elementPath(typePath, element++);
        if (_storage->SetValueForPath(at.c_str(), "variant", Json::Value(value), true) == IStorage::PathOk) {
            outcome.Note("Added to storage", value);
        } else {
            Error("ZK5320E Error writing parameter to path: ", at);
            outcome.Fail("Could not write parameter to storage", value);
        }
    }
}

void NetworkRuleExclusionHandler::DisconnectDevices(const Lists& lists) {
    if (!_discovery) {
        return;
    }
    for (const Type type : kTypes) {
        if (!lists[type]->empty()) {
            _discovery->DisconnectDeviceBy(type, *lists[type]);
        }
    }
}

void NetworkRuleExclusionHandler::AddNetworkRuleExcusion(std::vector<std::string>& classnames,
                                                         std::vector<std::string>& names,
                                                         std::vector<std::string>& guids, const RuleReply& reply) {
    Lists lists{&classnames, &names, &guids};
    Outcome outcome;
    std::string message = kNoParameter;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!IsAnyNetworkRuleSet()) {
            message = kNotPrepared;
        } else if (IsThereAnyParameterToSet(lists)) {
            VerifyInput(lists, outcome);
            if (IsThereAnyParameterToSet(lists)) {
                CheckAndRemoveAlreadyActiveExclusionsFromList(lists, outcome);
                if (IsThereAnyParameterToSet(lists)) {
                    SetAllExclusions(lists, outcome);
                    InsertAllExclusionsToDatabase(lists, outcome);
                    taken = true;
                }
            }
        }
    }
    if (taken) {
        DisconnectDevices(lists);
        message = outcome.error ? "Error occurred" : "No error occurred";
    }
    if (reply) {
        reply(message, taken && !outcome.error, outcome.details);
    }
}

// --- removing ----------------------------------------------------------------------------

void NetworkRuleExclusionHandler::RemoveFromActiveExclusions(const Lists& lists, Outcome& outcome) {
    _discoRules.erase(std::remove_if(_discoRules.begin(), _discoRules.end(),
                                     [&](const ExcludedDevice& rule) {
                                         if (!contains(*lists[rule.type], rule.value)) {
                                             return false;
                                         }
                                         outcome.Note("Removed from active exclusion list", rule.value);
                                         return true;
                                     }),
                      _discoRules.end());
}

void NetworkRuleExclusionHandler::DeleteAllExclusionsFromDatabase(const Lists& lists, Outcome& outcome) {
    for (const Type type : kTypes) {
        if (!lists[type]->empty()) {
            DeleteExclusionsByTypeFromDatabase(typePath(kDiscoPath, type), type, *lists[type], outcome);
        }
    }
}

void NetworkRuleExclusionHandler::DeleteExclusionsByTypeFromDatabase(const std::string& typePath, Type type,
                                                                     const std::vector<std::string>& values,
                                                                     Outcome& outcome) {
    const std::uint64_t max = GetMaxElement(typePath);
    for (std::uint64_t element = 1; element <= max; ++element) {
        const std::string at = elementPath(typePath, element);
        std::string held;
        if (!readElement(at, held) || held.empty() || !contains(values, normalised(type, held))) {
            continue;
        }
        if (_storage->SetValueForPath(at.c_str(), "variant", Json::Value(""), false) == IStorage::PathOk) {
            outcome.Note("Removed from storage", held);
        } else {
            outcome.Fail("Remove from storage failed", held);
        }
    }
}

void NetworkRuleExclusionHandler::RemoveNetworkRuleExcusion(std::vector<std::string>& classnames,
                                                            std::vector<std::string>& names,
                                                            std::vector<std::string>& guids, const RuleReply& reply) {
    Lists lists{&classnames, &names, &guids};
    Outcome outcome;
    std::string message = kNoParameter;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!IsAnyNetworkRuleSet()) {
            message = kNotPrepared;
        } else if (IsThereAnyParameterToSet(lists)) {
            // A GUID that does not read fails the removal: it can name no stored rule.
            VerifyInput(lists, outcome);
            if (IsThereAnyParameterToSet(lists)) {
                RemoveFromActiveExclusions(lists, outcome);
                DeleteAllExclusionsFromDatabase(lists, outcome);
                taken = true;
                message = outcome.error ? "Error occurred" : "No error occurred";
            }
        }
    }
    if (reply) {
        reply(message, taken && !outcome.error, outcome.details);
    }
}

}  // namespace Zelkor
