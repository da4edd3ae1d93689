// The raw frame receiver, fed with crafted frames through a datagram socket pair, so that
// parsing and filtering are tested without privileges. Reads past a truncated frame are the
// frame view's fuzz target's to find.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>

#include "TransportFixture.h"
#include "core/ZelkorLog.h"
#include "transport/RawSocket.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using ::testing::ElementsAre;

// An Ethernet frame holding one IPv4 UDP datagram, with every header field open to forgery.
struct FrameBuilder {
    std::string payload = "disco\n";
    unsigned char destinationMac[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    unsigned char versionAndLength = 0x45;
    std::uint16_t fragment = 0x4000;  // "don't fragment" alone
    std::uint32_t sourceIp = 0x0A000002;  // 10.0.0.2
    std::uint32_t destinationIp = 0xFFFFFFFF;
    // 0: the true lengths.
    std::uint16_t udpLength = 0;
    std::uint16_t ipLength = 0;
    // Frames are padded with zeros up to this size, as Ethernet pads short frames.
    std::size_t padTo = 60;

    std::vector<unsigned char> Build() const {
        const auto udp = udpLength ? udpLength : 8 + payload.size();
        const auto ip = ipLength ? ipLength : 20 + 8 + payload.size();
        std::vector<unsigned char> frame(destinationMac, destinationMac + 6);
        // Big-endian, as on the wire.
        auto put = [&frame](std::uint64_t value, int bytes) {
            while (bytes-- > 0) {
                frame.push_back(static_cast<unsigned char>(value >> (8 * bytes)));
            }
        };
        put(0x020000000001, 6);  // source MAC
        put(0x0800, 2);          // EtherType IPv4
        // The IPv4 header (time to live 64, no checksum) in two rows, then the UDP header.
        put(versionAndLength, 1), put(0, 1), put(ip, 2), put(0x1234, 2), put(fragment, 2);
        put(64, 1), put(17, 1), put(0, 2), put(sourceIp, 4), put(destinationIp, 4);
        put(50000, 2), put(4197, 2), put(udp, 2), put(0, 2);
        frame.insert(frame.end(), payload.begin(), payload.end());
        frame.resize(std::max(frame.size(), padTo), 0);
        return frame;
    }
};

constexpr const char* kOwnMac = "02:00:00:00:00:aa";

Zelkor::InterfaceInfo InterfaceRecord(const char* ip, const char* mask) {
    Zelkor::InterfaceInfo info;
    info.macText = kOwnMac;
    info.ipv4Text = ip;
    info.subnetMaskText = mask;
    return info;
}

class RawFrames : public TransportTest {
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
        Feed(end.Build());
        return Run([&] { return sink.Count("end") > 0; });
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
    std::shared_ptr<Zelkor::RawSocket> raw;
};

// Frames with a fixed layout other than assumed, or whose lengths claim more than they
// carry, are dropped instead of being read past their end.
TEST_F(RawFrames, FilterTable) {
    sink.listeners.insert({make_address("10.0.0.9"), 50000});
    sink.interfaces = {
        InterfaceRecord("fe80::1", ""),              // not IPv4
        InterfaceRecord("10.2.0.1", "255.255.x.0"),  // mask unreadable
        InterfaceRecord("10.0.0.1", "255.255.255.0"),
    };
    struct Case {
        const char* name;
        std::function<void(FrameBuilder&)> change;
        bool delivered;
    };
    const std::vector<Case> cases = {
        {"59-byte frame", [](FrameBuilder& b) { b.payload = std::string(16, 'p') + "\n", b.padTo = 0; }, false},
        {"IP options", [](FrameBuilder& b) { b.versionAndLength = 0x46; }, false},
        {"later fragment", [](FrameBuilder& b) { b.fragment = 0x0010; }, false},
        {"other host's MAC", [](FrameBuilder& b) { b.destinationMac[5] = 0xab; }, false},
        {"own MAC", [](FrameBuilder& b) { std::memcpy(b.destinationMac, "\x02\0\0\0\0\xaa", 6); }, true},
        {"UDP length past the frame", [](FrameBuilder& b) { b.udpLength = 1500; }, false},
        {"UDP length into padding", [](FrameBuilder& b) { b.udpLength = 20, b.ipLength = 20 + 14; }, false},
        // Cut to the buffer by the read: its true UDP length then lies past what was read.
        {"frame beyond the largest", [](FrameBuilder& b) { b.payload = std::string(1518 - 42, 'x') + "\n"; }, false},
        {"own listener's source", [](FrameBuilder& b) { b.sourceIp = 0x0A000009; }, false},
        {"own subnet broadcast", [](FrameBuilder& b) { b.destinationIp = 0x0A0000FF; }, true},
        {"unicast IP", [](FrameBuilder& b) { b.destinationIp = 0x0A0000FE; }, false},
        {"behind an unreadable mask", [](FrameBuilder& b) { b.destinationIp = 0x0A0200FF; }, false},
    };
    for (const auto& c : cases) {
        FrameBuilder builder;
        c.change(builder);
        EXPECT_EQ(Handle(builder.Build()).size(), c.delivered ? 1u : 0u) << c.name;
    }
}

// A line the parser refused carries no header to act on; each frame stands alone.
TEST_F(RawFrames, EachLineGoesAloneAndRejectedLinesStop) {
    FrameBuilder builder;
    builder.payload = "one\nBad\n[a][b]two {\"x\":2}\ntail";
    EXPECT_THAT(Handle(builder.Build()), ElementsAre("one", "two"));
    EXPECT_EQ(sink.received[1].sender, boost::asio::ip::udp::endpoint(make_address("10.0.0.2"), 50000));
    builder.payload = "three\n";
    EXPECT_THAT(Handle(builder.Build()), ElementsAre("three"));
}

// A stream runs frames together; a sequenced-packet pair whose peer has gone reads empty
// for ever and would keep the loop spinning.
TEST_F(RawFrames, FrameSourceMustBeConnectionless) {
    auto other = std::make_shared<Zelkor::RawSocket>(io, 4197);
    for (const int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        int connected[2];
        ASSERT_EQ(socketpair(AF_UNIX, type, 0, connected), 0);
        close(connected[1]);
        EXPECT_FALSE(other->SetFrameDescriptor(connected[0])) << type;
        close(connected[0]);
    }
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

    // Should a read block after all, a late frame frees it: the test then fails on the
    // count instead of hanging.
    std::promise<void> finished;
    auto release = std::async(std::launch::async, [this, done = finished.get_future()] {
        if (done.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
            const auto frame = FrameBuilder().Build();
            send(pair[1], frame.data(), frame.size(), 0);
        }
    });
    Feed(FrameBuilder().Build());
    EXPECT_TRUE(RunUntil(io, [&] { return !sink.received.empty(); }));
    io.run_for(std::chrono::milliseconds(50));
    finished.set_value();
    release.get();
    EXPECT_EQ(sink.received.size(), 1u);
}

}  // namespace
}  // namespace ZelkorTest
