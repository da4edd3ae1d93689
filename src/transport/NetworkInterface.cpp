#include "transport/NetworkInterface.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/MacAddress.h"
#include "transport/LinuxPlatform.h"

namespace Zelkor {

namespace {

using IpAddress = NetworkInterface::IpAddress;
using boost::asio::ip::address_v4;
using boost::asio::ip::address_v6;

std::string JoinAddresses(const std::vector<IpAddress>& list, bool (IpAddress::*keep)() const) {
    std::string text;
    for (const auto& address : list) {
        if (keep && !(address.*keep)()) {
            continue;
        }
        if (!text.empty()) {
            text += ", ";
        }
        text += address.to_string();
    }
    return text;
}

// The IPv4 or IPv6 address a socket address holds; false for other families. Copied out
// because the list gives no alignment guarantee for the family-specific layouts.
bool ReadAddress(const sockaddr& raw, IpAddress& out) {
    if (raw.sa_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, &raw, sizeof in);
        out = address_v4(ntohl(in.sin_addr.s_addr));
        return true;
    }
    if (raw.sa_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &raw, sizeof in6);
        address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), in6.sin6_addr.s6_addr, bytes.size());
        out = address_v6(bytes, in6.sin6_scope_id);
        return true;
    }
    return false;
}

using InterfaceList = std::unique_ptr<ifaddrs, decltype(&freeifaddrs)>;

InterfaceList ReadInterfaceList() {
    ifaddrs* head = nullptr;
    if (getifaddrs(&head) != 0) {
        head = nullptr;
    }
    return InterfaceList(head, &freeifaddrs);
}

// Adds one network address of an entry, or nothing for an entry that has none.
void AddEntryNetwork(const ifaddrs& entry, NetworkInterface& adapter) {
    IpAddress address;
    if (entry.ifa_addr == nullptr || entry.ifa_netmask == nullptr ||
        !ReadAddress(*entry.ifa_addr, address)) {
        return;
    }
    IpAddress mask = address_v4::any();
    ReadAddress(*entry.ifa_netmask, mask);
    adapter.AddNetwork(address, mask);
}

}  // namespace

void NetworkInterface::AddNetwork(const IpAddress& address, const IpAddress& mask) {
    addresses.push_back(address);
    masks.push_back(mask);
    networks.emplace(address, mask);
}

void NetworkInterface::AddNetwork(const IpAddress& address, std::uint8_t /*prefixLength*/) {
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
        addresses.push_back(address);
    }
}

void NetworkInterface::AddGateway(const IpAddress& address) {
    if (std::find(gateways.begin(), gateways.end(), address) == gateways.end()) {
        gateways.push_back(address);
    }
}

void NetworkInterface::AddDnsServer(const IpAddress& address) { dnsServers.push_back(address); }

void NetworkInterface::SetDnsServer(const std::vector<IpAddress>& servers) { dnsServers = servers; }

std::string NetworkInterface::MAC_as_str() const { return MacAddress(mac.data()).Text(); }

std::string NetworkInterface::IPv4() const { return JoinAddresses(addresses, &IpAddress::is_v4); }

std::string NetworkInterface::IPv6() const { return JoinAddresses(addresses, &IpAddress::is_v6); }

std::string NetworkInterface::Gateway() const { return JoinAddresses(gateways, nullptr); }

NetworkInterface::IpAddress NetworkInterface::SubnetMask(const IpAddress& address) const {
    const auto found = networks.find(address);
    return found == networks.end() ? IpAddress(address_v4::any()) : found->second;
}

NetworkInterface::IpAddress NetworkInterface::SubnetIPGateway(const IpAddress& mask,
                                                              const IpAddress& address) const {
    if (mask.is_v4() && address.is_v4()) {
        const auto maskBits = mask.to_v4().to_uint();
        const auto addressBits = address.to_v4().to_uint();
        for (const auto& gateway : gateways) {
            if (gateway.is_v4() && ((gateway.to_v4().to_uint() ^ addressBits) & maskBits) == 0) {
                return gateway;
            }
        }
    }
    return address_v4::any();
}

void EnumerateInterface(std::function<bool(NetworkInterface&)> visitor) {
    const InterfaceList list = ReadInterfaceList();

    std::set<std::string> names;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name != nullptr) {
            names.insert(entry->ifa_name);
        }
    }

    for (const auto& name : names) {
        NetworkInterface adapter;
        adapter.name = name;
        const std::string linkOwner = Platform::LinkOwnerName(name);
        bool ownLink = false;
        for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_name == nullptr) {
                continue;
            }
            if (name == entry->ifa_name) {
                adapter.up = (entry->ifa_flags & IFF_UP) != 0;
                if (Platform::LinkLayerAddress(*entry, adapter.mac)) {
                    ownLink = true;
                } else {
                    AddEntryNetwork(*entry, adapter);
                }
            } else if (!ownLink && linkOwner == entry->ifa_name) {
                Platform::LinkLayerAddress(*entry, adapter.mac);
            }
        }
        adapter.SetDnsServer({});
        // No routing-table lookup is made: every adapter reports the unspecified gateway.
        adapter.AddGateway(address_v4::any());
        if (!visitor(adapter)) {
            break;
        }
    }
}

std::string ServedAdapterName(std::string name) {
    const auto at = name.find(":avahi");
    if (at != std::string::npos) {
        name.erase(at);
    }
    return name;
}

}  // namespace Zelkor
