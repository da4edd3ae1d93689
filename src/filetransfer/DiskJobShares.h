#pragma once
// What each requester has waiting on the disk worker of the file-system words. Every
// request of those words waits there in arrival order, and each holds its route and path
// until its reply is built: without shares, one requester asking faster than the disk
// answers would fill the worker's queue, and the memory its jobs hold, alone. A requester
// is a connection and the originator its request names (the requesters behind one router
// share its connection, never their shares). Each may have at most MaxJobs jobs and
// MaxBytes bytes waiting, and all of them together MaxTotalBytes; a request beyond is
// refused at once.
//
// Threads: the event loop's alone (jobs are taken when a request comes and given back
// when its reply is sent, both on the loop).

#include <cstddef>
#include <map>
#include <string>
#include <utility>

namespace Zelkor {

class DiskJobShares {
public:
    static constexpr std::size_t MaxJobs = 16;
    static constexpr std::size_t MaxBytes = std::size_t{256} << 10;
    static constexpr std::size_t MaxTotalBytes = std::size_t{4} << 20;

    using Requester = std::pair<const void*, std::string>;

    // Takes a share for one job holding `bytes`; false, and nothing taken, when the
    // requester or all of them would hold too much.
    bool Take(const Requester& requester, std::size_t bytes);
    // Gives back what Take took for one job.
    void Give(const Requester& requester, std::size_t bytes);

    std::size_t Jobs(const Requester& requester) const;
    // Whether any requester on `connection` has a job waiting or running.
    bool Holds(const void* connection) const;
    std::size_t TotalBytes() const { return _totalBytes; }

private:
    struct Share {
        std::size_t jobs = 0;
        std::size_t bytes = 0;
    };
    std::map<Requester, Share> _shares;
    std::size_t _totalBytes = 0;
};

}  // namespace Zelkor
