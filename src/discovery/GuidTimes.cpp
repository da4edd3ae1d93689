#include "discovery/GuidTimes.h"

namespace Zelkor {

void GuidTimes::Set(const std::string& guid, std::int64_t time) {
    _byGuid[guid] = time;
    _pairs.emplace(time, guid);
}

void GuidTimes::Erase(const std::string& guid) {
    const auto found = _byGuid.find(guid);
    if (found != _byGuid.end()) {
        _pairs.erase({found->second, guid});
        _byGuid.erase(found);
    }
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
}

}  // namespace Zelkor
