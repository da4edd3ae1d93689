#pragma once
// Loopback ports a test holds, or leaves free for a node to bind, that no socket of the
// system's choosing takes meanwhile: a bind to port 0 or an outgoing connection of a test
// running beside gets an ephemeral port, and these lie below that range.

#include <fstream>
#include <functional>
#include <random>

namespace ZelkorTest {

// The first of up to 200 random ports below the ephemeral range that `take` accepts (it
// binds what it needs and says whether it could); 0 when none did.
inline unsigned short QuietPort(const std::function<bool(unsigned short)>& take) {
    unsigned int ephemeral = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeral;
    const unsigned int low = 10000;
    if (ephemeral <= low + 100) {
        ephemeral = 32768;
    }
    std::mt19937 pick(std::random_device{}());
    std::uniform_int_distribution<unsigned int> among(low, ephemeral - 1);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<unsigned short>(among(pick));
        if (take(port)) {
            return port;
        }
    }
    return 0;
}

}  // namespace ZelkorTest
