#include "support/NetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace ZelkorTest {

bool Ip(const std::string& arguments) {
    return std::system(("timeout 10 ip " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

std::string UniqueName(const std::string& tag) { return "zk" + std::to_string(getpid()) + tag; }

NetNamespace::NetNamespace(const std::string& tag) : _name(UniqueName(tag)) {
    _made = geteuid() == 0 && Ip("netns add " + _name) && Ip("-n " + _name + " link set lo up");
}

NetNamespace::~NetNamespace() {
    if (_made) {
        Ip("netns del " + _name);
    }
}

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

VethPair::VethPair() {
    if (!a.Made() || !b.Made()) {
        _missing = "needs root and ip netns";
        return;
    }
    const std::string inA = "-n " + a.Name() + " ";
    const std::string inB = "-n " + b.Name() + " ";
    if (!Ip(inA + "link add " + a1 + " type veth peer name " + b1 + " netns " + b.Name()) ||
        !Ip(inA + "addr add " + AddressA + "/24 dev " + a1) || !Ip(inA + "link set " + a1 + " up") ||
        !Ip(inB + "addr add " + AddressB + "/24 dev " + b1) || !Ip(inB + "link set " + b1 + " up")) {
        _missing = "needs veth interfaces";
    }
}

}  // namespace ZelkorTest
