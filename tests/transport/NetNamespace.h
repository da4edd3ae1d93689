#pragma once
// Throw-away network namespaces joined by veth pairs, for tests that need real
// interfaces, broadcasts and link-layer frames without touching the host's network.
// Needs root and a working `ip netns`; everything made is removed again by the
// destructors. Names carry the process id, so parallel test processes do not collide.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace ZelkorTest {

// Runs one `ip` command, bounded in time; true on success.
inline bool Ip(const std::string& arguments) {
    const std::string command = "timeout 10 ip " + arguments + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

inline std::string UniqueName(const std::string& tag) {
    return "zk" + std::to_string(getpid()) + tag;
}

class NetNamespace {
public:
    explicit NetNamespace(const std::string& tag) : _name(UniqueName(tag)) {
        _made = geteuid() == 0 && Ip("netns add " + _name) &&
                Ip("-n " + _name + " link set lo up");
    }
    ~NetNamespace() {
        if (_made) {
            Ip("netns del " + _name);
        }
    }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool Made() const { return _made; }
    const std::string& Name() const { return _name; }

    // Runs `work` on a thread of its own that has joined this namespace; sockets it opens
    // stay in the namespace after the thread has ended. False when joining failed.
    bool Run(const std::function<void()>& work) const {
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

private:
    std::string _name;
    bool _made = false;
};

struct VethEnd {
    std::string tag;   // appended to the unique prefix to name the interface
    std::string mac;   // link address given to the end
    std::string cidr;  // its one IPv4 address with prefix length
};

// A veth pair between two namespaces, each end up with its given MAC and IPv4 address.
class VethPair {
public:
    VethPair(const NetNamespace& a, const VethEnd& endA, const NetNamespace& b,
             const VethEnd& endB)
        : _nameA(UniqueName(endA.tag)), _nameB(UniqueName(endB.tag)), _namespaceA(a.Name()) {
        const std::string& cidrA = endA.cidr;
        const std::string& cidrB = endB.cidr;
        _made = a.Made() && b.Made() &&
                Ip("-n " + a.Name() + " link add " + _nameA + " address " + endA.mac +
                   " type veth peer name " + _nameB + " address " + endB.mac + " netns " +
                   b.Name()) &&
                Ip("-n " + a.Name() + " addr add " + cidrA + " dev " + _nameA) &&
                Ip("-n " + b.Name() + " addr add " + cidrB + " dev " + _nameB) &&
                Ip("-n " + a.Name() + " link set " + _nameA + " up") &&
                Ip("-n " + b.Name() + " link set " + _nameB + " up");
    }
    ~VethPair() {
        // Deleting one end removes both; the namespace removal would do it as well.
        Ip("-n " + _namespaceA + " link del " + _nameA);
    }
    VethPair(const VethPair&) = delete;
    VethPair& operator=(const VethPair&) = delete;

    bool Made() const { return _made; }
    const std::string& NameA() const { return _nameA; }
    const std::string& NameB() const { return _nameB; }

private:
    std::string _nameA;
    std::string _nameB;
    std::string _namespaceA;
    bool _made = false;
};

}  // namespace ZelkorTest
