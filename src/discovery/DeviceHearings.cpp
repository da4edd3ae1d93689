#include "discovery/DeviceHearings.h"

namespace Zelkor {

void DeviceHearings::Heard(const std::string& guid, std::uint64_t round) {
    const auto [at, added] = _byGuid.try_emplace(guid);
    Record& record = at->second;
    if (!added) {
        if (record.established) {
            return;
        }
        _newcomers.erase(record.order);
        if (record.round != round) {
            record.established = true;
            return;
        }
    }
    record.round = round;
    record.order = _nextOrder++;
    _newcomers.emplace(record.order, guid);
}

std::string DeviceHearings::FirstNewcomer(const std::function<bool(const std::string& guid)>& take) const {
    for (const auto& [order, guid] : _newcomers) {
        if (take(guid)) {
            return guid;
        }
    }
    return std::string();
}

void DeviceHearings::Erase(const std::string& guid) {
    const auto found = _byGuid.find(guid);
    if (found == _byGuid.end()) {
        return;
    }
    if (!found->second.established) {
        _newcomers.erase(found->second.order);
    }
    _byGuid.erase(found);
}

void DeviceHearings::Clear() {
    _byGuid.clear();
    _newcomers.clear();
}

}  // namespace Zelkor
