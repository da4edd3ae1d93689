#include <gtest/gtest.h>

#include "TransportFixture.h"
#include "transport/TcpSocketSet.h"

namespace ZelkorTest {
namespace {

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

}  // namespace
}  // namespace ZelkorTest
