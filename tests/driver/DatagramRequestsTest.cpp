// The record of the requests a node sent as datagrams, which its datagram replies must
// answer: by word, from the address asked (any after a request to every node, any of the
// subnet after one to a served subnet's broadcast address), within the window, and bounded
// however many requests the node sends.

#include <gtest/gtest.h>

#include <string>

#include "driver/DatagramRequests.h"

namespace ZelkorTest {
namespace {

using Zelkor::DatagramRequests;
using boost::asio::ip::make_address;

const DatagramRequests::Clock::time_point kStart{std::chrono::hours(1)};

TEST(DatagramRequests, AReplyAnswersARequestOfItsWordFromTheAddressAskedOrAnyAfterOneToAll) {
    DatagramRequests sent;
    const auto device = make_address("10.77.0.2");
    const auto forger = make_address("10.77.0.3");
    EXPECT_FALSE(sent.Answers("locate", device, kStart));

    sent.Sent("locate", device, kStart);
    EXPECT_TRUE(sent.Answers("locate", device, kStart));
    EXPECT_TRUE(sent.Answers("locate", make_address("::ffff:10.77.0.2"), kStart));
    EXPECT_FALSE(sent.Answers("locate", forger, kStart));
    EXPECT_FALSE(sent.Answers("exec", device, kStart));

    sent.Sent("exec", make_address("255.255.255.255"), kStart);
    sent.Sent("identify", make_address("ff12::1"), kStart);
    sent.Sent("reboot", make_address("fe80::2%1"), kStart);
    EXPECT_TRUE(sent.Answers("exec", forger, kStart));
    EXPECT_TRUE(sent.Answers("identify", make_address("fd00:77::3"), kStart));
    EXPECT_TRUE(sent.Answers("reboot", make_address("fe80::2%7"), kStart));
    EXPECT_FALSE(sent.Answers("reboot", make_address("fe80::3%1"), kStart));

    const auto end = kStart + DatagramRequests::Window;
    EXPECT_TRUE(sent.Answers("exec", forger, end));
    EXPECT_FALSE(sent.Answers("exec", forger, end + std::chrono::milliseconds(1)));
    EXPECT_FALSE(sent.Answers("locate", device, end + std::chrono::milliseconds(1)));
    // Sent again, it is awaited again.
    sent.Sent("locate", device, end);
    EXPECT_TRUE(sent.Answers("locate", device, end + std::chrono::seconds(1)));
}

// Only a subnet with room for hosts beside its broadcast address has one; the address must
// be the broadcast address of the served address's own subnet.
TEST(DatagramRequests, ABroadcastAddressIsTheLastOfAServedSubnetWithHostsBesideIt) {
    const auto own = make_address("10.77.0.1");
    const auto subnetOf = [&](const char* destination, std::uint32_t mask, const char* served = "10.77.0.1") {
        const auto subnet = DatagramRequests::BroadcastSubnet(make_address(destination), make_address(served), mask);
        return subnet ? subnet->to_string() : std::string("none");
    };
    EXPECT_EQ(subnetOf("10.77.0.255", 0xFFFFFF00), "10.77.0.0/24");
    EXPECT_EQ(subnetOf("::ffff:10.77.0.255", 0xFFFFFF00), "10.77.0.0/24");
    EXPECT_EQ(subnetOf("10.77.255.255", 0xFFFF0000), "10.77.0.0/16");
    EXPECT_EQ(subnetOf("10.77.0.3", 0xFFFFFFFC), "10.77.0.0/30");
    EXPECT_EQ(subnetOf("10.77.0.255", 0xFFFF0000), "none");
    EXPECT_EQ(subnetOf("10.78.0.255", 0xFFFFFF00), "none");
    EXPECT_EQ(subnetOf("10.77.0.1", 0xFFFFFFFF), "none");
    EXPECT_EQ(subnetOf("10.77.0.1", 0xFFFFFFFE), "none");
    EXPECT_EQ(subnetOf("255.255.255.255", 0), "none");
    EXPECT_EQ(subnetOf("10.77.0.255", 0xFF00FF00), "none");
    EXPECT_EQ(subnetOf("fd00:77::ffff", 0xFFFFFF00, "fd00:77::1"), "none");
    EXPECT_FALSE(DatagramRequests::BroadcastSubnet(make_address("10.77.0.255"), own, 0xFFFFFF00)->is_host());
}

// A request to a subnet's broadcast address reached every address of that subnet: a reply
// from any of them answers it, one from beyond it (a forger elsewhere, or the device from
// another of its addresses) does not, nor a reply of another word or after the window.
TEST(DatagramRequests, AReplyFromTheSubnetAskedAnswersARequestToItsBroadcastAddress) {
    DatagramRequests sent;
    const auto subnet = *DatagramRequests::BroadcastSubnet(make_address("10.77.0.255"), make_address("10.77.0.1"),
                                                           0xFFFFFF00);
    sent.SentToSubnet("locate", subnet, kStart);
    for (const char* source : {"10.77.0.2", "10.77.0.254", "::ffff:10.77.0.9"}) {
        EXPECT_TRUE(sent.Answers("locate", make_address(source), kStart)) << source;
    }
    for (const char* source : {"10.78.0.5", "10.76.255.255", "fd00:77::2", "0.0.0.0"}) {
        EXPECT_FALSE(sent.Answers("locate", make_address(source), kStart)) << source;
    }
    EXPECT_FALSE(sent.Answers("identify", make_address("10.77.0.2"), kStart));
    EXPECT_FALSE(sent.Answers("locate", make_address("10.77.0.2"), kStart + DatagramRequests::Window +
                                                                       std::chrono::milliseconds(1)));

    // Subnets of one word are told apart; a wider one holds a narrower one's addresses.
    sent.SentToSubnet("identify", DatagramRequests::Subnet(make_address("192.168.4.0").to_v4(), 30), kStart);
    EXPECT_TRUE(sent.Answers("identify", make_address("192.168.4.2"), kStart));
    EXPECT_FALSE(sent.Answers("identify", make_address("192.168.4.4"), kStart));
    sent.SentToSubnet("identify", DatagramRequests::Subnet(make_address("192.168.4.9").to_v4(), 16), kStart);
    EXPECT_TRUE(sent.Answers("identify", make_address("192.168.200.4"), kStart));
    EXPECT_EQ(sent.Size(), 3u);
}

TEST(DatagramRequests, ManyRequestsKeepTheNewestWithinTheBound) {
    DatagramRequests sent;
    const auto to = [](std::size_t n) {
        return boost::asio::ip::address_v4(static_cast<std::uint32_t>(0x0a000000 + n));
    };
    const std::size_t many = DatagramRequests::MaxRecords + 100;
    for (std::size_t n = 0; n < many; ++n) {
        sent.Sent("locate", to(n), kStart + std::chrono::microseconds(n));
    }
    const auto now = kStart + std::chrono::seconds(1);
    EXPECT_EQ(sent.Size(), DatagramRequests::MaxRecords);
    EXPECT_FALSE(sent.Answers("locate", to(0), now));
    EXPECT_TRUE(sent.Answers("locate", to(many - 1), now));
    // Requests to subnets share the bound, the oldest of either kind going first.
    sent.SentToSubnet("locate", DatagramRequests::Subnet(to(0x10000), 24), now);
    EXPECT_EQ(sent.Size(), DatagramRequests::MaxRecords);
    EXPECT_FALSE(sent.Answers("locate", to(100), now));
    EXPECT_TRUE(sent.Answers("locate", to(0x10007), now));
    for (std::size_t n = 0; n < many; ++n) {
        sent.Sent("identify", to(n), now + std::chrono::microseconds(n));
    }
    EXPECT_EQ(sent.Size(), DatagramRequests::MaxRecords);
    EXPECT_FALSE(sent.Answers("locate", to(0x10007), now + std::chrono::seconds(1)));
    // Those past the window go first.
    sent.Sent("identify", to(0), kStart + DatagramRequests::Window + std::chrono::seconds(2));
    EXPECT_EQ(sent.Size(), 1u);
}

}  // namespace
}  // namespace ZelkorTest
