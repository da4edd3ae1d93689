#include <gtest/gtest.h>

#include "TransportFixture.h"
#include "transport/TcpSocketSet.h"

namespace ZelkorTest {
namespace {

using Zelkor::TcpSocketSet;

class SocketSet : public TransportTest {
protected:
    // A set whose two sockets are connected to the listener.
    std::shared_ptr<TcpSocketSet> ConnectedSet(bool redundant) {
        Listen();
        auto set = std::make_shared<TcpSocketSet>();
        set->IsRedundant(redundant);
        set->Subscribe(&clientSink);
        const auto endpoint = server->LocalEndpoint();
        set->CreatePrimary(io, *tls)->Connect(endpoint.address(), endpoint.port(), "", nullptr);
        set->CreateSecondary(io, *tls)->Connect(endpoint.address(), endpoint.port(), "", nullptr);
        EXPECT_TRUE(Run([&] { return clientSink.connectedOut == 2 && sink.connectedIn == 2; }));
        return set;
    }
    FakeSink clientSink;
};

TEST_F(SocketSet, CreatesOnceAndHandsOutItsSink) {
    auto set = std::make_shared<TcpSocketSet>();
    // An empty set answers without a socket to ask.
    EXPECT_FALSE(set->SocketIsConnected());
    EXPECT_TRUE(set->IsEncrypted());
    EXPECT_NO_THROW(set->SendData("get\n", true));
    set->IsRedundant(true);
    auto primary = set->CreatePrimary(io, *tls);
    EXPECT_EQ(set->CreatePrimary(io, *tls), primary);
    set->Subscribe(&sink);
    EXPECT_EQ(primary->Sink(), &sink);
    auto secondary = set->CreateSecondary(io, *tls);
    EXPECT_EQ(secondary->Sink(), &sink);
    EXPECT_TRUE(secondary->IsRedundant());

    auto adopted = std::make_shared<TcpSocket>(io, *tls, false);
    set->SetHandle(adopted);
    EXPECT_EQ(set->Primary(), adopted);
    EXPECT_EQ(adopted->Sink(), nullptr);
    EXPECT_FALSE(primary->IsFinalized());
}

TEST_F(SocketSet, QueriesConsiderTheSecondaryOnlyWhenRedundant) {
    auto set = std::make_shared<TcpSocketSet>();
    auto primary = set->CreatePrimary(io, *tls);
    auto secondary = set->CreateSecondary(io, *tls);
    primary->SetState(TcpSocket::Tls);
    primary->IsAuthenticated(true);
    secondary->SetTransferring(true);
    // Only the secondary is short of TLS and authentication, and only it transfers.
    for (const bool redundant : {false, true}) {
        set->IsRedundant(redundant);
        EXPECT_EQ(set->IsEncrypted(), !redundant);
        EXPECT_EQ(set->IsAuthenticated(), !redundant);
        EXPECT_EQ(set->Transferring(), redundant);
    }
    set->IsRedundant(false);
    set->Close();
    EXPECT_EQ(set->Primary(), nullptr);
    EXPECT_EQ(set->Secondary(), nullptr);
    EXPECT_TRUE(Run([&] { return primary->IsFinalized() && secondary->IsFinalized(); }));
}

TEST_F(SocketSet, RedundantSetsSendEveryMessageOnBothConnections) {
    for (const bool redundant : {false, true}) {
        clientSink.connectedOut = 0;
        sink.connectedIn = 0;
        auto set = ConnectedSet(redundant);
        const std::string word = redundant ? "@both" : "@one";
        set->SendData(word + "\n", false);
        const std::size_t expected = redundant ? 2 : 1;
        ASSERT_TRUE(Run([&] { return sink.Count(word) == expected; }));
        EXPECT_TRUE(set->SocketIsConnected());
        EXPECT_TRUE(set->IsPeer(set->Primary()));
        EXPECT_FALSE(set->IsPeer(sink.Accepted().back()));

        set->DeletePrimary();
        ASSERT_TRUE(Run([&] { return !set->SocketIsOpen() || redundant; }));
        EXPECT_EQ(set->SocketIsConnected(), redundant);
        set->Close();
        server->Close();
        ASSERT_TRUE(Run([&] { return clientSink.closed >= 2; }));
        clientSink.closed = 0;
        server.reset();
    }
    EXPECT_EQ(sink.Count("@one"), 1u);
}

}  // namespace
}  // namespace ZelkorTest
