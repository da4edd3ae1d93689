#include "Listeners.h"

#include <algorithm>
#include <vector>

#include <boost/asio/error.hpp>

#include "driver/ConnectionResult.h"
#include "driver/ZelkorDriver.h"
#include "transport/ZelkorHost.h"

namespace ZelkorNode {
namespace {

using Driver = Zelkor::IZelkorDriver;
// Fills the answer from the command; false for bad arguments.
using Handler = std::function<bool(const Json::Value& command, Json::Value& answer)>;

// A command answered by a line named after it, or an "error" line for bad arguments.
Command answered(Events& events, const std::string& name, Handler handler) {
    return [&events, name, handler](const Json::Value& command) {
        Json::Value answer(Json::objectValue);
        if (handler(command, answer)) {
            events.Write(name, answer);
        } else {
            events.Error("bad arguments for " + name);
        }
    };
}

bool text(const Json::Value& command, const char* key, std::string& out) {
    if (!command[key].isString()) {
        return false;
    }
    out = command[key].asString();
    if (std::string(key) == "address") {
        out = Unbracketed(out);
    }
    return true;
}

bool port(const Json::Value& command, unsigned short& out) {
    if (!command["port"].isUInt() || command["port"].asUInt() > 65535) {
        return false;
    }
    out = static_cast<unsigned short>(command["port"].asUInt());
    return true;
}

// An add: the text under `key` and a port; the driver's answer is the result.
template <class Add>
Handler add(const char* key, Add operation) {
    return [key, operation](const Json::Value& command, Json::Value& answer) {
        std::string name;
        unsigned short number = 0;
        if (!text(command, key, name) || !port(command, number)) {
            return false;
        }
        answer["result"] = operation(name, number);
        return true;
    };
}

// A removal: the text under `key`, with a port (or none: every port).
template <class Remove>
Handler remove(const char* key, Remove operation) {
    return [key, operation](const Json::Value& command, Json::Value&) {
        std::string name;
        unsigned short number = 0;
        const bool onePort = command.isMember("port");
        if (!text(command, key, name) || (onePort && !port(command, number))) {
            return false;
        }
        operation(name, onePort ? &number : nullptr);
        return true;
    };
}

Json::Value texts(const std::vector<std::string>& list) {
    Json::Value array(Json::arrayValue);
    for (const auto& text : list) {
        array.append(text);
    }
    return array;
}

// The MAC address of the adapter of that name; "" when the host has none.
std::string macOfAdapter(const std::string& name) {
    std::string mac;
    Zelkor::ZelkorHost::EnumerateInterface([&](Zelkor::NetworkInterface& adapter) {
        if (adapter.Name() == name) {
            mac = adapter.MAC_as_str();
        }
        return mac.empty();
    });
    return mac;
}

bool sameEndpoint(const Endpoint& wanted, const std::string& address, unsigned short port) {
    boost::system::error_code error;
    const auto served = boost::asio::ip::make_address(Unbracketed(address), error);
    return !error && port == wanted.second && served == boost::asio::ip::make_address(wanted.first, error);
}

std::string unservedText(const Endpoint& endpoint, const std::string& why) {
    return "--listen " + EndpointText(endpoint.first, endpoint.second) + " not served: " + why;
}

// True when the host holds the address on an interface that is down: the driver serves
// it once the interface is up, and tells nothing before.
bool onInterfaceDown(Zelkor::IZelkorDriver& driver, const Endpoint& endpoint) {
    std::vector<Zelkor::InterfaceInfo> interfaces;
    std::string host;
    driver.ListInterfaces(interfaces, host);
    return std::any_of(interfaces.begin(), interfaces.end(), [&](const Zelkor::InterfaceInfo& info) {
        return !info.up && (sameEndpoint(endpoint, info.ipv4Text, endpoint.second) ||
                            sameEndpoint(endpoint, info.ipv6Text, endpoint.second));
    });
}

// Why a connection this node opened never came, in the words a user looks for.
std::string connectFailure(const boost::system::error_code& error) {
    namespace e = boost::asio::error;
    if (error == e::connection_refused) {
        return "refused";
    }
    if (error == e::host_unreachable || error == e::network_unreachable) {
        return "unreachable";
    }
    if (error == e::timed_out) {
        return "time-out";
    }
    return error.message();
}

}  // namespace

Listeners::Listeners(Zelkor::IZelkorDriver& driver, const Options& options, Events& events)
    : _driver(driver), _options(options), _events(events) {}

void Listeners::Configure() {
    _driver.OnListenerAdded([this](const std::string& address, unsigned short port) {
        listenerLine("listenerAdded", address, port);
    });
    _driver.OnListenerRemoved([this](const std::string& address, unsigned short port) {
        listenerLine("listenerRemoved", address, port);
    });
    _driver.OnListenerFailed([this](const std::string& address, unsigned short port, const std::string& reason) {
        listenerFailed(address, port, reason);
    });
}

void Listeners::WatchConnections() {
    _connectionResults =
        _driver.ConnectionResults().Connect([this](Zelkor::ConnectionResult& result) { connectionLine(result); });
}

void Listeners::connectionLine(const Zelkor::ConnectionResult& result) {
    Json::Value fields;
    fields["tag"] = Zelkor::ZelkorDriver::Tag(result.handle);
    fields["connected"] = result.connected;
    fields["outgoing"] = result.outgoing;
    const std::string address = result.remote.GetIPAddressStr();
    fields["peer"] = address.empty() ? std::string() : EndpointText(address, result.remote.port);
    // A connect or a handshake that failed: where it went and why.
    using Failure = Zelkor::ConnectionResult::Failure;
    if (result.failure != Failure::None) {
        fields["peer"] = EndpointText(result.peer.address().to_string(), result.peer.port());
    }
    if (result.failure == Failure::Connect) {
        fields["outgoing"] = true;
        fields["error"] = connectFailure(result.error);
    } else if (result.failure == Failure::Tls) {
        fields["error"] = "TLS handshake failed: " + result.error.message();
    }
    _events.Write("connection", fields);
}

void Listeners::Serve() {
    const auto refused = [](const std::string& option, const std::string& what) {
        Note(option + " " + what + " refused");
    };
    for (const auto& endpoint : _options.listen) {
        const auto unservable = [&](const char* why) {
            std::lock_guard<std::mutex> lock(_mutex);
            _unservable.push_back(unservedText(endpoint, why));
        };
        boost::system::error_code error;
        if (!_options.ipv6 && boost::asio::ip::make_address(endpoint.first, error).is_v6()) {
            unservable("an IPv6 address needs --ipv6");
            continue;
        }
        // Awaited before the driver tells of it, which it does inside the add.
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _awaited.push_back(endpoint);
        }
        if (_driver.AddListener(endpoint.first, endpoint.second) != 0) {
            {
                std::lock_guard<std::mutex> lock(_mutex);
                _awaited.erase(std::find(_awaited.begin(), _awaited.end(), endpoint));
            }
            unservable("no interface of the host holds the address");
        }
    }
    for (const auto& [name, port] : _options.networks) {
        if (!_driver.AddNetwork(name, port)) {
            refused("--network", name + "," + std::to_string(port));
        }
    }
    for (const auto& [name, port] : _options.interfaces) {
        const std::string mac = macOfAdapter(name);
        if (mac.empty() || !_driver.AddInterface(mac, port)) {
            refused("--interface", name + "," + std::to_string(port));
        }
    }
    for (const auto& [mac, port] : _options.macs) {
        if (!_driver.AddInterface(mac, port)) {
            refused("--mac", mac + "," + std::to_string(port));
        }
    }
    for (const unsigned short port : _options.all) {
        std::vector<std::string> endpoints;
        if (_driver.AddAllListeners(port, endpoints) != 0) {
            refused("--all", std::to_string(port));
        }
    }
}

std::string Listeners::Watch(Failure failed) {
    std::vector<Endpoint> awaited;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _failed = std::move(failed);
        if (!_unservable.empty()) {
            return _unservable.front();
        }
        awaited = _awaited;
    }
    // Neither served nor failed after its add: the address's interface is down.
    for (const auto& endpoint : awaited) {
        if (onInterfaceDown(_driver, endpoint)) {
            return unservedText(endpoint, "the interface that holds the address is down");
        }
    }
    return "";
}

// A --listen that fails ends the node; any other wish the driver could not serve is a line.
void Listeners::listenerFailed(const std::string& address, unsigned short port, const std::string& reason) {
    Json::Value fields;
    fields["address"] = AddressText(address);
    fields["port"] = port;
    fields["reason"] = reason;
    _events.Write("listenerFailed", fields);
    Failure failed;
    std::string message;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const auto wanted = std::find_if(_awaited.begin(), _awaited.end(),
                                         [&](const Endpoint& endpoint) { return sameEndpoint(endpoint, address, port); });
        if (wanted == _awaited.end()) {
            return;
        }
        message = unservedText(*wanted, reason);
        // Before Watch (inside Serve), Watch returns it.
        _unservable.push_back(message);
        failed = _failed;
    }
    if (failed) {
        failed(message);
    }
}

// Each listener is told of once while it is served, however often the driver hands it
// over again: a reader counts the lines to learn what is served.
void Listeners::listenerLine(const char* event, const std::string& address, unsigned short port) {
    const bool added = std::string(event) == "listenerAdded";
    const std::string text = AddressText(address);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (added) {
            _awaited.erase(std::remove_if(_awaited.begin(), _awaited.end(),
                                          [&](const Endpoint& wanted) { return sameEndpoint(wanted, address, port); }),
                           _awaited.end());
        }
        const bool changed = added ? _reported.emplace(text, port).second : _reported.erase({text, port}) != 0;
        if (!changed) {
            return;
        }
    }
    Json::Value fields;
    fields["address"] = text;
    fields["port"] = port;
    _events.Write(event, fields);
}

// Each command calls the driver's operation of the same name. A removal takes effect at
// the next add (or the node's periodic refresh).
void Listeners::AddCommands(Commands& commands) {
    Driver& d = _driver;
    using Text = const std::string&;
    using Port = const unsigned short*;
    const std::map<std::string, Handler> handlers = {
        {"addlistener", add("address", [&d](Text a, unsigned short p) { return d.AddListener(a, p); })},
        {"removelistener",
         remove("address", [&d](Text a, Port p) { p ? d.RemoveListener(a, *p) : d.RemoveListener(a); })},
        {"addinterface", add("mac", [&d](Text m, unsigned short p) { return d.AddInterface(m, p); })},
        {"removeinterface",
         remove("mac", [&d](Text m, Port p) { p ? d.RemoveInterface(m, *p) : d.RemoveInterface(m); })},
        {"addnetwork", add("name", [&d](Text n, unsigned short p) { return d.AddNetwork(n, p); })},
        {"removenetwork", remove("name", [&d](Text n, Port p) { p ? d.RemoveNetwork(n, *p) : d.RemoveNetwork(n); })},
        {"addalllisteners",
         [&d](const Json::Value& command, Json::Value& answer) {
             unsigned short number = 0;
             if (!port(command, number)) {
                 return false;
             }
             std::vector<std::string> endpoints;
             answer["result"] = d.AddAllListeners(number, endpoints);
             // The driver writes "ADDRESS:PORT" with IPv6 bare.
             answer["endpoints"] = Json::Value(Json::arrayValue);
             for (const auto& endpoint : endpoints) {
                 const auto colon = endpoint.rfind(':');
                 answer["endpoints"].append(colon == std::string::npos
                                                ? endpoint
                                                : AddressText(endpoint.substr(0, colon)) + endpoint.substr(colon));
             }
             return true;
         }},
        {"removealllisteners",
         [&d](const Json::Value& command, Json::Value&) {
             unsigned short number = 0;
             if (!command.isMember("port")) {
                 d.RemoveAllListeners();
                 return true;
             }
             if (!port(command, number)) {
                 return false;
             }
             d.RemoveAllListeners(number);
             return true;
         }},
        {"addmulticast",
         [&d](const Json::Value& command, Json::Value& answer) {
             std::string address;
             if (!text(command, "address", address)) {
                 return false;
             }
             answer["result"] = d.AddMulticast(address);
             return true;
         }},
        {"removemulticast",
         [&d](const Json::Value& command, Json::Value& answer) {
             std::string address;
             if (!text(command, "address", address)) {
                 return false;
             }
             answer["result"] = d.RemoveMulticast(address);
             return true;
         }},
        {"listmulticast",
         [&d](const Json::Value&, Json::Value& answer) {
             std::vector<std::string> groups;
             d.ListMulticast(groups);
             answer["groups"] = Json::Value(Json::arrayValue);
             for (const auto& group : groups) {
                 answer["groups"].append(AddressText(group));
             }
             return true;
         }},
        {"listinterfaces",
         [&d](const Json::Value&, Json::Value& answer) {
             // The driver lists what it last enumerated (an add, its timer's listen step):
             // a node that serves nothing yet has had no such run. Commands run on the
             // loop, where that step runs too.
             if (auto* driver = dynamic_cast<Zelkor::ZelkorDriver*>(&d)) {
                 driver->BuildNetworkInfo();
             }
             std::vector<Zelkor::InterfaceInfo> list;
             std::string host;
             d.ListInterfaces(list, host);
             answer["hostName"] = host;
             answer["interfaces"] = Json::Value(Json::arrayValue);
             for (const auto& info : list) {
                 Json::Value entry;
                 entry["name"] = info.adapterName;
                 entry["mac"] = info.macText;
                 entry["ipv4"] = info.ipv4Text;
                 entry["ipv6"] = AddressText(info.ipv6Text);
                 entry["subnetMask"] = info.subnetMaskText;
                 entry["gateway"] = AddressText(info.gatewayText);
                 entry["up"] = info.up;
                 entry["dhcp"] = info.dhcp;
                 answer["interfaces"].append(entry);
             }
             return true;
         }},
        {"getendpoints",
         [&d](const Json::Value&, Json::Value& answer) {
             std::vector<Driver::Endpoint> endpoints;
             d.GetEndPoints(endpoints);
             answer["endpoints"] = Json::Value(Json::arrayValue);
             for (const auto& [address, number] : endpoints) {
                 Json::Value entry;
                 entry["address"] = AddressText(address);
                 entry["port"] = number;
                 answer["endpoints"].append(entry);
             }
             return true;
         }},
        {"getendpointinterfaces",
         [&d](const Json::Value&, Json::Value& answer) {
             std::vector<std::string> names;
             d.GetEndPointInterfaces(names);
             answer["names"] = texts(names);
             return true;
         }},
        {"disconnectallexcept",
         [&d](const Json::Value&, Json::Value&) {
             d.DisconnectAllExcept(nullptr);
             return true;
         }},
    };
    for (const auto& [name, handler] : handlers) {
        commands[name] = answered(_events, name, handler);
    }
}

}  // namespace ZelkorNode
