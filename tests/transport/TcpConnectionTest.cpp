#include <gtest/gtest.h>

#include "TransportFixture.h"
#include "core/ZelkorLog.h"

namespace ZelkorTest {
namespace {

class TcpConnection : public TransportTest {
protected:
    // A raw acceptor for a client socket that meets no protocol peer.
    std::shared_ptr<TcpSocket> ConnectToRaw(tcp::acceptor& acceptor, tcp::socket& peer, FakeSink& clientSink) {
        auto client = std::make_shared<TcpSocket>(io, *tls, true);
        client->SetSink(&clientSink);
        const auto endpoint = acceptor.local_endpoint();
        client->Connect(endpoint.address(), endpoint.port(), "eth0", nullptr);
        bool accepted = false;
        acceptor.async_accept(peer, [&](const boost::system::error_code& error) { accepted = !error; });
        EXPECT_TRUE(Run([&] { return accepted && clientSink.connectedOut == 1; }));
        return client;
    }
    // Runs the start-TLS exchange between a client and the listener's side.
    std::shared_ptr<TcpSocket> Secure(std::shared_ptr<TcpSocket>& client, FakeSink& clientSink) {
        LoadTlsMaterial(*tls);
        sink.answerSecurity = true;
        clientSink.answerSecurity = true;
        auto serverSide = ConnectClient(client, clientSink);
        client->SendData("starttls\n", true);
        EXPECT_TRUE(Run([&] { return sink.secured == 1 && clientSink.secured == 1; }));
        return serverSide;
    }
};

TEST_F(TcpConnection, RefusedConnectIsRejectedAndReportedToTheCaller) {
    const auto loopback = boost::asio::ip::make_address("127.0.0.1");
    const unsigned short port = tcp::acceptor(io, tcp::endpoint(loopback, 0)).local_endpoint().port();
    auto client = std::make_shared<TcpSocket>(io, *tls, true);
    client->SetSink(&sink);
    boost::system::error_code result;
    int calls = 0;
    client->Connect(loopback, port, "", [&](auto socket, auto error) {
        EXPECT_EQ(socket, client);
        EXPECT_EQ(sink.rejected, 1);  // the sink hears first
        result = error;
        ++calls;
    });
    ASSERT_TRUE(Run([&] { return calls == 1; }));
    EXPECT_EQ(result, boost::asio::error::connection_refused);
    EXPECT_TRUE(log.Contains("ZK7209W Connect failed to 127.0.0.1:" + std::to_string(port) + " ("));
    EXPECT_FALSE(client->IsConnectPending());
    EXPECT_EQ(sink.closed, 0);
    EXPECT_FALSE(client->IsFinalized());
}

TEST_F(TcpConnection, CloseReportsOnceAndSilencesAPendingConnect) {
    Listen();
    const auto endpoint = server->LocalEndpoint();
    FakeSink clientSink;
    auto client = std::make_shared<TcpSocket>(io, *tls, true);
    client->SetSink(&clientSink);
    int calls = 0;
    auto count = [&calls](std::shared_ptr<TcpSocket>, boost::system::error_code) { ++calls; };
    client->Connect(endpoint.address(), endpoint.port(), "", count);
    client->Close();
    client->Close();
    ASSERT_TRUE(Run([&] { return clientSink.closed == 1 && !client->IsConnectPending(); }));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(clientSink.connectedOut, 0);

    // A closed socket is never reopened, and one that never opened reports no close.
    client->Connect(endpoint.address(), endpoint.port(), "", count);
    client->Close();
    auto neverOpened = std::make_shared<TcpSocket>(io, *tls, true);
    neverOpened->SetSink(&clientSink);
    neverOpened->SendData("get\n", true);
    neverOpened->Close();
    ASSERT_TRUE(Run([&] { return neverOpened->IsFinalized(); }));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(clientSink.closed, 1);
    EXPECT_EQ(neverOpened->QueuedRequests(), 0u);
}

TEST_F(TcpConnection, AcceptedAndConnectedSidesKnowEachOther) {
    FakeSink clientSink;
    std::shared_ptr<TcpSocket> client;
    auto serverSide = ConnectClient(client, clientSink);
    EXPECT_EQ(client->GetRemotePort(), server->LocalEndpoint().port());
    EXPECT_EQ(serverSide->GetRemotePort(), client->GetLocalPort());
    EXPECT_EQ(serverSide->GetLocalIP(), boost::asio::ip::make_address("127.0.0.1"));
    EXPECT_TRUE(serverSide->IsTlsProvisioned());
    EXPECT_TRUE(serverSide->SocketIsConnected());
}

TEST_F(TcpConnection, StartTlsHoldsRequestsUntilAuthenticationAndRefusesASecondHandshake) {
    ZelkorLog::TheLog().SetLevel(7);
    FakeSink clientSink;
    std::shared_ptr<TcpSocket> client;
    auto serverSide = Secure(client, clientSink);
    EXPECT_EQ(client->GetState(), TcpSocket::Tls);
    EXPECT_EQ(serverSide->GetState(), TcpSocket::Tls);
    EXPECT_TRUE(log.Contains("ZK7216I TLS verify cert ("));
    EXPECT_TRUE(log.Contains("CN=zelkor-test"));
    EXPECT_TRUE(log.Contains("ZK7218I TLS handshake OK ("));

    client->SendData("get\n", true);
    ASSERT_TRUE(Run([&] { return log.Contains("ZK7248I TcpSocket::SendData _myState is not TCP"); }));
    client->SendData("authenticate\n", true);
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 1; }));
    EXPECT_TRUE(client->IsAuthenticated());
    EXPECT_EQ(sink.Commands(), (std::vector<std::string>{"starttls", "authenticate", "get"}));

    // A live stream is never replaced: a second handshake closes the connection instead.
    client->Handshake();
    ASSERT_TRUE(Run([&] { return clientSink.closed == 1 && sink.closed == 1; }));
    EXPECT_TRUE(log.Contains("ZK7266E Second TLS handshake refused on conn: " + client->Tag()));
}

TEST_F(TcpConnection, AStartTlsReplyQueuedBehindAWriteGoesOutBeforeTheHandshake) {
    LoadTlsMaterial(*tls);
    FakeSink clientSink;
    clientSink.answerSecurity = true;
    const std::string big = "@get {\"data\":\"" + std::string(1024 * 1024, 'g') + "\"}\n";
    sink.onMessage = [&big](const std::shared_ptr<TcpSocket>& socket, Zelkor::MessageForwardInfo& header) {
        if (header.CommandText() == "starttls") {
            // Answered as discovery does, while an earlier reply is still being written.
            socket->SendData(big, false);
            socket->SendData("@starttls\n", false);
            socket->SetState(TcpSocket::Handshaking);
            socket->SetClient(false);
            socket->Handshake();
            // Written in plain text now it would break the peer's handshake: it waits.
            socket->SendData("@held\n", false);
        }
    };
    std::shared_ptr<TcpSocket> client;
    auto serverSide = ConnectClient(client, clientSink);
    serverSide->GetBasicSocket().set_option(boost::asio::socket_base::send_buffer_size(4096));
    client->SendData("starttls\n", true);
    ASSERT_TRUE(Run([&] { return clientSink.Count("@held") == 1; }));
    EXPECT_EQ(clientSink.Commands(), (std::vector<std::string>{"@get", "@starttls", "@held"}));
    EXPECT_EQ(clientSink.Lines().back().socket->GetState(), TcpSocket::Tls);
    EXPECT_EQ(sink.secured, 1);
}

// A failed handshake leaves the decision to the sink; a close during the handshake needs
// none. Either way the descriptor, held by the TLS stream by then, really closes.
TEST_F(TcpConnection, AHandshakeThatFailsOrIsCutShortReallyCloses) {
    for (const bool fails : {true, false}) {
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        tcp::socket peer(io);
        FakeSink clientSink;
        clientSink.closeRejected = true;
        auto client = ConnectToRaw(acceptor, peer, clientSink);
        RawReader reader(peer);
        client->Handshake();
        ASSERT_TRUE(Run([&] { return !reader.Data().empty(); })) << fails;  // the client hello is out
        EXPECT_EQ(client->GetState(), TcpSocket::Handshaking);
        EXPECT_FALSE(client->SocketIsOpen());
        if (fails) {
            WriteRaw(peer, "this is not a TLS server\r\n\r\n");
        } else {
            client->Close();
            client->Close();
        }
        ASSERT_TRUE(Run([&] { return reader.Eof(); })) << fails;
        EXPECT_EQ(clientSink.rejected, fails ? 1 : 0);
        EXPECT_EQ(clientSink.closed, 1);
        EXPECT_EQ(log.Contains("ZK7217I TLS Handshake failed on conn: " + client->Tag()), fails);
    }
}

TEST_F(TcpConnection, FourMegabyteLinesPassBothWaysOverTlsWithAnExpiredCertificate) {
    ZelkorLog::TheLog().SetLevel(5);
    // TLS writes block the writing loop, so each side runs a loop of its own.
    const std::string payload(4 * 1024 * 1024, 't');
    LoadTlsMaterial(*tls);
    // A self-signed certificate past its end is accepted all the same, and logged.
    const auto expired = MakeTlsContext(GenerateTlsMaterial("zelkor-expired", -1));
    boost::asio::io_context serverIo;
    FakeSink serverSink;
    serverSink.answerSecurity = true;
    serverSink.onMessage = [&payload](const std::shared_ptr<TcpSocket>& socket, Zelkor::MessageForwardInfo& header) {
        if (header.CommandText() == "put") {
            socket->SendData("@put {\"data\":\"" + payload + "\"}\n", false);
        }
    };
    auto listener = std::make_shared<Zelkor::TcpServer>(serverIo, *expired, true);
    listener->Subscribe(&serverSink);
    listener->BindTo(boost::asio::ip::make_address("127.0.0.1"), 0);
    LoopThread serverLoop(serverIo);

    FakeSink clientSink;
    clientSink.answerSecurity = true;
    auto client = std::make_shared<TcpSocket>(io, *tls, true);
    client->SetSink(&clientSink);
    client->Connect(boost::asio::ip::make_address("127.0.0.1"), listener->LocalEndpoint().port(), "", nullptr);
    ASSERT_TRUE(Run([&] { return clientSink.connectedOut == 1; }));
    client->SendData("starttls\n", true);
    ASSERT_TRUE(Run([&] { return clientSink.secured == 1 && serverSink.secured == 1; }));
    EXPECT_TRUE(log.Contains("ZK7216I TLS verify cert (/CN=zelkor-expired)"));
    client->IsAuthenticated(true);
    client->SendData("put {\"data\":\"" + payload + "\"}\n", true);
    ASSERT_TRUE(Run([&] { return clientSink.Count("@put") == 1; }, std::chrono::seconds(30)));
    EXPECT_EQ(clientSink.Lines().back().json.size(), payload.size() + 11);
    EXPECT_EQ(serverSink.Lines().back().json.size(), payload.size() + 11);

    client->Close();
}

}  // namespace
}  // namespace ZelkorTest
