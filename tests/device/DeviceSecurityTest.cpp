// Peer security on the controller's side, between two nodes in one process: a device
// node (real discovery service, TLS listeners, its code kept by the test) on a loop
// thread of its own, and a controller whose device object connects to it, secures every
// connection that connects, proves its confirmed code, and sets the device's code.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <istream>
#include <thread>

#include <boost/algorithm/string/replace.hpp>
#include <boost/asio/buffers_iterator.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "core/MessageSignalData.h"
#include "core/ZelkorLog.h"
#include "discovery/DiscoveryTestSupport.h"
#include "discovery/SecurityTestSupport.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/RunUntil.h"
#include "storage/ObjectParamContainer.h"
#include "support/TlsMaterial.h"
#include "transport/TcpServer.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using Zelkor::DeviceImpl;
using Zelkor::TcpSocket;

const char* const kDeviceGuid = "3d5e7f90-1a2b-4c3d-8e4f-5a6b7c8d9e0f";
// The controller took a discovery reply of the device.
const std::string kAnswered = std::string("ZK2021I No disco exclusion found for (amplifier:stage-left-amp:") + kDeviceGuid;

std::string DeviceTree() {
    std::string tree = SampleTree();
    boost::algorithm::replace_all(tree, kSampleGuid, kDeviceGuid);
    return tree;
}

class ControllerSecurity : public ::testing::Test {
protected:
    ControllerSecurity() {
        LoadTlsMaterial(device.driver->GetSSLContext());
        device.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(DeviceTree()));
        deviceService = device.driver->GetDiscovery();
        deviceService->OnVerificationCode(keeper.Callback());
        device.tlsProvisioned = true;
        controller.driver->SetTlsLevel(1);
        controller.service->SetMode("controller");
    }
    void SetUp() override { ZelkorLog::TheLog().SetLevel(5); }
    void TearDown() override { ZelkorLog::TheLog().SetLevel(3); }

    // The device as the controller knows it, reached at the device node's listeners.
    std::shared_ptr<DeviceImpl> Remote(bool redundant, const std::vector<unsigned short>& ports) {
        std::string body = std::string(R"({"guid":")") + kDeviceGuid +
                           R"(","name":"amp","ip":"127.0.0.1","port":4197,"classname":"amplifier")";
        if (redundant) {
            body += R"(,"inclusions":"redundant")";
        }
        auto remote = std::make_shared<DeviceImpl>(controller.driver.get(), Record(body + "}"));
        controller.service->enterDevice(remote, Zelkor::DiscoveryService::AllTables);
        const char* addresses[] = {"127.0.0.1", "127.0.0.2"};
        for (std::size_t i = 0; i < ports.size(); ++i) {
            remote->AddRemoteInfo({"", {make_address(addresses[i]), ports[i]}});
        }
        return remote;
    }
    unsigned short Port() const { return device.server->LocalEndpoint().port(); }
    bool Run(const std::function<bool()>& done) { return RunUntil(controller.io, done); }
    // The controller's side: its proof was taken.
    static bool Proven(const std::shared_ptr<TcpSocket>& socket) {
        return socket && socket->GetState() == TcpSocket::Tls && socket->IsProvenToPeer();
    }
    // The device's side: the controller proved the code with the prefix.
    static bool ProvedHere(const std::shared_ptr<TcpSocket>& socket) {
        return socket && socket->GetState() == TcpSocket::Tls && socket->IsKasdorAuthenticated();
    }
    // Until a reply to a request sent after `before` replies came (a request sent from a
    // reply's handler goes unmeasured).
    bool Replied(const std::shared_ptr<DeviceImpl>& remote, std::uint64_t before) {
        return Run([&] { return remote->GetRoundTripCount() > before; });
    }

    LogCapture log;
    CodeKeeper keeper{"door-code"};
    DiscoveryNode controller;
    DriverHarness device;
    Zelkor::DiscoveryService* deviceService = nullptr;
};

// A refused proof leaves the connection unauthenticated until a keep-alive proves the
// right code; a change refused by the device confirms nothing, one confirmed by its reply
// (no reply callback set) is the code the next connection proves.
TEST_F(ControllerSecurity, TheConfirmedCodeIsProvenOnEachNewConnectionAndChangedOverTls) {
    device.Start();
    auto remote = Remote(false, {Port()});
    remote->SetVerificationCode("wrong");
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return remote->GetHandle() && remote->GetRoundTripCount() >= 2; }));
    const auto socket = remote->GetHandle();
    EXPECT_TRUE(socket->GetState() == TcpSocket::Tls && !socket->IsProvenToPeer());
    EXPECT_TRUE(log.Contains("ZK6663I Sending authenticate in primary to amp"));
    // The failed address waits before its next proof is checked: the device's clock moves
    // past that wait.
    deviceService->SetAuthenticationClock([] { return std::chrono::steady_clock::now() + 1min; });
    remote->SetVerificationCode("door-code");
    AuthenticateInfo info;
    info.code = remote->GetVerificationCode();
    remote->Authenticate(info, nullptr);
    EXPECT_TRUE(info.sent && info.count == 1);
    ASSERT_TRUE(Run([&] { return Proven(socket); }));
    EXPECT_TRUE(WaitUntil([&] { return ProvedHere(device.tap.At(0)); }));
    // Proven, the connection is kept alive by "disco", which the device answers.
    ASSERT_TRUE(Run([&] { return log.Contains(kAnswered); }));
    const std::size_t answered = log.Count(kAnswered);
    remote->Authenticate(info, nullptr);
    EXPECT_FALSE(info.sent);
    ASSERT_TRUE(Run([&] { return log.Count(kAnswered) > answered; }));

    SetVerificationCodeInfo change;
    change.current = "doorcode";
    change.newCode = "x";
    const std::uint64_t before = remote->GetRoundTripCount();
    remote->SendSetVerificationCodeRequest(change);
    EXPECT_TRUE(change.sent);
    ASSERT_TRUE(Replied(remote, before));
    EXPECT_EQ(remote->GetVerificationCode(), "door-code");
    change.current = "door-code";
    change.newCode = "new-door";
    remote->SendSetVerificationCodeRequest(change);
    ASSERT_TRUE(Run([&] { return remote->GetVerificationCode() == "new-door"; }));
    EXPECT_EQ(keeper.Code(), "new-door");
    remote->Disconnect(false);
    ASSERT_TRUE(Run([&] { return !remote->GetHandle(); }));
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return Proven(remote->GetHandle()); }));
    EXPECT_TRUE(WaitUntil([&] { return device.tap.Count() == 2 && ProvedHere(device.tap.At(1)); }));
}

// A connection whose transfer waits for the proof, as every request on it does, is proven
// all the same. Before, a transfer that began before the connection was secured kept the
// proof from going, and every request on the connection waited for good.
TEST_F(ControllerSecurity, AConnectionWhoseTransferWaitsForTheProofIsProven) {
    device.Start();
    auto remote = Remote(false, {Port()});
    remote->SetVerificationCode("wrong");
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return remote->GetHandle() && remote->GetRoundTripCount() >= 2; }));
    const auto socket = remote->GetHandle();
    ASSERT_TRUE(socket->GetState() == TcpSocket::Tls && !socket->IsProvenToPeer());
    deviceService->SetAuthenticationClock([] { return std::chrono::steady_clock::now() + 1min; });
    socket->SetTransferring(true);
    remote->SetVerificationCode("door-code");
    AuthenticateInfo info;
    info.code = remote->GetVerificationCode();
    remote->Authenticate(info, nullptr);
    EXPECT_TRUE(info.sent);
    EXPECT_TRUE(Run([&] { return Proven(socket); }));
}

// Without TLS no code leaves the controller: the device hears nothing of it.
TEST_F(ControllerSecurity, NoCodeGoesOverAPlainConnection) {
    controller.driver->SetTlsLevel(0);
    device.Start();
    auto remote = Remote(false, {Port()});
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return remote->GetRoundTripCount() > 0; }));
    SetVerificationCodeInfo change;
    change.newCode = "new-door";
    remote->SendSetVerificationCodeRequest(change);
    EXPECT_FALSE(change.sent);
    Zelkor::MessageForwardInfo header;
    void* handle = Zelkor::ZelkorDriver::HandleOf(remote->GetHandle().get());
    controller.service->SendSetVerificationCodeRequest(handle, header, "", ToBase64("x"));
    controller.service->SendAuthenticateRequest(handle, header, ProofOf("door-code", RandomBytes(32)));
    AuthenticateInfo info;
    const std::uint64_t before = remote->GetRoundTripCount();
    remote->Authenticate(info, nullptr);  // a keep-alive "disco" on a plain connection
    ASSERT_TRUE(Replied(remote, before));
    EXPECT_FALSE(info.sent);
    for (const char* line : {"ZK66C0W No encrypted connection for setverificationcode to (",
                             "ZK20C1W setverificationcode not sent on a connection without TLS",
                             "ZK20C0W authenticate not sent on a connection without TLS"}) {
        EXPECT_TRUE(log.Contains(line)) << line;
    }
    EXPECT_EQ(keeper.stores.load(), 0);
    EXPECT_FALSE(log.Contains("ZK2096W") || device.tap.At(0)->IsAuthenticated());
}

// Both connections of a redundant device are secured and proven, the secondary too,
// which connects while the primary is up.
TEST_F(ControllerSecurity, EveryConnectionThatConnectsIsSecured) {
    auto second = std::make_shared<Zelkor::TcpServer>(device.io, device.driver->GetSSLContext(), true);
    second->Subscribe(&device.tap);
    second->BindTo(make_address("127.0.0.2"), 0);
    device.Start();
    auto remote = Remote(true, {Port(), second->LocalEndpoint().port()});
    remote->SetVerificationCode("door-code");
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return Proven(remote->GetHandle()); }));
    remote->Connect(false);
    ASSERT_TRUE(Run([&] {
        const auto sockets = remote->Connections();
        return sockets.size() == 2 && Proven(sockets[0]) && Proven(sockets[1]);
    }));
    EXPECT_TRUE(WaitUntil([&] { return device.tap.Count() == 2 && ProvedHere(device.tap.At(0)) && ProvedHere(device.tap.At(1)); }));
    device.Stop();
    second->Close();
}

// A device connected by its endpoint alone, before any discovery reply names it, is
// proven on the connection just secured (which holds every other request until then);
// the keep-alive that follows brings its GUID.
TEST_F(ControllerSecurity, ADeviceConnectedByItsEndpointAloneIsProven) {
    keeper.SetCode("");
    device.Start();
    controller.service->Connect(make_address("127.0.0.1"), Port());
    const auto remote = controller.service->GetDeviceImplByIPAndPort(make_address("127.0.0.1"), Port());
    ASSERT_TRUE(remote);
    EXPECT_TRUE(remote->GuidKey().empty());
    ASSERT_TRUE(Run([&] { return Proven(remote->GetHandle()); }));
    ASSERT_TRUE(Run([&] { return log.Contains(kAnswered); }));
    EXPECT_EQ(controller.service->GetDeviceByUUID(kDeviceGuid), remote);
}

// Without discovery requests of its own, a controller that connects a device by its
// endpoint alone proves its code all the same, and the keep-alive that follows brings the
// device's GUID.
TEST_F(ControllerSecurity, ADeviceConnectedByItsEndpointIsProvenWithoutDiscoveryRequests) {
    controller.service->SendDiscos(false);
    device.Start();
    controller.service->Connect(make_address("127.0.0.1"), Port());
    const auto remote = controller.service->GetDeviceImplByIPAndPort(make_address("127.0.0.1"), Port());
    ASSERT_TRUE(remote);
    remote->SetVerificationCode("door-code");
    EXPECT_TRUE(Run([&] { return Proven(remote->GetHandle()) && remote->GuidKey() == kDeviceGuid; }));
}

// A set-code reply that finds no device object to keep the code (its device went
// meanwhile) is no success to the application: the device holds a code this node lacks.
TEST_F(ControllerSecurity, ACodeChangeNoDeviceObjectKeepsIsReportedAsSuch) {
    std::vector<std::string> errors;
    controller.service->OnSetVerificationCode([&](SetVerificationCodeInfo& info) {
        errors.push_back(info.error);
        return true;
    });
    const auto socket = std::make_shared<TcpSocket>(controller.io, controller.driver->GetSSLContext(), true);
    auto reply = std::make_unique<Zelkor::SetVerificationCode>();
    reply->SetIsReply(true);
    Zelkor::MessageSignalData data(Zelkor::ZelkorDriver::HandleOf(socket.get()), socket, true, std::move(reply));
    controller.service->HandleSetVerificationCodeReply(data);
    EXPECT_EQ(errors, std::vector<std::string>{"Verification code changed on the device, but its device object was "
                                               "not updated"});
    EXPECT_TRUE(log.Contains("ZK20E1W Verification code changed on a device no device object holds"));
}

// Nothing waits for ever on a wrong code: the requests held for the proof, and those sent
// once it failed, each hear "Authentication Failed" (a get or set in every entry) without
// reaching the device; proven with the right code, the connection serves requests again.
TEST_F(ControllerSecurity, RequestsHeldForAFailedProofHearThatItFailed) {
    controller.driver->InitCommandInterface();
    device.Start();
    auto remote = Remote(false, {Port()});
    remote->SetVerificationCode("wrong");
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return remote->GetHandle() != nullptr; }));
    std::vector<std::string> heard;
    const auto hear = [&heard](const Zelkor::ObjectParamContainer& reply) { heard.push_back(reply.ToJsonText()); };
    Zelkor::ObjectParamContainer names, location;
    names.FromJsonText(R"([{"path":"/configuration/device/name"},{"path":"/configuration/device/location"}])");
    location.FromJsonText(R"([{"path":"/configuration/device/location","value":"Hall C"}])");
    remote->GetParameter(names, hear, false, "get");
    remote->SetParameter(location, hear, false, "set");
    remote->SendExecCommand("/x", "echo", std::string("a"), "",
                            [&heard](const std::string&, const std::string&, bool success, const std::string& result,
                                     const std::string&) { heard.push_back(std::to_string(success) + result); });
    ASSERT_TRUE(Run([&] { return heard.size() == 3; }));
    remote->GetParameter(names, hear, false, "after");
    ASSERT_TRUE(Run([&] { return heard.size() == 4; }));
    const std::string failed = R"({"error":"Authentication Failed","path":"/configuration/device/)";
    EXPECT_EQ(heard, (std::vector<std::string>{"[" + failed + R"(location"},)" + failed + R"(name"}])",
                                               "[" + failed + R"(location"}])", "0Authentication Failed",
                                               "[" + failed + R"(location"},)" + failed + R"(name"}])"}));

    // Past the wait the failed address serves before its next proof is checked.
    deviceService->SetAuthenticationClock([] { return std::chrono::steady_clock::now() + 1min; });
    remote->SetVerificationCode("door-code");
    AuthenticateInfo info;
    info.code = remote->GetVerificationCode();
    remote->Authenticate(info, nullptr);
    ASSERT_TRUE(Run([&] { return Proven(remote->GetHandle()); }));
    remote->GetParameter(names, hear, false, "proven");
    ASSERT_TRUE(Run([&] { return heard.size() == 5; }));
    EXPECT_NE(heard[4].find(R"("value":"stage-left-amp")"), std::string::npos) << heard[4];
}

// While guessers keep the device's bound on failed proofs spent, the controller's proof is
// refused unchecked. The controller neither gives up nor spins: it proves the code again
// once a keep-alive interval on, and gets in once the bound refills. (Both clocks are the
// test's; each guess comes from a loopback address of its own, as a source waits after
// its own failure.)
TEST_F(ControllerSecurity, AProofRefusedUncheckedIsMadeAgainAndGetsInOnceTheBoundRefills) {
    std::atomic<long> deviceSeconds{0};
    std::atomic<long> controllerSeconds{0};
    deviceService->SetAuthenticationClock(
        [&] { return std::chrono::steady_clock::time_point(std::chrono::seconds(deviceSeconds.load())); });
    controller.service->SetClock([&] { return static_cast<std::int64_t>(controllerSeconds.load()); });
    device.Start();
    int guessers = 0;
    const auto guess = [&]() -> std::string {
        RawPeer guesser;
        guesser.Socket().open(boost::asio::ip::tcp::v4());
        guesser.Socket().bind({make_address("127.0.0." + std::to_string(10 + guessers++)), 0});
        if (!device.Connect(guesser)) {
            return "not connected";
        }
        guesser.Send("starttls\n");
        if (guesser.ReadLine() != "@starttls {}\n" || !guesser.StartTls()) {
            return "not secured";
        }
        guesser.Send("authenticate {\"code\":\"" + ProofOf("0000", RandomBytes(32)) + "\"}\n");
        return guesser.ReadLine();
    };
    const auto refusal = [](const char* text) { return std::string("@authenticate {\"error\":\"") + text + "\"}\n"; };
    for (int attempt = 0; attempt < 10; ++attempt) {
        ASSERT_EQ(guess(), refusal("Authentication Failed")) << attempt;
    }
    ASSERT_EQ(guess(), refusal("Too many failed attempts"));
    const std::string refused = "ZK20CEW authenticate refused unchecked while failed proofs are over the node's bound";
    const std::size_t before = log.Count(refused);

    // The controller took a refusal (and set its next proof a keep-alive interval on): its
    // clock may move only then, or the next proof would be set from the moved clock.
    std::atomic<int> refusalsHeard{0};
    controller.service->OnAuthenticate([&](AuthenticateInfo& info) {
        refusalsHeard += info.error == "Too many failed attempts" ? 1 : 0;
        return true;
    });
    auto remote = Remote(false, {Port()});
    remote->SetVerificationCode("door-code");
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return log.Count(refused) == before + 1 && refusalsHeard == 1; }));
    const auto socket = remote->GetHandle();
    ASSERT_TRUE(socket);
    EXPECT_FALSE(socket->IsProvenToPeer());
    // Not before the interval: the controller's clock has not moved.
    ASSERT_TRUE(Run([&] {
        controller.service->OnTimer();
        return true;
    }));
    EXPECT_EQ(log.Count(refused), before + 1);
    controllerSeconds += static_cast<long>(controller.service->KeepAliveDiscoIntervalSeconds());
    ASSERT_TRUE(Run([&] {
        controller.service->OnTimer();
        return log.Count(refused) == before + 2 && refusalsHeard == 2;
    }));
    EXPECT_FALSE(socket->IsProvenToPeer());

    // One second: one failure more may be checked, and the controller's proof takes it.
    deviceSeconds += 1;
    controllerSeconds += static_cast<long>(controller.service->KeepAliveDiscoIntervalSeconds());
    ASSERT_TRUE(Run([&] {
        controller.service->OnTimer();
        return Proven(socket);
    }));
    EXPECT_EQ(log.Count(refused), before + 2);
}

// A device that cannot secure the connection answers "not provisioned": the connection
// goes on in plain text and is kept alive.
TEST_F(ControllerSecurity, ARefusedStartTlsGoesOnInPlainText) {
    device.tlsProvisioned = false;
    device.Start();
    auto remote = Remote(false, {Port()});
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return log.Contains("@starttls {\"error\":\"not provisioned\"}"); }));
    ASSERT_TRUE(Run([&] { return log.Contains(kAnswered); }));
    ASSERT_TRUE(remote->GetHandle());
    EXPECT_EQ(remote->GetHandle()->GetState(), TcpSocket::Plain);
    EXPECT_EQ(remote->GetCurrentState(), Zelkor::DeviceNetStateConnected);
}

// A device that answers "@starttls" and then never shakes hands does not hold this
// node's connection to it for ever: the timer closes it once the bound has passed.
TEST_F(ControllerSecurity, AHandshakeTheDeviceStallsIsClosedInTime) {
    using boost::asio::ip::tcp;
    boost::asio::io_context rawIo;
    tcp::acceptor acceptor(rawIo, tcp::endpoint(make_address("127.0.0.1"), 0));
    tcp::socket held(rawIo);
    std::thread stalling([&] {
        boost::system::error_code error;
        acceptor.accept(held, error);
        boost::asio::streambuf in;
        std::string line;
        while (!error && line.rfind("starttls", 0) != 0) {
            boost::asio::read_until(held, in, '\n', error);
            std::istream text(&in);
            std::getline(text, line);
        }
        boost::asio::write(held, boost::asio::buffer(std::string("@starttls {}\n")), error);
    });
    auto remote = Remote(false, {acceptor.local_endpoint().port()});
    const auto started = std::chrono::steady_clock::now();
    remote->Connect(false);
    const auto handshaking = [&] {
        const auto sockets = remote->Connections();
        return !sockets.empty() && sockets[0]->GetState() == TcpSocket::Handshaking;
    };
    EXPECT_TRUE(Run(handshaking));
    stalling.join();
    const auto bound = std::chrono::milliseconds(Zelkor::DiscoveryService::HandshakeBound);
    EXPECT_TRUE(RunUntil(
        controller.io,
        [&] {
            controller.service->OnTimer();
            return log.Contains("ZK20CAI Closing a connection whose TLS handshake did not finish in time");
        },
        bound * 6));
    EXPECT_GE(std::chrono::steady_clock::now() - started, bound);
    EXPECT_TRUE(Run([&] { return !handshaking(); }));
}

// A request made as the connection comes up, or while its "starttls" awaits the answer,
// waits for the secured stream: a stray reply lets it out in clear text no more than the
// answer does, and when the handshake then fails it hears "connection lost" as the
// connection ends.
TEST_F(ControllerSecurity, ARequestWaitingForAHandshakeThatFailsIsNeitherSentInClearNorLost) {
    using boost::asio::ip::tcp;
    boost::asio::io_context rawIo;
    tcp::acceptor acceptor(rawIo, tcp::endpoint(make_address("127.0.0.1"), 0));
    tcp::socket peer(rawIo);
    std::atomic<bool> asked{false};
    std::atomic<bool> requested{false};
    // What the controller sent in clear text, and the first bytes of its handshake.
    std::string sent;
    std::thread device([&] {
        boost::system::error_code error;
        acceptor.accept(peer, error);
        boost::asio::streambuf in;
        std::string line;
        while (!error && line.rfind("starttls", 0) != 0) {
            boost::asio::read_until(peer, in, '\n', error);
            std::istream text(&in);
            std::getline(text, line);
            sent += line + "\n";
        }
        sent.append(boost::asio::buffers_begin(in.data()), boost::asio::buffers_end(in.data()));
        asked = true;
        while (!requested && !error) {
            std::this_thread::yield();
        }
        boost::asio::write(peer, boost::asio::buffer(std::string("@set {}\n@starttls {}\n")), error);
        // Everything the controller sends from here until it closes; its first bytes are
        // answered with no handshake.
        std::array<char, 4096> chunk;
        bool refused = false;
        while (!error) {
            const std::size_t got = peer.read_some(boost::asio::buffer(chunk), error);
            if (!refused && got > 0) {
                refused = true;
                boost::asio::write(peer, boost::asio::buffer(std::string("not a handshake\n")), error);
            }
            sent.append(chunk.data(), got);
        }
    });
    std::vector<std::string> heard;
    const auto hear = [&heard](const Zelkor::ObjectParamContainer& reply) { heard.push_back(reply.ToJsonText()); };
    Zelkor::ObjectParamContainer names;
    names.FromJsonText(R"([{"path":"/configuration/device/name"}])");
    auto remote = Remote(false, {acceptor.local_endpoint().port()});
    remote->OnSubscribe(hear);
    // As an application does on hearing that its device is connected.
    DeviceImpl* subscriber = remote.get();
    remote->SetStateCallback([&names, subscriber](Zelkor::DeviceNetState now, Zelkor::DeviceNetState) {
        if (now == Zelkor::DeviceNetStateConnected) {
            subscriber->Subscribe(names);
        }
    });
    remote->Connect(false);
    ASSERT_TRUE(Run([&] { return asked.load(); }));
    remote->GetParameter(names, hear, false, "get");
    requested = true;
    EXPECT_TRUE(Run([&] { return heard.size() == 2; }));
    device.join();
    EXPECT_EQ(sent.find("subscribe"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("get"), std::string::npos) << sent;
    ASSERT_EQ(heard.size(), 2u);
    for (const auto& answer : heard) {
        EXPECT_NE(answer.find("connection lost"), std::string::npos) << answer;
    }
}

}  // namespace
}  // namespace ZelkorTest
