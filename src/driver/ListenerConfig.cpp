// Listener configuration: what the application wants served (an address, the adapter of
// a MAC address, the adapters of a name, everything), what it excludes, and the
// multicast groups it keeps. An add enumerates the host and runs the listen state at
// once; a removal only changes the lists and takes effect at the next run.
//
// The lists are compared with the interface list byte for byte. Each operation holds the
// network-information lock only while it reads or changes them, and logs after.

#include <algorithm>

#include <boost/asio/ip/host_name.hpp>

#include "driver/ZelkorDriver.h"

namespace Zelkor {

namespace {

using Endpoint = IZelkorDriver::Endpoint;

template <class Pred>
void eraseIf(std::vector<Endpoint>& list, Pred&& remove) {
    list.erase(std::remove_if(list.begin(), list.end(), remove), list.end());
}

void eraseEqual(std::vector<Endpoint>& list, const Endpoint& entry) {
    eraseIf(list, [&](const Endpoint& at) { return at == entry; });
}

void eraseText(std::vector<Endpoint>& list, const std::string& text) {
    eraseIf(list, [&](const Endpoint& at) { return at.first == text; });
}

// The exclusions an add of (text, port) lifts: that port's and the every-port one.
void liftExclusions(std::vector<Endpoint>& excluded, const std::string& text, unsigned short port) {
    eraseIf(excluded, [&](const Endpoint& at) { return at.first == text && (at.second == port || at.second == 0); });
}

void appendOnce(std::vector<Endpoint>& list, const Endpoint& entry) {
    if (std::find(list.begin(), list.end(), entry) == list.end()) {
        list.push_back(entry);
    }
}

bool holdsText(const std::vector<Endpoint>& list, const std::string& text) {
    return std::any_of(list.begin(), list.end(), [&](const Endpoint& at) { return at.first == text; });
}

// Four decimal numbers from 0 to 255 without leading zeros, joined by dots, and nothing
// more: the language of the group pattern, read in one pass with no backtracking.
bool isDottedQuad(const std::string& text) {
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
        const std::size_t start = at;
        unsigned value = 0;
        while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        const std::size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) {
            return false;
        }
    }
    return at == text.size();
}

}  // namespace

int ZelkorDriver::AddListener(const std::string& ip, unsigned short port, const std::string&, const std::string&,
                              bool, const std::string&) {
    return AddListener(ip, port);
}

int ZelkorDriver::AddListener(const std::string& ip, unsigned short port) {
    if (port == 0) {
        Error("ZK7800E Port zero passed to AddListener");
        return 1;
    }
    BuildNetworkInfo();
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        liftExclusions(_excluded, ip, port);
        eraseEqual(_wantedAddresses, {ip, port});
        const bool held = std::any_of(_interfaces.begin(), _interfaces.end(), [&](const HostAddress& host) {
            return host.info.ipv4Text == ip || host.info.ipv6Text == ip;
        });
        if (!held) {
            return 1;
        }
        _wantedAddresses.emplace_back(ip, port);
    }
    forgetToldFailures(port);
    UpdateListenState();
    return 0;
}

bool ZelkorDriver::RemoveListener(const std::string& ip, unsigned short port) {
    std::lock_guard<std::mutex> lock(_netMutex);
    eraseEqual(_wantedAddresses, {ip, port});
    appendOnce(_excluded, {ip, port});
    return true;
}

bool ZelkorDriver::RemoveListener(const std::string& ip) {
    std::lock_guard<std::mutex> lock(_netMutex);
    eraseText(_wantedAddresses, ip);
    eraseText(_excluded, ip);
    _excluded.emplace_back(ip, 0);
    return true;
}

bool ZelkorDriver::AddInterface(const std::string& mac, unsigned short port) {
    if (port == 0) {
        Error("ZK7801E Port zero passed to AddInterface");
        return false;
    }
    BuildNetworkInfo();
    bool found = false;
    std::size_t unaddressed = 0;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        for (const auto& host : _interfaces) {
            if (host.info.macText != mac) {
                continue;
            }
            found = true;
            if (host.Text().empty()) {
                ++unaddressed;
                continue;
            }
            liftExclusions(_excluded, host.Text(), port);
        }
        eraseEqual(_wantedInterfaces, {mac, port});
        if (found) {
            _wantedInterfaces.emplace_back(mac, port);
        }
    }
    for (; unaddressed > 0; --unaddressed) {
        Warning("ZK7802W One or more network enumerations has no IP address");
    }
    if (!found) {
        return false;
    }
    forgetToldFailures(port);
    UpdateListenState();
    return true;
}

void ZelkorDriver::RemoveInterface(const std::string& mac, unsigned short port) {
    std::size_t unaddressed = 0;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        eraseEqual(_wantedInterfaces, {mac, port});
        for (const auto& host : _interfaces) {
            if (host.info.macText != mac) {
                continue;
            }
            eraseEqual(_wantedNetworks, {host.info.adapterName, port});
            if (host.Text().empty()) {
                ++unaddressed;
                continue;
            }
            eraseEqual(_wantedAddresses, {host.Text(), port});
        }
    }
    for (; unaddressed > 0; --unaddressed) {
        Warning("ZK7803W One or more network enumerations has no IP address");
    }
}

void ZelkorDriver::RemoveInterface(const std::string& mac) {
    std::size_t unaddressed = 0;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        eraseText(_wantedInterfaces, mac);
        for (const auto& host : _interfaces) {
            if (host.info.macText != mac) {
                continue;
            }
            eraseText(_wantedNetworks, host.info.adapterName);
            if (host.Text().empty()) {
                ++unaddressed;
                continue;
            }
            eraseText(_wantedAddresses, host.Text());
        }
    }
    for (; unaddressed > 0; --unaddressed) {
        Warning("ZK7804W One or more network enumerations has no IP address");
    }
}

bool ZelkorDriver::AddNetwork(const std::string& network, unsigned short port) {
    if (port == 0) {
        Error("ZK7818E Port zero passed to AddNetwork");
        return false;
    }
    BuildNetworkInfo();
    std::size_t unaddressed = 0;
    bool named = false;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        for (const auto& host : _interfaces) {
            if (host.info.adapterName != network) {
                continue;
            }
            named = true;
            if (host.Text().empty()) {
                ++unaddressed;
                continue;
            }
            liftExclusions(_excluded, host.Text(), port);
        }
        eraseEqual(_wantedNetworks, {network, port});
        _wantedNetworks.emplace_back(network, port);
    }
    for (; unaddressed > 0; --unaddressed) {
        Warning("ZK7819W One or more network enumerations has no IP address");
    }
    // The wish is kept, for an adapter that may come, but a mistyped name would otherwise
    // serve nothing without a word.
    if (!named) {
        Warning("ZK7828W No adapter with an address has this name yet", network);
    }
    Detail("ZK7820I added to netport: " + network + ":" + std::to_string(port));
    forgetToldFailures(port);
    UpdateListenState();
    return true;
}

void ZelkorDriver::RemoveNetwork(const std::string& network, unsigned short port) {
    std::size_t unaddressed = 0;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        eraseEqual(_wantedNetworks, {network, port});
        for (const auto& host : _interfaces) {
            if (host.info.adapterName != network) {
                continue;
            }
            if (host.Text().empty()) {
                ++unaddressed;
                continue;
            }
            eraseEqual(_wantedAddresses, {host.Text(), port});
            appendOnce(_excluded, {host.Text(), port});
        }
    }
    for (; unaddressed > 0; --unaddressed) {
        Warning("ZK7821W One or more network enumerations has no IP address");
    }
}

void ZelkorDriver::RemoveNetwork(const std::string& network) {
    std::size_t unaddressed = 0;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        eraseText(_wantedNetworks, network);
        for (const auto& host : _interfaces) {
            if (host.info.adapterName != network) {
                continue;
            }
            if (host.Text().empty()) {
                ++unaddressed;
                continue;
            }
            eraseText(_wantedAddresses, host.Text());
            appendOnce(_excluded, {host.Text(), 0});
        }
    }
    for (; unaddressed > 0; --unaddressed) {
        Warning("ZK7822W One or more network enumerations has no IP address");
    }
}

int ZelkorDriver::AddAllListeners(unsigned short port, std::vector<std::string>& endpoints) {
    if (port == 0) {
        Error("ZK7805E Port zero passed to AddAllInterfaces");
        return 1;
    }
    BuildNetworkInfo();
    std::size_t unaddressed = 0;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        _wantedInterfaces.clear();
        _wantedNetworks.clear();
        _wantedAddresses.clear();
        for (const auto& host : _interfaces) {
            if (!holdsText(_wantedInterfaces, host.info.macText)) {
                _wantedInterfaces.emplace_back(host.info.macText, port);
            }
            if (!holdsText(_wantedNetworks, host.info.adapterName)) {
                _wantedNetworks.emplace_back(host.info.adapterName, port);
            }
        }
        for (const auto& host : _interfaces) {
            if ((!host.info.ipv4Text.empty() && holdsText(_wantedAddresses, host.info.ipv4Text)) ||
                (!host.info.ipv6Text.empty() && holdsText(_wantedAddresses, host.info.ipv6Text))) {
                continue;
            }
            if (host.Text().empty()) {
                ++unaddressed;
                continue;
            }
            _wantedAddresses.emplace_back(host.Text(), port);
            endpoints.push_back(host.Text() + ":" + std::to_string(port));
        }
        _excluded.clear();
    }
    for (; unaddressed > 0; --unaddressed) {
        Warning("ZK7806W One or more network enumerations has no IP address");
    }
    forgetToldFailures(port);
    UpdateListenState();
    return 0;
}

void ZelkorDriver::RemoveAllListeners(unsigned short port) {
    std::lock_guard<std::mutex> lock(_netMutex);
    const auto onPort = [port](const Endpoint& at) { return at.second == port; };
    eraseIf(_wantedInterfaces, onPort);
    eraseIf(_wantedNetworks, onPort);
    eraseIf(_wantedAddresses, onPort);
    _excluded.clear();
}

void ZelkorDriver::RemoveAllListeners() {
    std::lock_guard<std::mutex> lock(_netMutex);
    _wantedInterfaces.clear();
    _wantedNetworks.clear();
    _wantedAddresses.clear();
    _excluded.clear();
}

bool ZelkorDriver::AddMulticast(const std::string& group) {
    if (!isDottedQuad(group)) {
        Error("ZK7823E Invalid IP address passed to AddMulticast", group);
        return false;
    }
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(group, error);
    if (error) {
        Error("ZK7824E Invalid IP address passed to AddMulticast", group);
        return false;
    }
    if ((address.to_bytes()[0] & 0xF0) != 0xE0) {
        Error("ZK7825E IP address not in multicast range", group);
        return false;
    }
    std::lock_guard<std::mutex> lock(_netMutex);
    if (std::find(_multicastGroups.begin(), _multicastGroups.end(), address) == _multicastGroups.end()) {
        _multicastGroups.push_back(address);
    }
    return true;
}

bool ZelkorDriver::RemoveMulticast(const std::string& group) {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(group, error);
    if (error) {
        Error("ZK7826E Invalid IP address passed to RemoveMulticast", group);
        return false;
    }
    std::size_t removed = 0;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        const auto kept = std::remove(_multicastGroups.begin(), _multicastGroups.end(), address);
        removed = static_cast<std::size_t>(_multicastGroups.end() - kept);
        _multicastGroups.erase(kept, _multicastGroups.end());
    }
    for (; removed > 0; --removed) {
        Detail("ZK7827I Multicast address removed", group);
    }
    return true;
}

void ZelkorDriver::ListMulticast(std::vector<std::string>& groups) {
    groups.clear();
    std::lock_guard<std::mutex> lock(_netMutex);
    for (const auto& group : _multicastGroups) {
        groups.push_back(group.to_string());
    }
}

void ZelkorDriver::ListInterfaces(std::vector<InterfaceInfo>& list, std::string& hostName) {
    hostName = boost::asio::ip::host_name();
    std::lock_guard<std::mutex> lock(_netMutex);
    list.clear();
    for (const auto& host : _interfaces) {
        list.push_back(host.info);
    }
}

void ZelkorDriver::GetEndPoints(std::vector<Endpoint>& endpoints) {
    endpoints.clear();
    std::lock_guard<std::mutex> lock(_netMutex);
    for (const auto& record : _listening) {
        endpoints.emplace_back(record.GetIPAddressStr(), record.port);
    }
}

void ZelkorDriver::GetEndPointInterfaces(std::vector<std::string>& names) {
    names.clear();
    std::lock_guard<std::mutex> lock(_netMutex);
    for (const auto& record : _listening) {
        if (std::find(names.begin(), names.end(), record.interfaceName) == names.end()) {
            names.push_back(record.interfaceName);
        }
    }
}

void ZelkorDriver::OnListenerAdded(ListenerCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _listenerAdded = std::move(callback);
}

void ZelkorDriver::OnListenerRemoved(ListenerCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _listenerRemoved = std::move(callback);
}

void ZelkorDriver::OnListenerFailed(ListenerFailedCallback callback) {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    _listenerFailed = std::move(callback);
}

}  // namespace Zelkor
