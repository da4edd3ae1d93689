// Opening and closing what serves one end point: a TCP listener and a UDP socket bound to
// the address (the UDP socket tied to its interface), and once per port the UDP sockets
// of the IPv4 and the IPv6 any-address. Only sockets bound to an any-address hear
// broadcasts, and unicast goes to the socket bound to the address, so every datagram is
// handled once. Listen and Unlisten run inside a listen-state run (ListenState.cpp) and
// hold at most one of the driver's locks at a time.

#include <algorithm>
#include <sstream>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/system/system_error.hpp>

#include "driver/ZelkorDriver.h"
#include "transport/LinuxPlatform.h"
#include "transport/TcpServer.h"
#include "transport/UdpSocket.h"

namespace Zelkor {

namespace {

using boost::asio::ip::address;

// "category:number:description" of a socket-layer error.
std::string errorText(const boost::system::system_error& failure, const char* separator = ":") {
    std::ostringstream text;
    text << failure.code() << separator << failure.code().message();
    return text.str();
}

std::string endpointText(const address& ip, unsigned short port) { return ip.to_string() + ":" + std::to_string(port); }

// The interface an IPv6 end point is served on: its scope for a link-local address,
// else the interface that owns the adapter's link.
unsigned int interfaceIndexOf(const address& ip, const std::string& net) {
    if (ip.is_v6() && ip.to_v6().scope_id() != 0) {
        return static_cast<unsigned int>(ip.to_v6().scope_id());
    }
    return Platform::InterfaceIndex(Platform::LinkOwnerName(net));
}

// What one Listen has opened, closed again (the last opened first) unless it is kept.
struct Opening {
    std::shared_ptr<TcpServer> tcp;
    std::shared_ptr<UdpSocket> udp;
    std::shared_ptr<UdpSocket> any4;
    std::shared_ptr<UdpSocket> any6;
    bool kept = false;

    Opening() = default;
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;
    ~Opening() {
        if (kept) {
            return;
        }
        for (const auto& socket : {any6, any4, udp}) {
            if (socket) {
                socket->SetSink(nullptr);
                socket->Close();
            }
        }
        if (tcp) {
            tcp->Subscribe(nullptr);
            tcp->Close();
        }
    }
};

}  // namespace

bool ZelkorDriver::excludedLocked(const std::string& ip, unsigned short port) const {
    return std::any_of(_excluded.begin(), _excluded.end(), [&](const Endpoint& entry) {
        return entry.first == ip && (entry.second == port || entry.second == 0);
    });
}

std::shared_ptr<UdpSocket> ZelkorDriver::anySocket(unsigned short port, bool v6) {
    std::lock_guard<std::mutex> lock(_udpMutex);
    for (const auto& socket : _anyUdpSockets) {
        if (socket->GetLocalPort() == port && socket->GetLocalIP().is_v6() == v6) {
            return socket;
        }
    }
    return nullptr;
}

bool ZelkorDriver::refreshListening(const std::string& ip, unsigned short port, const std::string& subnet,
                                   const std::string& gateway, bool dhcp) {
    std::vector<std::string> changed;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        const auto found = std::find_if(_listening.begin(), _listening.end(), [&](const NetworkInfo& record) {
            return record.GetIPAddressStr() == ip && record.port == port;
        });
        if (found == _listening.end()) {
            return false;
        }
        if (!subnet.empty() && !found->subnetMaskText.empty() && subnet != found->subnetMaskText) {
            found->SetSubnetMask(subnet);
            changed.push_back("ZK7889I subnetmask changed ip: " + ip + " subnetmask: " + subnet);
        }
        if (!gateway.empty() && !found->gatewayText.empty() && gateway != found->gatewayText) {
            found->SetGateway(gateway);
            changed.push_back("ZK7890I gateway changed ip: " + ip + " gateway: " + gateway);
        }
        if (found->dhcp != dhcp) {
            found->dhcp = dhcp;
            changed.push_back("ZK7891I dhcp changed ip: " + ip + " dhcp: " + (dhcp ? "DHCP" : "Static"));
        }
    }
    // Every run passes every served end point through here: the line is made only when
    // it is written.
    if (LogLevel() >= 5) {
        Detail("ZK7888I Already listening on " + ip + ":" + std::to_string(port));
    }
    for (const auto& line : changed) {
        Detail(line);
    }
    return true;
}

bool ZelkorDriver::Listen(const std::string& mac, const std::string& net, const std::string& ip, unsigned short port,
                          const std::string& subnet, const std::string& gateway, bool dhcp, std::string& why) {
    Trace("ZK7886I ZelkorDriver::Listen begin");
    if (port == 0) {
        Error("ZK7887E Listen passed port zero");
        return false;
    }
    if (refreshListening(ip, port, subnet, gateway, dhcp)) {
        return false;
    }
    Detail("ZK7892I Attempting to add listener for mac:" + mac + " net:" + net + " ip:" + ip +
           " port:" + std::to_string(port));
    bool excluded = false;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        excluded = excludedLocked(ip, port);
    }
    if (excluded) {
        Detail("ZK7893I Address and port excluded", ip + ":" + std::to_string(port));
        return false;
    }

    NetworkInfo record;
    if (!record.SetMACAddress(mac)) {
        Error("ZK7894E Listen bad mac", mac);
        why = "bad MAC address " + mac;
        return false;
    }
    if (!record.SetIPAddress(ip)) {
        Error("ZK7895E Listen bad ip", ip);
        why = "bad address " + ip;
        return false;
    }
    const address local = record.GetIPAddress();
    if (local.is_v4()) {
        if (!record.SetSubnetMask(subnet)) {
            Error("ZK7896E Listen bad subnet", subnet);
            why = "bad subnet mask " + subnet;
            return false;
        }
        if (!gateway.empty() && !record.SetGateway(gateway)) {
            Error("ZK7897E Listen bad gw", gateway);
            why = "bad gateway " + gateway;
            return false;
        }
    }
    record.interfaceName = net;
    record.SetPortNo(port);
    record.dhcp = dhcp;

    Opening opening;
    try {
        try {
            opening.tcp = std::make_shared<TcpServer>(_io, _sslContext, true);
            opening.tcp->SetName(net);
            opening.tcp->Subscribe(this);
            InitCrypto();
            // Accepting starts once the whole end point is open: a listener given up
            // here is closed before this call returns, wherever the loop is.
            opening.tcp->BindTo(local, port, false);
        } catch (const boost::system::system_error& failure) {
            Warning("ZK7899W Listen TCP bind error", ip + ":" + errorText(failure));
            why = "TCP bind: " + failure.code().message();
            return false;
        }
        Detail("ZK7898I TCP bind ok for " + endpointText(local, port));

        opening.udp = std::make_shared<UdpSocket>(_io, port);
        opening.udp->subnetUdp.store(_subnetUdp.load());
        opening.udp->SetName(net);
        opening.udp->SetSink(this);
        _live.Add(opening.udp);
        opening.udp->localMac = mac;
        bool bound = false;
        try {
            // An address label ("eth0:1") is no interface of its own: the socket is tied
            // to the link that carries it.
            bound = opening.udp->BindTo(local, port, Platform::LinkOwnerName(net));
        } catch (const boost::system::system_error& failure) {
            Warning("ZK78A2W Listen UDP bind error", ip + ":" + errorText(failure));
            why = "UDP bind: " + failure.code().message();
            return false;
        }
        if (!bound) {
            Warning("ZK78A0W Listen UDP bind failed");
            why = "UDP bind: the socket could not be tied to interface " + net;
            return false;
        }
        Detail("ZK78A1I UDP bind ok for " + endpointText(local, port));
        if (local.is_v4()) {
            opening.udp->SetSubnet(record.GetSubnet());
        }

        if (!anySocket(port, false) && !anySocket(port, true) &&
            !listenAnyAddress(port, net, mac, opening.any4, opening.any6, why)) {
            return false;
        }

        {
            std::lock_guard<std::mutex> lock(_udpMutex);
            opening.udp->subnetUdp.store(_subnetUdp.load());
            _udpSockets.push_back(opening.udp);
            for (const auto& any : {opening.any6, opening.any4}) {
                if (any) {
                    any->broadcastUdp.store(_broadcastUdp.load());
                    _anyUdpSockets.push_back(any);
                }
            }
        }
        {
            std::lock_guard<std::mutex> lock(_listenerMutex);
            _listeners.push_back(opening.tcp);
        }
        {
            std::lock_guard<std::mutex> lock(_netMutex);
            _listening.push_back(record);
        }
        opening.kept = true;
        opening.tcp->StartAccepting();
        if (local.is_v6()) {
            joinDiscoveryGroup(port, interfaceIndexOf(local, net), true);
        }
    } catch (const boost::system::system_error& failure) {
        Warning("ZK78B1W Listen error", ip + ":" + errorText(failure));
        Trace("ZK78B2I ZelkorDriver::Listen end");
        why = failure.code().message();
        return false;
    }
    Trace("ZK78B2I ZelkorDriver::Listen end");
    return true;
}

bool ZelkorDriver::listenAnyAddress(unsigned short port, const std::string& net, const std::string& mac,
                                    std::shared_ptr<UdpSocket>& v4, std::shared_ptr<UdpSocket>& v6,
                                    std::string& why) {
    const auto make = [&] {
        auto socket = std::make_shared<UdpSocket>(_io, port);
        socket->broadcastUdp.store(_broadcastUdp.load());
        socket->SetName(net);
        socket->SetSink(this);
        _live.Add(socket);
        socket->localMac = mac;
        return socket;
    };
    v4 = make();
    try {
        if (!v4->BindTo(boost::asio::ip::address_v4::any(), port, "")) {
            Warning("ZK78A4W Listen RAW bind failed for IPv4 inaddr_any");
            why = "UDP bind of 0.0.0.0 (broadcasts): refused";
            return false;
        }
    } catch (const boost::system::system_error& failure) {
        Warning("ZK78A6I RAW bind error", "0.0.0.0; " + errorText(failure, " "));
        why = "UDP bind of 0.0.0.0 (broadcasts): " + failure.code().message();
        return false;
    }
    Detail("ZK78A5I RAW bind ok for IPv4 inaddr_any");

    // A host without IPv6 refuses "::": its IPv4 end points are served all the same, and
    // it is told so once.
    auto candidate = make();
    try {
        if (candidate->BindTo(boost::asio::ip::address_v6::any(), port, "")) {
            Detail("ZK78A9I Listen Raw bind ok for IPv6 inaddr_any");
            v6 = std::move(candidate);
            return true;
        }
        if (!_ipv6AnyWarned.exchange(true)) {
            Warning("ZK78A8W Listen Raw bind failed for IPv6 inaddr_any");
        }
    } catch (const boost::system::system_error& failure) {
        if (!_ipv6AnyWarned.exchange(true)) {
            Warning("ZK78B0W Listen RAW bind error", ":::" + errorText(failure));
        }
    }
    candidate->SetSink(nullptr);
    candidate->Close();
    return true;
}

void ZelkorDriver::joinDiscoveryGroup(unsigned short port, unsigned int interfaceIndex, bool join) {
    auto socket = anySocket(port, true);
    if (!socket || interfaceIndex == 0) {
        return;
    }
    // On the loop, where the socket's receive runs.
    boost::asio::dispatch(_io, [weak = weak_from_this(), socket, interfaceIndex, join] {
        const auto group = UdpSocket::MulticastAddress().to_v6();
        boost::system::error_code error;
        if (join) {
            socket->GetBasicSocket().set_option(boost::asio::ip::multicast::join_group(group, interfaceIndex), error);
        } else {
            socket->GetBasicSocket().set_option(boost::asio::ip::multicast::leave_group(group, interfaceIndex), error);
        }
        // Joined already: another address of the same interface is served.
        if (error && error != boost::asio::error::address_in_use) {
            if (auto self = weak.lock()) {
                self->Warning("ZK78FDW IPv6 discovery group membership not changed",
                              std::to_string(interfaceIndex) + ":" + error.message());
            }
        }
    });
}

void ZelkorDriver::Unlisten(const boost::asio::ip::address& ip, unsigned short port) {
    Detail("ZK78C8I Unlisten " + endpointText(ip, port));
    if (port == 0) {
        return;
    }
    std::vector<std::shared_ptr<TcpServer>> listeners;
    {
        std::lock_guard<std::mutex> lock(_listenerMutex);
        const auto kept = std::stable_partition(_listeners.begin(), _listeners.end(),
                                                [&](const auto& listener) { return !listener->AcceptorIs(ip, port); });
        listeners.assign(kept, _listeners.end());
        _listeners.erase(kept, _listeners.end());
    }
    for (const auto& listener : listeners) {
        listener->Close();
    }
    std::vector<std::shared_ptr<UdpSocket>> closing;
    const auto onPort = [port](const auto& socket) { return socket->GetLocalPort() == port; };
    {
        std::lock_guard<std::mutex> lock(_udpMutex);
        const auto kept = std::stable_partition(_udpSockets.begin(), _udpSockets.end(), [&](const auto& socket) {
            return !(socket->GetLocalIP() == ip && socket->GetLocalPort() == port);
        });
        closing.assign(kept, _udpSockets.end());
        _udpSockets.erase(kept, _udpSockets.end());
    }
    bool stillServed = false;
    bool linkStillServed = false;
    const unsigned int link = ip.is_v6() && !closing.empty() ? interfaceIndexOf(ip, closing.front()->Name()) : 0;
    {
        std::lock_guard<std::mutex> lock(_udpMutex);
        for (const auto& socket : _udpSockets) {
            if (!onPort(socket)) {
                continue;
            }
            stillServed = true;
            const auto other = socket->GetLocalIP();
            linkStillServed = linkStillServed || (other.is_v6() && interfaceIndexOf(other, socket->Name()) == link);
        }
        if (!stillServed) {
            const auto kept = std::stable_partition(_anyUdpSockets.begin(), _anyUdpSockets.end(),
                                                    [&](const auto& socket) { return !onPort(socket); });
            closing.insert(closing.end(), kept, _anyUdpSockets.end());
            _anyUdpSockets.erase(kept, _anyUdpSockets.end());
        }
    }
    for (const auto& socket : closing) {
        socket->Close();
    }
    if (stillServed && link != 0 && !linkStillServed) {
        joinDiscoveryGroup(port, link, false);
    }
}

void ZelkorDriver::closeServed() {
    std::vector<std::shared_ptr<TcpServer>> listeners;
    std::vector<std::shared_ptr<UdpSocket>> sockets;
    {
        std::lock_guard<std::mutex> lock(_listenerMutex);
        listeners.swap(_listeners);
    }
    {
        std::lock_guard<std::mutex> lock(_udpMutex);
        sockets.swap(_udpSockets);
        sockets.insert(sockets.end(), _anyUdpSockets.begin(), _anyUdpSockets.end());
        _anyUdpSockets.clear();
    }
    for (const auto& listener : listeners) {
        listener->Subscribe(nullptr);
        listener->Close();
    }
    for (const auto& socket : sockets) {
        socket->SetSink(nullptr);
        socket->Close();
    }
}

}  // namespace Zelkor
