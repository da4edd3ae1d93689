// The bounded table of source groups that the waits and the proven sources keep.

#include <gtest/gtest.h>

#include "discovery/SourceTable.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using Zelkor::SourceTable;

TEST(SourceTable, PutRefreshesAGroupAndTheOldestLeaveWhenFullOrExpired) {
    SourceTable<int> table(3);
    table.Put(make_address("10.0.0.1"), 1);
    table.Put(make_address("fd00:77::1"), 2);
    table.Put(make_address("10.0.0.3"), 3);
    // The /64's other address is the same source: it becomes the newest, with its value.
    table.Put(make_address("fd00:77::9:9"), 20);
    table.Put(make_address("10.0.0.4"), 4);
    EXPECT_EQ(table.Size(), 3u);
    EXPECT_EQ(table.Find(make_address("10.0.0.1")), nullptr);
    ASSERT_NE(table.Find(make_address("fd00:77::2")), nullptr);
    EXPECT_EQ(*table.Find(make_address("fd00:77::2")), 20);

    // Each oldest that has expired leaves, though the table has room.
    table.Erase(make_address("10.0.0.3"));
    table.Erase(make_address("10.0.0.6"));
    EXPECT_EQ(table.Size(), 2u);
    table.Put(make_address("10.0.0.5"), 5, [](int value) { return value > 3; });
    EXPECT_EQ(table.Size(), 1u);
    EXPECT_EQ(table.Find(make_address("fd00:77::1")), nullptr);
    EXPECT_NE(table.Find(make_address("10.0.0.5")), nullptr);
    EXPECT_EQ(SourceTable<int>(0).Capacity(), 1u);
}

}  // namespace
}  // namespace ZelkorTest
