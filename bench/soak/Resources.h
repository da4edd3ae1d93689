#pragma once
// What a node holds of the host, read from /proc: resident memory and open descriptors,
// sampled over the run. Start is the first sample once the load began; max the largest
// of any sample, every incarnation of the node counted; end the last sample taken.

#include <sys/types.h>

namespace ZelkorSoak {

struct Figure {
    long start = -1;
    long max = -1;
    long end = -1;

    void Add(long value, bool first);
};

class Resources {
public:
    // Samples process `pid`; `first` makes this sample the start (a sample that cannot be
    // read changes nothing).
    void Sample(pid_t pid, bool first);

    const Figure& RssKb() const { return _rss; }
    const Figure& Descriptors() const { return _descriptors; }

private:
    Figure _rss;
    Figure _descriptors;
};

// VmRSS of `pid` in kB; -1 when unreadable.
long ResidentKb(pid_t pid);
// Entries of /proc/PID/fd; -1 when unreadable.
long OpenDescriptors(pid_t pid);

}  // namespace ZelkorSoak
