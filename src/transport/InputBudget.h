#pragma once
// The node-wide bound of received bytes that wait in unfinished lines. Each connection
// already bounds its own unfinished line; this bounds their sum, so that many silent peers
// cannot pin the node's memory between them. A connection holds a Share and resizes it to
// the bytes its unfinished line holds.
//
// When a share's growth would pass the bound, the share with the largest unfinished line
// goes (its owner is told to close), not the one that grew: a few peers holding huge
// lines must not shut out every other peer whose line spans two reads. A line shorter
// than SmallLine is never refused for the bound, nor counted against it: many peers each
// holding a short line would otherwise leave no room for any long one. What short lines
// hold together is bounded by the number of connections.
//
// Ownership: the total is process-wide (one node per process); a Share belongs to one
// connection and gives its bytes back when it goes.
// Threads: shares of connections on different loops may meet here; every change is made
// under one mutex, and an evicted share's owner is told outside it, on the thread of the
// share that grew.

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>

#include "transport/LineFramer.h"

namespace Zelkor {

class InputBudget {
public:
    // Twice what one connection may hold.
    static constexpr std::size_t DefaultLimit = 2 * LineFramer::DefaultMaxLineLength;
    // An unfinished line this short always fits: ordinary requests never fail for the bound.
    static constexpr std::size_t SmallLine = std::size_t{64} << 10;

    static void SetLimit(std::size_t bytes) { _limit.store(bytes); }
    static std::size_t Limit() { return _limit.load(); }
    // Bytes held by all shares.
    static std::size_t Used();

    class Share {
    public:
        Share() = default;
        ~Share();
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        // Called, once, when another share's growth took this one's bytes: the owner must
        // close. Set before the share first grows.
        void OnEvicted(std::function<void()> evicted) { _evicted = std::move(evicted); }

        // Makes the share `bytes` large. Growing past the limit evicts the largest share
        // until it fits; false, and nothing changes, when this share is itself the largest
        // (or was evicted). The limit never counts below `floor`, the connection's own
        // bound, so that one connection can always use what it is allowed.
        bool Resize(std::size_t bytes, std::size_t floor);
        void Release();
        std::size_t Bytes() const;

    private:
        friend class InputBudget;
        std::size_t _bytes = 0;
        bool _evictedAlready = false;
        std::function<void()> _evicted;
    };

private:
    static std::atomic<std::size_t> _limit;
    static std::mutex _mutex;
    static std::size_t _used;
    // Bytes held by shares of at least SmallLine: what the limit bounds.
    static std::size_t _usedByLong;
    static std::size_t Long(std::size_t bytes) { return bytes >= SmallLine ? bytes : 0; }
    // The shares that hold bytes.
    static std::set<Share*> _shares;
};

}  // namespace Zelkor
