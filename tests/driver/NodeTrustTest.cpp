// What a peer that does not know a node's verification code can reach through it. Node
// processes over a veth pair (root only, else skipped): the device serves the loopback of
// namespace a only, the router there reaches it by a static route, holds a code and serves
// 10.77.0.1; peers in namespace b are raw connections of the test, plain or secured, or a
// controller node that reaches the device through the router. Each attack sits beside the
// well-behaved peer that still gets through. Every wait has a deadline; "nothing came" is
// told by a later round trip on the same way.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "discovery/SecurityTestSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
using ::testing::HasSubstr;
using ::testing::StartsWith;


// Datagrams of the test in namespace b, on the protocol port: a node's answers to a
// datagram come there.
class Datagrams {
public:
    explicit Datagrams(const NetNamespace& space) {
        space.Run([this] {
            boost::system::error_code error;
            _socket.open(boost::asio::ip::udp::v4(), error);
            _socket.set_option(boost::asio::socket_base::reuse_address(true), error);
            _socket.bind({boost::asio::ip::address_v4::any(), 4197}, error);
            _bound = !error;
        });
    }
    bool Ready() const { return _bound; }

    void SendTo(const std::string& address, const std::string& line) {
        boost::system::error_code error;
        _socket.send_to(boost::asio::buffer(line + "\n"), {boost::asio::ip::make_address(address), 4197}, 0, error);
        EXPECT_FALSE(error) << error.message();
    }

    // True once a datagram that begins with `start` and holds `part` came, within the
    // deadline.
    bool Heard(const std::string& start, const std::string& part, std::chrono::milliseconds deadline = 10s) {
        const auto until = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < until) {
            std::string buffer(65536, '\0');
            bool got = false;
            _socket.async_receive(boost::asio::buffer(buffer), [&](const boost::system::error_code& error,
                                                                   std::size_t size) {
                got = !error;
                buffer.resize(size);
            });
            _io.restart();
            _io.run_until(until);
            if (!got) {
                _socket.cancel();
                _io.restart();
                _io.run();
                return false;
            }
            if (buffer.rfind(start, 0) == 0 && buffer.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    boost::asio::io_context _io;
    boost::asio::ip::udp::socket _socket{_io};
    bool _bound = false;
};

class NodeTrust : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
    }

    void StartDevice() {
        device = std::make_unique<Node>(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197"), pair.a.Name());
    }

    // The router holds the code; `more` are further options. Returns once it serves the
    // link and, when the device runs, is connected to it.
    void StartRouter(std::vector<std::string> more = {}) {
        std::vector<std::string> arguments{"--listen",      "10.77.0.1:4197", "--route", "127.0.0.1,4197",
                                           "--code",        kSharedCode,      "--device-state", kDeviceState};
        arguments.insert(arguments.end(), more.begin(), more.end());
        router = std::make_unique<Node>(Options("router", "rt1", arguments), pair.a.Name());
        ASSERT_FALSE(router->process.Await(LineWith("listenerAdded", "address", VethPair::AddressA)).isNull());
        if (device) {
            ASSERT_FALSE(router->process.Await(Answered("amp1", 1)).isNull());
        }
    }

    // A controller node in b whose static route leads to the router.
    void StartController() {
        controller = std::make_unique<Node>(
            Options("controller", "ctl1", {"--listen", "10.77.0.2:4197", "--route", "10.77.0.1,4197"}),
            pair.b.Name());
    }

    // A plain connection from namespace b to ADDRESS:4197.
    std::unique_ptr<RawPeer> Peer(const std::string& address = VethPair::AddressA) {
        auto peer = std::make_unique<RawPeer>();
        EXPECT_TRUE(pair.b.Run([&] { peer->Socket().open(tcp::v4()); }));
        EXPECT_TRUE(peer->Connect(tcp::endpoint(boost::asio::ip::make_address(address), 4197)));
        return peer;
    }

    // A connection to the router secured by TLS; with `prove`, Kasdor-authenticated too.
    std::unique_ptr<RawPeer> SecuredPeer(bool prove) {
        auto peer = Peer();
        EXPECT_EQ(Ask(*peer, "starttls"), "@starttls {}\n");
        EXPECT_TRUE(peer->StartTls());
        if (prove) {
            EXPECT_EQ(Authenticate(*peer), "@authenticate {}\n");
        }
        return peer;
    }

    static std::string Authenticate(RawPeer& peer) {
        return Ask(peer, R"(authenticate {"code":")" + ProofOf(kSharedCode, RandomBytes(32)) + "\"}");
    }

    // The "event" names of the lines the router wrote from line `from` on, up to an answer
    // it wrote after everything asked of it before.
    std::vector<std::string> RouterEventsSince(std::size_t from) {
        NodeProcess& node = router->process;
        const auto answer = LineWith("hascode", "result", true);
        if (!node.Send(NodeCommand("hascode")) || node.Await(answer).isNull()) {
            return {"no answer"};
        }
        return EventsBetween(node, from, answer);
    }

    // The MAC address of the router's side of the link.
    std::string RouterMac() {
        if (!router->process.Send(NodeCommand("listinterfaces"))) {
            return "";
        }
        const Json::Value answer = router->process.AwaitEvent("listinterfaces");
        for (const auto& entry : answer["interfaces"]) {
            if (entry["ipv4"].asString() == VethPair::AddressA) {
                return entry["mac"].asString();
            }
        }
        return "";
    }

    VethPair pair;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
    std::unique_ptr<Node> controller;
};

std::size_t Count(const std::vector<std::string>& events, const std::string& event) {
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
}

// A secured peer that has not proven the code may not set or get through the router any
// more than on the router itself; once it proves it, the same requests go through. A
// plain peer passes as before (the strict rule is off), and so does a reboot datagram. A
// node in the controller role forwards nothing.
TEST_F(NodeTrust, ARouterForwardsOnlyWhatTheRequesterMayAskOfIt) {
    StartDevice();
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    const std::string set = R"([rt1&amp1][raw1] set {"path":"/audio/gain","value":-9})";
    const std::string get = R"([rt1&amp1][raw1] get {"path":"/audio/gain"})";
    const std::string back = "[raw1][rt1&amp1] ";

    auto stranger = SecuredPeer(false);
    EXPECT_EQ(Ask(*stranger, set), ErrorReply(back + "@set", "Not authenticated"));
    EXPECT_EQ(Ask(*stranger, get), ErrorReply(back + "@get", "Not authenticated"));
    ASSERT_EQ(Authenticate(*stranger), "@authenticate {}\n");
    EXPECT_EQ(Ask(*stranger, get), back + R"(@get {"path":"/audio/gain","value":0})" "\n");
    EXPECT_EQ(Ask(*stranger, set), back + R"(@set {"path":"/audio/gain","value":-9})" "\n");
    EXPECT_EQ(Ask(*stranger, get), back + R"(@get {"path":"/audio/gain","value":-9})" "\n");

    auto plain = Peer();
    EXPECT_EQ(Ask(*plain, R"(get {"path":"/configuration/device/name"})"),
              R"(@get {"path":"/configuration/device/name","value":"rt1"})" "\n");
    EXPECT_EQ(Ask(*plain, R"([rt1&amp1][raw2] get {"path":"/audio/gain"})"),
              R"([raw2][rt1&amp1] @get {"path":"/audio/gain","value":-9})" "\n");
    const std::string mac = RouterMac();
    ASSERT_FALSE(mac.empty());
    {
        Datagrams datagrams(pair.b);
        ASSERT_TRUE(datagrams.Ready());
        datagrams.SendTo(VethPair::AddressA, R"(reboot {"mac":")" + mac + "\"}");
        EXPECT_EQ(router->process.Await(LineWith("reboot", "reply", false))["mac"], mac);
    }

    StartController();
    ASSERT_FALSE(controller->process.Await(Answered("rt1", 1)).isNull());
    auto toController = Peer(VethPair::AddressB);
    EXPECT_EQ(Ask(*toController, "[ctl1&rt1][raw3] getdevicestate"),
              ErrorReply("[raw3][ctl1&rt1] @getdevicestate", "Device not found"));
}

// The reply cache answers a repeated hash only once the line is authorised: a stranger
// repeating an authenticated peer's line gets no copy of its reply, and a stranger's line
// sent first leaves no refusal for the authenticated peer's own. The peer's own repeat is
// still answered from the cache (the router's device-state object is not asked again).
TEST_F(NodeTrust, TheReplyCacheAnswersOnlyWhatWasAuthorised) {
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    auto owner = SecuredPeer(true);
    auto stranger = SecuredPeer(false);
    const std::string state = R"(@getdevicestate {"devicestate":"{\"power\":\"on\"}"})" "\n";
    const std::size_t from = router->process.Lines().size();

    EXPECT_EQ(Ask(*owner, "7-ab12 getdevicestate"), "7-ab12 " + state);
    EXPECT_EQ(Ask(*stranger, "7-ab12 getdevicestate"), ErrorReply("7-ab12 @getdevicestate", "Not authenticated"));
    EXPECT_EQ(Ask(*owner, "7-ab12 getdevicestate"), "7-ab12 " + state);
    EXPECT_EQ(Count(RouterEventsSince(from), "getDeviceStateText"), 1u);

    const std::size_t later = router->process.Lines().size();
    EXPECT_EQ(Ask(*stranger, "8-ab12 getdevicestate"), ErrorReply("8-ab12 @getdevicestate", "Not authenticated"));
    EXPECT_EQ(Ask(*owner, "8-ab12 getdevicestate"), "8-ab12 " + state);
    EXPECT_EQ(Count(RouterEventsSince(later), "getDeviceStateText"), 1u);
}

// Once the controller's requests went through the router, its name is its connection's.
// Another peer can send no request to that name (the way back carries replies and a
// device's notices only), no reply to it (replies come only from where its requests
// went), and cannot give the name as its own. The controller ran nothing of the
// intruder's and still gets its publishes and its answers.
TEST_F(NodeTrust, ARequesterNameBelongsToTheConnectionItCameOn) {
    StartDevice();
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    StartController();
    NodeProcess& ctl = controller->process;
    ASSERT_FALSE(ctl.Await(DeviceLine("amp1", "New")).isNull());
    ASSERT_TRUE(ctl.Send(ConnectCommand("127.0.0.1", 4197)));
    ASSERT_EQ(ctl.Await(DeviceLine("amp1", "Connected"))["proxy"], "rt1");
    ASSERT_TRUE(ctl.Send(DeviceCommand("subscribe", kAmp, R"("values":[{"path":"/audio/gain"}])")));
    ASSERT_FALSE(ctl.Await(LineAbout("subscribe", kAmp)).isNull());
    const std::size_t from = ctl.Lines().size();
    const auto answer = [&ctl](const std::string& tag) {
        const std::string values = R"(","values":[{"path":"/audio/gain"}])";
        const bool sent = ctl.Send(DeviceCommand("get", kAmp, R"("tag":")" + tag + values));
        return sent ? ValueEntries(ctl.Await(LineWith("get", "tag", tag))["values"]) : "";
    };

    auto intruder = Peer();
    EXPECT_THAT(Ask(*intruder, R"([rt1&ctl1][raw4] exec {"command":"echo","path":"/x","arguments":"hi"})"),
                StartsWith(R"([raw4][rt1&ctl1] @exec {"error":"Device not )"));
    EXPECT_THAT(Ask(*intruder, R"([rt1&ctl1][raw4] reboot {"mac":""})"),
                StartsWith(R"([raw4][rt1&ctl1] @reboot {"error":"Device not )"));
    intruder->Send(R"([rt1&ctl1][amp1] @get {"path":"/audio/gain","value":42})" "\n");
    ASSERT_TRUE(device->process.Send(NodeCommand("write", R"("path":"/audio/gain","value":-3)")));
    EXPECT_EQ(ValueEntries(ctl.Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-3");
    EXPECT_EQ(answer("before"), "/audio/gain=-3");
    const auto events = EventsBetween(ctl, from, LineWith("get", "tag", "before"));
    EXPECT_EQ(Count(events, "exec") + Count(events, "reboot"), 0u);
    // The injected reply reached no one.
    EXPECT_EQ(Count(events, "get"), 0u);

    EXPECT_EQ(Ask(*intruder, R"([rt1&amp1][ctl1] get {"path":"/audio/gain"})"),
              ErrorReply("[ctl1][rt1&amp1] @get", "Source name in use"));
    ASSERT_TRUE(device->process.Send(NodeCommand("write", R"("path":"/audio/gain","value":-6)")));
    EXPECT_EQ(ValueEntries(ctl.Await(LineAbout("publish", kAmp))["values"]), "/audio/gain=-6");
    EXPECT_EQ(answer("after"), "/audio/gain=-6");
}

// With --require-tls and a code, a plain connection reaches TLS and nothing else, neither
// on the router nor through it, and datagrams other than discovery are dropped. A peer
// that secures its connection and proves the code gets through as before.
TEST_F(NodeTrust, TheStrictRuleKeepsPlainPeersToTheWayIntoTls) {
    StartDevice();
    ASSERT_NO_FATAL_FAILURE(StartRouter({"--require-tls"}));
    const std::string refused = "Requires encrypted connection";

    auto plain = Peer();
    EXPECT_EQ(Ask(*plain, R"(get {"path":"/configuration/device/name"})"), ErrorReply("@get", refused));
    EXPECT_EQ(Ask(*plain, R"(set {"path":"/configuration/device/location","value":"x"})"),
              ErrorReply("@set", refused));
    EXPECT_EQ(Authenticate(*plain), ErrorReply("@authenticate", refused));
    // A code is refused by its own service, as ever.
    EXPECT_THAT(Ask(*plain, R"(setverificationcode {"new":"YmV0YQ=="})"),
                HasSubstr(R"("error":"Encrypted connection required")"));
    EXPECT_EQ(Ask(*plain, R"([rt1&amp1][raw1] set {"path":"/audio/gain","value":-9})"),
              ErrorReply("[raw1][rt1&amp1] @set", refused));

    const std::string mac = RouterMac();
    ASSERT_FALSE(mac.empty());
    const std::size_t from = router->process.Lines().size();
    Datagrams datagrams(pair.b);
    ASSERT_TRUE(datagrams.Ready());
    datagrams.SendTo(VethPair::AddressA, R"(reboot {"mac":")" + mac + "\"}");
    datagrams.SendTo(VethPair::AddressA, R"(disco {"params":["name"]})");
    // The router's own answer: it has read the reboot before it.
    EXPECT_TRUE(datagrams.Heard("@disco", R"("rt1")"));
    EXPECT_EQ(Count(RouterEventsSince(from), "reboot"), 0u);

    auto secured = SecuredPeer(true);
    EXPECT_EQ(Ask(*secured, R"([rt1&amp1][raw5] get {"path":"/audio/gain"})"),
              R"([raw5][rt1&amp1] @get {"path":"/audio/gain","value":0})" "\n");
    EXPECT_EQ(Ask(*secured, R"([rt1&amp1][raw5] set {"path":"/audio/gain","value":-9})"),
              R"([raw5][rt1&amp1] @set {"path":"/audio/gain","value":-9})" "\n");
}

}  // namespace
}  // namespace ZelkorTest
