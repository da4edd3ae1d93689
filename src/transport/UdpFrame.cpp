#include "transport/UdpFrame.h"

#include "core/MacAddress.h"

namespace Zelkor {

namespace {

constexpr std::size_t kEtherTypeOffset = 12;
constexpr std::size_t kIpOffset = 14;
constexpr std::size_t kIpHeaderSize = 20;
constexpr std::size_t kUdpHeaderSize = 8;
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr unsigned char kVersion4WithoutOptions = 0x45;
constexpr std::uint8_t kProtocolUdp = 17;
// "More fragments" flag and fragment offset; the "don't fragment" flag may be set.
constexpr std::uint16_t kFragmentBits = 0x3FFF;

}  // namespace

UdpFrame::UdpFrame(const unsigned char* data, std::size_t size)
    : _data(data), _size(data ? size : 0) {}

std::uint16_t UdpFrame::Read16(std::size_t offset) const {
    if (offset + 2 > _size) {
        return 0;
    }
    return static_cast<std::uint16_t>(_data[offset] << 8 | _data[offset + 1]);
}

std::uint32_t UdpFrame::Read32(std::size_t offset) const {
    return static_cast<std::uint32_t>(Read16(offset)) << 16 | Read16(offset + 2);
}

bool UdpFrame::IsPlainIpv4Udp() const {
    return _size >= kPayloadOffset && Read16(kEtherTypeOffset) == kEtherTypeIpv4 &&
           _data[kIpOffset] == kVersion4WithoutOptions &&
           (Read16(kIpOffset + 6) & kFragmentBits) == 0 && _data[kIpOffset + 9] == kProtocolUdp;
}

std::string UdpFrame::DestinationMacText() const {
    return _size < 6 ? std::string() : MacAddress(_data).Text();
}

bool UdpFrame::PayloadFits() const {
    if (!IsPlainIpv4Udp()) {
        return false;
    }
    const std::size_t udpLength = UdpLength();
    const std::size_t ipLength = Read16(kIpOffset + 2);
    return udpLength >= kUdpHeaderSize && kIpOffset + kIpHeaderSize + udpLength <= _size &&
           kIpHeaderSize + udpLength <= ipLength;
}

std::string_view UdpFrame::Payload() const {
    if (!PayloadFits()) {
        return {};
    }
    return {reinterpret_cast<const char*>(_data + kPayloadOffset), UdpLength() - kUdpHeaderSize};
}

}  // namespace Zelkor
