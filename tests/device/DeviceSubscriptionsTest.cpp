// A controller's device object with a raw peer standing for the device on its connection:
// what the peer sends reaches the device's subscription, poll, log, event and locate
// callbacks through the driver's receive road, and the device's requests reach the peer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "driver/Packet.h"
#include "support/ContainerSummary.h"
#include "support/DriverHarness.h"
#include "support/HeardLines.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "transport/UdpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::Cookie;
using Zelkor::DeviceImpl;
using Lines = std::vector<std::string>;

const char* const kGuid = "0b3e9d1c-2a4f-4c6e-8d0b-1f2e3d4c5b6a";

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        out += (out.empty() ? "" : ",") + item;
    }
    return out;
}

class DeviceSubscriptions : public ::testing::Test {
protected:
    DeviceSubscriptions() {
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        harness.Start();
        socket = harness.Connect(peer);
        device = Device(socket);
    }

    // A device object for the GUID whose own connection is `on`.
    std::shared_ptr<DeviceImpl> Device(const std::shared_ptr<Zelkor::TcpSocket>& on) {
        auto made = MakeDevice(harness.driver.get(), kGuid, "amp-1", "127.0.0.1");
        EXPECT_TRUE(harness.OnLoop([&] { made->SetHandle(on); }));
        return made;
    }
    void Heard(const std::string& line) { _heard.Add(line); }
    // What the callbacks heard, once `count` lines are in.
    Lines WaitHeard(std::size_t count) {
        _heard.WaitFor(count);
        return _heard.Snapshot();
    }
    void ClearHeard() { _heard.Clear(); }
    // A locate reply datagram as the driver hands it over; handled when this returns.
    void HearLocateDatagram(const std::string& guid, const std::string& port = "4197") {
        ASSERT_TRUE(harness.OnLoop([&] {
            Zelkor::MessageForwardInfo header;
            header.PullHeader(R"(@locate {"guid":")" + guid + R"(","ip":"127.0.0.9","name":"amp-1","port":")" + port +
                              "\"}\n");
            Zelkor::Packet packet;
            packet.handle = Zelkor::ZelkorDriver::HandleOf(udp.get());
            packet.isReply = true;
            packet.header = &header;
            harness.driver->SignalRaised(packet);
        }));
    }
    DeviceImpl::LocateCallback LocateHeard(const std::string& tag) {
        return [this, tag](::LocateInfo& info) {
            Heard(tag + " " + info.guid + " " + info.ip.to_string() + ":" + std::to_string(info.port));
            return true;
        };
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    DriverHarness harness;
    RawPeer peer;
    std::shared_ptr<Zelkor::TcpSocket> socket;
    std::shared_ptr<DeviceImpl> device;
    std::shared_ptr<Zelkor::UdpSocket> udp = std::make_shared<Zelkor::UdpSocket>(harness.io, 0);

private:
    HeardLines _heard;
};

// Each word reaches its callback in its own direction only, converted; a subscribepoll
// reply without a name carries the default name, a failed one its error and no targets.
TEST_F(DeviceSubscriptions, PublishLogPollAndReplyWordsReachTheirCallbacks) {
    const auto values = [this](const char* tag) {
        return [this, tag](const Zelkor::ObjectParamContainer& container) { Heard(tag + (" " + Summary(container))); };
    };
    const auto text = [this](const char* tag) { return [this, tag](const std::string& t) { Heard(tag + (" " + t)); }; };
    device->OnPublish(values("publish"));
    device->OnSubscribe(values("subscribe"));
    device->OnUnsubscribe(values("unsubscribe"));
    device->OnLog([this](const unsigned long long& seqno, const long& time, const unsigned int& priority,
                         const std::string& category, const std::string& event) {
        Heard("log " + std::to_string(seqno) + " " + std::to_string(time) + " " + std::to_string(priority) + " " +
              category + " " + event);
    });
    device->OnPoll([this](const char* name, const Json::Value& targets) {
        Heard(std::string("poll ") + (name ? name : "null") + " " + Zelkor::WriteCompactJson(targets));
    });
    device->OnSubscribePoll(
        [this](const char* name, bool ok, const std::string& error, const Json::Value& targets) {
            Heard(std::string("subscribepoll ") + name + (ok ? " ok " : " failed ") + error + " " +
                  Zelkor::WriteCompactJson(targets));
        },
        "dflt");
    device->OnUnSubscribePoll([this](bool ok, const std::string& error) {
        Heard(std::string("unsubscribepoll ") + (ok ? "ok " : "failed ") + error);
    });
    device->OnSendSubLog(text("sublog"));
    device->OnUnSubLog(text("unsublog"));

    peer.Send("@publish\n"
              R"(publish {"path":"/a/b","value":3})" "\n"
              R"(log {"category":"net","event":"up","priority":"2","seqno":"7","time":"-5"})" "\n"
              R"(@poll {"format":"variant","name":"p1","targets":[1,""]})" "\n"
              R"(@subscribepoll {"format":"variant","targets":[{"path":"/x","value":1}]})" "\n"
              R"(@subscribepoll {"error":"No subscribable targets"})" "\n"
              "@unsubscribepoll\n"
              R"(@subscribe {"path":"/a/b","value":3})" "\n"
              R"(@unsubscribe {"path":"/a/b"})" "\n"
              R"(@sublog {"error":"Invalid priority"})" "\n"
              "@unsublog\n");
    EXPECT_EQ(WaitHeard(10), (Lines{"publish /a|b=3", "log 7 -5 2 net up", R"(poll p1 [1,""])",
                                   R"(subscribepoll dflt ok  [{"path":"/x","value":1}])",
                                   "subscribepoll dflt failed No subscribable targets null", "unsubscribepoll ok ",
                                   "subscribe /a|b=3", "unsubscribe /a|b=null", "sublog Invalid priority",
                                   "unsublog "}));
}

// An event goes to the callback of its own payload form, whichever form was registered
// first; only a form without a callback falls back to the first form, read its way.
TEST_F(DeviceSubscriptions, EventsReachTheCallbackOfTheirOwnFormInEveryRegistrationOrder) {
    struct Case {
        std::vector<std::string> order;
        Lines heard;
    };
    const std::vector<Case> cases = {
        {{"map", "value"}, {"value /a v1", "map /a k=x", "map /a "}},
        {{"result", "map", "list"}, {"result /a", "map /a k=x", "list /a p,q"}},
        {{"list"}, {"list /a ", "list /a ", "list /a p,q"}},
        {{"value", "list", "map"}, {"value /a v1", "map /a k=x", "list /a p,q"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.order));
        ClearHeard();
        auto current = Device(socket);
        for (const auto& form : c.order) {
            if (form == "value") {
                current->OnEvent([this](const std::string& n, const std::string& v) { Heard("value " + n + " " + v); });
            } else if (form == "map") {
                current->OnEvent([this](const std::string& n, const std::map<std::string, std::string>& m) {
                    std::vector<std::string> pairs;
                    for (const auto& p : m) {
                        pairs.push_back(p.first + "=" + p.second);
                    }
                    Heard("map " + n + " " + joined(pairs));
                });
            } else if (form == "list") {
                current->OnEvent([this](const std::string& n, const std::vector<std::string>& l) {
                    Heard("list " + n + " " + joined(l));
                });
            } else {
                current->OnEventResult([this](const std::string& n) { Heard("result " + n); });
            }
        }
        peer.Send(R"(@event {"path":"/a"})" "\n"
                  R"(event {"path":"/a","value":"v1"})" "\n"
                  R"(event {"arguments":{"k":"x"},"path":"/a"})" "\n"
                  R"(event {"arguments":["p","q"],"path":"/a"})" "\n");
        // Each event is acknowledged before the handlers run; the loop then finishes them.
        for (int ack = 0; ack < 3; ++ack) {
            EXPECT_EQ(peer.ReadLine(), "@event {\"path\":\"/a\"}\n");
        }
        ASSERT_TRUE(harness.OnLoop([] {}));
        EXPECT_EQ(WaitHeard(c.heard.size()), c.heard);
        current->DisconnectSignals();
    }
}

// A locate that fell back to UDP is answered by datagram: the reply is the device's when
// its GUID, in any written form, names the device. One registration serves one reply, and
// a registration made from inside the callback waits for the next.
TEST_F(DeviceSubscriptions, ALocateDatagramIsTheDevicesByItsGuidAndServesOnce) {
    LogCapture log;
    device->OnLocate([this](::LocateInfo& info) {
        Heard("first " + info.guid + " " + std::to_string(info.port));
        device->OnLocate(LocateHeard("second"));
        return true;
    });
    // The datagrams answer a locate this node sent to every node.
    ASSERT_TRUE(harness.OnLoop([&] { harness.driver->SendMulticastMessage("locate {}\n", 4197); }));
    HearLocateDatagram("7c1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f");
    EXPECT_TRUE(WaitHeard(0).empty()) << "another device's GUID";
    HearLocateDatagram("{0B3E9D1C2A4F4C6E8D0B1F2E3D4C5B6A}", "-1");
    HearLocateDatagram(kGuid, "70000");
    HearLocateDatagram(kGuid);
    EXPECT_EQ(WaitHeard(2), (Lines{"first {0B3E9D1C2A4F4C6E8D0B1F2E3D4C5B6A} 65535", "second " + std::string(kGuid) +
                                                                                      " 127.0.0.9:0"}));
    EXPECT_TRUE(log.Contains("ZK6688E Could not parse port parameter (70000)"));
    EXPECT_FALSE(device->Cookies().IsConnected(Cookie::Locate));
    // Over the device's own connection a reply needs no GUID.
    device->OnLocate(LocateHeard("tcp"));
    peer.Send(R"(@locate {"ip":"127.0.0.1","port":"4197"})" "\n");
    EXPECT_EQ(WaitHeard(3).back(), "tcp  127.0.0.1:4197");
}

// A disconnection cuts every handler and keeps every callback: a new connection hears
// nothing until a registration connects a handler again, which then serves the
// callbacks stored before.
TEST_F(DeviceSubscriptions, CookiesGoWithTheConnectionCallbacksStay) {
    device->OnPublish([this](const Zelkor::ObjectParamContainer& c) { Heard("publish " + Summary(c)); });
    device->OnEvent([this](const std::string& n, const std::map<std::string, std::string>& m) {
        Heard("map " + n + " " + std::to_string(m.size()));
    });
    device->OnLocate(LocateHeard("locate"));
    device->Disconnect(false);
    for (const Cookie slot : {Cookie::Publish, Cookie::Event, Cookie::Locate}) {
        EXPECT_FALSE(device->Cookies().IsConnected(slot));
    }
    ASSERT_TRUE(peer.WaitClosed());

    RawPeer again;
    const auto next = harness.Connect(again);
    ASSERT_TRUE(next);
    ASSERT_TRUE(harness.OnLoop([&] { device->SetHandle(next); }));
    device->OnEventResult(nullptr);
    again.Send(R"(publish {"path":"/a/b","value":1})" "\n"
               R"(event {"arguments":{"k":"x"},"path":"/a"})" "\n");
    EXPECT_EQ(WaitHeard(1), (Lines{"map /a 1"}));
    device->OnPublish([this](const Zelkor::ObjectParamContainer& c) { Heard("again " + Summary(c)); });
    again.Send(R"(publish {"path":"/a/b","value":2})" "\n");
    EXPECT_EQ(WaitHeard(2), (Lines{"map /a 1", "again /a|b=2"}));
    // A finalized device is never fed again.
    device->Finalize();
    device->OnPublish(nullptr);
    EXPECT_FALSE(device->Cookies().IsConnected(Cookie::Publish));
}

// The requests go on the device's connection with the words and bodies of the device's
// reading: a poll without format asks for "variant", no name sends nothing, an empty
// event name asks for every event.
TEST_F(DeviceSubscriptions, RequestsGoOnTheDevicesConnection) {
    const auto next = [this](const std::string& reply) {
        const std::string line = peer.ReadLine();
        peer.Send(reply + "\n");
        return line;
    };
    device->SubscribePoll(nullptr, {"/a"}, nullptr);
    device->SubscribePoll("p", {"/a", "/b"}, nullptr);
    const std::string poll = next("@subscribepoll");
    EXPECT_EQ(WordOf(poll), "subscribepoll");
    EXPECT_NE(poll.find(R"("format":"variant")"), std::string::npos) << poll;
    EXPECT_NE(poll.find(R"("targets":["/a","/b"])"), std::string::npos) << poll;
    device->SubscribeEvent("");
    EXPECT_EQ(next("@subscribeevent"), "subscribeevent\n");
    device->UnsubscribeEvent("/a");
    EXPECT_EQ(next("@unsubscribeevent"), "unsubscribeevent {\"path\":\"/a\"}\n");
    device->SendSubLog(-3, 2);
    EXPECT_EQ(next("@sublog {}"), "sublog {\"mark\":-3,\"priority\":2}\n");
    device->PollSubscription("p");
    EXPECT_EQ(next("@poll {\"error\":\"x\"}"), "poll {\"name\":\"p\"}\n");
}

}  // namespace
}  // namespace ZelkorTest
