// A flood of made-up discovery replies against a full device list: a controller on the
// loopback of a network namespace of the test's own (root only, else skipped) hears
// replies of devices that do not exist, sent as datagrams, several times as many as its
// list holds, and a device node that answers every discovery interval. The list's bound
// is lowered, so that a flood of a few hundred datagrams does what thousands would do
// against the default. The controller runs on a clock the test moves, so that 60 s of
// discovery take no 60 s of waiting.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include <boost/asio/ip/udp.hpp>

#include "discovery/DiscoveryTestSupport.h"
#include "discovery/NodesTestSupport.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::udp;

constexpr unsigned short kControllerPort = 4198;
constexpr std::int64_t kInterval = 5;
// The controller's device list holds this many.
constexpr int kBound = 64;
// Waits on the nodes: ceilings for a loaded machine, not expected times.
constexpr auto kPatience = std::chrono::seconds(30);
// Not the sample tree's, which is the controller's own.
const std::string kReal = "6a1d4b63-9f2e-4c8b-8d75-3e2f8a0b1c24";

// A socket of the test's own in the namespace, which asks for discovery answers and waits
// for them. A node takes the datagrams of one socket in the order they came, and handles
// each before the next: its answer to a request shows that every datagram that reached
// the same socket before the request has been handled.
class Asker {
public:
    explicit Asker(const NetNamespace& space, const char* from = "127.0.0.1") {
        EXPECT_TRUE(space.Run([&] { _socket.open(udp::v4()); }));
        _socket.bind({boost::asio::ip::make_address(from), 0});
    }

    // A discovery request answered to this socket.
    std::string Request() const {
        return R"(disco {"params":["guid"],"replyport":)" + std::to_string(_socket.local_endpoint().port()) + "}\n";
    }
    void Send(const std::string& datagram, const udp::endpoint& to) {
        _socket.send_to(boost::asio::buffer(datagram), to);
    }

    // The next discovery answer, of `guid` when one is named; other datagrams are passed
    // over. False when none came in time.
    bool Answered(const std::string& guid = std::string()) {
        for (;;) {
            std::array<char, 2048> data{};
            std::size_t count = 0;
            bool done = false;
            _socket.async_receive(boost::asio::buffer(data), [&](boost::system::error_code error, std::size_t n) {
                done = !error;
                count = n;
            });
            _io.restart();
            _io.run_for(kPatience);
            if (!done) {
                _socket.cancel();
                _io.restart();
                _io.run();
                return false;
            }
            // The controller's own request to the asker may come first.
            const std::string line(data.data(), count);
            if (line.rfind("@disco", 0) == 0 && line.find(guid) != std::string::npos) {
                return true;
            }
        }
    }

private:
    boost::asio::io_context _io;
    udp::socket _socket{_io};
};

const udp::endpoint kController(boost::asio::ip::make_address("127.0.0.1"), kControllerPort);

// The made-up replies go out in batches from `from`; after each, a discovery request of
// the same socket comes back answered once the controller has handled every datagram
// before it, so that none is lost to a full receive buffer. Each reply claims the real
// device's address in its body, whatever address it comes from.
class Flood {
public:
    explicit Flood(const NetNamespace& space, const char* from = "127.0.0.1") : _asker(space, from) {}

    bool Send(int from, int to) {
        for (int batch = from; batch < to; batch += 100) {
            for (int i = batch; i < std::min(to, batch + 100); ++i) {
                std::array<char, 40> guid{};
                std::snprintf(guid.data(), guid.size(), "f1000000-0000-4000-8000-%012x", i);
                const std::string reply = std::string(R"(@disco {"classname":"fake","guid":")") + guid.data() +
                                          R"(","ip":"127.0.0.1","name":"fake)" + std::to_string(i) +
                                          R"(","port":4197})" "\n";
                _asker.Send(reply, kController);
            }
            _asker.Send(_asker.Request(), kController);
            if (!_asker.Answered()) {
                return false;
            }
        }
        return true;
    }

private:
    Asker _asker;
};

// The controller of a flood test: the driver's discovery on a clock the test moves,
// listening on the loopback of the test's namespace.
class FloodedController {
public:
    explicit FloodedController(const NetNamespace& space) : _space(space), _asker(space) {
        service.SetMaxDevices(kBound);
        service.SetClock([this] { return clock.load(); });
        service.SetDiscoInterval(kInterval * 1000);
        service.SetDiscoReplyPort(std::to_string(kControllerPort));
        bool listening = false;
        _started = service.SetMode("controller") && space.Run([&] {
            listening = harness.driver->AddListener("127.0.0.1", kControllerPort) == 0;
            harness.Start();
        }) && listening;
    }
    bool Started() const { return _started; }

    // The periodic discovery at `at`: a new discovery round.
    bool Round(std::int64_t at) {
        clock = at;
        return harness.OnLoop([&] { service.OnTimer(); });
    }

    // The round at `at`, and every reply of the device node to its request taken by the
    // controller, so that none comes late into the next round. No log line tells it: those
    // a peer causes are written at a bounded rate. The test's own request to the device
    // leaves right after the round's, through the same socket of the controller to the same
    // address: the device takes the two on one socket in that order and answers them in
    // that order through one socket. Once its answer to the test is in, its replies to the
    // controller are in the controller's listening socket; a request of the test to that
    // socket, answered, shows them handled.
    bool Answered(std::int64_t at) {
        // A socket of its own each round: the device answers once for each address the
        // request goes to, and a late answer of the round before must not stand for this one.
        Asker device(_space);
        clock = at;
        const bool asked = harness.OnLoop([&] {
            service.OnTimer();
            harness.driver->SendMulticastMessage(device.Request(), Zelkor::ZelkorDriver::ProtocolPort);
        });
        if (!asked || !device.Answered(kReal)) {
            return false;
        }
        _asker.Send(_asker.Request(), kController);
        return _asker.Answered();
    }

    LogCapture log;
    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    std::atomic<std::int64_t> clock{1000};
    DriverHarness harness;
    Zelkor::DiscoveryService& service = discovery();

private:
    Zelkor::DiscoveryService& discovery() {
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        return *harness.driver->GetDiscovery();
    }

    const NetNamespace& _space;
    Asker _asker;
    bool _started = false;
};

// A controller in a namespace of the test's own, and the real device node that starts
// there when the test says; the test skips where no namespace can be made.
class DeviceFlood : public ::testing::Test {
protected:
    void SetUp() override {
        if (!space.Made()) {
            GTEST_SKIP() << "needs root and ip netns";
        }
        controller = std::make_unique<FloodedController>(space);
        ASSERT_TRUE(controller->Started());
    }

    Zelkor::DiscoveryService& service() { return controller->service; }
    bool answered(std::int64_t at) { return controller->Answered(at); }
    // The real device, listening once this returns true.
    bool StartDevice() {
        device = std::make_unique<Node>(Options("device", "amp1", {"--guid", kReal, "--listen", "127.0.0.1:4197"}),
                                        space.Name());
        return !device->process.AwaitEvent("listenerAdded", kPatience).isNull();
    }

    NetNamespace space{"flood"};
    std::unique_ptr<FloodedController> controller;
    std::unique_ptr<Node> device;
};

TEST_F(DeviceFlood, ARealDeviceIsListedAndStaysListedUnderAFloodOfMadeUpOnes) {
    Flood flood(space);
    ASSERT_TRUE(flood.Send(0, 4 * kBound));
    ASSERT_EQ(service().TableSizes()["deviceSet"], static_cast<std::size_t>(kBound));
    ASSERT_TRUE(StartDevice());

    // Listed within 20 s, at the first interval the list makes room at.
    std::int64_t at = controller->clock;
    std::shared_ptr<Zelkor::DeviceImpl> listed;
    while (!listed && at + kInterval <= 1020) {
        at += kInterval + 1;
        ASSERT_TRUE(answered(at));
        listed = service().GetDeviceImplByUUID(kReal);
    }
    ASSERT_TRUE(listed) << "not listed by " << at;
    // Heard in a second round, it is no newcomer any more: four lists' worth of made-up
    // replies, which would push out whatever was heard before them, leave it listed.
    at += kInterval + 1;
    ASSERT_TRUE(answered(at));
    ASSERT_TRUE(flood.Send(4 * kBound, 8 * kBound));
    const std::int64_t until = at + 60;
    while (at < until) {
        at += kInterval + 1;
        ASSERT_TRUE(answered(at));
        ASSERT_EQ(service().GetDeviceImplByUUID(kReal).get(), listed.get()) << at;
    }
    EXPECT_NE(listed->GetCurrentState(), Zelkor::DeviceNetStateLost);
    StopCleanly(device->process);
}

// The flood does not stop once the real device has been listed: made-up devices go round
// and round, twice as many as the list holds between one discovery round and the next,
// from the real device's own address. A device heard in one round only is pushed out by
// newer ones long before its next reply; heard again in the next round, it is known as one
// heard before and stays, the same object, for good.
TEST_F(DeviceFlood, ARealDeviceStaysListedUnderAFloodThatGoesOn) {
    Flood flood(space);
    int half = 0;
    const auto floodOn = [&] {
        const int from = (half++ % 2) * 2 * kBound;
        return flood.Send(from, from + 2 * kBound);
    };
    ASSERT_TRUE(floodOn());
    ASSERT_TRUE(StartDevice());

    std::int64_t at = controller->clock;
    std::shared_ptr<Zelkor::DeviceImpl> listed;
    while (!listed && at + kInterval <= 1020) {
        at += kInterval + 1;
        ASSERT_TRUE(answered(at));
        listed = service().GetDeviceImplByUUID(kReal);
        ASSERT_TRUE(floodOn());
    }
    ASSERT_TRUE(listed) << "not listed by " << at;
    at += kInterval + 1;
    ASSERT_TRUE(answered(at));
    listed = service().GetDeviceImplByUUID(kReal);
    ASSERT_TRUE(listed);
    ASSERT_TRUE(floodOn());
    const std::int64_t until = at + 60;
    while (at < until) {
        at += kInterval + 1;
        ASSERT_TRUE(answered(at));
        ASSERT_EQ(service().GetDeviceImplByUUID(kReal).get(), listed.get()) << at;
        ASSERT_TRUE(floodOn());
    }
    StopCleanly(device->process);
}

// The same made-up devices, more than the list holds, sent again every round from one
// address: answering round after round, as real devices do, they would hold the whole
// list for good. A real device at another address that starts during the flood takes the
// place of one of them, for their sender holds more of the list than any other, and
// stays, the same object; the flood's newcomers then take no place but their sender's.
TEST_F(DeviceFlood, ARealDeviceIsListedAmongMadeUpOnesSentAgainEveryRound) {
    Flood flood(space, "127.0.0.2");
    const int fakes = kBound + kBound / 2;
    std::int64_t at = controller->clock;
    for (int round = 0; round < 3; ++round) {
        at += kInterval + 1;
        ASSERT_TRUE(controller->Round(at));
        ASSERT_TRUE(flood.Send(0, fakes));
    }
    ASSERT_EQ(service().TableSizes()["deviceSet"], static_cast<std::size_t>(kBound));
    ASSERT_TRUE(StartDevice());

    std::shared_ptr<Zelkor::DeviceImpl> listed;
    const std::int64_t started = at;
    while (!listed && at < started + 60) {
        at += kInterval + 1;
        ASSERT_TRUE(answered(at));
        listed = service().GetDeviceImplByUUID(kReal);
        ASSERT_TRUE(flood.Send(0, fakes));
    }
    ASSERT_TRUE(listed) << "not listed in " << at - started << " s";
    const std::int64_t until = at + 60;
    while (at < until) {
        at += kInterval + 1;
        ASSERT_TRUE(answered(at));
        ASSERT_TRUE(flood.Send(0, fakes));
        ASSERT_EQ(service().GetDeviceImplByUUID(kReal).get(), listed.get()) << at;
    }
    EXPECT_EQ(service().TableSizes()["deviceSet"], static_cast<std::size_t>(kBound));
    StopCleanly(device->process);
}

}  // namespace
}  // namespace ZelkorTest
