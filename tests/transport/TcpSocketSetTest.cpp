#include <gtest/gtest.h>

#include "TransportFixture.h"
#include "transport/TcpSocketSet.h"

namespace ZelkorTest {
namespace {

using boost::asio::ip::make_address;
using TcpSocketSetTest = TransportTest;

// A redundant device gets every line over both connections; otherwise only the primary
// carries it, and queries ask the primary alone.
TEST_F(TcpSocketSetTest, RedundantSendingUsesBothConnections) {
    Listen();
    FakeSink clientSink;
    auto set = std::make_shared<Zelkor::TcpSocketSet>();
    set->Subscribe(&clientSink);
    for (const auto& socket : {set->CreatePrimary(io, *tls), set->CreateSecondary(io, *tls)}) {
        socket->Connect(server->LocalEndpoint().address(), server->LocalEndpoint().port(), "", nullptr);
    }
    ASSERT_TRUE(Run([&] { return clientSink.connectedOut == 2 && sink.connectedIn == 2; }));
    EXPECT_TRUE(set->SocketIsConnected());

    set->SendData("@ls\n", false);
    ASSERT_TRUE(Run([&] { return sink.Count("@ls") == 1; }));
    set->IsRedundant(true);
    set->SendData("@get\n", false);
    ASSERT_TRUE(Run([&] { return sink.Count("@get") == 2; }));
    EXPECT_EQ(sink.Count("@ls"), 1u);

    set->DeletePrimary();
    EXPECT_TRUE(set->SocketIsConnected());
    set->Close();
    ASSERT_TRUE(Run([&] { return clientSink.closed == 2; }));
}

// The pair is encrypted and authenticated when no connection it considers falls short,
// and transferring when one it considers is; the secondary counts only when redundant.
// A side is absent (""), plain ("p") or secured ("s"), then "a" authenticated and "t"
// transferring; the answers are "e" encrypted, "a" authenticated and "t" transferring.
TEST_F(TcpSocketSetTest, PairFlagQueriesTable) {
    struct Case {
        std::string primary, secondary;
        bool redundant;
        std::string answers;
    };
    const std::vector<Case> cases = {
        {"", "", false, "ea"},   {"p", "", false, ""},    {"s", "", false, "e"},     {"sat", "p", false, "eat"},
        {"sat", "p", true, "t"}, {"p", "sat", true, "t"}, {"", "sat", false, "ea"}, {"", "s", true, "e"},
    };
    auto dress = [](const TcpPtr& socket, const std::string& side) {
        socket->SetState(side[0] == 's' ? TcpSocket::Tls : TcpSocket::Plain);
        socket->SetProvenToPeer(side.find('a') != std::string::npos);
        socket->SetTransferring(side.find('t') != std::string::npos);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.primary + "," + c.secondary + (c.redundant ? " redundant" : ""));
        auto set = std::make_shared<Zelkor::TcpSocketSet>();
        if (!c.primary.empty()) {
            dress(set->CreatePrimary(io, *tls), c.primary);
        }
        if (!c.secondary.empty()) {
            dress(set->CreateSecondary(io, *tls), c.secondary);
        }
        set->IsRedundant(c.redundant);
        EXPECT_EQ(std::string(set->IsEncrypted() ? "e" : "") + (set->IsAuthenticated() ? "a" : "") +
                      (set->Transferring() ? "t" : ""),
                  c.answers);
    }
}

// A peer is the same remote endpoint, port and address family included.
TEST_F(TcpSocketSetTest, PairIsPeerTable) {
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
