// A Zelkor node in a process of its own: the library embedded the way an application
// embeds it, driven from outside through its standard streams.
//
// Usage:
//   zelkor_node [--role device|controller|router] [--name NAME] [--guid GUID]
//               [--tree FILE] [--listen ADDR:PORT]... [--tls-level N] [--code TEXT]
//               [--log-level N] [--disco-interval SECONDS] [--reply-port PORT]
//               [--send-disco ADDRESS[:PORT]]   (an IPv6 address in brackets before :PORT)
//               [--network NAME,PORT]... [--interface NAME,PORT]... [--mac MAC,PORT]...
//               [--all PORT]... [--ipv6] [--cert FILE] [--key FILE] [--dh FILE] [--dump]
//               [--exclude disco|list,classname|name|guid,VALUE]...
//               [--max-incoming N] [--route ADDRESS,PORT]... [--timer-scale N]
//               [--no-callback NAME]...
//
// What is served: --listen one address, --network every address of the adapters of that
// name, --interface every address of the adapter of that name followed by its MAC
// address, --mac every address of the adapter of that MAC address, --all every address
// of the host; --ipv6 serves IPv6 addresses too. The port follows a comma (a MAC and an
// IPv6 address hold colons). Without --cert and --key the node generates its own pair;
// --dump writes every line sent and received to the log.
//
// --exclude keeps peers out: a disco rule out of discovery (by class name, every class
// name that begins with VALUE), a list rule from being asked for its device list. Both
// need the tree's rule arrays ("/configuration/network/rules/exclude", as in
// examples/device-tree.json). List rules are read when the node starts, so they are
// written into the tree; disco rules are added through the discovery service as an
// application adds them at run time, and its answer is shown.
//
// Connections: --max-incoming admits at most N connections that peers make (0: no limit;
// without it the tree's "/configuration/network/rules/connect/maxincoming" holds); a
// connection past it is told goodbye ("busy") and closed. Each --route (IPv4, or IPv6 in
// brackets: "[fd00::1],4197") is a static route the discovery timer keeps connected: the
// routes replace the elements of the tree's "/configuration/network/routes" array, as
// "ipaddress" and "port" of elements 1..n, before the node starts (the minimal tree and
// examples/device-tree.json hold an empty one).
//
// --timer-scale N is a test seam only: it divides every period of the discovery timer
// (its tick, keep-alives, reconnects, the discovery interval, the age at which a silent
// device is lost) by N, so that tests see in a second what takes ten.
//
// Security: --tls-level N (not 0) has the node, as a controller, ask for TLS on every
// connection it makes. --code TEXT is the node's verification code (without it none, and
// any TLS peer may set a first one), kept behind the verification-code callback: the
// callback reads it, and stores a new one (empty: none) that a peer sets over TLS, which
// later reads return; a controller also proves it to
// every device it comes to know (the device object's confirmed code, until a "setcode"
// confirms another). The code itself is never written out. --no-callback NAME leaves one
// application callback unset, as an application may: verificationcode, locate,
// identify, reboot, authenticate, setverificationcode or starttls. A node with the reboot
// callback accepts a reboot request, says so, and goes on running.
//
// Standard output carries events, one compact JSON object per line, each with an "event"
// member: "start" (version, process id, options), "discovery" (the node's own discovery
// values once it is set up), "device" (every state change of a device in its list: its
// "guid", "name", "ip", "port", the "state" and the "old" one, and "proxy", the router's
// name, when it is reached through a router), "alive" (a listed device answered more
// requests on its connection, its keep-alives among them: its "guid", "name", the count
// "answered" and the average "roundTripMs"), one line for every other application
// callback and every connection result ("connection" with "peer" as ADDRESS:PORT;
// "listenerAdded" and "listenerRemoved" with the address and port; "exclude" with the
// "message", "ok" and "details" of the answer to the disco rules), "error" (a bad option
// or command) and "stop" (the exit code). The security of a listed device's connection
// comes as "security" ("guid", "name", "secured", "authenticated", "kasdor": proven with
// the prefix), on each change. Each application callback writes one line: "locate" and
// "identify" ("reply", "guid", "mac", "name", "ip", "port"; a locate also "timeout"),
// "reboot" ("reply", "guid", "mac", "error"), "authenticate" and "setVerificationCode"
// (the reply's "error"), "startTLS" ("request", "error"), "verificationCode" (a code
// stored: "code", whether there is one now), "ls", "rls", "cd" (the reply "line"), and
// "get" and "set" for every reply to a value request, those the default handlers take
// included: "values", the reply's container in its JSON form (an entry that failed holds
// its "error" instead of a "value"), "tag", the tag of the request whose callback took it,
// and "default", true when the default handler took it (its "tag" is then empty).
// Every IPv6 address the runner writes is in brackets; commands take one with or without
// them. Log lines go to standard error. Standard input takes one JSON command per line,
// run on the node's event loop: {"cmd":"stop"};
//   {"cmd":"connect","address":A,"port":P}          -> "connect" (address and port)
// which connects the device at that endpoint (the listed device that announces it, else
// a new one; the "device" lines follow it; IPv6 with or without brackets); and the
// listener configuration, each answered by a line named after it:
//   {"cmd":"addListener","address":A,"port":P}      -> "result" (0 recorded, 1 refused)
//   {"cmd":"removeListener","address":A[,"port":P]}
//   {"cmd":"addInterface","mac":M,"port":P}          -> "result" (bool)
//   {"cmd":"removeInterface","mac":M[,"port":P]}
//   {"cmd":"addNetwork","name":N,"port":P}           -> "result" (bool)
//   {"cmd":"removeNetwork","name":N[,"port":P]}
//   {"cmd":"addAllListeners","port":P}               -> "result", "endpoints"
//   {"cmd":"removeAllListeners"[,"port":P]}
//   {"cmd":"addMulticast","address":A}, {"cmd":"removeMulticast","address":A} -> "result"
//   {"cmd":"listMulticast"} -> "groups";  {"cmd":"listInterfaces"} -> "hostName", "interfaces"
//   {"cmd":"getEndPoints"} -> "endpoints";  {"cmd":"getEndPointInterfaces"} -> "names"
//   {"cmd":"disconnectAllExcept"}   (no connection is kept)
// A removal takes effect at the next add (or the node's periodic refresh). Requests to a
// listed device, named by its GUID (any usual form), each answered by a "request" line
// ("cmd", "guid", "to": "device", or "all" for one sent to every served interface), the
// peer's answer coming as a callback line:
//   {"cmd":"setcode","guid":G[,"current":C][,"new":N]}  a first code, a change, or (no
//       "new") removal; "sent" tells whether it went (only over a secured connection)
//   {"cmd":"ls"|"rls"|"cd","guid":G,"path":P}
//   {"cmd":"locate"[,"guid":G][,"name":N][,"mac":M][,"timeout":T]}
//   {"cmd":"identify"[,"guid":G][,"name":N][,"mac":M]}
//   {"cmd":"reboot"[,"guid":G],"mac":M}
//   {"cmd":"goodbye","guid":G}      (then the device is disconnected)
//   {"cmd":"get"|"set","guid":G,"values":V[,"tag":T]}  V in a container's JSON form, one
//       {"path","format","value"} object or an array of them (a get needs no "value"; a
//       value without "format" travels as text, which the device's tree converts); with
//       a tag the reply reaches a callback of this request (its "request" line carries
//       the "tag" too), else the default handler
// Locate, identify and reboot go to every served interface when no listed device has
// the GUID (or none is given). {"cmd":"hascode"} -> "hascode" ("result": whether the node
// holds a verification code).
//
// Exit codes: 0 when the node was stopped (a "stop" command, the end of standard input,
// SIGTERM or SIGINT), 1 when the driver stopped running by itself, 2 for a bad option.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include "core/MacAddress.h"
#include "core/Message.h"
#include "device/DeviceImpl.h"
#include "device/DeviceNetState.h"
#include "device/IDevice.h"
#include "discovery/Disco.h"
#include "discovery/DiscoInfo.h"
#include "discovery/DiscoveryService.h"
#include "discovery/IDeviceList.h"
#include "driver/ICryptoInfo.h"
#include "driver/IZelkorDriver.h"
#include "driver/ZelkorDriver.h"
#include "storage/JsonModel.h"
#include "storage/ObjectParamContainer.h"
#include "transport/TcpSocket.h"
#include "transport/ZelkorHost.h"

namespace {

// --- events on standard output ------------------------------------------------------------

// Lines come from the main thread and from the event loop: each is written and flushed
// whole under the lock, so that a reader always gets complete lines.
class Events {
public:
    Events() { _writer["indentation"] = ""; }

    void Write(const std::string& event, Json::Value fields = Json::Value(Json::objectValue)) {
        fields["event"] = event;
        std::lock_guard<std::mutex> lock(_mutex);
        const std::string line = Json::writeString(_writer, fields) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }

    void Error(const std::string& message) {
        Json::Value fields;
        fields["message"] = message;
        Write("error", fields);
    }

private:
    std::mutex _mutex;
    Json::StreamWriterBuilder _writer;
};

// Standard error, one write per line, for the library's log and the node's own notes.
void writeLogLine(std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void note(const std::string& text) {
    std::string line = "NODE " + text;
    writeLogLine(line);
}

// An address as the runner writes it: IPv6 in brackets.
std::string addressText(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

std::string addressText(const boost::asio::ip::address& address) {
    return address.is_unspecified() ? std::string() : addressText(address.to_string());
}

// An address as a command may give it: IPv6 with or without brackets.
std::string unbracketed(const std::string& address) {
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        return address.substr(1, address.size() - 2);
    }
    return address;
}

// --- options -----------------------------------------------------------------------------

// One --exclude: "disco" or "list", "classname", "name" or "guid", and the value (a GUID
// in the canonical form).
struct Exclusion {
    std::string set;
    std::string type;
    std::string value;

    std::string Text() const { return set + "," + type + "," + value; }
};

// Every option is checked before the node starts.
struct Options {
    std::string role = "device";
    std::string name;
    std::string guid;
    std::string tree;
    std::vector<std::pair<std::string, unsigned short>> listen;
    // (name or MAC, port) of --network, --interface and --mac; the ports of --all.
    std::vector<std::pair<std::string, unsigned short>> networks;
    std::vector<std::pair<std::string, unsigned short>> interfaces;
    std::vector<std::pair<std::string, unsigned short>> macs;
    std::vector<unsigned short> all;
    bool ipv6 = false;
    bool dump = false;
    std::string cert;
    std::string key;
    std::string dh;
    unsigned long tlsLevel = 0;
    std::string code;
    unsigned long logLevel = 3;
    // Zero: the discovery service's own interval.
    unsigned long discoInterval = 0;
    std::string replyPort;
    std::string sendDisco;
    std::vector<Exclusion> exclude;
    // Absent: the tree's limit (or none).
    std::optional<unsigned long> maxIncoming;
    // (address, port) of each --route, IPv6 without its brackets.
    std::vector<std::pair<std::string, unsigned short>> routes;
    unsigned long timerScale = 1;
    // The application callbacks left unset (--no-callback).
    std::set<std::string> noCallback;

    Json::Value ToJson() const {
        Json::Value json;
        json["role"] = role;
        json["name"] = name;
        json["guid"] = guid;
        json["tree"] = tree;
        json["listen"] = Json::Value(Json::arrayValue);
        for (const auto& [address, port] : listen) {
            json["listen"].append(addressText(address) + ":" + std::to_string(port));
        }
        json["tls-level"] = static_cast<Json::UInt64>(tlsLevel);
        // A secret: only whether one was given.
        json["code"] = !code.empty();
        json["log-level"] = static_cast<Json::UInt64>(logLevel);
        json["disco-interval"] = static_cast<Json::UInt64>(discoInterval);
        json["reply-port"] = replyPort;
        json["send-disco"] = sendDisco;
        const auto pairs = [](const std::vector<std::pair<std::string, unsigned short>>& list) {
            Json::Value texts(Json::arrayValue);
            for (const auto& [name, port] : list) {
                texts.append(name + "," + std::to_string(port));
            }
            return texts;
        };
        json["network"] = pairs(networks);
        json["interface"] = pairs(interfaces);
        json["mac"] = pairs(macs);
        json["all"] = Json::Value(Json::arrayValue);
        for (const unsigned short port : all) {
            json["all"].append(port);
        }
        json["ipv6"] = ipv6;
        json["cert"] = cert;
        json["key"] = key;
        json["dh"] = dh;
        json["dump"] = dump;
        json["exclude"] = Json::Value(Json::arrayValue);
        for (const auto& rule : exclude) {
            json["exclude"].append(rule.Text());
        }
        json["max-incoming"] = maxIncoming ? Json::Value(static_cast<Json::UInt64>(*maxIncoming)) : Json::Value();
        json["route"] = Json::Value(Json::arrayValue);
        for (const auto& [address, port] : routes) {
            json["route"].append(addressText(address) + "," + std::to_string(port));
        }
        json["timer-scale"] = static_cast<Json::UInt64>(timerScale);
        json["no-callback"] = Json::Value(Json::arrayValue);
        for (const auto& name : noCallback) {
            json["no-callback"].append(name);
        }
        return json;
    }
};

bool parseNumber(const std::string& text, unsigned long max, unsigned long& out) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value > max) {
        return false;
    }
    out = value;
    return true;
}

// Names travel in the routing headers of message lines, which take only these characters.
bool isNodeName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                        c == '.' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// The canonical text (lower case, hyphenated) of a GUID given in any of the usual forms.
bool canonicalGuid(const std::string& text, std::string& out) {
    try {
        out = boost::uuids::to_string(boost::uuids::string_generator()(text));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// "ADDR:PORT", the address IPv4 or IPv6 (in brackets or not), the port 1 to 65535.
bool parseEndpoint(const std::string& text, std::pair<std::string, unsigned short>& out) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    boost::system::error_code error;
    boost::asio::ip::make_address(address, error);
    unsigned long port = 0;
    if (error || !parseNumber(text.substr(colon + 1), 65535, port) || port == 0) {
        return false;
    }
    out = {address, static_cast<unsigned short>(port)};
    return true;
}

// "ADDRESS[:PORT]": an address alone (IPv6 bare or in brackets), or one with its port as
// --listen takes it: the forms the discovery service takes for its send address.
bool isSendDiscoAddress(const std::string& text) {
    std::string address = text;
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    boost::system::error_code error;
    boost::asio::ip::make_address(address, error);
    std::pair<std::string, unsigned short> endpoint;
    return !error || parseEndpoint(text, endpoint);
}

// "TEXT,PORT" with a non-empty text and a port from 1 to 65535.
bool parseNamePort(const std::string& text, std::pair<std::string, unsigned short>& out) {
    const auto comma = text.rfind(',');
    unsigned long port = 0;
    if (comma == std::string::npos || comma == 0 || !parseNumber(text.substr(comma + 1), 65535, port) || port == 0) {
        return false;
    }
    out = {text.substr(0, comma), static_cast<unsigned short>(port)};
    return true;
}

// "ADDRESS,PORT" of --route: IPv4, or IPv6 in brackets; the port 1 to 65535.
bool parseRoute(const std::string& text, std::pair<std::string, unsigned short>& out) {
    std::pair<std::string, unsigned short> route;
    if (!parseNamePort(text, route)) {
        return false;
    }
    std::string address = route.first;
    const bool bracketed = address.size() >= 2 && address.front() == '[' && address.back() == ']';
    if (bracketed) {
        address = address.substr(1, address.size() - 2);
    }
    boost::system::error_code error;
    const auto parsed = boost::asio::ip::make_address(address, error);
    if (error || parsed.is_v6() != bracketed) {
        return false;
    }
    out = {address, route.second};
    return true;
}

// "SET,TYPE,VALUE" of --exclude; the value may hold further commas.
bool parseExclusion(const std::string& text, Exclusion& out) {
    const auto first = text.find(',');
    const auto second = first == std::string::npos ? first : text.find(',', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    out = {text.substr(0, first), text.substr(first + 1, second - first - 1), text.substr(second + 1)};
    if ((out.set != "disco" && out.set != "list") || out.value.empty()) {
        return false;
    }
    return out.type == "classname" || out.type == "name" ||
           (out.type == "guid" && canonicalGuid(text.substr(second + 1), out.value));
}

// The application callbacks --no-callback may leave unset.
const std::set<std::string> kCallbackNames = {"verificationcode", "locate",   "identify",
                                              "reboot",           "authenticate", "setverificationcode",
                                              "starttls"};

// False with `error` set for an unknown, repeated or malformed option.
bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    static const std::set<std::string> valued = {
        "--role",         "--name",       "--guid",       "--tree",    "--listen",  "--tls-level",
        "--code",         "--log-level",  "--disco-interval", "--reply-port", "--send-disco", "--network",
        "--interface",    "--mac",        "--all",        "--cert",    "--key",     "--dh",
        "--exclude",      "--max-incoming", "--route",   "--timer-scale", "--no-callback"};
    static const std::set<std::string> flags = {"--ipv6", "--dump"};
    static const std::set<std::string> repeatable = {"--listen", "--network", "--interface", "--mac", "--all",
                                                     "--exclude", "--route", "--no-callback"};
    std::map<std::string, int> seen;
    for (int at = 1; at < argc; ++at) {
        const std::string option = argv[at];
        if (!valued.count(option) && !flags.count(option)) {
            error = "unknown option " + option;
            return false;
        }
        if (++seen[option] > 1 && !repeatable.count(option)) {
            error = option + " given twice";
            return false;
        }
        if (flags.count(option)) {
            (option == "--ipv6" ? options.ipv6 : options.dump) = true;
            continue;
        }
        if (at + 1 >= argc) {
            error = option + " needs a value";
            return false;
        }
        const std::string value = argv[++at];
        bool valid = true;
        if (option == "--role") {
            valid = value == "device" || value == "controller" || value == "router";
            options.role = value;
        } else if (option == "--name") {
            valid = isNodeName(value);
            options.name = value;
        } else if (option == "--guid") {
            valid = canonicalGuid(value, options.guid);
        } else if (option == "--tree") {
            valid = !value.empty();
            options.tree = value;
        } else if (option == "--listen") {
            std::pair<std::string, unsigned short> endpoint;
            valid = parseEndpoint(value, endpoint);
            options.listen.push_back(endpoint);
        } else if (option == "--tls-level") {
            valid = parseNumber(value, static_cast<unsigned long>(-1), options.tlsLevel);
        } else if (option == "--code") {
            valid = !value.empty();
            options.code = value;
        } else if (option == "--log-level") {
            valid = parseNumber(value, 7, options.logLevel);
        } else if (option == "--disco-interval") {
            valid = parseNumber(value, 3600, options.discoInterval) && options.discoInterval != 0;
        } else if (option == "--reply-port") {
            unsigned long port = 0;
            valid = parseNumber(value, 65535, port) && port != 0;
            options.replyPort = value;
        } else if (option == "--send-disco") {
            valid = isSendDiscoAddress(value);
            options.sendDisco = value;
        } else if (option == "--network" || option == "--interface") {
            std::pair<std::string, unsigned short> wish;
            valid = parseNamePort(value, wish);
            (option == "--network" ? options.networks : options.interfaces).push_back(wish);
        } else if (option == "--mac") {
            // Kept in the canonical form, the one the interface list holds.
            std::pair<std::string, unsigned short> wish;
            const Zelkor::MacAddress mac(value.substr(0, value.rfind(',')));
            valid = parseNamePort(value, wish) && mac.IsValid();
            options.macs.emplace_back(mac.Text(), wish.second);
        } else if (option == "--exclude") {
            Exclusion rule;
            valid = parseExclusion(value, rule);
            options.exclude.push_back(rule);
        } else if (option == "--max-incoming") {
            unsigned long limit = 0;
            valid = parseNumber(value, 1u << 20, limit);
            options.maxIncoming = limit;
        } else if (option == "--route") {
            std::pair<std::string, unsigned short> route;
            valid = parseRoute(value, route);
            options.routes.push_back(route);
        } else if (option == "--no-callback") {
            valid = kCallbackNames.count(value) != 0 && options.noCallback.insert(value).second;
        } else if (option == "--timer-scale") {
            valid = parseNumber(value, 1000, options.timerScale) && options.timerScale != 0;
        } else if (option == "--all") {
            unsigned long port = 0;
            valid = parseNumber(value, 65535, port) && port != 0;
            options.all.push_back(static_cast<unsigned short>(port));
        } else {
            valid = !value.empty();
            (option == "--cert" ? options.cert : option == "--key" ? options.key : options.dh) = value;
        }
        if (!valid) {
            error = "invalid value for " + option + ": " + value;
            return false;
        }
    }
    return true;
}

// --- the parameter tree --------------------------------------------------------------------

// The tree of a node started without --tree: just what identifies it (a discovery reply
// without a class name is refused), and the route array --route fills.
const char* const kMinimalTree = R"({
  "configuration": {
    ".kind": "obj",
    "device": {
      ".kind": "obj",
      "name": {".kind": "param", ".type": "string", ".min": 0, ".max": 63, ".value": ""},
      "guid": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""},
      "classname": {".kind": "param", ".type": "string", ".access": "ro", ".value": "node"},
      "protocolversion": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""}
    },
    "network": {
      ".kind": "obj",
      "routes": {
        ".kind": "array", ".size": 0, ".static": true,
        ".prototype": {
          ".kind": "obj",
          "ipaddress": {".kind": "param", ".type": "string", ".value": ""},
          "port": {".kind": "param", ".type": "integer", ".min": 1, ".max": 65535, ".value": 4197}
        }
      }
    }
  }
})";

const char* const kDevicePath = "/configuration/device";
const char* const kNamePath = "/configuration/device/name";
const char* const kGuidPath = "/configuration/device/guid";
const char* const kRoutesPath = "/configuration/network/routes";

bool writeValue(Zelkor::IStorage& tree, const char* path, const Json::Value& value, std::string& error) {
    const auto status = tree.SetValueForPath(path, "variant", value, false);
    if (status != Zelkor::IStorage::PathOk) {
        error = std::string("cannot write ") + path + " in the tree: " + tree.GetStatusString(status);
        return false;
    }
    return true;
}

// A list rule goes into the first free element of its array.
bool storeListRule(Zelkor::IStorage& tree, const Exclusion& rule, std::string& error) {
    const std::string array = "/configuration/network/rules/exclude/list/" + rule.type + "/";
    std::string held;
    for (int element = 1;; ++element) {
        const std::string path = array + std::to_string(element) + "/name";
        if (tree.GetValueForPath(path.c_str(), "string", held) != Zelkor::IStorage::PathOk) {
            error = "no free element in the tree for --exclude " + rule.Text();
            return false;
        }
        if (held.empty()) {
            return writeValue(tree, path.c_str(), rule.value, error);
        }
    }
}

// The routes of the options replace the elements of the tree's route array: each element
// a copy of the array's prototype with "ipaddress" and "port" written in. The discovery
// timer reads them from the tree.
bool storeRoutes(Zelkor::JsonModel& tree, const std::vector<std::pair<std::string, unsigned short>>& routes,
                 std::string& error) {
    if (routes.empty()) {
        return true;
    }
    // Looked up without operator[], which would add what is missing.
    const auto child = [](Json::Value* node, const char* name) {
        return node && node->isObject() && node->isMember(name) ? &(*node)[name] : nullptr;
    };
    Json::Value* array = child(child(child(&tree.GetRoot(), "configuration"), "network"), "routes");
    Json::Value* prototype = child(array, ".prototype");
    if (!child(array, ".size") || !child(prototype, "ipaddress") || !child(prototype, "port")) {
        error = std::string("no route array with \"ipaddress\" and \"port\" at ") + kRoutesPath + " in the tree";
        return false;
    }
    const Json::Value element = *prototype;
    for (std::size_t index = 1; index <= routes.size(); ++index) {
        (*array)[std::to_string(index)] = element;
    }
    (*array)[".size"] = static_cast<Json::UInt64>(routes.size());
    for (std::size_t index = 1; index <= routes.size(); ++index) {
        const std::string path = std::string(kRoutesPath) + "/" + std::to_string(index) + "/";
        const auto& [address, port] = routes[index - 1];
        if (!writeValue(tree, (path + "ipaddress").c_str(), Json::Value(address), error) ||
            !writeValue(tree, (path + "port").c_str(), Json::Value(port), error)) {
            return false;
        }
    }
    return true;
}

// The tree of --tree (or the minimal one) with the node's name and GUID written in; the
// options then hold the name and GUID in force. Without --guid the tree's GUID is kept
// when it is one, else the node gets a new one. Null, with `error` set, when the tree
// cannot be used.
std::shared_ptr<Zelkor::JsonModel> loadTree(Options& options, std::string& error) {
    std::shared_ptr<Zelkor::JsonModel> tree;
    if (options.tree.empty()) {
        tree = std::make_shared<Zelkor::JsonModel>(kMinimalTree);
    } else {
        std::ifstream in(options.tree);
        if (!in) {
            error = "cannot read the tree " + options.tree;
            return nullptr;
        }
        tree = std::make_shared<Zelkor::JsonModel>(in);
    }
    if (!tree->GetRoot().isObject()) {
        error = "no parameter tree in " + options.tree;
        return nullptr;
    }
    if (!options.name.empty()) {
        if (!writeValue(*tree, kNamePath, options.name, error)) {
            return nullptr;
        }
    } else {
        std::string name;
        if (tree->GetValueForPath(kNamePath, "string", name) == Zelkor::IStorage::PathOk) {
            options.name = name;
        }
    }
    std::string held;
    if (tree->GetValueForPath(kGuidPath, "string", held) == Zelkor::IStorage::InvalidPath) {
        std::string parameter = R"({".kind": "param", ".type": "string", ".access": "ro", ".value": ""})";
        tree->AddObjectToPath(kDevicePath, "guid", parameter);
    }
    if (options.guid.empty() && !canonicalGuid(held, options.guid)) {
        options.guid = boost::uuids::to_string(boost::uuids::random_generator()());
    }
    if (!writeValue(*tree, kGuidPath, options.guid, error)) {
        return nullptr;
    }
    for (const auto& rule : options.exclude) {
        if (rule.set == "list" && !storeListRule(*tree, rule, error)) {
            return nullptr;
        }
    }
    if (!storeRoutes(*tree, options.routes, error)) {
        return nullptr;
    }
    return tree;
}

// --- the listener configuration as commands ------------------------------------------------

// Each command calls the driver's operation of the same name and answers with one line
// named after it. Runs on the event loop.
class ListenerCommands {
public:
    ListenerCommands(Zelkor::IZelkorDriver& driver, Events& events) : _driver(driver), _events(events) {}

    // False when the name is no listener command; an "error" line for bad arguments.
    bool Run(const std::string& name, const Json::Value& command) {
        const auto found = handlers().find(name);
        if (found == handlers().end()) {
            return false;
        }
        Json::Value answer(Json::objectValue);
        if (!found->second(*this, command, answer)) {
            _events.Error("bad arguments for " + name);
        } else {
            _events.Write(name, answer);
        }
        return true;
    }

private:
    using Handler = std::function<bool(ListenerCommands&, const Json::Value&, Json::Value&)>;

    static bool text(const Json::Value& command, const char* key, std::string& out) {
        if (!command[key].isString()) {
            return false;
        }
        out = command[key].asString();
        if (std::string(key) == "address") {
            out = unbracketed(out);
        }
        return true;
    }
    static bool port(const Json::Value& command, unsigned short& out) {
        if (!command["port"].isUInt() || command["port"].asUInt() > 65535) {
            return false;
        }
        out = static_cast<unsigned short>(command["port"].asUInt());
        return true;
    }
    using Driver = Zelkor::IZelkorDriver;

    // An add: the text under `key` and a port; the driver's answer is the result.
    template <class Add>
    static Handler add(const char* key, Add operation) {
        return [key, operation](ListenerCommands& self, const Json::Value& command, Json::Value& answer) {
            std::string name;
            unsigned short number = 0;
            if (!text(command, key, name) || !port(command, number)) {
                return false;
            }
            answer["result"] = operation(self._driver, name, number);
            return true;
        };
    }
    // A removal: the text under `key`, with a port (or none: every port).
    template <class Remove>
    static Handler remove(const char* key, Remove operation) {
        return [key, operation](ListenerCommands& self, const Json::Value& command, Json::Value&) {
            std::string name;
            unsigned short number = 0;
            const bool onePort = command.isMember("port");
            if (!text(command, key, name) || (onePort && !port(command, number))) {
                return false;
            }
            operation(self._driver, name, onePort ? &number : nullptr);
            return true;
        };
    }

    static const std::map<std::string, Handler>& handlers() {
        using D = Driver;
        using Text = const std::string&;
        using Port = const unsigned short*;
        static const std::map<std::string, Handler> table = {
            {"addListener", add("address", [](D& d, Text a, unsigned short p) { return d.AddListener(a, p); })},
            {"removeListener",
             remove("address", [](D& d, Text a, Port p) { p ? d.RemoveListener(a, *p) : d.RemoveListener(a); })},
            {"addInterface", add("mac", [](D& d, Text m, unsigned short p) { return d.AddInterface(m, p); })},
            {"removeInterface",
             remove("mac", [](D& d, Text m, Port p) { p ? d.RemoveInterface(m, *p) : d.RemoveInterface(m); })},
            {"addNetwork", add("name", [](D& d, Text n, unsigned short p) { return d.AddNetwork(n, p); })},
            {"removeNetwork",
             remove("name", [](D& d, Text n, Port p) { p ? d.RemoveNetwork(n, *p) : d.RemoveNetwork(n); })},
            {"addAllListeners",
             [](ListenerCommands& self, const Json::Value& command, Json::Value& answer) {
                 unsigned short number = 0;
                 if (!port(command, number)) {
                     return false;
                 }
                 std::vector<std::string> endpoints;
                 answer["result"] = self._driver.AddAllListeners(number, endpoints);
                 answer["endpoints"] = Json::Value(Json::arrayValue);
                 for (const auto& endpoint : endpoints) {
                     answer["endpoints"].append(endpoint);
                 }
                 return true;
             }},
            {"removeAllListeners",
             [](ListenerCommands& self, const Json::Value& command, Json::Value&) {
                 unsigned short number = 0;
                 if (!command.isMember("port")) {
                     self._driver.RemoveAllListeners();
                     return true;
                 }
                 if (!port(command, number)) {
                     return false;
                 }
                 self._driver.RemoveAllListeners(number);
                 return true;
             }},
            {"addMulticast",
             [](ListenerCommands& self, const Json::Value& command, Json::Value& answer) {
                 std::string address;
                 return text(command, "address", address) && (answer["result"] = self._driver.AddMulticast(address), true);
             }},
            {"removeMulticast",
             [](ListenerCommands& self, const Json::Value& command, Json::Value& answer) {
                 std::string address;
                 return text(command, "address", address) &&
                        (answer["result"] = self._driver.RemoveMulticast(address), true);
             }},
            {"listMulticast",
             [](ListenerCommands& self, const Json::Value&, Json::Value& answer) {
                 std::vector<std::string> groups;
                 self._driver.ListMulticast(groups);
                 answer["groups"] = Json::Value(Json::arrayValue);
                 for (const auto& group : groups) {
                     answer["groups"].append(group);
                 }
                 return true;
             }},
            {"listInterfaces",
             [](ListenerCommands& self, const Json::Value&, Json::Value& answer) {
                 std::vector<Zelkor::InterfaceInfo> list;
                 std::string host;
                 self._driver.ListInterfaces(list, host);
                 answer["hostName"] = host;
                 answer["interfaces"] = Json::Value(Json::arrayValue);
                 for (const auto& info : list) {
                     Json::Value entry;
                     entry["name"] = info.adapterName;
                     entry["mac"] = info.macText;
                     entry["ipv4"] = info.ipv4Text;
                     entry["ipv6"] = addressText(info.ipv6Text);
                     entry["subnetMask"] = info.subnetMaskText;
                     entry["gateway"] = info.gatewayText;
                     entry["up"] = info.up;
                     entry["dhcp"] = info.dhcp;
                     answer["interfaces"].append(entry);
                 }
                 return true;
             }},
            {"getEndPoints",
             [](ListenerCommands& self, const Json::Value&, Json::Value& answer) {
                 std::vector<D::Endpoint> endpoints;
                 self._driver.GetEndPoints(endpoints);
                 answer["endpoints"] = Json::Value(Json::arrayValue);
                 for (const auto& [address, number] : endpoints) {
                     Json::Value entry;
                     entry["address"] = addressText(address);
                     entry["port"] = number;
                     answer["endpoints"].append(entry);
                 }
                 return true;
             }},
            {"getEndPointInterfaces",
             [](ListenerCommands& self, const Json::Value&, Json::Value& answer) {
                 std::vector<std::string> names;
                 self._driver.GetEndPointInterfaces(names);
                 answer["names"] = Json::Value(Json::arrayValue);
                 for (const auto& name : names) {
                     answer["names"].append(name);
                 }
                 return true;
             }},
            {"disconnectAllExcept",
             [](ListenerCommands& self, const Json::Value&, Json::Value&) {
                 self._driver.DisconnectAllExcept(nullptr);
                 return true;
             }},
        };
        return table;
    }

    Zelkor::IZelkorDriver& _driver;
    Events& _events;
};

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

// --- the node --------------------------------------------------------------------------------

// The driver runs on a thread of its own (Run makes it the event-loop thread). The main
// thread runs a small control loop that watches the stop signals, standard input and the
// end of Run, and stops the node: DestroyDriver, join the run thread, DeleteDriver.
class Node {
public:
    Node(Zelkor::IZelkorDriver& driver, boost::asio::io_context& loop, std::shared_ptr<Zelkor::IStorage> tree,
         const Options& options, Events& events)
        : _driver(driver),
          _loop(loop),
          _tree(std::move(tree)),
          _options(options),
          _events(events),
          _listenerCommands(driver, events),
          _code(options.code) {}
    ~Node() { finish(_exitCode); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Runs the node until it stops; returns the exit code.
    int Run(const sigset_t& stopSignals) {
        Json::Value start;
        start["version"] = versionText();
        start["pid"] = static_cast<Json::Int64>(::getpid());
        start["options"] = _options.ToJson();
        _events.Write("start", start);
        configure();
        watchSignals(stopSignals);
        watchInput();

        _runThread = std::thread([this] {
            _driver.Run();
            // Run returns once the driver is stopped, or at once when it cannot run.
            boost::asio::post(_control, [this] { finish(_stopAsked ? 0 : 1); });
        });
        _control.run();
        return _exitCode;
    }

private:
    static std::string versionText() {
        Zelkor::VersionInfo version;
        Zelkor::GetVersionInfo(version);
        return version.version;
    }

    void configure() {
        _driver.OnCustomCommand([this](std::string& line) { return lineEvent("custom", line); });
        _driver.OnCustomCommandResponse([this](std::string& line) { return lineEvent("customreply", line); });
        _driver.OnListenerAdded([this](const std::string& address, unsigned short port) {
            listenerEvent("listenerAdded", address, port);
        });
        _driver.OnListenerRemoved([this](const std::string& address, unsigned short port) {
            listenerEvent("listenerRemoved", address, port);
        });
        _driver.OnLs([this](Zelkor::MessageSignalData& data) { replyEvent("ls", data); });
        _driver.OnRls([this](Zelkor::MessageSignalData& data) { replyEvent("rls", data); });
        _driver.OnCd([this](Zelkor::MessageSignalData& data) { replyEvent("cd", data); });
        // The connection results are a signal of the driver class itself.
        if (auto* driver = dynamic_cast<Zelkor::ZelkorDriver*>(&_driver)) {
            _connectionResults = driver->ConnectionResults().Connect(
                [this](Zelkor::ConnectionResult& result) { connectionEvent(result); });
        }

        _driver.InitDiscovery(_tree);
        configureDiscovery();
        configureCallbacks();
        Zelkor::ICryptoInfo& crypto = *_driver.GetCryptoInfo();
        crypto.SetTlsLevel(_options.tlsLevel);
        std::string cert = _options.cert;
        std::string key = _options.key;
        std::string dh = _options.dh;
        crypto.SetCertFile(cert);
        crypto.SetKeyFile(key);
        crypto.SetDHParamsFile(dh);
        _driver.UseIPv6(_options.ipv6);
        _driver.DumpTraffic(_options.dump);
        configureListeners();
        watchAnswers();
    }

    // Every wish of the options; a refused one is noted in the log.
    void configureListeners() {
        const auto refused = [](const std::string& option, const std::string& what) {
            note(option + " " + what + " refused");
        };
        for (const auto& [address, port] : _options.listen) {
            if (_driver.AddListener(address, port) != 0) {
                refused("--listen", address + ":" + std::to_string(port));
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

    // The role and the discovery settings, a "device" line for every change in the device
    // list, and the node's own discovery values as its peers will read them.
    void configureDiscovery() {
        Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
        if (!discovery) {
            return;
        }
        discovery->SetMode(_options.role);
        if (_options.discoInterval != 0) {
            discovery->SetDiscoInterval(_options.discoInterval * 1000);
        }
        if (!_options.replyPort.empty()) {
            discovery->SetDiscoReplyPort(_options.replyPort);
        }
        if (!_options.sendDisco.empty()) {
            discovery->SetSendDiscoAddress(_options.sendDisco);
        }
        if (_options.maxIncoming) {
            discovery->SetMaxIncomingConnections(*_options.maxIncoming);
        }
        if (auto* service = dynamic_cast<Zelkor::DiscoveryService*>(discovery)) {
            // A test seam: every period of the discovery timer divided by the scale.
            service->SetTimerScale(static_cast<unsigned>(_options.timerScale));
        }
        excludeFromDiscovery(*discovery);
        discovery->GetDeviceList()->OnListChange(
            [this](std::shared_ptr<Zelkor::IDevice> device, Zelkor::DeviceNetState state, Zelkor::DeviceNetState old) {
                deviceEvent(device, state, old);
            });

        Json::Value own;
        if (auto* service = dynamic_cast<Zelkor::DiscoveryService*>(discovery)) {
            for (const Zelkor::Param name : Zelkor::Disco::RequestedNames()) {
                Json::Value value;
                if (service->GetDiscoInfo().GetDiscoReplyValue("", name, value)) {
                    own[Zelkor::Message::GetStringFromParam(name)] = value;
                }
            }
        }
        Json::Value fields;
        fields["values"] = own;
        fields["replyPort"] = discovery->DiscoReplyPort();
        _events.Write("discovery", fields);
    }

    // The application's callbacks, each telling of its call in one line; those that
    // --no-callback names stay unset. The verification code is the node's own (--code at
    // first): the device side reads and stores it through its callback, and a controller
    // proves it to every device it lists.
    void configureCallbacks() {
        Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
        if (!discovery) {
            return;
        }
        const auto wanted = [this](const char* name) { return _options.noCallback.count(name) == 0; };
        if (wanted("verificationcode")) {
            discovery->OnVerificationCode([this](Zelkor::VerificationCode::Operation operation, std::string& code) {
                return verificationCode(operation, code);
            });
        }
        Zelkor::IDeviceList& list = *discovery->GetDeviceList();
        if (wanted("locate")) {
            list.OnLocate([this](LocateInfo& info) {
                Json::Value fields = peerFields(info.reply, info.guid, info.mac, info.name, info.ip, info.port);
                fields["timeout"] = info.timeout;
                _events.Write("locate", fields);
                return true;
            });
        }
        if (wanted("identify")) {
            list.OnIdentify([this](IdentifyInfo& info) {
                _events.Write("identify", peerFields(info.reply, info.guid, info.mac, info.name, info.ip, info.port));
                return true;
            });
        }
        if (wanted("reboot")) {
            // Accepted, and only told: the node does not restart.
            list.OnReboot([this](RebootInfo& info) {
                Json::Value fields;
                fields["reply"] = info.reply;
                fields["guid"] = info.guid;
                fields["mac"] = info.mac;
                fields["error"] = info.error;
                _events.Write("reboot", fields);
                return true;
            });
        }
        if (wanted("authenticate")) {
            list.OnAuthenticate([this](AuthenticateInfo& info) { return errorLine("authenticate", info.error); });
        }
        if (wanted("setverificationcode")) {
            list.OnSetVerificationCode(
                [this](SetVerificationCodeInfo& info) { return errorLine("setVerificationCode", info.error); });
        }
        if (wanted("starttls")) {
            list.OnStartTLS([this](StartTLSInfo& info) {
                Json::Value fields;
                fields["request"] = info.request;
                fields["error"] = info.error;
                _events.Write("startTLS", fields);
                return true;
            });
        }
    }

    // Read: the code in force (empty: none); store: the new one, which reads return from
    // then on. The code itself is never written out, only whether there is one.
    bool verificationCode(Zelkor::VerificationCode::Operation operation, std::string& code) {
        if (operation == Zelkor::VerificationCode::Read) {
            std::lock_guard<std::mutex> lock(_codeMutex);
            code = _code;
            return true;
        }
        if (operation != Zelkor::VerificationCode::Store) {
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(_codeMutex);
            _code = code;
        }
        Json::Value fields;
        fields["operation"] = "store";
        fields["code"] = !code.empty();
        _events.Write("verificationCode", fields);
        return true;
    }

    // A device this controller has just come to know proves the node's --code; a code set
    // later through "setcode" is the device object's to keep.
    void giveCode(Zelkor::IDevice& device) {
        if (!_options.code.empty()) {
            device.SetVerificationCode(_options.code);
        }
    }

    // What the node does with every device it comes to know. The default reply handlers
    // are the driver's, one for all its devices, but an application reaches them through
    // a device object: registering again with each new one changes nothing, and no
    // device is ever without them. A reply they take tells nothing of its device.
    void adopt(Zelkor::IDevice& device) {
        giveCode(device);
        using Values = Zelkor::ObjectParamContainer;
        device.OnGetResult([this](const Values& values) { valuesEvent("get", "", true, values); });
        device.OnSetResult([this](const Values& values) { valuesEvent("set", "", true, values); });
    }

    void valuesEvent(const char* event, const std::string& tag, bool byDefault,
                     const Zelkor::ObjectParamContainer& values) {
        Json::Value fields;
        fields["tag"] = tag;
        fields["default"] = byDefault;
        fields["values"] = values.ToJson();
        _events.Write(event, fields);
    }

    static Json::Value peerFields(bool reply, const std::string& guid, const std::string& mac, const std::string& name,
                                  const boost::asio::ip::address& ip, std::uint16_t port) {
        Json::Value fields;
        fields["reply"] = reply;
        fields["guid"] = guid;
        fields["mac"] = mac;
        fields["name"] = name;
        fields["ip"] = addressText(ip);
        fields["port"] = port;
        return fields;
    }

    bool errorLine(const char* event, const std::string& error) {
        Json::Value fields;
        fields["error"] = error;
        _events.Write(event, fields);
        return true;
    }

    // The disco rules of the options, in one request.
    void excludeFromDiscovery(Zelkor::IDiscoveryService& discovery) {
        std::map<std::string, std::vector<std::string>> values;
        for (const auto& rule : _options.exclude) {
            if (rule.set == "disco") {
                values[rule.type].push_back(rule.value);
            }
        }
        if (values.empty()) {
            return;
        }
        discovery.AddNetworkRuleExcusion(
            values["classname"], values["name"], values["guid"],
            [this](const std::string message, bool ok, Zelkor::RuleDetails& details) {
                Json::Value fields;
                fields["message"] = message;
                fields["ok"] = ok;
                fields["details"] = Json::Value(Json::objectValue);
                for (const auto& [text, concerned] : details) {
                    Json::Value& list = fields["details"][text] = Json::Value(Json::arrayValue);
                    for (const auto& value : concerned) {
                        list.append(value);
                    }
                }
                _events.Write("exclude", fields);
            });
    }

    // The library names the stored states; the notifications and "no state yet" get names here.
    static std::string stateName(Zelkor::DeviceNetState state) {
        const auto found = Zelkor::DeviceNetStateString.find(state);
        if (found != Zelkor::DeviceNetStateString.end()) {
            return found->second;
        }
        switch (state) {
            case Zelkor::DeviceNetStateNone:
                return "None";
            case Zelkor::DeviceNetStateChanged:
                return "Changed";
            case Zelkor::DeviceNetStateDescriptorWanted:
                return "DescriptorWanted";
            default:
                return std::to_string(static_cast<int>(state));
        }
    }

    void deviceEvent(const std::shared_ptr<Zelkor::IDevice>& device, Zelkor::DeviceNetState state,
                     Zelkor::DeviceNetState old) {
        if (device && old == Zelkor::DeviceNetStateNone) {
            adopt(*device);
        }
        Json::Value fields;
        if (device) {
            const Zelkor::DiscoInfo info = device->GetDiscoInfo();
            fields["guid"] = info.guid;
            fields["name"] = info.name;
            fields["ip"] = addressText(info.ip);
            fields["port"] = info.port;
            if (device->HasProxy()) {
                fields["proxy"] = device->ProxyName();
            }
        }
        fields["state"] = stateName(state);
        fields["old"] = stateName(old);
        _events.Write("device", fields);
    }

    // The library tells of no single answer, but counts them on the device: the count is
    // read a few times a second on the loop and an "alive" line written when it grew.
    void watchAnswers() {
        _answerTimer.expires_after(std::chrono::milliseconds(100));
        _answerTimer.async_wait([this](const boost::system::error_code& error) {
            if (error) {
                return;
            }
            reportAnswers();
            reportSecurity();
            watchAnswers();
        });
    }

    void reportAnswers() {
        Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
        if (!discovery) {
            return;
        }
        std::map<const Zelkor::IDevice*, std::uint64_t> seen;
        discovery->GetDeviceList()->forEach([&](std::shared_ptr<Zelkor::IDevice> device) {
            const auto* concrete = dynamic_cast<const Zelkor::DeviceImpl*>(device.get());
            if (!concrete) {
                return;
            }
            const std::uint64_t count = concrete->GetRoundTripCount();
            const auto known = _answers.find(device.get());
            seen[device.get()] = count;
            if (count == 0 || (known != _answers.end() && known->second == count)) {
                return;
            }
            const Zelkor::DiscoInfo info = device->GetDiscoInfo();
            Json::Value fields;
            fields["guid"] = info.guid;
            fields["name"] = info.name;
            fields["answered"] = static_cast<Json::UInt64>(count);
            fields["roundTripMs"] = std::round(device->GetAvgRoundTripTime() * 1000000.0) / 1000.0;
            _events.Write("alive", fields);
        });
        // Devices that left the list are forgotten.
        _answers = std::move(seen);
    }

    // A "security" line whenever the connection a request to a listed device takes becomes
    // secured, authenticated or proven with the prefix ("kasdor"), or stops being so; read
    // with the answers, on the loop.
    void reportSecurity() {
        Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
        if (!discovery) {
            return;
        }
        std::map<const Zelkor::IDevice*, Json::Value> seen;
        discovery->GetDeviceList()->forEach([&](std::shared_ptr<Zelkor::IDevice> device) {
            const auto socket = device->GetHandle();
            if (!socket) {
                return;
            }
            const Zelkor::DiscoInfo info = device->GetDiscoInfo();
            Json::Value fields;
            fields["guid"] = info.guid;
            fields["name"] = info.name;
            fields["secured"] = socket->GetState() == Zelkor::TcpSocket::Tls;
            fields["authenticated"] = socket->IsAuthenticated();
            fields["kasdor"] = socket->IsKasdorAuthenticated();
            const auto known = _security.find(device.get());
            if (known == _security.end() || known->second != fields) {
                _events.Write("security", fields);
            }
            seen[device.get()] = fields;
        });
        // A device without a connection is told of afresh when it has one again.
        _security = std::move(seen);
    }

    bool lineEvent(const char* event, const std::string& line) {
        Json::Value fields;
        fields["line"] = line;
        _events.Write(event, fields);
        return true;
    }

    void listenerEvent(const char* event, const std::string& address, unsigned short port) {
        Json::Value fields;
        fields["address"] = addressText(address);
        fields["port"] = port;
        _events.Write(event, fields);
    }

    void replyEvent(const char* event, Zelkor::MessageSignalData& data) {
        Json::Value fields;
        fields["tag"] = Zelkor::ZelkorDriver::Tag(data.Handle());
        fields["line"] = data.GetMessage() ? data.GetMessage()->GetRawText() : std::string();
        _events.Write(event, fields);
    }

    void connectionEvent(const Zelkor::ConnectionResult& result) {
        Json::Value fields;
        fields["tag"] = Zelkor::ZelkorDriver::Tag(result.handle);
        fields["connected"] = result.connected;
        fields["outgoing"] = result.outgoing;
        const std::string address = result.remote.GetIPAddressStr();
        fields["peer"] =
            address.empty() ? std::string() : addressText(address) + ":" + std::to_string(result.remote.port);
        _events.Write("connection", fields);
    }

    // The stop signals are blocked in every thread and read here as data: nothing runs in
    // signal context, and a signal that comes once the node is stopping is never acted on.
    void watchSignals(const sigset_t& stopSignals) {
        const int fd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd < 0) {
            throw std::runtime_error("cannot watch the stop signals");
        }
        _signals.assign(fd);
        _signals.async_read_some(boost::asio::buffer(&_signal, sizeof _signal),
                                 [this](const boost::system::error_code& error, std::size_t) {
                                     if (!error) {
                                         finish(0);
                                     }
                                 });
    }

    // A file or /dev/null is read through to its end like a pipe. Input that cannot be
    // watched at all gives no commands and no end: the node then runs until a signal.
    void watchInput() {
        const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        boost::system::error_code error;
        if (fd >= 0) {
            _input.assign(fd, error);
        }
        if (fd < 0 || error) {
            if (fd >= 0) {
                ::close(fd);
            }
            note("standard input cannot be watched: no commands are read");
            return;
        }
        readInput();
    }

    void readInput() {
        _input.async_read_some(boost::asio::buffer(_chunk), [this](const boost::system::error_code& error,
                                                                   std::size_t count) {
            if (error) {
                if (error != boost::asio::error::operation_aborted) {
                    finish(0);  // end of input
                }
                return;
            }
            takeInput(count);
            readInput();
        });
    }

    // Cuts the input into lines; a line longer than kMaxCommand is refused whole.
    void takeInput(std::size_t count) {
        static constexpr std::size_t kMaxCommand = 64 * 1024;
        _pending.append(_chunk.data(), count);
        for (auto end = _pending.find('\n'); end != std::string::npos; end = _pending.find('\n')) {
            std::string line = _pending.substr(0, end);
            _pending.erase(0, end + 1);
            if (_skipping) {
                _skipping = false;
                continue;
            }
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!line.empty()) {
                boost::asio::post(_loop, [this, line] { runCommand(line); });
            }
        }
        if (_pending.size() > kMaxCommand) {
            _events.Error("command longer than " + std::to_string(kMaxCommand) + " bytes");
            _pending.clear();
            _skipping = true;
        }
    }

    // On the event loop, like every other piece of the node's work.
    void runCommand(const std::string& line) {
        Json::Value command;
        std::string errors;
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        bool parsed = false;
        try {
            parsed = reader->parse(line.data(), line.data() + line.size(), &command, &errors);
        } catch (const std::exception&) {
            // Nesting beyond the reader's limit.
        }
        if (!parsed || !command.isObject() || !command["cmd"].isString()) {
            _events.Error("not a command: " + line);
            return;
        }
        const std::string name = command["cmd"].asString();
        if (name == "stop") {
            _stopAsked = true;
            Zelkor::DestroyDriver();
            return;
        }
        if (name == "connect") {
            connect(command);
            return;
        }
        if (name == "hascode") {
            Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
            Json::Value answer;
            answer["result"] = discovery && discovery->HasVerificationCode();
            _events.Write(name, answer);
            return;
        }
        if (valueRequest(name, command) || deviceRequest(name, command)) {
            return;
        }
        if (!_listenerCommands.Run(name, command)) {
            _events.Error("unknown command " + name);
        }
    }

    // {"cmd":"connect","address":A,"port":P}: the discovery service makes a device for the
    // endpoint and connects it; the "device" lines follow it.
    void connect(const Json::Value& command) {
        Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
        std::pair<std::string, unsigned short> endpoint;
        const bool valid = command["address"].isString() && command["port"].isUInt() &&
                           parseEndpoint(command["address"].asString() + ":" + command["port"].asString(), endpoint);
        if (!valid || !discovery) {
            _events.Error("bad arguments for connect");
            return;
        }
        const auto address = boost::asio::ip::make_address(endpoint.first);
        const bool known = discovery->GetDeviceByIPAndPort(address, endpoint.second) != nullptr;
        discovery->Connect(address, endpoint.second);
        // A device made for the endpoint proves the node's code from its first connection
        // on; a known one keeps the code confirmed for it.
        if (const auto device = known ? nullptr : discovery->GetDeviceByIPAndPort(address, endpoint.second)) {
            adopt(*device);
        }
        Json::Value answer;
        answer["address"] = addressText(endpoint.first);
        answer["port"] = endpoint.second;
        _events.Write("connect", answer);
    }

    // A request to the listed device that "guid" names; locate, identify and reboot go to
    // every served interface when no listed device has that GUID (or none is given). One
    // "request" line tells where it went ("device" or "all"; setcode also whether it was
    // "sent": only over a secured connection); the answers come as callback lines.
    bool deviceRequest(const std::string& name, const Json::Value& command) {
        static const std::set<std::string> words = {"setcode", "ls",       "rls",    "cd",
                                                    "locate",  "identify", "reboot", "goodbye"};
        if (!words.count(name)) {
            return false;
        }
        // An absent text is empty; a present one must be a string (a time-out also a number).
        std::map<std::string, std::string> texts;
        bool valid = true;
        for (const char* key : {"guid", "path", "current", "new", "mac", "name", "timeout"}) {
            const Json::Value& value = command[key];
            if (value.isString()) {
                texts[key] = value.asString();
            } else if (std::string(key) == "timeout" && value.isIntegral()) {
                texts[key] = value.asString();
            } else if (!value.isNull()) {
                valid = false;
            }
        }
        std::string guid;
        valid = valid && (texts["guid"].empty() || canonicalGuid(texts["guid"], guid));
        Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
        if (!valid || !discovery || (name == "reboot" && texts["mac"].empty())) {
            _events.Error("bad arguments for " + name);
            return true;
        }
        const auto device = guid.empty() ? nullptr : discovery->GetDeviceList()->GetDeviceByUUID(guid);
        const bool toAll = name == "locate" || name == "identify" || name == "reboot";
        if (!device && !toAll) {
            _events.Error("no device " + texts["guid"] + " for " + name);
            return true;
        }
        Json::Value answer;
        answer["cmd"] = name;
        answer["guid"] = guid;
        answer["to"] = device ? "device" : "all";
        if (name == "setcode") {
            SetVerificationCodeInfo info;
            info.current = texts["current"];
            info.newCode = texts["new"];
            device->SendSetVerificationCodeRequest(info);
            answer["sent"] = info.sent;
        } else if (name == "ls") {
            device->SendLsCmdRequest(texts["path"]);
        } else if (name == "rls") {
            device->SendRlsCmdRequest(texts["path"]);
        } else if (name == "cd") {
            device->SendCdCmdRequest(texts["path"]);
        } else if (name == "goodbye") {
            device->Goodbye();
        } else if (name == "reboot") {
            device ? device->SendReboot(texts["mac"]) : discovery->SendReboot(texts["mac"]);
        } else if (name == "locate") {
            if (device) {
                device->Locate(texts["timeout"]);
            } else {
                LocateInfo info;
                info.guid = guid;
                info.mac = texts["mac"];
                info.name = texts["name"];
                info.timeout = texts["timeout"];
                discovery->SendLocateRequest(info);
            }
        } else {
            IdentifyInfo info;
            info.guid = guid;
            info.mac = texts["mac"];
            info.name = texts["name"];
            if (device) {
                const Zelkor::DiscoInfo known = device->GetDiscoInfo();
                info.mac = known.mac;
                info.name = known.name;
                device->Identify(info);
            } else {
                discovery->SendIdentifyRequest(info);
            }
        }
        _events.Write("request", answer);
        return true;
    }

    // {"cmd":"get"|"set","guid":G,"values":V[,"tag":T]}: the values of the container's
    // JSON form asked of, or written to, the listed device. With a tag the reply reaches a
    // callback of this request, which names it; without one, the default handler. One
    // "request" line tells of it; the reply comes as a line named after the word.
    bool valueRequest(const std::string& name, const Json::Value& command) {
        if (name != "get" && name != "set") {
            return false;
        }
        std::string guid;
        Zelkor::ObjectParamContainer values;
        const Json::Value& tag = command["tag"];
        Zelkor::IDiscoveryService* discovery = _driver.GetDiscoveryService();
        const bool valid = command["guid"].isString() && canonicalGuid(command["guid"].asString(), guid) &&
                           (tag.isNull() || tag.isString()) && values.FromJson(command["values"]);
        if (!valid || !discovery) {
            _events.Error("bad arguments for " + name);
            return true;
        }
        const auto device = discovery->GetDeviceList()->GetDeviceByUUID(guid);
        if (!device) {
            _events.Error("no device " + command["guid"].asString() + " for " + name);
            return true;
        }
        const bool set = name == "set";
        if (tag.isNull()) {
            set ? device->SetParameter(values) : device->GetParameter(values);
        } else {
            const std::string text = tag.asString();
            auto callback = [this, event = set ? "set" : "get", text](const Zelkor::ObjectParamContainer& reply) {
                valuesEvent(event, text, false, reply);
            };
            set ? device->SetParameter(values, callback, false, text)
                : device->GetParameter(values, callback, false, text);
        }
        Json::Value answer;
        answer["cmd"] = name;
        answer["guid"] = guid;
        answer["to"] = "device";
        if (!tag.isNull()) {
            answer["tag"] = tag;
        }
        _events.Write("request", answer);
        return true;
    }

    // Control thread. The first reason to stop wins; later ones find the node stopping.
    void finish(int exitCode) {
        if (_finished) {
            return;
        }
        _finished = true;
        _exitCode = exitCode;
        Zelkor::DestroyDriver();
        if (_runThread.joinable()) {
            _runThread.join();
        }
        _connectionResults.disconnect();
        Zelkor::DeleteDriver();
        _control.stop();
    }

    Zelkor::IZelkorDriver& _driver;
    boost::asio::io_context& _loop;
    std::shared_ptr<Zelkor::IStorage> _tree;
    const Options& _options;
    Events& _events;
    ListenerCommands _listenerCommands;

    boost::asio::io_context _control;
    boost::asio::posix::stream_descriptor _signals{_control};
    signalfd_siginfo _signal{};
    boost::asio::posix::stream_descriptor _input{_control};
    std::array<char, 4096> _chunk{};
    std::string _pending;
    bool _skipping = false;

    boost::asio::steady_timer _answerTimer{_loop};
    // Answers counted per listed device at the last look (loop only).
    std::map<const Zelkor::IDevice*, std::uint64_t> _answers;
    // The last "security" line of each listed device with a connection (loop only).
    std::map<const Zelkor::IDevice*, Json::Value> _security;
    // The verification code behind the callback; read and stored on the loop, read by
    // look-ups from any thread.
    std::mutex _codeMutex;
    std::string _code;

    boost::signals2::scoped_connection _connectionResults;
    std::thread _runThread;
    std::atomic<bool> _stopAsked{false};
    bool _finished = false;
    int _exitCode = 1;
};

}  // namespace

int main(int argc, char** argv) {
    // Blocked before any thread exists, so that every thread inherits the mask; the node
    // reads them from a signalfd instead.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader that went away is an error on the write, not the end of the process.
    signal(SIGPIPE, SIG_IGN);

    Events events;
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        events.Error(error);
        return 2;
    }

    // The event loop is the application's: commands from standard input are posted to it.
    boost::asio::io_context loop;
    Zelkor::IZelkorDriver* driver = Zelkor::CreateDriver(loop);
    // Standard output belongs to the events.
    driver->RegisterExternalLogger(writeLogLine);
    driver->SetLogLevel(options.logLevel);

    int exitCode = 2;
    try {
        if (auto tree = loadTree(options, error)) {
            Node node(*driver, loop, std::move(tree), options, events);
            exitCode = node.Run(stopSignals);
            Json::Value stop;
            stop["exitCode"] = exitCode;
            events.Write("stop", stop);
        } else {
            events.Error(error);
        }
    } catch (const std::exception& failure) {
        events.Error(failure.what());
        exitCode = 1;
    }
    Zelkor::DeleteDriver();
    return exitCode;
}
