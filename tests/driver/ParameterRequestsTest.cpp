// "get" and "set" through a whole driver with its discovery service over the sample tree,
// a raw peer on loopback at the other end: the driver answering as a device, and a device
// object of the driver asking the peer, replies reaching their callbacks in order.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceImpl.h"
#include "discovery/DiscoveryTestSupport.h"
#include "services/IFolderModificationService.h"
#include "support/ContainerSummary.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"

namespace ZelkorTest {
namespace {

using Zelkor::ObjectParamContainer;

struct ParameterRequestsTest : ::testing::Test {
    ParameterRequestsTest() { harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree())); }

    // The line the peer reads after sending `line`.
    std::string Ask(RawPeer& peer, const std::string& line) {
        peer.Send(line + "\n");
        return peer.ReadLine();
    }

    std::function<void(const ObjectParamContainer&)> Record(const std::string& name) {
        return [this, name](const ObjectParamContainer& container) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(name + ":" + Summary(container));
        };
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    std::mutex mutex;
    std::vector<std::string> calls;
};

TEST_F(ParameterRequestsTest, ADeviceAnswersGetAndSetFromItsTree) {
    harness.Start();
    RawPeer peer;
    ASSERT_TRUE(harness.Connect(peer));

    const std::string got = Ask(peer, R"(get [{"path":"/configuration/device/name"},{"path":"/audio/gain"},)"
                                      R"({"path":"/audio/nothing"},{"path":"/configuration/device/protocolversion"}])");
    EXPECT_EQ(Answer(got), "/audio|gain=0 /audio|nothing!Invalid Path /configuration/device|name=\"stage-left-amp\" "
                           "/configuration/device|protocolversion=\"1.16.1.26\"")
        << got;

    // Each entry carries its own outcome; the reply keeps the request's sender hash.
    const std::string set = Ask(peer, R"(7-ab12 set [{"path":"/version","value":"9"},)"
                                      R"({"path":"/audio/limiter","value":-1},{"path":"/audio/gain","value":"-6"}])");
    EXPECT_EQ(set.rfind("7-ab12 @set ", 0), 0u) << set;
    EXPECT_EQ(Answer(set.substr(set.find('@'))),
              "/|version!Path Readonly /audio|gain=-6 /audio|limiter!Path Locked")
        << set;
    EXPECT_EQ(Answer(Ask(peer, R"(get {"path":"/audio/gain"})")), "/audio|gain=-6");
}

// The driver as controller: a device object asks the peer, which answers as a device.
TEST_F(ParameterRequestsTest, ADeviceObjectsRepliesReachTheirCallbacksInOrder) {
    harness.Start();
    auto* service = harness.driver->GetDiscovery();
    const auto device = MakeDevice(harness.driver.get(), "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13", "amp");
    RawPeer peer;
    const auto connection = harness.Connect(peer);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(harness.OnLoop([&] {
        service->enterDevice(device, Zelkor::DiscoveryService::AllTables);
        device->SetHandle(connection);
        service->enterDevice(device, Zelkor::DiscoveryService::BySocket);
    }));

    ObjectParamContainer values;
    values.FromJsonText(R"({"path":"/audio/gain","value":2})");
    device->OnGetResult(Record("default"));
    device->GetParameter(values, Record("A"), false, "a");
    device->GetParameter(values);
    device->SetParameter(values, Record("S"), false, "s");
    device->GetParameter(values, Record("E"), false, "e");
    // While a script runs a deferrable request is dropped, callback and all.
    device->IsRunningScript(true);
    LogCapture log;
    device->GetParameter(values, Record("dropped"), true, "d");
    EXPECT_TRUE(log.Contains("ZK6686I GetParameter deferred for (amp)"));

    // One request at a time: each line comes once the one before has its reply. A "get"
    // request carries paths only.
    EXPECT_EQ(peer.ReadLine(), "get {\"path\":\"/audio/gain\"}\n");
    peer.Send("@get {\"path\":\"/audio/gain\",\"value\":1}\n");
    EXPECT_EQ(peer.ReadLine(), "get {\"path\":\"/audio/gain\"}\n");
    // The receive road drops a body it cannot read; the reply still takes its place, and
    // every entry asked about hears why.
    peer.Send("@get [1]\n");
    // A value without a type travels as its text; the device's tree converts it.
    EXPECT_EQ(peer.ReadLine(), "set {\"path\":\"/audio/gain\",\"value\":\"2\"}\n");
    peer.Send("@set {\"path\":\"/audio/gain\",\"error\":\"Path Locked\"}\n");
    // A reply without entries is the bare word.
    EXPECT_EQ(peer.ReadLine(), "get {\"path\":\"/audio/gain\"}\n");
    peer.Send("@get\n");
    ASSERT_TRUE(WaitUntil([&] { return Calls().size() == 4; }));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"A:/audio|gain=1", "default:/audio|gain!Array must contain objects",
                                                 "S:/audio|gain!Path Locked", "E:"}));
    EXPECT_EQ(peer.ReadLine(200ms), "");
}

// Requests from the application's thread while replies arrive, and a request from inside
// each of their callbacks: every callback runs on the loop, once, in the order of the
// lines on the connection, which is the order the peer answered them.
TEST_F(ParameterRequestsTest, RequestsFromAnotherThreadAndFromCallbacksKeepTheirOrder) {
    harness.Start();
    auto* service = harness.driver->GetDiscovery();
    const auto device = MakeDevice(harness.driver.get(), "5f0c3a52-8e1d-4b7a-9c64-2d1e7f9a0b13", "amp");
    RawPeer peer;
    const auto connection = harness.Connect(peer);
    ASSERT_TRUE(connection);
    std::thread::id loop;
    ASSERT_TRUE(harness.OnLoop([&] {
        loop = std::this_thread::get_id();
        service->enterDevice(device, Zelkor::DiscoveryService::AllTables);
        device->SetHandle(connection);
        service->enterDevice(device, Zelkor::DiscoveryService::BySocket);
    }));

    constexpr int kOuter = 40;
    // Each answer carries its place among the answers as the value.
    std::thread answering([&peer] {
        for (int answered = 1; answered <= 2 * kOuter; ++answered) {
            if (peer.ReadLine() != "get {\"path\":\"/audio/gain\"}\n") {
                return;
            }
            peer.Send("@get {\"path\":\"/audio/gain\",\"value\":" + std::to_string(answered) + "}\n");
        }
    });
    // One container for each thread that asks.
    ObjectParamContainer values;
    values.FromJsonText(R"({"path":"/audio/gain"})");
    ObjectParamContainer nestedValues;
    nestedValues.FromJsonText(R"({"path":"/audio/gain"})");
    std::vector<std::string> heard;
    bool offLoop = false;
    const auto record = [&](const std::string& name, const ObjectParamContainer& container) {
        std::lock_guard<std::mutex> lock(mutex);
        offLoop = offLoop || std::this_thread::get_id() != loop;
        heard.push_back(name + ":" + Summary(container));
    };
    for (int outer = 0; outer < kOuter; ++outer) {
        device->GetParameter(
            values,
            [&, outer](const ObjectParamContainer& container) {
                record("outer" + std::to_string(outer), container);
                device->GetParameter(
                    nestedValues,
                    [&, outer](const ObjectParamContainer& nested) {
                        record("inner" + std::to_string(outer), nested);
                    },
                    false, "inner");
            },
            false, "outer");
    }
    answering.join();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return heard.size() == 2u * kOuter;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_FALSE(offLoop);
    // Answer n went to the n-th line sent; the lines went out in the order asked, an inner
    // request after every outer one asked before its outer callback ran.
    for (std::size_t n = 0; n < heard.size(); ++n) {
        const std::string& entry = heard[n];
        const std::string value = entry.substr(entry.find('=') + 1);
        EXPECT_EQ(value, std::to_string(n + 1)) << entry;
    }
    int nextOuter = 0;
    int nextInner = 0;
    for (const std::string& entry : heard) {
        if (entry.rfind("outer", 0) == 0) {
            EXPECT_EQ(entry.substr(0, entry.find(':')), "outer" + std::to_string(nextOuter++));
        } else {
            EXPECT_EQ(entry.substr(0, entry.find(':')), "inner" + std::to_string(nextInner++));
            EXPECT_LE(nextInner, nextOuter) << "an inner request before its outer callback ran";
        }
    }
    EXPECT_EQ(nextOuter, kOuter);
    EXPECT_EQ(nextInner, kOuter);
}

}  // namespace
}  // namespace ZelkorTest
