#include "discovery/DeviceHearings.h"

namespace Zelkor {

void DeviceHearings::Heard(const std::string& guid, std::uint64_t round) {
    const auto [at, added] = _byGuid.try_emplace(guid);
    Record& record = at->second;
    if (added) {
        const auto remembered = _givenUp.find(guid);
        if (remembered != _givenUp.end()) {
            const bool again = remembered->second.round + 1 == round;
            _givenUp.erase(remembered);
            if (again) {
                record.established = true;
                return;
            }
        }
    } else {
        if (record.established) {
            return;
        }
        _newcomers.erase(record.order);
        if (record.round + 1 == round) {
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

void DeviceHearings::GiveUp(const std::string& guid) {
    const auto found = _byGuid.find(guid);
    if (found == _byGuid.end()) {
        return;
    }
    const GivenUp given{found->second.round, _nextOrder++};
    Erase(guid);
    _givenUp.insert_or_assign(guid, given);
    _givenUpOrder.emplace_back(given.order, guid);
    while (_givenUp.size() > Remembered || _givenUpOrder.size() > 2 * Remembered) {
        const auto& [order, oldest] = _givenUpOrder.front();
        const auto remembered = _givenUp.find(oldest);
        if (remembered != _givenUp.end() && remembered->second.order == order) {
            _givenUp.erase(remembered);
        }
        _givenUpOrder.pop_front();
    }
}

void DeviceHearings::Clear() {
    _byGuid.clear();
    _newcomers.clear();
    _givenUp.clear();
    _givenUpOrder.clear();
}

}  // namespace Zelkor
