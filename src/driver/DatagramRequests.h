#pragma once
// The requests this node sent lately as datagrams, by word and destination: a reply that
// comes as a datagram is this node's to hear only when it answers one of them. A datagram
// proves nothing of its sender, so without this any host on the network could hand the
// application a reply to a request never made (an exec result, a reboot, a located node).
// A request sent to every node (broadcast or multicast) may be answered from any address;
// one sent to an address, from that address only. A request counts for Window after it was
// sent: nothing else ends the wait for a datagram's answer, however many come.
//
// Ownership: a member of the driver. Bounded: at most MaxRecords requests are kept, the
// oldest forgotten first, so that this node's own sends, however many, cannot grow it.
// Threads: any thread; one mutex guards the records.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include <boost/asio/ip/address.hpp>

namespace Zelkor {

class DatagramRequests {
public:
    using Clock = std::chrono::steady_clock;
    using Address = boost::asio::ip::address;

    static constexpr std::chrono::seconds Window{10};
    static constexpr std::size_t MaxRecords = 1024;

    // A request of `word` went to `destination`. A broadcast or multicast destination, and
    // the unspecified address, stand for every node.
    void Sent(const std::string& word, const Address& destination, Clock::time_point now);
    // A reply of `word` from `source` answers a request sent within the window.
    bool Answers(const std::string& word, const Address& source, Clock::time_point now) const;
    std::size_t Size() const;

    // The form an address is kept and compared in: an IPv4 address written as IPv6 as the
    // IPv4 address, an IPv6 one without its scope (a reply's scope is the interface it came
    // by, the request's whatever its sender wrote); the unspecified address for every node.
    static Address Destination(const Address& address);

private:
    using Key = std::pair<std::string, Address>;

    void forgetExpired(Clock::time_point now);

    mutable std::mutex _mutex;
    std::map<Key, Clock::time_point> _sent;
};

}  // namespace Zelkor
