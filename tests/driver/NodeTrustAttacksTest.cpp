// Roads a hostile peer without a node's verification code tries toward what the code
// guards, each closed, beside what a well-behaved peer meets. Node processes
// over a veth pair (root only, else skipped), as in the node-trust tests: the device
// serves the loopback of namespace a, the router there holds the code and serves
// 10.77.0.1; the peers in namespace b are raw connections of the test. Every wait has a
// deadline.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include "discovery/SecurityTestSupport.h"
#include "driver/NodeTrustTestSupport.h"
#include "services/NodeSubscriptionsTestSupport.h"
#include "support/DriverHarness.h"
#include "support/NetNamespace.h"
#include "support/TlsMaterial.h"

namespace ZelkorTest {
namespace {

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
using ::testing::HasSubstr;

const std::string kIntruder = "00000000-0000-4000-8000-00000000e411";

// A device's answer to discovery, as this node would have asked for it on a connection
// it accepted: GUID `guid`, name `name`, at the peer's own address.
std::string DeviceAnswer(const std::string& guid, const std::string& name) {
    return R"(@disco {"classname":"amplifier","guid":")" + guid + R"(","ip":")" + VethPair::AddressB +
           R"(","name":")" + name + R"(","port":4197})" "\n";
}

// A device of the test's making in namespace b, which a node reaches by a static route:
// it accepts one connection, answers "starttls" with a handshake as a device does, and
// otherwise says and hears what the test makes it.
class FakeDevice {
public:
    static constexpr unsigned short kPort = 4300;

    explicit FakeDevice(const NetNamespace& space) {
        space.Run([this] {
            _acceptor.open(tcp::v4());
            _acceptor.set_option(tcp::acceptor::reuse_address(true));
            _acceptor.bind({boost::asio::ip::make_address(VethPair::AddressB), kPort});
            _acceptor.listen();
        });
    }

    bool Accept(std::chrono::milliseconds deadline = 10s) {
        bool done = false;
        _acceptor.async_accept(_stream.next_layer(), [&](const boost::system::error_code& error) { done = !error; });
        return runFor(deadline, done);
    }

    // The next line the node sends, its "starttls" answered and the handshake made on the
    // way; "" when none came in time.
    std::string ReadLine(std::chrono::milliseconds deadline = 5s) {
        const auto until = std::chrono::steady_clock::now() + deadline;
        for (;;) {
            const auto end = _buffer.find('\n');
            if (end != std::string::npos) {
                std::string line = _buffer.substr(0, end + 1);
                _buffer.erase(0, end + 1);
                if (line.rfind("starttls", 0) != 0 || _tls) {
                    return line;
                }
                Send("@starttls {}\n");
                if (!handshake(until)) {
                    return "";
                }
                continue;
            }
            if (std::chrono::steady_clock::now() >= until || !fill(until)) {
                return "";
            }
        }
    }

    void Send(const std::string& text) {
        boost::system::error_code error;
        if (_tls) {
            boost::asio::write(_stream, boost::asio::buffer(text), error);
        } else {
            boost::asio::write(_stream.next_layer(), boost::asio::buffer(text), error);
        }
    }

private:
    bool runFor(std::chrono::milliseconds deadline, const bool& done) {
        _io.restart();
        _io.run_for(deadline);
        if (!done) {
            boost::system::error_code ignored;
            _acceptor.cancel(ignored);
            _stream.next_layer().cancel(ignored);
            _io.restart();
            _io.run();
        }
        return done;
    }

    bool handshake(std::chrono::steady_clock::time_point until) {
        bool done = false;
        _stream.async_handshake(boost::asio::ssl::stream_base::server,
                                [&](const boost::system::error_code& error) { done = !error; });
        _tls = runFor(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()),
                      done);
        return _tls;
    }

    bool fill(std::chrono::steady_clock::time_point until) {
        std::array<char, 4096> data{};
        std::size_t count = 0;
        bool done = false;
        auto handler = [&](const boost::system::error_code& error, std::size_t n) {
            count = n;
            done = !error;
        };
        if (_tls) {
            _stream.async_read_some(boost::asio::buffer(data), handler);
        } else {
            _stream.next_layer().async_read_some(boost::asio::buffer(data), handler);
        }
        runFor(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()), done);
        _buffer.append(data.data(), count);
        return done;
    }

    boost::asio::io_context _io;
    tcp::acceptor _acceptor{_io};
    std::unique_ptr<boost::asio::ssl::context> _context = MakeTlsContext();
    boost::asio::ssl::stream<tcp::socket> _stream{_io, *_context};
    bool _tls = false;
    std::string _buffer;
};

class NodeTrustAttacks : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pair.Missing().empty()) {
            GTEST_SKIP() << pair.Missing();
        }
    }

    void StartDevice(std::vector<std::string> more = {}) {
        device = std::make_unique<Node>(SampleDeviceOptions(false, "amp1", kAmp, "127.0.0.1:4197", std::move(more)),
                                        pair.a.Name());
    }

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

    std::unique_ptr<RawPeer> Peer(const std::string& address = VethPair::AddressA) {
        auto peer = std::make_unique<RawPeer>();
        EXPECT_TRUE(pair.b.Run([&] { peer->Socket().open(tcp::v4()); }));
        EXPECT_TRUE(peer->Connect(tcp::endpoint(boost::asio::ip::make_address(address), 4197)));
        return peer;
    }

    std::unique_ptr<RawPeer> SecuredPeer(bool prove) {
        auto peer = Peer();
        EXPECT_EQ(Ask(*peer, "starttls"), "@starttls {}\n");
        EXPECT_TRUE(peer->StartTls());
        if (prove) {
            EXPECT_EQ(Authenticate(*peer), "@authenticate {}\n");
        }
        return peer;
    }

    // The router, asking for TLS on the connections it makes, with a route to `fake`, which
    // has accepted its connection on return.
    void StartRouterTo(FakeDevice& fake) {
        const std::string route = std::string(VethPair::AddressB) + "," + std::to_string(FakeDevice::kPort);
        ASSERT_NO_FATAL_FAILURE(StartRouter({"--route", route, "--tls-level", "1"}));
        ASSERT_TRUE(fake.Accept());
    }

    // The "authenticate" line (without its end of line) the router sends `fake`, its
    // discovery requests answered on the way; "" when none came.
    static std::string ProofHeardBy(FakeDevice& fake) {
        for (std::string heard = fake.ReadLine(); !heard.empty(); heard = fake.ReadLine()) {
            if (heard.rfind("disco", 0) == 0) {
                fake.Send(DeviceAnswer(kIntruder, "intruder"));
            } else if (heard.rfind("authenticate ", 0) == 0) {
                return heard.substr(0, heard.size() - 1);
            }
        }
        return "";
    }

    static std::string Authenticate(RawPeer& peer) {
        return Ask(peer, R"(authenticate {"code":")" + ProofOf(kSharedCode, RandomBytes(32)) + "\"}");
    }

    VethPair pair;
    std::unique_ptr<Node> device;
    std::unique_ptr<Node> router;
};

// A secured peer that never proved the code answers on its own connection as a device
// answers discovery, then "answers" an authentication the router never asked of it: an
// answer to a proof of the router's own lets nothing of the peer's in, neither the device
// state nor a set forwarded to the device behind. A peer that proves the code is served
// as before.
TEST_F(NodeTrustAttacks, AnAuthenticationAnswerNobodyAskedForProvesNothing) {
    StartDevice();
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    const std::string set = R"([rt1&amp1][raw1] set {"path":"/audio/gain","value":-20})";
    auto intruder = SecuredPeer(false);
    ASSERT_EQ(Ask(*intruder, "getdevicestate"), ErrorReply("@getdevicestate", "Not authenticated"));

    intruder->Send(DeviceAnswer(kIntruder, "intruder"));
    intruder->Send("@authenticate {}\n");
    EXPECT_EQ(Ask(*intruder, "getdevicestate"), ErrorReply("@getdevicestate", "Not authenticated"));
    EXPECT_EQ(Ask(*intruder, set), ErrorReply("[raw1][rt1&amp1] @set", "Not authenticated"));

    auto owner = SecuredPeer(true);
    EXPECT_EQ(Ask(*owner, R"([rt1&amp1][raw2] get {"path":"/audio/gain"})"),
              R"([raw2][rt1&amp1] @get {"path":"/audio/gain","value":0})" "\n");
}

// Any peer, on a plain connection too, answers discovery it was never asked with the name
// of the device the router reaches and a GUID of its own: the router does not take the
// name from the device, and the proven peer's get still reaches the device.
TEST_F(NodeTrustAttacks, AnAcceptedConnectionTakesNoListedDevicesName) {
    StartDevice();
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    auto owner = SecuredPeer(true);
    const std::string get = R"([rt1&amp1][raw2] get {"path":"/audio/gain"})";
    const std::string answer = R"([raw2][rt1&amp1] @get {"path":"/audio/gain","value":0})" "\n";
    ASSERT_EQ(Ask(*owner, get), answer);

    auto intruder = Peer();
    intruder->Send(DeviceAnswer(kIntruder, "amp1"));
    // A round trip of the intruder's own: the router has read the answer before it.
    ASSERT_EQ(Ask(*intruder, "starttls"), "@starttls {}\n");
    EXPECT_EQ(Ask(*owner, get), answer);
    EXPECT_EQ(intruder->ReadLine(1s), "");
}

// A secured peer that answers discovery as a device is never sent the router's own proof
// of its code: the router proves itself only to devices it connected to. (Sent back to the
// router, a proof would prove the router's code to the router: one the router sent a
// device it reached is refused as used.)
TEST_F(NodeTrustAttacks, TheRoutersOwnProofIsNoProofToIt) {
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    auto intruder = SecuredPeer(false);
    intruder->Send(DeviceAnswer(kIntruder, "intruder"));
    // Lines come in order: whatever the router sent before this answer came before it.
    intruder->Send("getdevicestate\n");
    for (std::string heard = Next(*intruder); !heard.empty(); heard = Next(*intruder)) {
        EXPECT_NE(heard.rfind("authenticate ", 0), 0u) << "the router sent its proof to a peer that connected to it";
        if (heard.find("@getdevicestate") != std::string::npos) {
            EXPECT_EQ(heard, ErrorReply("@getdevicestate", "Not authenticated"));
            break;
        }
    }
}

// With --require-tls a plain peer may still say what it needs to reach TLS on its own
// connection, but not through the router, where the same words would act on the router's
// connection to the device ("starttls" is forwarded for no one): every requester behind
// the router keeps the device.
TEST_F(NodeTrustAttacks, TheStrictRuleForwardsNoWayIntoTlsFromAPlainPeer) {
    StartDevice();
    ASSERT_NO_FATAL_FAILURE(StartRouter({"--require-tls"}));
    const std::string refused = "Requires encrypted connection";
    const std::string get = R"([rt1&amp1][raw5] get {"path":"/audio/gain"})";
    const std::string answer = R"([raw5][rt1&amp1] @get {"path":"/audio/gain","value":0})" "\n";
    auto secured = SecuredPeer(true);
    auto plain = Peer();

    // Never forwarded, whoever asks: it would secure the router's own connection.
    EXPECT_EQ(Ask(*plain, "[rt1&amp1][raw1] starttls"), ErrorReply("[raw1][rt1&amp1] @starttls", "Command not permitted"));
    EXPECT_EQ(Ask(*secured, "[rt1&amp1][raw5] starttls"), ErrorReply("[raw5][rt1&amp1] @starttls", "Command not permitted"));
    EXPECT_EQ(Ask(*secured, get), answer);
    EXPECT_EQ(Ask(*plain, "[rt1&amp1][raw1] goodbye"), ErrorReply("[raw1][rt1&amp1] @goodbye", refused));
    EXPECT_EQ(Ask(*secured, get), answer);
    EXPECT_EQ(Ask(*plain, "starttls"), "@starttls {}\n");
}

// A requester's name is held by its connection while that connection speaks: a peer that
// sends requests under 1,024 other names pushes no name in use out of the table, and the
// owner's name stays its own.
TEST_F(NodeTrustAttacks, NoFloodOfNamesTakesANameItsOwnerStillHolds) {
    StartDevice();
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    const std::string get = R"( get {"path":"/audio/gain"})";
    const std::string answer = R"( @get {"path":"/audio/gain","value":0})" "\n";
    const std::string inUse = ErrorReply("[ctl1][rt1&amp1] @get", "Source name in use");
    auto owner = SecuredPeer(true);
    ASSERT_EQ(Ask(*owner, "[rt1&amp1][ctl1]" + get), "[ctl1][rt1&amp1]" + answer);
    auto intruder = Peer();
    ASSERT_EQ(Ask(*intruder, "[rt1&amp1][ctl1]" + get), inUse);

    // Past the names one connection may own, the rest find no room.
    constexpr int kNames = 1024;
    std::string burst;
    for (int name = 0; name < kNames; ++name) {
        burst += "[rt1&amp1][n" + std::to_string(name) + "]" + get + "\n";
    }
    intruder->Send(burst);
    // Refusals come at once, answers after their round trip to the device.
    for (int name = 0; name < kNames; ++name) {
        const std::string heard = Next(*intruder);
        ASSERT_TRUE(heard.rfind("[n", 0) == 0 &&
                    (heard.find(answer) != std::string::npos || heard.find("Too many requesters") != std::string::npos))
            << heard;
    }
    // The owner speaks, to the router itself: it is no quiet owner.
    ASSERT_THAT(Ask(*owner, "getdevicestate"), HasSubstr("devicestate"));
    EXPECT_EQ(Ask(*intruder, "[rt1&amp1][ctl1]" + get), inUse);
    EXPECT_EQ(Ask(*owner, "[rt1&amp1][ctl1]" + get), "[ctl1][rt1&amp1]" + answer);
}

// Four connections from one address that fill the table of requester names, and keep
// speaking, keep no requester from another address out: its name takes the place of one
// of theirs, and its get reaches the device. The filling address itself finds no room.
TEST_F(NodeTrustAttacks, OneAddressFillingTheRequesterNamesKeepsNoOtherOut) {
    StartDevice();
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    const std::string get = R"( get {"path":"/audio/gain"})";
    const std::string answer = R"( @get {"path":"/audio/gain","value":0})" "\n";
    std::vector<std::unique_ptr<RawPeer>> fillers;
    for (int connection = 0; connection < 4; ++connection) {
        fillers.push_back(Peer());
        std::string burst;
        for (int name = 0; name < 256; ++name) {
            burst += "[rt1&amp1][f" + std::to_string(connection) + "-" + std::to_string(name) + "]" + get + "\n";
        }
        fillers.back()->Send(burst);
        for (int name = 0; name < 256; ++name) {
            ASSERT_THAT(Next(*fillers.back()), HasSubstr(answer));
        }
    }
    // Each filler has spoken just now: no name of theirs is left to a quiet owner.
    for (auto& filler : fillers) {
        ASSERT_THAT(Ask(*filler, "getdevicestate"), HasSubstr("devicestate"));
    }
    auto newcomer = std::make_unique<RawPeer>();
    ASSERT_TRUE(pair.a.Run([&] { newcomer->Socket().open(tcp::v4()); }));
    ASSERT_TRUE(newcomer->Connect(tcp::endpoint(boost::asio::ip::make_address(VethPair::AddressA), 4197)));
    EXPECT_EQ(Ask(*newcomer, "[rt1&amp1][ctl9]" + get), "[ctl9][rt1&amp1]" + answer);
    auto another = Peer();
    EXPECT_EQ(Ask(*another, "[rt1&amp1][late]" + get), ErrorReply("[late][rt1&amp1] @get", "Too many requesters"));
}

// A failed proof closes its connection after five; one whose routing header names two
// sources, as a requester's behind a router, after more, but still closes it, though it
// came straight from the peer.
TEST_F(NodeTrustAttacks, AProofThatClaimsARouteStillCountsAgainstItsConnection) {
    ASSERT_NO_FATAL_FAILURE(StartRouter());
    auto guesser = SecuredPeer(false);
    int attempts = 0;
    for (; attempts < 100; ++attempts) {
        const std::string proof = ProofOf("wrong", RandomBytes(32));
        const std::string heard = Ask(*guesser, R"([rt1][raw1&far] authenticate {"code":")" + proof + "\"}");
        if (heard.empty()) {
            break;
        }
        EXPECT_THAT(heard, HasSubstr(R"("error":)"));
    }
    EXPECT_TRUE(guesser->WaitClosed(5s));
    EXPECT_LE(attempts, static_cast<int>(Zelkor::DiscoveryService::MaxRoutedFailedAuthentications));
}

// The router opens a secured connection to a device and proves its code there. The device
// need know no code to answer the proof as accepted: that answer is no proof of the
// device's to the router, whose requests on that connection stay unauthorised.
TEST_F(NodeTrustAttacks, ADeviceIsNotAuthenticatedByAcceptingTheRoutersProof) {
    FakeDevice fake(pair.b);
    ASSERT_NO_FATAL_FAILURE(StartRouterTo(fake));
    ASSERT_FALSE(ProofHeardBy(fake).empty()) << "the router sent no proof";
    fake.Send("@authenticate {}\n");
    fake.Send("getdevicestate\n");
    std::string answer;
    for (std::string heard = fake.ReadLine(); !heard.empty() && answer.empty(); heard = fake.ReadLine()) {
        if (heard.rfind("@getdevicestate", 0) == 0) {
            answer = heard;
        }
    }
    EXPECT_EQ(answer, ErrorReply("@getdevicestate", "Not authenticated"));
}

// The proof the router sent a device it connected to, sent on by that device to the
// router's listener, proves nothing to the router.
TEST_F(NodeTrustAttacks, TheRoutersProofToADeviceIsNoProofToTheRouter) {
    FakeDevice fake(pair.b);
    ASSERT_NO_FATAL_FAILURE(StartRouterTo(fake));
    const std::string proof = ProofHeardBy(fake);
    ASSERT_FALSE(proof.empty()) << "the router sent no proof";
    auto reflector = SecuredPeer(false);
    EXPECT_EQ(Ask(*reflector, proof), ErrorReply("@authenticate", "Authentication Failed"));
    EXPECT_EQ(Ask(*reflector, "getdevicestate"), ErrorReply("@getdevicestate", "Not authenticated"));
}

// A device the router reaches answers a requester's request through the router, then
// sends refusals of proofs the requester never sent toward it: the router passes none of
// them on and counts none against the requester, whose connection stays.
TEST_F(NodeTrustAttacks, ADeviceClosesNoRequestersConnectionWithRefusalsOfProofsNeverSent) {
    FakeDevice fake(pair.b);
    const std::string route = std::string(VethPair::AddressB) + "," + std::to_string(FakeDevice::kPort);
    ASSERT_NO_FATAL_FAILURE(StartRouter({"--route", route}));
    ASSERT_TRUE(fake.Accept());
    ASSERT_THAT(fake.ReadLine(), ::testing::StartsWith("disco "));
    fake.Send(DeviceAnswer(kIntruder, "intruder"));
    ASSERT_FALSE(router->process.Await(LineWith("device", "name", "intruder")).isNull());
    auto owner = SecuredPeer(true);
    owner->Send(R"([rt1&intruder][raw2] get {"path":"/x"})" "\n");
    std::string asked;
    for (int line = 0; line < 100 && asked.empty(); ++line) {
        const std::string heard = fake.ReadLine();
        if (heard.rfind("disco", 0) == 0) {
            fake.Send(DeviceAnswer(kIntruder, "intruder"));
        } else {
            asked = heard;
        }
    }
    ASSERT_EQ(asked, R"([intruder][rt1&raw2] get {"path":"/x"})" "\n");
    fake.Send(R"([rt1&raw2][intruder] @get {"path":"/x","value":1})" "\n");
    ASSERT_EQ(Next(*owner), R"([raw2][rt1&intruder] @get {"path":"/x","value":1})" "\n");

    for (int refusal = 0; refusal < 5; ++refusal) {
        fake.Send(R"([rt1&raw2][intruder] @authenticate {"error":"Authentication Failed"})" "\n");
    }
    // A round trip of the device's own: the router has read the refusals before it.
    fake.Send("getdevicestate\n");
    std::string answered;
    for (int line = 0; line < 100 && answered.empty(); ++line) {
        const std::string heard = fake.ReadLine();
        if (heard.rfind("disco", 0) == 0) {
            fake.Send(DeviceAnswer(kIntruder, "intruder"));
        } else if (heard.empty() || heard.rfind("@getdevicestate", 0) == 0) {
            answered = heard.empty() ? "none" : heard;
        }
    }
    ASSERT_THAT(answered, HasSubstr("devicestate"));
    // The refusals the router passed on come first; the connection must outlast them.
    owner->Send("getdevicestate\n");
    std::string heard;
    do {
        heard = Next(*owner);
    } while (!heard.empty() && heard.find("devicestate") == std::string::npos);
    EXPECT_THAT(heard, HasSubstr("devicestate"));
}

}  // namespace
}  // namespace ZelkorTest
