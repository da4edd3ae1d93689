#include "discovery/DeviceHearings.h"

#include <iterator>
#include <limits>

namespace Zelkor {

namespace {

constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();

// The first device of `devices` that `take` accepts; "" when none.
std::string firstTaken(const std::map<std::uint64_t, std::string>& devices,
                       const std::function<bool(const std::string& guid)>& take) {
    for (const auto& [order, guid] : devices) {
        if (take(guid)) {
            return guid;
        }
    }
    return std::string();
}

}  // namespace

void DeviceHearings::Heard(const std::string& guid, std::uint64_t round, const DeviceSender& sender) {
    const auto [at, added] = _byGuid.try_emplace(guid);
    Record& record = at->second;
    if (added) {
        const auto remembered = _givenUp.find(guid);
        if (remembered != _givenUp.end()) {
            record.established = remembered->second.round + 1 == round;
            _givenUp.erase(remembered);
        }
    } else {
        leave(record);
        if (record.round + 1 == round) {
            record.established = true;
        }
    }
    record.round = round;
    record.order = _nextOrder++;
    record.sender = sender;
    join(guid, record);
}

std::string DeviceHearings::ToGiveUp(const DeviceSender& newcomer,
                                     const std::function<bool(const std::string& guid)>& take) const {
    const auto own = _shares.find(newcomer);
    const std::size_t held = own == _shares.end() ? 0 : own->second.Size();
    for (auto at = _bySize.rbegin(); at != _bySize.rend() && at->first >= held + 2; ++at) {
        const Share& share = _shares.at(at->second);
        for (const auto* devices : {&share.newcomers, &share.established}) {
            std::string guid = firstTaken(*devices, take);
            if (!guid.empty()) {
                return guid;
            }
        }
    }
    // The senders holding held + 1, by their device heard in one round only least recently
    // heard: the entries below the first of held + 2, counting down.
    const auto above = _withNewcomers.lower_bound({held + 2, 0, DeviceSender()});
    for (auto at = std::make_reverse_iterator(above); at != _withNewcomers.rend() && std::get<0>(*at) == held + 1;
         ++at) {
        std::string guid = firstTaken(_shares.at(std::get<2>(*at)).newcomers, take);
        if (!guid.empty()) {
            return guid;
        }
    }
    return own == _shares.end() ? std::string() : firstTaken(own->second.newcomers, take);
}

bool DeviceHearings::HeardOnce(const std::string& guid) const {
    const auto found = _byGuid.find(guid);
    return found != _byGuid.end() && !found->second.established;
}

void DeviceHearings::Erase(const std::string& guid) {
    const auto found = _byGuid.find(guid);
    if (found == _byGuid.end()) {
        return;
    }
    leave(found->second);
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
    _shares.clear();
    _bySize.clear();
    _withNewcomers.clear();
    _givenUp.clear();
    _givenUpOrder.clear();
}

void DeviceHearings::join(const std::string& guid, const Record& record) {
    Share& share = _shares[record.sender];
    unindex(record.sender, share);
    (record.established ? share.established : share.newcomers).emplace(record.order, guid);
    index(record.sender, share);
}

void DeviceHearings::leave(const Record& record) {
    const auto found = _shares.find(record.sender);
    if (found == _shares.end()) {
        return;
    }
    Share& share = found->second;
    unindex(found->first, share);
    (record.established ? share.established : share.newcomers).erase(record.order);
    if (share.Size() == 0) {
        _shares.erase(found);
        return;
    }
    index(found->first, share);
}

void DeviceHearings::unindex(const DeviceSender& sender, const Share& share) {
    const std::size_t size = share.Size();
    if (size == 0) {
        return;
    }
    _bySize.erase({size, sender});
    if (!share.newcomers.empty()) {
        _withNewcomers.erase({size, kLast - share.newcomers.begin()->first, sender});
    }
}

void DeviceHearings::index(const DeviceSender& sender, const Share& share) {
    const std::size_t size = share.Size();
    if (size == 0) {
        return;
    }
    _bySize.emplace(size, sender);
    if (!share.newcomers.empty()) {
        _withNewcomers.emplace(size, kLast - share.newcomers.begin()->first, sender);
    }
}

}  // namespace Zelkor
