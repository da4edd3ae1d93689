// Who may request what: the authorisation rows over a real non-loopback connection (a
// veth pair between two namespaces, root only), the loopback row, and the secured
// stream that an "@error" must not undo.

#include <gtest/gtest.h>

#include "support/DriverHarness.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/RunUntil.h"
#include "support/TlsMaterial.h"

namespace ZelkorTest {
namespace {

using Zelkor::TcpSocket;

const char* const kAllowed = "No message signal data";

std::string Reply(const std::string& word, const std::string& error) {
    return "@" + word + " {\"error\":\"" + error + "\"}\n";
}

class Authorisation : public ::testing::Test {
protected:
    Authorisation() { LoadTlsMaterial(harness.driver->GetSSLContext()); }

    // The driver's side becomes the TLS server, the peer the client. The handshake starts
    // on the loop before the peer's hello can reach the connection's plain read.
    bool Secure(const std::shared_ptr<TcpSocket>& socket, RawPeer& peer) {
        harness.OnLoop([&] {
            socket->SetClient(false);
            socket->Handshake();
        });
        return peer.StartTls() && WaitUntil([&] { return socket->GetState() == TcpSocket::Tls; });
    }

    LogCapture log;
    DriverHarness harness;
};

TEST_F(Authorisation, RowsOverANonLoopbackConnection) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    harness.Start(VethPair::AddressA, [&](const std::function<void()>& bind) { pair.a.Run(bind); });
    harness.discovery->hasCode = true;
    RawPeer plain, secured;
    for (RawPeer* peer : {&plain, &secured}) {
        ASSERT_TRUE(pair.b.Run([&] { peer->Socket().open(boost::asio::ip::tcp::v4()); }));
    }
    ASSERT_TRUE(harness.Connect(plain));
    // A plain connection may request anything, code or not.
    plain.Send("reboot\n");
    EXPECT_EQ(plain.ReadLine(), Reply("reboot", kAllowed));

    auto socket = harness.Connect(secured);
    ASSERT_TRUE(socket);
    ASSERT_TRUE(Secure(socket, secured));
    struct Row {
        bool code;
        bool authenticated;
        bool kasdor;
        const char* word;
        const char* error;
    };
    const Row rows[] = {
        {false, false, false, "reboot", kAllowed},
        {true, false, true, "reboot", kAllowed},
        {true, true, false, "getdevicestate", kAllowed},
        {true, true, false, "reboot", "Command not permitted"},
        {true, false, false, "authenticate", kAllowed},
        {true, false, false, "get", "Not authenticated"},
    };
    for (const auto& row : rows) {
        harness.discovery->hasCode = row.code;
        socket->IsAuthenticated(row.authenticated);
        socket->IsKasdorAuthenticated(row.kasdor);
        secured.Send(std::string(row.word) + "\n");
        EXPECT_EQ(secured.ReadLine(), Reply(row.word, row.error)) << row.word << " " << row.authenticated;
    }
    // On a connection this node opened, the device it connected to never authenticates:
    // its notices pass, its other requests do not.
    harness.discovery->hasCode = true;
    socket->IsAuthenticated(false);
    for (const bool opened : {true, false}) {
        socket->SetOutgoing(opened);
        for (const char* word : {"publish", "log", "event", "fwupdate", "set"}) {
            const bool notice = opened && std::string(word) != "set";
            secured.Send(std::string(word) + " {\"path\":\"/a\"}\n");
            const std::string line = secured.ReadLine();
            EXPECT_EQ(line.find("Not authenticated") == std::string::npos, notice) << word << " " << line;
        }
    }
    // Nor does it prove the code before its keep-alive, which it sends as soon as the
    // connection is secured: that is answered there, and only there.
    socket->SetOutgoing(false);
    secured.Send("disco\n");
    EXPECT_EQ(secured.ReadLine(), Reply("disco", "Not authenticated"));
    socket->SetOutgoing(true);
    secured.Send("disco\nset\n");
    EXPECT_EQ(secured.ReadLine(), Reply("set", "Not authenticated"));
    EXPECT_EQ(harness.discovery->Count("SendDiscoReply"), 1u);
}

TEST_F(Authorisation, LoopbackNeedsNoCodeAndAnErrorReplyKeepsTheStreamSecured) {
    harness.Start();
    harness.discovery->hasCode = true;
    RawPeer peer;
    auto socket = harness.Connect(peer);
    ASSERT_TRUE(socket);
    ASSERT_TRUE(Secure(socket, peer));
    peer.Send("getdevicestate\n");
    EXPECT_EQ(peer.ReadLine(), Reply("getdevicestate", kAllowed));
    peer.Send("@error {\"message\":\"no\"}\n@unrecognized\nfrob\n");
    EXPECT_EQ(peer.ReadLine(), "@frob \n");
    EXPECT_EQ(socket->GetState(), TcpSocket::Tls);
}

// A request on its way to a node beyond this one, and a repeat of a hashed request, meet
// the same table as any request: what the peer may not ask here it may not ask through
// here, and a refused line neither takes nor leaves a recorded reply.
TEST_F(Authorisation, ForwardedAndRepeatedRequestsMeetTheSameTable) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    harness.discovery->answerAtOnce = true;
    harness.Start(VethPair::AddressA, [&](const std::function<void()>& bind) { pair.a.Run(bind); });
    harness.discovery->hasCode = true;
    RawPeer device, trusted, stranger;
    for (RawPeer* peer : {&device, &trusted, &stranger}) {
        ASSERT_TRUE(pair.b.Run([&] { peer->Socket().open(boost::asio::ip::tcp::v4()); }));
    }
    auto toDevice = harness.Connect(device);
    ASSERT_TRUE(toDevice);
    harness.discovery->AddDevice("B", toDevice);
    auto trustedSocket = harness.Connect(trusted);
    auto strangerSocket = harness.Connect(stranger);
    ASSERT_TRUE(trustedSocket && strangerSocket);
    ASSERT_TRUE(Secure(trustedSocket, trusted));
    ASSERT_TRUE(Secure(strangerSocket, stranger));
    trustedSocket->IsKasdorAuthenticated(true);

    stranger.Send("[R&B][S] set {\"path\":\"/a\"}\n");
    EXPECT_EQ(stranger.ReadLine(), "[S][R&B] @set {\"error\":\"Not authenticated\"}\n");
    trusted.Send("[R&B][T] set {\"path\":\"/a\"}\n");
    // The device's first line is the trusted one's: the stranger's never went on.
    EXPECT_EQ(device.ReadLine(), "[B][R&T] set {\"path\":\"/a\"}\n");

    // The stranger repeats the trusted peer's hashed line: refused, not replayed.
    const std::string asked = "5-ab12 identify {\"q\":1}\n";
    const std::string answer = "5-ab12 @identify {\"q\":1}\n";
    trusted.Send(asked);
    ASSERT_EQ(trusted.ReadLine(), answer);
    stranger.Send(asked);
    EXPECT_EQ(stranger.ReadLine(), "5-ab12 @identify {\"error\":\"Not authenticated\"}\n");
    trusted.Send(asked);
    EXPECT_EQ(trusted.ReadLine(), answer);
    // The stranger's refused line under the trusted peer's next hash leaves no mark.
    stranger.Send("6-ab12 identify {\"q\":2}\n");
    EXPECT_EQ(stranger.ReadLine(), "6-ab12 @identify {\"error\":\"Not authenticated\"}\n");
    trusted.Send("6-ab12 identify {\"q\":2}\n");
    EXPECT_EQ(trusted.ReadLine(), "6-ab12 @identify {\"q\":2}\n");
    EXPECT_EQ(harness.discovery->Handled("identify"), 2u);

    // The application's own words need a peer that proved the code, Kasdor or not.
    stranger.Send("frob\n");
    EXPECT_EQ(stranger.ReadLine(), Reply("frob", "Not authenticated"));
    strangerSocket->IsAuthenticated(true);
    stranger.Send("frob\n");
    EXPECT_EQ(stranger.ReadLine(), "@frob \n");
}

// The strict rule: with a code held, a plain connection reaches TLS and discovery, and a
// connection this node opened also carries the notices of the device it reached; without
// a code, or with the rule off, everything passes as before.
TEST_F(Authorisation, TheStrictRuleKeepsPlainPeersToTheWayIntoTls) {
    VethPair pair;
    if (!pair.Missing().empty()) {
        GTEST_SKIP() << pair.Missing();
    }
    harness.Start(VethPair::AddressA, [&](const std::function<void()>& bind) { pair.a.Run(bind); });
    harness.discovery->hasCode = true;
    harness.driver->SetRequireTls(true);
    EXPECT_TRUE(harness.driver->GetRequireTls());
    RawPeer plain;
    ASSERT_TRUE(pair.b.Run([&] { plain.Socket().open(boost::asio::ip::tcp::v4()); }));
    auto socket = harness.Connect(plain);
    ASSERT_TRUE(socket);
    const char* const strict = "Requires encrypted connection";
    struct Row {
        bool code;
        bool opened;
        const char* word;
        const char* error;  // the refusal, or null: it passes
    };
    const Row rows[] = {
        {true, false, "get", strict},
        {true, false, "authenticate", strict},
        {true, false, "frob", strict},
        {true, false, "publish", strict},
        {true, false, "starttls", nullptr},
        {true, false, "setverificationcode", nullptr},
        {true, true, "publish", nullptr},
        {true, true, "set", strict},
        {false, false, "get", nullptr},
    };
    for (const auto& row : rows) {
        harness.discovery->hasCode = row.code;
        socket->SetOutgoing(row.opened);
        plain.Send(std::string(row.word) + "\n");
        const std::string line = plain.ReadLine();
        if (row.error == strict) {
            EXPECT_EQ(line, Reply(row.word, strict)) << row.word << " " << row.opened;
        } else {
            // Past the rule: the word's own handling answers (or refuses a bare body).
            EXPECT_TRUE(!line.empty() && line.find(strict) == std::string::npos) << row.word << " " << line;
        }
    }
    harness.discovery->hasCode = true;
    socket->SetOutgoing(false);
    plain.Send("disco\n@get {}\nfrob\n");
    EXPECT_EQ(plain.ReadLine(), Reply("frob", strict));
    EXPECT_EQ(harness.discovery->Count("SendDiscoReply"), 1u);
}

}  // namespace
}  // namespace ZelkorTest
