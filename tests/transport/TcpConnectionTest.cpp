// A connection's life and its receive path: connects that fail or are abandoned, options
// the system refuses, the TLS upgrade and its failures, the return route, and the framing
// and bounds of received lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "TransportFixture.h"
#include "driver/SelfSignedCertificate.h"
#include "support/ScopedBudgetLimit.h"
#include "transport/ByteBudget.h"
#include "transport/LineFramer.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using TcpConnection = TransportTest;
using TcpReceive = TransportTest;

// From now on the system refuses TCP_NODELAY to the calling thread (and to it alone), as
// a descriptor without the option would. False when no such filter can be installed.
bool RefuseNoDelayOnThisThread() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_setsockopt, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_TCP, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TCP_NODELAY, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOPROTOOPT),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// Options only tune a connection: one the system refuses is logged and nothing else changes.
TEST_F(TcpConnection, RefusedSocketOptionsAreLoggedAndTheConnectionsGoOn) {
    FakeSink clientSink;
    bool refused = false;
    std::thread loop([&] {
        if (!(refused = RefuseNoDelayOnThisThread())) {
            return;
        }
        TcpPtr client;
        auto serverSide = ConnectClient(client, clientSink);
        client->SendData("get\n", true);
        ASSERT_TRUE(Run([&] { return sink.Count("get") == 1; }));
        serverSide->SendData("@get\n", false);
        ASSERT_TRUE(Run([&] { return clientSink.Count("@get") == 1; }));
    });
    loop.join();
    if (!refused) {
        GTEST_SKIP() << "needs a seccomp filter";
    }
    EXPECT_EQ(log.Count("ZK7505W TCP server socket option not set"), 1u);
    EXPECT_EQ(log.Count("ZK7205W Socket option not set on conn: "), 2u);  // the client and the accepted side
}

// The owner hears of a refusal twice, as the sink's rejection (the driver closes then) and
// as the connect's result, which still comes after that close. A listener whose accept
// queue is full drops the handshake: that connect stays pending until the close ends it,
// without a word from its completion.
TEST_F(TcpConnection, ARefusedConnectIsRejectedThenReportedAnAbandonedOneOnlyCloses) {
    sink.closeRejected = true;
    tcp::socket bound(io, tcp::endpoint(make_address("127.0.0.1"), 0));  // a port with no listener
    tcp::acceptor full(io);
    full.open(tcp::v4());
    full.bind(tcp::endpoint(make_address("127.0.0.1"), 0));
    full.listen(0);
    tcp::socket filler(io);
    filler.connect(full.local_endpoint());
    for (const auto& target : {bound.local_endpoint(), full.local_endpoint()}) {
        const bool refused = target == bound.local_endpoint();
        const int closed = sink.closed;
        auto client = std::make_shared<TcpSocket>(io, *tls, true);
        client->SetSink(&sink);
        std::vector<boost::system::error_code> results;
        client->Connect(target.address(), target.port(), "", [&](TcpPtr, boost::system::error_code error) {
            EXPECT_EQ(sink.rejected, 1);
            results.push_back(error);
        });
        if (refused) {
            ASSERT_TRUE(Run([&] { return !results.empty(); }));
            EXPECT_EQ(results, (std::vector<boost::system::error_code>{boost::asio::error::connection_refused}));
        } else {
            ASSERT_TRUE(Run([&] { return client->IsConnectPending(); }));
            client->Close();
            client->Close();
            ASSERT_TRUE(Run([&] { return !client->IsConnectPending(); }));
            EXPECT_TRUE(results.empty());
        }
        EXPECT_EQ(sink.closed, closed + 1) << refused;
    }
    EXPECT_EQ(sink.rejected, 1);
    EXPECT_EQ(sink.connectedOut, 0);
}

// Requests wait while the secured peer is unauthenticated, the authentication request
// passes; a live stream is never replaced: a second handshake closes the connection.
TEST_F(TcpConnection, StartTlsHoldsRequestsUntilAuthenticationAndRefusesASecondHandshake) {
    LoadTlsMaterial(*tls);
    FakeSink clientSink;
    sink.answerSecurity = clientSink.answerSecurity = true;
    std::shared_ptr<TcpSocket> client;
    ConnectClient(client, clientSink);
    client->SendData("starttls\n", true);
    ASSERT_TRUE(Run([&] { return sink.secured == 1 && clientSink.secured == 1; }));
    client->SendData("get\n", true);
    client->SendData("authenticate\n", true);
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 1; }));
    EXPECT_EQ(sink.Commands(), (std::vector<std::string>{"starttls", "authenticate", "get"}));

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
        tcp::acceptor acceptor(io, tcp::endpoint(make_address("127.0.0.1"), 0));
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

// Peers that showed certificates of one key hold one key, whichever certificate each
// showed; a peer of another key, or one on a plain connection, is told apart.
TEST_F(TcpConnection, PeersHoldingOneKeyAreToldFromOthers) {
    LoadTlsMaterial(*tls);
    std::string key;
    std::string certificate;
    ASSERT_EQ(Zelkor::SelfSignedCertificate::Generate("another", key, certificate),
              Zelkor::SelfSignedCertificate::Failure::None);
    boost::asio::ssl::context another(boost::asio::ssl::context::tls);
    another.use_certificate_chain(boost::asio::buffer(certificate));
    another.use_private_key(boost::asio::buffer(key), boost::asio::ssl::context::pem);
    sink.answerSecurity = true;
    Listen(true);
    // Two clients of the listener's own key, one of another, and a plain one.
    boost::asio::ssl::context* keys[] = {tls.get(), tls.get(), &another, tls.get()};
    FakeSink clientSinks[4];
    TcpPtr clients[4];
    for (int i = 0; i < 4; ++i) {
        clientSinks[i].answerSecurity = true;
        clients[i] = std::make_shared<TcpSocket>(io, *keys[i], true);
        clients[i]->SetSink(&clientSinks[i]);
        clients[i]->Connect(server->LocalEndpoint().address(), server->LocalEndpoint().port(), "", nullptr);
        ASSERT_TRUE(Run([&] { return sink.connectedIn == i + 1 && clientSinks[i].connectedOut == 1; }));
        if (i < 3) {
            clients[i]->SendData("starttls\n", true);
            ASSERT_TRUE(Run([&] { return sink.secured == i + 1 && clientSinks[i].secured == 1; }));
        }
    }
    const auto& served = sink.accepted;
    EXPECT_TRUE(served[0]->SamePeerKey(*served[1]));
    EXPECT_FALSE(served[0]->SamePeerKey(*served[2]));
    EXPECT_FALSE(served[0]->SamePeerKey(*served[3]));
    EXPECT_FALSE(served[3]->SamePeerKey(*served[3]));
    // Every client met the listener's one key.
    EXPECT_TRUE(clients[0]->SamePeerKey(*clients[2]));
    for (const auto& client : clients) {
        client->Close();
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
    EXPECT_EQ(first.use_count(), 1);
}

// A blank or unparsable line is skipped alone: the lines behind it in the same read are
// not lost. During the handshake only the start-TLS words pass.
TEST_F(TcpReceive, FramesLinesFromARawPeer) {
    struct Case {
        std::vector<std::string> writes;
        std::vector<std::string> commands;
        bool handshaking;
    };
    const std::vector<Case> cases = {
        {{"ge", "t {\"path\":\"/a\"}\n"}, {"get"}, false},
        {{"  \t\x81get\nse", "t\n"}, {"get", "set"}, false},
        {{"\r\n@get\n"}, {"@get"}, false},
        {{"get {\"a\":\nset\n"}, {"set"}, false},
        {{"get\nstarttls\n@error\n"}, {"starttls"}, true},
    };
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::size_t before = sink.received.size();
        if (cases[i].handshaking) {
            socket->SetState(TcpSocket::Handshaking);
        }
        for (const auto& text : cases[i].writes) {
            WriteRaw(peer, text);
        }
        // A marker line behind the case's bytes: everything before it has been handled.
        const std::string marker = cases[i].handshaking ? "@starttls" : "marker" + std::string(1, char('a' + i));
        WriteRaw(peer, marker + "\n");
        ASSERT_TRUE(Run([&] { return sink.Count(marker) > 0; })) << i;
        const auto commands = sink.Commands();
        EXPECT_EQ(std::vector<std::string>(commands.begin() + before, commands.end() - 1), cases[i].commands) << i;
    }
    EXPECT_EQ(sink.received.front().json, "{\"path\":\"/a\"}");
}

// A peer that never sends a line end could otherwise grow its pending line without end.
// Unfinished lines of all connections also share one bound, which never counts below what
// one connection may hold. Past it the largest unfinished line goes, not the line that
// grew; a short line is never refused for it, so a few huge lines cannot shut every
// ordinary request out.
TEST_F(TcpReceive, UnfinishedLinesAreBoundedPerConnectionAndAllTogether) {
    using Zelkor::ByteBudget;
    tcp::socket longLines(io);
    AcceptRaw(longLines)->SetMaxLineLength(500);
    RawReader longReader(longLines);
    WriteRaw(longLines, std::string(450, 'x') + "\n" + std::string(600, 'x'));
    ASSERT_TRUE(Run([&] { return longReader.Eof(); }));
    EXPECT_EQ(sink.Count(std::string(450, 'x')), 1u);  // the long line within the bound was read

    const std::size_t kib = 1024;
    const ZelkorTest::ScopedBudgetLimit budgetLimit(ByteBudget::Input(), 200 * kib);
    tcp::socket hog(io), small(io), large(io);
    auto hogged = AcceptRaw(hog);
    auto smallLine = AcceptRaw(small);
    auto largeLine = AcceptRaw(large);
    for (const auto& socket : {hogged, smallLine, largeLine}) {
        socket->SetMaxLineLength(180 * kib);
    }
    RawReader hogReader(hog);
    const auto head = [](char fill, std::size_t bytes) { return "get {\"data\":\"" + std::string(bytes, fill); };
    WriteRaw(hog, head('h', 150 * kib));
    ASSERT_TRUE(Run([&] { return ByteBudget::Input().Used() >= 150 * kib; }));
    WriteRaw(large, head('l', 45 * kib));
    WriteRaw(small, head('s', 60 * kib));
    ASSERT_TRUE(Run([&] { return ByteBudget::Input().Used() >= 255 * kib; }));
    WriteRaw(small, "\"}\n");
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 1; }));
    EXPECT_EQ(log.Count("ZK7267E Line exceeds the length limit"), 1u);  // only the 500-byte bound so far

    WriteRaw(large, std::string(55 * kib, 'l'));
    ASSERT_TRUE(Run([&] { return hogReader.Eof(); }));
    EXPECT_EQ(log.Count("ZK7267E Line exceeds the length limit, closing conn: " + hogged->Tag()), 1u);
    WriteRaw(large, "\"}\n");
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 2; }));
    EXPECT_EQ(ByteBudget::Input().Used(), 0u);
}

// Peers that began lines and stalled hold a medium amount each; a peer that began its line
// before them and keeps sending passes the node-wide bound with a line larger than each of
// theirs: its line is read whole, and a stalled one goes instead.
TEST_F(TcpReceive, ALineThatKeepsComingTakesTheRoomOfStalledOnes) {
    using Zelkor::ByteBudget;
    const std::size_t kib = 1024;
    const ZelkorTest::ScopedBudgetLimit budgetLimit(ByteBudget::Input(), 300 * kib);
    tcp::socket sender(io);
    AcceptRaw(sender)->SetMaxLineLength(180 * kib);
    WriteRaw(sender, "set {\"data\":\"" + std::string(10 * kib, 's'));
    ASSERT_TRUE(Run([&] { return ByteBudget::Input().Used() >= 10 * kib; }));
    std::vector<std::unique_ptr<tcp::socket>> stalled;
    for (int i = 0; i < 3; ++i) {
        stalled.push_back(std::make_unique<tcp::socket>(io));
        AcceptRaw(*stalled.back())->SetMaxLineLength(180 * kib);
        WriteRaw(*stalled.back(), "get {\"data\":\"" + std::string(70 * kib, 'h'));
    }
    ASSERT_TRUE(Run([&] { return ByteBudget::Input().Used() >= 220 * kib; }));
    WriteRaw(sender, std::string(100 * kib, 's'));
    ASSERT_TRUE(Run([&] { return log.Count("ZK7267E Line exceeds the length limit") == 1; }));
    WriteRaw(sender, "\"}\n");
    ASSERT_TRUE(Run([&] { return sink.Count("set") == 1; }));
    EXPECT_EQ(log.Count("ZK7267E Line exceeds the length limit"), 1u);
}

// One address keeps most of the node-wide bound in three unfinished lines, alive a byte at
// a time, and opens a fresh one whenever one is closed. A line from another address that
// keeps coming is read whole: only the trickling address's lines are closed for the bound.
TEST_F(TcpReceive, ATrickleDoesNotKeepOutALineThatKeepsComing) {
    using Zelkor::ByteBudget;
    const std::size_t kib = 1024;
    const ZelkorTest::ScopedBudgetLimit budgetLimit(ByteBudget::Input(), 1024 * kib);
    struct Peer {
        std::unique_ptr<tcp::socket> socket;
        TcpPtr accepted;
        std::size_t sent = 0;
    };
    const auto connect = [&](const char* from) {
        Peer peer{std::make_unique<tcp::socket>(io), nullptr, 0};
        peer.socket->open(tcp::v4());
        peer.socket->bind(tcp::endpoint(make_address(from), 0));
        peer.accepted = AcceptRaw(*peer.socket);
        peer.accepted->SetMaxLineLength(700 * kib);
        return peer;
    };
    // Sends part of a line and waits until the connection holds it, or was closed.
    const auto send = [&](Peer& peer, const std::string& text) {
        boost::system::error_code ignored;
        boost::asio::write(*peer.socket, boost::asio::buffer(text), ignored);
        peer.sent += text.size();
        return Run([&] { return peer.accepted->UnfinishedLineBytes() == peer.sent || peer.accepted->IsFinalized(); });
    };
    std::vector<Peer> trickles;
    std::size_t opened = 0;
    const auto burst = [&] {
        trickles.push_back(connect("127.0.0.2"));
        ++opened;
        return send(trickles.back(), "set {\"path\":\"/t\",\"value\":\"" + std::string(330 * kib, 't'));
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(burst());
    }
    Peer honest = connect("127.0.0.3");
    ASSERT_TRUE(send(honest, "set {\"path\":\"/h\",\"value\":\""));
    for (int piece = 0; piece < 5; ++piece) {
        ASSERT_TRUE(send(honest, std::string(64 * kib, 'h')));
        ASSERT_FALSE(honest.accepted->IsFinalized()) << piece;
        for (auto& trickle : trickles) {
            ASSERT_TRUE(send(trickle, "t"));
        }
        const auto closed = std::remove_if(trickles.begin(), trickles.end(),
                                           [](const Peer& peer) { return peer.accepted->IsFinalized(); });
        const auto lost = static_cast<std::size_t>(std::distance(closed, trickles.end()));
        trickles.erase(closed, trickles.end());
        for (std::size_t i = 0; i < lost; ++i) {
            ASSERT_TRUE(burst());
        }
    }
    WriteRaw(*honest.socket, "\"}\n");
    ASSERT_TRUE(Run([&] { return sink.Count("set") == 1 || honest.accepted->IsFinalized(); }));
    EXPECT_EQ(sink.Count("set"), 1u);
    EXPECT_GT(opened, 3u);
    const std::size_t closedTrickles = opened - static_cast<std::size_t>(std::count_if(
        trickles.begin(), trickles.end(), [](const Peer& peer) { return !peer.accepted->IsFinalized(); }));
    EXPECT_EQ(log.Count("ZK7267E Line exceeds the length limit"), closedTrickles);
}

// Short unfinished lines are never refused for the budget, yet they spend it: held by
// enough silent peers, each under 64 KiB, they are never the largest, so the budget can
// only close the line that grows past them, and every ordinary long line ("set" of a
// few hundred KiB, a file block) on any other connection is refused.
TEST_F(TcpReceive, ManyShortUnfinishedLinesLeaveRoomForAnotherLongOne) {
    using Zelkor::ByteBudget;
    const std::size_t kib = 1024;
    const ZelkorTest::ScopedBudgetLimit budgetLimit(ByteBudget::Input(), 200 * kib);
    std::vector<std::unique_ptr<tcp::socket>> holders;
    for (int i = 0; i < 4; ++i) {
        holders.push_back(std::make_unique<tcp::socket>(io));
        AcceptRaw(*holders.back())->SetMaxLineLength(180 * kib);
        WriteRaw(*holders.back(), "get {\"data\":\"" + std::string(60 * kib, 'h'));
    }
    ASSERT_TRUE(Run([&] { return ByteBudget::Input().Used() >= 240 * kib; }));
    tcp::socket large(io);
    AcceptRaw(large)->SetMaxLineLength(180 * kib);
    RawReader largeReader(large);
    WriteRaw(large, "set {\"data\":\"" + std::string(50 * kib, 'l'));
    ASSERT_TRUE(Run([&] { return ByteBudget::Input().Used() >= 290 * kib; }));
    WriteRaw(large, std::string(50 * kib, 'l'));
    ASSERT_TRUE(Run([&] { return ByteBudget::Input().Used() >= 340 * kib || largeReader.Eof(); }));
    boost::system::error_code ignored;
    boost::asio::write(large, boost::asio::buffer(std::string("\"}\n")), ignored);
    EXPECT_TRUE(Run([&] { return sink.Count("set") == 1 || largeReader.Eof(); }));
    EXPECT_EQ(sink.Count("set"), 1u);
    EXPECT_EQ(log.Count("ZK7267E Line exceeds the length limit"), 0u);
}

// What a long line grew (the read buffer, the framer's room for another, the kept line)
// stays while lines come in a row, and goes once the connection has been quiet a while.
TEST_F(TcpReceive, AnIdleConnectionGivesBackWhatALongLineGrew) {
    tcp::socket peer(io);
    auto connection = AcceptRaw(peer);
    connection->SetMaxLineLength(4 << 20);
    const std::string line = "get {\"data\":\"" + std::string(1 << 19, 'a') + "\"}\n";
    WriteRaw(peer, line);
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 1; }));
    EXPECT_GT(connection->SpareBufferBytes(), Zelkor::ByteBudget::SmallShare);
    const auto quiet = std::chrono::steady_clock::now();
    ASSERT_TRUE(Run([&] { return connection->SpareBufferBytes() <= Zelkor::ByteBudget::SmallShare; }));
    EXPECT_GE(std::chrono::steady_clock::now() - quiet, TcpSocket::IdleShrinkDelay / 2);
    // It reads on as before.
    WriteRaw(peer, line);
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 2; }));
}

// The same over TLS: the secured stream reads on after its waiting read was ended.
TEST_F(TcpConnection, AnIdleSecuredConnectionGivesBackWhatALongLineGrew) {
    LoadTlsMaterial(*tls);
    FakeSink clientSink;
    sink.answerSecurity = clientSink.answerSecurity = true;
    std::shared_ptr<TcpSocket> client;
    auto serverSide = ConnectClient(client, clientSink);
    serverSide->SetMaxLineLength(4 << 20);
    client->SendData("starttls\n", true);
    ASSERT_TRUE(Run([&] { return sink.secured == 1 && clientSink.secured == 1; }));
    client->SendData("authenticate\n", true);
    const std::string line = "get {\"data\":\"" + std::string(1 << 19, 'a') + "\"}\n";
    client->SendData(line, true);
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 1; }));
    EXPECT_GT(serverSide->SpareBufferBytes(), Zelkor::ByteBudget::SmallShare);
    ASSERT_TRUE(Run([&] { return serverSide->SpareBufferBytes() <= Zelkor::ByteBudget::SmallShare; }));
    serverSide->SendData("@get\n", false);
    client->SendData("get {\"again\":1}\n", true);
    ASSERT_TRUE(Run([&] { return sink.Count("get") == 2; }));
    EXPECT_EQ(sink.closed, 0);
}

// One long line must not pin its buffer for the rest of the connection's life.
TEST(LineFramer, GivesTheBufferOfALongLineBack) {
    Zelkor::LineFramer framer;
    const std::string line = std::string(4 << 20, 'x') + "\nget";
    framer.Append(line.data(), line.size());
    std::string out;
    ASSERT_TRUE(framer.Next(out));
    EXPECT_FALSE(framer.Next(out));
    EXPECT_EQ(framer.PendingSize(), 3u);
    EXPECT_LT(framer.Capacity(), std::size_t{1} << 20);
}

// A line that fills the buffer alone trades buffers with the caller's; a line with bytes
// behind it is copied out, and those bytes start the next line either way.
TEST(LineFramer, ALineAloneInTheBufferIsHandedOverWhole) {
    Zelkor::LineFramer framer;
    std::string line = "left over from before";
    framer.Append("get {}\n", 7);
    ASSERT_TRUE(framer.Next(line));
    EXPECT_EQ(line, "get {}\n");
    EXPECT_EQ(framer.PendingSize(), 0u);
    EXPECT_FALSE(framer.Next(line));
    framer.Append("set {}\nge", 9);
    ASSERT_TRUE(framer.Next(line));
    EXPECT_EQ(line, "set {}\n");
    EXPECT_FALSE(framer.Next(line));
    framer.Append("t\n", 2);
    ASSERT_TRUE(framer.Next(line));
    EXPECT_EQ(line, "get\n");
    EXPECT_EQ(framer.PendingSize(), 0u);
}

// After a file block handed over whole, the next one, arriving in record-sized pieces,
// finds room for itself; a line over the keep bound leaves nothing that large behind.
TEST(LineFramer, KeepsRoomForAnotherLineAsLongButNotForAHugeOne) {
    Zelkor::LineFramer framer;
    const std::string block = "block {\"data\":\"" + std::string(65536, 'A') + "\"}\n";
    std::string line;
    framer.Append(block.data(), block.size());
    ASSERT_TRUE(framer.Next(line));
    EXPECT_GE(framer.Capacity(), block.size());
    for (std::size_t at = 0; at < block.size(); at += 16384) {
        framer.Append(block.data() + at, std::min<std::size_t>(16384, block.size() - at));
    }
    ASSERT_TRUE(framer.Next(line));
    EXPECT_EQ(line, block);

    const std::string huge = std::string(2 << 20, 'x') + "\n";
    framer.Append(huge.data(), huge.size());
    ASSERT_TRUE(framer.Next(line));
    EXPECT_LT(framer.Capacity(), Zelkor::LineFramer::KeepCapacity);
}

}  // namespace
}  // namespace ZelkorTest
