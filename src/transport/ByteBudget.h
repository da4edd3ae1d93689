#pragma once
// A node-wide bound of bytes that connections hold for their peers. Each connection
// already bounds what it holds; a budget bounds the sum, so that many slow or silent peers
// cannot pin the node's memory between them. There are two: Input(), the bytes received in
// unfinished lines, and Output(), the bytes waiting to be written (the line being written
// included). A connection holds a Share of each and resizes it as its bytes change.
//
// When a share's growth would pass the bound, another share may go (its owner is told to
// close) rather than the grower: a few peers holding huge lines, or reading nothing of
// huge replies, must not shut out every other peer. What marks the peer that
// causes the pressure is that it makes no progress: a peer that reads promptly drains its
// output, an honest sender of a long line keeps sending. So each share keeps the time of
// its last progress, reported by its owner (Progressed) and taken when it starts holding
// bytes, and the share whose progress is the oldest goes first, as long as it is older
// than the grower's; among equally old ones the largest, so that the fewest close. Size
// alone would pick wrongly: many peers each holding a medium amount they never read would
// close the one honest connection that takes a large block, and a router's connection is
// the one that holds most. When the shares older than the grower could not make room
// between them, the grower fails and none of them goes for a growth that fails anyway.
//
// A share smaller than SmallShare is never refused for the bound, nor counted against it,
// nor taken: many peers each holding a little would otherwise leave no room for anyone's
// large line, and ordinary requests and replies never fail for the bound. What small
// shares hold together is bounded by the number of connections.
//
// Ownership: the two budgets are process-wide (one node per process) and outlive every
// connection; a Share belongs to one connection, points at its budget, and gives its
// bytes back when it goes.
// Threads: shares of connections on different loops may meet in a budget; every change
// is made, and the clock read, under the budget's mutex; an evicted share's owner is told
// outside it, on the thread of the share that grew: the owner must hop to its own loop to
// close.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "transport/LineFramer.h"

namespace Zelkor {

class ByteBudget {
public:
    using Clock = std::chrono::steady_clock;

    // Twice what one connection may hold by default, in either direction.
    static constexpr std::size_t DefaultLimit = 2 * LineFramer::DefaultMaxLineLength;
    // A share this small always fits.
    static constexpr std::size_t SmallShare = std::size_t{64} << 10;

    static ByteBudget& Input();
    static ByteBudget& Output();

    explicit ByteBudget(std::size_t limit) : _limit(limit) {}
    ByteBudget(const ByteBudget&) = delete;
    ByteBudget& operator=(const ByteBudget&) = delete;

    void SetLimit(std::size_t bytes) { _limit.store(bytes); }
    std::size_t Limit() const { return _limit.load(); }
    // Bytes held by all shares, small ones included.
    std::size_t Used() const;
    // Where the times of progress come from; steady_clock unless replaced (by a test).
    void SetClock(std::function<Clock::time_point()> clock);

    class Share {
    public:
        explicit Share(ByteBudget& budget) : _budget(budget) {}
        ~Share();
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        // Called, once, when another share's growth took this one's bytes: the owner must
        // close. Set before the share first grows.
        void OnEvicted(std::function<void()> evicted) { _evicted = std::move(evicted); }

        // The owner's peer moved: a write of output reached it, or a read added to the
        // unfinished line. Asking for more room is no progress.
        void Progressed();

        // Makes the share `bytes` large; a share that held nothing progresses now. Growing
        // past the limit evicts, one at a time, the counted share that progressed longest
        // ago, while it did so before this one, until it fits; false, and nothing
        // changes, when those shares would not make room enough (or this one was evicted).
        // Shrinking never evicts. The limit never counts below `floor`, the connection's
        // own bound, so that one connection can always use what it is allowed.
        bool Resize(std::size_t bytes, std::size_t floor);
        void Release();
        std::size_t Bytes() const;

    private:
        friend class ByteBudget;
        ByteBudget& _budget;
        std::size_t _bytes = 0;
        bool _evictedAlready = false;
        std::function<void()> _evicted;
        Clock::time_point _progressedAt{};
    };

private:
    static std::size_t Counted(std::size_t bytes) { return bytes >= SmallShare ? bytes : 0; }
    // The counted shares other than `grower` that progressed before `since`, the oldest
    // first (the largest first among equals); the mutex held.
    std::vector<Share*> staleSince(const Share& grower, Clock::time_point since) const;

    std::atomic<std::size_t> _limit;
    mutable std::mutex _mutex;
    std::size_t _used = 0;
    // Bytes held by shares of at least SmallShare: what the limit bounds.
    std::size_t _counted = 0;
    // The shares that hold bytes.
    std::set<Share*> _shares;
    std::function<Clock::time_point()> _clock = [] { return Clock::now(); };
};

}  // namespace Zelkor
