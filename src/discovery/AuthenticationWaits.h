#pragma once
// The sources whose "authenticate" failed, each with the time before which its next
// attempt is not checked. A source is an address's group (SourceGroup: an IPv6 address
// counts as its /64), so that a host handed a whole /64 cannot start afresh with each new
// address. Each failure restarts the source's wait, twice as long as the one before: 1 s,
// 2 s, 4 s ... up to 60 s; a success forgets the source, and so does a quiet of ten
// minutes after its wait ended. Guessing a code then costs a guesser more time with every
// wrong guess, whatever number of connections it spreads them over.
//
// At most `capacity` sources are held (1024 by default): a source that fails while the
// table is full makes the one that failed longest ago leave.
//
// Ownership: a plain value, owned by the discovery service. Threads: it locks itself; the
// clock is called under that lock and must not call back into the table.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>

#include <boost/asio/ip/address.hpp>

#include "discovery/SourceTable.h"

namespace Zelkor {

class AuthenticationWaits {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::size_t DefaultCapacity = 1024;
    static constexpr std::chrono::seconds FirstWait{1};
    static constexpr std::chrono::seconds LongestWait{60};
    // Quiet after a wait ended that lets the next failure wait the first wait again.
    static constexpr std::chrono::minutes Forgotten{10};

    // An empty clock is the steady clock. A capacity of 0 is taken as 1.
    explicit AuthenticationWaits(Clock clock = Clock(), std::size_t capacity = DefaultCapacity);

    // Replaces the clock (tests); an empty one is the steady clock again.
    void SetClock(Clock clock);
    // Time left before an attempt from the address (from its group) is checked again; zero
    // when it may be checked now.
    std::chrono::steady_clock::duration Remaining(const boost::asio::ip::address& address) const;
    bool Waiting(const boost::asio::ip::address& address) const { return Remaining(address).count() > 0; }
    // A checked attempt from the address failed: its wait starts now.
    void Failed(const boost::asio::ip::address& address);
    // An attempt from the address succeeded: it waits no more, and its next failure waits
    // the first wait again.
    void Succeeded(const boost::asio::ip::address& address);
    std::size_t Size() const;
    std::size_t Capacity() const { return _waits.Capacity(); }

private:
    struct Wait {
        std::chrono::steady_clock::duration wait;
        std::chrono::steady_clock::time_point until;
    };

    std::chrono::steady_clock::time_point now() const;

    mutable std::mutex _mutex;
    Clock _clock;
    // Least recently failed first.
    SourceTable<Wait> _waits;
};

}  // namespace Zelkor
