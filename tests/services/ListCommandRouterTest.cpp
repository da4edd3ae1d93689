// The list-command router behind the driver: requests with options without a route are
// answered, a routed option reaches its service.

#include <gtest/gtest.h>

#include "support/DriverHarness.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

TEST(ListCommandRouter, AnswersUnknownOptionsAndDropsRoutedOnesWithoutMessage) {
    LogCapture log;
    DriverHarness harness;
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    // Options are compared with letter case: "Discovered" has no route.
    peer.Send("list {\"command\":\"Discovered\"}\n");
    EXPECT_EQ(peer.ReadLine(), "@error {\"message\":\"Unrecognized list option.\"}\n");
    // "discovered" is routed to the discovery; a reply is never answered with an error.
    peer.Send("list {\"command\":\"discovered\"}\n@list {\"command\":\"Discovered\"}\nfrob\n");
    EXPECT_EQ(peer.ReadLine(), "@frob \n");
    EXPECT_EQ(harness.discovery->Handled("list"), 1u);
}

}  // namespace
}  // namespace ZelkorTest
