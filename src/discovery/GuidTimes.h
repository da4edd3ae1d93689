#pragma once
// One of the discovery service's time tables: the latest time per device GUID, and the
// (time, GUID) pairs in time order that the discovery timer walks from the oldest.
// A pair whose GUID has a newer time, or none, is dropped by the walk when it reaches it.
//
// Ownership: a member of the discovery service. Threads: none of its own; the service's
// device-tables mutex guards it.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace Zelkor {

class GuidTimes {
public:
    using Pair = std::pair<std::int64_t, std::string>;

    // The GUID's time becomes `time`, and the pair joins the walk.
    void Set(const std::string& guid, std::int64_t time);
    // Forgets the GUID's time and its latest pair.
    void Erase(const std::string& guid);
    void Clear();
    std::size_t Size() const { return _byGuid.size(); }

private:
    std::map<std::string, std::int64_t> _byGuid;
    std::set<Pair> _pairs;
};

}  // namespace Zelkor
