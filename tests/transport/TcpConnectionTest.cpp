#include <gtest/gtest.h>

#include "TransportFixture.h"
#include "core/ZelkorLog.h"

namespace ZelkorTest {
namespace {

class TcpConnection : public TransportTest {};

TEST_F(TcpConnection, StartTlsHoldsRequestsUntilAuthenticationAndRefusesASecondHandshake) {
    ZelkorLog::TheLog().SetLevel(7);
    LoadTlsMaterial(*tls);
    FakeSink clientSink;
    sink.answerSecurity = clientSink.answerSecurity = true;
    std::shared_ptr<TcpSocket> client;
    ConnectClient(client, clientSink);
    client->SendData("starttls\n", true);
    ASSERT_TRUE(Run([&] { return sink.secured == 1 && clientSink.secured == 1; }));

    // Held while the secured peer is unauthenticated; the authentication request passes.
    client->SendData("get\n", true);
    ASSERT_TRUE(Run([&] { return log.Contains("ZK7248I TcpSocket::SendData _myState is not TCP"); }));
    client->SendData("authenticate\n", true);
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 1; }));
    EXPECT_EQ(sink.Commands(), (std::vector<std::string>{"starttls", "authenticate", "get"}));

    // A live stream is never replaced: a second handshake closes the connection instead.
    client->Handshake();
    ASSERT_TRUE(Run([&] { return clientSink.closed == 1 && sink.closed == 1; }));
}

// The "@starttls" answer must reach the peer in plain text even behind a running write,
// and a reply made during the handshake must wait for the secured stream.
TEST_F(TcpConnection, AStartTlsReplyQueuedBehindAWriteGoesOutBeforeTheHandshake) {
    LoadTlsMaterial(*tls);
    FakeSink clientSink;
    clientSink.answerSecurity = true;
    const std::string big = "@get {\"data\":\"" + std::string(1024 * 1024, 'g') + "\"}\n";
    sink.onMessage = [&big](const std::shared_ptr<TcpSocket>& socket, const std::string& word) {
        if (word == "starttls") {
            socket->SendData(big, false);
            socket->SendData("@starttls\n", false);
            socket->SetState(TcpSocket::Handshaking);
            socket->SetClient(false);
            socket->Handshake();
            socket->SendData("@held\n", false);
        }
    };
    std::shared_ptr<TcpSocket> client;
    auto serverSide = ConnectClient(client, clientSink);
    serverSide->GetBasicSocket().set_option(boost::asio::socket_base::send_buffer_size(4096));
    client->SendData("starttls\n", true);
    ASSERT_TRUE(Run([&] { return clientSink.Count("@held") == 1; }));
    EXPECT_EQ(clientSink.Commands(), (std::vector<std::string>{"@get", "@starttls", "@held"}));
}

// A failed handshake leaves the decision to the sink; a close during the handshake needs
// none. Either way the descriptor, held by the TLS stream by then, really closes.
TEST_F(TcpConnection, AHandshakeThatFailsOrIsCutShortReallyCloses) {
    for (const bool fails : {true, false}) {
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        tcp::socket peer(io);
        FakeSink clientSink;
        clientSink.closeRejected = true;
        auto client = std::make_shared<TcpSocket>(io, *tls, true);
        client->SetSink(&clientSink);
        client->Connect(acceptor.local_endpoint().address(), acceptor.local_endpoint().port(), "", nullptr);
        bool accepted = false;
        acceptor.async_accept(peer, [&](const boost::system::error_code& error) { accepted = !error; });
        ASSERT_TRUE(Run([&] { return accepted && clientSink.connectedOut == 1; }));
        RawReader reader(peer);
        client->Handshake();
        ASSERT_TRUE(Run([&] { return !reader.Data().empty(); }));  // the client hello is out
        if (fails) {
            WriteRaw(peer, "this is not a TLS server\r\n\r\n");
        } else {
            client->Close();
        }
        ASSERT_TRUE(Run([&] { return reader.Eof(); })) << fails;
        EXPECT_EQ(clientSink.rejected, fails ? 1 : 0);
        EXPECT_EQ(clientSink.closed, 1);
    }
}

// Two connections forwarding to each other would otherwise keep each other alive.
TEST_F(TcpConnection, CloseReleasesTheReturnRoute) {
    auto first = std::make_shared<TcpSocket>(io, *tls, true);
    auto second = std::make_shared<TcpSocket>(io, *tls, true);
    first->ReturnRoute(second);
    second->ReturnRoute(first);
    first->Close();
    second->Close();
    ASSERT_TRUE(Run([&] { return first->IsFinalized() && second->IsFinalized(); }));
    EXPECT_EQ(first->ReturnRoute(), nullptr);
    EXPECT_EQ(first.use_count(), 1);
}

}  // namespace
}  // namespace ZelkorTest
