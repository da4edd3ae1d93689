// The device-state service over a recording sender: every request over a connection is
// answered, with the request's routing header and hash, whatever the device-state object
// does; "setip" is filtered for repeats and other nodes' MACs over UDP only.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>

#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "device/IDeviceState.h"
#include "driver/CommandTable.h"
#include "services/DeviceStateService.h"
#include "services/ListCommandRouter.h"
#include "support/FakeServiceSender.h"
#include "support/LogCapture.h"
#include "transport/TcpSocket.h"

namespace ZelkorTest {
namespace {

using Zelkor::DeviceStateService;

constexpr const char* kMac = "00:11:22:33:44:55";

class FakeDeviceState final : public Zelkor::IDeviceState {
public:
    std::string GetDeviceStateText() override {
        if (throws) {
            throw std::runtime_error("no state");
        }
        return "running";
    }
    std::string GetPresetInfo() override {
        if (throws) {
            throw 7;
        }
        return "/presets/a";
    }
    bool ApplyNetworkSettings(const std::string& ip, const std::string&, const std::string&, const std::string& mac,
                              bool&) override {
        applied.push_back(mac + " " + ip);
        if (throws) {
            throw std::runtime_error("no network");
        }
        return accept;
    }
    bool UpdateFirmware(std::string&, std::string) override { return false; }

    bool accept = true;
    bool throws = false;
    std::vector<std::string> applied;
};

class DeviceStateServiceTest : public ::testing::Test {
protected:
    DeviceStateServiceTest() {
        ZelkorLog::TheLog().SetLevel(5);
        sender.AddLocalMAC(kMac);
        router.AddRoute("presets", service->PresetsRoute());
    }

    // As the driver's receive road hands a line over, this node being "dev"; a "list"
    // goes through the list router.
    void Receive(void* handle, const std::string& line, bool reliable = true,
                 std::shared_ptr<Zelkor::TcpSocket> socket = nullptr) {
        Zelkor::MessageForwardInfo header;
        header.SetDeviceName("dev");
        const std::string rest = header.PullHeader(line);
        const std::string word = header.GetCommand();
        auto message = Zelkor::LookupCommand(word)();
        std::string error;
        ASSERT_TRUE(message->FromNetworkFormat(!header.isReply, rest, error)) << error;
        message->SetIsReply(header.isReply);
        message->SetMessageForwardInfo(header);
        Zelkor::MessageSignalData data(handle, std::move(socket), reliable, std::move(message));
        if (word == "list") {
            router.SignalRaised(data);
        } else if (word == "setip") {
            service->SetIPSignal().Raise(data);
        } else if (word == "getdevicestate") {
            service->GetDeviceStateSignal().Raise(data);
        } else {
            service->GetPresetSignal().Raise(data);
        }
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& line : sender.Lines()) {
            out.push_back(line.text);
        }
        return out;
    }

    LogCapture log;
    FakeServiceSender sender;
    FakeDeviceState state;
    std::shared_ptr<DeviceStateService> service = std::make_shared<DeviceStateService>(&sender, &state);
    Zelkor::ListCommandRouter router{&sender};
    int tcpConnection = 0;
    int udpSocket = 0;
    void* const tcp = &tcpConnection;
    void* const udp = &udpSocket;
};

TEST_F(DeviceStateServiceTest, RepliesCarryTheRequestsHeaderAndHash) {
    Receive(tcp, "7-ab12 [dev][ctl] getdevicestate\n");
    Receive(tcp, "8 [dev][ctl] getpresetinfo\n");
    Receive(tcp, "9-cd34 [dev][ctl] list {\"command\":\"presets\"}\n");
    Receive(tcp, "getdevicestate\n");
    // Replies are the handlers' business.
    Receive(tcp, "@getdevicestate {\"devicestate\":\"x\"}\n");
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           "7-ab12 [ctl][dev] @getdevicestate {\"devicestate\":\"running\"}\n",
                           "8 [ctl][dev] @getpresetinfo {\"isdirty\":\"false\",\"path\":\"/presets/a\"}\n",
                           "9-cd34 [ctl][dev] @list {\"command\":\"presets\"}\n",
                           "@getdevicestate {\"devicestate\":\"running\"}\n",
                       }));
}

TEST_F(DeviceStateServiceTest, PresetsListsReachTheirSignalOnceAndRequestsAreAnswered) {
    std::vector<bool> raised;
    service->ListPresetsSignal().Connect(
        [&](Zelkor::MessageSignalData& data) { raised.push_back(data.GetMessage()->GetIsReply()); });
    Receive(tcp, "@list {\"command\":\"presets\"}\n");
    EXPECT_EQ(raised, std::vector<bool>{true});
    EXPECT_EQ(sender.Count(), 0u);
    Receive(tcp, "list {\"command\":\"presets\"}\n");
    EXPECT_EQ(raised, (std::vector<bool>{true, false}));
    EXPECT_EQ(sender.Last(), "@list {\"command\":\"presets\"}\n");
}

TEST_F(DeviceStateServiceTest, TcpSetIPIsAppliedAndAnsweredEveryTimeUdpOnlyWhenItChanges) {
    const std::string request = std::string("[dev][ctl] setip {\"mac\":\"") + kMac + "\",\"dhcp\":true,\"ip\":\"10.0.0.5\"}\n";
    const std::string reply = std::string("[ctl][dev] @setip {\"dhcp\":true,\"ipv4\":\"10.0.0.5\",\"mac\":\"") + kMac + "\"}\n";
    Receive(tcp, request);
    Receive(tcp, request);
    EXPECT_EQ(state.applied.size(), 2u);
    EXPECT_EQ(Texts(), (std::vector<std::string>{reply, reply}));

    // A multicast seen twice is applied and answered once, without the header.
    const std::string datagram = std::string("setip {\"mac\":\"") + kMac + "\",\"dhcp\":\"True\",\"ipv4\":\"10.0.0.5\"}\n";
    Receive(udp, datagram, false);
    Receive(udp, datagram, false);
    EXPECT_EQ(state.applied.size(), 3u);
    ASSERT_EQ(sender.Count(), 3u);
    EXPECT_EQ(sender.Lines()[2].handle, udp);
    EXPECT_EQ(sender.Last(), std::string("@setip {\"dhcp\":true,\"ipv4\":\"10.0.0.5\",\"mac\":\"") + kMac + "\"}\n");
    EXPECT_EQ(log.Count("ZK5801I SetIP repeated request ignored"), 1u);
}

TEST_F(DeviceStateServiceTest, UnknownMacRefusedOverTcpAndLeftToItsOwnerOverUdp) {
    const std::pair<const char*, const char*> cases[] = {
        {"66:77:88:99:aa:bb", ",\"mac\":\"66:77:88:99:aa:bb\""},
        {"not-a-mac", ""},
    };
    for (const auto& [mac, echoed] : cases) {
        const std::string request = std::string("setip {\"mac\":\"") + mac + "\",\"dhcp\":false}\n";
        const std::size_t before = sender.Count();
        Receive(udp, request, false);
        EXPECT_EQ(sender.Count(), before) << mac;
        Receive(tcp, request);
        EXPECT_EQ(sender.Last(), std::string("@setip {\"dhcp\":false,\"error\":\"Unknown MAC address\"") + echoed + "}\n")
            << mac;
    }
    EXPECT_TRUE(state.applied.empty());
}

TEST_F(DeviceStateServiceTest, ARequestFromOwnListenerIsNotAnswered) {
    boost::asio::io_context io;
    boost::asio::ssl::context tls{boost::asio::ssl::context::tls};
    auto socket = std::make_shared<Zelkor::TcpSocket>(io, tls, false);
    sender.AddListener(socket->GetRemoteIP(), socket->GetRemotePort());
    Receive(tcp, std::string("setip {\"mac\":\"") + kMac + "\"}\n", true, socket);
    EXPECT_EQ(sender.Count(), 0u);
    EXPECT_TRUE(state.applied.empty());
}

TEST_F(DeviceStateServiceTest, RefusedOrThrowingDeviceStateIsStillAnswered) {
    const std::string request = std::string("[dev][ctl] setip {\"mac\":\"") + kMac + "\",\"dhcp\":false}\n";
    const std::string refused =
        std::string("[ctl][dev] @setip {\"dhcp\":false,\"error\":\"Unable to update network settings\",\"mac\":\"") +
        kMac + "\"}\n";
    state.accept = false;
    Receive(tcp, request);
    EXPECT_EQ(sender.Last(), refused);
    EXPECT_TRUE(log.Contains("ZK5804I SetIP return from storage model: (fail)"));

    state.throws = true;
    Receive(tcp, request);
    Receive(tcp, "[dev][ctl] getdevicestate\n");
    Receive(tcp, "[dev][ctl] getpresetinfo\n");
    const auto texts = Texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1], refused);
    EXPECT_EQ(texts[2], "[ctl][dev] @getdevicestate {\"devicestate\":\"\"}\n");
    EXPECT_EQ(texts[3], "[ctl][dev] @getpresetinfo {\"isdirty\":\"false\",\"path\":\"\"}\n");
    for (const char* code : {"ZK5805E", "ZK5806E", "ZK5807E"}) {
        EXPECT_EQ(log.Count(code), 1u) << code;
    }
}

TEST_F(DeviceStateServiceTest, SendersAndApplicationRepliesOnTheirConnection) {
    Zelkor::SETIP_SETTINGS settings;
    settings.mac = kMac;
    settings.ip = "fe80::2";
    Zelkor::MessageForwardInfo header("R&dev", "ctl", "ctl");
    service->SendSetIP(tcp, header, settings);
    service->SendSetIP(settings);
    service->SendListPresets(tcp);
    const std::string body = std::string("{\"dhcp\":false,\"ipv6\":\"fe80::2\",\"mac\":\"") + kMac + "\"}\n";
    EXPECT_EQ(Texts(), (std::vector<std::string>{"[R&dev][ctl] setip " + body, "setip " + body,
                                                 "list {\"command\":\"presets\"}\n"}));
    EXPECT_EQ(sender.Lines()[1].handle, nullptr);

    // The application's replies ask the device-state object on the loop only.
    std::vector<std::function<void()>> loop;
    auto posted = std::make_shared<DeviceStateService>(&sender, &state,
                                                       [&loop](DeviceStateService::LoopJob job) { loop.push_back(job); });
    posted->ReplyGetDeviceState(tcp);
    posted->ReplyGetPreset(tcp, "n", "p", true);
    EXPECT_EQ(sender.Count(), 3u);
    for (const auto& job : loop) {
        job();
    }
    EXPECT_EQ(sender.Lines()[3].text, "@getdevicestate {\"devicestate\":\"running\"}\n");
    EXPECT_EQ(sender.Last(), "@getpresetinfo {\"isdirty\":\"true\",\"path\":\"/presets/a\"}\n");
}

}  // namespace
}  // namespace ZelkorTest
