#pragma once
// What keeps the fuzz inside its run: every line is passed through it before it is
// written. The nodes act on what peers name, so a mutated line must not name
//   - an address off loopback (a router dials what a discovery reply announces, a device
//     answers where a request asks): any text that reads as an IPv4 or IPv6 address
//     other than a loopback one becomes 127.0.0.1;
//   - a port outside the run (another program on the host may serve it): a "port" or
//     "replyport" member (in any letter case) that names one becomes a port of the run;
//   - a file outside the run folder: the file-system and transfer words act on the paths
//     they name (host paths, relative ones from the node's folder), so every text of such
//     a line must lie strictly beneath the run folder, and may not be, nor hold, a file
//     the run keeps (its usage table and tree, a node's folder, events, log, event log
//     and storage root); any other becomes a file beneath the node's storage root.
// Paths are compared in their lexical normal form: the run makes no links.
//
// Threads: any; it keeps no state once built.

#include <string>
#include <vector>

#include <json/value.h>

namespace ZelkorSoak {

class HostGuard {
public:
    // `runDir`: the run folder, absolute. `kept`: absolute paths that no line may name,
    // nor any folder holding them.
    HostGuard(std::string runDir, std::vector<std::string> kept);

    void AllowPort(unsigned short port);

    // Makes `body`, the body of a line of `word`, safe to send to the node whose folder
    // is `nodeFolder` (where its relative paths lead) and whose storage root is `root`.
    void Contain(const std::string& word, Json::Value& body, const std::string& nodeFolder,
                 const std::string& root) const;

    // Whether a file word may name `path` on that node.
    bool FileAllowed(const std::string& path, const std::string& nodeFolder) const;
    // Whether `text` is no address, or a loopback one.
    static bool AddressAllowed(const std::string& text);
    bool PortAllowed(const Json::Value& value) const;
    // Whether the word acts on paths it names.
    static bool NamesFiles(const std::string& word);

private:
    void contain(Json::Value& value, bool files, const std::string& nodeFolder, const std::string& root) const;

    std::string _runDir;
    std::vector<std::string> _kept;
    std::vector<unsigned short> _ports;
};

// The lexical normal form of an absolute path: no ".", "..", empty or trailing parts.
std::string NormalPath(const std::string& path);

}  // namespace ZelkorSoak
