// A connection's line limit and output budget follow the transfer block size, so that a
// block line of the chosen size always fits, and the node-wide input budget is twice one
// connection's.
#include <gtest/gtest.h>

#include "support/DriverHarness.h"
#include "transport/InputBudget.h"
#include "transport/LineFramer.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::InputBudget;
using Zelkor::LineFramer;

TEST(TransferLimits, ConnectionsFollowTheBlockSizeOldAndNew) {
    struct Restore {
        ~Restore() { InputBudget::SetLimit(InputBudget::DefaultLimit); }
    } restore;
    DriverHarness harness;
    harness.Start();
    RawPeer first;
    const auto before = harness.Connect(first);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->MaxLineLength(), 65536 + LineFramer::LineAllowance);
    EXPECT_EQ(before->MaxQueuedBytes(), 65536 + LineFramer::LineAllowance);

    const std::size_t block = std::size_t{1} << 24;
    harness.driver->SetTransferBlockSize(block);
    ASSERT_TRUE(harness.OnLoop([] {}));
    EXPECT_EQ(before->MaxLineLength(), block + LineFramer::LineAllowance);
    EXPECT_EQ(before->MaxQueuedBytes(), block + LineFramer::LineAllowance);
    EXPECT_EQ(InputBudget::Limit(), 2 * (block + LineFramer::LineAllowance));

    RawPeer second;
    const auto after = harness.Connect(second);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->MaxLineLength(), block + LineFramer::LineAllowance);
    harness.Stop();
}

}  // namespace
}  // namespace ZelkorTest
