// The discovery service's side of the network exclusion rules: the application's
// requests, the check of a listed device, and the goodbye to the devices a new rule names.

#include <set>

#include <boost/algorithm/string/predicate.hpp>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryService.h"
#include "discovery/GuidText.h"

namespace Zelkor {

void DiscoveryService::AddNetworkRuleExcusion(std::vector<std::string> classnames, std::vector<std::string> names,
                                              std::vector<std::string> guids, RuleReply reply) {
    _exclusionHandler->AddNetworkRuleExcusion(classnames, names, guids, reply);
}

void DiscoveryService::RemoveNetworkRuleExcusion(std::vector<std::string> classnames, std::vector<std::string> names,
                                                 std::vector<std::string> guids, RuleReply reply) {
    _exclusionHandler->RemoveNetworkRuleExcusion(classnames, names, guids, reply);
}

bool DiscoveryService::IsDeviceExcludedFromDisco(std::shared_ptr<IDevice> device) {
    if (!device) {
        return false;
    }
    const DiscoInfo info = device->GetDiscoInfo();
    return _exclusionHandler->IsDeviceExcludedFromDisco(info.classname, info.name, info.guid);
}

void DiscoveryService::DisconnectDeviceBy(ExcludedDevice::Type type, const std::vector<std::string>& values) {
    std::set<std::shared_ptr<DeviceImpl>> named;
    {
        std::lock_guard<std::mutex> lock(_deviceTablesMutex);
        const auto addAll = [&](const std::unordered_set<std::string>& guids) {
            for (const auto& guid : guids) {
                if (auto device = deviceOfGuidLocked(guid)) {
                    named.insert(std::move(device));
                }
            }
        };
        for (const auto& value : values) {
            if (type == ExcludedDevice::ClassName) {
                // As the disco rule excludes: the class name itself and every longer one
                // that begins with it.
                for (const auto& [classname, guids] : _guidsByClassName) {
                    if (classname == value || (!value.empty() && boost::algorithm::starts_with(classname, value))) {
                        addAll(guids);
                    }
                }
            } else if (type == ExcludedDevice::Name) {
                const auto found = _guidsByName.find(value);
                if (found != _guidsByName.end()) {
                    addAll(found->second);
                }
            } else if (type == ExcludedDevice::Guid) {
                if (auto device = deviceOfGuidLocked(CanonicalGuid(value))) {
                    named.insert(std::move(device));
                }
            }
        }
    }
    // Outside the tables' lock: the device's disconnect reaches back into the wanted sets
    // and the tables. Its socket work hops onto the loop by itself.
    for (const auto& device : named) {
        device->SendGoodbye();
    }
}

}  // namespace Zelkor
