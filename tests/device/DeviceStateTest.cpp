// The device object: the state table, atomic under two threads, and its life (statistics,
// goodbye, finalization). Devices here have no driver: nothing is sent.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <boost/signals2/signal.hpp>

#include "device/DeviceImpl.h"
#include "support/LogCapture.h"

namespace ZelkorTest {
namespace {

using Zelkor::DeviceImpl;
using Zelkor::DeviceNetState;

std::shared_ptr<DeviceImpl> device() { return std::make_shared<DeviceImpl>(nullptr, Zelkor::NewDiscoInfo()); }

// How each stored state is reached from 0.
std::vector<int> pathTo(int state) {
    switch (state) {
        case 5: return {1, 5};
        case 6: return {1, 6};
        case 7: return {3, 7};
        default: return state == 0 ? std::vector<int>{} : std::vector<int>{state};
    }
}

TEST(DeviceState, EveryPairOfOldAndRequestedState) {
    // The states each stored state may move to; 2 and 4 only notify.
    const std::map<int, std::string> allowed = {{0, "138"}, {1, "3568"}, {3, "157"}, {5, "1368"},
                                                {6, ""},    {7, "35"},   {8, "1356"}};
    for (const auto& [from, targets] : allowed) {
        for (int to = 0; to <= 8; ++to) {
            SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
            auto d = device();
            for (int step : pathTo(from)) {
                d->setCurrentState(static_cast<DeviceNetState>(step));
            }
            ASSERT_EQ(d->GetCurrentState(), from);
            std::vector<std::pair<int, int>> reports;
            d->SetStateCallback([&reports](DeviceNetState n, DeviceNetState o) { reports.emplace_back(n, o); });
            d->setCurrentState(static_cast<DeviceNetState>(to));
            const bool notify = (to == 2 || to == 4) && from != to;
            const bool taken = targets.find(std::to_string(to)) != std::string::npos;
            EXPECT_EQ(d->GetCurrentState(), taken ? to : from);
            EXPECT_EQ(reports, (taken || notify ? std::vector<std::pair<int, int>>{{to, from}}
                                                : std::vector<std::pair<int, int>>{}));
        }
    }
}

// From "Connected" both "Unresponsive" and "New" are allowed, but neither after the
// other: whichever thread stores first, the other's request is refused, never stored
// from the stale old state.
TEST(DeviceState, TwoThreadsNeverStoreARefusedPair) {
    constexpr int count = 2000;
    std::vector<std::shared_ptr<DeviceImpl>> devices;
    std::vector<std::vector<std::pair<int, int>>> reports(count);
    std::mutex mutex;
    for (int i = 0; i < count; ++i) {
        devices.push_back(device());
        devices.back()->setCurrentState(Zelkor::DeviceNetStateConnected);
        devices.back()->SetStateCallback([&mutex, &reports, i](DeviceNetState n, DeviceNetState o) {
            std::lock_guard<std::mutex> lock(mutex);
            reports[i].emplace_back(n, o);
        });
    }
    std::atomic<bool> go{false};
    const auto request = [&](DeviceNetState state) {
        while (!go.load()) {
        }
        for (auto& d : devices) {
            d->setCurrentState(state);
        }
    };
    std::thread unresponsive(request, Zelkor::DeviceNetStateUnresponsive);
    std::thread toNew(request, Zelkor::DeviceNetStateNew);
    go.store(true);
    unresponsive.join();
    toNew.join();
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(reports[i].size(), 1u) << i;
        EXPECT_EQ(reports[i][0].second, 3);
        EXPECT_EQ(reports[i][0].first, devices[i]->GetCurrentState());
    }
}

TEST(DeviceState, LifeOfADevice) {
    LogCapture log;
    auto d = device();
    using Clock = DeviceImpl::TimePoint;
    const Clock t0{std::chrono::microseconds(1000000)};
    d->UpdateStatistics(t0, t0 + std::chrono::milliseconds(250));
    d->UpdateStatistics(t0, t0 - std::chrono::milliseconds(1));  // counted, not measured
    d->UpdateStatistics(t0, t0 + std::chrono::milliseconds(50));
    EXPECT_DOUBLE_EQ(d->GetMinRoundTripTime(), 0.05);
    EXPECT_DOUBLE_EQ(d->GetMaxRoundTripTime(), 0.25);
    EXPECT_DOUBLE_EQ(d->GetAvgRoundTripTime(), 0.1);

    const DeviceImpl::RemoteInfo remote{"eth0", {boost::asio::ip::make_address("10.0.0.5"), 4197}};
    d->AddRemoteInfo(remote);
    d->AddRemoteInfo(remote);
    d->AddRemoteInfo({"eth0", {boost::asio::ip::make_address("::ffff:10.0.0.5"), 4197}});
    EXPECT_EQ(d->RemoteCount(), 2u);

    // Goodbye from "New": no longer wanted, "Disconnected".
    d->setCurrentState(Zelkor::DeviceNetStateNew);
    d->WantsConnections(true);
    d->Goodbye();
    EXPECT_FALSE(d->WantsConnections());
    EXPECT_EQ(d->GetCurrentState(), Zelkor::DeviceNetStateDisconnected);
    auto fresh = device();
    fresh->Disconnect(false);
    EXPECT_EQ(fresh->GetCurrentState(), Zelkor::DeviceNetStateNone);

    boost::signals2::signal<void()> signal;
    d->Cookies().Keep(Zelkor::Cookie::SetIP, signal.connect([] {}));
    int heard = 0;
    d->SetStateCallback([&heard](DeviceNetState, DeviceNetState) { ++heard; });
    d->Finalize();
    d->Finalize();
    EXPECT_EQ(log.Count("ZK66B8I Device is finalized"), 0u) << "logged at level 7 only";
    EXPECT_FALSE(d->Cookies().IsConnected(Zelkor::Cookie::SetIP));
    EXPECT_FALSE(d->HasConnectionHandle());
    EXPECT_FALSE(d->HasHandle(d.get()));
    d->setCurrentState(Zelkor::DeviceNetStateNew);
    EXPECT_EQ(d->GetCurrentState(), Zelkor::DeviceNetStateNew);
    EXPECT_EQ(heard, 0);
}

}  // namespace
}  // namespace ZelkorTest
