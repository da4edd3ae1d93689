#pragma once
// Builds Ethernet frames holding one IPv4 UDP datagram, with every header field open to
// forgery, for feeding the frame parser and the raw receiver.

#include <cstdint>
#include <string>
#include <vector>

namespace ZelkorTest {

struct FrameBuilder {
    std::string payload = "disco\n";
    unsigned char destinationMac[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    unsigned char sourceMac[6] = {0x02, 0, 0, 0, 0, 0x01};
    std::uint16_t etherType = 0x0800;
    unsigned char versionAndLength = 0x45;
    std::uint16_t fragment = 0x4000;  // "don't fragment" alone
    unsigned char protocol = 17;
    std::uint32_t sourceIp = 0x0A000002;  // 10.0.0.2
    std::uint32_t destinationIp = 0xFFFFFFFF;
    std::uint16_t sourcePort = 50000;
    std::uint16_t destinationPort = 4197;
    // 0: the true lengths.
    std::uint16_t udpLength = 0;
    std::uint16_t ipLength = 0;
    // Frames are padded with zeros up to this size, as Ethernet pads short frames.
    std::size_t padTo = 60;

    std::vector<unsigned char> Build() const {
        std::vector<unsigned char> frame;
        auto put8 = [&](unsigned v) { frame.push_back(static_cast<unsigned char>(v)); };
        auto put16 = [&](unsigned v) { put8(v >> 8 & 0xFF), put8(v & 0xFF); };
        auto put32 = [&](std::uint32_t v) { put16(v >> 16), put16(v & 0xFFFF); };
        frame.insert(frame.end(), destinationMac, destinationMac + 6);
        frame.insert(frame.end(), sourceMac, sourceMac + 6);
        put16(etherType);
        const unsigned trueUdp = static_cast<unsigned>(8 + payload.size());
        put8(versionAndLength);
        put8(0);
        put16(ipLength ? ipLength : 20 + trueUdp);
        put16(0x1234);
        put16(fragment);
        put8(64);
        put8(protocol);
        put16(0);
        put32(sourceIp);
        put32(destinationIp);
        put16(sourcePort);
        put16(destinationPort);
        put16(udpLength ? udpLength : trueUdp);
        put16(0);
        frame.insert(frame.end(), payload.begin(), payload.end());
        if (frame.size() < padTo) {
            frame.resize(padTo, 0);
        }
        return frame;
    }
};

}  // namespace ZelkorTest
