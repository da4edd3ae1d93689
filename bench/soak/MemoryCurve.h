#pragma once
// Each node's resident memory (VmRSS) over the load, one sample every 30 s of it (the
// first taken at or after each mark), for the table at the end of the run: a node whose
// memory climbs under the load shows it there.
//
// Threads: the run's one thread.

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace ZelkorSoak {

class MemoryCurve {
public:
    static constexpr double kStep = 30;

    // A sample of `node`, `second` seconds into the load.
    void Add(const std::string& node, double second, long rssKb);
    // The table, one column per node in the order given; then, for each node, the least
    // and the most of the second half of the samples.
    void Print(std::FILE* out, const std::vector<std::string>& nodes) const;

private:
    // Mark (seconds) -> node -> kB.
    std::map<long, std::map<std::string, long>> _marks;
};

}  // namespace ZelkorSoak
