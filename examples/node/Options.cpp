#include "Options.h"

#include <charconv>
#include <exception>
#include <map>

#include <boost/asio/ip/address.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "Events.h"
#include "core/MacAddress.h"

namespace ZelkorNode {
namespace {

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

// IPv4, or IPv6 in brackets: "fd00::1:4197" would otherwise be an address, or an address
// and a port, as the reader guesses. `out` takes the address without brackets.
bool parseAddress(const std::string& text, std::string& out) {
    const bool bracketed = text.size() >= 2 && text.front() == '[' && text.back() == ']';
    const std::string address = bracketed ? text.substr(1, text.size() - 2) : text;
    boost::system::error_code error;
    const auto parsed = boost::asio::ip::make_address(address, error);
    if (error || parsed.is_v6() != bracketed) {
        return false;
    }
    out = address;
    return true;
}

bool parsePort(const std::string& text, unsigned short& out) {
    unsigned long port = 0;
    if (!ParseNumber(text, 65535, port) || port == 0) {
        return false;
    }
    out = static_cast<unsigned short>(port);
    return true;
}

// "ADDRESS:PORT" of --listen.
bool parseEndpoint(const std::string& text, Endpoint& out) {
    const auto colon = text.rfind(':');
    return colon != std::string::npos && parseAddress(text.substr(0, colon), out.first) &&
           parsePort(text.substr(colon + 1), out.second);
}

// "ADDRESS" or "ADDRESS:PORT" of --send-disco, as the discovery service takes it.
bool isSendDiscoAddress(const std::string& text) {
    std::string address;
    Endpoint endpoint;
    return parseAddress(text, address) || parseEndpoint(text, endpoint);
}

// "TEXT,PORT" with a non-empty text: a MAC and an IPv6 address hold colons.
bool parseNamePort(const std::string& text, Endpoint& out) {
    const auto comma = text.rfind(',');
    if (comma == std::string::npos || comma == 0 || !parsePort(text.substr(comma + 1), out.second)) {
        return false;
    }
    out.first = text.substr(0, comma);
    return true;
}

// "ADDRESS,PORT" of --route.
bool parseRoute(const std::string& text, Endpoint& out) {
    Endpoint route;
    if (!parseNamePort(text, route) || !parseAddress(route.first, out.first)) {
        return false;
    }
    out.second = route.second;
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
           (out.type == "guid" && CanonicalGuid(text.substr(second + 1), out.value));
}

// The application callbacks --no-callback may leave unset.
const std::set<std::string> kCallbackNames = {"verificationcode", "locate",       "identify", "reboot",
                                              "authenticate",     "setverificationcode", "starttls",
                                              "execnamed",        "execordered",  "exectext"};

Json::Value optionalNumber(const std::optional<unsigned long>& number) {
    return number ? Json::Value(static_cast<Json::UInt64>(*number)) : Json::Value();
}

// A whole number from `min` to `max` into an option that is absent until given.
bool parseBounded(const std::string& text, unsigned long min, unsigned long max, std::optional<unsigned long>& out) {
    unsigned long number = 0;
    if (!ParseNumber(text, max, number) || number < min) {
        return false;
    }
    out = number;
    return true;
}

// Why the path is no folder to serve ("" when it is one).
std::string whyNoFolder(const std::string& path) {
    if (path.empty()) {
        return "an empty path";
    }
    boost::system::error_code error;
    const auto status = boost::filesystem::status(path, error);
    if (status.type() == boost::filesystem::file_not_found) {
        return "no such folder";
    }
    if (error) {
        return error.message();
    }
    return boost::filesystem::is_directory(status) ? std::string() : "not a folder";
}

Json::Value pairTexts(const std::vector<Endpoint>& list) {
    Json::Value texts(Json::arrayValue);
    for (const auto& [name, port] : list) {
        texts.append(name + "," + std::to_string(port));
    }
    return texts;
}

}  // namespace

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value > max) {
        return false;
    }
    out = value;
    return true;
}

bool CanonicalGuid(const std::string& text, std::string& out) {
    try {
        out = boost::uuids::to_string(boost::uuids::string_generator()(text));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

Json::Value Options::ToJson() const {
    Json::Value json;
    json["role"] = role;
    json["name"] = name;
    json["guid"] = guid;
    json["tree"] = tree;
    json["listen"] = Json::Value(Json::arrayValue);
    for (const auto& [address, port] : listen) {
        json["listen"].append(EndpointText(address, port));
    }
    json["tls-level"] = static_cast<Json::UInt64>(tlsLevel);
    json["require-tls"] = requireTls;
    // A secret: only whether one was given.
    json["code"] = !code.empty();
    json["log-level"] = static_cast<Json::UInt64>(logLevel);
    json["disco-interval"] = static_cast<Json::UInt64>(discoInterval);
    json["reply-port"] = replyPort;
    json["send-disco"] = sendDisco;
    json["network"] = pairTexts(networks);
    json["interface"] = pairTexts(interfaces);
    json["mac"] = pairTexts(macs);
    json["all"] = Json::Value(Json::arrayValue);
    for (const unsigned short port : all) {
        json["all"].append(port);
    }
    json["ipv6"] = ipv6;
    json["cert"] = cert;
    json["key"] = key;
    json["dh"] = dh;
    json["dump"] = dump;
    json["stay"] = stay;
    json["exclude"] = Json::Value(Json::arrayValue);
    for (const auto& rule : exclude) {
        json["exclude"].append(rule.Text());
    }
    json["max-incoming"] = maxIncoming ? Json::Value(static_cast<Json::UInt64>(*maxIncoming)) : Json::Value();
    json["route"] = Json::Value(Json::arrayValue);
    for (const auto& [address, port] : routes) {
        json["route"].append(AddressText(address) + "," + std::to_string(port));
    }
    json["timer-scale"] = static_cast<Json::UInt64>(timerScale);
    json["no-callback"] = Json::Value(Json::arrayValue);
    for (const auto& name : noCallback) {
        json["no-callback"].append(name);
    }
    json["device-state"] = deviceState;
    json["preset-info"] = presetInfo;
    json["setip-result"] = setIPAccepted ? "ok" : "fail";
    json["fwupdate-error"] = firmwareError ? Json::Value(*firmwareError) : Json::Value();
    json["storage-root"] = storageRoot;
    json["host-fs-words"] = hostFileSystem;
    json["block-size"] = optionalNumber(blockSize);
    json["transfer-count"] = optionalNumber(transferCount);
    json["transfer-interval"] = optionalNumber(transferInterval);
    json["reply-timeout"] = optionalNumber(replyTimeout);
    return json;
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    static const std::set<std::string> valued = {
        "--role",      "--name",   "--guid", "--tree",          "--listen",     "--tls-level",   "--code",
        "--log-level", "--disco-interval",   "--reply-port",    "--send-disco", "--network",     "--interface",
        "--mac",       "--all",    "--cert", "--key",           "--dh",         "--exclude",     "--max-incoming",
        "--route",     "--timer-scale",      "--no-callback", "--device-state", "--preset-info", "--setip-result",
        "--fwupdate-error", "--storage-root", "--block-size",    "--transfer-count", "--transfer-interval", "--reply-timeout"};
    static const std::set<std::string> flags = {"--ipv6", "--dump", "--require-tls", "--stay", "--host-fs-words"};
    static const std::set<std::string> repeatable = {"--listen", "--network", "--interface", "--mac",
                                                     "--all",    "--exclude", "--route",     "--no-callback"};
    // The options whose value holds an address.
    static const std::set<std::string> addressed = {"--listen", "--send-disco", "--route"};
    std::map<std::string, int> seen;
    for (int at = 1; at < argc; ++at) {
        const std::string option = argv[at];
        if (option == "--help" || option == "-h") {
            options.help = true;
            return true;
        }
        if (option == "--version") {
            options.version = true;
            return true;
        }
        if (!valued.count(option) && !flags.count(option)) {
            error = "unknown option " + option;
            return false;
        }
        if (++seen[option] > 1 && !repeatable.count(option)) {
            error = option + " given twice";
            return false;
        }
        if (flags.count(option)) {
            (option == "--ipv6"            ? options.ipv6
             : option == "--dump"          ? options.dump
             : option == "--stay"          ? options.stay
             : option == "--host-fs-words" ? options.hostFileSystem
                                           : options.requireTls) = true;
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
            valid = CanonicalGuid(value, options.guid);
        } else if (option == "--tree") {
            valid = !value.empty();
            options.tree = value;
        } else if (option == "--listen") {
            Endpoint endpoint;
            valid = parseEndpoint(value, endpoint);
            options.listen.push_back(endpoint);
        } else if (option == "--tls-level") {
            valid = ParseNumber(value, static_cast<unsigned long>(-1), options.tlsLevel);
        } else if (option == "--code") {
            valid = !value.empty();
            options.code = value;
        } else if (option == "--log-level") {
            valid = ParseNumber(value, 7, options.logLevel);
        } else if (option == "--disco-interval") {
            valid = ParseNumber(value, 3600, options.discoInterval) && options.discoInterval != 0;
        } else if (option == "--reply-port") {
            unsigned short port = 0;
            valid = parsePort(value, port);
            options.replyPort = value;
        } else if (option == "--send-disco") {
            valid = isSendDiscoAddress(value);
            options.sendDisco = value;
        } else if (option == "--network" || option == "--interface") {
            Endpoint wish;
            valid = parseNamePort(value, wish);
            (option == "--network" ? options.networks : options.interfaces).push_back(wish);
        } else if (option == "--mac") {
            // Kept in the canonical form, the one the interface list holds.
            Endpoint wish;
            const Zelkor::MacAddress mac(value.substr(0, value.rfind(',')));
            valid = parseNamePort(value, wish) && mac.IsValid();
            options.macs.emplace_back(mac.Text(), wish.second);
        } else if (option == "--exclude") {
            Exclusion rule;
            valid = parseExclusion(value, rule);
            options.exclude.push_back(rule);
        } else if (option == "--max-incoming") {
            unsigned long limit = 0;
            valid = ParseNumber(value, 1u << 20, limit);
            options.maxIncoming = limit;
        } else if (option == "--route") {
            Endpoint route;
            valid = parseRoute(value, route);
            options.routes.push_back(route);
        } else if (option == "--no-callback") {
            valid = kCallbackNames.count(value) != 0 && options.noCallback.insert(value).second;
        } else if (option == "--timer-scale") {
            valid = ParseNumber(value, 1000, options.timerScale) && options.timerScale != 0;
        } else if (option == "--device-state") {
            options.deviceState = value;
        } else if (option == "--preset-info") {
            options.presetInfo = value;
        } else if (option == "--setip-result") {
            valid = value == "ok" || value == "fail";
            options.setIPAccepted = value == "ok";
        } else if (option == "--fwupdate-error") {
            options.firmwareError = value;
        } else if (option == "--storage-root") {
            // The library takes only a folder that is there.
            const std::string why = whyNoFolder(value);
            if (!why.empty()) {
                error = "invalid value for --storage-root: " + value + " (" + why + ")";
                return false;
            }
            options.storageRoot = value;
            options.storageRootGiven = true;
        } else if (option == "--block-size") {
            valid = parseBounded(value, 512, 268435456, options.blockSize);
        } else if (option == "--transfer-count") {
            valid = parseBounded(value, 1, 100, options.transferCount);
        } else if (option == "--transfer-interval") {
            valid = parseBounded(value, 50, 1000, options.transferInterval);
        } else if (option == "--reply-timeout") {
            valid = parseBounded(value, 0, 60000, options.replyTimeout);
        } else if (option == "--all") {
            unsigned short port = 0;
            valid = parsePort(value, port);
            options.all.push_back(port);
        } else {
            valid = !value.empty();
            (option == "--cert" ? options.cert : option == "--key" ? options.key : options.dh) = value;
        }
        if (!valid) {
            error = "invalid value for " + option + ": " + value;
            if (option == "--role") {
                error += " (device, controller or router)";
            }
            // Two colons and no bracket: an IPv6 address written bare.
            const bool bareIPv6 = value.find(':') != value.rfind(':') && value.find('[') == std::string::npos;
            if (addressed.count(option) && bareIPv6) {
                error += " (an IPv6 address goes in brackets)";
            }
            return false;
        }
    }
    return true;
}

bool MakeStorageRoot(Options& options, std::string& error) {
    if (options.storageRootGiven) {
        return true;
    }
    namespace fs = boost::filesystem;
    boost::system::error_code code;
    const fs::path folder = fs::current_path(code) / kStorageFolder;
    if (!code) {
        fs::create_directory(folder, code);
    }
    if (code || !fs::is_directory(folder)) {
        error = std::string("cannot make the storage root ") + (code ? folder.string() + ": " + code.message()
                                                                     : folder.string() + ": not a folder");
        return false;
    }
    options.storageRoot = folder.string();
    return true;
}

const char* Usage() {
    return R"(Usage: zelkor_node [OPTION]...
A Zelkor node in a process of its own. Standard output carries its events, one JSON
object per line; standard input takes one JSON command per line; the log goes to
standard error. The events and commands: examples/node/README.md.

Identity:
  --role device|controller|router  the node's role (device)
  --name NAME                 its name (else the tree's)
  --guid GUID                 its GUID (else the tree's, else a new one)
  --tree FILE                 its parameter tree (else a small one of the runner's)
What it serves (an IPv6 address goes in brackets: [fd00::1]:4197):
  --listen ADDRESS:PORT       one address (not served: exit 2, saying why)
  --network NAME,PORT         every address of the adapters of that name
  --interface NAME,PORT       every address of the adapter of that name
  --mac MAC,PORT              every address of the adapter of that MAC address
  --all PORT                  every address of the host
  --ipv6                      IPv6 addresses too
Discovery and connections:
  --reply-port PORT           the port on which peers answer its discovery requests
  --send-disco ADDRESS[:PORT] at start, one "senddisco" datagram to ADDRESS (port 4197
                              unless given): a controller or router there answers with
                              a discovery request to this node's reply port, and so
                              finds it; its own discovery requests never go there
  --disco-interval SECONDS    the time between discovery requests
  --route ADDRESS,PORT        a static route, kept connected
  --max-incoming N            at most N connections made by peers (0: no limit);
                              default: the tree's limit, else 64
  --exclude disco|list,classname|name|guid,VALUE
                              keep peers out of discovery or of device lists
Security:
  --tls-level N               ask for TLS on every connection it makes (not 0)
  --require-tls               with a code, serve plain connections and datagrams only
                              what reaches TLS and discovery
  --code TEXT                 its verification code
  --cert FILE --key FILE      its certificate and key, PEM (else a generated pair)
  --dh FILE                   Diffie-Hellman parameters, PEM
  --no-callback NAME          leave one application callback unset
Device state (what the node's device-state object answers; it changes nothing):
  --device-state TEXT         the text of "getdevicestate" (empty)
  --preset-info TEXT          the preset information of "getpresetinfo" (empty)
  --setip-result ok|fail      whether "setip" settings are accepted (ok)
  --fwupdate-error TEXT       refuse a firmware update with TEXT (else it succeeds)
File transfer and the file-system words:
  --storage-root DIR          the folder the paths peers name are taken below, and of
                              this node's bare local names (else "node-files", made in
                              the working folder). WARNING: "/" gives every peer allowed
                              to transfer every file this process may read or write
  --host-fs-words             listfiles, freespace, deletefile, mkdir and rmdir take the
                              host's paths, not paths below the storage root: a peer
                              allowed them reaches every file this process may remove.
                              Where the tree allows parent paths, a transfer's ".."
                              then leads out of the root too
  --block-size N              Base64 characters per block, 512 to 268435456 (65536)
  --transfer-count N          at most N transfers active at once, 1 to 100 (100)
  --transfer-interval MS      the transfer queue's timer period, 50 to 1000 (250)
  --reply-timeout MS          a silent peer's transfers, and a get, set, exec or raw
                              unanswered, time out after MS, 0 to 60000 (0: requests
                              never, transfers after 60 s; less than 1000 counts as
                              1000). A request is answered "connection lost" at the
                              bound of its kind all the same (10 s for a get or set)
Diagnostics:
  --log-level N               0 to 7 (3)
  --dump                      every line sent and received into the log
  --timer-scale N             the discovery timer N times faster, the bounds on a
                              peer's answers and handshake, the time a device not
                              heard is kept and the time a device in use stays
                              unreached before a reply moves it N times shorter, but
                              none below 10 s (a test seam)
  --help                      this text
  --version                   the library's version, then exit
Input:
  --stay                      keep serving after the end of standard input (else the
                              node answers what it read, then stops)

Commands (one JSON object per line, its name under "cmd", a device under "guid";
each answered by a line named after it; the mixed-case words of earlier versions stay
accepted; see the README):
  stop, connect
  addlistener, removelistener, addinterface, removeinterface, addnetwork,
  removenetwork, addalllisteners, removealllisteners, addmulticast, removemulticast,
  listmulticast, listinterfaces, getendpoints, getendpointinterfaces,
  disconnectallexcept
  get, set, ls, rls, cd, locate, identify, reboot, goodbye, setcode, hascode
  subscribe, unsubscribe, subscribepoll, unsubscribepoll, poll, sublog, unsublog,
  logrow, listpublishers, write, logevent
  subscribeevent, unsubscribeevent, raise, addevent, exec, raw
  getdevicestate, getpresetinfo, listpresets, setip
  sendfile, recvfile, cancelput, cancelsend, deletefile, listfiles, freespace,
  mkdir, rmdir, fwupdate, holddisk (a test seam)

At the end of its input, or on "stop", a node carries out what it read, waits for the
answers to its requests (until none came for the reply time-out, or 5 s) and stops,
with an "error" line for each request it gave up on. A command for a device waits up to
5 s for a "connect" in progress to it. A device heard by discovery is asked nothing until
"connect" connects it (its requests say "sent":false and why); one listed through a
router needs no "connect".

Exit codes: 0 when stopped (a "stop" command, the end of standard input, SIGTERM or
SIGINT), 1 when the driver stopped by itself, 2 when the options cannot be carried out
(a bad option or tree, TLS files that cannot be read or do not match, a --listen that
cannot be served, whatever the input holds): an "error" line says what and why.
)";
}

}  // namespace ZelkorNode
