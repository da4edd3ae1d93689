#include "TransportFixture.h"

#include <boost/asio/write.hpp>

namespace ZelkorTest {

void FakeSink::SocketAccepted(std::shared_ptr<TcpSocket> socket) {
    socket->SetSink(this);
    std::lock_guard<std::mutex> lock(_mutex);
    _accepted.push_back(std::move(socket));
    ++accepted;
}

void FakeSink::SocketConnected(std::shared_ptr<TcpSocket>, bool outbound) { ++(outbound ? connectedOut : connectedIn); }

void FakeSink::SocketSecured(std::shared_ptr<TcpSocket>) { ++secured; }

void FakeSink::SocketRejected(std::shared_ptr<TcpSocket> socket) {
    ++rejected;
    if (closeRejected) {
        socket->Close();
    }
}

void FakeSink::SocketClosed(std::shared_ptr<TcpSocket>) { ++closed; }

void FakeSink::MessageReceived(std::shared_ptr<TcpSocket> socket, Zelkor::MessageForwardInfo& header,
                               TimePoint requestSent, TimePoint replyReceived) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _lines.push_back({socket, header.CommandText(), header.JsonText(), header.GetTargetPaths(), header.HashText(),
                          requestSent, replyReceived});
    }
    if (answerSecurity) {
        const std::string& word = header.CommandText();
        if (word == "starttls") {
            socket->SendData("@starttls\n", false);
            socket->SetState(TcpSocket::Handshaking);
            socket->SetClient(false);
            socket->Handshake();
        } else if (word == "@starttls") {
            socket->SetClient(true);
            socket->Handshake();
        } else if (word == "authenticate") {
            socket->IsAuthenticated(true);
            socket->SendData("@authenticate\n", false);
        } else if (word == "@authenticate") {
            socket->IsKasdorAuthenticated(true);
        }
    }
    if (onMessage) {
        onMessage(socket, header);
    }
}

void FakeSink::MessageBlockSent(std::shared_ptr<TcpSocket>, Zelkor::MessageForwardInfo& header) {
    std::lock_guard<std::mutex> lock(_mutex);
    blockHeaderTargets = header.GetTargetPaths();
    ++blocksSent;
}

void FakeSink::MessageBlockReplySent(std::shared_ptr<TcpSocket>) { ++blockRepliesSent; }

std::vector<ReceivedLine> FakeSink::Lines() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines;
}

std::vector<std::string> FakeSink::Commands() const {
    std::vector<std::string> words;
    for (const auto& line : Lines()) {
        words.push_back(line.command);
    }
    return words;
}

std::vector<std::shared_ptr<TcpSocket>> FakeSink::Accepted() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _accepted;
}

std::size_t FakeSink::Count(const std::string& command) const {
    std::size_t count = 0;
    for (const auto& line : Lines()) {
        count += line.command == command ? 1 : 0;
    }
    return count;
}

void RawReader::Start() {
    _socket.async_read_some(boost::asio::buffer(_buffer), [this](const boost::system::error_code& error, std::size_t n) {
        if (error) {
            _eof = true;
            return;
        }
        _data.append(_buffer.data(), n);
        Start();
    });
}

std::vector<std::string> RawReader::Lines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = _data.find('\n'); end != std::string::npos; end = _data.find('\n', start)) {
        lines.push_back(_data.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TransportTest::TransportTest() : tls(std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls)) {}

TransportTest::~TransportTest() {
    // With the loop stopped the closes run here, and no handler of a test's local
    // objects runs after them.
    io.stop();
    if (server) {
        server->Close();
    }
    for (const auto& socket : sink.Accepted()) {
        socket->Close();
    }
}

std::shared_ptr<Zelkor::TcpServer> TransportTest::Listen(bool tlsProvisioned) {
    server = std::make_shared<Zelkor::TcpServer>(io, *tls, tlsProvisioned);
    server->Subscribe(&sink);
    server->BindTo(boost::asio::ip::make_address("127.0.0.1"), 0);
    return server;
}

std::shared_ptr<TcpSocket> TransportTest::AcceptRaw(tcp::socket& peer) {
    if (!server) {
        Listen();
    }
    const int before = sink.connectedIn;
    boost::system::error_code error;
    peer.connect(server->LocalEndpoint(), error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_TRUE(Run([&] { return sink.connectedIn > before; }));
    return sink.Accepted().back();
}

std::shared_ptr<TcpSocket> TransportTest::ConnectClient(std::shared_ptr<TcpSocket>& client, FakeSink& clientSink) {
    if (!server) {
        Listen(true);
    }
    const int before = sink.connectedIn;
    client = std::make_shared<TcpSocket>(io, *tls, true);
    client->SetSink(&clientSink);
    const auto endpoint = server->LocalEndpoint();
    client->Connect(endpoint.address(), endpoint.port(), "", nullptr);
    EXPECT_TRUE(Run([&] { return sink.connectedIn > before && clientSink.connectedOut > 0; }));
    return sink.Accepted().back();
}

void TransportTest::WriteRaw(tcp::socket& peer, const std::string& text) {
    boost::system::error_code error;
    boost::asio::write(peer, boost::asio::buffer(text), error);
    ASSERT_FALSE(error) << error.message();
}

}  // namespace ZelkorTest
