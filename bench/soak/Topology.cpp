#include "Topology.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <random>
#include <set>

namespace ZelkorSoak {
namespace {

constexpr unsigned short kDiscoveryPort = 4197;

// The lowest port the system hands out to outgoing connections.
unsigned ephemeralLow() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 32768;
    range >> low;
    return low > 65535 ? 32768 : low;
}

bool bindable(int type, unsigned short port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// Ports and GUIDs are drawn apart from the seeded schedule: two runs of one seed on one
// host do not share them.
class Draw {
public:
    Draw()
        : _random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                  static_cast<unsigned>(::getpid())) {}

    // A port of 127.0.0.1 free for TCP and UDP now; 0 when none is found.
    unsigned short Port() {
        const unsigned high = ephemeralLow() > 1025 ? ephemeralLow() - 1 : 65535;
        const unsigned low = high > 21024 ? high - 20000 : 1024;
        for (int attempt = 0; attempt < 200; ++attempt) {
            const auto port = static_cast<unsigned short>(low + _random() % (high - low + 1));
            if (port != kDiscoveryPort && _taken.count(port) == 0 && bindable(SOCK_STREAM, port) &&
                bindable(SOCK_DGRAM, port)) {
                _taken.insert(port);
                return port;
            }
        }
        return 0;
    }

    std::string Guid() {
        const auto word = [this] { return static_cast<unsigned>(_random()) & 0xffff; };
        char text[40];
        std::snprintf(text, sizeof text, "%04x%04x-%04x-4%03x-%04x-%04x%04x%04x", word(), word(), word(),
                      word() & 0xfff, (word() & 0x3fff) | 0x8000, word(), word(), word());
        return text;
    }

private:
    std::minstd_rand _random;
    std::set<unsigned short> _taken;
};

// Every kind of value a tree holds, for the fuzz: numbers with ranges, an enumeration, a
// boolean polled, a text, a block, flags, an array of objects holding an array, values
// without a descriptor, and presets.
const char* const kFuzzPart = R"(,
  "fuzz": {
    ".kind": "obj",
    "gain": {".kind": "param", ".type": "float", ".min": -60, ".max": 12, ".value": 0},
    "trim": {".kind": "param", ".type": "integer", ".min": -10, ".max": 10, ".value": 0},
    "mute": {".kind": "param", ".type": "boolean", ".flags": ["poll"], ".value": false},
    "mode": {".kind": "param", ".type": "enum", ".enums": ["Off", "On", "Auto"], ".value": 2},
    "label": {".kind": "param", ".type": "string", ".min": 1, ".max": 16, ".value": "Main"},
    "filter": {".kind": "param", ".type": "block", ".max": 64, ".value": "AAECAwQFBgc="},
    "level": {".kind": "param", ".type": "float", ".flags": ["nsub", "met"], ".min": -120, ".max": 0, ".value": -42.5},
    "limiter": {".kind": "param", ".type": "float", ".flags": ["lock"], ".min": -20, ".max": 0, ".value": -3},
    "channels": {
      ".kind": "array", ".size": 2,
      ".prototype": {
        ".kind": "obj",
        "enabled": {".kind": "param", ".type": "boolean", ".value": true},
        "sends": {".kind": "array", ".size": 3,
                  ".prototype": {".kind": "param", ".type": "float", ".min": 0, ".max": 1, ".value": 0.5}}
      }
    },
    "note": "free text",
    "rack": {"slot": 3, "tags": ["front", "upper"]}
  },
  "Presets": {".kind": "obj"})";

const char* const kTreePaths[] = {
    "/", "/soak", "/soak/beat", "/configuration", "/configuration/device", "/configuration/device/name",
    "/configuration/device/guid", "/configuration/device/classname", "/fuzz", "/fuzz/gain", "/fuzz/trim",
    "/fuzz/mute", "/fuzz/mode", "/fuzz/label", "/fuzz/filter", "/fuzz/level", "/fuzz/limiter", "/fuzz/channels",
    "/fuzz/channels/0/enabled", "/fuzz/channels/1/sends/2", "/fuzz/channels/0/sends", "/fuzz/note",
    "/fuzz/rack/tags", "/fuzz/rack/slot", "/Presets"};

std::string treeText(std::size_t controllers, bool fuzz) {
    std::string values = R"(      "beat": {".kind": "param", ".type": "integer", ".value": 0})";
    for (std::size_t i = 0; i < controllers; ++i) {
        values += ",\n      \"" + CheckedPath(i).substr(6) +
                  R"(": {".kind": "param", ".type": "string", ".min": 0, ".max": 255, ".value": ""})";
    }
    return R"({
  "configuration": {
    ".kind": "obj",
    "device": {
      ".kind": "obj",
      "name": {".kind": "param", ".type": "string", ".min": 0, ".max": 63, ".value": ""},
      "guid": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""},
      "classname": {".kind": "param", ".type": "string", ".access": "ro", ".value": "soak"},
      "model": {".kind": "param", ".type": "string", ".access": "ro", ".value": "zelkor_node"},
      "protocolversion": {".kind": "param", ".type": "string", ".access": "ro", ".value": ""}
    }
  },
  "soak": {
    ".kind": "obj",
)" + values + R"(
  })" + (fuzz ? kFuzzPart : "") + R"(
}
)";
}

std::vector<std::string> joined(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace

const char* const kRouterName = "router";
const char* const kCode = "soak-code";

std::string CheckedPath(std::size_t index) { return "/soak/c" + std::to_string(index + 1); }

bool LayOut(const std::string& runDir, const std::string& treeFile, bool fuzz, Topology& topology,
            std::string& error) {
    Draw draw;
    std::vector<unsigned short> ports;
    for (int i = 0; i < 7; ++i) {
        ports.push_back(draw.Port());
        if (ports.back() == 0) {
            error = "no free port found on 127.0.0.1";
            return false;
        }
    }
    const auto own = [](unsigned short port) { return std::vector<std::string>{"--reply-port", std::to_string(port)}; };
    const auto route = [](unsigned short port) {
        return std::vector<std::string>{"--route", "127.0.0.1," + std::to_string(port)};
    };
    const auto storage = [&](const std::string& name) {
        return std::vector<std::string>{"--tree", treeFile, "--storage-root", runDir + "/" + name + "/files"};
    };
    const std::vector<std::string> code{"--code", kCode};
    const std::vector<std::string> secured{"--code", kCode, "--tls-level", "1"};

    topology.devices = {{"dev1", Role::Device, ports[0], draw.Guid(), storage("dev1")},
                        {"dev2-tls", Role::Device, ports[1], draw.Guid(), joined({storage("dev2-tls"), secured})}};
    // Without a GUID: each start makes a new one, as a replaced unit would have.
    topology.router = {kRouterName, Role::Router, ports[2], "",
                       joined({own(ports[2]), code, route(ports[0]), route(ports[1])})};
    topology.controllers = {
        {{"ctl1", Role::Controller, ports[3], "", own(ports[3])}, {0, 1}, false},
        {{"ctl2-tls", Role::Controller, ports[4], "", joined({own(ports[4]), secured})}, {1}, false},
        {{"ctl3-routed", Role::Controller, ports[5], "", joined({own(ports[5]), route(ports[2])})}, {0, 1}, true},
        {{"ctl4-routed-tls", Role::Controller, ports[6], "", joined({own(ports[6]), secured, route(ports[2])})},
         {0, 1},
         true}};
    if (fuzz) {
        topology.controllers.clear();
        topology.treePaths.assign(std::begin(kTreePaths), std::end(kTreePaths));
    }
    topology.tree = treeText(fuzz ? 0 : topology.controllers.size(), fuzz);
    return true;
}

}  // namespace ZelkorSoak
