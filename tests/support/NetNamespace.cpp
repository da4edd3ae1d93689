#include "support/NetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <boost/asio/ip/address.hpp>

namespace ZelkorTest {

namespace {

// One bound address of /proc/net/{tcp,udp}{,6}: 32-bit words in hexadecimal, each in the
// kernel's byte order, then ":" and the port in hexadecimal.
std::string endpointOf(const std::string& field) {
    const auto colon = field.find(':');
    const std::string hex = field.substr(0, colon);
    const unsigned long port = std::stoul(field.substr(colon + 1), nullptr, 16);
    std::array<unsigned char, 16> bytes{};
    for (std::size_t word = 0; word * 8 < hex.size() && word < 4; ++word) {
        const unsigned long value = std::stoul(hex.substr(word * 8, 8), nullptr, 16);
        for (std::size_t i = 0; i < 4; ++i) {
            bytes[word * 4 + i] = static_cast<unsigned char>(value >> (8 * i));
        }
    }
    if (hex.size() == 8) {
        const boost::asio::ip::address_v4 v4({bytes[0], bytes[1], bytes[2], bytes[3]});
        return v4.to_string() + ":" + std::to_string(port);
    }
    return "[" + boost::asio::ip::address_v6(bytes).to_string() + "]:" + std::to_string(port);
}

}  // namespace

bool Ip(const std::string& arguments) {
    return std::system(("timeout 10 ip " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

std::string UniqueName(const std::string& tag) {
    if (tag.empty() || std::isdigit(static_cast<unsigned char>(tag.front()))) {
        throw std::invalid_argument("a namespace tag must start with a letter: " + tag);
    }
    return "zk" + std::to_string(getpid()) + tag;
}

long ProcessOfName(const std::string& name) {
    if (name.rfind("zk", 0) != 0) {
        return 0;
    }
    std::size_t end = 2;
    while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) {
        ++end;
    }
    // A process id has at most seven digits (the kernel's limit is 2^22) and no leading 0.
    const std::size_t digits = end - 2;
    if (digits == 0 || digits > 7 || name[2] == '0' || end == name.size()) {
        return 0;
    }
    return std::stol(name.substr(2, digits));
}

std::set<std::string> RemoveStaleNamespaces() {
    std::set<std::string> removed;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/var/run/netns", error)) {
        const std::string name = entry.path().filename().string();
        const long process = ProcessOfName(name);
        // A process of another user still runs (EPERM): only one that is gone frees its names.
        if (process == 0 || kill(static_cast<pid_t>(process), 0) == 0 || errno != ESRCH) {
            continue;
        }
        if (ZelkorTest::Ip("netns del " + name)) {
            removed.insert(name);
        }
    }
    return removed;
}

NetNamespace::NetNamespace(const std::string& tag) : _name(UniqueName(tag)) {
    if (geteuid() != 0) {
        return;
    }
    RemoveStaleNamespaces();
    _made = ZelkorTest::Ip("netns add " + _name) && Ip("link set lo up");
}

NetNamespace::~NetNamespace() {
    if (_made) {
        ZelkorTest::Ip("netns del " + _name);
    }
}

bool NetNamespace::Ip(const std::string& arguments) const { return ZelkorTest::Ip("-n " + _name + " " + arguments); }

bool NetNamespace::Run(const std::function<void()>& work) const {
    bool joined = false;
    std::thread inside([&] {
        const int fd = open(("/var/run/netns/" + _name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        joined = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (joined) {
            work();
        }
    });
    inside.join();
    return joined;
}

std::multiset<std::string> BoundSockets() {
    std::multiset<std::string> sockets;
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        std::ifstream in(std::string("/proc/thread-self/net/") + table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            // TCP: listening sockets only (state 0A).
            if (table[0] == 't' && state != "0A") {
                continue;
            }
            sockets.insert(std::string(table) + " " + endpointOf(local));
        }
    }
    return sockets;
}

VethPair::VethPair() {
    if (!a.Made() || !b.Made()) {
        _missing = "needs root and ip netns";
        return;
    }
    const auto up = [](const NetNamespace& space, const std::string& link, const char* v4, const char* v6,
                       const char* linkLocal) {
        return space.Ip("link set " + link + " addrgenmode none") &&
               space.Ip("addr add " + std::string(v4) + "/24 dev " + link) &&
               space.Ip("addr add " + std::string(v6) + "/64 dev " + link + " nodad") &&
               space.Ip("addr add " + std::string(linkLocal) + "/64 dev " + link + " nodad") &&
               space.Ip("link set " + link + " up");
    };
    if (!a.Ip("link add " + a1 + " type veth peer name " + b1 + " netns " + b.Name()) ||
        !up(a, a1, AddressA, AddressA6, LinkLocalA) || !up(b, b1, AddressB, AddressB6, LinkLocalB)) {
        _missing = "needs veth interfaces";
        return;
    }
    // A1 keeps its IPv6 addresses while it is down, as it keeps its IPv4 one.
    a.Run([&] { std::ofstream("/proc/sys/net/ipv6/conf/" + a1 + "/keep_addr_on_down") << 1; });
}

bool VethPair::SetLinkA(bool up) const { return a.Ip("link set " + a1 + (up ? " up" : " down")); }

bool VethPair::ReplaceAddressA(const std::string& from, const std::string& to) const {
    return a.Ip("addr del " + from + "/24 dev " + a1) && a.Ip("addr add " + to + "/24 dev " + a1);
}

std::string VethPair::AddLabelA(const std::string& addressWithPrefix, const std::string& suffix) const {
    const std::string label = a1 + ":" + suffix;
    return a.Ip("addr add " + addressWithPrefix + " dev " + a1 + " label " + label) ? label : "";
}

}  // namespace ZelkorTest
