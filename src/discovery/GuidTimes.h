#pragma once
// One of the discovery service's time tables: the latest time per device GUID, and the
// (time, GUID) pairs in time order that the discovery timer walks from the oldest.
// A pair whose GUID has a newer time, or none, is dropped by the walk when it reaches it.
//
// Ownership: a member of the discovery service. Threads: none of its own; the service's
// device-tables mutex guards it.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace Zelkor {

class GuidTimes {
public:
    using Pair = std::pair<std::int64_t, std::string>;

    // What a walk does with the pair it visits.
    enum class Step {
        Keep,      // the pair stays
        DropPair,  // the pair goes, the GUID's time stays
        DropGuid,  // the pair and the GUID's time go
    };
    // `latest` is the GUID's time, null when it has none.
    using Visit = std::function<Step(const std::string& guid, std::int64_t time, const std::int64_t* latest)>;

    // The GUID's time becomes `time`, and the pair joins the walk.
    void Set(const std::string& guid, std::int64_t time);
    // The GUID's time becomes `time` without a pair: the walk will not reach it again
    // until the next Set.
    void Touch(const std::string& guid, std::int64_t time) { _byGuid[guid] = time; }
    // The GUID's time, or null.
    const std::int64_t* Find(const std::string& guid) const;
    // Visits the pairs from the oldest up to those of `cutoff`, in time order. A walk
    // costs the pairs it visits, not the size of the table.
    void Walk(std::int64_t cutoff, const Visit& visit);
    std::size_t Pairs() const { return _pairs.size(); }
    // Forgets the GUID's time and its latest pair.
    void Erase(const std::string& guid);
    void Clear();
    std::size_t Size() const { return _byGuid.size(); }

private:
    std::map<std::string, std::int64_t> _byGuid;
    std::set<Pair> _pairs;
    // The nodes the last Erase took out, for the next Set to fill: a request's time is set
    // and erased once per round trip, and a reused node costs no allocation.
    std::map<std::string, std::int64_t>::node_type _spareGuid;
    std::set<Pair>::node_type _sparePair;
};

}  // namespace Zelkor
