#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FrameBuilder.h"
#include "transport/UdpFrame.h"

using Zelkor::UdpFrame;
using ZelkorTest::FrameBuilder;

// The receiver's own tests cover the header fields and the common refusals; these are the
// finer points.
TEST(UdpFrame, LayoutAndLengthTable) {
    struct Case {
        const char* name;
        std::function<void(FrameBuilder&)> change;
        bool plain;
        bool fits;
    };
    const std::vector<Case> cases = {
        {"padded short frame", [](FrameBuilder&) {}, true, true},
        {"unpadded frame", [](FrameBuilder& b) { b.padTo = 0; }, true, true},
        {"IPv6 version", [](FrameBuilder& b) { b.versionAndLength = 0x65; }, false, false},
        {"IP options", [](FrameBuilder& b) { b.versionAndLength = 0x46; }, false, false},
        {"later fragment", [](FrameBuilder& b) { b.fragment = 0x0010; }, false, false},
        {"no flags at all", [](FrameBuilder& b) { b.fragment = 0; }, true, true},
        // Claims more than the frame carries: must not read past it.
        {"udp length past frame", [](FrameBuilder& b) { b.udpLength = 1500; }, true, false},
        {"udp length into padding",
         [](FrameBuilder& b) {
             b.udpLength = 20;
             b.ipLength = 20 + 14;
         },
         true, false},
        {"udp length below header", [](FrameBuilder& b) { b.udpLength = 7; }, true, false},
        {"empty payload", [](FrameBuilder& b) { b.payload.clear(); }, true, true},
        {"full frame",
         [](FrameBuilder& b) { b.payload = std::string(1518 - 42, 'x'); }, true, true},
    };
    for (const auto& c : cases) {
        FrameBuilder builder;
        c.change(builder);
        const auto bytes = builder.Build();
        const UdpFrame frame(bytes.data(), bytes.size());
        EXPECT_EQ(frame.IsPlainIpv4Udp(), c.plain) << c.name;
        EXPECT_EQ(frame.PayloadFits(), c.fits) << c.name;
        if (c.fits) {
            EXPECT_EQ(frame.Payload(), builder.payload) << c.name;
        } else {
            EXPECT_TRUE(frame.Payload().empty()) << c.name;
        }
    }
}

TEST(UdpFrame, TruncatedFramesReadNothingOutside) {
    const auto bytes = FrameBuilder().Build();
    for (std::size_t size = 0; size < UdpFrame::kPayloadOffset; ++size) {
        // Copied into an exact-size buffer so that the sanitizer sees any over-read.
        const std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + size);
        const UdpFrame frame(cut.data(), cut.size());
        EXPECT_FALSE(frame.IsPlainIpv4Udp()) << size;
        EXPECT_FALSE(frame.PayloadFits()) << size;
        frame.DestinationMacText();
        frame.UdpLength();
    }
    const UdpFrame none(nullptr, 100);
    EXPECT_FALSE(none.IsPlainIpv4Udp());
    EXPECT_EQ(none.DestinationMacText(), "");
}
