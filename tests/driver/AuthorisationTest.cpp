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

}  // namespace
}  // namespace ZelkorTest
