#pragma once
// The sources (address groups, SourceGroup) that proved the code here within the last
// day. The node-wide bound on failed proofs never holds them back: a peer that knows the
// code still gets in while strangers spend that bound.
//
// At most `capacity` sources are held (1024 by default): a source that proves while the
// table is full makes the one that proved longest ago leave.
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

class ProvenSources {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::size_t DefaultCapacity = 1024;
    static constexpr std::chrono::hours Remembered{24};

    // An empty clock is the steady clock. A capacity of 0 is taken as 1.
    explicit ProvenSources(Clock clock = Clock(), std::size_t capacity = DefaultCapacity);

    // Replaces the clock (tests); an empty one is the steady clock again.
    void SetClock(Clock clock);
    // A proof from the address's group proved the code now.
    void Proved(const boost::asio::ip::address& address);
    // True when the address's group proved the code within the last day.
    bool Knows(const boost::asio::ip::address& address) const;
    std::size_t Size() const;
    std::size_t Capacity() const { return _proved.Capacity(); }

private:
    std::chrono::steady_clock::time_point now() const;

    mutable std::mutex _mutex;
    Clock _clock;
    // When each source proved, longest ago first.
    SourceTable<std::chrono::steady_clock::time_point> _proved;
};

}  // namespace Zelkor
