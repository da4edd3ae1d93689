#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <utility>

#include <ifaddrs.h>
#include <linux/if_packet.h>

#include "transport/LinuxPlatform.h"

// Hardware addresses longer than six bytes must not overrun the MAC; a link entry without
// address bytes (a tunnel) leaves it alone; an address label borrows its adapter's link.
TEST(LinuxPlatform, LinkLayerEntries) {
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    const unsigned char bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(link.sll_addr, bytes, sizeof bytes);
    ifaddrs entry{};
    entry.ifa_addr = reinterpret_cast<sockaddr*>(&link);
    using Mac = std::array<unsigned char, 6>;
    for (const auto& [length, expected] : {std::pair<unsigned char, Mac>{8, {1, 2, 3, 4, 5, 6}},
                                           std::pair<unsigned char, Mac>{2, {1, 2, 0, 0, 0, 0}},
                                           std::pair<unsigned char, Mac>{0, {9, 9, 9, 9, 9, 9}}}) {
        link.sll_halen = length;
        Mac mac{9, 9, 9, 9, 9, 9};
        EXPECT_TRUE(Zelkor::Platform::LinkLayerAddress(entry, mac));
        EXPECT_EQ(mac, expected) << int{length};
    }
    EXPECT_EQ(Zelkor::Platform::LinkOwnerName("eth0:1"), "eth0");
}
