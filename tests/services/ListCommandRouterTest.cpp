// The list-command router behind the driver: requests with options without a route are
// answered, a routed option whose message comes later is dropped without a reply.

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
    // "discovered" is routed to the discovery, whose list message is not built yet; a
    // reply is never answered with an error.
    peer.Send("list {\"command\":\"discovered\"}\n@list {\"command\":\"Discovered\"}\nfrob\n");
    EXPECT_EQ(peer.ReadLine(), "@frob \n");
    EXPECT_EQ(harness.discovery->Handled("list"), 0u);
}

}  // namespace
}  // namespace ZelkorTest
