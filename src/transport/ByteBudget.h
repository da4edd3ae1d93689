#pragma once
// A node-wide bound of bytes that connections hold for their peers. Each connection
// already bounds what it holds; a budget bounds the sum, so that many slow or silent peers
// cannot pin the node's memory between them. There are two: Input(), the bytes received in
// unfinished lines, and Output(), the bytes waiting to be written (the line being written
// included). A connection holds a Share of each and resizes it as its bytes change.
//
// When a share's growth would pass the bound, the share holding the most goes (its owner
// is told to close), not the one that grew: a few peers holding huge lines, or reading
// nothing of huge replies, must not shut out every other peer. The grower fails only when
// it is itself the largest. A share smaller than SmallShare is never refused for the
// bound, nor counted against it, nor taken: many peers each holding a little would
// otherwise leave no room for anyone's large line, and ordinary requests and replies never
// fail for the bound. What small shares hold together is bounded by the number of
// connections.
//
// Ownership: the two budgets are process-wide (one node per process) and outlive every
// connection; a Share belongs to one connection, points at its budget, and gives its
// bytes back when it goes.
// Threads: shares of connections on different loops may meet in a budget; every change
// is made under the budget's mutex, and an evicted share's owner is told outside it, on the
// thread of the share that grew: the owner must hop to its own loop to close.

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>

#include "transport/LineFramer.h"

namespace Zelkor {

class ByteBudget {
public:
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

    class Share {
    public:
        explicit Share(ByteBudget& budget) : _budget(budget) {}
        ~Share();
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        // Called, once, when another share's growth took this one's bytes: the owner must
        // close. Set before the share first grows.
        void OnEvicted(std::function<void()> evicted) { _evicted = std::move(evicted); }

        // Makes the share `bytes` large. Growing past the limit evicts the largest share
        // until it fits; false, and nothing changes, when this share is itself the largest
        // or the shares larger than it would not make room enough (or it was evicted).
        // Shrinking never evicts. The limit never counts below `floor`,
        // the connection's own bound, so that one connection can always use what it is
        // allowed.
        bool Resize(std::size_t bytes, std::size_t floor);
        void Release();
        std::size_t Bytes() const;
        ByteBudget& Budget() const { return _budget; }

    private:
        friend class ByteBudget;
        ByteBudget& _budget;
        std::size_t _bytes = 0;
        bool _evictedAlready = false;
        std::function<void()> _evicted;
    };

private:
    static std::size_t Counted(std::size_t bytes) { return bytes >= SmallShare ? bytes : 0; }
    // Bytes of the shares larger than `bytes`; the budget's mutex held.
    static std::size_t largerThan(const ByteBudget& budget, std::size_t bytes);

    std::atomic<std::size_t> _limit;
    mutable std::mutex _mutex;
    std::size_t _used = 0;
    // Bytes held by shares of at least SmallShare: what the limit bounds.
    std::size_t _counted = 0;
    // The shares that hold bytes.
    std::set<Share*> _shares;
};

}  // namespace Zelkor
