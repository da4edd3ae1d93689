#include "discovery/GuidTimes.h"

#include <utility>

namespace Zelkor {

void GuidTimes::Set(const std::string& guid, std::int64_t time) {
    if (const auto found = _byGuid.find(guid); found != _byGuid.end()) {
        found->second = time;
    } else if (_spareGuid) {
        _spareGuid.key() = guid;
        _spareGuid.mapped() = time;
        _byGuid.insert(std::move(_spareGuid));
    } else {
        _byGuid.emplace(guid, time);
    }
    if (_sparePair) {
        _sparePair.value().first = time;
        _sparePair.value().second = guid;
        // A pair already there hands the node back.
        _sparePair = _pairs.insert(std::move(_sparePair)).node;
    } else {
        _pairs.emplace(time, guid);
    }
}

void GuidTimes::Erase(const std::string& guid) {
    const auto found = _byGuid.find(guid);
    if (found == _byGuid.end()) {
        return;
    }
    if (auto pair = _pairs.find({found->second, guid}); pair != _pairs.end()) {
        _sparePair = _pairs.extract(pair);
    }
    _spareGuid = _byGuid.extract(found);
}

const std::int64_t* GuidTimes::Find(const std::string& guid) const {
    const auto found = _byGuid.find(guid);
    return found == _byGuid.end() ? nullptr : &found->second;
}

void GuidTimes::Walk(std::int64_t cutoff, const Visit& visit) {
    for (auto pair = _pairs.begin(); pair != _pairs.end() && pair->first <= cutoff;) {
        const auto latest = _byGuid.find(pair->second);
        const Step step = visit(pair->second, pair->first, latest == _byGuid.end() ? nullptr : &latest->second);
        if (step == Step::Keep) {
            ++pair;
            continue;
        }
        if (step == Step::DropGuid && latest != _byGuid.end()) {
            _byGuid.erase(latest);
        }
        pair = _pairs.erase(pair);
    }
}

void GuidTimes::Clear() {
    _byGuid.clear();
    _pairs.clear();
    _spareGuid = {};
    _sparePair = {};
}

}  // namespace Zelkor
