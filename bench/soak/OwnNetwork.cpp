#include "OwnNetwork.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ZelkorSoak {
namespace {

bool writeWhole(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && written;
}

// A user namespace in which the user's ids map to themselves, holding a network one.
bool unshareAsUser(std::string& error) {
    const std::string uid = std::to_string(::geteuid());
    const std::string gid = std::to_string(::getegid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (!writeWhole("/proc/self/setgroups", "deny") || !writeWhole("/proc/self/uid_map", uid + " " + uid + " 1") ||
        !writeWhole("/proc/self/gid_map", gid + " " + gid + " 1")) {
        error = std::string("mapping the user's ids: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool loopbackUp(std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!up) {
        error = std::string("bringing its loopback up: ") + std::strerror(errno);
    }
    ::close(fd);
    return up;
}

}  // namespace

bool EnterOwnNetwork(std::string& error) {
    if (::unshare(CLONE_NEWNET) != 0) {
        const std::string alone = std::strerror(errno);
        std::string asUser;
        if (!unshareAsUser(asUser)) {
            error = "cannot make a network namespace of its own (" + alone + "; inside a user namespace: " + asUser +
                    "): the run would share the host's loopback with other programs";
            return false;
        }
    }
    if (!loopbackUp(error)) {
        error = "in the run's own network namespace, " + error;
        return false;
    }
    return true;
}

}  // namespace ZelkorSoak
