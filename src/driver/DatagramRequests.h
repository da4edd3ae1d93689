#pragma once
// The requests this node sent lately as datagrams, by word and destination: a reply that
// comes as a datagram is this node's to hear only when it answers one of them. A datagram
// proves nothing of its sender, so without this any host on the network could hand the
// application a reply to a request never made (an exec result, a reboot, a located node).
// A request sent to every node (broadcast or multicast) may be answered from any address;
// one sent to the broadcast address of a served subnet, from any address of that subnet;
// one sent to an address, from that address only. A request counts for Window after it was
// sent: nothing else ends the wait for a datagram's answer, however many come.
//
// Ownership: a member of the driver. Bounded: at most MaxRecords requests are kept, those
// to addresses and to subnets together, the oldest forgotten first, so that this node's
// own sends, however many, cannot grow it.
// Threads: any thread; one mutex guards the records.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>

namespace Zelkor {

class DatagramRequests {
public:
    using Clock = std::chrono::steady_clock;
    using Address = boost::asio::ip::address;
    using Subnet = boost::asio::ip::network_v4;

    static constexpr std::chrono::seconds Window{10};
    static constexpr std::size_t MaxRecords = 1024;

    // A request of `word` went to `destination`. A broadcast or multicast destination, and
    // the unspecified address, stand for every node.
    void Sent(const std::string& word, const Address& destination, Clock::time_point now);
    // A request of `word` went to the broadcast address of `subnet` (see BroadcastSubnet):
    // it reached every address of the subnet.
    void SentToSubnet(const std::string& word, const Subnet& subnet, Clock::time_point now);
    // A reply of `word` from `source` answers a request sent within the window.
    bool Answers(const std::string& word, const Address& source, Clock::time_point now) const;
    std::size_t Size() const;

    // The form an address is kept and compared in: an IPv4 address written as IPv6 as the
    // IPv4 address, an IPv6 one without its scope (a reply's scope is the interface it came
    // by, the request's whatever its sender wrote); the unspecified address for every node.
    static Address Destination(const Address& address);
    // The subnet of the IPv4 address `own` with `mask` when `destination` is its broadcast
    // address. A /31 or /32 has none: each of its addresses is a host's. IPv6 has none at
    // all, and the limited broadcast is every node's.
    static std::optional<Subnet> BroadcastSubnet(const Address& destination, const Address& own,
                                                 std::uint32_t mask);

private:
    using Key = std::pair<std::string, Address>;
    // Word, network address and prefix length.
    using SubnetKey = std::tuple<std::string, std::uint32_t, unsigned short>;

    void forgetExpired(Clock::time_point now);
    // Past MaxRecords, the oldest record of either kind goes.
    void forgetOldest();

    mutable std::mutex _mutex;
    std::map<Key, Clock::time_point> _sent;
    std::map<SubnetKey, Clock::time_point> _subnets;
};

}  // namespace Zelkor
