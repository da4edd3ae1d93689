// A connection's line limit and output budget follow the transfer block size, so that a
// block line of the chosen size always fits, and the node-wide budgets of input and output
// are twice one connection's.
#include <gtest/gtest.h>

#include "support/DriverHarness.h"
#include "transport/ByteBudget.h"
#include "transport/LineFramer.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::ByteBudget;
using Zelkor::LineFramer;

TEST(TransferLimits, ConnectionsFollowTheBlockSizeOldAndNew) {
    struct Restore {
        ~Restore() {
            ByteBudget::Input().SetLimit(ByteBudget::DefaultLimit);
            ByteBudget::Output().SetLimit(ByteBudget::DefaultLimit);
        }
    } restore;
    DriverHarness harness;
    harness.Start();
    // The limits are the loop's: read there, once what the loop was doing is done.
    struct Limits {
        std::size_t line = 0;
        std::size_t queued = 0;
    };
    const auto limitsOf = [&harness](const std::shared_ptr<Zelkor::TcpSocket>& socket) {
        Limits limits;
        EXPECT_TRUE(harness.OnLoop([&] {
            limits.line = socket->MaxLineLength();
            limits.queued = socket->MaxQueuedBytes();
        }));
        return limits;
    };
    RawPeer first;
    const auto before = harness.Connect(first);
    ASSERT_TRUE(before);
    Limits limits = limitsOf(before);
    EXPECT_EQ(limits.line, 65536 + LineFramer::LineAllowance);
    EXPECT_EQ(limits.queued, 65536 + LineFramer::LineAllowance);

    const std::size_t block = std::size_t{1} << 24;
    harness.driver->SetTransferBlockSize(block);
    limits = limitsOf(before);
    EXPECT_EQ(limits.line, block + LineFramer::LineAllowance);
    EXPECT_EQ(limits.queued, block + LineFramer::LineAllowance);
    EXPECT_EQ(ByteBudget::Input().Limit(), 2 * (block + LineFramer::LineAllowance));
    EXPECT_EQ(ByteBudget::Output().Limit(), 2 * (block + LineFramer::LineAllowance));

    RawPeer second;
    const auto after = harness.Connect(second);
    ASSERT_TRUE(after);
    EXPECT_EQ(limitsOf(after).line, block + LineFramer::LineAllowance);
    harness.Stop();
}

}  // namespace
}  // namespace ZelkorTest
