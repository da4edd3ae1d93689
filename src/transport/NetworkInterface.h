#pragma once
// One network adapter of this host as the system reports it, and the walk over all of
// them.
//
// Ownership: NetworkInterface is a plain record, copied freely; the enumeration hands the
// visitor a record it owns for the duration of the call. Threads: no internal locking;
// EnumerateInterface may run on any thread and reads the calling thread's view of the
// network (its network namespace).

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace Zelkor {

class NetworkInterface {
public:
    using IpAddress = boost::asio::ip::address;

    // Appends the address and its mask (duplicates included); the first mask recorded
    // for an address is the one SubnetMask answers.
    void AddNetwork(const IpAddress& address, const IpAddress& mask);
    // Appends the address once; the prefix length is not recorded.
    void AddNetwork(const IpAddress& address, std::uint8_t prefixLength);
    void AddGateway(const IpAddress& address);
    void AddDnsServer(const IpAddress& address);
    void SetDnsServer(const std::vector<IpAddress>& servers);

    // "aa:bb:cc:dd:ee:ff" in lower case.
    std::string MAC_as_str() const;
    const unsigned char* MAC_as_uchar() const { return mac.data(); }
    std::string Name() const { return name; }
    std::vector<IpAddress> Address() const { return addresses; }
    // Text forms of the IPv4 (resp. IPv6) addresses, joined by ", ".
    std::string IPv4() const;
    std::string IPv6() const;
    // Every gateway, joined by ", ".
    std::string Gateway() const;
    // The mask recorded for the address; 0.0.0.0 when there is none.
    IpAddress SubnetMask(const IpAddress& address) const;
    // Note the argument order: mask first. The first IPv4 gateway inside the address's
    // subnet; 0.0.0.0 when none is, or when either argument is not IPv4.
    IpAddress SubnetIPGateway(const IpAddress& mask, const IpAddress& address) const;
    std::vector<IpAddress> Dns() const { return dnsServers; }
    bool IsDHCP() const { return dhcp; }

    bool operator<(const NetworkInterface& other) const { return name < other.name; }

    bool dhcp = false;
    bool up = false;
    std::string name;
    std::array<unsigned char, 6> mac{};
    std::vector<IpAddress> gateways;
    std::vector<IpAddress> addresses;
    std::map<IpAddress, IpAddress> networks;
    std::vector<IpAddress> masks;
    std::vector<IpAddress> dnsServers;
};

// The name an adapter is served and reported under: an address label keeps its own
// ("eth0:1"); only the ":avahi" a zeroconf daemon gives its label is cut, as that address
// is the link's.
std::string ServedAdapterName(std::string name);

// Calls `visitor` once per adapter of the host, in ascending order of adapter names,
// until it returns false. A host whose interface list cannot be read has no adapters.
// An empty visitor raises std::bad_function_call at the first adapter.
void EnumerateInterface(std::function<bool(NetworkInterface&)> visitor);

}  // namespace Zelkor
