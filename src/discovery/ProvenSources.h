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
#include <list>
#include <map>
#include <mutex>

#include <boost/asio/ip/address.hpp>

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
    std::size_t Capacity() const { return _capacity; }

private:
    struct Entry {
        boost::asio::ip::address group;
        std::chrono::steady_clock::time_point proved;
    };
    using Order = std::list<Entry>;

    std::chrono::steady_clock::time_point now() const;

    const std::size_t _capacity;
    mutable std::mutex _mutex;
    Clock _clock;
    // Proved longest ago first.
    Order _order;
    std::map<boost::asio::ip::address, Order::iterator> _byGroup;
};

}  // namespace Zelkor
