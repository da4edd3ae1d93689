// Arbitrary bytes as a raw Ethernet frame: the fixed-offset view must never read outside
// the frame, whatever its lengths claim, and what it hands on is parsed as message lines.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/MessageForwardInfo.h"
#include "core/ZelkorLog.h"
#include "transport/UdpFrame.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ZelkorLog::TheLog().SetLevel(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Zelkor::UdpFrame frame(data, size);
    volatile std::size_t sink = frame.DestinationMacText().size();
    if (!frame.IsPlainIpv4Udp()) {
        return 0;
    }
    sink = sink + frame.SourceIp() + frame.DestinationIp() + frame.SourcePort() + frame.DestinationPort() +
           frame.UdpLength();
    if (!frame.PayloadFits()) {
        return 0;
    }
    std::string_view payload = frame.Payload();
    while (!payload.empty()) {
        const auto end = payload.find('\n');
        if (end == std::string_view::npos) {
            break;
        }
        Zelkor::MessageForwardInfo header;
        header.PullHeader(std::string(payload.substr(0, end)));
        payload.remove_prefix(end + 1);
    }
    return 0;
}
