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

void GuidTimes::Clear() {
    _byGuid.clear();
    _pairs.clear();
}

}  // namespace Zelkor
