// The event subscription service inside the driver: its words reach it over a real
// connection, an event raised off the loop reaches the subscriber, and a closed
// connection leaves nothing behind.

#include <gtest/gtest.h>

#include "services/EventSubscriptionService.h"
#include "support/DriverHarness.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

TEST(EventSubscriptionDriver, WordsRaisesAndClosesGoThroughTheDriversService) {
    DriverHarness harness;
    harness.Start();
    auto* service = static_cast<Zelkor::EventSubscriptionService*>(harness.driver->GetEventSubscriptionService());
    ASSERT_NE(service, nullptr);
    RawPeer peer;
    const auto socket = harness.Connect(peer);
    ASSERT_TRUE(socket);
    peer.Send("subscribeevent {\"path\":\"/a\"}\nevent {\"path\":\"/e\"}\n");
    EXPECT_EQ(peer.ReadLine(), "@subscribeevent {\"path\":\"/a\"}\n");
    EXPECT_EQ(peer.ReadLine(), "@event {\"path\":\"/e\"}\n");
    service->RaiseEvent("/a/b", "v");
    EXPECT_EQ(peer.ReadLine(), "event {\"path\":\"/a/b\",\"value\":\"v\"}\n");

    void* const handle = Zelkor::ZelkorDriver::HandleOf(socket.get());
    bool held = false;
    ASSERT_TRUE(harness.OnLoop([&] { held = service->Model().HasRecord(handle); }));
    EXPECT_TRUE(held);
    harness.OnLoop([&] { socket->Close(); });
    EXPECT_TRUE(WaitUntil([&] {
        bool gone = false;
        harness.OnLoop([&] { gone = !service->Model().HasRecord(handle) && !service->Model().HasEvent("/a"); });
        return gone;
    }));
}

}  // namespace
}  // namespace ZelkorTest
