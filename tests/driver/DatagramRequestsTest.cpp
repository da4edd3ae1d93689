// The record of the requests a node sent as datagrams, which its datagram replies must
// answer: by word, from the address asked (any after a request to every node), within the
// window, and bounded however many requests the node sends.

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
    // Those past the window go first.
    sent.Sent("identify", to(0), kStart + DatagramRequests::Window + std::chrono::seconds(1));
    EXPECT_EQ(sent.Size(), 1u);
}

}  // namespace
}  // namespace ZelkorTest
