// The listen state: the host's interfaces as last enumerated, and the runs that bring
// what is served in line with them and with the application's wishes.
//
// A run works on copies of the lists taken at its start. Runs come from the application
// thread of an add and from the loop, so whole runs are serialised by the run mutex:
// otherwise one run's write-back of the records could erase a record another run's
// Listen has just appended (a listener no later run would close), and two Listens on one
// port could both open the port's any-address pair (every broadcast handled twice).

#include <algorithm>
#include <exception>

#include "driver/ZelkorDriver.h"
#include "transport/NetworkInterface.h"
#include "transport/ZelkorHost.h"

namespace Zelkor {

namespace {

using Endpoint = IZelkorDriver::Endpoint;

bool holds(const std::vector<Endpoint>& list, const std::string& text, unsigned short port) {
    return std::find(list.begin(), list.end(), Endpoint(text, port)) != list.end();
}

}  // namespace

void ZelkorDriver::BuildNetworkInfo() {
    std::vector<HostAddress> records;
    ZelkorHost::EnumerateInterface([&records](NetworkInterface& adapter) {
        HostAddress record;
        record.info.dhcp = adapter.IsDHCP();
        record.info.up = adapter.up;
        record.info.macText = adapter.MAC_as_str();
        // An address label ("eth0:1") is named as itself: a caller may serve it alone, and
        // naming the link serves the link's own addresses, not a management label beside
        // them. Only the ":avahi" of a zeroconf label is cut: that address is the link's.
        record.info.adapterName = ServedAdapterName(adapter.Name());
        for (const auto& address : adapter.Address()) {
            record.address = address;
            record.mask = 0;
            record.info.ipv4Text.clear();
            record.info.ipv6Text.clear();
            record.info.gatewayText.clear();
            record.info.subnetMaskText.clear();
            if (address.is_v6()) {
                record.info.ipv6Text = address.to_string();
            } else {
                record.info.ipv4Text = address.to_string();
                const auto mask = adapter.SubnetMask(address);
                if (mask.is_v4() && mask.to_v4().to_uint() != 0) {
                    record.mask = mask.to_v4().to_uint();
                    record.info.subnetMaskText = mask.to_string();
                    const auto gateway = adapter.SubnetIPGateway(mask, address);
                    if (!gateway.is_unspecified()) {
                        record.info.gatewayText = gateway.to_string();
                    }
                }
            }
            records.push_back(record);
        }
        return true;
    });
    const std::size_t count = records.size();
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        _interfaces = std::move(records);
    }
    Detail("ZK7808I Interfaces enumerated. MAC-network-IP count (" + std::to_string(count) + ")");
}

void ZelkorDriver::UpdateListenState() {
    ListenChanges changes;
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> run(_listenRunMutex);
        if (IsStopped()) {
            return;
        }
        try {
            runListenState(changes);
        } catch (...) {
            // What was done stays done, and is reported, before the failure goes on.
            failure = std::current_exception();
        }
    }
    reportListenChanges(changes);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void ZelkorDriver::runListenState(ListenChanges& changes) {
    std::vector<NetworkInfo> records;
    std::vector<Endpoint> wantedInterfaces;
    std::vector<Endpoint> wantedNetworks;
    std::vector<Endpoint> wantedAddresses;
    std::vector<Endpoint> excluded;
    std::vector<HostAddress> interfaces;
    {
        std::lock_guard<std::mutex> lock(_netMutex);
        records = _listening;
        wantedInterfaces = _wantedInterfaces;
        wantedNetworks = _wantedNetworks;
        wantedAddresses = _wantedAddresses;
        excluded = _excluded;
        interfaces = _interfaces;
    }
    const bool ipv6 = _useIPv6.load();

    // What is served and no longer present, up, allowed or wanted is closed.
    std::vector<Endpoint> dropped;
    for (const auto& record : records) {
        const std::string& ip = record.GetIPAddressStr();
        const bool present = std::any_of(interfaces.begin(), interfaces.end(), [&](const HostAddress& host) {
            return host.info.up && host.info.macText == record.MACStr() &&
                   host.info.adapterName == record.interfaceName &&
                   (host.info.ipv4Text == ip || (ipv6 && host.info.ipv6Text == ip));
        });
        const bool isExcluded = std::any_of(excluded.begin(), excluded.end(), [&](const Endpoint& entry) {
            return entry.first == ip && (entry.second == record.port || entry.second == 0);
        });
        const bool wanted = holds(wantedInterfaces, record.MACStr(), record.port) ||
                            holds(wantedNetworks, record.interfaceName, record.port) ||
                            holds(wantedAddresses, ip, record.port);
        if (present && !isExcluded && wanted) {
            continue;
        }
        Unlisten(record.GetIPAddress(), record.port);
        dropped.emplace_back(ip, record.port);
    }
    for (const auto& [ip, port] : dropped) {
        for (auto at = records.begin(); at != records.end();) {
            if (at->GetIPAddressStr() == ip && at->port == port) {
                changes.removed.emplace_back(ip, port);
                at = records.erase(at);
            } else {
                ++at;
            }
        }
    }
    if (!changes.removed.empty()) {
        std::lock_guard<std::mutex> lock(_netMutex);
        _listening = records;
    }

    // The lookup tables and the discovery values describe the records as they stand
    // before this run opens anything; what it opens shows from the next run on.
    {
        std::lock_guard<std::mutex> lock(_listeningEndPointMutex);
        _listeningEndPoints.clear();
        for (const auto& record : records) {
            _listeningEndPoints.emplace(record.GetIPAddress(), record.port);
        }
    }
    {
        std::lock_guard<std::mutex> lock(_interfaceEndPointMutex);
        _interfaceEndPoints.clear();
        for (const auto& record : records) {
            _interfaceEndPoints[record.interfaceName].emplace(record.GetIPAddressStr(), record.port);
        }
    }
    publishInterfaceValues(records);

    // Every wanted end point the host has up is handed to Listen, served or not: Listen
    // opens nothing twice and refuses what is excluded.
    // A failure is told once, until the end point is served or fails otherwise: each run
    // tries again, and the application would hear the same every few seconds.
    const auto listen = [&](const HostAddress& host, const std::string& net, const std::string& ip,
                            unsigned short port) {
        std::string failure;
        const Endpoint endpoint(ip, port);
        if (Listen(host.info.macText, net, ip, port, host.info.subnetMaskText, host.info.gatewayText,
                   host.info.dhcp, failure)) {
            changes.added.push_back(endpoint);
            _toldFailures.erase(endpoint);
        } else if (!failure.empty()) {
            const auto told = _toldFailures.find(endpoint);
            if (told == _toldFailures.end() || told->second != failure) {
                _toldFailures[endpoint] = failure;
                changes.failed.emplace_back(endpoint, failure);
            }
        }
    };
    // IPv4 addresses of the matching records first, then (with IPv6 on) their IPv6 ones.
    const auto listenAll = [&](unsigned short port, const auto& matches) {
        for (const auto& host : interfaces) {
            if (host.info.up && matches(host) && !host.info.ipv4Text.empty()) {
                listen(host, host.info.adapterName, host.info.ipv4Text, port);
            }
        }
        for (const auto& host : interfaces) {
            if (ipv6 && host.info.up && matches(host) && !host.info.ipv6Text.empty()) {
                listen(host, host.info.adapterName, host.info.ipv6Text, port);
            }
        }
    };
    for (const auto& [mac, port] : wantedInterfaces) {
        listenAll(port, [&mac = mac](const HostAddress& host) { return host.info.macText == mac; });
    }
    for (const auto& [name, port] : wantedNetworks) {
        listenAll(port, [&name = name](const HostAddress& host) { return host.info.adapterName == name; });
    }
    for (const auto& [address, port] : wantedAddresses) {
        for (const auto& host : interfaces) {
            if (!host.info.up) {
                continue;
            }
            if (host.info.ipv4Text == address || (ipv6 && host.info.ipv6Text == address)) {
                listen(host, host.info.adapterName, address, port);
            }
        }
    }
}

void ZelkorDriver::forgetToldFailures(unsigned short port) {
    std::lock_guard<std::mutex> run(_listenRunMutex);
    for (auto told = _toldFailures.begin(); told != _toldFailures.end();) {
        told = told->first.second == port ? _toldFailures.erase(told) : std::next(told);
    }
}

void ZelkorDriver::publishInterfaceValues(const std::vector<NetworkInfo>& records) {
    const auto current = discovery();
    if (!current) {
        return;
    }
    for (const auto& record : records) {
        if (record.interfaceName.empty()) {
            continue;
        }
        std::string name = record.interfaceName;
        std::string dhcp = record.dhcp ? "DHCP" : "Static";
        current->GetModelDHCP(name, dhcp);
        current->UpdateInterfaceDiscoReplyValue(name, "dhcp", dhcp);
        current->UpdateInterfaceDiscoReplyValue(name, "gateway", record.gatewayText);
        current->UpdateInterfaceDiscoReplyValue(name, "ip", record.GetIPAddressStr());
        current->UpdateInterfaceDiscoReplyValue(name, "mac", record.MACStr());
        current->UpdateInterfaceDiscoReplyValue(name, "port", std::to_string(record.port));
        current->UpdateInterfaceDiscoReplyValue(name, "subnetmask", record.subnetMaskText);
    }
}

void ZelkorDriver::reportListenChanges(const ListenChanges& changes) {
    ListenerCallback removed;
    ListenerCallback added;
    ListenerFailedCallback failed;
    {
        std::lock_guard<std::mutex> lock(_callbackMutex);
        removed = _listenerRemoved;
        added = _listenerAdded;
        failed = _listenerFailed;
    }
    if (removed) {
        for (const auto& [ip, port] : changes.removed) {
            removed(ip, port);
        }
    }
    if (added) {
        for (const auto& [ip, port] : changes.added) {
            added(ip, port);
        }
    }
    if (failed) {
        for (const auto& [endpoint, reason] : changes.failed) {
            failed(endpoint.first, endpoint.second, reason);
        }
    }
}

}  // namespace Zelkor
