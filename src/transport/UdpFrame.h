#pragma once
// A read-only view of one Ethernet frame that should carry an IPv4 UDP datagram. It
// answers the header fields at their fixed offsets and says whether the frame really has
// that fixed layout and whether the payload the UDP header claims lies inside the frame.
// Nothing is read outside the `size` bytes given.
//
// Ownership: the view borrows the bytes; they must outlive it. Threads: a value; no state
// beyond the borrowed pointer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Zelkor {

class UdpFrame {
public:
    // Ethernet, IPv4 without options, UDP: the payload starts here.
    static constexpr std::size_t kPayloadOffset = 14 + 20 + 8;
    // The smallest Ethernet frame on the wire (without its checksum).
    static constexpr std::size_t kMinimumSize = 60;
    // The largest untagged Ethernet frame with its checksum.
    static constexpr std::size_t kMaximumSize = 1518;

    UdpFrame(const unsigned char* data, std::size_t size);

    // EtherType IPv4, a 20-byte IPv4 header, no fragment, protocol UDP. Frames with IP
    // options or fragments would be misread at the fixed offsets, so they do not qualify.
    bool IsPlainIpv4Udp() const;

    // "ff:ff:ff:ff:ff:ff" form.
    std::string DestinationMacText() const;
    // IPv4 addresses as host-order numbers.
    std::uint32_t SourceIp() const { return Read32(26); }
    std::uint32_t DestinationIp() const { return Read32(30); }
    std::uint16_t SourcePort() const { return Read16(34); }
    std::uint16_t DestinationPort() const { return Read16(36); }
    // Header and payload length as the UDP header claims it.
    std::uint16_t UdpLength() const { return Read16(38); }

    // The claimed payload (UDP length - 8 bytes) lies within the received bytes and within
    // the IPv4 datagram's own length.
    bool PayloadFits() const;
    // The claimed payload; empty unless PayloadFits.
    std::string_view Payload() const;

private:
    std::uint16_t Read16(std::size_t offset) const;
    std::uint32_t Read32(std::size_t offset) const;

    const unsigned char* _data;
    std::size_t _size;
};

}  // namespace Zelkor
