// Connection life around the edges: connects that fail or are abandoned, options the
// system refuses, a listener asked about after it closed, a reply that must not start the
// wait for one, and the connection pair's answers for every mix of its two connections.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <thread>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "TransportFixture.h"
#include "core/ZelkorLog.h"
#include "transport/TcpSocketSet.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using TcpLife = TransportTest;

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
TEST_F(TcpLife, RefusedSocketOptionsAreLoggedAndTheConnectionsGoOn) {
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

TEST_F(TcpLife, AcceptorIsAnswersFalseOnceTheListenerIsClosed) {
    EXPECT_FALSE(Zelkor::TcpServer(io, *tls, false).AcceptorIs(make_address("127.0.0.1")));
    Listen();
    const auto at = server->LocalEndpoint();
    EXPECT_TRUE(server->AcceptorIs(at.address(), at.port()));
    EXPECT_FALSE(server->AcceptorIs(at.address(), at.port() + 1));
    server->Close();
    ASSERT_TRUE(Run([&] { return log.Contains("ZK7500I Closing listener"); }));
    EXPECT_FALSE(server->AcceptorIs(at.address(), at.port()));
    EXPECT_FALSE(server->AcceptorIs(at.address()));
}

// The owner hears of the refusal twice, as the sink's rejection (the driver closes then)
// and as the connect's result, which still comes after that close.
TEST_F(TcpLife, ARefusedConnectIsRejectedThenReported) {
    tcp::socket bound(io, tcp::endpoint(make_address("127.0.0.1"), 0));  // a port with no listener
    const auto target = bound.local_endpoint();
    sink.closeRejected = true;
    auto client = std::make_shared<TcpSocket>(io, *tls, true);
    client->SetSink(&sink);
    std::vector<boost::system::error_code> results;
    client->Connect(target.address(), target.port(), "", [&](TcpPtr, boost::system::error_code error) {
        EXPECT_EQ(sink.rejected, 1);
        results.push_back(error);
    });
    ASSERT_TRUE(Run([&] { return !results.empty(); }));
    EXPECT_EQ(results, (std::vector<boost::system::error_code>{boost::asio::error::connection_refused}));
    EXPECT_EQ(log.Count("ZK7209W Connect failed to 127.0.0.1:" + std::to_string(target.port()) + " (Connection refused)"), 1u);
    EXPECT_EQ(sink.closed, 1);
    EXPECT_EQ(sink.connectedOut, 0);
}

// A listener whose accept queue is full drops the handshake: the connect stays pending
// until the close ends it, without a word from its completion.
TEST_F(TcpLife, CloseWhileAConnectIsPendingReportsOnlyTheClose) {
    tcp::acceptor full(io);
    full.open(tcp::v4());
    full.bind(tcp::endpoint(make_address("127.0.0.1"), 0));
    full.listen(0);
    tcp::socket filler(io);
    filler.connect(full.local_endpoint());
    auto client = std::make_shared<TcpSocket>(io, *tls, true);
    client->SetSink(&sink);
    bool called = false;
    client->Connect(full.local_endpoint().address(), full.local_endpoint().port(), "",
                    [&](TcpPtr, boost::system::error_code) { called = true; });
    ASSERT_TRUE(Run([&] { return client->IsConnectPending(); }));
    client->Close();
    client->Close();
    ASSERT_TRUE(Run([&] { return !client->IsConnectPending(); }));
    EXPECT_FALSE(called);
    EXPECT_EQ(sink.closed, 1);
    EXPECT_EQ(sink.rejected + sink.connectedOut, 0);
}

// Hears one connection for as long as it lives.
class RequestTimeSink : public FakeSink {
public:
    explicit RequestTimeSink(TcpPtr socket) : _socket(std::move(socket)) { _socket->SetSink(this); }
    ~RequestTimeSink() { _socket->SetSink(nullptr); }
    void SetRequestTime(TcpPtr, std::int64_t) override { ++requestTimes; }
    int requestTimes = 0;

private:
    TcpPtr _socket;
};

// Only a request makes a reply due: a reply, even one that waited behind a running write,
// starts no wait.
TEST_F(TcpLife, AWaitingReplyDoesNotSetTheRequestTime) {
    ZelkorLog::TheLog().SetLevel(7);
    tcp::socket peer(io);
    auto socket = AcceptRaw(peer);
    RequestTimeSink timed(socket);
    socket->GetBasicSocket().set_option(boost::asio::socket_base::send_buffer_size(4096));
    peer.set_option(boost::asio::socket_base::receive_buffer_size(4096));
    const std::string big = "@get {\"data\":\"" + std::string(64 * 1024, 'g') + "\"}\n";
    socket->SendData(big, false);
    ASSERT_TRUE(Run([&] { return socket->SendingMsg(); }));
    socket->SendData("@ls\n", false);
    ASSERT_TRUE(Run([&] { return log.Contains("ZK7250I TcpSocket::SendData reply queued while sending"); }));
    RawReader reader(peer);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 2; }));
    EXPECT_EQ(timed.requestTimes, 0);
    EXPECT_EQ(socket->RequestTime(), TcpSocket::TimePoint{});

    socket->SendData("get\n", true);
    ASSERT_TRUE(Run([&] { return reader.LineCount() == 3; }));
    EXPECT_EQ(timed.requestTimes, 1);
    EXPECT_NE(socket->RequestTime(), TcpSocket::TimePoint{});
}

// The pair is encrypted and authenticated when no connection it considers falls short,
// and transferring when one it considers is; the secondary counts only when redundant.
TEST_F(TcpLife, PairFlagQueriesTable) {
    struct Side {
        bool present, secured, authenticated, transferring;
    };
    const Side none{}, plain{true, false, false, false}, securedOnly{true, true, false, false}, busy{true, true, true, true};
    struct Case {
        Side primary, secondary;
        bool redundant, encrypted, authenticated, transferring;
    };
    const std::vector<Case> cases = {
        {none, none, false, true, true, false},         {plain, none, false, false, false, false},
        {securedOnly, none, false, true, false, false}, {busy, plain, false, true, true, true},
        {busy, plain, true, false, false, true},        {plain, busy, true, false, false, true},
        {none, busy, false, true, true, false},         {none, securedOnly, true, true, false, false},
    };
    auto dress = [](const std::shared_ptr<TcpSocket>& socket, const Side& side) {
        socket->SetState(side.secured ? TcpSocket::Tls : TcpSocket::Plain);
        socket->IsAuthenticated(side.authenticated);
        socket->SetTransferring(side.transferring);
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        auto set = std::make_shared<Zelkor::TcpSocketSet>();
        if (c.primary.present) {
            dress(set->CreatePrimary(io, *tls), c.primary);
        }
        if (c.secondary.present) {
            dress(set->CreateSecondary(io, *tls), c.secondary);
        }
        set->IsRedundant(c.redundant);
        EXPECT_EQ(set->IsEncrypted(), c.encrypted) << "case " << i;
        EXPECT_EQ(set->IsAuthenticated(), c.authenticated) << "case " << i;
        EXPECT_EQ(set->Transferring(), c.transferring) << "case " << i;
    }
}

// A peer is the same remote endpoint, port and address family included.
TEST_F(TcpLife, PairIsPeerTable) {
    Listen();
    tcp::acceptor other(io, tcp::endpoint(make_address("127.0.0.1"), 0));
    auto connect = [this](TcpPtr socket, const boost::asio::ip::address& address, unsigned short port) {
        bool connected = false;
        socket->Connect(address, port, "", [&](TcpPtr, boost::system::error_code error) { connected = !error; });
        EXPECT_TRUE(Run([&] { return connected; })) << address;
        return socket;
    };
    auto fresh = [this] { return std::make_shared<TcpSocket>(io, *tls, true); };
    const auto here = server->LocalEndpoint();
    const auto there = other.local_endpoint();
    auto set = std::make_shared<Zelkor::TcpSocketSet>();
    connect(set->CreatePrimary(io, *tls), here.address(), here.port());
    connect(set->CreateSecondary(io, *tls), there.address(), there.port());
    const TcpPtr samePeer = connect(fresh(), here.address(), here.port());
    const TcpPtr secondaryPeer = connect(fresh(), there.address(), there.port());
    const TcpPtr mapped = connect(fresh(), make_address("::ffff:127.0.0.1"), here.port());
    struct Case {
        TcpPtr socket;
        bool redundant, peer;
    };
    for (const auto& c : std::vector<Case>{{samePeer, false, true}, {secondaryPeer, false, false},
                                           {secondaryPeer, true, true}, {mapped, true, false}, {nullptr, true, false}}) {
        set->IsRedundant(c.redundant);
        EXPECT_EQ(set->IsPeer(c.socket), c.peer) << (c.socket ? c.socket->RemoteEndpoint() : tcp::endpoint());
    }
}

}  // namespace
}  // namespace ZelkorTest
