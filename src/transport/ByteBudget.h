#pragma once
// A node-wide bound of bytes that connections hold for their peers. Each connection
// already bounds what it holds; a budget bounds the sum, so that many slow or silent peers
// cannot pin the node's memory between them. There are two: Input(), the bytes received in
// unfinished lines, and Output(), the bytes waiting to be written (the line being written
// included). A connection holds a Share of each and resizes it as its bytes change.
//
// When a share's growth would pass the bound, other shares may go (their owners are told
// to close) rather than the grower: a few peers holding huge lines, or reading nothing of
// huge replies, must not shut out every other peer. Both budgets choose who goes by the
// same rule, which asks two things:
//
// - Whether the peer keeps its bytes moving. A share progresses when its peer moves
//   (sends into the unfinished line, takes what waits for it), within ProgressWindow, at
//   least SmallShare or a thirty-second of what the share holds, whichever is more: a pace
//   that would clear the share within about half a minute. A trickle of a few bytes is no
//   progress, however often it comes, and neither is growing. A share counts as having
//   progressed when it began holding bytes (a reply just queued, a line just begun), and
//   is stale once it has not progressed for StaleAfter.
// - Whose bytes they are. Shares are grouped by their peer's source group (an IPv4
//   address, an IPv6 /64, see SourceGroup), so that one peer's many connections count as
//   one hoard. A connection that carries several requesters (a router's) is no one
//   source's hoard: it is a group of its own, and goes after every source's group.
//
// Stale shares go first: of the group holding most first, within a group the one that
// progressed longest ago, then the larger. Any grower that is not stale itself may take
// them; a stale grower takes only those of a group holding more than its own, or staler
// ones of its own. Then, for a grower that is not stale, the others that progressed
// before it did, the longest ago first: peers that sit on what they hold (a non-reader's
// reply the kernel took the first of, a line that stopped coming) must not close one that
// keeps taking, or sending, its own. A growth that is its peer's own progress (a line
// coming in while its sender keeps the pace: it progressed within ProgressWindow) goes by
// the groups instead: it takes the room of any share of a group holding more than its
// own, the group holding most first, and of a group holding no more only that of a staler
// share of its own group or of one whose peer no longer keeps the pace. So one address
// bursting lines again and again closes its own, not a smaller one's line that keeps
// coming. (A growth of output is the node's doing, never its peer's.) When the shares it
// may take cannot make room between them, the grower fails and none of them goes.
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

#include <boost/asio/ip/address.hpp>

#include "transport/LineFramer.h"

namespace Zelkor {

class ByteBudget {
public:
    using Clock = std::chrono::steady_clock;

    // Twice what one connection may hold by default, in either direction.
    static constexpr std::size_t DefaultLimit = 2 * LineFramer::DefaultMaxLineLength;
    // A share this small always fits.
    static constexpr std::size_t SmallShare = std::size_t{64} << 10;
    // The pace of progress: SmallShare, or this fraction of what a share holds, within the
    // window.
    static constexpr std::size_t PaceFraction = 32;
    static constexpr std::chrono::milliseconds ProgressWindow{1000};
    static constexpr std::chrono::milliseconds StaleAfter{3000};

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
        // Whose bytes these are: the peer's address, counted in its source group, or
        // several requesters' (`shared`). Until set, the unspecified address's.
        void SetSource(const boost::asio::ip::address& peer, bool shared);

        // The owner's peer moved `bytes`: a write of output reached it, or a read added to
        // the unfinished line. It counts towards progress (see above) within the window,
        // what came just before the share began holding bytes included.
        void Moved(std::size_t bytes);

        // Makes the share `bytes` large; a share that held nothing progresses now. Growing
        // past the limit evicts the shares this one may take (see above), one at a time,
        // until it fits; false, and nothing changes, when they would not make room enough
        // (or this one was evicted). Shrinking never evicts. The limit never counts below
        // `floor`, the connection's own bound, so that one connection can always use what
        // it is allowed.
        // `moved` is what the peer moved with this growth (a read into the unfinished
        // line), counted as by Moved before the growth is decided.
        bool Resize(std::size_t bytes, std::size_t floor, std::size_t moved = 0);
        void Release();
        std::size_t Bytes() const;

    private:
        friend class ByteBudget;
        // Moved, the mutex held.
        void noteMoved(std::size_t bytes, Clock::time_point now);
        ByteBudget& _budget;
        std::size_t _bytes = 0;
        bool _evictedAlready = false;
        std::function<void()> _evicted;
        boost::asio::ip::address _group;
        bool _shared = false;
        // The last progress, or when the share began holding bytes.
        Clock::time_point _progressedAt{};
        // Bytes moved since the window began.
        Clock::time_point _windowStart{};
        std::size_t _windowMoved = 0;
    };

private:
    static std::size_t Counted(std::size_t bytes) { return bytes >= SmallShare ? bytes : 0; }
    static bool IsStale(Clock::time_point progressedAt, Clock::time_point now) {
        return now - progressedAt > StaleAfter;
    }
    // The counted shares other than `grower` that it may take, in the order they go; the
    // mutex held. `bytes` is what the grower would hold, `progressedAt` its last progress.
    std::vector<Share*> takeable(const Share& grower, std::size_t bytes, Clock::time_point progressedAt,
                                 bool peerMoved, Clock::time_point now) const;

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
