// The frame view and the raw frame receiver, fed with crafted frames (the receiver through
// a datagram socket pair), so that parsing and filtering are tested without privileges.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "RecordingSink.h"
#include "core/ZelkorLog.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "transport/RawSocket.h"
#include "transport/UdpFrame.h"

using boost::asio::ip::make_address;
using ::testing::ElementsAre;
using ZelkorTest::InterfaceRecord;
using Zelkor::UdpFrame;

namespace {

// An Ethernet frame holding one IPv4 UDP datagram, with every header field open to forgery.
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
        const auto udp = udpLength ? udpLength : 8 + payload.size();
        const auto ip = ipLength ? ipLength : 20 + 8 + payload.size();
        std::vector<unsigned char> frame(destinationMac, destinationMac + 6);
        frame.insert(frame.end(), sourceMac, sourceMac + 6);
        // Big-endian, as on the wire.
        auto put = [&frame](std::uint64_t value, int bytes) {
            while (bytes-- > 0) {
                frame.push_back(static_cast<unsigned char>(value >> (8 * bytes)));
            }
        };
        put(etherType, 2);
        // The IPv4 header (time to live 64, no checksum) in two rows, then the UDP header.
        put(versionAndLength, 1), put(0, 1), put(ip, 2), put(0x1234, 2), put(fragment, 2);
        put(64, 1), put(protocol, 1), put(0, 2), put(sourceIp, 4), put(destinationIp, 4);
        put(sourcePort, 2), put(destinationPort, 2), put(udp, 2), put(0, 2);
        frame.insert(frame.end(), payload.begin(), payload.end());
        frame.resize(std::max(frame.size(), padTo), 0);
        return frame;
    }
};

constexpr const char* kOwnMac = "02:00:00:00:00:aa";

class RawFrames : public ::testing::Test {
protected:
    void SetUp() override {
        ZelkorLog::TheLog().SetLevel(7);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
        raw = std::make_shared<Zelkor::RawSocket>(io, 4197);
        raw->SetSink(&sink);
        raw->localMac = kOwnMac;
        ASSERT_TRUE(raw->SetFrameDescriptor(pair[0]));
        ASSERT_TRUE(raw->BindTo(make_address("0.0.0.0"), 4197, "ignored"));
    }
    void TearDown() override {
        close(pair[0]);
        close(pair[1]);
    }

    void Feed(const std::vector<unsigned char>& frame) {
        ASSERT_EQ(send(pair[1], frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    }
    // Feeds a frame that is always delivered and waits for it: every frame fed before it
    // has been handled by then.
    bool Settle() {
        FrameBuilder end;
        end.payload = "end\n";
        end.sourcePort = 50001;
        Feed(end.Build());
        return ZelkorTest::RunUntilHeard(io, sink, "end");
    }
    // Commands delivered for the frame, the settling frame left out.
    std::vector<std::string> Handle(const std::vector<unsigned char>& frame) {
        sink.received.clear();
        Feed(frame);
        EXPECT_TRUE(Settle());
        auto commands = sink.Commands();
        commands.pop_back();
        return commands;
    }

    int pair[2] = {-1, -1};
    boost::asio::io_context io;
    ZelkorTest::RecordingSink sink;
    std::shared_ptr<Zelkor::RawSocket> raw;
};

}  // namespace

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
        {"unpadded frame", [](FrameBuilder& b) { b.padTo = 0; }, true, true},
        {"IPv6 version", [](FrameBuilder& b) { b.versionAndLength = 0x65; }, false, false},
        {"later fragment", [](FrameBuilder& b) { b.fragment = 0x0010; }, false, false},
        {"no flags at all", [](FrameBuilder& b) { b.fragment = 0; }, true, true},
        // Claims more than the IP datagram carries: must not read the padding.
        {"udp length into padding", [](FrameBuilder& b) { b.udpLength = 20, b.ipLength = 20 + 14; }, true, false},
        {"udp length below header", [](FrameBuilder& b) { b.udpLength = 7; }, true, false},
        {"empty payload", [](FrameBuilder& b) { b.payload.clear(); }, true, true},
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

TEST_F(RawFrames, FilterTable) {
    ZelkorTest::LogCapture log;
    const std::string line18(17, 'p');  // with its "\n": a payload of 18, a frame of 60
    struct Case {
        const char* name;
        std::function<void(FrameBuilder&)> change;
        bool delivered;
    };
    const std::vector<Case> cases = {
        {"60-byte frame", [&](FrameBuilder& b) { b.payload = line18 + "\n", b.padTo = 0; }, true},
        {"59-byte frame", [&](FrameBuilder& b) { b.payload = line18.substr(1) + "\n", b.padTo = 0; }, false},
        {"other port", [](FrameBuilder& b) { b.destinationPort = 4198; }, false},
        {"not IPv4", [](FrameBuilder& b) { b.etherType = 0x86DD; }, false},
        {"not UDP", [](FrameBuilder& b) { b.protocol = 6; }, false},
        {"IP options", [](FrameBuilder& b) { b.versionAndLength = 0x46; }, false},
        {"fragment", [](FrameBuilder& b) { b.fragment = 0x2000; }, false},
        {"other host's MAC", [](FrameBuilder& b) { b.destinationMac[5] = 0xab; }, false},
        {"own MAC", [](FrameBuilder& b) { std::memcpy(b.destinationMac, "\x02\0\0\0\0\xaa", 6); }, true},
        {"UDP length past the frame", [](FrameBuilder& b) { b.udpLength = 1500; }, false},
        {"largest frame", [](FrameBuilder& b) { b.payload = std::string(1518 - 42 - 1, 'x') + "\n"; }, true},
        // Cut to the buffer by the read: its true UDP length then lies past what was read.
        {"frame beyond the largest", [](FrameBuilder& b) { b.payload = std::string(1518 - 42, 'x') + "\n"; }, false},
        {"UDP length 9", [](FrameBuilder& b) { b.udpLength = 9; }, false},
        {"unicast IP", [](FrameBuilder& b) { b.destinationIp = 0x0A000001; }, false},
    };
    for (const auto& c : cases) {
        FrameBuilder builder;
        c.change(builder);
        const auto commands = Handle(builder.Build());
        EXPECT_EQ(commands.size(), c.delivered ? 1u : 0u) << c.name;
    }
    // Only the unicast destination made the receiver look at the interfaces.
    EXPECT_EQ(sink.interfaceQueries, 1u);
    // A forged length is logged before the frame is dropped.
    EXPECT_TRUE(log.Contains("RAWS ZK7405I RAW UDP length (1500)"));
}

TEST_F(RawFrames, SubnetBroadcastMatchesOnlyThisAdaptersSubnets) {
    sink.interfaces = {
        InterfaceRecord("02:00:00:00:00:bb", "10.1.0.1", "255.255.255.0"),  // another adapter
        InterfaceRecord(kOwnMac, "fe80::1", ""),                             // not IPv4
        InterfaceRecord(kOwnMac, "10.2.0.1", "255.255.x.0"),                 // mask unreadable
        InterfaceRecord(kOwnMac, "10.0.0.1", "255.255.255.0"),
    };
    // 10.0.0.255 is delivered; not 10.0.0.254, nor the other adapter's subnet, nor one behind the unreadable mask.
    const std::vector<std::pair<std::uint32_t, bool>> cases = {
        {0x0A0000FF, true}, {0x0A0000FE, false}, {0x0A0100FF, false}, {0x0A0200FF, false}};
    for (const auto& [destination, delivered] : cases) {
        FrameBuilder builder;
        builder.destinationIp = destination;
        EXPECT_EQ(Handle(builder.Build()).size(), delivered ? 1u : 0u) << std::hex << destination;
    }
    EXPECT_EQ(sink.interfaceQueries, cases.size());
}

TEST_F(RawFrames, OwnSourceAndSwitchedOffSubnetAreDroppedWithTheirLines) {
    ZelkorTest::LogCapture log;
    FrameBuilder builder;
    sink.listeners.insert({make_address("10.0.0.2"), 50000});
    EXPECT_TRUE(Handle(builder.Build()).empty());
    EXPECT_TRUE(log.Contains("RAWS ZK7408I RAW local source (10.0.0.2:50000)"));
    sink.listeners.clear();

    raw->subnetUdp = false;
    sink.received.clear();
    Feed(builder.Build());
    ASSERT_TRUE(ZelkorTest::RunUntil(io, [&] { return log.Contains("ZK7409I"); }));
    EXPECT_TRUE(log.Contains("RAWS ZK7409I RAW subnet-udp disabled"));
    raw->subnetUdp = true;
    EXPECT_TRUE(Settle());
    EXPECT_THAT(sink.Commands(), ElementsAre("end"));

    EXPECT_TRUE(log.Contains("RAWS ZK7404I RAW packet accepted"));
    EXPECT_TRUE(log.Contains("RAWS ZK7405I RAW UDP length (14)"));
    EXPECT_TRUE(log.Contains("RAWS ZK7406I RAW source IP (10.0.0.2)"));
}

TEST_F(RawFrames, EachLineGoesAloneAndRejectedLinesStop) {
    ZelkorTest::LogCapture log;
    FrameBuilder builder;
    builder.payload = "one\nBad\n[a][b]two {\"x\":2}\ntail";
    EXPECT_THAT(Handle(builder.Build()), ElementsAre("one", "two"));
    EXPECT_EQ(log.Count("ZK5105E"), 1u);
    EXPECT_EQ(sink.received[1].targets, "a");
    EXPECT_EQ(sink.received[1].sender, boost::asio::ip::udp::endpoint(make_address("10.0.0.2"), 50000));
    EXPECT_TRUE(log.Contains("RAWS ZK7410I RAW read 29 bytes (one\n...)"));

    // Every line reaches the traffic dump, rejected or not.
    std::vector<std::string> dumped;
    for (const auto& t : sink.traffic) {
        EXPECT_TRUE(t.incoming);
        dumped.push_back(t.text);
    }
    EXPECT_THAT(dumped, ElementsAre("one\n", "Bad\n", "[a][b]two {\"x\":2}\n", "end\n"));

    // The tail of the last frame is not put in front of the next one.
    builder.payload = "three\n";
    EXPECT_THAT(Handle(builder.Build()), ElementsAre("three"));
}

TEST_F(RawFrames, FrameSourceMustBeConnectionless) {
    auto other = std::make_shared<Zelkor::RawSocket>(io, 4197);
    // A stream runs frames together; a sequenced-packet pair whose peer has gone reads
    // empty for ever and would keep the loop spinning.
    for (const int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        int connected[2];
        ASSERT_EQ(socketpair(AF_UNIX, type, 0, connected), 0);
        close(connected[1]);
        EXPECT_FALSE(other->SetFrameDescriptor(connected[0])) << type;
        close(connected[0]);
    }
    EXPECT_FALSE(other->SetFrameDescriptor(-1));

    // Without a source nothing is read, not even descriptor 0.
    EXPECT_TRUE(other->BindTo(make_address("0.0.0.0"), 4197, ""));
    io.poll();
    EXPECT_FALSE(other->SocketIsOpen());
    EXPECT_EQ(other.use_count(), 1);
}

TEST_F(RawFrames, CloseStopsReadingButLeavesTheCallersDescriptor) {
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(raw->SocketIsOpen());
    raw->Close();
    io.restart();
    io.poll();
    EXPECT_FALSE(raw->SocketIsOpen());
    EXPECT_EQ(raw.use_count(), 1);
    EXPECT_NE(fcntl(pair[0], F_GETFD), -1);

    sink.received.clear();
    Feed(FrameBuilder().Build());
    io.restart();
    io.poll();
    EXPECT_TRUE(sink.received.empty());
}

TEST_F(RawFrames, AWakeWithNothingToReadLeavesTheLoopFree) {
    // A second receiver on the same source: one frame wakes both, and the one that finds
    // the frame gone must go back to waiting instead of blocking the loop in its read.
    auto twin = std::make_shared<Zelkor::RawSocket>(io, 4197);
    twin->SetSink(&sink);
    twin->localMac = kOwnMac;
    ASSERT_TRUE(twin->SetFrameDescriptor(pair[0]));
    ASSERT_TRUE(twin->BindTo(make_address("0.0.0.0"), 4197, ""));
    io.poll();

    // Should a read block after all, a late frame frees it: the test then fails on time
    // and count instead of hanging.
    std::promise<void> finished;
    auto release = std::async(std::launch::async, [this, done = finished.get_future()] {
        if (done.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
            const auto frame = FrameBuilder().Build();
            send(pair[1], frame.data(), frame.size(), 0);
        }
    });

    const auto start = std::chrono::steady_clock::now();
    Feed(FrameBuilder().Build());
    const bool delivered = ZelkorTest::RunUntil(io, [&] { return !sink.received.empty(); });
    io.run_for(std::chrono::milliseconds(50));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    finished.set_value();
    release.get();

    EXPECT_TRUE(delivered);
    EXPECT_EQ(sink.received.size(), 1u);
    EXPECT_LT(elapsed, std::chrono::seconds(4));
}
