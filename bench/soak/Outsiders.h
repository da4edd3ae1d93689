#pragma once
// Who belongs to the run, and who else a node of it listed. The run's GUIDs are the
// devices' fixed ones and the one each process of a node gives in its "discovery" line
// (the router and the controllers make a new one at each start). Any other GUID in a
// node's "device" line is a node outside the run: the run is kept to itself, so each one
// is a fault. They are judged when the run ends, so that the order in which the nodes'
// lines are read does not matter.
//
// Threads: the run's one thread.

#include <map>
#include <set>
#include <string>

#include "Findings.h"

namespace ZelkorSoak {

class Outsiders {
public:
    // A GUID of the run, in any usual form.
    void Member(const std::string& guid);
    // A "device" line of `observer`'s naming the device `guid` (empty: not yet known), as
    // `line`, at `now` seconds.
    void Listed(const std::string& observer, const std::string& guid, const std::string& line, double now);
    // The GUIDs listed that are not the run's, each with the first line that listed it.
    Findings::Kind Found() const;

private:
    std::set<std::string> _members;
    // GUID -> the first line that listed it.
    std::map<std::string, std::string> _listed;
};

}  // namespace ZelkorSoak
