#include "transport/LinuxPlatform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/openat2.h>
#include <malloc.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Zelkor::Platform {

namespace {

boost::system::error_code LastError() {
    return {errno, boost::system::system_category()};
}

}  // namespace

unsigned int InterfaceIndex(const std::string& name) {
    return name.empty() ? 0 : if_nametoindex(name.c_str());
}

boost::system::error_code BindToInterface(int descriptor, unsigned int interfaceIndex) {
    if (interfaceIndex == 0) {
        return make_error_code(boost::system::errc::invalid_argument);
    }
    const int index = static_cast<int>(interfaceIndex);
    if (setsockopt(descriptor, SOL_SOCKET, SO_BINDTOIFINDEX, &index, sizeof index) == 0) {
        return {};
    }
    if (errno != ENOPROTOOPT) {
        return LastError();
    }
    // Kernels before 5.0 know the interface only by name.
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(interfaceIndex, name) == nullptr) {
        return LastError();
    }
    if (setsockopt(descriptor, SOL_SOCKET, SO_BINDTODEVICE, name,
                   static_cast<socklen_t>(std::strlen(name))) != 0) {
        return LastError();
    }
    return {};
}

bool LinkLayerAddress(const ifaddrs& entry, std::array<unsigned char, 6>& mac) {
    if (entry.ifa_addr == nullptr || entry.ifa_addr->sa_family != AF_PACKET) {
        return false;
    }
    sockaddr_ll link{};
    std::memcpy(&link, entry.ifa_addr, sizeof link);
    const std::size_t length = std::min<std::size_t>(link.sll_halen, mac.size());
    if (length > 0) {
        mac.fill(0);
        std::copy_n(link.sll_addr, length, mac.begin());
    }
    return true;
}

std::string LinkOwnerName(const std::string& adapterName) {
    return adapterName.substr(0, adapterName.find(':'));
}

boost::asio::generic::raw_protocol::socket OpenFrameDevice(boost::asio::io_context& io,
                                                           unsigned int interfaceIndex,
                                                           boost::system::error_code& error) {
    using boost::asio::generic::raw_protocol;
    raw_protocol::socket device(io);
    if (interfaceIndex == 0) {
        error = make_error_code(boost::system::errc::invalid_argument);
        return device;
    }
    // Opened for no protocol, so that nothing is queued before the tie to the interface.
    device.open(raw_protocol(AF_PACKET, 0), error);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IP);
    link.sll_ifindex = static_cast<int>(interfaceIndex);
    if (!error) {
        device.bind(raw_protocol::endpoint(&link, sizeof link, link.sll_protocol), error);
    }
    if (!error) {
        device.non_blocking(true, error);
    }
    if (!error) {
        // Frames this host sends itself are no traffic to receive; older kernels lack the
        // option and deliver them, which the receiver's own-sender check then drops.
        const int one = 1;
        setsockopt(device.native_handle(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
        return device;
    }
    boost::system::error_code ignored;
    device.close(ignored);
    return device;
}

int OpenBeneath(int folder, const std::string& path, int flags) {
    // The C library of the day has no wrapper for the call: it is made by its number.
    open_how how{};
    how.flags = static_cast<decltype(how.flags)>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    // The kernel answers EAGAIN when a rename elsewhere raced with the walk and it cannot
    // tell that a ".." stayed beneath: the walk is worth another try, a few times.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const long descriptor = syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how);
        if (descriptor >= 0) {
            return static_cast<int>(descriptor);
        }
        if (errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    return -1;
}

namespace {

std::string descriptorLink(int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); }

}  // namespace

std::string OpenedPath(int descriptor) {
    std::string path(PATH_MAX, '\0');
    const ssize_t length = readlink(descriptorLink(descriptor).c_str(), path.data(), path.size());
    // A path that fills the buffer may have been cut: unknown rather than wrong.
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
        return std::string();
    }
    path.resize(static_cast<std::size_t>(length));
    return path;
}

int Reopen(int descriptor, int flags) { return open(descriptorLink(descriptor).c_str(), flags | O_CLOEXEC); }

void ReturnFreeMemory() { malloc_trim(0); }

void KeepLargeBlocksMapped() { mallopt(M_MMAP_THRESHOLD, 128 * 1024); }

}  // namespace Zelkor::Platform
