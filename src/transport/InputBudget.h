#pragma once
// The node-wide bound of received bytes that wait in unfinished lines. Each connection
// already bounds its own unfinished line; this bounds their sum, so that many silent peers
// cannot pin the node's memory between them. A connection holds a Share and resizes it to
// the bytes its unfinished line holds; a share that cannot grow means the connection must
// go.
//
// Ownership: the total is process-wide (one node per process); a Share belongs to one
// connection and gives its bytes back when it goes.
// Threads: the total and the limit are atomic, so connections on different loops may share
// them; one Share is used by one thread at a time.

#include <atomic>
#include <cstddef>

#include "transport/LineFramer.h"

namespace Zelkor {

class InputBudget {
public:
    // Twice what one connection may hold.
    static constexpr std::size_t DefaultLimit = 2 * LineFramer::DefaultMaxLineLength;

    static void SetLimit(std::size_t bytes) { _limit.store(bytes); }
    static std::size_t Limit() { return _limit.load(); }
    // Bytes held by all shares.
    static std::size_t Used() { return _used.load(); }

    class Share {
    public:
        Share() = default;
        ~Share() { Release(); }
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        // Makes the share `bytes` large. Growing fails, and nothing changes, when the total
        // would pass the limit; the limit never counts below `floor`, the connection's own
        // bound, so that one connection can always use what it is allowed.
        bool Resize(std::size_t bytes, std::size_t floor);
        void Release();
        std::size_t Bytes() const { return _bytes; }

    private:
        std::size_t _bytes = 0;
    };

private:
    static std::atomic<std::size_t> _limit;
    static std::atomic<std::size_t> _used;
};

}  // namespace Zelkor
