// Questions about the local network, answered from the interface list, the listening
// records and the lookup tables of the last listen-state run, and two policy flags kept
// in storage. Each operation holds one lock for its whole search and calls nothing else.

#include <algorithm>
#include <exception>

#include <json/value.h>

#include "driver/ZelkorDriver.h"
#include "storage/StorageModel.h"

namespace Zelkor {

namespace {

using boost::asio::ip::address;

const char* const kLazyPath = "/configuration/network/rules/connect/lazy";
const char* const kParentPathsPath = "/configuration/network/rules/security/allowparentpaths";

// Whether the listening record serves the peer's address: an IPv4 address (also one
// mapped into IPv6) in the record's IPv4 subnet, else an IPv6 address in its /64. Every
// link has its own fe80::/64, so a link-local address must also be on the record's link.
bool serves(const NetworkInfo& record, const address& peer) {
    const address& own = record.GetIPAddress();
    const bool mapped = peer.is_v6() && peer.to_v6().is_v4_mapped();
    if (own.is_v4() && (peer.is_v4() || mapped)) {
        const auto v4 =
            peer.is_v4() ? peer.to_v4() : boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, peer.to_v6());
        return ((own.to_v4().to_uint() ^ v4.to_uint()) & record.subnetMask) == 0;
    }
    if (!own.is_v6() || !peer.is_v6()) {
        return false;
    }
    const auto ownBytes = own.to_v6().to_bytes();
    const auto peerBytes = peer.to_v6().to_bytes();
    if (!std::equal(ownBytes.begin(), ownBytes.begin() + 8, peerBytes.begin())) {
        return false;
    }
    return !peer.to_v6().is_link_local() || own.to_v6().scope_id() == peer.to_v6().scope_id();
}

}  // namespace

std::string ZelkorDriver::GetEndPointInterface(const boost::asio::ip::address& ip) {
    std::lock_guard<std::mutex> lock(_netMutex);
    for (const auto& host : _interfaces) {
        if (!host.info.up) {
            continue;
        }
        if (ip.is_v4()) {
            if (!host.info.ipv4Text.empty() && host.mask != 0 &&
                ((host.address.to_v4().to_uint() ^ ip.to_v4().to_uint()) & host.mask) == 0) {
                return host.info.adapterName;
            }
        } else if (!host.info.ipv6Text.empty() && host.address == ip) {
            return host.info.adapterName;
        }
    }
    return "";
}

void ZelkorDriver::GetInterfaceEndPoints(const std::string& name, std::set<Endpoint>& endpoints) {
    endpoints.clear();
    std::lock_guard<std::mutex> lock(_interfaceEndPointMutex);
    const auto found = _interfaceEndPoints.find(name);
    if (found != _interfaceEndPoints.end()) {
        endpoints = found->second;
    }
}

bool ZelkorDriver::GetLocalInfo(const boost::asio::ip::address& ip, NetworkInfo* out) {
    if (!out) {
        return false;
    }
    std::lock_guard<std::mutex> lock(_netMutex);
    const auto found = std::find_if(_listening.begin(), _listening.end(),
                                    [&](const NetworkInfo& record) { return serves(record, ip); });
    if (found == _listening.end()) {
        return false;
    }
    SetLocalInfo(*found, out);
    return true;
}

std::optional<DatagramRequests::Subnet> ZelkorDriver::servedBroadcastSubnet(const address& destination,
                                                                            const std::string& interfaceName) const {
    std::lock_guard<std::mutex> lock(_netMutex);
    for (const auto& record : _listening) {
        if (interfaceName.empty() || record.interfaceName == interfaceName) {
            if (auto subnet = DatagramRequests::BroadcastSubnet(destination, record.GetIPAddress(), record.subnetMask)) {
                return subnet;
            }
        }
    }
    return std::nullopt;
}

void ZelkorDriver::SetLocalInfo(const NetworkInfo& record, NetworkInfo* out) {
    if (!out) {
        return;
    }
    out->ipAddress = record.ipAddress;
    out->ipText = record.ipText;
    out->dhcp = record.dhcp;
    out->port = record.port;
    out->portText = record.portText;
    out->macText = record.macText;
    // Which of an adapter's names serves the address: a label's, where one does.
    out->interfaceName = record.interfaceName;
    if (record.GetIPAddress().is_v4()) {
        out->subnetMask = record.subnetMask;
        out->subnetMaskText = record.subnetMaskText;
        out->subnetAddress = record.subnetAddress;
        out->gateway = record.gateway;
        out->gatewayText = record.gatewayText;
    }
}

bool ZelkorDriver::IsListener(const boost::asio::ip::address& ip, unsigned short port) {
    std::lock_guard<std::mutex> lock(_listeningEndPointMutex);
    return _listeningEndPoints.count({ip, port}) > 0;
}

bool ZelkorDriver::IsLocalMAC(const std::string& mac) {
    std::lock_guard<std::mutex> lock(_netMutex);
    return std::any_of(_interfaces.begin(), _interfaces.end(),
                       [&](const HostAddress& host) { return host.info.macText == mac; });
}

void ZelkorDriver::IPv4Address(std::string& ip, unsigned short& port, std::string interfaceName) {
    std::lock_guard<std::mutex> lock(_netMutex);
    const auto record = std::find_if(_listening.begin(), _listening.end(),
                                     [&](const NetworkInfo& at) { return at.interfaceName == interfaceName; });
    if (record == _listening.end()) {
        return;
    }
    const auto host = std::find_if(_interfaces.begin(), _interfaces.end(), [&](const HostAddress& at) {
        return at.info.adapterName == interfaceName && !at.info.ipv4Text.empty();
    });
    if (host != _interfaces.end()) {
        ip = host->info.ipv4Text;
        port = record->port;
    }
}

bool ZelkorDriver::ConnectionPolicyIsLazy() {
    const auto current = discovery();
    const auto storage = current ? current->GetStorageModel() : nullptr;
    if (!storage) {
        return false;
    }
    Json::Value value;
    try {
        if (storage->GetValueForPath(kLazyPath, "variant", value) != 0) {
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
    return value.isBool() && value.asBool();
}

bool ZelkorDriver::ParentPathsAllowed() {
    const auto current = discovery();
    if (!current) {
        return false;
    }
    const auto storage = current->GetStorageModel();
    if (!storage) {
        Warning("ZK7885W ParentPathsAllowed: Storage not found");
        return false;
    }
    Json::Value value;
    bool read = false;
    try {
        read = storage->GetValueForPath(kParentPathsPath, "variant", value) == 0;
    } catch (const std::exception&) {
        // A storage that fails to read has no such parameter to offer.
    }
    if (!read) {
        Detail("ZK7884W ParentPathsAllowed: Parameter not found");
        return false;
    }
    if (!value.isBool()) {
        Error("ZK7883E ParentPathsAllowed: Parameter is not boolean");
        return false;
    }
    return value.asBool();
}

}  // namespace Zelkor
