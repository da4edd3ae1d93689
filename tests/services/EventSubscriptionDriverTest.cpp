// The event subscription service inside the driver: its words reach it over a real
// connection, an event raised off the loop reaches the subscriber, and a closed
// connection leaves nothing behind.

#include <gtest/gtest.h>

#include "services/EventSubscriptionService.h"
#include "services/SubscriberKey.h"
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

// The road hears a router say that a requester behind it is gone: a notice refused
// "Device not found" or "Device not connected" for a route, whatever its word, drops what
// the route holds; another error, or a direct peer's, drops nothing.
TEST(EventSubscriptionDriver, ARoutersWordThatARequesterIsGoneDropsWhatItHolds) {
    DriverHarness harness;
    harness.Start();
    auto* service = static_cast<Zelkor::EventSubscriptionService*>(harness.driver->GetEventSubscriptionService());
    ASSERT_NE(service, nullptr);
    RawPeer router;
    const auto socket = harness.Connect(router);
    ASSERT_TRUE(socket);
    void* const handle = Zelkor::ZelkorDriver::HandleOf(socket.get());
    const auto holds = [&](const char* requester) {
        bool held = false;
        harness.OnLoop([&] { held = service->Model().HasRecord(Zelkor::SubscriberKey(handle, {"rt", requester})); });
        return held;
    };
    for (const char* requester : {"ctlA", "ctlB", "ctlC"}) {
        router.Send(std::string("[R][rt&") + requester + "] subscribeevent {\"path\":\"/a\"}\n");
        EXPECT_EQ(router.ReadLine(), std::string("[rt&") + requester + "][R] @subscribeevent {\"path\":\"/a\"}\n");
    }
    router.Send("[R][rt&ctlC] @event {\"error\":\"Message is misrouted\"}\n"
                "[R][ctlC] @publish {\"error\":\"Device not found\"}\n"
                "[R][rt&ctlA] @publish {\"error\":\"Device not found\"}\n"
                "[R][rt&ctlB] @block {\"error\":\"Device not connected\"}\n");
    EXPECT_TRUE(WaitUntil([&] { return !holds("ctlA") && !holds("ctlB"); }));
    EXPECT_TRUE(holds("ctlC"));
    router.Send("[R][rt&ctlC] @event {\"error\":\"Device not found\"}\n");
    EXPECT_TRUE(WaitUntil([&] { return !holds("ctlC"); }));
}

}  // namespace
}  // namespace ZelkorTest
