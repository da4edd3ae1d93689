// The driver's life through the library's entry points, the loop that survives a
// throwing handler, and the discovery that cannot be replaced.

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <future>
#include <thread>

#include <boost/asio/post.hpp>

#include "core/ZelkorLog.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "storage/JsonModel.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

// Create, run, destroy, delete, thrice, with a connection open each time: Stop lets the
// discovery's goodbye out, the peer sees the close, and nothing is left behind.
TEST(DriverLifecycle, CreateRunDestroyDeleteThriceWithAConnectionOpen) {
    LogCapture log;
    for (int round = 0; round < 3; ++round) {
        auto* created = Zelkor::CreateDriver();
        ASSERT_EQ(Zelkor::CreateDriver(), created);
        auto* driver = static_cast<Zelkor::ZelkorDriver*>(created);
        auto discovery = std::make_shared<FakeDiscovery>(driver->shared_from_this());
        discovery->goodbyeOnStop = true;
        discovery->answerAtOnce = true;
        driver->UseDiscovery(discovery);
        auto tap = std::make_unique<AcceptTap>(*driver);
        auto server = std::make_shared<Zelkor::TcpServer>(driver->GetIoContext(), driver->GetSSLContext(), false);
        server->Subscribe(tap.get());
        server->BindTo(boost::asio::ip::make_address("127.0.0.1"), 0);
        std::thread loop([driver] { driver->Run(); });

        RawPeer peer;
        ASSERT_TRUE(peer.Connect(server->LocalEndpoint()));
        peer.Send("identify {\"n\":1}\n");
        EXPECT_EQ(peer.ReadLine(), "@identify {\"n\":1}\n");
        Zelkor::DestroyDriver();
        loop.join();
        EXPECT_EQ(peer.ReadLine(), "goodbye {\"reason\":\"shutdown\"}\n");
        EXPECT_TRUE(peer.WaitClosed());
        EXPECT_EQ(discovery->Count("Stop"), 1u);
        // Whatever holds connections goes before the context they were made on.
        server->Close();
        server.reset();
        tap.reset();
        discovery.reset();
        Zelkor::DeleteDriver();
    }
    EXPECT_EQ(log.Count("ZK7863E"), 0u);
}

// DeleteDriver while Run still turns the library's loop on another thread: the driver is
// stopped and Run awaited before the loop is freed; from a handler on the loop itself,
// which cannot wait for its own Run, nothing is freed.
TEST(DriverLifecycle, DeleteDriverNeverFreesTheLoopUnderRun) {
    LogCapture log;
    auto* driver = static_cast<Zelkor::ZelkorDriver*>(Zelkor::CreateDriver());
    driver->UseDiscovery(std::make_shared<FakeDiscovery>(driver->shared_from_this()));
    std::promise<void> fromLoop;
    boost::asio::post(driver->GetIoContext(), [&fromLoop] {
        Zelkor::DeleteDriver();
        fromLoop.set_value();
    });
    std::thread loop([driver] { driver->Run(); });
    fromLoop.get_future().wait();
    EXPECT_EQ(log.Count("ZK78F7E DeleteDriver while Run is still running"), 1u);
    Zelkor::DeleteDriver();
    loop.join();
}

TEST(DriverLifecycle, AThrowingHandlerCostsItsLineOnly) {
    LogCapture log;
    DriverHarness harness;
    harness.discovery->throwOn = "identify";
    harness.discovery->answerAtOnce = true;
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));
    peer.Send("identify\nlocate {\"n\":2}\n");
    EXPECT_EQ(peer.ReadLine(), "@locate {\"n\":2}\n");
    EXPECT_EQ(log.Count("ZK7863E Driver error (handler failed)"), 1u);
    harness.Stop();
    EXPECT_TRUE(peer.WaitClosed());
}

// An exception that Run lets through leaves the driver able to run again; idle, the loop
// waits for work instead of spinning, and Stop ends it.
TEST(DriverLifecycle, RunSurvivesAnEscapedExceptionAndWaitsWhenIdle) {
    DriverHarness harness;
    harness.driver->UseDiscovery(harness.discovery);
    bool escaped = false;
    std::thread first([&] {
        try {
            harness.driver->Run();
        } catch (int) {
            escaped = true;
        }
    });
    boost::asio::post(harness.io, [] { throw 42; });
    first.join();
    EXPECT_TRUE(escaped);
    std::chrono::nanoseconds busy{};
    std::thread second([&] {
        harness.driver->Run();
        timespec used{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
        busy = std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
    });
    EXPECT_TRUE(harness.OnLoop([] {}));
    // A measured idle time, not a wait for something to happen.
    std::this_thread::sleep_for(300ms);
    const auto asked = std::chrono::steady_clock::now();
    harness.driver->Stop();
    second.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
    EXPECT_LT(busy, 100ms) << std::chrono::duration_cast<std::chrono::milliseconds>(busy).count() << " ms busy";
}

TEST(DriverLifecycle, TheDiscoveryIsGivenOnceAndRunNeedsIt) {
    LogCapture log;
    ZelkorLog::TheLog().SetLevel(6);
    DriverHarness harness;
    harness.driver->Run();
    EXPECT_TRUE(log.Contains("ZK7862E Driver Run no discovery service"));
    harness.driver->UseDiscovery(harness.discovery);
    auto second = std::make_shared<FakeDiscovery>(harness.driver);
    harness.driver->UseDiscovery(second);
    harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>("{}"));
    EXPECT_EQ(log.Count("ZK78F0E Discovery already initialized"), 2u);
    EXPECT_EQ(second->Count("Initialize"), 0u);
    EXPECT_EQ(harness.driver->GetDriverDiscovery(), harness.discovery.get());
    // Stopped before it ran, Run returns at once.
    harness.driver->Stop();
    harness.driver->Run();
    EXPECT_EQ(log.Count("ZK7861I"), 1u);
    EXPECT_EQ(harness.discovery->Count("StartTimer"), 0u);
}

}  // namespace
}  // namespace ZelkorTest
