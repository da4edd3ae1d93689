#pragma once
// The command line: every option is read and checked before the node starts, and the
// options in force are shown in the node's "start" line.

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

namespace ZelkorNode {

// One --exclude: "disco" or "list", "classname", "name" or "guid", and the value (a GUID
// in the canonical form).
struct Exclusion {
    std::string set;
    std::string type;
    std::string value;

    std::string Text() const { return set + "," + type + "," + value; }
};

// An address (IPv6 without its brackets) or a name, with a port.
using Endpoint = std::pair<std::string, unsigned short>;

struct Options {
    std::string role = "device";
    std::string name;
    std::string guid;
    std::string tree;
    std::vector<Endpoint> listen;
    // (name or MAC, port) of --network, --interface and --mac; the ports of --all.
    std::vector<Endpoint> networks;
    std::vector<Endpoint> interfaces;
    std::vector<Endpoint> macs;
    std::vector<unsigned short> all;
    bool ipv6 = false;
    bool dump = false;
    // With a code: requests on plain connections and datagrams only reach TLS.
    bool requireTls = false;
    // The end of standard input leaves the node serving (a device started from a script).
    bool stay = false;
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
    std::vector<Endpoint> routes;
    unsigned long timerScale = 1;
    // The application callbacks left unset (--no-callback).
    std::set<std::string> noCallback;
    // What the node's device-state object answers: its state text, its preset information,
    // and whether it accepts network settings.
    std::string deviceState;
    std::string presetInfo;
    bool setIPAccepted = true;
    // What it answers a firmware update: refused with this text; absent, done.
    std::optional<std::string> firmwareError;
    // File transfer: the folder peers' paths are taken under, and with --storage-root
    // this node's bare local names; without it, kStorageFolder made in the working folder
    // (MakeStorageRoot), local names then staying the working folder's. The block size,
    // the transfers active at once, the queue timer's period and the reply time-out
    // (milliseconds, 0: none). Absent: the library's own.
    std::string storageRoot;
    bool storageRootGiven = false;
    // The file-system words take host paths instead of paths beneath the storage root.
    bool hostFileSystem = false;
    std::optional<unsigned long> blockSize;
    std::optional<unsigned long> transferCount;
    std::optional<unsigned long> transferInterval;
    std::optional<unsigned long> replyTimeout;
    // --help: the usage is printed and the node does not start.
    bool help = false;
    // --version: the library's version is printed and the node does not start.
    bool version = false;

    // The options as the "start" line shows them (the code only as whether there is one).
    Json::Value ToJson() const;
};

// False, with `error` set, for an unknown, repeated or malformed option. Reading stops at
// --help or --version.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

// What --help prints.
const char* Usage();

// The folder a node without --storage-root keeps its peers' files in.
inline constexpr const char* kStorageFolder = "node-files";

// Without --storage-root: makes kStorageFolder in the working folder (or takes the one
// there) and names it, absolute, as the storage root. False, with `error` set, when it
// cannot.
bool MakeStorageRoot(Options& options, std::string& error);

// The canonical text (lower case, hyphenated) of a GUID given in any of the usual forms.
bool CanonicalGuid(const std::string& text, std::string& out);

// A whole number from 0 to `max`, in decimal.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out);

}  // namespace ZelkorNode
