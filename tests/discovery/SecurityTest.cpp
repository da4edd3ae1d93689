// Peer security on the device's side: the bodies of "authenticate",
// "setverificationcode" and "starttls"; the authentication code against a computation
// made without the library; and, over real connections with a raw TLS peer, the proof,
// its replay, the bound on guessing it, the authorisation it unlocks, the verification
// codes and start-TLS.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>

#include <boost/asio/ip/tcp.hpp>

#include "core/ZelkorLog.h"
#include "discovery/AuthenticationCode.h"
#include "discovery/DiscoveryTestSupport.h"
#include "discovery/SecurityTestSupport.h"
#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"
#include "support/TlsMaterial.h"

namespace ZelkorTest {
namespace {

using Zelkor::Param;
using Zelkor::TcpSocket;
namespace Code = Zelkor::AuthenticationCode;

const std::string kFailed = "@authenticate {\"error\":\"Authentication Failed\"}\n";
const std::string kProven = "@authenticate {}\n";
const std::string kWaiting = "@authenticate {\"error\":\"Too many failed attempts\"}\n";

std::string ErrorReply(const std::string& word, const std::string& error) {
    return "@" + word + (error.empty() ? " {}\n" : " {\"error\":\"" + error + "\"}\n");
}

TEST(SecurityMessages, BodiesAsWrittenAndRead) {
    LogCapture log;  // the refused body is logged
    Zelkor::Authenticate authenticate;
    AuthenticateInfo info;
    info.code = "code";  // its own name: unset
    authenticate.SetParams(info);
    EXPECT_EQ(authenticate.Build(true), "authenticate {}\n");
    info.code = "[1, 2]";
    authenticate.SetParams(info);
    authenticate.SetJsonParameter(Param::error, Json::Value("Authentication Failed"));
    EXPECT_EQ(authenticate.Build(false), "@authenticate {\"code\":\"[1, 2]\",\"error\":\"Authentication Failed\"}\n");
    // Only non-empty strings are taken, and as text: a bracket is no structure.
    Zelkor::Authenticate parsed;
    std::string error;
    ASSERT_TRUE(parsed.FromNetworkFormat(true, R"(authenticate {"code":5,"error":""})", error));
    EXPECT_EQ(parsed.Build(true), "authenticate {}\n");
    ASSERT_TRUE(parsed.FromNetworkFormat(true, R"(authenticate {"code":"[[[1]]]"})", error));
    EXPECT_STREQ(parsed.GetParameter(Param::code), "[[[1]]]");
    EXPECT_FALSE(parsed.FromNetworkFormat(true, R"(authenticate {"code":)", error));

    Zelkor::SetVerificationCode set;
    SetVerificationCodeInfo codes;
    codes.current = "YQ==";
    set.SetParams(codes);
    EXPECT_EQ(set.Build(true), "setverificationcode {\"current\":\"YQ==\",\"new\":null}\n");
    EXPECT_EQ(set.Build(false), "@setverificationcode {}\n");
    ASSERT_TRUE(set.FromNetworkFormat(true, R"(setverificationcode {"new":"Yg==","error":7})", error));
    EXPECT_EQ(set.Build(true), "setverificationcode {\"current\":\"YQ==\",\"new\":\"Yg==\"}\n");
    ASSERT_TRUE(set.FromNetworkFormat(false, R"(@setverificationcode {"error":"Missing new code"})", error));
    EXPECT_EQ(set.Build(false), "@setverificationcode {\"error\":\"Missing new code\"}\n");

    Zelkor::StartTLS start;
    EXPECT_EQ(start.Build(true), "starttls {}\n");
    ASSERT_TRUE(start.FromNetworkFormat(false, R"(@starttls {"error":"not provisioned"})", error));
    EXPECT_EQ(start.Build(false), "@starttls {\"error\":\"not provisioned\"}\n");
}

TEST(AuthenticationCode, AgreesWithAnIndependentComputation) {
    const std::string nonce = RandomBytes(32);
    const std::string key = Sha256("Kasdor" + nonce);
    EXPECT_EQ(Code::Compose("door", nonce), ProofOf("door", nonce));
    Code::Check check = Code::Verify(ProofOf("door", nonce), "door");
    EXPECT_TRUE(check.verdict == Code::Verdict::Proven && check.kasdor && check.nonce == nonce);
    check = Code::Verify(ProofOf("door", nonce, RandomBytes(32)), "door");
    EXPECT_TRUE(check.verdict == Code::Verdict::Proven && !check.kasdor);
    // Every byte of the proof counts, the last one too.
    std::string block = Sha256("door" + key + nonce) + key + nonce;
    block[31] = static_cast<char>(block[31] ^ 1);
    EXPECT_EQ(Code::Verify(ToBase64(block), "door").verdict, Code::Verdict::WrongProof);

    const std::pair<const char*, bool> texts[] = {{"", true},      {"YQ==", true},  {"YWI=", true},
                                                  {"Y===", false}, {"YQ=", false},  {"Y=Q=", false},
                                                  {"YQ==YQ==", false}, {"YW J", false}};
    for (const auto& [text, valid] : texts) {
        EXPECT_EQ(Code::IsBase64(text), valid) << text;
    }
    EXPECT_FALSE(Code::SameSecret("door", "doors"));

    Zelkor::NonceMemory nonces;
    EXPECT_EQ(nonces.Capacity(), 4096u);
    nonces.SetCapacity(2);
    EXPECT_TRUE(nonces.Remember("a") && nonces.Remember("b") && !nonces.Remember("a"));
    EXPECT_TRUE(nonces.Remember("c"));  // "a" goes
    EXPECT_TRUE(nonces.Remember("a"));
    EXPECT_FALSE(nonces.Remember("c"));
}

// A node with the real discovery service behind a TLS-provisioned listener on loopback,
// whose verification code the test keeps.
class DeviceSecurity : public ::testing::Test {
protected:
    DeviceSecurity() {
        LoadTlsMaterial(harness.driver->GetSSLContext());
        harness.driver->InitDiscovery(std::make_shared<Zelkor::JsonModel>(SampleTree()));
        service = harness.driver->GetDiscovery();
        service->OnVerificationCode(keeper.Callback());
        service->SetAuthenticationClock([this] { return std::chrono::steady_clock::time_point(seconds.load() * 1s); });
        harness.tlsProvisioned = true;
    }

    // Past any wait of an address whose authentication failed.
    void Later() { seconds += 61; }

    // Connected, then secured at the peer's "starttls".
    std::shared_ptr<TcpSocket> Secured(RawPeer& peer) {
        auto socket = harness.Connect(peer);
        if (!socket) {
            return nullptr;
        }
        peer.Send("starttls\n");
        if (peer.ReadLine() != "@starttls {}\n" || !peer.StartTls()) {
            return nullptr;
        }
        return WaitUntil([&] { return socket->GetState() == TcpSocket::Tls; }) ? socket : nullptr;
    }
    static std::string Send(RawPeer& peer, const std::string& line) {
        peer.Send(line + "\n");
        return peer.ReadLine();
    }
    static std::string Prove(RawPeer& peer, const std::string& code) {
        return Send(peer, "authenticate {\"code\":\"" + code + "\"}");
    }
    // The flag is write-only through the storage's reads: taken from the tree itself.
    Json::Value StoredFlag() {
        std::ostringstream tree;
        service->GetStorageModel()->Stream(tree);
        return Body(tree.str())["configuration"]["device"]["authenticate"][".value"];
    }

    TempDir folder;
    ScopedChdir inFolder{folder.Path()};
    LogCapture log;
    CodeKeeper keeper{"door-code"};
    DriverHarness harness;
    Zelkor::DiscoveryService* service = nullptr;
    // The clock of those waits, in seconds, moved by the test.
    std::atomic<long> seconds{0};
};

TEST_F(DeviceSecurity, TheProofAgainstAnIndependentComputation) {
    harness.Start();
    const std::string code = keeper.Code();
    const std::string prefixed = ProofOf(code, RandomBytes(32));
    RawPeer first;
    const auto kasdor = Secured(first);
    ASSERT_TRUE(kasdor);
    EXPECT_EQ(Prove(first, prefixed), kProven);
    EXPECT_TRUE(kasdor->IsKasdorAuthenticated());
    EXPECT_TRUE(log.Contains("ZK2028I Kasdor authentication ok from (127.0.0.1:" + std::to_string(kasdor->GetRemotePort()) + ")"));

    // The same line on another connection is a replay; a fresh proof without the prefix's
    // key digest authenticates that connection without the privileges.
    RawPeer second;
    const auto plainKey = Secured(second);
    ASSERT_TRUE(plainKey);
    EXPECT_EQ(Prove(second, prefixed), kFailed);
    EXPECT_FALSE(plainKey->IsAuthenticated());
    EXPECT_TRUE(log.Contains("ZK20C2W Replayed authentication code from"));
    Later();
    EXPECT_EQ(Prove(second, ProofOf(code, RandomBytes(32), RandomBytes(32))), kProven);
    EXPECT_TRUE(plainKey->IsAuthenticated());
    EXPECT_FALSE(plainKey->IsKasdorAuthenticated());
    EXPECT_TRUE(log.Contains("ZK2029I Authenticate ok from (127.0.0.1:" + std::to_string(plainKey->GetRemotePort())));

    // What is not a proof fails, and a failure leaves the connection's flags as they were;
    // the fifth closes the connection once its answer is out.
    RawPeer third;
    const auto failing = Secured(third);
    ASSERT_TRUE(failing);
    const std::string nonce = RandomBytes(32);
    std::string longCode = ProofOf(code, nonce);
    longCode.append(1u << 20, 'A');
    for (const std::string& text : {ToBase64(RandomBytes(95)), ToBase64(RandomBytes(97)), longCode,
                                    ProofOf("another", nonce), std::string(1u << 20, 'A')}) {
        Later();
        EXPECT_EQ(Prove(third, text), kFailed) << text.size();
    }
    EXPECT_FALSE(failing->IsAuthenticated());
    EXPECT_TRUE(third.WaitClosed());
    RawPeer fourth;
    const auto next = Secured(fourth);
    ASSERT_TRUE(next);
    Later();
    EXPECT_EQ(Send(fourth, "authenticate {}"), kFailed);
    Later();
    EXPECT_EQ(Prove(first, ProofOf("another", nonce)), kFailed);
    EXPECT_TRUE(kasdor->IsKasdorAuthenticated());

    // Through a router the connection is shared: refusals of routed proofs close it only
    // after many more.
    for (int attempt = 0; attempt < 6; ++attempt) {
        Later();
        EXPECT_EQ(Send(fourth, "[stage-left-amp][R&A] authenticate {\"code\":\"" + ToBase64(RandomBytes(96)) + "\"}"),
                  "[R&A][stage-left-amp] @authenticate {\"error\":\"Authentication Failed\"}\n");
    }

    // Without a code held, the proof is over the key digest and the nonce alone; the node
    // that took all of the above still answers.
    RawPeer fifth;
    const auto last = Secured(fifth);
    ASSERT_TRUE(last);
    keeper.SetCode("");
    Later();
    EXPECT_EQ(Prove(fifth, ProofOf("", RandomBytes(32))), kProven);
    EXPECT_TRUE(last->IsKasdorAuthenticated());
}

// A "setverificationcode" line: each code Base64-encoded, left out when null, or taken
// as it stands when it begins with "=".
std::string Codes(const char* current, const char* next) {
    std::string body;
    for (const auto& [name, value] : {std::pair<const char*, const char*>{"current", current}, {"new", next}}) {
        if (value) {
            body += std::string(body.empty() ? "" : ",") + "\"" + name + "\":" +
                    (value[0] == '=' ? std::string(value + 1) : "\"" + ToBase64(value) + "\"");
        }
    }
    return "setverificationcode {" + body + "}";
}

TEST_F(DeviceSecurity, VerificationCodesAreSetChangedAndRemovedOverTlsOnly) {
    keeper.SetCode("");
    harness.Start();
    RawPeer plain, peer;
    ASSERT_TRUE(harness.Connect(plain));
    const auto reply = [](const std::string& error) { return ErrorReply("setverificationcode", error); };
    EXPECT_EQ(Send(plain, Codes(nullptr, "first")), reply("Encrypted connection required"));
    EXPECT_TRUE(log.Contains("ZK2096W setverificationcode received on non-encrypted connection from (127.0.0.1:"));
    ASSERT_TRUE(Secured(peer));
    // A store the application refuses is no code: neither answered as one nor flagged.
    keeper.refuse = true;
    EXPECT_EQ(Send(peer, Codes(nullptr, "first")), reply("Verification code not stored"));
    EXPECT_EQ(StoredFlag(), Json::Value("0000"));
    keeper.refuse = false;

    const struct {
        const char* current;
        const char* next;
        const char* error;
        const char* code;
    } steps[] = {
        {nullptr, nullptr, "Missing new code", ""},
        {nullptr, "=\"Zmly c3Q=\"", "New code not base64", ""},
        {nullptr, "first", "", "first"},
        {nullptr, "second", "Missing current code", "first"},
        {"=\"Zmlyc3Q\"", "second", "Current code not base64", "first"},
        {"firsT", "second", "Authentication Failed", "first"},
        {"first", "=\"c2Vj*25k\"", "New code not base64", "first"},
        {"first", "second", "", "second"},
        {"second", "=null", "", ""},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(Send(peer, Codes(step.current, step.next)), reply(step.error)) << step.error;
        EXPECT_EQ(keeper.Code(), step.code);
        EXPECT_EQ(service->HasVerificationCode(), step.code[0] != '\0');
    }
    EXPECT_EQ(StoredFlag(), Json::Value(true));
    EXPECT_TRUE(log.Contains("ZK2086I SetVerificationCode ok from (127.0.0.1:"));
    EXPECT_TRUE(log.Contains("ZK2087I SetVerificationCode ok from (127.0.0.1:"));
    // Without the application's callback the node keeps no code: nothing to answer as set.
    service->OnVerificationCode(nullptr);
    EXPECT_EQ(Send(peer, Codes(nullptr, "first")), reply("Verification code not stored"));
}

TEST_F(DeviceSecurity, StartTlsIsRefusedWhereItCannotOrMayNotRun) {
    std::atomic<bool> accept{false};
    std::atomic<int> asked{0};
    service->OnStartTLS([&](StartTLSInfo& info) {
        asked += info.request ? 1 : 100;
        return accept.load();
    });
    harness.Start();
    RawPeer refused;
    const auto plain = harness.Connect(refused);
    ASSERT_TRUE(plain);
    EXPECT_EQ(Send(refused, "starttls"), ErrorReply("starttls", "not accepted"));
    // Still plain and serving; asked again and accepted, it is secured.
    EXPECT_EQ(Send(refused, "authenticate"), kFailed);
    accept = true;
    EXPECT_EQ(Send(refused, "starttls"), "@starttls {}\n");
    ASSERT_TRUE(refused.StartTls());
    ASSERT_TRUE(WaitUntil([&] { return plain->GetState() == TcpSocket::Tls; }));
    EXPECT_EQ(asked.load(), 2);

    RawPeer unprovisioned;
    const auto bare = harness.Connect(unprovisioned);
    ASSERT_TRUE(bare);
    harness.OnLoop([&] { bare->SetTlsProvisioned(false); });
    EXPECT_EQ(Send(unprovisioned, "starttls"), ErrorReply("starttls", "not provisioned"));
    EXPECT_EQ(bare->GetState(), TcpSocket::Plain);
    Later();
    EXPECT_EQ(Send(unprovisioned, "authenticate"), kFailed);

    // On a secured connection neither a second "starttls" nor a "@starttls" of either kind
    // touches the stream: it keeps carrying lines.
    EXPECT_EQ(Send(refused, "starttls"), ErrorReply("starttls", "not accepted"));
    refused.Send("@starttls {\"error\":\"not accepted\"}\n@starttls {}\n");
    Later();
    EXPECT_EQ(Prove(refused, ProofOf(keeper.Code(), RandomBytes(32))), kProven);
    EXPECT_EQ(plain->GetState(), TcpSocket::Tls);
}

// Only a connection whose "starttls" waits for it takes the answer: one the node
// accepted stays plain and keeps serving.
TEST_F(DeviceSecurity, AnUnaskedStartTlsAnswerStartsNoHandshake) {
    ZelkorLog::TheLog().SetLevel(5);
    harness.Start();
    RawPeer peer;
    const auto accepted = harness.Connect(peer);
    ASSERT_TRUE(accepted);
    peer.Send("@starttls {}\n");
    EXPECT_EQ(Send(peer, "authenticate"), kFailed);
    EXPECT_EQ(accepted->GetState(), TcpSocket::Plain);
    EXPECT_FALSE(accepted->IsClient());
    EXPECT_TRUE(
        log.Contains("ZK20C9I starttls reply ignored on a connection that did not ask for it, from (127.0.0.1:"));
}

// A peer in namespace b, from the given source address when one is given.
void OpenIn(const VethPair& pair, RawPeer& peer, const char* source = nullptr) {
    ASSERT_TRUE(pair.b.Run([&] {
        peer.Socket().open(boost::asio::ip::tcp::v4());
        if (source) {
            peer.Socket().bind({boost::asio::ip::make_address(source), 0});
        }
    }));
}

// A four-digit code guessed from one address, each connection used until it is closed:
// every connection answers five guesses and closes, and the address waits longer after
// each guess that is checked, so a thousand attempts do not find it. A guess refused
// unchecked is made again.
TEST_F(DeviceSecurity, GuessingAFourDigitCodeIsBoundedOverAVethPair) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    keeper.SetCode("0042");
    service->SetAuthenticationClock(nullptr);
    harness.Start(VethPair::AddressA, [&](const std::function<void()>& bind) { pair.a.Run(bind); });
    const auto end = std::chrono::steady_clock::now() + 6s;
    int attempts = 0;
    int guess = 0;
    int refused = 0;
    bool found = false;
    while (!found && attempts < 1000 && std::chrono::steady_clock::now() < end) {
        RawPeer peer;
        OpenIn(pair, peer);
        ASSERT_TRUE(Secured(peer));
        int answered = 0;
        while (!found && attempts < 1000) {
            char digits[8];
            std::snprintf(digits, sizeof digits, "%04d", guess);
            const std::string reply = Prove(peer, ProofOf(digits, RandomBytes(32)));
            if (reply.empty()) {
                break;
            }
            ++attempts;
            ++answered;
            found = reply == kProven;
            refused += reply == kWaiting;
            if (reply == kFailed) {
                ++guess;
            }
            ASSERT_TRUE(found || reply == kWaiting || reply == kFailed) << reply;
        }
        if (!found) {
            EXPECT_EQ(answered, 5);
            EXPECT_TRUE(peer.WaitClosed());
        }
    }
    EXPECT_FALSE(found) << "found after " << attempts << " attempts";
    EXPECT_GT(refused, 0);
    EXPECT_TRUE(log.Contains(
        "ZK20C7W authenticate refused unchecked while its address waits after a failure, from (10.77.0.2:"));
    EXPECT_TRUE(log.Contains("ZK20C8W Closing the connection after 5 failed authentications from (10.77.0.2:"));
}

// Peers that share the guesser's address wait with it, the right code unchecked; one from
// a clean address is authenticated at once; a success clears the address's wait.
TEST_F(DeviceSecurity, AFailedAddressWaitsAndACleanOneDoesNot) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    ASSERT_TRUE(pair.b.Ip("addr add 10.77.0.3/24 dev " + pair.b1));
    harness.Start(VethPair::AddressA, [&](const std::function<void()>& bind) { pair.a.Run(bind); });
    RawPeer guesser, neighbour, clean;
    OpenIn(pair, guesser);
    OpenIn(pair, neighbour);
    OpenIn(pair, clean, "10.77.0.3");
    ASSERT_TRUE(Secured(guesser) && Secured(neighbour));
    const auto cleanSocket = Secured(clean);
    ASSERT_TRUE(cleanSocket);
    const auto right = [&] { return ProofOf(keeper.Code(), RandomBytes(32)); };
    const std::string wrong = ProofOf("0000", RandomBytes(32));

    EXPECT_EQ(Prove(guesser, wrong), kFailed);
    EXPECT_EQ(Prove(neighbour, right()), kWaiting);
    EXPECT_EQ(Prove(clean, right()), kProven);
    EXPECT_TRUE(cleanSocket->IsKasdorAuthenticated());

    // Once the first wait is over the address is checked again; after its success a
    // failure waits the first wait, not twice it.
    seconds += 1;
    EXPECT_EQ(Prove(neighbour, right()), kProven);
    EXPECT_EQ(Prove(guesser, ProofOf("0001", RandomBytes(32))), kFailed);
    seconds += 1;
    EXPECT_EQ(Prove(guesser, right()), kProven);
}

// Authorisation needs a peer that is not on loopback: a veth pair between two namespaces.
TEST_F(DeviceSecurity, TheProofUnlocksRequestsOverAVethPair) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    harness.Start(VethPair::AddressA, [&](const std::function<void()>& bind) { pair.a.Run(bind); });
    RawPeer plain, secured, prefixed;
    for (RawPeer* peer : {&plain, &secured, &prefixed}) {
        ASSERT_TRUE(pair.b.Run([&] { peer->Socket().open(boost::asio::ip::tcp::v4()); }));
    }
    const auto refusedWith = [](const std::string& line, const char* error) {
        return line.find(error) != std::string::npos;
    };
    // A plain connection may request anything, code or not.
    ASSERT_TRUE(harness.Connect(plain));
    const std::string any = Send(plain, "reboot {}");
    EXPECT_EQ(any.rfind("@reboot ", 0), 0u) << any;
    EXPECT_FALSE(refusedWith(any, "Not authenticated") || refusedWith(any, "Command not permitted")) << any;

    ASSERT_TRUE(Secured(secured));
    EXPECT_EQ(Send(secured, "ls"), ErrorReply("ls", "Not authenticated"));
    EXPECT_EQ(Send(secured, "reboot {}"), ErrorReply("reboot", "Not authenticated"));
    EXPECT_EQ(Prove(secured, ProofOf(keeper.Code(), RandomBytes(32), RandomBytes(32))), kProven);
    const std::string listed = Send(secured, "get");
    EXPECT_FALSE(refusedWith(listed, "Not authenticated") || refusedWith(listed, "Command not permitted")) << listed;
    EXPECT_EQ(Send(secured, "reboot {}"), ErrorReply("reboot", "Command not permitted"));

    ASSERT_TRUE(Secured(prefixed));
    EXPECT_EQ(Prove(prefixed, ProofOf(keeper.Code(), RandomBytes(32))), kProven);
    const std::string reboot = Send(prefixed, "reboot {}");
    EXPECT_EQ(reboot.rfind("@reboot ", 0), 0u) << reboot;
    EXPECT_FALSE(refusedWith(reboot, "Command not permitted")) << reboot;
}

}  // namespace
}  // namespace ZelkorTest
