#pragma once
// The judgement of each node's resident memory under the fuzz: once warmed up, a node
// must stay level. Its level after warm-up is the median of its samples from 30 s to
// 90 s into the load; its level at the end the median of its samples of the load's last
// 60 s. The end may lie above the first by 4 MB, or by 10 % of the first where that is
// more; a node past that fails the run. Medians, not single samples: a long line being
// read and answered lifts a node by up to some 15 MB for a sample or two, which passes,
// while a rise that stays moves the median.
//
// A node is judged only when its one process lived through the whole load (one that
// ended by itself fails the run anyway), and only after a load of at least 150 s, so that
// the two stretches do not overlap.
//
// Threads: the run's one thread.

#include <deque>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ZelkorSoak {

class MemoryBound {
public:
    // Seconds of the load: the warm-up, and the stretch each level is taken over.
    static constexpr double kWarmUp = 30;
    static constexpr double kStretch = 60;
    // The rise allowed: this many kB, or this share of the level after warm-up if more.
    static constexpr long kAllowedKb = 4 * 1024;
    static constexpr double kAllowedShare = 0.10;

    struct Verdict {
        std::string node;
        bool judged = false;
        // Why it was not judged.
        std::string why;
        long afterWarmUpKb = -1;
        long atEndKb = -1;
        long allowedKb = 0;

        long RiseKb() const { return atEndKb - afterWarmUpKb; }
        bool Exceeded() const { return judged && RiseKb() > allowedKb; }
    };

    // A sample of `node`'s process `pid`, `second` seconds into the load.
    void Add(const std::string& node, pid_t pid, double second, long rssKb);
    // Each node's verdict after a load of `loadSeconds`, in the order given.
    std::vector<Verdict> Judge(const std::vector<std::string>& nodes, double loadSeconds) const;

private:
    struct Sample {
        double second = 0;
        long kb = 0;
    };
    struct Samples {
        pid_t pid = 0;
        bool restarted = false;
        std::vector<long> afterWarmUp;
        // The last stretch's samples, oldest first.
        std::deque<Sample> recent;
    };

    std::map<std::string, Samples> _nodes;
};

}  // namespace ZelkorSoak
